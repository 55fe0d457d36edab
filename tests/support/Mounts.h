#pragma once
// File systems a test mounts for itself (the tests run as root, as CI runs them), undone by
// the guard when it goes, also when the test fails half-way. A test that mounts first says
// that it needs root (HV_NEEDS(test::Root(...))); as root, a mount that fails fails the test.

#include <sys/mount.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <cerrno>
#include <cstring>
#include <string>

namespace hv::test {

class MountGuard {
public:
    MountGuard() = default;
    ~MountGuard() { Unmount(); }
    MountGuard(const MountGuard&) = delete;
    MountGuard& operator=(const MountGuard&) = delete;

    // A tmpfs with `options` ("size=2m") at `folder`, made when missing.
    bool MountTmpfs(const QString& folder, const QByteArray& options) {
        return Mount(folder, "tmpfs", "tmpfs", 0, options);
    }
    // The folder `from` mounted again at `folder` (what is written there lands in `from`).
    bool MountBind(const QString& from, const QString& folder) {
        return Mount(folder, QFile::encodeName(from), nullptr, MS_BIND, QByteArray());
    }
    // New options for the tmpfs mounted here ("size=16m"), read-only when asked.
    bool Remount(const QByteArray& options, bool readOnly = false) {
        return mounted_ && ::mount("tmpfs", folder_.constData(), "tmpfs", MS_REMOUNT | (readOnly ? MS_RDONLY : 0),
                                   options.constData()) == 0;
    }
    // Unmounts now, lazily: whoever still holds a file in it keeps it, as when a network
    // share drops under a program that is writing.
    void Unmount() {
        if (mounted_) ::umount2(folder_.constData(), MNT_DETACH);
        mounted_ = false;
    }
    bool Mounted() const { return mounted_; }
    // Why the mount failed.
    const std::string& Error() const { return error_; }

private:
    bool Mount(const QString& folder, const QByteArray& source, const char* type, unsigned long flags,
               const QByteArray& options) {
        Unmount();
        QDir().mkpath(folder);
        folder_ = QFile::encodeName(folder);
        mounted_ = ::mount(source.constData(), folder_.constData(), type, flags,
                           options.isEmpty() ? nullptr : options.constData()) == 0;
        if (!mounted_)
            error_ = "cannot mount at " + folder.toStdString() + " (" + std::strerror(errno) +
                     "): this test mounts file systems and must run as root, as the test scripts and CI run it";
        return mounted_;
    }

    QByteArray folder_;
    bool mounted_ = false;
    std::string error_;
};

}  // namespace hv::test
