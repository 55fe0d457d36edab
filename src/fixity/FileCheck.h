#pragma once
// The check of one file a manifest names: read again and compared with its line.
//
// A file copied again while the check runs (the copy worker replaces the file, then its
// line) is not reported as damage: when a file differs from its line, or is gone, the
// manifest is read again; a new line is compared (the file read once more), and a line
// that is gone meanwhile leaves the file not checked ("changed during the check").

#include <QByteArray>
#include <cstdint>

#include "fixity/CheckFindings.h"

namespace hv::fixity {

class FileHasher;

// A file a manifest names, to be read.
struct NamedFile {
    QByteArray Path, Digest, Manifest;
    QByteArray Folder, Name;  // the manifest's folder, the file's name there
    int Line = 0;
    std::uint64_t Size = 0;
};

enum class LineNow { Found, Gone, Unknown };
// The digest (and line number) of `name` in the manifest of `folder`, read again now:
// Unknown when the manifest cannot be read, or a line of it could be the file's.
LineNow ReadLineNow(int rootFd, const QByteArray& folder, const QByteArray& name, QByteArray& digest,
                    int* number = nullptr);

class FileCheck {
public:
    FileCheck(int rootFd, FileHasher& hasher, CheckResults& results);

    // Reads the file and tells what it found: good, changed, missing, unreadable, or
    // copied again meanwhile.
    void Check(const NamedFile& file);

private:
    // The file, read as `digest`, and its line now (`now`), which is not the line it was
    // looked up with: good when the file is the copy the new line names (read once more
    // when it was not that copy when read first), else changed.
    void CheckAgainstNewLine(const NamedFile& file, const QByteArray& now, QByteArray digest, Finding& finding);
    void Report(Finding& finding, FindingKind kind);

    int rootFd_;
    FileHasher& hasher_;
    CheckResults& results_;
};

}  // namespace hv::fixity
