// The archive's checksums: SHA-256 with OpenSSL's libcrypto against Qt's
// QCryptographicHash over the same bytes in memory; and `Halvane --verify-archive` (the
// real program, without its rate limit and at its default limit) against `sha256sum -c`
// of the same files in the same run, both from a cold page cache (the files evicted before
// each run) and from a warm one.
//
// Files are made under HALVANE_BENCH_DIR (default: a folder next to the program, on the
// build's disk) and removed afterwards.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <chrono>

#include "BenchFolder.h"
#include "fixity/Manifest.h"
#include "fixity/Sha256.h"

namespace {

constexpr qint64 kMiB = 1'048'576;

constexpr const char* kFolder = "bench-fixity";

QString BenchRoot() { return hv::bench::FolderFor(kFolder); }

QByteArray Block(qint64 size) {
    QByteArray block(static_cast<qsizetype>(size), Qt::Uninitialized);
    for (qsizetype i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + i / 4099);
    return block;
}

void BM_Sha256Libcrypto(benchmark::State& state) {
    const QByteArray data = Block(64 * kMiB);
    for (auto _ : state) {
        hv::fixity::Sha256 hash;
        for (qsizetype at = 0; at < data.size(); at += kMiB) hash.Update(data.constData() + at, kMiB);
        benchmark::DoNotOptimize(hash.FinalHex());
    }
    state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(BM_Sha256Libcrypto)->Unit(benchmark::kMillisecond)->MinTime(2);

void BM_Sha256QCryptographicHash(benchmark::State& state) {
    const QByteArray data = Block(64 * kMiB);
    for (auto _ : state) {
        QCryptographicHash hash(QCryptographicHash::Sha256);
        for (qsizetype at = 0; at < data.size(); at += kMiB) hash.addData(QByteArrayView(data.constData() + at, kMiB));
        benchmark::DoNotOptimize(hash.result());
    }
    state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(BM_Sha256QCryptographicHash)->Unit(benchmark::kMillisecond)->MinTime(2);

// A game folder of `files` videos of `size` bytes with its manifest, on the disk.
struct Game {
    QTemporaryDir dir{BenchRoot() + "/verify-XXXXXX"};
    QString folder;
    QStringList files;

    Game(int count, qint64 size) {
        folder = dir.filePath("archive/2024-05-17/19-30");
        QDir().mkpath(folder + "/cam1");
        const QByteArray block = Block(kMiB);
        QByteArray manifest;
        for (int i = 0; i < count; ++i) {
            const QString name = QStringLiteral("cam1/1_%1.mp4").arg(i + 1);
            QFile file(folder + '/' + name);
            if (!file.open(QIODevice::WriteOnly)) continue;
            hv::fixity::Sha256 hash;
            for (qint64 done = 0; done < size; done += kMiB) {
                QByteArray chunk = block;
                chunk[0] = static_cast<char>(i);
                chunk[1] = static_cast<char>(done / kMiB);
                file.write(chunk);
                hash.Update(chunk.constData(), static_cast<std::size_t>(chunk.size()));
            }
            file.flush();
            ::fsync(file.handle());
            manifest += hv::fixity::FormatLine(hash.FinalHex(), name.toUtf8()) + '\n';
            files << folder + '/' + name;
        }
        QFile out(folder + "/SHA256SUMS");
        if (out.open(QIODevice::WriteOnly)) out.write(manifest);
    }
    // Out of the page cache, so that the next reader reads from the disk.
    void Evict() const {
        for (const QString& path : files) {
            const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            ::fdatasync(fd);
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
            ::close(fd);
        }
    }
    // Reads everything once, into the page cache.
    void Warm() const {
        std::vector<char> buffer(kMiB);
        for (const QString& path : files) {
            const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            while (::read(fd, buffer.data(), buffer.size()) > 0) {
            }
            ::close(fd);
        }
    }
};

// Seconds that `program` with `arguments` took, run in `folder`; negative when it failed.
double Timed(const QString& program, const QStringList& arguments, const QString& folder = {}) {
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    if (!folder.isEmpty()) process.setWorkingDirectory(folder);
    const auto t0 = std::chrono::steady_clock::now();
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return -1;
    (void)process.readAllStandardOutput();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The whole game folder checked by the program without its limit and by sha256sum, in
// turns; arg 0: cold page cache, 1: warm.
void BM_VerifyAgainstSha256sum(benchmark::State& state) {
    const bool warm = state.range(0) == 1;
    const int count = 6;
    const qint64 size = 128 * kMiB;
    const Game game(count, size);
    const double bytes = static_cast<double>(count * size);
    double verifySeconds = 0, sumSeconds = 0;
    for (auto _ : state) {
        warm ? game.Warm() : game.Evict();
        const double v = Timed(QStringLiteral(HALVANE_PROGRAM),
                               {"--verify-archive", game.dir.filePath("archive"), "--max-rate", "0"});
        warm ? game.Warm() : game.Evict();
        const double s = Timed(QStringLiteral("sha256sum"), {"-c", "--quiet", "SHA256SUMS"}, game.folder);
        if (v < 0 || s < 0) {
            state.SkipWithError("a check failed");
            break;
        }
        state.SetIterationTime(v);
        verifySeconds += v;
        sumSeconds += s;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["verify_MiB_per_s"] = bytes * n / kMiB / verifySeconds;
    state.counters["sha256sum_MiB_per_s"] = bytes * n / kMiB / sumSeconds;
    state.counters["ratio_verify_to_sha256sum"] = sumSeconds / verifySeconds;
}
BENCHMARK(BM_VerifyAgainstSha256sum)->Arg(0)->Arg(1)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// The program at its default limit (64 MiB/s): the rate it keeps.
void BM_VerifyAtItsDefaultLimit(benchmark::State& state) {
    const Game game(2, 96 * kMiB);
    double seconds = 0;
    for (auto _ : state) {
        game.Warm();
        const double v = Timed(QStringLiteral(HALVANE_PROGRAM), {"--verify-archive", game.dir.filePath("archive")});
        if (v < 0) {
            state.SkipWithError("the check failed");
            break;
        }
        state.SetIterationTime(v);
        seconds += v;
    }
    const double achieved = 2.0 * 96 * static_cast<double>(state.iterations()) / seconds;
    state.counters["MiB_per_s"] = achieved;
    state.counters["ratio_to_limit"] = achieved / 64;
}
BENCHMARK(BM_VerifyAtItsDefaultLimit)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return hv::bench::RunInFolder(argc, argv, kFolder); }
