// dsrecover inside the appliance against the bench's server: what it
// restores, what it refuses, how a broken transfer ends, and that the
// password stays off every command line.
#include "recoverplan.h"
#include "hx2utils.h"
#include "hx2runner.h"
#include "zbenchtest.h"

#include "../printqt.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <functional>
#include <optional>

#ifndef DSRECOVER_BIN
#error "DSRECOVER_BIN must name the dsrecover program"
#endif

using zbench::Host;

namespace {

struct Proc
{
    qint64 pid;
    qint64 ppid;
    QByteArray comm;
    QByteArray cmdline;
    char state;
    // Start time in clock ticks: with pid, names one process for good.
    qint64 start;
};

// The process pid, when it exists.
std::optional<Proc> process(qint64 pid)
{
    QFile stat("/proc/" + QString::number(pid) + "/stat");
    QFile cmd("/proc/" + QString::number(pid) + "/cmdline");
    if (!stat.open(QIODevice::ReadOnly) || !cmd.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray s = stat.readAll();
    const int open = s.indexOf('('), close = s.lastIndexOf(')');
    if (open < 0 || close < open)
        return std::nullopt;
    const QList<QByteArray> fields = s.mid(close + 2).split(' ');
    return Proc{pid, fields.value(1).toLongLong(), s.mid(open + 1, close - open - 1), cmd.readAll(),
                fields.value(0).isEmpty() ? '?' : fields.value(0).at(0), fields.value(19).toLongLong()};
}

QList<Proc> processes()
{
    QList<Proc> all;
    const QStringList pids = QDir("/proc").entryList({"[0-9]*"}, QDir::Dirs);
    for (const QString& pid : pids) {
        if (const auto p = process(pid.toLongLong()))
            all << *p;
    }
    return all;
}

struct Outcome
{
    int code = -1;
    QStringList lines;
    QByteArray err;
    // Command lines that held the password while dsrecover ran.
    QStringList leaks;
};

class DsrecoverFlow : public zbench::BenchTest
{
protected:
    void TearDown() override
    {
        if (IsSkipped())
            return;
        QFile::remove(throttleFile());
        for (const QString& ds : m_restored)
            bench().destroy(Host::Appliance, ds);
    }

    QString throttleFile() { return bench().hostPath(Host::Appliance, "/run/zfs/throttle"); }

    // A dataset on the server with one snapshot s1..sN after each fill;
    // props (PROP=VALUE) are set before the last snapshot, as an upload
    // leaves them.
    void serverDataset(const QString& ds, quint32 seed, int snaps, qint64 bytes, const QStringList& props = {})
    {
        zbench::Bench& b = bench();
        ASSERT_TRUE(b.run(Host::Server, {"zfs", "create", "-p", ds}).ok()) << qPrintable(ds);
        QString err;
        for (int i = 1; i <= snaps; ++i) {
            ASSERT_TRUE(b.fill(Host::Server, ds, seed + i, 2, bytes / 2, &err)) << qPrintable(err);
            // The server has no NFS or SMB service: setting a share
            // property fails to share, yet sets it.
            for (const QString& prop : props) {
                if (i == snaps)
                    b.run(Host::Server, {"zfs", "set", prop, ds});
            }
            ASSERT_TRUE(b.run(Host::Server, {"zfs", "snapshot", "-r", ds + "@s" + QString::number(i)}).ok());
        }
    }

    // Runs dsrecover in the appliance with the password reaching it only
    // through its own command line, and reads every process's command line
    // once dsrecover has a child (before that it has not blanked its own).
    // during, when given, sees dsrecover's pid and the processes of each
    // poll.
    Outcome recover(const QString& password, const QStringList& extra,
                    const std::function<void(qint64, const QList<Proc>&)>& during = {})
    {
        QString text = "exec " + toShellArgEscaped(DSRECOVER_BIN) + " 127.0.0.1 root \"$P\"";
        for (const QString& a : extra)
            text += ' ' + toShellArgEscaped(a);
        auto p = bench().spawn(Host::Appliance, {"/bin/bash", "-c", text}, {{"P", password}});
        Outcome o;
        if (!p) {
            ADD_FAILURE() << "dsrecover did not start";
            return o;
        }
        const qint64 pid = p->processId();
        bool execed = false, watching = false;
        QElapsedTimer t;
        t.start();
        while (!p->waitForFinished(50) && t.elapsed() < 300000) {
            const QList<Proc> all = processes();
            for (const Proc& proc : all) {
                // The launching shell's own children come before the exec.
                execed = execed || (proc.pid == pid && proc.comm == "dsrecover");
                watching = watching || (execed && proc.ppid == pid);
            }
            for (const Proc& proc : all) {
                if (watching && proc.cmdline.contains(password.toUtf8()))
                    o.leaks << QString::fromUtf8(QByteArray(proc.cmdline).replace('\0', ' '));
            }
            if (during)
                during(pid, all);
        }
        if (p->state() != QProcess::NotRunning) {
            ADD_FAILURE() << "dsrecover did not end";
            p->kill();
            p->waitForFinished(5000);
        }
        o.code = p->exitCode();
        o.lines = QString::fromUtf8(p->readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        o.err = p->readAllStandardError();
        return o;
    }

    void expectRestored(const QString& ds)
    {
        zbench::Bench& b = bench();
        EXPECT_EQ(b.run(Host::Appliance, {"zfs", "get", "-H", "-o", "value", "mounted", ds}).text(), "yes");
        EXPECT_EQ(b.snapshots(Host::Appliance, ds), b.snapshots(Host::Server, ds));
        QString err;
        const QString sum = b.checksum(Host::Server, ds, &err);
        ASSERT_FALSE(sum.isEmpty()) << qPrintable(err);
        EXPECT_EQ(b.checksum(Host::Appliance, ds, &err), sum) << qPrintable(err);
    }

    // The appliance's working directory of every bench command, where
    // script would leave its typescript.
    QString typescript() { return bench().stateDir() + "/app/home/typescript"; }

    QStringList m_restored;
};

TEST_F(DsrecoverFlow, RestoresTheTargetsOwnSnapshots)
{
    zbench::Bench& b = bench();
    // The account holds two backups; each is listed next to the other.
    serverDataset("tank/dr1", 10, 1, 1 << 20);
    serverDataset("tank/dr2", 20, 3, 1 << 20);
    QFile::remove(typescript());

    m_restored << "tank/dr2";
    Outcome o = recover(b.password(), {"tank", "dr2"});
    EXPECT_EQ(o.code, 0) << o.lines.join('\n').toStdString();
    EXPECT_EQ(o.lines, QStringList({Recover::kRestoringFirst, Recover::kRestoringAll, Recover::kRestoreDone}));
    EXPECT_TRUE(o.err.isEmpty()) << o.err.constData();
    EXPECT_TRUE(o.leaks.isEmpty()) << o.leaks.join('\n').toStdString();
    expectRestored("tank/dr2");

    // One snapshot, with standard error a terminal: pv's progress shows
    // there, standard output keeps only the messages.
    m_restored << "tank/dr1";
    const QString out = b.stateDir() + "/dsrecover.out";
    const zbench::Result r = b.run(
        Host::Appliance,
        {"script", "-q", "-e", "-c",
         "exec " + toShellArgEscaped(DSRECOVER_BIN) + " 127.0.0.1 root \"$P\" tank dr1 >" + toShellArgEscaped(out),
         "/dev/null"},
        300000, {{"P", b.password()}});
    EXPECT_EQ(r.exitCode, 0);
    QFile f(out);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts),
              QStringList({Recover::kRestoringFirst, Recover::kRestoreDone}));
    EXPECT_TRUE(QString::fromUtf8(r.out).contains(QRegularExpression("\\d:\\d\\d:\\d\\d \\[ *[0-9.]+[KMG]?i?B/s\\]")))
        << r.out.constData();
    expectRestored("tank/dr1");
    EXPECT_FALSE(QFile::exists(typescript()));
}

TEST_F(DsrecoverFlow, RefusalsChangeNothing)
{
    zbench::Bench& b = bench();
    serverDataset("tank/dr5", 50, 1, 64 * 1024);
    struct Case
    {
        QString password;
        QStringList extra;
        QStringList expected;
    };
    const Case cases[] = {
        {b.password(), {"tank", "data"}, Recover::targetExistsLines("tank/data")},
        {b.password(), {"nopool", "dr5"}, Recover::poolMissingLines("nopool")},
        {b.password() + "x", {"tank", "dr5"}, {Recover::kQueryFailed}},
        {b.password(), {"tank", "none"}, {Recover::kNoBackup}},
    };
    for (const Case& c : cases) {
        const Outcome o = recover(c.password, c.extra);
        EXPECT_EQ(o.code, 255);
        ASSERT_GE(o.lines.size(), c.expected.size());
        EXPECT_EQ(o.lines.mid(0, c.expected.size()), c.expected);
        EXPECT_TRUE(o.leaks.isEmpty()) << o.leaks.join('\n').toStdString();
    }
    const zbench::Result list = b.run(Host::Appliance, {"zfs", "list", "-H", "-o", "name"});
    EXPECT_FALSE(list.lines().contains("tank/dr5"));
    EXPECT_FALSE(list.lines().contains("tank/none"));
}

TEST_F(DsrecoverFlow, BrokenTransfersFailWithTheirReason)
{
    zbench::Bench& b = bench();
    // The appliance has no tank/drp, so the receive of its child fails
    // while the server sends.
    serverDataset("tank/drp/kid", 60, 2, 256 * 1024);
    m_restored << "tank/drp" << "tank/dr3";
    Outcome o = recover(b.password(), {"tank", "drp/kid"});
    EXPECT_EQ(o.code, 255);
    ASSERT_GE(o.lines.size(), 3) << o.lines.join('\n').toStdString();
    EXPECT_EQ(o.lines.mid(0, 2), QStringList({Recover::kRestoringFirst, Recover::kRestoreFailed}));
    EXPECT_TRUE(o.lines.at(2).contains("tank/drp")) << o.lines.at(2).toStdString();

    // The appliance's receive throttled, the ssh client killed mid-stream.
    serverDataset("tank/dr3", 30, 1, 24 << 20);
    {
        QFile t(throttleFile());
        ASSERT_TRUE(t.open(QIODevice::WriteOnly));
        t.write("1M\n");
    }
    QElapsedTimer sinceSsh;
    bool killed = false;
    o = recover(b.password(), {"tank", "dr3"}, [&](qint64, const QList<Proc>& all) {
        for (const Proc& p : all) {
            if (killed || p.comm != "ssh" || !p.cmdline.contains("zfs send -R 'tank/dr3@s1'"))
                continue;
            if (!sinceSsh.isValid())
                sinceSsh.start();
            if (sinceSsh.elapsed() > 2000) {
                ::kill(static_cast<pid_t>(p.pid), SIGKILL);
                killed = true;
            }
        }
    });
    EXPECT_TRUE(killed);
    EXPECT_EQ(o.code, 255);
    ASSERT_GE(o.lines.size(), 3) << o.lines.join('\n').toStdString();
    EXPECT_EQ(o.lines.mid(0, 2), QStringList({Recover::kRestoringFirst, Recover::kRestoreFailed}));
    EXPECT_FALSE(o.lines.contains(Recover::kRestoreDone));
    EXPECT_TRUE(o.leaks.isEmpty()) << o.leaks.join('\n').toStdString();
}


// The server keeps its copies read-only, as uploads leave them; the
// restored dataset takes writes.
TEST_F(DsrecoverFlow, RestoredDatasetTakesWrites)
{
    zbench::Bench& b = bench();
    serverDataset("tank/drw", 70, 2, 64 * 1024, {"readonly=on"});
    m_restored << "tank/drw";
    const Outcome o = recover(b.password(), {"tank", "drw"});
    ASSERT_EQ(o.code, 0) << o.lines.join('\n').toStdString();
    const zbench::Result w =
        b.run(Host::Appliance, {"touch", b.mountpoint(Host::Appliance, "tank/drw") + "/written"});
    EXPECT_TRUE(w.ok()) << w.err.constData();
}

// Where the server's copy mounts outside the pool, and whether it is
// shared, stays the server's business: the restored dataset mounts in the
// pool's tree, unshared; a child whose mount point lies in that tree keeps
// it.
TEST_F(DsrecoverFlow, ServerChoosesNoMountOutsideThePoolAndNoShares)
{
    zbench::Bench& b = bench();
    const QString pool = b.mountpoint(Host::Appliance, "tank");
    const QString outside = b.stateDir() + "/outside";
    const QString inside = pool + "/drm-kid";
    ASSERT_TRUE(b.run(Host::Server, {"zfs", "create", "-p", "-o", "canmount=noauto", "-o",
                                     "mountpoint=" + inside, "tank/drm/kid"})
                    .ok());
    serverDataset("tank/drm", 80, 1, 64 * 1024, {"mountpoint=" + outside, "sharenfs=on"});
    m_restored << "tank/drm";
    const Outcome o = recover(b.password(), {"tank", "drm"});
    EXPECT_EQ(o.code, 0);
    EXPECT_EQ(o.lines, QStringList({Recover::kRestoringFirst, Recover::mountpointResetLine({"tank/drm", outside}),
                                    Recover::kRestoreDone}));
    const zbench::Result props = b.run(Host::Appliance, {"zfs", "get", "-H", "-o", "name,property,value", "-r",
                                                         "mountpoint,mounted,sharenfs,sharesmb", "tank/drm"});
    for (const QString& line : {"tank/drm\tmountpoint\t" + pool + "/drm", QString("tank/drm\tmounted\tyes"),
                                QString("tank/drm\tsharenfs\toff"), QString("tank/drm\tsharesmb\toff"),
                                "tank/drm/kid\tmountpoint\t" + inside, QString("tank/drm/kid\tsharenfs\toff")})
        EXPECT_TRUE(props.lines().contains(line)) << qPrintable(line) << "\n" << props.out.constData();
}

// A stop signal mid-transfer ends every process of the transfer, those in
// script's own session included, before the tool exits.
TEST_F(DsrecoverFlow, StopSignalEndsTheWholeTransfer)
{
    zbench::Bench& b = bench();
    serverDataset("tank/drs", 90, 1, 16 << 20);
    m_restored << "tank/drs";
    {
        QFile t(throttleFile());
        ASSERT_TRUE(t.open(QIODevice::WriteOnly));
        t.write("1M\n");
    }
    // Every process seen below dsrecover, by pid.
    QMap<qint64, Proc> started;
    QElapsedTimer sinceReceive;
    bool stopped = false;
    QStringList left;
    const Outcome o = recover(b.password(), {"tank", "drs"}, [&](qint64 tool, const QList<Proc>& all) {
        QSet<qint64> tree{tool};
        for (bool grew = true; grew;) {
            grew = false;
            for (const Proc& p : all) {
                if (p.state != 'Z' && tree.contains(p.ppid) && !tree.contains(p.pid)) {
                    tree.insert(p.pid);
                    started.insert(p.pid, p);
                    grew = true;
                }
            }
        }
        // The throttle's pv runs once the receive reads the stream.
        if (!sinceReceive.isValid()
            && std::any_of(started.cbegin(), started.cend(), [](const Proc& p) { return p.comm == "pv"; }))
            sinceReceive.start();
        if (stopped || !sinceReceive.isValid() || sinceReceive.elapsed() < 1500)
            return;
        ::kill(static_cast<pid_t>(tool), SIGTERM);
        stopped = true;
        // The moment the tool has exited (a zombie not yet reaped, or gone),
        // nothing it started may still run.
        QElapsedTimer t;
        t.start();
        for (auto self = process(tool); self && self->state != 'Z' && t.elapsed() < 30000; self = process(tool))
            QThread::usleep(200);
        for (const Proc& then : started) {
            const auto now = process(then.pid);
            if (now && now->start == then.start && now->state != 'Z')
                left << QString::number(now->pid) + " " + QString::fromUtf8(now->comm);
        }
    });
    ASSERT_TRUE(stopped);
    EXPECT_EQ(o.code, 255);
    EXPECT_FALSE(o.lines.contains(Recover::kRestoreDone));
    QStringList names;
    for (const Proc& p : started)
        names << QString::fromUtf8(p.comm);
    for (const char* name : {"script", "bash", "sshpass", "ssh", "zfs", "pv"})
        EXPECT_TRUE(names.contains(name)) << name << " never seen in " << names.join(' ').toStdString();
    EXPECT_TRUE(left.isEmpty()) << "still running as the tool exited: " << left.join(", ").toStdString();
}

// The copy of an older snapshot beside the live dataset, which keeps every
// byte it has.
TEST_F(DsrecoverFlow, ChosenSnapshotBesideTheLiveDataset)
{
    zbench::Bench& b = bench();
    serverDataset("tank/drc", 110, 3, 1 << 20);
    ASSERT_TRUE(b.run(Host::Server, {"zfs", "clone", "tank/drc@s2", "tank/drc-s2"}).ok());
    QString err;
    const QString second = b.checksum(Host::Server, "tank/drc-s2", &err);
    ASSERT_FALSE(second.isEmpty()) << qPrintable(err);
    b.destroy(Host::Server, "tank/drc-s2");
    ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "create", "tank/drc"}).ok());
    ASSERT_TRUE(b.fill(Host::Appliance, "tank/drc", 119, 2, 100000, &err)) << qPrintable(err);
    const QString live = b.checksum(Host::Appliance, "tank/drc", &err);
    m_restored << "tank/drc" << "tank/drc-old";

    const Outcome o = recover(b.password(), {"tank", "drc", "--snapshot", "s2", "--target", "tank/drc-old"});
    EXPECT_EQ(o.code, 0) << o.lines.join('\n').toStdString();
    EXPECT_EQ(b.snapshots(Host::Appliance, "tank/drc-old"), (QStringList{"tank/drc-old@s1", "tank/drc-old@s2"}));
    EXPECT_EQ(b.checksum(Host::Appliance, "tank/drc-old", &err), second) << qPrintable(err);
    EXPECT_EQ(b.checksum(Host::Appliance, "tank/drc", &err), live) << qPrintable(err);
    EXPECT_EQ(b.run(Host::Appliance, {"zfs", "get", "-H", "-o", "value", "vxr:restore", "tank/drc-old"}).text(), "-");

    const Outcome missing = recover(b.password(), {"tank", "drc", "--snapshot", "s9", "--target", "tank/drc-x"});
    EXPECT_EQ(missing.code, 255);
    EXPECT_EQ(missing.lines, QStringList{QString(Recover::kSnapshotMissing) + "tank/drc@s9"});
}

// Cut after its full phase, the restore goes on from where it stopped when
// run again, unless the dataset was written to meanwhile.
TEST_F(DsrecoverFlow, CutRestoreGoesOnUnlessWrittenTo)
{
    zbench::Bench& b = bench();
    serverDataset("tank/dru", 120, 3, 3 << 20);
    m_restored << "tank/dru";
    // Only this bench's server is looked at: other benches may run.
    auto cutIncrements = [&](qint64, const QList<Proc>& all) {
        const QList<qint64> server = HX2Runner::descendants(b.daemonPids().value("SSHD"));
        for (const Proc& p : all) {
            // zfs-compat hands zfs-fuse the flags one by one.
            if (server.contains(p.pid) && p.cmdline.contains(QByteArray("\0send\0", 6))
                && p.cmdline.contains(QByteArray("\0-I\0", 4)))
                ::kill(static_cast<pid_t>(p.pid), SIGKILL);
        }
    };
    for (const bool writeMeanwhile : {false, true}) {
        SCOPED_TRACE(writeMeanwhile);
        b.destroy(Host::Appliance, "tank/dru");
        {
            QFile t(throttleFile());
            ASSERT_TRUE(t.open(QIODevice::WriteOnly));
            t.write("1M\n");
        }
        const Outcome cut = recover(b.password(), {"tank", "dru"}, cutIncrements);
        QFile::remove(throttleFile());
        ASSERT_EQ(cut.code, 255) << cut.lines.join('\n').toStdString();
        ASSERT_EQ(b.run(Host::Appliance, {"zfs", "get", "-H", "-o", "value", "vxr:restore", "tank/dru"}).text(),
                  "tank/dru");
        QString err;
        if (writeMeanwhile) {
            ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "mount", "tank/dru"}).ok());
            ASSERT_TRUE(b.fill(Host::Appliance, "tank/dru", 129, 1, 10000, &err)) << qPrintable(err);
            const Outcome refused = recover(b.password(), {"tank", "dru"});
            EXPECT_EQ(refused.code, 255);
            EXPECT_EQ(refused.lines, Recover::targetExistsLines("tank/dru"));
            continue;
        }
        const Outcome again = recover(b.password(), {"tank", "dru"});
        EXPECT_EQ(again.code, 0) << again.lines.join('\n').toStdString();
        EXPECT_TRUE(again.lines.contains(Recover::kResuming));
        expectRestored("tank/dru");
        EXPECT_EQ(b.run(Host::Appliance, {"zfs", "get", "-H", "-o", "value", "vxr:restore", "tank/dru"}).text(), "-");
    }
}

} // namespace
