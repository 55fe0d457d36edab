#include "LastRun.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace zandrel {

namespace {

const QString kFileName = QStringLiteral("LastRun.json");

// The times are 64-bit counts, more than a JSON number holds exactly: they are kept as text.
QString TimeText(std::uint64_t t) { return QString::number(t); }

std::uint64_t TimeOf(const QJsonObject& o, const char* key, bool* ok) {
    return o.value(QLatin1StringView(key)).toString().toULongLong(ok);
}

}  // namespace

QString StateFolder() {
    const QString folder = qEnvironmentVariable("TAMBERLO_STATE_DIR");
    if (!folder.isEmpty()) return folder;
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!QDir::isAbsolutePath(state)) state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/Tervanix/Tamberlo");
}

bool SaveLastRun(const QString& folder, const LastRun& last, QString* error) {
    const QJsonObject o{{"script", last.script},
                        {"started", TimeText(last.run.started)},
                        {"frozenAt", TimeText(last.run.frozenAt)}};
    if (!QDir().mkpath(folder)) {
        if (error) *error = folder + QStringLiteral(": cannot make the folder");
        return false;
    }
    QSaveFile file(QDir(folder).filePath(kFileName));
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(o).toJson()) < 0 || !file.commit()) {
        if (error) *error = file.fileName() + QStringLiteral(": ") + file.errorString();
        return false;
    }
    return true;
}

std::optional<LastRun> LoadLastRun(const QString& folder) {
    QFile file(QDir(folder).filePath(kFileName));
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll());
    if (!doc.isObject()) return std::nullopt;
    const QJsonObject o = doc.object();
    bool startedOk = false;
    bool frozenOk = false;
    LastRun last{o.value("script").toString(), {TimeOf(o, "started", &startedOk), TimeOf(o, "frozenAt", &frozenOk)}};
    if (!startedOk || !frozenOk || last.run.started == 0) return std::nullopt;
    return last;
}

}  // namespace zandrel
