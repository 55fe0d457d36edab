// The program itself serving the port, as a child process.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QProcess>
#include <string>

namespace {

// A socket listening on a free loopback port; the port number.
int ListenSomewhere(unsigned& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 1) != 0)
        return -1;
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    return fd;
}

TEST(HalvaneProgram, PortInUseEndsTheProgramWithItsMessage) {
    unsigned port = 0;
    const int busy = ListenSomewhere(port);
    ASSERT_GE(busy, 0);
    QProcess program;
    program.start(QStringLiteral(HALVANE_EXE), {QString::number(port)});
    ASSERT_TRUE(program.waitForFinished(30000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 1);
    const std::string expected = "Can't init TCP/IP port #" + std::to_string(port) +
                                 " for Crestron interaction!\nError=" + std::to_string(EADDRINUSE) +
                                 " on step=3.\n";
    EXPECT_NE(program.readAllStandardError().toStdString().find(expected), std::string::npos);
    ::close(busy);
}

TEST(HalvaneProgram, AnswersAController) {
    unsigned port = 0;
    const int probe = ListenSomewhere(port);  // a port that is free once this closes
    ASSERT_GE(probe, 0);
    ::close(probe);
    QProcess program;
    program.start(QStringLiteral(HALVANE_EXE), {QString::number(port)});
    ASSERT_TRUE(program.waitForStarted(30000));

    // Retry until the program listens.
    int fd = -1;
    for (int attempt = 0; attempt < 300 && fd < 0; ++attempt) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            fd = -1;
            program.waitForFinished(100);
            ASSERT_EQ(program.state(), QProcess::Running) << program.readAllStandardError().toStdString();
        }
    }
    ASSERT_GE(fd, 0);
    const timeval wait{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    const std::string commands = "C0601\nC0501000000000000" "00001234" "03-02\nC0601\n";
    ASSERT_EQ(::send(fd, commands.data(), commands.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(commands.size()));
    const std::string expectedTail = "M060100001234 ok\n";
    std::string answers;
    char buffer[256];
    while (answers.size() < 17 + 21 + 17) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        answers.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    EXPECT_EQ(answers.substr(0, 17), "M060100000000err\n");
    EXPECT_EQ(answers.substr(17, 5), "M0501");
    EXPECT_EQ(answers.substr(answers.size() - expectedTail.size()), expectedTail);
    program.kill();
    program.waitForFinished(30000);
}

}  // namespace
