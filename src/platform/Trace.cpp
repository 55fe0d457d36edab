#include "platform/Trace.h"

#include <unistd.h>

#include <QString>
#include <mutex>

namespace hv {

namespace {

std::mutex& SinkMutex() {
    static std::mutex mutex;
    return mutex;
}

TraceSink& Sink() {
    static TraceSink sink;
    return sink;
}

void WriteToStandardError(std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
        if (written <= 0) return;
        text.remove_prefix(static_cast<size_t>(written));
    }
}

}  // namespace

void Trace(std::string_view utf8) {
    std::lock_guard lock(SinkMutex());
    if (Sink())
        Sink()(utf8);
    else
        WriteToStandardError(utf8);
}

void Trace(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    Trace(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())));
}

void SetTraceSink(TraceSink sink) {
    std::lock_guard lock(SinkMutex());
    Sink() = std::move(sink);
}

}  // namespace hv
