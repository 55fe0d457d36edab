#include "tray/SystemTray.h"

#include <QCursor>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>

#include "res/Icons.h"
#include "res/MenuResource.h"
#include "tray/TrayMenu.h"

namespace hv {

namespace {

class QtTrayBackend final : public ITrayBackend {
public:
    explicit QtTrayBackend(std::function<void(TrayClick)> onClick)
        : icon_(std::make_unique<QSystemTrayIcon>()) {
        QObject::connect(icon_.get(), &QSystemTrayIcon::activated,
                         [clicks = clicksRunning_, onClick = std::move(onClick)](
                             QSystemTrayIcon::ActivationReason reason) {
                             ++*clicks;
                             switch (reason) {
                             case QSystemTrayIcon::Context: onClick(TrayClick::RightButtonUp); break;
                             case QSystemTrayIcon::DoubleClick: onClick(TrayClick::LeftDoubleClick); break;
                             default: onClick(TrayClick::Other); break;
                             }
                             --*clicks;
                         });
    }
    // Hiding or deleting the icon deletes its window at once. A command chosen from the
    // icon's own menu (Exit) removes the icon while that window is still handling the click,
    // so then both wait until the handler is done.
    ~QtTrayBackend() override {
        if (*clicksRunning_ > 0) icon_.release()->deleteLater();
    }

    bool Add(const QIcon& icon, const QString& tooltip) override {
        if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
        icon_->setIcon(icon);
        icon_->setToolTip(tooltip);
        icon_->show();
        return true;
    }
    void SetIcon(const QIcon& icon) override { icon_->setIcon(icon); }
    void SetToolTip(const QString& tooltip) override { icon_->setToolTip(tooltip); }
    void Remove() override {
        if (*clicksRunning_ > 0) {
            QMetaObject::invokeMethod(icon_.get(), &QSystemTrayIcon::hide, Qt::QueuedConnection);
        } else {
            icon_->hide();
        }
    }
    QAction* ShowMenu(QMenu& menu) override { return menu.exec(QCursor::pos()); }
    QRect Geometry() const override { return icon_->geometry(); }

private:
    // Clicks being handled; shared with the click handler, which may outlive this object.
    std::shared_ptr<int> clicksRunning_ = std::make_shared<int>(0);
    std::unique_ptr<QSystemTrayIcon> icon_;
};

// Status 0 to 8 -> icon resource; 4/5 and 6/7 are crossed against the resource order.
constexpr unsigned kStatusIcons[9] = {310, 311, 312, 313, 315, 314, 317, 316, 318};

}  // namespace

TrayBackendFactory QtTrayBackendFactory() {
    return [](std::function<void(TrayClick)> onClick) -> std::unique_ptr<ITrayBackend> {
        return std::make_unique<QtTrayBackend>(std::move(onClick));
    };
}

CSystemTray::CSystemTray(ITrayMenuOwner& owner, TrayBackendFactory factory, QObject* parent)
    : QObject(parent), owner_(owner), factory_(std::move(factory)) {
    for (unsigned i = 0; i < icons_.size(); ++i) icons_[i] = LoadIconResource(kFirstStatusIconId + i);
}

CSystemTray::~CSystemTray() { RemoveIcon(); }

unsigned CSystemTray::IconResourceForStatus(int status) {
    return status >= 0 && status <= 8 ? kStatusIcons[status] : 0;
}

QString CSystemTray::CutTooltip(const QString& text) {
    if (text.size() <= kMaxTooltipLength) return text;
    qsizetype length = kMaxTooltipLength;
    if (text[length - 1].isHighSurrogate()) --length;  // keep a character whole
    return text.left(length);
}

bool CSystemTray::AddIcon(const QString& tooltip) {
    if (!backend_) {
        // One backend for the object's life: retries after a refusal reuse it.
        QPointer<CSystemTray> self(this);
        backend_ = factory_([self](TrayClick click) {
            if (self) self->OnTrayCallback(kIconId, click);
        });
    }
    iconResource_ = IconResourceForStatus(4);
    const QString cut = CutTooltip(tooltip);
    if (added_) {
        // Already shown: bring the record up to date instead of adding a second icon.
        tooltip_ = cut;
        backend_->SetIcon(icons_[iconResource_ - kFirstStatusIconId]);
        backend_->SetToolTip(tooltip_);
        return true;
    }
    added_ = backend_->Add(icons_[iconResource_ - kFirstStatusIconId], cut);
    if (added_) tooltip_ = cut;
    return added_;
}

void CSystemTray::SetStateIcon(int status) {
    const unsigned resource = IconResourceForStatus(status);
    if (resource == 0) return;
    iconResource_ = resource;
    if (added_) backend_->SetIcon(icons_[resource - kFirstStatusIconId]);
}

void CSystemTray::SetTooltip(const QString& text) {
    if (!added_) return;
    tooltip_ = CutTooltip(text);
    backend_->SetToolTip(tooltip_);
}

QString CSystemTray::GetTooltip() const { return added_ ? tooltip_ : QString(); }

void CSystemTray::RemoveIcon() {
    if (added_ && backend_) backend_->Remove();
    added_ = false;
    tooltip_.clear();
    backend_.reset();
}

void CSystemTray::OnTrayCallback(unsigned iconId, TrayClick click) {
    if (iconId != kIconId || !menuEnabled_ || menuOpen_) return;
    switch (click) {
    case TrayClick::RightButtonUp: ShowContextMenu(); break;
    case TrayClick::LeftDoubleClick: RunDefaultCommand(); break;
    case TrayClick::Other: break;
    }
}

void CSystemTray::ShowContextMenu() {
    if (!backend_) return;
    // Built anew for every click, so it follows the language and the frame's state.
    std::unique_ptr<QMenu> menu = BuildTrayMenu(owner_);
    owner_.BringToForeground();
    unsigned command = 0;
    {
        // The menu runs its own event loop; a second click meanwhile is ignored.
        menuOpen_ = true;
        QPointer<CSystemTray> self(this);
        QAction* chosen = backend_->ShowMenu(*menu);
        if (!self) return;
        menuOpen_ = false;
        if (chosen != nullptr && chosen->isEnabled()) command = CommandOfAction(chosen);
    }
    menu.reset();
    if (command != 0) owner_.OnMenuCommand(command);
}

void CSystemTray::RunDefaultCommand() {
    owner_.BringToForeground();
    const unsigned command = FirstSubmenuCommand(kDefaultMenuPosition);
    if (command != 0) owner_.OnMenuCommand(command);
}

}  // namespace hv
