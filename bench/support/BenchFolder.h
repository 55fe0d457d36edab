#pragma once
// What the benchmarks that make files share: a folder for their files on the build's disk
// (HALVANE_BENCH_DIR, else a folder of the benchmark's own next to the program), made
// before the runs and removed after them.

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QString>

namespace hv::bench {

// HALVANE_BENCH_DIR when set, else the folder `name` next to the program.
inline QString FolderFor(const char* name) {
    const QString configured = qEnvironmentVariable("HALVANE_BENCH_DIR");
    return configured.isEmpty() ? QCoreApplication::applicationDirPath() + '/' + QLatin1StringView(name) : configured;
}

// main() of a benchmark that makes files: runs the benchmarks the command line names with
// the folder of `name` made, and removes the folder afterwards (the benchmarks remove what
// they made in it).
inline int RunInFolder(int argc, char** argv, const char* name) {
    QCoreApplication app(argc, argv);
    QDir().mkpath(FolderFor(name));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    QDir().rmdir(FolderFor(name));  // when the benchmarks left it empty
    return 0;
}

}  // namespace hv::bench
