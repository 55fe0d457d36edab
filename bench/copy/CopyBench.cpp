// The archive copy: the rate the copy worker achieves against the configured limit and
// its processor time per GiB, with the checksum it records and without; its time at 99 MiB/s for a set of recordings against cp of
// the same files on the same disk; and the planning of Stop the game (51 requests) over a
// recorder tree of 5,000 and 50,000 files.
//
// Files are made under HALVANE_BENCH_DIR (default: a folder next to the program, on the
// build's disk) and removed afterwards.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <mutex>

#include "BenchFolder.h"
#include "copy/ArchiveRoot.h"
#include "copy/CopyPlanning.h"
#include "copy/CopyWorker.h"
#include "platform/FileSystem.h"
#include "platform/Trace.h"

extern char** environ;

namespace {

using hv::CopyWorker;
constexpr qint64 kMiB = 1'048'576;

constexpr const char* kFolder = "bench-copy";

QString BenchRoot() { return hv::bench::FolderFor(kFolder); }

void MakeFile(const QString& path, qint64 size) {
    QDir().mkpath(path.left(path.lastIndexOf('/')));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return;
    QByteArray block(static_cast<qsizetype>(std::min(size, kMiB)), Qt::Uninitialized);
    for (qsizetype i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + 3);
    for (qint64 done = 0; done < size; done += block.size()) file.write(block.constData(), std::min<qint64>(block.size(), size - done));
    file.flush();
    ::fsync(file.handle());
}

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Copies one file at `rate` MiB/s; the achieved rate and the processor time per GiB.
// Second argument: 1 records the copy's checksum (as the program always does), 0 not,
// for the cost of the checksum.
void BM_RateLimit(benchmark::State& state) {
    const int rate = static_cast<int>(state.range(0));
    const auto checksums = state.range(1) == 1 ? hv::Checksums::Record : hv::Checksums::Off;
    QTemporaryDir dir(BenchRoot() + "/rate-XXXXXX");
    const qint64 size = std::max<qint64>(32, rate * 2) * kMiB;  // about two seconds of copying
    const QString source = dir.filePath("rec/1_1.mp4");
    MakeFile(source, size);
    QDir().mkpath(dir.filePath("archive"));
    const hv::ArchiveRoot root = hv::ArchiveRoot::Record(dir.filePath("archive"));
    std::vector<char> buffer(CopyWorker::kChunkSize);
    std::atomic<int> percent{0};
    std::atomic<bool> stop{false};
    double seconds = 0, cpu = 0, bytes = 0;
    for (auto _ : state) {
        const QString target = dir.filePath("archive/g/1_1.mp4");
        const double cpu0 = ProcessCpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        const auto result = CopyWorker::CopyFile(hv::fs::Encode(source), hv::fs::Encode(target), root, buffer,
                                                 CopyWorker::ChunkBudgetUs(rate), false, percent, stop, nullptr,
                                                 hv::fs::Encode(dir.filePath("archive/g/")), checksums);
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (result != CopyWorker::CopyResult::Copied) state.SkipWithError("copy failed");
        state.SetIterationTime(s);
        seconds += s;
        cpu += ProcessCpuSeconds() - cpu0;
        bytes += static_cast<double>(size);
        QFile::remove(target);
    }
    const double achieved = bytes / kMiB / seconds;
    state.counters["MiB_per_s"] = achieved;
    state.counters["ratio_to_limit"] = achieved / rate;
    state.counters["cpu_s_per_GiB"] = cpu / (bytes / (1024.0 * kMiB));
}
BENCHMARK(BM_RateLimit)
    ->Args({10, 1})
    ->Args({50, 1})
    ->Args({99, 1})
    ->Args({99, 0})
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// A set of recordings at 99 MiB/s against cp of the same files, same disk, same run.
void BM_CopyAgainstCp(benchmark::State& state) {
    QTemporaryDir dir(BenchRoot() + "/cp-XXXXXX");
    QStringList sources;
    for (int camera = 1; camera <= 6; ++camera) {
        sources << dir.filePath(QString("rec/cam%1/1_%1.mp4").arg(camera));
        MakeFile(sources.back(), 24 * kMiB);
    }
    sources << dir.filePath("rec/1.xml");
    MakeFile(sources.back(), 20'000);
    std::vector<char> buffer(CopyWorker::kChunkSize);
    std::atomic<int> percent{0};
    std::atomic<bool> stop{false};
    double workerSeconds = 0, cpSeconds = 0;
    for (auto _ : state) {
        QDir(dir.filePath("archive")).removeRecursively();
        QDir(dir.filePath("cp")).removeRecursively();
        QDir().mkpath(dir.filePath("archive"));
        const hv::ArchiveRoot root = hv::ArchiveRoot::Record(dir.filePath("archive"));
        ::sync();
        auto t0 = std::chrono::steady_clock::now();
        for (const QString& source : sources) {
            const QString target = dir.filePath("archive") + source.mid(dir.filePath("rec").size());
            CopyWorker::CopyFile(hv::fs::Encode(source), hv::fs::Encode(target), root, buffer,
                                 CopyWorker::ChunkBudgetUs(99), false, percent, stop, nullptr,
                                 hv::fs::Encode(dir.filePath("archive/")));
        }
        const double w = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        ::sync();
        t0 = std::chrono::steady_clock::now();
        // cp -r of the same tree, then a sync: the worker syncs each file it writes.
        QByteArray from = QFile::encodeName(dir.filePath("rec")), to = QFile::encodeName(dir.filePath("cp"));
        char* argv[] = {const_cast<char*>("cp"), const_cast<char*>("-r"), from.data(), to.data(), nullptr};
        pid_t pid = 0;
        if (posix_spawnp(&pid, "cp", nullptr, nullptr, argv, environ) == 0) {
            int status = 0;
            waitpid(pid, &status, 0);
        }
        ::sync();
        const double c = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.SetIterationTime(w);
        workerSeconds += w;
        cpSeconds += c;
    }
    state.counters["worker_s"] = workerSeconds / static_cast<double>(state.iterations());
    state.counters["cp_s"] = cpSeconds / static_cast<double>(state.iterations());
    state.counters["ratio_worker_to_cp"] = workerSeconds / cpSeconds;
}
BENCHMARK(BM_CopyAgainstCp)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

const QString kGame = QStringLiteral("2024-05-17\\19-30\\");

// A recorder tree of `files` files in two root folders: periods 0 to 50 (50 is the
// recording before the game), a description and cameras in four subfolders per root.
void MakeRecorderTree(const QTemporaryDir& dir, int files) {
    for (int i = 0; i < files; ++i) {
        const int period = i % 51;
        const int camera = i / 51;
        const QString root = dir.filePath(i % 2 == 0 ? "rec1" : "rec2") + "/2024-05-17/19-30/";
        const QString path = camera == 0 ? root + QString("%1.xml").arg(period)
                                         : root + QString("cam%1/%2_%3.mp4").arg(camera % 4).arg(period).arg(camera);
        QDir().mkpath(path.left(path.lastIndexOf('/')));
        QFile file(path);
        if (file.open(QIODevice::WriteOnly)) file.write("x");
    }
}

// The planning of Stop the game over a recorder tree of `files` files in two root folders,
// its traces not measured.
struct PlanningBench {
    explicit PlanningBench(int files) {
        settings.CopyToPath = dir.filePath("archive") + "/";
        settings.CopyFromPathList = dir.filePath("rec1") + ";" + dir.filePath("rec2");
        QDir().mkpath(dir.filePath("archive"));
        MakeRecorderTree(dir, files);
        hv::SetTraceSink([](std::string_view) {});
        // The root as the frame holds it: recorded when the settings were taken.
        root = hv::ArchiveRoot::Record(settings.CopyToPath);
    }
    ~PlanningBench() { hv::SetTraceSink({}); }

    // Its 51 full requests: the recording before the game (50) and periods 0 to 49, listing
    // the recorder folders once for all of them when given a batch, once a request without.
    void PlanAll(hv::CopyPlanner::Batch* batch = nullptr) {
        Plan(batch, 50);
        for (int i = 0; i < 50; ++i) Plan(batch, i);
    }
    void Plan(hv::CopyPlanner::Batch* batch, int period) {
        if (batch)
            planner.FillCopyFiles(*batch, root, settings, kGame, period, false, 0);
        else
            planner.FillCopyFiles(root, settings, kGame, period, false, 0);
    }

    QTemporaryDir dir{BenchRoot() + "/plan-XXXXXX"};
    hv::AppSettings settings;
    std::mutex lock;
    hv::CopyList list;
    hv::CopyPlanner planner{lock, list};
    hv::ArchiveRoot root;
};

// Stop the game: 51 full requests over a recorder tree of N files in two root folders,
// planned as one run.
void BM_PlanStopTheGame(benchmark::State& state) {
    const int files = static_cast<int>(state.range(0));
    PlanningBench bench(files);
    std::size_t queued = 0;
    for (auto _ : state) {
        bench.list.clear();
        hv::CopyPlanner::Batch batch;
        bench.PlanAll(&batch);
        queued = bench.list.size();
    }
    state.counters["files"] = files;
    state.counters["queued"] = static_cast<double>(queued);
}
BENCHMARK(BM_PlanStopTheGame)->Arg(5000)->Arg(50000)->Unit(benchmark::kMillisecond);

// The same requests each walking the folders on its own.
void BM_PlanStopTheGameUnbatched(benchmark::State& state) {
    PlanningBench bench(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        bench.list.clear();
        bench.PlanAll();
    }
    state.counters["queued"] = static_cast<double>(bench.list.size());
}
BENCHMARK(BM_PlanStopTheGameUnbatched)->Arg(5000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return hv::bench::RunInFolder(argc, argv, kFolder); }
