// A restore that resumes, in one run on the real-ZFS bench (root,
// zfs-fuse): a dataset of three snapshots on the server, restored (a) whole
// from nothing and (b) cut once its incremental phase runs (the server's
// send ended), then asked again, when it goes on from the target's newest
// snapshot. Printed: the bytes that crossed the link for each (loopback's
// counter: the bench's two hosts talk over it) against the stream of the
// snapshots the resumed one still lacked, and the time of each.
#include "benchdriver.h"

#include "hx2runner.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <csignal>
#include <cstdio>

using zbench::Bench;
using zbench::Host;

namespace {

qint64 loopbackBytes()
{
    QFile f(QStringLiteral("/sys/class/net/lo/statistics/tx_bytes"));
    return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().toLongLong() : -1;
}

// Ends the server's incremental send once it runs; true when one was ended.
bool cutIncrementalSend(Bench& b, int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        bool cut = false;
        for (qint64 p : HX2Runner::descendants(b.daemonPids().value(QStringLiteral("SSHD")))) {
            QFile f(QStringLiteral("/proc/%1/cmdline").arg(p));
            const QByteArray line = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
            if (line.contains(QByteArray("\0send\0", 6)) && line.contains(QByteArray("\0-I\0", 4))) {
                ::kill(static_cast<pid_t>(p), SIGKILL);
                cut = true;
            }
        }
        if (cut)
            return true;
        QThread::msleep(50);
    }
    return false;
}

struct Run
{
    bool ok = false;
    qint64 bytes = 0;
    double seconds = 0;
};

// One restore request of the dataset, until the queue is empty again.
Run restore(Bench& b, BenchDriver& driver, const QString& ds, bool cut)
{
    Run r;
    const qint64 before = loopbackBytes();
    QElapsedTimer t;
    t.start();
    const QJsonObject reply = QJsonDocument::fromJson(
        driver.ask(QStringLiteral("restoreone %1 %2 root %3 - - %4").arg(b.serverHost()).arg(b.port()).arg(ds)
                       .arg(b.password()).toUtf8())).object();
    r.ok = reply.value("ok").toBool() && (!cut || cutIncrementalSend(b, 600000));
    while (driver.queueLength() > 0 && t.elapsed() < 900000)
        QThread::msleep(100);
    r.seconds = double(t.nsecsElapsed()) / 1e9;
    r.bytes = loopbackBytes() - before;
    return r;
}

} // namespace

int main()
{
    Bench b;
    QString message;
    const char* what = "resumed restore";
    const QString why = Bench::skipReason();
    if (!why.isEmpty()) {
        std::printf("%s: not measured (%s)\n", what, qPrintable(why));
        return 0;
    }
    if (b.start(&message) != Bench::StartResult::Up) {
        std::printf("%s: bench did not start: %s\n", what, qPrintable(message));
        return 1;
    }
    const QString ds = QStringLiteral("tank/brz");
    bool made = b.run(Host::Server, {"zfs", "create", ds}).ok();
    for (int i = 1; i <= 3 && made; ++i) {
        made = b.fill(Host::Server, ds, 70 + i, 12, 3 * 1000 * 1000, &message)
               && b.run(Host::Server, {"zfs", "snapshot", ds + QStringLiteral("@vxr_%1").arg(i)}).ok();
    }
    const QString original = made ? b.checksum(Host::Server, ds, &message) : QString();
    BenchDriver driver;
    if (!made || !driver.start(b, b.stateDir() + "/bench-resume", QJsonArray(), false, &message)) {
        std::printf("%s: cannot prepare: %s\n", what, qPrintable(message));
        return 1;
    }
    auto streamSize = [&](const QString& args) {
        return b.sh(Host::Server, "/run/zfs/zfs.real send " + args + " | wc -c").text().toLongLong();
    };

    const Run whole = restore(b, driver, ds, false);
    const bool wholeEqual = b.checksum(Host::Appliance, ds, &message) == original;
    b.destroy(Host::Appliance, ds);

    // Slow enough on the appliance's side for the cut to come mid-stream.
    QFile throttle(b.hostPath(Host::Appliance, "/run/zfs/throttle"));
    throttle.open(QIODevice::WriteOnly);
    throttle.write("8M");
    throttle.close();
    const Run cut = restore(b, driver, ds, true);
    throttle.remove();
    const QStringList held = b.snapshots(Host::Appliance, ds);
    const qint64 missing = held.isEmpty() ? 0
                                          : streamSize("-RI " + ds + "@" + held.last().section('@', 1) + " " + ds
                                                       + "@vxr_3");
    const Run resumed = restore(b, driver, ds, false);
    const bool resumedEqual = b.checksum(Host::Appliance, ds, &message) == original;
    driver.stop();
    b.stop(&message);

    if (!whole.ok || !cut.ok || !resumed.ok || !wholeEqual || !resumedEqual || held.isEmpty() || missing <= 0) {
        std::printf("%s: a run failed (whole %d/%d, cut %d, resumed %d/%d, held after the cut: %s)\n", what,
                    whole.ok, wholeEqual, cut.ok, resumed.ok, resumedEqual, qPrintable(held.join(' ')));
        return 1;
    }
    std::printf("whole restore from nothing:      %.1f MB on the link, %.2f s\n", whole.bytes / 1e6, whole.seconds);
    std::printf("%-33s%.1f MB on the link, %.2f s\n",
                qPrintable("cut, " + held.last().section('@', 1) + " received:"), cut.bytes / 1e6, cut.seconds);
    std::printf("resumed to vxr_3:                %.1f MB on the link, %.2f s\n", resumed.bytes / 1e6,
                resumed.seconds);
    std::printf("stream of what it still lacked:  %.1f MB\n", missing / 1e6);
    std::printf("resumed bytes / lacking stream:  %.2f (goal at most 1.10)\n", double(resumed.bytes) / missing);
    std::printf("resumed time / whole time:       %.2f\n", resumed.seconds / whole.seconds);
    return 0;
}
