#pragma once
// One tick of a workflow's step function: the step and the deadline the progress dialog
// keeps for it (changed in place), the dialog, and the tick the step runs at. The two ways
// a step goes on are named here: to another step, or to another try of the same one.
// GUI thread.

#include <cstdint>

#include "workflow/ShowProgress.h"

namespace hv {

struct WorkflowTick {
    std::int32_t& step;
    std::uint32_t& deadline;
    CShowProgress& dialog;
    const std::uint32_t now;

    // Goes on with step `next` once the tick `due` has come, the bar at `percent`.
    bool Next(std::int32_t next, std::uint32_t due, int percent) {
        step = next;
        deadline = due;
        dialog.SetProgress(percent);
        return true;
    }

    // Tries the same phase again (the step counts the tries) `delayMs` from now, the bar
    // at `perStep` times the new step less `offset`.
    bool Again(std::uint32_t delayMs, std::int32_t offset, std::int32_t perStep = 1) {
        ++step;
        deadline = now + delayMs;
        dialog.SetProgress(perStep * step - offset);
        return true;
    }

    // The same, while the step is below `lastStep`: false, and nothing done, once the
    // tries are used up.
    bool AgainUntil(std::int32_t lastStep, std::uint32_t delayMs, std::int32_t offset, std::int32_t perStep = 1) {
        return step < lastStep && Again(delayMs, offset, perStep);
    }
};

}  // namespace hv
