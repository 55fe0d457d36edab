#pragma once
// CSystemTray: Halvane's icon in the notification area, its status tooltip and its menu.
// GUI thread only.
//
// The icon itself is reached through ITrayBackend (QSystemTrayIcon in the program), so the
// logic here runs the same under test. The frame decides what the menu's items look like
// and what they do through ITrayMenuOwner.

#include <QIcon>
#include <QObject>
#include <QRect>
#include <QString>
#include <array>
#include <functional>
#include <memory>

class QAction;
class QMenu;

namespace hv {

// The mouse messages the icon reports.
enum class TrayClick { RightButtonUp, LeftDoubleClick, Other };

// Enabled and ticked state of one menu command, as the frame's update handlers see it.
struct CommandState {
    bool enabled = true;
    bool checked = false;
};

class ITrayMenuOwner {
public:
    virtual ~ITrayMenuOwner() = default;
    // Asked for every command item while the menu is built.
    virtual CommandState QueryCommandState(unsigned command) = 0;
    // The command chosen from the menu, or the default command of a double-click.
    virtual void OnMenuCommand(unsigned command) = 0;
    // Brings the program to the foreground before its menu opens (nothing to do for a
    // program without windows).
    virtual void BringToForeground() {}
};

class ITrayBackend {
public:
    virtual ~ITrayBackend() = default;
    // Shows the icon: false when the desktop refuses it (no notification area yet).
    virtual bool Add(const QIcon& icon, const QString& tooltip) = 0;
    virtual void SetIcon(const QIcon& icon) = 0;
    virtual void SetToolTip(const QString& tooltip) = 0;
    virtual void Remove() = 0;
    // Shows the menu at the pointer until the user chooses an item or dismisses it; the
    // item chosen, or null.
    virtual QAction* ShowMenu(QMenu& menu) = 0;
    // Where the notification area shows the icon; empty while unknown.
    virtual QRect Geometry() const { return {}; }
};

// Makes the backend; `onClick` is how it reports clicks on the icon.
using TrayBackendFactory =
    std::function<std::unique_ptr<ITrayBackend>(std::function<void(TrayClick)> onClick)>;

// The program's backend: a QSystemTrayIcon. Refused while
// QSystemTrayIcon::isSystemTrayAvailable() is false.
TrayBackendFactory QtTrayBackendFactory();

class CSystemTray : public QObject {
    Q_OBJECT
public:
    static constexpr unsigned kIconId = 128;
    static constexpr int kMaxTooltipLength = 127;  // UTF-16 units

    // Loads the nine status icons; nothing is shown yet.
    explicit CSystemTray(ITrayMenuOwner& owner, TrayBackendFactory factory = QtTrayBackendFactory(),
                         QObject* parent = nullptr);
    ~CSystemTray() override;

    // Shows the icon (the "Stopped" picture, state 4) with `tooltip`; true when the
    // desktop accepted it. Calling it again after a refusal reuses the same backend.
    bool AddIcon(const QString& tooltip);
    // Shows the picture of status 0 to 8; any other value leaves the icon as it is.
    void SetStateIcon(int status);
    // Replaces the tooltip, cut to 127 UTF-16 units; nothing while the icon is not added.
    void SetTooltip(const QString& text);
    // The current tooltip, empty while the icon is not added.
    QString GetTooltip() const;
    // Removes the icon and drops the backend.
    void RemoveIcon();

    bool IsAdded() const { return added_; }
    // Where the icon is on the screen; empty while it is not added or not placed yet.
    QRect IconGeometry() const { return added_ && backend_ ? backend_->Geometry() : QRect(); }
    // While false, clicks on the icon do nothing.
    bool MenuEnabled() const { return menuEnabled_; }
    void SetMenuEnabled(bool enabled) { menuEnabled_ = enabled; }

    // The icon's callback: a mouse message for icon `iconId`.
    void OnTrayCallback(unsigned iconId, TrayClick click);

    // The resource id (310 to 318) of the picture the icon shows.
    unsigned IconResource() const { return iconResource_; }
    // The icon resource of a status, 0 for a value outside 0 to 8.
    static unsigned IconResourceForStatus(int status);
    // `text` cut to what the tooltip holds, never inside a surrogate pair.
    static QString CutTooltip(const QString& text);

private:
    void ShowContextMenu();
    void RunDefaultCommand();

    ITrayMenuOwner& owner_;
    TrayBackendFactory factory_;
    std::unique_ptr<ITrayBackend> backend_;
    bool added_ = false;
    bool menuEnabled_ = true;
    bool menuOpen_ = false;
    std::array<QIcon, 9> icons_;  // resources 310 to 318
    unsigned iconResource_ = 315;
    QString tooltip_;
};

}  // namespace hv
