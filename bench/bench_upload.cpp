// Upload cost, in one run:
//  1. the progress poll after 10 MB of accumulated pv output against the
//     same poll after 1 KB (bounded parser), next to the whole-buffer
//     re-split it replaces;
//  2. on the real-ZFS bench (root, zfs-fuse): one >= 200 MB dataset sent
//     by the raw pipeline `zfs send | sshpass ssh zfs recv` by hand, and as
//     a scheduled upload task of the engine (tests/e2e/enginedriver inside
//     the appliance): both throughputs, their ratio, and the engine
//     process's own CPU seconds during its task.
#include "benchdriver.h"
#include "vxrpipeline.h"
#include "zbench.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QThread>

#include <algorithm>
#include <cstdio>

using zbench::Bench;
using zbench::Host;

namespace {

const QByteArray kStatus = "\r[10.0MiB/s] [===================>             ]  64%";

// The rule as first written: the whole buffer re-decoded and re-split.
int wholeBufferPoll(const QByteArray& all)
{
    QByteArray bytes = all;
    bytes.replace('\t', ' ');
    const QStringList parts = QString::fromUtf8(bytes).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return parts.isEmpty() ? 0 : parts.last().trimmed().right(4).size();
}

// Nanoseconds per poll (one 2-second piece of pv output, then the read)
// with `held` bytes accumulated before.
double boundedPollNs(qint64 held, int polls)
{
    VxrPipeline::ProgressParser parser;
    QByteArray block;
    while (block.size() < 1 << 20)
        block += kStatus;
    for (qint64 n = 0; n < held; n += block.size())
        parser.append(held - n >= block.size() ? block : block.left(int(held - n)));
    const QByteArray piece = kStatus + kStatus;
    QString speed;
    int percent = 0;
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < polls; ++i) {
        parser.append(piece);
        parser.read(&speed, &percent);
    }
    return double(t.nsecsElapsed()) / polls;
}

double wholeBufferPollNs(qint64 held, int polls)
{
    QByteArray all;
    while (all.size() < held)
        all += kStatus;
    all.truncate(int(held));
    const QByteArray piece = kStatus + kStatus;
    QElapsedTimer t;
    t.start();
    int sink = 0;
    for (int i = 0; i < polls; ++i) {
        all += piece;
        sink += wholeBufferPoll(all);
    }
    if (sink < 0)
        std::printf("?");
    return double(t.nsecsElapsed()) / polls;
}

void parseFigures()
{
    // Best of five rounds each, to keep scheduling noise out.
    double small = 1e18, large = 1e18;
    for (int round = 0; round < 5; ++round) {
        small = std::min(small, boundedPollNs(1024, 20000));
        large = std::min(large, boundedPollNs(10 * 1000 * 1000, 20000));
    }
    const double wholeSmall = wholeBufferPollNs(1024, 20);
    const double wholeLarge = wholeBufferPollNs(10 * 1000 * 1000, 20);
    std::printf("progress poll, bounded tail:   %.0f ns after 1 KB, %.0f ns after 10 MB (ratio %.2f)\n",
                small, large, large / small);
    std::printf("progress poll, whole buffer:   %.0f ns after 1 KB, %.0f ns after 10 MB (ratio %.0f)\n",
                wholeSmall, wholeLarge, wholeLarge / wholeSmall);
}

int engineFigures()
{
    Bench b;
    QString message;
    const QString ds = QStringLiteral("tank/bup");
    const BenchStart ready = startWithDataset(b, Host::Appliance, ds, "upload throughput and engine CPU");
    if (ready != BenchStart::Ready)
        return ready == BenchStart::Skipped ? 0 : 1;
    const qint64 stream = b.sh(Host::Appliance, "/run/zfs/zfs.real send " + ds + "@vxr_1 | wc -c").text().toLongLong();

    QElapsedTimer t;
    t.start();
    const zbench::Result raw = b.sh(
        Host::Appliance,
        QStringLiteral("set -o pipefail; zfs send %1@vxr_1 | sshpass -e ssh -p %2 -o 'StrictHostKeyChecking no' "
                       "root@127.0.0.1 '/usr/sbin/zfs recv -Fu tank/bupraw'").arg(ds).arg(b.port()),
        600000, {{"SSHPASS", b.password()}});
    const double rawS = double(t.nsecsElapsed()) / 1e9;

    // The engine: a schedule at the next minute of its shifted clock.
    BenchDriver driver;
    if (!driver.start(b, b.stateDir() + "/bench-upload", QJsonArray{ds}, true, &message)) {
        std::printf("upload throughput: %s\n", qPrintable(message));
        return 1;
    }
    QElapsedTimer wait;
    wait.start();
    while (driver.queueLength() == 0 && wait.elapsed() < 90000)
        QThread::msleep(20);
    t.restart();
    const double cpu0 = driver.cpuSeconds();
    // The transfer proper starts with pv, after the listings and estimates
    // (the bench's zfs counts an estimate by generating the stream).
    const bool metered = driver.waitForProgram("pv", 600000);
    const qint64 pvAtNs = metered ? t.nsecsElapsed() : -1;
    while (driver.queueLength() > 0 && t.elapsed() < 600000)
        QThread::msleep(100);
    const double engineS = double(t.nsecsElapsed()) / 1e9;
    const double transferS = pvAtNs < 0 ? -1 : engineS - double(pvAtNs) / 1e9;
    const double cpu = driver.cpuSeconds() - cpu0;
    const QByteArray out = driver.stop();

    const QString sumA = b.checksum(Host::Appliance, ds, &message);
    const QString sumS = b.checksum(Host::Server, ds, &message);
    const bool succeeded = out.contains("Upload Success") || sumA == sumS;
    b.stop(&message);
    if (!raw.ok() || sumA != sumS || !succeeded) {
        std::printf("upload throughput: a run failed (raw %d, checksums %s)\n", raw.exitCode,
                    sumA == sumS ? "equal" : "differ");
        return 1;
    }
    TransferFigures{"raw zfs send | sshpass ssh:", "engine upload task:", stream, rawS, engineS, transferS, cpu}.print();
    return 0;
}

} // namespace

int main()
{
    parseFigures();
    return engineFigures();
}
