#pragma once
// Every test program runs with a runtime folder and a state folder of its own (in a
// temporary folder taken away when it ends), inherited by the programs it starts: queue
// sockets, locks and the stand-ins' state never reach the user's own folders, and test
// programs running side by side never meet there.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace hv::test {

inline void UsePrivateUserFolders(QTemporaryDir& folder) {
    if (!folder.isValid()) return;
    const QString runtime = folder.filePath(QStringLiteral("runtime"));
    const QString state = folder.filePath(QStringLiteral("state"));
    QDir().mkpath(runtime);
    QDir().mkpath(state);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    qputenv("XDG_STATE_HOME", QFile::encodeName(state));
}

}  // namespace hv::test
