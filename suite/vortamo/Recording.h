#pragma once
// The recorder stand-in's recording: on "StartRecord" the game's folder is made under each
// root folder and the first segment opened; each segment is one description "<n>.xml" and
// one video "<n>_<camera>.mp4" per camera, which grow while the segment lasts and are held
// under an exclusive advisory lock while they are written (as the recorder's own files
// cannot be read then). "SplitAtTime" closes the segment and opens the next under the
// announced number; "StopRecord" closes everything.
//
// A segment may reuse the name of a file that is still being copied (the same period
// number again): a file is opened without truncating it, its lock is taken without
// waiting (a file someone reads is taken on a later Grow, so the program's event loop
// never stops), and only once the lock is held and the file still has its name (a copier
// may have deleted it meanwhile) is it emptied and written. A file that loses its name
// while it is written (unlinked, or another file renamed over it) is opened again.
//
// Where the files go: the description under the first root, camera c's video under root
// (c - 1) modulo the number of roots, in a subfolder "cam<c>" for cameras after the first.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

namespace zandrel {

class Recording {
public:
    // `roots`: native folder paths; `cameras`: videos per segment; `firstNumber`: the
    // segment number of the recording before the game; `bytesPerGrow`: what each video
    // grows by on each Grow().
    Recording(QStringList roots, int cameras, int firstNumber, qint64 bytesPerGrow);
    ~Recording();
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

    // The game folder as the start command gives it ("\2022-01-20\13-46\", backslashes).
    // False (with the reason) when no file could be opened.
    bool Start(const QString& gameFolderText, QString* error);
    // Closes the segment and opens the next one, numbered `number`.
    bool Split(int number, QString* error);
    void Stop();
    void Grow();
    bool Active() const { return !open_.empty(); }
    // The files of the segments closed since the last call, for reporting.
    QStringList TakeClosedFiles();

private:
    struct OpenFile {
        int fd = -1;
        QString path;
        qint64 written = 0;
        int seed = 0;
        bool held = false;  // locked under its name, emptied, being written
    };
    bool OpenSegment(int number, QString* error);
    void CloseSegment();
    // Opens and takes `file` as described above; true once it is held. False with errno
    // when it cannot be opened, or with EWOULDBLOCK while someone else holds it.
    bool Take(OpenFile& file);
    void Release(OpenFile& file);

    QStringList roots_;
    int cameras_;
    int firstNumber_;
    qint64 bytesPerGrow_;
    QStringList gameFolders_;  // one per root, native, ending with a separator
    int number_ = 0;
    std::vector<OpenFile> open_;
    QStringList closed_;
};

}  // namespace zandrel
