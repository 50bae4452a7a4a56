#include "hx2runner.h"
#include "hx2utils.h"
#include "lnx2apt.h"
#include "lnx2utils.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kHelper = QStringLiteral(RUNNER_HELPER);

QString helper(const QString& steps) { return kHelper + QLatin1Char(' ') + steps; }

bool isRoot() { return ::geteuid() == 0; }

} // namespace

TEST(Exec, RemainingLimitNeverGoesNegative)
{
    const struct { int limit; qint64 spent; int left; } cases[] = {
        {-1, 0, -1}, {-1, 99999, -1}, {1000, 0, 1000}, {1000, 400, 600}, {1000, 1000, 0}, {1000, 5000, 0}, {0, 3, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(remainingLimit(c.limit, c.spent), c.left) << c.limit << " " << c.spent;
}

TEST(Exec, CmdExecOutcomeAndOutput)
{
    const struct { const char* steps; int limit; bool ok; QString out; } cases[] = {
        {"out:hello exit:0", 5000, true, "hello\n"},
        {"\"out:two words\"", 5000, true, "two words\n"},
        {"out:data err:why exit:1", 5000, false, "why\n"},
        {"err:before crash", 5000, false, "before\n"},
        {"out:early sleep:20000", 300, false, ""},
    };
    for (const auto& c : cases) {
        QString out;
        QElapsedTimer t;
        t.start();
        EXPECT_EQ(cmdExec(helper(QLatin1String(c.steps)), out, c.limit), c.ok) << c.steps;
        EXPECT_EQ(out, c.out) << c.steps;
        EXPECT_LT(t.elapsed(), 10000) << c.steps;
    }
    QString out;
    EXPECT_FALSE(cmdExec(QStringLiteral("/nonexistent/vxr-none"), out, 2000));
    EXPECT_FALSE(cmdExec(QStringLiteral("   "), out, 2000));
}

TEST(Exec, EnvironmentAppendsToListsAndReplacesTheRest)
{
    qputenv("VXR_TEST_PATH", "/usr/bin:/bin");
    qputenv("DEBIAN_FRONTEND", "dialog");
    qputenv("LANG", "en_US.UTF-8");
    qunsetenv("VXR_NEW");
    const QHash<QString, QString> env{{"VXR_TEST_PATH", "/opt/x/bin"},
                                      {"DEBIAN_FRONTEND", "noninteractive"},
                                      {"LANG", "C.UTF-8"},
                                      {"VXR_NEW", "v"}};
    QString out;
    ASSERT_TRUE(cmdExec(env, helper("env:VXR_TEST_PATH env:DEBIAN_FRONTEND env:LANG env:VXR_NEW"), out, 5000));
    EXPECT_EQ(out, "/usr/bin:/bin:/opt/x/bin\nnoninteractive\nC.UTF-8\nv\n");
    qunsetenv("DEBIAN_FRONTEND");
}

TEST(Exec, CmdsExecStopsAtFirstFailureAndSharesOneLimit)
{
    QTemporaryDir dir;
    const QString ran = dir.filePath("ran");
    const QString after = dir.filePath("after");
    QJsonArray errors;
    EXPECT_FALSE(cmdsExec({"  ", helper("touch:" + ran), helper("err:boom exit:1"), helper("touch:" + after)},
                          errors, 5000));
    EXPECT_TRUE(QFile::exists(ran));
    EXPECT_FALSE(QFile::exists(after));
    EXPECT_EQ(errors, QJsonArray{"boom\n"});

    errors = QJsonArray();
    EXPECT_TRUE(cmdsExec({helper("exit:0"), "", helper("out:x")}, errors, 5000));
    EXPECT_TRUE(errors.isEmpty());
    // Nothing ran, so nothing succeeded.
    for (const QStringList& none : {QStringList(), QStringList{"", " \t "}}) {
        EXPECT_FALSE(cmdsExec(none, errors, 5000)) << none.size();
        EXPECT_TRUE(errors.isEmpty());
    }

    // The second command only gets what the first left of the budget.
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(cmdsExec({helper("sleep:400"), helper("sleep:400")}, errors, 600));
    EXPECT_EQ(errors.size(), 1);
    EXPECT_LT(t.elapsed(), 5000);
}

TEST(Exec, CodesOfCmdExecuteAndExeCommand)
{
    QString out;
    EXPECT_EQ(cmdExecute(out, {"/nonexistent/vxr-none"}, 2000), 9998);
    EXPECT_EQ(cmdExecute(out, {kHelper, "crash"}, 2000), 9998);
    EXPECT_EQ(cmdExecute(out, {kHelper, "out:o", "err:e", "exit:3"}, 5000), 3);
    EXPECT_EQ(out, "e\n");
    EXPECT_EQ(cmdExecute(out, {kHelper, "out:o"}, 5000), 0);
    EXPECT_EQ(out, "o\n");

    QByteArray bytes;
    EXPECT_EQ(exeCommand("/nonexistent/vxr-none", -1), 62);
    QTemporaryDir dir;
    const QString flag = dir.filePath("detached");
    EXPECT_EQ(exeCommand(helper("touch:" + flag), -1), 0);
    for (int i = 0; i < 250 && !QFile::exists(flag); ++i)
        QThread::msleep(20);
    EXPECT_TRUE(QFile::exists(flag));
    EXPECT_EQ(exeCommand(helper("exit:4"), 0, &bytes), 4);
    EXPECT_EQ(exeCommand("/nonexistent/vxr-none", 0), -2);
    EXPECT_EQ(exeCommand(helper("out:o err:e exit:5"), 5000, &bytes), 5);
    EXPECT_EQ(bytes, "e\n");
    EXPECT_EQ(exeCommand(helper("crash"), 5000, &bytes), -1);
    EXPECT_EQ(exeCommand(helper("sleep:20000"), 300, &bytes), 62);

    EXPECT_EQ(linuxCmdExec({kHelper, "exit:6"}, false), 6);
    auto runner = linuxCmdStart({kHelper, "out:started"}, false);
    ASSERT_TRUE(runner);
    EXPECT_TRUE(runner->waitForFinished(5000));
    EXPECT_EQ(runner->result().out, "started\n");
    EXPECT_FALSE(linuxCmdStart({"/nonexistent/vxr-none"}, false));
}

TEST(Exec, AsSuperuser)
{
    if (!isRoot() || !QFile::exists("/usr/bin/sudo"))
        GTEST_SKIP() << "needs root and /usr/bin/sudo";
    QString out;
    EXPECT_TRUE(execBash("echo $((6*7)) \"$0\"", out, 10000));
    EXPECT_EQ(out, "42 /bin/bash\n");
    EXPECT_EQ(linuxCmdExec({"id", "-u"}, true), 0);

    QTemporaryDir dir;
    const QString src = dir.filePath("a b");
    const QString dst = dir.filePath("c d");
    ASSERT_TRUE(QDir().mkpath(src + "/inner"));
    ASSERT_TRUE(QDir().mkpath(dir.filePath("taken")));
    EXPECT_EQ(mvpath(src, dir.filePath("taken")), 9993);
    EXPECT_EQ(mvpath(dir.filePath("none"), dst), 9994);
    EXPECT_EQ(mvpath("", dst), 9995);
    EXPECT_EQ(mvpath(src, dst), 0);
    EXPECT_TRUE(QFileInfo(dst + "/inner").isDir());
    EXPECT_FALSE(QFileInfo::exists(src));
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("a")));
}

TEST(Probes, VersionOrderAgreesWithDpkg)
{
    const struct { const char* a; const char* b; int sign; } cases[] = {
        {"1.0", "1.0", 0},          {"1.0", "1.1", -1},       {"1:0.9", "2.0", 1},
        {"1.0~rc1", "1.0", -1},     {"1.0", "1.0-1", -1},     {"1.0-2", "1.0-10", -1},
        {"2.0~~", "2.0~", -1},      {"1.0+b1", "1.0", 1},     {"0:1.2", "1.2", 0},
        {"1.2.3-1ubuntu1", "1.2.3-1", 1}, {"10", "9", 1},     {"1.0a", "1.0", 1},
    };
    auto sign = [](int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); };
    for (const auto& c : cases) {
        EXPECT_EQ(sign(cmpVersion(c.a, c.b)), c.sign) << c.a << " vs " << c.b;
        const char* op = c.sign < 0 ? "lt" : (c.sign > 0 ? "gt" : "eq");
        EXPECT_EQ(HX2Runner::run("dpkg", {"--compare-versions", c.a, op, c.b}).exitCode, 0)
            << "dpkg disagrees: " << c.a << " " << op << " " << c.b;
    }
}

TEST(Probes, FindsProcessesByNameExecutableAndArgument)
{
    QTemporaryDir dir;
    const QString marker = "touch:" + dir.filePath("marker");
    HX2Runner runner(kHelper, {marker, "sleep:60000"});
    ASSERT_TRUE(runner.start());
    auto pids = [](const QJsonArray& records) {
        QList<qint64> out;
        for (const QJsonValue& r : records)
            out.append(r.toObject().value("pid").toInt());
        return out;
    };
    const qint64 pid = runner.pid();
    EXPECT_TRUE(pids(findProcess(QFileInfo(kHelper).fileName())).contains(pid));
    EXPECT_TRUE(pids(findProcess(QFileInfo(kHelper).canonicalFilePath())).contains(pid));
    EXPECT_FALSE(pids(findProcess(marker)).contains(pid));
    const QJsonArray withArg = findProcessWith(marker);
    ASSERT_EQ(pids(withArg), QList<qint64>{pid});
    const QJsonObject rec = withArg.at(0).toObject();
    EXPECT_EQ(rec.value("cmdargs").toArray(), (QJsonArray{kHelper, marker, "sleep:60000"}));
    EXPECT_EQ(rec.value("cmdline").toString(), kHelper + " " + marker + " sleep:60000");
    EXPECT_TRUE(findProcess("vxr-no-such-process").isEmpty());
}

TEST(Probes, WriteFileKeepsModeAndOwnerAndReplacesWhole)
{
    if (!isRoot())
        GTEST_SKIP() << "needs root to own files for others";
    QTemporaryDir dir;
    const QString secret = dir.filePath("secret");
    ASSERT_TRUE(writeFile(secret, QByteArray("old")));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(secret).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_uid, 0u);

    ASSERT_EQ(::chmod(QFile::encodeName(secret).constData(), 0600), 0);
    ASSERT_EQ(::chown(QFile::encodeName(secret).constData(), 65534, 65534), 0);
    ASSERT_TRUE(writeFile(secret, QStringList{"a", "b"}));
    ASSERT_EQ(::stat(QFile::encodeName(secret).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    QFile f(secret);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "a\nb");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"secret"});

    EXPECT_TRUE(writeFile(dir.filePath("new/deeper/conf.json"), QJsonObject{{"k", 1}}));
    EXPECT_FALSE(writeFile(secret + "/under-a-file", QString("x")));
}

TEST(Probes, UnitsVolumesAndSplitting)
{
    EXPECT_EQ(toCapacity(100), "100 b");
    EXPECT_EQ(toCapacity(1536), "1.50kb");
    EXPECT_EQ(toCapacity(5LL << 30), "5.00gb");
    EXPECT_TRUE(toCapacity(-1).endsWith("tb"));
    EXPECT_DOUBLE_EQ(toCapacityMb(1536 * 1024), 1.5);
    EXPECT_EQ(asUnitSpeed("M/s"), 1024 * 1024);
    EXPECT_EQ(asUnitSpeed("x/s"), 1);
    EXPECT_FALSE(vglvExists("/mnt/ftp/x/y"));
    EXPECT_FALSE(vglvExists("/mnt/vg"));
    EXPECT_FALSE(vglvExists("..", "tmp"));
    EXPECT_EQ(stringSplit(" a\tb\r\nc  d "), (QStringList{"a", "b", "\nc", "d"}));
}

namespace {

// An apt run through script is judged by apt's success, not by script's
// status alone: script exits 0 when it is itself terminated.
TEST(Apt, ScriptKilledAloneIsAFailure)
{
    QTemporaryDir bin;
    ASSERT_TRUE(bin.isValid());
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", bin.path().toUtf8() + ":" + oldPath);
    struct Case { const char* name; const char* apt; bool killScript; bool ok; };
    const Case cases[] = {
        {"apt succeeds", "#!/bin/sh\nexit 0\n", false, true},
        {"apt fails", "#!/bin/sh\nexit 100\n", false, false},
        {"script terminated alone", "#!/bin/sh\nsleep 30\n", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QFile f(bin.filePath("apt"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(c.apt);
        f.close();
        f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        LNX2Apt apt;
        QJsonObject result;
        bool ok = !c.ok;
        std::thread run([&] { ok = apt.aptExecute(result, QJsonObject{{"package", "vxrt-tool"}, {"exec", 1}}); });
        if (c.killScript) {
            qint64 running = 0;
            QElapsedTimer t;
            t.start();
            while (running == 0 && t.elapsed() < 20000) {
                for (qint64 p : HX2Runner::descendants(::getpid())) {
                    QFile comm(QStringLiteral("/proc/%1/comm").arg(p));
                    if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "sleep")
                        running = p;
                }
                QThread::msleep(20);
            }
            // apt runs: terminate script alone, as an outside kill would.
            for (qint64 p : HX2Runner::descendants(::getpid())) {
                QFile comm(QStringLiteral("/proc/%1/comm").arg(p));
                if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "script")
                    ::kill(pid_t(p), SIGTERM);
            }
            EXPECT_GT(running, 0);
        }
        run.join();
        EXPECT_EQ(ok, c.ok) << result.value("errmsg").toString().toStdString();
    }
    qputenv("PATH", oldPath);
}

} // namespace
