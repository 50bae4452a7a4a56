#include "hx2runner.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QThread>

#include <chrono>
#include <thread>

namespace {

const QString kHelper = QStringLiteral(RUNNER_HELPER);

// True once pid is gone or only a zombie waiting for its reaper.
bool processGone(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = f.readAll();
    const int close = line.lastIndexOf(')');
    return close < 0 || line.size() <= close + 2 || line.at(close + 2) == 'Z' || line.at(close + 2) == 'X';
}

bool waitGone(qint64 pid, int ms = 5000)
{
    for (int waited = 0; waited < ms; waited += 20) {
        if (processGone(pid))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return processGone(pid);
}

// The pid the helper printed as "grandchild PID"; 0 when absent.
qint64 grandchildPid(const QByteArray& out)
{
    for (const QByteArray& line : out.split('\n')) {
        if (line.startsWith("grandchild "))
            return line.mid(11).toLongLong();
    }
    return 0;
}

struct RunCase
{
    const char* name;
    QString program;
    QStringList args;
    QList<int> accepted;
    QHash<QString, QString> env;
    int finishMs;
    bool started;
    bool finished;
    bool normalExit;
    int exitCode;
    bool ok;
    QStringList outLines;
    QString errText;
};

TEST(HX2Runner, OutcomeFollowsStartFinishExitAndAcceptedCodes)
{
    const QList<int> zero{0};
    const QList<int> zeroOne{0, 1};
    const RunCase cases[] = {
        {"clean exit", kHelper, {"out:hello", "out:world", "exit:0"}, zero, {}, 5000,
         true, true, true, 0, true, {"hello", "world"}, ""},
        {"non-zero exit fails", kHelper, {"err:boom", "exit:3"}, zero, {}, 5000,
         true, true, true, 3, false, {}, "boom\n"},
        {"exit 1 accepted", kHelper, {"exit:1"}, zeroOne, {}, 5000, true, true, true, 1, true, {}, ""},
        {"exit 2 not accepted", kHelper, {"exit:2"}, zeroOne, {}, 5000, true, true, true, 2, false, {}, ""},
        {"program missing", "/nonexistent/vxr-no-such-program", {}, zero, {}, 5000,
         false, false, false, -1, false, {}, ""},
        {"crash is not a normal exit", kHelper, {"out:before", "crash"}, zero, {}, 5000,
         true, true, false, -1, false, {"before"}, ""},
        {"finish limit", kHelper, {"out:early", "sleep:20000"}, zero, {}, 300,
         true, false, false, -1, false, {"early"}, ""},
        {"output stops at zero byte", kHelper, {"outzero"}, zero, {}, 5000, true, true, true, 0, true, {"a", "b"}, ""},
        {"environment added", kHelper, {"env:VXR_RUNNER_TEST", "env:PATH"}, zero,
         {{"VXR_RUNNER_TEST", "value with blanks"}}, 5000, true, true, true, 0, true,
         {"value with blanks", QString::fromLocal8Bit(qgetenv("PATH"))}, ""},
        {"environment untouched", kHelper, {"env:VXR_RUNNER_TEST"}, zero, {}, 5000,
         true, true, true, 0, true, {"<unset>"}, ""},
    };
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.name);
        HX2RunOptions options;
        options.startMs = 5000;
        options.finishMs = c.finishMs;
        options.acceptedCodes = c.accepted;
        options.env = c.env;
        const HX2RunResult r = HX2Runner::run(c.program, c.args, options);
        EXPECT_EQ(r.started, c.started);
        EXPECT_EQ(r.finished, c.finished);
        EXPECT_EQ(r.normalExit, c.normalExit);
        if (c.normalExit) {
            EXPECT_EQ(r.exitCode, c.exitCode);
        }
        EXPECT_EQ(r.ok, c.ok);
        EXPECT_EQ(r.outLines(), c.outLines);
        EXPECT_EQ(r.errText(), c.errText);
    }
    EXPECT_EQ(HX2Runner::liveCount(), 0);
}

TEST(HX2Runner, StandardErrorKeepsOnlyItsTail)
{
    struct Case { long bytes; int expectSize; };
    const Case cases[] = {{1000, 1000}, {HX2Runner::kErrTail, HX2Runner::kErrTail},
                          {8L * 1024 * 1024, HX2Runner::kErrTail}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        const HX2RunResult r = HX2Runner::run(kHelper, {QStringLiteral("errbytes:%1").arg(c.bytes), "exit:4"});
        EXPECT_EQ(r.exitCode, 4);
        EXPECT_EQ(r.err.size(), c.expectSize);
        EXPECT_TRUE(r.err.endsWith("xxxxTAIL-END\n"));
    }
}

TEST(HX2Runner, OutputCapEndsTheRunAndItsTree)
{
    struct Case { const char* script; qint64 cap; bool ok; QByteArray out; };
    const Case cases[] = {
        {"printf abcdef", 6, true, "abcdef"},
        {"printf abcdefg", 6, false, "abcdef"},
        {"printf abcdefg", -1, true, "abcdefg"},
        // A runaway grandchild: the cap, not the hour, ends it.
        {"yes & echo \"grandchild $!\" >&2; wait", 1 << 20, false, QByteArray()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        HX2RunOptions options;
        options.maxOutBytes = c.cap;
        options.finishMs = 3600000;
        const HX2RunResult r = HX2Runner::run("sh", {"-c", c.script}, options);
        EXPECT_TRUE(r.finished);
        EXPECT_EQ(r.ok, c.ok);
        EXPECT_EQ(r.outOverflow, !c.ok);
        if (!c.out.isEmpty()) {
            EXPECT_EQ(r.out, c.out);
        } else {
            EXPECT_EQ(r.out.size(), c.cap);
            const qint64 grandchild = grandchildPid(r.err);
            ASSERT_GT(grandchild, 0);
            EXPECT_TRUE(waitGone(grandchild));
        }
    }
    EXPECT_EQ(HX2Runner::liveCount(), 0);
}

TEST(HX2Runner, FinishLimitKillsTheWholeTree)
{
    // The stubborn grandchild ignores SIGTERM and lives in its own session:
    // only the escalation to SIGKILL of every descendant ends it.
    for (const char* spawn : {"grandchild", "stubborn"}) {
        SCOPED_TRACE(spawn);
        HX2RunOptions options;
        options.finishMs = 500;
        const HX2RunResult r = HX2Runner::run(kHelper, {spawn, "ignoreterm", "sleep:60000"}, options);
        EXPECT_FALSE(r.finished);
        EXPECT_FALSE(r.ok);
        const qint64 grandchild = grandchildPid(r.out);
        ASSERT_GT(grandchild, 0);
        EXPECT_TRUE(waitGone(grandchild));
    }
    EXPECT_EQ(HX2Runner::liveCount(), 0);
}

TEST(HX2Runner, DescendantsAndKillTreeLeaveNoProcess)
{
    HX2Runner runner(kHelper, {"stubborn", "sleep:60000"});
    ASSERT_TRUE(runner.start());
    EXPECT_TRUE(runner.isRunning());
    QByteArray out;
    for (int i = 0; i < 250 && grandchildPid(out) == 0; ++i) {
        runner.waitForFinished(20);
        out += runner.readOutput();
    }
    const qint64 grandchild = grandchildPid(out);
    ASSERT_GT(grandchild, 0);
    const QList<qint64> below = HX2Runner::descendants(runner.pid());
    EXPECT_TRUE(below.contains(grandchild));
    EXPECT_FALSE(below.contains(runner.pid()));
    EXPECT_TRUE(HX2Runner::descendants(grandchild).isEmpty());

    runner.killTree(300);
    EXPECT_FALSE(runner.isRunning());
    EXPECT_FALSE(runner.result().ok);
    EXPECT_FALSE(runner.result().normalExit);
    EXPECT_TRUE(waitGone(runner.pid()));
    EXPECT_TRUE(waitGone(grandchild));
    EXPECT_EQ(HX2Runner::liveCount(), 0);
}

TEST(HX2Runner, DestroyingARunningRunnerEndsItsTree)
{
    qint64 child = 0;
    qint64 grandchild = 0;
    {
        HX2Runner runner(kHelper, {"grandchild", "sleep:60000"});
        ASSERT_TRUE(runner.start());
        child = runner.pid();
        QByteArray out;
        for (int i = 0; i < 250 && grandchildPid(out) == 0; ++i) {
            runner.waitForFinished(20);
            out += runner.readOutput();
        }
        grandchild = grandchildPid(out);
        ASSERT_GT(grandchild, 0);
    }
    EXPECT_TRUE(waitGone(child));
    EXPECT_TRUE(waitGone(grandchild));
}

TEST(HX2Runner, KillAllEndsRunsWaitingOnOtherThreads)
{
    constexpr int kThreads = 2;
    HX2RunResult results[kThreads];
    std::thread threads[kThreads];
    for (int i = 0; i < kThreads; ++i) {
        threads[i] = std::thread([&results, i] {
            HX2RunOptions options;
            options.finishMs = 120000;
            results[i] = HX2Runner::run(kHelper, {"grandchild", "sleep:60000"}, options);
        });
    }
    for (int i = 0; i < 500 && HX2Runner::liveCount() < kThreads; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(HX2Runner::liveCount(), kThreads);
    // The grandchild line is printed right after the fork; give it a moment
    // so that the tree is complete when it is killed.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    HX2Runner::killAll();
    for (std::thread& t : threads)
        t.join();
    for (const HX2RunResult& r : results) {
        EXPECT_TRUE(r.started);
        EXPECT_FALSE(r.normalExit);
        EXPECT_FALSE(r.ok);
        const qint64 grandchild = grandchildPid(r.out);
        ASSERT_GT(grandchild, 0);
        EXPECT_TRUE(waitGone(grandchild));
    }
    EXPECT_EQ(HX2Runner::liveCount(), 0);
}

} // namespace
