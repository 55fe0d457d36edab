#include "CompanionQueue.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QThread>
#include <cstdio>

#include "platform/WindowMessages.h"

namespace zandrel {

namespace {

// The window message the component announces arrivals with.
constexpr unsigned kArrival = hv::WM_USER + 123;
// Messages handled per announcement; the rest wait for a fresh one, so that a flood of
// messages cannot starve the event loop.
constexpr int kMaxMessagesPerRound = 1000;
// How long a held name is tried again, and how often.
constexpr int kNameRetryMs = 2000;
constexpr int kNameRetryPauseMs = 100;

void WriteLine(std::FILE* stream, const QString& line) {
    const QByteArray bytes = (line + u'\n').toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

}  // namespace

QString ComponentDirectory() {
    const QString named = qEnvironmentVariable("HALVANE_COMPONENT_DIR");
    if (!named.isEmpty()) return named;
    QDir dir(QCoreApplication::applicationDirPath());
    for (int level = 0; level < 3; ++level) {
        if (QFileInfo(dir.filePath(QStringLiteral("components"))).isDir()) return dir.filePath(QStringLiteral("components"));
        if (!dir.cdUp()) break;
    }
    return QCoreApplication::applicationDirPath() + QStringLiteral("/components");
}

QStringList Misbehaviours(const QString& program) {
    QString words = qEnvironmentVariable((program.toUpper() + QStringLiteral("_MISBEHAVE")).toUtf8().constData());
    if (words.isEmpty()) {
        const QString conf = QCoreApplication::applicationDirPath() + u'/' + program + QStringLiteral(".conf");
        if (QFileInfo::exists(conf)) {
            const QVariant value = QSettings(conf, QSettings::IniFormat).value(QStringLiteral("misbehave"));
            words = value.typeId() == QMetaType::QStringList ? value.toStringList().join(u',') : value.toString();
        }
    }
    QStringList list;
    for (const QString& word : words.split(u',', Qt::SkipEmptyParts)) list << word.trimmed().toLower();
    return list;
}

int OpenFailed(CompanionQueue::OpenResult result, const QString& program, const QString& error) {
    ReportError(program + QStringLiteral(": ") + error);
    return result == CompanionQueue::OpenResult::NoComponent ? kExitNoComponent : kExitNameHeld;
}

void RefuseAtTheQueue(const QString& message) {
    QStringList refused = qEnvironmentVariable("ZANDREL_QUEUE_REFUSE").split(u';', Qt::SkipEmptyParts);
    refused.append(message);
    qputenv("ZANDREL_QUEUE_REFUSE", refused.join(u';').toUtf8());
}

void ReportError(const QString& line) { WriteLine(stderr, line); }
void ReportLine(const QString& line) { WriteLine(stdout, line); }

CompanionQueue::CompanionQueue(Handler handler) : handler_(std::move(handler)) {}

CompanionQueue::~CompanionQueue() {
    // The queue goes before the component that made it, and before this window.
    queue_ = nullptr;
    queueObject_.reset();
    serviceObject_.reset();
}

CompanionQueue::OpenResult CompanionQueue::Open(const QString& componentDirectory, const QString& name,
                                                QString* error) {
    factory_ = std::make_unique<hv::ComponentFactory>(componentDirectory);
    hv::IQueueService* service = nullptr;
    serviceObject_ = factory_->CreateFor(hv::kMessageQueueServiceClass, service);
    if (!serviceObject_) {
        if (error) *error = QStringLiteral("no message queue component in ") + componentDirectory;
        return OpenResult::NoComponent;
    }
    std::int32_t status = 0;
    std::int32_t result = 0;
    hv::HResult res = hv::S_OK;
    bool told = false;
    for (QDeadlineTimer retry(kNameRetryMs);; QThread::msleep(kNameRetryPauseMs)) {
        queueObject_.reset();
        res = service->CreateQueue(status, result, name, this, kArrival, 0, 0, queueObject_);
        queue_ = hv::QueryInterface<hv::IMessageQueue>(queueObject_.get());
        if ((res == hv::S_OK && result == 0 && queue_ != nullptr) || retry.hasExpired()) break;
        // Said once: a probe that holds the name for a moment is no reason to give up.
        if (!told)
            ReportError(QStringLiteral("the queue %1 is held: trying again for %2 s").arg(name).arg(kNameRetryMs / 1000));
        told = true;
    }
    if (res != hv::S_OK || result != 0 || queue_ == nullptr) {
        queue_ = nullptr;
        queueObject_.reset();
        if (error)
            *error = QStringLiteral("cannot hold the queue %1: res=0x%2, result=%3")
                         .arg(name)
                         .arg(static_cast<unsigned>(res), 0, 16)
                         .arg(result);
        return OpenResult::NameHeld;
    }
    return OpenResult::Opened;
}

bool CompanionQueue::Send(const QString& host, const QString& target, const QString& firstText,
                          const QString& secondText) {
    if (queue_ == nullptr) return false;
    std::int32_t status = 0;
    std::int32_t result = 0;
    const hv::HResult res = queue_->Send(status, result, ++sequence_, 0, 0, host, target, firstText, secondText);
    if (res == hv::S_OK && result == 0 && status == 1) return true;
    ReportError(QStringLiteral("cannot send to %1 on '%2': res=0x%3, result=%4, status=%5")
                    .arg(target, host)
                    .arg(static_cast<unsigned>(res), 0, 16)
                    .arg(result)
                    .arg(status));
    return false;
}

bool CompanionQueue::event(QEvent* event) {
    hv::ReceiveWindowMessages(this);
    if (event->type() != hv::EventTypeOf(kArrival)) return QObject::event(event);
    Drain();
    return true;
}

void CompanionQueue::Drain() {
    for (int taken = 0; queue_ != nullptr; ++taken) {
        std::int32_t count = 0;
        std::int32_t unused = 0;
        if (queue_->GetCount(count, unused) != hv::S_OK || count <= 0) return;
        if (taken >= kMaxMessagesPerRound) {
            hv::PostWindowMessage(this, kArrival);
            return;
        }
        hv::QueueMessage message;
        if (queue_->Receive(message) != hv::S_OK || message.Values[2] != 1) return;
        handler_(message);
    }
}

}  // namespace zandrel
