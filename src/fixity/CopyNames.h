#pragma once
// The name a recording's copy has in the archive while it is being written: hidden, in the
// same folder as the recording's final name. The copy worker writes under it; a check of the
// archive passes over such names, since what they hold is not complete yet.

#include <QByteArray>

namespace hv {

// The name a copy of `name` is written under until it is complete, within the longest
// name a file system takes.
QByteArray TemporaryCopyName(const QByteArray& name);
// True for a name TemporaryCopyName gives.
bool IsTemporaryCopyName(const QByteArray& name);

}  // namespace hv
