#pragma once
// A notification area for tests: accepts or refuses the icon as told, keeps what it was
// shown, and answers a menu with the item a test picks.

#include <QAction>
#include <QMenu>
#include <functional>
#include <memory>

#include "tray/SystemTray.h"

namespace hv::test {

struct FakeTrayState {
    bool accept = true;
    int created = 0;   // backends made
    int alive = 0;     // backends not yet destroyed
    int adds = 0;      // Add calls
    int removes = 0;
    bool shown = false;
    qint64 iconKey = 0;
    QString tooltip;
    int tooltipsSet = 0;  // SetToolTip calls
    int menusShown = 0;
    // Picks the item of an open menu; null dismisses it.
    std::function<QAction*(QMenu&)> pick;
    std::function<void(TrayClick)> click;  // the latest backend's click report
};

class FakeTrayBackend final : public ITrayBackend {
public:
    FakeTrayBackend(FakeTrayState& state, std::function<void(TrayClick)> onClick) : state_(state) {
        ++state_.created;
        ++state_.alive;
        state_.click = std::move(onClick);
    }
    ~FakeTrayBackend() override { --state_.alive; }
    bool Add(const QIcon& icon, const QString& tooltip) override {
        ++state_.adds;
        if (!state_.accept) return false;
        state_.shown = true;
        state_.iconKey = icon.cacheKey();
        state_.tooltip = tooltip;
        return true;
    }
    void SetIcon(const QIcon& icon) override { state_.iconKey = icon.cacheKey(); }
    void SetToolTip(const QString& tooltip) override {
        state_.tooltip = tooltip;
        ++state_.tooltipsSet;
    }
    void Remove() override {
        ++state_.removes;
        state_.shown = false;
    }
    QAction* ShowMenu(QMenu& menu) override {
        ++state_.menusShown;
        return state_.pick ? state_.pick(menu) : nullptr;
    }

private:
    FakeTrayState& state_;
};

inline TrayBackendFactory FakeTrayFactory(FakeTrayState& state) {
    return [&state](std::function<void(TrayClick)> onClick) -> std::unique_ptr<ITrayBackend> {
        return std::make_unique<FakeTrayBackend>(state, std::move(onClick));
    };
}

}  // namespace hv::test
