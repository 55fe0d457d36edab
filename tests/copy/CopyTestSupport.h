#pragma once
// Real folder trees for the copy tests: files of a given size and last-write time under a
// temporary root, read back byte for byte (RawFiles.h for names in any encoding).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdint>

#include "RawFiles.h"
#include "platform/FileSystem.h"

namespace hv::test {

// A file of `size` bytes whose content depends on `seed`; folders are made as needed.
inline void WriteFile(const QString& path, qint64 size, int seed = 1) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    QByteArray block(64 * 1024, Qt::Uninitialized);
    qint64 done = 0;
    while (done < size) {
        for (int i = 0; i < block.size(); ++i) block[i] = static_cast<char>((done + i) * 31 + seed);
        const qint64 n = std::min<qint64>(block.size(), size - done);
        ASSERT_EQ(file.write(block.constData(), n), n);
        done += n;
    }
}

inline QByteArray ReadFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

// Every entry of `folder`, hidden ones too (a copy's temporary file among them).
inline QStringList EntriesOf(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// Sets the last-write time in 100-ns units since 1601 (UTC).
inline void SetLastWrite(const QString& path, FileTime t) {
    const std::int64_t sinceUnix = static_cast<std::int64_t>(t) - 116'444'736'000'000'000LL;
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = sinceUnix / 10'000'000;
    times[1].tv_nsec = (sinceUnix % 10'000'000) * 100;
    ASSERT_EQ(::utimensat(AT_FDCWD, fs::Encode(path).constData(), times, 0), 0);
}

inline FileTime LastWrite(const QString& path) {
    fs::FileInfo info;
    fs::ReadInfo(path, info);
    return info.LastWrite;
}

}  // namespace hv::test
