#pragma once
// Message boxes shown with QMessageBox: caption "Halvane", on top of other windows.

#include "platform/MessageBoxes.h"

namespace hv {

class QtMessageBoxes final : public IMessageBoxes {
public:
    BoxAnswer Show(const QString& text, BoxIcon icon, BoxButtons buttons) override;
};

}  // namespace hv
