#pragma once
// The About box (command 57664): caption "About Halvane", the application icon, the text
// "Halvane, Version 1.0" and an OK button, in the current language. GUI thread only.

#include <QDialog>
#include <memory>

namespace hv {

// The dialog, built but not shown.
std::unique_ptr<QDialog> CreateAboutBox(QWidget* parent = nullptr);

// Shows it modally.
void ShowAboutBox(QWidget* parent = nullptr);

}  // namespace hv
