// File digest and gzip benchmark. In one run, on one machine, page cache
// warm:
//   MD5 of a 1 GiB file: HX2File::fileMd5 (4 KiB pieces) and the streamed
//   HX2File::toMd5 against `md5sum`;
//   gzip of 100 MB of log-like text: gnuzip() in memory against `gzip -6`
//   writing to /dev/null.
// Each is timed three times, interleaved, and the best time counts.
// Printed: seconds, the ratio baseline time / our time (1.0x = as fast,
// above 1 faster), and the growth of peak resident memory during the
// digests (it must stay flat however large the file is).
// Arguments: [MiB for the MD5 file, default 1024] [MB for gzip, default 100]
#include "hx2file.h"
#include "hx2runner.h"
#include "hx2utils.h"

#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace {

using Clock = std::chrono::steady_clock;

double secondsOf(const std::function<void()>& work)
{
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Peak resident set of this process, in KiB.
long peakRssKb()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

bool writeNoise(const QString& path, qint64 bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1 << 20, Qt::Uninitialized);
    quint64 x = 0x9e3779b97f4a7c15ull;
    for (qint64 done = 0; done < bytes; done += block.size()) {
        for (int i = 0; i < block.size(); i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            std::memcpy(block.data() + i, &x, 8);
        }
        if (f.write(block.constData(), qMin<qint64>(block.size(), bytes - done)) < 0)
            return false;
    }
    return true;
}

// Log-like lines: repeated words with changing numbers, so the ratio is
// that of real text rather than of noise or of one repeated line.
QByteArray logText(int bytes)
{
    static const char* const words[] = {"upload", "snapshot", "pool/data", "sent", "received",
                                        "bytes", "task", "done", "WARN", "INFO", "retry", "ssh"};
    QByteArray out;
    out.reserve(bytes + 200);
    quint32 x = 12345;
    while (out.size() < bytes) {
        x = x * 1103515245u + 12345u;
        out += "2024-05-01 08:";
        out += QByteArray::number(10 + (x >> 8) % 50) + ":" + QByteArray::number(10 + (x >> 4) % 50);
        for (int w = 0; w < 6; ++w) {
            x = x * 1103515245u + 12345u;
            out += ' ';
            out += words[(x >> 16) % 12];
            if (w % 2)
                out += ' ' + QByteArray::number((x >> 3) % 100000);
        }
        out += '\n';
    }
    out.truncate(bytes);
    return out;
}

void report(const char* what, double ours, double base, const char* baseName)
{
    std::printf("%-26s %8.3f s   %-14s %8.3f s   ratio %.2fx\n", what, ours, baseName, base, base / ours);
}

} // namespace

int main(int argc, char** argv)
{
    const qint64 md5MiB = argc > 1 ? std::atoll(argv[1]) : 1024;
    const int gzipMB = argc > 2 ? std::atoi(argv[2]) : 100;
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const QString file = dir.filePath("digest.bin");
    std::printf("MD5 of %lld MiB, gzip of %d MB (best of 3, page cache warm)\n", md5MiB, gzipMB);
    if (!writeNoise(file, md5MiB << 20)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
        return 1;
    }

    QString sumRef, sumFile, sumStream;
    HX2RunOptions noLimit;
    noLimit.finishMs = -1;
    auto md5sum = [&] {
        const HX2RunResult r = HX2Runner::run("md5sum", {file}, noLimit);
        sumRef = QString::fromLatin1(r.out.left(32));
    };
    md5sum(); // warms the page cache
    const long rssBefore = peakRssKb();
    double tRef = 1e9, tFile = 1e9, tStream = 1e9;
    for (int round = 0; round < 3; ++round) {
        tRef = std::min(tRef, secondsOf(md5sum));
        tFile = std::min(tFile, secondsOf([&] { sumFile = HX2File::fileMd5(file); }));
        tStream = std::min(tStream, secondsOf([&] { sumStream = HX2File::toMd5(file); }));
    }
    const long rssGrowth = peakRssKb() - rssBefore;
    if (sumFile != sumRef || sumStream != sumRef) {
        std::fprintf(stderr, "digests differ: md5sum %s fileMd5 %s toMd5 %s\n", qPrintable(sumRef),
                     qPrintable(sumFile), qPrintable(sumStream));
        return 1;
    }
    report("fileMd5", tFile, tRef, "md5sum");
    report("toMd5 (streamed)", tStream, tRef, "md5sum");
    std::printf("peak resident memory growth during the digests: %ld KiB\n", rssGrowth);
    QFile::remove(file);

    const QByteArray text = logText(gzipMB * 1000000);
    const QString textFile = dir.filePath("log.txt");
    {
        QFile f(textFile);
        if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
            return 1;
    }
    QByteArray gz;
    auto gzipTool = [&] {
        HX2Runner::run("sh", {"-c", "gzip -6 -c " + toShellArgEscaped(textFile) + " > /dev/null"}, noLimit);
    };
    gzipTool();
    double tGzip = 1e9, tOurs = 1e9;
    for (int round = 0; round < 3; ++round) {
        tGzip = std::min(tGzip, secondsOf(gzipTool));
        tOurs = std::min(tOurs, secondsOf([&] { gz = gnuzip(text); }));
    }
    const HX2RunResult sized = HX2Runner::run("sh", {"-c", "gzip -6 -c " + toShellArgEscaped(textFile) + " | wc -c"});
    report("gnuzip (in memory)", tOurs, tGzip, "gzip -6");
    std::printf("compressed size: gnuzip %d bytes, gzip -6 %s bytes\n", gz.size(), sized.out.trimmed().constData());
    return 0;
}
