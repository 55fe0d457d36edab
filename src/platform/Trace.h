#pragma once
// The trace output (the developer's debugger channel). Every log line is copied here as
// formatted; a few developer traces go only here. Standard error by default, UTF-8.

#include <functional>
#include <string_view>

class QString;

namespace hv {

// Writes one piece of text to the trace output, in a single call.
void Trace(std::string_view utf8);
void Trace(const QString& text);

// Replaces where traces go; an empty function restores standard error. Tests use it to
// capture what the program traced. Thread-safe.
using TraceSink = std::function<void(std::string_view)>;
void SetTraceSink(TraceSink sink);

}  // namespace hv
