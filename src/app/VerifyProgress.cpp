#include "app/VerifyProgress.h"

#include <unistd.h>

#include <QByteArray>

#include "app/VerifyReport.h"

namespace hv::fixity {

namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(250);

QByteArray DurationText(double seconds) {
    const auto s = static_cast<long long>(seconds + 0.5);
    if (s >= 3600) return QByteArray::number(s / 3600) + " h " + QByteArray::number(s % 3600 / 60) + " min";
    if (s >= 60) return QByteArray::number(s / 60) + " min " + QByteArray::number(s % 60) + " s";
    return QByteArray::number(s) + " s";
}

}  // namespace

ProgressLine::ProgressLine(std::FILE* stream) : stream_(stream), shown_(::isatty(::fileno(stream)) == 1) {}

void ProgressLine::Show(const CheckProgress& progress) {
    if (!shown_) return;
    const auto now = SteadyClock::now();
    const bool finished = progress.FilesDone == progress.FilesTotal;
    if (!finished && now - last_ < kProgressInterval) return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(progress.BytesDone) / seconds : 0;
    QByteArray line = "\rchecking: " + QByteArray::number(progress.FilesDone) + '/' +
                      QByteArray::number(progress.FilesTotal) + " files, " +
                      SizeText(static_cast<double>(progress.BytesDone)) + " of " +
                      SizeText(static_cast<double>(progress.BytesTotal)) + ", " + SizeText(rate) + "/s";
    if (rate > 0 && progress.BytesTotal > progress.BytesDone)
        line += ", " + DurationText(static_cast<double>(progress.BytesTotal - progress.BytesDone) / rate) + " left";
    WriteText(stream_, line + "\x1b[K");
    written_ = true;
}

void ProgressLine::End() {
    if (written_) WriteText(stream_, "\r\x1b[K");
}

}  // namespace hv::fixity
