// Restore cost, in one run on the real-ZFS bench (root, zfs-fuse): the same
// >= 200 MB dataset on the server received into the appliance (a) by the
// raw pipeline `sshpass ssh zfs send | zfs recv` by hand and (b) as a
// restore task of the engine (tests/e2e/enginedriver inside the
// appliance): both throughputs, their ratio, and the engine process's own
// CPU seconds during its task.
#include "benchdriver.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <cstdio>

using zbench::Bench;
using zbench::Host;

int main()
{
    Bench b;
    QString message;
    // The dataset is made on the server, as an upload would have left it.
    const QString ds = QStringLiteral("tank/brs");
    const BenchStart ready = startWithDataset(b, Host::Server, ds, "restore throughput and engine CPU");
    if (ready != BenchStart::Ready)
        return ready == BenchStart::Skipped ? 0 : 1;
    const qint64 stream = b.sh(Host::Server, "/run/zfs/zfs.real send -R " + ds + "@vxr_1 | wc -c").text().toLongLong();
    const QString original = b.checksum(Host::Server, ds, &message);

    QElapsedTimer t;
    t.start();
    const zbench::Result raw = b.sh(
        Host::Appliance,
        QStringLiteral("set -o pipefail; sshpass -e ssh -p %2 -o 'StrictHostKeyChecking no' root@127.0.0.1 "
                       "'/usr/sbin/zfs send -R %1@vxr_1' | /usr/sbin/zfs recv -u tank/brsraw").arg(ds).arg(b.port()),
        600000, {{"SSHPASS", b.password()}});
    const double rawS = double(t.nsecsElapsed()) / 1e9;

    BenchDriver driver;
    if (!driver.start(b, b.stateDir() + "/bench-restore", QJsonArray(), false, &message)) {
        std::printf("restore throughput: %s\n", qPrintable(message));
        return 1;
    }
    t.restart();
    const double cpu0 = driver.cpuSeconds();
    const QJsonObject reply = QJsonDocument::fromJson(
        driver.ask(QStringLiteral("restore %1 %2 root %3").arg(b.serverHost()).arg(b.port()).arg(b.password()).toUtf8()))
                                  .object();
    // The transfer proper starts with pv, after the listing and estimates
    // (the bench's zfs counts an estimate by generating the stream).
    const bool metered = reply.value("ok").toBool() && driver.waitForProgram("pv", 600000);
    const qint64 pvAtNs = metered ? t.nsecsElapsed() : -1;
    while (driver.queueLength() > 0 && t.elapsed() < 600000)
        QThread::msleep(100);
    const double engineS = double(t.nsecsElapsed()) / 1e9;
    const double transferS = pvAtNs < 0 ? -1 : engineS - double(pvAtNs) / 1e9;
    const double cpu = driver.cpuSeconds() - cpu0;
    const QByteArray out = driver.stop();

    const QString restored = b.checksum(Host::Appliance, ds, &message);
    const QString rawCopy = b.checksum(Host::Appliance, "tank/brsraw", &message);
    b.stop(&message);
    if (!raw.ok() || !metered || restored != original || rawCopy != original) {
        std::printf("restore throughput: a run failed (raw %d, engine %s, checksums %s/%s)\n", raw.exitCode,
                    qPrintable(QJsonDocument(reply).toJson(QJsonDocument::Compact)),
                    restored == original ? "equal" : "differ", rawCopy == original ? "equal" : "differ");
        return 1;
    }
    TransferFigures{"raw sshpass ssh | zfs recv:", "engine restore task:", stream, rawS, engineS, transferS, cpu}.print();
    return 0;
}
