// The dsrecover program with scripted zfs, sshpass and script first on
// PATH: its messages, exit status and what it hands each program.
#include "recoverplan.h"

#include "../printqt.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

#include <sys/resource.h>

#ifndef DSRECOVER_BIN
#error "DSRECOVER_BIN must name the dsrecover program"
#endif

namespace {

const QString kPassword = QStringLiteral("s3cret-Pw");

// Each fake records its arguments (one per line) in NAME.N and its
// SHELL/SSHPASS in NAME.N.env, prints NAME.out and NAME.err and exits with
// NAME.rc. zfs also records the command line of its parent, dsrecover.
// With NAME.hang the fake writes its pid to NAME.pid and hangs instead;
// with NAME.flood it prints that file's line without end, from a child.
const char* const kFake = R"fake(#!/bin/bash
d=$FAKE_DIR; me=$(basename "$0")
n=$(cat "$d/$me.count" 2>/dev/null || echo 0); echo $((n + 1)) > "$d/$me.count"
printf '%s\n' "$@" > "$d/$me.$n"
printf 'SHELL=%s SSHPASS=%s' "$SHELL" "$SSHPASS" > "$d/$me.$n.env"
[ "$me" = zfs ] && tr '\0' '\n' < /proc/$PPID/cmdline > "$d/parent"
[ -f "$d/$me.hang" ] && { echo $$ > "$d/$me.pid"; exec sleep 60; }
[ -f "$d/$me.flood" ] && { yes "$(cat "$d/$me.flood")"; exit 0; }
cat "$d/$me.out" 2>/dev/null; cat "$d/$me.err" >&2 2>/dev/null
exit $(cat "$d/$me.rc" 2>/dev/null || echo 0)
)fake";

struct Outcome
{
    int code = -1;
    QStringList lines;
    QByteArray err;
};

class DsrecoverProcess : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        for (const char* name : {"zfs", "sshpass", "script"}) {
            QFile f(m_dir.filePath(name));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(kFake);
            f.setPermissions(f.permissions() | QFile::ExeOwner);
        }
    }

    void put(const QString& name, const QByteArray& bytes)
    {
        QFile f(m_dir.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }
    QString read(const QString& name) const
    {
        QFile f(m_dir.filePath(name));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    QStringList argsOf(const QString& program, int call) const
    {
        return read(program + "." + QString::number(call)).split('\n', Qt::SkipEmptyParts);
    }
    int calls(const QString& program) const { return read(program + ".count").trimmed().toInt(); }

    QProcessEnvironment fakeEnv() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PATH", m_dir.path() + ":" + env.value("PATH"));
        env.insert("FAKE_DIR", m_dir.path());
        return env;
    }

    Outcome dsrecover(const QStringList& args)
    {
        QProcess p;
        p.setProcessEnvironment(fakeEnv());
        p.start(DSRECOVER_BIN, args);
        EXPECT_TRUE(p.waitForFinished(60000));
        Outcome r;
        r.code = p.exitCode();
        r.lines = QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        r.err = p.readAllStandardError();
        return r;
    }

    QTemporaryDir m_dir;
};

TEST_F(DsrecoverProcess, UsageForTooFewOrUnsafeArguments)
{
    for (const QStringList& args : {QStringList(), QStringList{"srv"}, QStringList{"srv", "root"},
                                    QStringList{"srv", "-oProxyCommand=x", "pw"}}) {
        const Outcome r = dsrecover(args);
        EXPECT_EQ(r.code, 255);
        EXPECT_EQ(r.lines, QStringList{Recover::usageLine()});
    }
    EXPECT_EQ(calls("zfs"), 0);
}

TEST_F(DsrecoverProcess, LocalChecksStopBeforeTheServer)
{
    struct Case
    {
        QStringList extra;
        QByteArray listing;
        QStringList expected;
    };
    const Case cases[] = {
        {{}, "vxr\nvxr/data\n", Recover::targetExistsLines("vxr/data")},
        {{"tank"}, "tank\nvxr\nvxr/data\n", Recover::targetExistsLines("vxr/data")},
        {{"tank", "home"}, "tank\ntank/home\nvxr\n", Recover::targetExistsLines("tank/home")},
        {{"tank", "home"}, "tank/home\n", Recover::targetExistsLines("tank/home")},
        {{}, "vxr0\nvxrpool\nvxr/data/kid\ntank/vxr\n", Recover::poolMissingLines("vxr")},
        {{}, "", Recover::poolMissingLines("vxr")},
    };
    for (const Case& c : cases) {
        put("zfs.out", c.listing);
        const Outcome r = dsrecover(QStringList({"srv", "root", kPassword}) + c.extra);
        EXPECT_EQ(r.code, 255);
        EXPECT_EQ(r.lines, c.expected) << c.listing.constData();
    }
    EXPECT_EQ(argsOf("zfs", 0), QStringList({"list", "-H", "-o", "name"}));
    EXPECT_EQ(calls("sshpass"), 0);
    // The tool's own command line no longer shows the password.
    EXPECT_FALSE(read("parent").contains(kPassword)) << read("parent").toStdString();

    put("zfs.rc", "1");
    put("zfs.out", "vxr\n");
    const Outcome failed = dsrecover({"srv", "root", kPassword});
    EXPECT_EQ(failed.code, 255);
    EXPECT_TRUE(failed.lines.isEmpty());
    EXPECT_EQ(calls("sshpass"), 0);
}

TEST_F(DsrecoverProcess, ServerListingFailure)
{
    put("zfs.out", "dsr\n");
    const QStringList args = {"srv", "root", kPassword, "dsr", "t"};
    put("sshpass.rc", "5");
    put("sshpass.err", "Permission denied, please try again.\n");
    const Outcome r = dsrecover(args);
    EXPECT_EQ(r.code, 255);
    EXPECT_EQ(r.lines, QStringList({Recover::kQueryFailed, "Permission denied, please try again."}));
    EXPECT_EQ(argsOf("sshpass", 0),
              QStringList({"-e", "ssh", "-o", "StrictHostKeyChecking no", "-o", "ServerAliveInterval=15", "-o",
                           "ServerAliveCountMax=4", "root@srv", Recover::kRemoteListCommand}));
    EXPECT_TRUE(read("sshpass.0.env").endsWith("SSHPASS=" + kPassword));
    EXPECT_EQ(calls("script"), 0);
}

// A server whose listing never ends is cut off at the listing cap: the tool
// fails as for any failed listing, soon, and its memory stays near the cap.
TEST_F(DsrecoverProcess, EndlessServerListingIsCutOff)
{
    put("zfs.out", "dsr\n");
    put("sshpass.flood", "dsr/t@vxr_20260101000000");
    QElapsedTimer t;
    t.start();
    const Outcome r = dsrecover({"srv", "root", kPassword, "dsr", "t"});
    EXPECT_EQ(r.code, 255);
    EXPECT_EQ(r.lines, QStringList{Recover::kQueryFailed});
    EXPECT_LT(t.elapsed(), 30000);
    EXPECT_EQ(calls("script"), 0);
    // The largest child this test binary has reaped: that dsrecover.
    struct rusage usage = {};
    ASSERT_EQ(::getrusage(RUSAGE_CHILDREN, &usage), 0);
    EXPECT_LT(usage.ru_maxrss, 128 * 1024) << "KiB at most";
}

TEST_F(DsrecoverProcess, TransfersNeedExitZeroAndTheMarker)
{
    put("zfs.out", "dsr\n");
    put("sshpass.out", "dsr/other@1\ndsr/t@a\ndsr/t/kid@a\ndsr/t@b\ndsr/t@c\ndsr/x@9\n");
    const QStringList args = {"srv", "root", kPassword, "dsr", "t"};

    put("script.out", QByteArray(Recover::kDoneMarker) + "\r\n");
    Outcome r = dsrecover(args);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.lines, QStringList({Recover::kRestoringFirst, Recover::kRestoringAll, Recover::kRestoreDone}));
    EXPECT_TRUE(r.err.isEmpty()) << "nothing beyond the messages when stderr is no terminal";
    ASSERT_EQ(calls("script"), 2);
    Recover::Request req;
    ASSERT_TRUE(Recover::parseArguments(args, &req));
    EXPECT_EQ(argsOf("script", 0), Recover::scriptArgs(Recover::fullTransfer(req, "dsr/t@a", QString())));
    EXPECT_EQ(argsOf("script", 1),
              Recover::scriptArgs(Recover::incrementalTransfer(req, "dsr/t@a", "dsr/t@c", QString())));
    EXPECT_EQ(read("script.1.env"), "SHELL=/bin/bash SSHPASS=" + kPassword);
    for (int i = 0; i < 2; ++i)
        EXPECT_FALSE(read("script." + QString::number(i)).contains(kPassword));

    struct Case
    {
        QByteArray out;
        QByteArray rc;
    };
    // script exiting 0 without the marker (it was itself ended), or the
    // marker with a failing status: both are failures.
    for (const Case& c : {Case{"Killed by signal 15.\r\ncannot receive: failed to read from stream\r\n", "0"},
                          Case{QByteArray(Recover::kDoneMarker) + "\r\n", "1"}}) {
        put("script.out", c.out);
        put("script.rc", c.rc);
        r = dsrecover(args);
        EXPECT_EQ(r.code, 255);
        ASSERT_GE(r.lines.size(), 2);
        EXPECT_EQ(r.lines.mid(0, 2), QStringList({Recover::kRestoringFirst, Recover::kRestoreFailed}));
        EXPECT_EQ(r.lines.mid(2), Recover::tailLines(c.out, 20));
    }
}

// Ended while a transfer runs, the tool ends the transfer too and fails;
// a hang-up it was told to ignore (nohup) does not stop it.
TEST_F(DsrecoverProcess, StopSignalsEndTheTransfer)
{
    put("zfs.out", "dsr\n");
    put("sshpass.out", "dsr/t@a\n");
    put("script.hang", "");
    QProcess p;
    p.setProcessEnvironment(fakeEnv());
    p.start("bash", {"-c", "trap '' HUP; exec \"$0\" srv root pw dsr t", DSRECOVER_BIN});
    ASSERT_TRUE(p.waitForStarted(10000));
    const pid_t tool = static_cast<pid_t>(p.processId());
    ASSERT_GT(tool, 0);
    QElapsedTimer t;
    t.start();
    while (read("script.pid").isEmpty() && t.elapsed() < 30000)
        QThread::msleep(20);
    const pid_t transfer = read("script.pid").trimmed().toInt();
    ASSERT_GT(transfer, 0);

    ::kill(tool, SIGHUP);
    EXPECT_FALSE(p.waitForFinished(500));
    ::kill(tool, SIGTERM);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 255);
    EXPECT_FALSE(p.readAllStandardOutput().contains(Recover::kRestoreDone));
    t.restart();
    while (::kill(transfer, 0) == 0 && t.elapsed() < 30000)
        QThread::msleep(20);
    EXPECT_NE(::kill(transfer, 0), 0) << "the transfer outlived the tool";
}

} // namespace
