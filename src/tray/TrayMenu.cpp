#include "tray/TrayMenu.h"

#include "language/Language.h"
#include "res/MenuResource.h"
#include "res/StringTable.h"

namespace hv {

namespace {

void AddItems(QMenu& menu, std::span<const MenuItemDef> items, ITrayMenuOwner& owner) {
    for (const MenuItemDef& item : items) {
        switch (item.kind) {
        case MenuItemKind::Separator: menu.addSeparator(); break;
        case MenuItemKind::Submenu: {
            QMenu* sub = menu.addMenu(LoadSubmenuText(item.text));
            AddItems(*sub, item.children, owner);
            break;
        }
        case MenuItemKind::Command: {
            QAction* action = menu.addAction(LoadMenuCommandText(item.command));
            action->setData(item.command);
            if (BuiltInString(item.command) != nullptr) {
                // A command's prompt: "description\nshort name".
                action->setStatusTip(LoadStringOrMark(item.command).section(u'\n', 0, 0));
            }
            const CommandState state = owner.QueryCommandState(item.command);
            action->setEnabled(state.enabled);
            action->setCheckable(state.checked);
            action->setChecked(state.checked);
            break;
        }
        }
    }
}

}  // namespace

std::unique_ptr<QMenu> BuildTrayMenu(ITrayMenuOwner& owner) {
    auto menu = std::make_unique<QMenu>();
    const MenuItemDef& first = MainMenu().front();
    menu->setTitle(LoadSubmenuText(first.text));
    AddItems(*menu, first.children, owner);
    const auto actions = menu->actions();
    if (kDefaultMenuPosition < actions.size()) menu->setDefaultAction(actions[kDefaultMenuPosition]);
    return menu;
}

unsigned CommandOfAction(const QAction* action) {
    if (action == nullptr) return 0;
    bool ok = false;
    const unsigned command = action->data().toUInt(&ok);
    return ok ? command : 0;
}

}  // namespace hv
