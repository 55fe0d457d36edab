#pragma once
// The intruder of the message queue tests (tests/suite/queue_intruder.cpp): a program that
// tries to get at queues, relays and locks, one attempt a group of arguments and one line
// an attempt. Run as the other user (OtherUser.h) it stands for a stranger on this
// computer; run as this user it stands for another computer's relay handing on frames.

#include <QString>
#include <QStringList>

#include "OtherUser.h"
#include "QueueTestSupport.h"

namespace hv::test {

class Intruder : public LineProcess {
public:
    bool StartAsThisUser(const QStringList& attempts) { return Start(BinaryPath("queue_intruder"), attempts); }
    // As the other user, with `home` and the variables of `environment` ("NAME=value");
    // what it traces comes with its lines.
    bool StartAsOtherUser(const QString& home, const QStringList& environment, const QStringList& attempts) {
        const QStringList line = AsOtherUser(home, environment, BinaryPath("queue_intruder"), attempts);
        return Start(line.value(0), line.mid(1), true);
    }
    // Its lines until its output ends (or a line is long in coming).
    QStringList Lines() {
        QStringList lines;
        for (QString got; !(got = ReadLine()).isEmpty();) lines << got;
        return lines;
    }
};

}  // namespace hv::test
