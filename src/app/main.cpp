// Halvane's entry point: serves the Crestron port (on 1025, or on the port given as the
// first argument) until the process is ended.
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>

#include "app/DiagnosticLog.h"
#include "app/PortFrame.h"

int main(int argc, char** argv) {
    hv::TheLog();  // the log's start time is the process's start
    QCoreApplication app(argc, argv);

    unsigned port = 1025;
    if (argc > 1) {
        char* end = nullptr;
        const unsigned long value = std::strtoul(argv[1], &end, 10);
        if (end == argv[1] || *end != '\0') {
            std::fprintf(stderr, "usage: %s [port]\n", argv[0]);
            return 2;
        }
        port = static_cast<unsigned>(value);
    }

    hv::PortFrame frame;
    if (!frame.Create(port)) {
        std::fprintf(stderr, "%s\n", frame.ErrorText(port).toLocal8Bit().constData());
        return 1;
    }
    return app.exec();
}
