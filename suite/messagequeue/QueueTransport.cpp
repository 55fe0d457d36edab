#include "QueueTransport.h"

#include <QSysInfo>

#include "platform/Trace.h"

namespace zandrel {

QueueConfig QueueConfig::FromEnvironment() {
    QueueConfig config;
    config.scope = QString::fromLocal8Bit(qgetenv("ZANDREL_QUEUE_SCOPE"));
    bool ok = false;
    const uint port = qEnvironmentVariable("ZANDREL_QUEUE_RELAY_PORT").toUInt(&ok);
    if (ok && port > 0 && port <= 65535) config.relayPort = static_cast<std::uint16_t>(port);
    const int timeoutMs = qEnvironmentVariable("ZANDREL_QUEUE_SEND_TIMEOUT_MS").toInt(&ok);
    if (ok && timeoutMs > 0) config.sendTimeoutMs = timeoutMs;
    const int localTimeoutMs = qEnvironmentVariable("ZANDREL_QUEUE_LOCAL_TIMEOUT_MS").toInt(&ok);
    if (ok && localTimeoutMs > 0) config.localSendTimeoutMs = localTimeoutMs;
    const qulonglong maxBytes = qEnvironmentVariable("ZANDREL_QUEUE_MAX_BYTES").toULongLong(&ok);
    if (ok && maxBytes > 0) config.maxPendingBytes = static_cast<std::size_t>(maxBytes);
    const int idleMs = qEnvironmentVariable("ZANDREL_QUEUE_IDLE_MS").toInt(&ok);
    if (ok && idleMs > 0) config.idleConnectionTimeoutMs = idleMs;
    config.refusedFirstTexts = qEnvironmentVariable("ZANDREL_QUEUE_REFUSE").split(u';', Qt::SkipEmptyParts);
    return config;
}

QString LocalHostName() { return QSysInfo::machineHostName(); }

bool IsLocalHost(const QString& host) {
    if (host.isEmpty() || host.compare(QLatin1StringView("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QString own = LocalHostName();
    if (own.isEmpty()) return false;
    if (host.compare(own, Qt::CaseInsensitive) == 0) return true;
    const QString shortOwn = own.section(u'.', 0, 0);
    return host.compare(shortOwn, Qt::CaseInsensitive) == 0;
}

std::int32_t ResultFromErrno(int error) {
    return static_cast<std::int32_t>(0x80070000u | (static_cast<std::uint32_t>(error) & 0xFFFFu));
}

void TraceLine(const std::string& text) { hv::Trace(text + "\n"); }

}  // namespace zandrel
