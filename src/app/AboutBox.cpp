#include "app/AboutBox.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "language/Language.h"
#include "res/Icons.h"
#include "res/MenuResource.h"

namespace hv {

std::unique_ptr<QDialog> CreateAboutBox(QWidget* parent) {
    auto dialog = std::make_unique<QDialog>(parent);
    dialog->setWindowTitle(LoadDialogText(kAboutDialogId, "caption"));
    const QIcon appIcon = LoadIconResource(kAppIconId);
    dialog->setWindowIcon(appIcon);

    auto* icon = new QLabel(dialog.get());
    icon->setObjectName(QStringLiteral("icon"));
    icon->setPixmap(appIcon.pixmap(32, 32));
    auto* text = new QLabel(LoadDialogText(kAboutDialogId, "version"), dialog.get());
    text->setObjectName(QStringLiteral("version"));

    auto* buttons = new QDialogButtonBox(dialog.get());
    QPushButton* ok = buttons->addButton(LoadDialogText(kAboutDialogId, "1"), QDialogButtonBox::AcceptRole);
    ok->setDefault(true);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog.get(), &QDialog::accept);

    auto* row = new QHBoxLayout;
    row->addWidget(icon);
    row->addWidget(text, 1);
    auto* layout = new QVBoxLayout(dialog.get());
    layout->addLayout(row);
    layout->addWidget(buttons);
    return dialog;
}

void ShowAboutBox(QWidget* parent) {
    std::unique_ptr<QDialog> dialog = CreateAboutBox(parent);
    dialog->exec();
}

}  // namespace hv
