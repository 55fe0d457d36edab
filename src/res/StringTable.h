#pragma once
// The built-in (English) string table.

#include <span>

namespace hv {

struct StringEntry {
    unsigned id;
    const char* text;  // UTF-8
};

// The English text of string `id`, or null when there is none.
const char* BuiltInString(unsigned id);

// Every built-in string, sorted by id.
std::span<const StringEntry> BuiltInStrings();

}  // namespace hv
