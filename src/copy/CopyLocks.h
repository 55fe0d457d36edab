#pragma once
// The files one copy holds from one of its steps to a later one (see FileCopy), each let go
// by its own end, whichever way the copy ends: the source under its lock, an earlier copy
// at the target under its lock, and the new copy while it is written under a temporary name.
//
// The locks are advisory (flock); a copy takes its own without waiting. Who locks what:
//   - A writer (the recorder, and its stand-in in the tests) holds a video under an
//     exclusive lock while it writes it. A name recorded again (the same period number) is
//     opened without being emptied, and emptied and written only once the writer holds its
//     lock and the file still has its name; one that loses its name while it is written is
//     opened again. A writer may wait for a copy's shared lock to go; a copy never waits
//     for a writer's: a file being written is taken on a later attempt.
//   - A copy takes its source under a shared lock (SourceLock): a source under a writer's
//     lock is not copied now, and tried again later. The copy holds it to its very end,
//     past the source's deletion: a writer that waited for the name finds the copied file
//     without a name and records into a new one, never into a file about to be deleted.
//   - A copy takes an earlier copy at its target under an exclusive lock
//     (EarlierCopyLock), from the check of the target to the rename that replaces it: an
//     earlier copy that someone else holds (a reader's shared lock) is not replaced.
//   - A copy writes its new copy under an exclusive lock (TemporaryTarget). The program
//     copies one file at a time and runs once per user, so no two copies share a temporary
//     name; a copy of the same target by another process would find the lock taken and
//     fail, and the first copy would then fail at its rename and be tried again later.
// Any thread.

#include <QByteArray>

#include "platform/FileSystem.h"

namespace hv {

// The source of a copy, under a shared lock, and what it was when it was taken. Let go
// (closed) at its end.
class SourceLock {
public:
    SourceLock() = default;
    // Opens the regular file `name` of the folder `folder` for reading (never through a
    // link) and locks it. Nothing held when that fails, with the reason in `error` (ENOENT:
    // no such name).
    static SourceLock Take(int folder, const QByteArray& name, int& error);

    bool Held() const { return fd_.Valid(); }
    int Fd() const { return fd_.Get(); }
    // The source as it was when taken.
    const fs::FileInfo& Taken() const { return taken_; }

private:
    fs::UniqueFd fd_;
    fs::FileInfo taken_;
};

// An earlier copy at the target, under an exclusive lock; nothing when there is none. Let
// go (closed) at its end.
class EarlierCopyLock {
public:
    // False (with errno) when there is an earlier copy `name` in `folder` that someone else
    // holds.
    bool Take(int folder, const QByteArray& name);

private:
    fs::UniqueFd fd_;
};

// The new copy under its temporary name in the target's folder, under an exclusive lock,
// while it is written. Unless it was put in the target's place (RenameTo), its end closes
// it and removes it: a copy that fails or is stopped leaves nothing half-written.
class TemporaryTarget {
public:
    TemporaryTarget() = default;
    ~TemporaryTarget();
    TemporaryTarget(const TemporaryTarget&) = delete;
    TemporaryTarget& operator=(const TemporaryTarget&) = delete;

    // Creates `name` in the folder `folder` (which outlives this object), taking over a
    // leftover of a copy that was cut off, written through to the disk. False with errno.
    bool Create(int folder, QByteArray name);
    // Locks it; false with errno when another copy holds it.
    bool Lock();
    int Fd() const { return fd_.Get(); }
    // Closes it (it stays to be removed or renamed); false with errno.
    bool Close() { return fd_.Close(); }
    // Puts it in place of `target` in its folder; from then on it is no longer removed.
    // False with errno.
    bool RenameTo(const QByteArray& target);

private:
    int folder_ = -1;
    QByteArray name_;
    fs::UniqueFd fd_;
    bool made_ = false;
};

}  // namespace hv
