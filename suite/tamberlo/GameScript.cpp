#include "GameScript.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include "CompanionQueue.h"

namespace zandrel {

bool GameScript::Refresh() {
    if (path_.isEmpty()) return true;
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly)) {
        ReportOnce(QStringLiteral("cannot read the script ") + path_);
        return loaded_;
    }
    const QByteArray content = file.readAll();
    if (loaded_ && content == content_) return true;
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(content, &parseError);
    QString error;
    if (!doc.isObject()) {
        error = parseError.errorString();
    } else if (game_.Load(doc.object(), &error)) {
        content_ = content;
        loaded_ = true;
        lastError_.clear();
        return true;
    }
    ReportOnce(QStringLiteral("the script %1 cannot be used: %2").arg(path_, error));
    return loaded_;
}

void GameScript::ReportOnce(const QString& error) {
    if (error == lastError_) return;
    lastError_ = error;
    ReportError(QStringLiteral("Tamberlo: ") + error +
                (loaded_ ? QStringLiteral(" (the game goes on as it was)") : QString()));
}

}  // namespace zandrel
