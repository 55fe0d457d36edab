#pragma once
// Message boxes shown with QMessageBox: caption "Halvane", on top of other windows.
//
// On the offscreen platform nobody can see or answer a box: its text goes to standard
// error and the box takes the answer it would give if it were closed without a choice
// (OK, or No for a question), so that the program goes on or ends instead of waiting for
// a click that cannot come.

#include "platform/MessageBoxes.h"

namespace hv {

class QtMessageBoxes final : public IMessageBoxes {
public:
    BoxAnswer Show(const QString& text, BoxIcon icon, BoxButtons buttons) override;

    // The answer a box with `buttons` gives when nobody can answer it.
    static BoxAnswer UnattendedAnswer(BoxButtons buttons) {
        return buttons == BoxButtons::YesNo ? BoxAnswer::No : BoxAnswer::Ok;
    }
};

}  // namespace hv
