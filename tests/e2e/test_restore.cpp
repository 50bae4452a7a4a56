// Restores on the real-ZFS bench, through the engine driver: what the
// engine uploaded comes back byte for byte, and every refusal, race,
// cancel and dead link ends as the operator must see it.
#include "driverflow.h"
#include "vxroplog.h"

#include <QDirIterator>

#include <atomic>
#include <thread>

namespace {

class RestoreFlow : public DriverFlow
{
protected:
    RestoreFlow() { m_watchMs = 5; }

    void TearDown() override
    {
        if (!IsSkipped())
            setApplianceThrottle(QString());
        DriverFlow::TearDown();
    }

    // Receives on the appliance read at this pv rate; empty lifts it.
    void setApplianceThrottle(const QString& rate)
    {
        QFile f(bench().hostPath(Host::Appliance, "/run/zfs/throttle"));
        if (rate.isEmpty()) {
            f.remove();
            return;
        }
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(rate.toUtf8());
    }

    QJsonObject restore(const QString& password)
    {
        return ask(QStringLiteral("restore %1 %2 root %3").arg(bench().serverHost()).arg(bench().port()).arg(password).toUtf8())
            .toObject();
    }

    // Runs the queue empty; the rates each task showed, by index.
    QMap<int, QList<int>> drainQueue(int timeoutMs)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            if (tasks().isEmpty())
                return watchedRates();
            QThread::msleep(200);
        }
        ADD_FAILURE() << "the queue did not empty; output:\n" << m_driver.out.constData();
        return watchedRates();
    }

    QList<Record> restoreRecords()
    {
        QList<Record> out;
        for (const QJsonValue& v : ask("log").toArray()) {
            if (v.toObject().value("action").toInt() == VxrLog::kActionRestore)
                out.prepend({v.toObject().value("message").toString(), v.toObject().value("state").toInt()});
        }
        return out;
    }

    QString sum(Host host, const QString& ds)
    {
        QString err;
        const QString s = bench().checksum(host, ds, &err);
        EXPECT_FALSE(s.isEmpty()) << qPrintable(ds) << ": " << qPrintable(err);
        return s;
    }

    bool mounted(const QString& ds)
    {
        return bench().run(Host::Appliance, {"zfs", "get", "-H", "-o", "value", "mounted", ds}).text() == "yes";
    }

    QJsonObject restoreOne(const QString& dataset, const QString& snapshot, const QString& target)
    {
        auto word = [](const QString& v) { return v.isEmpty() ? QByteArray("-") : v.toUtf8().toPercentEncoding("/@"); };
        return ask("restoreone " + bench().serverHost().toUtf8() + ' ' + QByteArray::number(bench().port())
                   + " root " + word(dataset) + ' ' + word(snapshot) + ' ' + word(target) + ' '
                   + bench().password().toUtf8())
            .toObject();
    }

    // Waits until the server sends increments, then ends that send: the
    // restore is cut after its full phase. True when one was ended.
    bool cutIncrementalSend(int timeoutMs)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            bool cut = false;
            for (qint64 p : HX2Runner::descendants(bench().daemonPids().value("SSHD"))) {
                QFile f(QStringLiteral("/proc/%1/cmdline").arg(p));
                // zfs-compat hands zfs-fuse the flags one by one.
                const QByteArray line = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
                if (line.contains(QByteArray("\0send\0", 6))
                    && (line.contains(QByteArray("\0-RI\0", 5)) || line.contains(QByteArray("\0-I\0", 4)))) {
                    ::kill(static_cast<pid_t>(p), SIGKILL);
                    cut = true;
                }
            }
            if (cut)
                return true;
            drain();
            QThread::msleep(100);
        }
        return false;
    }

    QString property(const QString& name, const QString& ds)
    {
        return bench().run(Host::Appliance, {"zfs", "get", "-H", "-o", "value,source", name, ds}).text();
    }

    // A dataset made on the appliance and uploaded by the engine.
    void uploaded(const QStringList& datasets)
    {
        QByteArray command = "upload";
        for (const QString& ds : datasets)
            command += ' ' + ds.toUtf8().toPercentEncoding("/@");
        ASSERT_FALSE(ask(command).toObject().value("indexes").toArray().isEmpty());
        drainQueue(120000);
    }
};

// Uploaded, destroyed, restored: every dataset comes back mounted with the
// same files, a child its parent's stream brought along included; the
// restore of three snapshots runs both phases with a rate that never falls
// and ends at 100; the password is in no command line and no typescript
// file appears.
TEST_F(RestoreFlow, EverythingUploadedComesBack)
{
    Bench& b = bench();
    makeDataset("tank/ra", 10, 0, 0);
    makeDataset("tank/ra/kid", 20, 0, 0);
    QString err;
    ASSERT_TRUE(b.fill(Host::Appliance, "tank/ra", 11, 2, 1000000, &err));
    ASSERT_TRUE(b.fill(Host::Appliance, "tank/ra/kid", 21, 2, 1000000, &err));
    ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "snapshot", "-r", "tank/ra@vxr_1"}).ok());
    makeDataset("tank/r b", 30, 3, 6000000);
    const QString ra = sum(Host::Appliance, "tank/ra");
    const QString kid = sum(Host::Appliance, "tank/ra/kid");
    const QString rb = sum(Host::Appliance, "tank/r b");

    startDriver("restoreall", {}, b.password());
    uploaded({"tank/ra", "tank/ra/kid", "tank/r b"});
    EXPECT_EQ(b.snapshots(Host::Server, "tank/ra/kid"), QStringList{"tank/ra/kid@vxr_1"});
    EXPECT_EQ(b.snapshots(Host::Server, "tank/r b").size(), 3);

    ASSERT_TRUE(b.destroy(Host::Appliance, "tank/ra", &err)) << qPrintable(err);
    ASSERT_TRUE(b.destroy(Host::Appliance, "tank/r b", &err)) << qPrintable(err);

    // Slow enough for the meter to show progress in both phases.
    setApplianceThrottle("2M");
    std::atomic<bool> watching{true};
    std::atomic<int> leaks{0};
    const QByteArray password = b.password().toUtf8();
    std::thread watcher([&] {
        while (watching.load()) {
            QDirIterator it("/proc", QDir::Dirs | QDir::NoDotAndDotDot);
            while (it.hasNext()) {
                QFile f(it.next() + "/cmdline");
                if (f.open(QIODevice::ReadOnly) && f.readAll().contains(password))
                    ++leaks;
            }
            QThread::msleep(50);
        }
    });
    const QJsonObject reply = restore(b.password());
    EXPECT_TRUE(reply.value("ok").toBool()) << qPrintable(QJsonDocument(reply).toJson());
    const QMap<int, QList<int>> rates = drainQueue(180000);
    watching.store(false);
    watcher.join();

    EXPECT_EQ(leaks.load(), 0) << "the password was on a command line";
    EXPECT_EQ(restoreRecords(), (QList<Record>{{VxrLog::kRestoreSuccess, 9}, {VxrLog::kRestoreSuccess, 9},
                                               {VxrLog::kRestoreSuccess, 9}}));
    EXPECT_EQ(sum(Host::Appliance, "tank/ra"), ra);
    EXPECT_EQ(sum(Host::Appliance, "tank/ra/kid"), kid);
    EXPECT_EQ(sum(Host::Appliance, "tank/r b"), rb);
    for (const QString ds : {"tank/ra", "tank/ra/kid", "tank/r b"})
        EXPECT_TRUE(mounted(ds)) << qPrintable(ds);
    EXPECT_EQ(b.snapshots(Host::Appliance, "tank/r b").size(), 3);
    // Upload tasks 1-3, restore tasks 4-6; "tank/r b" sorts first on the
    // server, and its three snapshots take both phases.
    ASSERT_TRUE(rates.contains(4));
    const QList<int> last = rates.value(4);
    for (int i = 1; i < last.size(); ++i)
        EXPECT_GE(last.at(i), last.at(i - 1)) << "sample " << i;
    EXPECT_TRUE(std::any_of(last.begin(), last.end(), [](int r) { return r > 0 && r < 100; }))
        << "no progress shown between start and end";
    EXPECT_EQ(last.last(), 100);

    QDirIterator files(b.stateDir(), QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext())
        EXPECT_NE(QFileInfo(files.next()).fileName(), "typescript") << qPrintable(files.filePath());
}

// What the operator is told when a restore cannot be done, and that it
// never touches what it must not: refusals queue nothing; a dataset that
// appeared after the request keeps its files; a cancel ends the transfer's
// whole tree; a frozen server ends the restore as a failure.
TEST_F(RestoreFlow, RefusalsRacesCancelAndDeadLink)
{
    Bench& b = bench();
    makeDataset("tank/rc", 40, 1, 24000000);
    makeDataset("tank/rd", 45, 1, 1000000);
    startDriver("refusals", {}, b.password());
    uploaded({"tank/rc", "tank/rd"});

    // The datasets are still here.
    QJsonObject reply = restore(b.password());
    EXPECT_EQ(reply.value("err").toInt(), 9993);
    EXPECT_EQ(reply.value("errmsg").toString(),
              QStringLiteral("本地磁盘上的卷已存在，无法覆盖恢复，请先删除: tank/rc, tank/rd"));
    EXPECT_TRUE(tasks().isEmpty());

    reply = restore(b.password() + "x");
    EXPECT_EQ(reply.value("err").toInt(), 9886);
    EXPECT_EQ(restoreRecords(), (QList<Record>{{VxrLog::kCloudInfoFailed, 3}}));
    EXPECT_TRUE(tasks().isEmpty());

    // A pool of the server's that the appliance lacks.
    QString err;
    ASSERT_TRUE(b.destroy(Host::Appliance, "tank/rc", &err)) << qPrintable(err);
    ASSERT_TRUE(b.destroy(Host::Appliance, "tank/rd", &err)) << qPrintable(err);
    const QString image = b.stateDir() + "/other.img";
    ASSERT_TRUE(b.sh(Host::Server, "truncate -s 128M '" + image + "' && zpool create other '" + image +
                                       "' && zfs create other/x").ok());
    reply = restore(b.password());
    EXPECT_EQ(reply.value("err").toInt(), 9887);
    EXPECT_EQ(reply.value("errmsg").toString(), QStringLiteral("本地磁盘上的Pool不存在，需要先创建好: other"));
    EXPECT_TRUE(tasks().isEmpty());
    ASSERT_TRUE(b.run(Host::Server, {"zpool", "destroy", "other"}).ok());

    // tank/rc restores slowly; meanwhile the operator makes tank/rd, whose
    // task waits behind it. The running restore is cancelled: its whole
    // tree ends. tank/rd then keeps its files and its restore fails.
    setApplianceThrottle("1M");
    reply = restore(b.password());
    ASSERT_TRUE(reply.value("ok").toBool()) << qPrintable(QJsonDocument(reply).toJson());
    ASSERT_TRUE(waitForTransfer(40000));
    makeDataset("tank/rd", 60, 0, 0);
    ASSERT_TRUE(b.fill(Host::Appliance, "tank/rd", 61, 1, 100000, &err));
    const QString made = sum(Host::Appliance, "tank/rd");
    const QList<qint64> tree = HX2Runner::descendants(m_driver.pid);
    const QJsonObject head = tasks().at(0).toObject();
    EXPECT_EQ(head.value("dmpath").toString(), "tank/rc");
    ASSERT_TRUE(ask(QByteArray("cancel ") + QByteArray::number(head.value("index").toInt())).toObject().value("ok").toBool());
    drainQueue(60000);
    EXPECT_EQ(restoreRecords().mid(1), (QList<Record>{{VxrLog::kCancelRestore, 8}, {VxrLog::kRestoreFail, 3}}));
    for (qint64 p : tree)
        EXPECT_FALSE(alive(p)) << "process " << p << " outlived the cancel";
    EXPECT_EQ(sum(Host::Appliance, "tank/rd"), made);

    // The server freezes mid-stream: ssh's keep-alives end the restore.
    ASSERT_TRUE(b.destroy(Host::Appliance, "tank/rd", &err)) << qPrintable(err);
    b.destroy(Host::Appliance, "tank/rc");
    ASSERT_TRUE(restore(b.password()).value("ok").toBool());
    ASSERT_TRUE(waitForTransfer(40000));
    QElapsedTimer flowing;
    flowing.start();
    while (flowing.elapsed() < 60000 && tasks().at(0).toObject().value("rate").toInt() == 0)
        QThread::msleep(300);
    for (qint64 p : HX2Runner::descendants(b.daemonPids().value("SSHD"))) {
        QFile comm(QStringLiteral("/proc/%1/comm").arg(p));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "sshd") {
            ::kill(static_cast<pid_t>(p), SIGSTOP);
            m_stopped << p;
        }
    }
    ASSERT_FALSE(m_stopped.isEmpty());
    drainQueue(240000);
    // tank/rc failed; tank/rd, on a fresh connection, came back.
    EXPECT_EQ(restoreRecords().mid(3), (QList<Record>{{VxrLog::kRestoreFail, 3}, {VxrLog::kRestoreSuccess, 9}}));
}

// A server that points a dataset's mount point out of the pool and shares
// it: the restored copy mounts where its parent says, is shared nowhere,
// and the record names the reset; a child whose mount point stays inside
// the pool keeps it.
TEST_F(RestoreFlow, ServerMountpointsOutsideThePoolAreReset)
{
    Bench& b = bench();
    makeDataset("tank/rm", 70, 1, 1000000);
    // The parent's own files: the child mounts elsewhere once restored.
    const QString rm = sum(Host::Appliance, "tank/rm");
    makeDataset("tank/rm/in", 75, 1, 1000000);
    const QString in = sum(Host::Appliance, "tank/rm/in");
    startDriver("mountpoints", {}, b.password());
    uploaded({"tank/rm", "tank/rm/in"});

    // The full restore takes every dataset the account holds: only these.
    for (const QString& ds : b.run(Host::Server, {"zfs", "list", "-H", "-o", "name", "-d", "1", "tank"}).lines()) {
        if (ds != "tank" && ds != "tank/rm")
            b.destroy(Host::Server, ds);
    }
    const QString poolMp = b.run(Host::Appliance, {"zfs", "get", "-H", "-o", "value", "mountpoint", "tank"}).text();
    const QString stray = b.stateDir() + "/stray";
    ASSERT_TRUE(QDir().mkpath(stray));
    for (const QStringList& set : {QStringList{"mountpoint=" + stray, "tank/rm"},
                                   QStringList{"mountpoint=" + poolMp + "/kept/in", "tank/rm/in"}}) {
        const zbench::Result r = b.run(Host::Server, QStringList{"zfs", "set"} << set);
        ASSERT_TRUE(r.ok()) << r.err.constData();
    }
    // zfs-fuse cannot share and says so; the property is set all the same.
    b.run(Host::Server, {"zfs", "set", "sharenfs=on", "tank/rm"});
    QString err;
    ASSERT_TRUE(b.destroy(Host::Appliance, "tank/rm", &err)) << qPrintable(err);

    ASSERT_TRUE(restore(b.password()).value("ok").toBool());
    drainQueue(120000);
    EXPECT_EQ(restoreRecords(),
              (QList<Record>{{QString(VxrLog::kRestoreSuccess) + ": mountpoint reset: tank/rm from " + stray, 9},
                             {VxrLog::kRestoreSuccess, 9}}));
    auto property = [&](const QString& name, const QString& ds) {
        return b.run(Host::Appliance, {"zfs", "get", "-H", "-o", "value,source", name, ds}).text();
    };
    EXPECT_EQ(property("mountpoint", "tank/rm"), poolMp + "/rm\tinherited from tank");
    EXPECT_EQ(property("sharenfs", "tank/rm"), "off\tlocal");
    EXPECT_EQ(property("mountpoint", "tank/rm/in"), poolMp + "/kept/in\treceived");
    EXPECT_TRUE(mounted("tank/rm"));
    EXPECT_TRUE(mounted("tank/rm/in"));
    EXPECT_EQ(sum(Host::Appliance, "tank/rm"), rm);
    EXPECT_EQ(sum(Host::Appliance, "tank/rm/in"), in);
    EXPECT_FALSE(b.sh(Host::Appliance, "grep -qF ' " + stray + " ' /proc/self/mounts").ok())
        << "something is mounted on the folder the server chose";
}

// The usual restore: yesterday's copy of one share, beside the damaged
// one, which keeps every byte it has.
TEST_F(RestoreFlow, OneDatasetToAChosenSnapshotBesideTheLiveOne)
{
    Bench& b = bench();
    makeDataset("tank/rp", 80, 2, 2000000);
    const QString second = sum(Host::Appliance, "tank/rp");
    addSnapshot("tank/rp", 83, "vxr_3", 2000000);
    startDriver("chosen", {}, b.password());
    uploaded({"tank/rp"});
    QString err;
    ASSERT_TRUE(b.fill(Host::Appliance, "tank/rp", 84, 2, 500000, &err)) << qPrintable(err);
    const QString live = sum(Host::Appliance, "tank/rp");

    const QJsonObject reply = restoreOne("tank/rp", "vxr_2", "tank/rp-old");
    ASSERT_TRUE(reply.value("ok").toBool()) << qPrintable(QJsonDocument(reply).toJson());
    drainQueue(120000);
    EXPECT_EQ(restoreRecords(), (QList<Record>{{VxrLog::kRestoreSuccess, 9}}));
    EXPECT_EQ(b.snapshots(Host::Appliance, "tank/rp-old"), (QStringList{"tank/rp-old@vxr_1", "tank/rp-old@vxr_2"}));
    EXPECT_EQ(sum(Host::Appliance, "tank/rp-old"), second);
    EXPECT_EQ(sum(Host::Appliance, "tank/rp"), live);
    EXPECT_EQ(b.snapshots(Host::Appliance, "tank/rp").size(), 3);
    EXPECT_TRUE(mounted("tank/rp-old"));
    EXPECT_EQ(property("vxr:restore", "tank/rp-old"), "-\t-") << "the mark is cleared";
    EXPECT_EQ(restoreOne("tank/rp", "vxr_9", "tank/rp-x").value("err").toInt(), 9883);
    EXPECT_EQ(restoreOne("tank/rp", "", "tank/rp-old").value("err").toInt(), 9993);
}

// A restore cut after its full phase leaves a marked dataset; asked again,
// it goes on from there, unless the dataset was written to meanwhile.
TEST_F(RestoreFlow, CutRestoreIsFinishedUnlessWrittenTo)
{
    Bench& b = bench();
    makeDataset("tank/rq", 90, 3, 3000000);
    const QString whole = sum(Host::Appliance, "tank/rq");
    startDriver("cut", {}, b.password());
    uploaded({"tank/rq"});
    for (const bool writeMeanwhile : {false, true}) {
        SCOPED_TRACE(writeMeanwhile);
        QString err;
        ASSERT_TRUE(b.destroy(Host::Appliance, "tank/rq", &err)) << qPrintable(err);
        setApplianceThrottle("1M");
        ASSERT_TRUE(restoreOne("tank/rq", "", "").value("ok").toBool());
        ASSERT_TRUE(cutIncrementalSend(60000));
        drainQueue(60000);
        setApplianceThrottle(QString());
        EXPECT_EQ(restoreRecords().last(), (Record{VxrLog::kRestoreFail, 3}));
        // zfs takes the increments' snapshots one by one: the cut may come
        // after the second.
        const QStringList held = b.snapshots(Host::Appliance, "tank/rq");
        EXPECT_TRUE(held == QStringList{"tank/rq@vxr_1"} || held == (QStringList{"tank/rq@vxr_1", "tank/rq@vxr_2"}))
            << qPrintable(held.join(' '));
        EXPECT_EQ(property("vxr:restore", "tank/rq"), "tank/rq\tlocal");
        if (writeMeanwhile) {
            ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "mount", "tank/rq"}).ok());
            ASSERT_TRUE(b.fill(Host::Appliance, "tank/rq", 99, 1, 10000, &err)) << qPrintable(err);
            EXPECT_EQ(restoreOne("tank/rq", "", "").value("err").toInt(), 9993);
            EXPECT_EQ(ask("restore " + b.serverHost().toUtf8() + ' ' + QByteArray::number(b.port()) + " root "
                          + b.password().toUtf8())
                          .toObject()
                          .value("err")
                          .toInt(),
                      9993);
            continue;
        }
        // The full restore takes it up as well as the restore of one.
        const QJsonObject again = ask("restore " + b.serverHost().toUtf8() + ' ' + QByteArray::number(b.port())
                                      + " root " + b.password().toUtf8())
                                      .toObject();
        ASSERT_TRUE(again.value("ok").toBool()) << qPrintable(QJsonDocument(again).toJson());
        drainQueue(120000);
        EXPECT_EQ(restoreRecords().last(), (Record{VxrLog::kRestoreSuccess, 9}));
        EXPECT_EQ(b.snapshots(Host::Appliance, "tank/rq").size(), 3);
        EXPECT_EQ(sum(Host::Appliance, "tank/rq"), whole);
        EXPECT_EQ(property("vxr:restore", "tank/rq"), "-\t-");
    }
}

} // namespace
