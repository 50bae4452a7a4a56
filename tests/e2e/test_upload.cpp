// Scheduled uploads on the real-ZFS bench, through the engine driver.
#include "driverflow.h"
#include "vxroplog.h"

namespace {

const QString kSpecialPassword = QStringLiteral("p\"a$s 'w`d\\");

using UploadFlow = DriverFlow;

TEST_F(UploadFlow, ScheduledUploadThenIncrements)
{
    Bench& b = bench();
    makeDataset("tank/e2a", 100, 2, 3000000);
    makeDataset("tank/e2b", 200, 3, 2000000);
    startDriver("scheduled", {"tank/e2a", "tank/e2b"}, b.password());

    const QMap<int, QList<int>> rates = waitForUploads(90000);
    EXPECT_EQ(rates.keys(), (QList<int>{1, 2}));
    for (auto it = rates.cbegin(); it != rates.cend(); ++it) {
        for (int i = 1; i < it.value().size(); ++i)
            EXPECT_GE(it.value().at(i), it.value().at(i - 1)) << "task " << it.key();
    }
    EXPECT_EQ(records(), (QList<Record>{{VxrLog::kUploadSuccess, 9}, {VxrLog::kUploadSuccess, 9}}));
    EXPECT_EQ(lastBackup().value("result").toInt(), 9);
    QString err;
    for (const QString ds : {"tank/e2a", "tank/e2b"}) {
        EXPECT_EQ(b.snapshots(Host::Server, ds), b.snapshots(Host::Appliance, ds)) << qPrintable(ds);
        EXPECT_EQ(b.checksum(Host::Server, ds, &err), b.checksum(Host::Appliance, ds, &err)) << qPrintable(ds);
    }
    m_driver.process->terminate();
    ASSERT_TRUE(m_driver.process->waitForFinished(10000));

    // New snapshots: only the increments from the server's newest go.
    addSnapshot("tank/e2a", 150, "vxr_3", 1000000);
    addSnapshot("tank/e2a", 151, "vxr_4", 1000000);
    startDriver("incremental", {"tank/e2a", "tank/e2b"}, b.password());
    waitForUploads(90000);
    drain();
    // The trace shows the pipeline text quoted once more, as script's argument.
    EXPECT_TRUE(m_driver.out.contains(R"(zfs send -RI '\''tank/e2a@vxr_2'\'' '\''tank/e2a@vxr_4'\'')"))
        << m_driver.out.constData();
    EXPECT_FALSE(m_driver.out.contains(R"(zfs send '\''tank/e2a@vxr_1)"));
    EXPECT_FALSE(m_driver.out.contains(R"(zfs send -RI '\''tank/e2b@)"));
    EXPECT_EQ(records(), (QList<Record>{{VxrLog::kUploadSuccess, 9}, {VxrLog::kUploadSuccess, 9}}));
    EXPECT_EQ(b.snapshots(Host::Server, "tank/e2a"), b.snapshots(Host::Appliance, "tank/e2a"));
    EXPECT_EQ(b.checksum(Host::Server, "tank/e2a", &err), b.checksum(Host::Appliance, "tank/e2a", &err));
}

TEST_F(UploadFlow, CancelRunningAndWaitingTasks)
{
    Bench& b = bench();
    makeDataset("tank/e3a", 300, 1, 30000000);
    makeDataset("tank/e3b", 310, 1, 1000000);
    ASSERT_TRUE(b.setThrottle("1M"));
    startDriver("cancel", {"tank/e3a", "tank/e3b"}, b.password());
    ASSERT_TRUE(waitForTransfer(40000)) << m_driver.out.constData();
    const QList<qint64> tree = HX2Runner::descendants(m_driver.pid);

    const QJsonObject waiting = ask("cancel 2").toObject();
    EXPECT_TRUE(waiting.value("ok").toBool());
    EXPECT_EQ(tasks().size(), 1);

    QElapsedTimer t;
    t.start();
    EXPECT_TRUE(ask("cancel 1").toObject().value("ok").toBool());
    while (!tasks().isEmpty() && t.elapsed() < 10000)
        QThread::msleep(100);
    EXPECT_TRUE(tasks().isEmpty()) << "the cancel did not end the task within 10 s";
    for (qint64 p : tree)
        EXPECT_FALSE(alive(p)) << "process " << p << " outlived the cancel";
    EXPECT_EQ(records(), (QList<Record>{{VxrLog::kCancelUpload, 8}}));
    EXPECT_EQ(lastBackup().value("result").toInt(), 8);
    EXPECT_FALSE(ask("cancel 1").toObject().value("ok").toBool());
}

TEST_F(UploadFlow, WrongPasswordAndFailingReceive)
{
    Bench& b = bench();
    makeDataset("tank/e4", 400, 1, 500000);
    startDriver("wrongpw", {"tank/e4"}, b.password() + "x");
    waitForUploads(60000);
    EXPECT_EQ(records(), (QList<Record>{{VxrLog::kCloudInfoFailed, 3}}));
    EXPECT_TRUE(lastBackup().isEmpty());
    m_driver.process->terminate();
    ASSERT_TRUE(m_driver.process->waitForFinished(10000));

    // The server has no parent for the dataset, so its zfs recv fails
    // while the appliance's zfs send is fine.
    makeDataset("tank/e5p/kid", 500, 2, 500000);
    startDriver("recvfail", {"tank/e5p/kid"}, b.password());
    waitForUploads(60000);
    EXPECT_EQ(records(), (QList<Record>{{VxrLog::kUploadFail, 3}}));
    EXPECT_EQ(lastBackup().value("result").toInt(), 3);
}

TEST_F(UploadFlow, SpecialCharacterPassword)
{
    Bench& b = bench();
    setServerPassword(kSpecialPassword);
    makeDataset("tank/e6", 600, 2, 500000);
    startDriver("specialpw", {"tank/e6"}, kSpecialPassword);
    waitForUploads(60000);
    EXPECT_EQ(records(), (QList<Record>{{VxrLog::kUploadSuccess, 9}}));
    EXPECT_EQ(b.snapshots(Host::Server, "tank/e6"), b.snapshots(Host::Appliance, "tank/e6"));
    drain();
    EXPECT_FALSE(m_driver.out.contains(kSpecialPassword.toUtf8()));
}

TEST_F(UploadFlow, SigtermDuringTransferLeavesNoChild)
{
    Bench& b = bench();
    makeDataset("tank/e7", 700, 1, 30000000);
    ASSERT_TRUE(b.setThrottle("1M"));
    startDriver("sigterm", {"tank/e7"}, b.password());
    ASSERT_TRUE(waitForTransfer(40000)) << m_driver.out.constData();
    const QList<qint64> tree = HX2Runner::descendants(m_driver.pid);
    ASSERT_GE(tree.size(), 4);

    m_driver.process->terminate();
    ASSERT_TRUE(m_driver.process->waitForFinished(30000));
    EXPECT_EQ(m_driver.process->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(m_driver.process->exitCode(), 0);
    drain();
    EXPECT_TRUE(m_driver.out.contains("Wait for quit ..."));
    for (qint64 p : tree)
        EXPECT_FALSE(alive(p)) << "process " << p << " outlived the service";
    EXPECT_EQ(lastBackup().value("result").toInt(), 3);
}

// The server stops answering mid-stream (its sshd frozen): the keep-alives
// end the transfer as a failure within about a minute, and the worker is
// free again.
// Two ways an upload must fail though no program reports an error: the
// server holds a snapshot the appliance no longer has (nothing the
// appliance sends could be received on top of it), and script killed from
// outside while the service is not quitting (script then exits 0).
TEST_F(UploadFlow, UnmetLineageAndKilledScriptFail)
{
    Bench& b = bench();
    makeDataset("tank/e9", 900, 1, 2000000);
    startDriver("lineage1", {"tank/e9"}, b.password());
    waitForUploads(90000);
    ASSERT_EQ(records(), (QList<Record>{{VxrLog::kUploadSuccess, 9}}));
    m_driver.process->terminate();
    ASSERT_TRUE(m_driver.process->waitForFinished(10000));

    QString err;
    ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "destroy", "tank/e9@vxr_1"}).ok());
    addSnapshot("tank/e9", 902, "vxr_2", 1000000);
    startDriver("lineage2", {"tank/e9"}, b.password());
    waitForUploads(90000);
    EXPECT_EQ(records(), (QList<Record>{{VxrLog::kUploadFail, 3}}));
    EXPECT_EQ(lastBackup().value("result").toInt(), 3);
    EXPECT_EQ(b.snapshots(Host::Server, "tank/e9"), QStringList{"tank/e9@vxr_1"});
    drain();
    EXPECT_TRUE(m_driver.out.contains("tank/e9@vxr_1 is not among the appliance's")) << m_driver.out.constData();
    m_driver.process->terminate();
    ASSERT_TRUE(m_driver.process->waitForFinished(10000));

    makeDataset("tank/e10", 1000, 1, 30000000);
    ASSERT_TRUE(b.setThrottle("1M"));
    startDriver("scriptkill", {"tank/e10"}, b.password());
    ASSERT_TRUE(waitForTransfer(40000)) << m_driver.out.constData();
    qint64 script = 0;
    for (qint64 p : HX2Runner::descendants(m_driver.pid)) {
        QFile comm(QStringLiteral("/proc/%1/comm").arg(p));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "script")
            script = p;
    }
    ASSERT_GT(script, 0);
    ::kill(static_cast<pid_t>(script), SIGTERM);
    waitForUploads(60000);
    EXPECT_EQ(records(), (QList<Record>{{VxrLog::kUploadFail, 3}}));
    EXPECT_EQ(lastBackup().value("result").toInt(), 3);
}

TEST_F(UploadFlow, FrozenServerEndsAsFailure)
{
    Bench& b = bench();
    makeDataset("tank/e8", 800, 1, 30000000);
    ASSERT_TRUE(b.setThrottle("1M"));
    startDriver("frozen", {"tank/e8"}, b.password());
    ASSERT_TRUE(waitForTransfer(40000)) << m_driver.out.constData();
    // Data flows through an authenticated session before the server freezes.
    QElapsedTimer flowing;
    flowing.start();
    while (flowing.elapsed() < 60000 && tasks().at(0).toObject().value("rate").toInt() == 0)
        QThread::msleep(300);

    // The sshd processes serving this connection: every sshd below the
    // server's listening daemon.
    const qint64 daemon = b.daemonPids().value("SSHD");
    ASSERT_GT(daemon, 0) << "daemon pids: " << b.daemonPids().keys().join(',').toStdString();
    for (qint64 p : HX2Runner::descendants(daemon)) {
        QFile comm(QStringLiteral("/proc/%1/comm").arg(p));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "sshd") {
            ::kill(static_cast<pid_t>(p), SIGSTOP);
            m_stopped << p;
        }
    }
    ASSERT_FALSE(m_stopped.isEmpty());

    // ssh's keep-alives end the session after about a minute; without them
    // the transfer would wait for TCP's own time-out, hours later.
    waitForUploads(240000);
    EXPECT_EQ(records(), (QList<Record>{{VxrLog::kUploadFail, 3}}));
    EXPECT_EQ(lastBackup().value("result").toInt(), 3);
}

} // namespace
