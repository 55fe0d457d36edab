#pragma once
// User-interface texts: the string table of the language in use.

#include <QString>

namespace hv {

// The text of string-table entry `id` in the current language, or "UNTRANSLATED" when
// that language has no such entry.
QString LoadStringOrMark(unsigned id);

}  // namespace hv
