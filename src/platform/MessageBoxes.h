#pragma once
// Message boxes, behind an interface so that tests can answer them. Every box has the
// caption "Halvane" and stays on top.

#include <QString>

namespace hv {

enum class BoxIcon { Error, Warning, Question, Information };
enum class BoxButtons { Ok, YesNo };
enum class BoxAnswer { Ok, Yes, No };

class IMessageBoxes {
public:
    virtual ~IMessageBoxes() = default;
    // Shows a modal box (its nested event loop keeps timers and posted events running)
    // and returns the button chosen.
    virtual BoxAnswer Show(const QString& text, BoxIcon icon, BoxButtons buttons) = 0;
};

}  // namespace hv
