#pragma once
// The built-in (English) string table.

namespace hv {

// The English text of string `id`, or null when there is none.
const char* BuiltInString(unsigned id);

}  // namespace hv
