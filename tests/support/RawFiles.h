#pragma once
// Files reached by paths given as the file system's bytes (names in any encoding), written
// and read back whole.

#include <fcntl.h>
#include <unistd.h>

#include <QByteArray>

#include <gtest/gtest.h>

namespace hv::test {

inline void WriteRawFile(const QByteArray& path, const QByteArray& content) {
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path.toStdString();
    ASSERT_EQ(::write(fd, content.constData(), static_cast<size_t>(content.size())), content.size());
    ::close(fd);
}

// Empty when the file cannot be read.
inline QByteArray ReadRawFile(const QByteArray& path) {
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    QByteArray content;
    char chunk[65536];
    for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) content.append(chunk, n);
    ::close(fd);
    return content;
}

inline bool RawExists(const QByteArray& path) { return ::access(path.constData(), F_OK) == 0; }

}  // namespace hv::test
