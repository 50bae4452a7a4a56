// The transfer's pure pieces: pv progress parse, estimate parse and the
// pipeline text, whose quoting is proven by
// running it through a real shell with stand-in programs.
#include "hx2runner.h"
#include "vxrparse.h"
#include "vxrpipeline.h"
#include "vxrzfs.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

using namespace VxrPipeline;

namespace {

// The progress rule read literally: the whole output kept, re-split and
// re-decoded at every poll. The bounded parser must give the same.
bool referenceRead(const QByteArray& all, QString* speed, int* percent)
{
    QByteArray bytes = all;
    bytes.replace('\t', ' ');
    const QStringList parts = QString::fromUtf8(bytes).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return false;
    const QString line = parts.last().trimmed();
    if (!line.endsWith(QLatin1Char('%')))
        return false;
    const int p = line.lastIndexOf(QLatin1String("/s]"));
    if (p > 0) {
        const QString window = line.mid(p - 10, 12);
        const int open = window.lastIndexOf(QLatin1Char('['));
        if (open > 0)
            *speed = window.mid(open + 1).trimmed();
    }
    QString n = line.right(4).trimmed();
    n.remove(QLatin1Char('%'));
    *percent = std::clamp(n.toInt(), 0, 100);
    return true;
}

struct ProgressCase
{
    const char* name;
    QByteArray output;
    bool updates;
    QString speed;
    int percent;
};

TEST(ProgressParse, ReadsPvStatusLines)
{
    const QString before = QStringLiteral("0B/s");
    const ProgressCase cases[] = {
        {"second update in the line", "\r[4.00MiB/s] [====>     ]  40%\r[5.20MiB/s] [=========>      ]  45%", true, "5.20MiB/s", 45},
        {"several updates, newest wins", "\r[1.00MiB/s] [>   ]  10%\r[12.3MiB/s] [==> ]  60%", true, "12.3MiB/s", 60},
        {"final line as script ends it", "\r[9.0MiB/s] [===]  99%\r[9.9MiB/s] [====] 100%\r\r\n", true, "9.9MiB/s", 100},
        {"field at line start keeps speed", "\r[9.18MiB/s] [===>  ]  34%", true, before, 34},
        {"tabs count as blanks", "x\t[1.5MiB/s]\t[=]\t 45%", true, "1.5MiB/s", 45},
        {"earlier lines ignored", "warning: x\n\r[1KiB/s] [>]   5%\r[2KiB/s] [>]   7%", true, "2KiB/s", 7},
        {"no rate field", "\r[=====>    ]  50%", true, before, 50},
        {"unpadded percent is unreadable", "x [1MiB/s] [>] 7%", true, "1MiB/s", 0},
        {"unreadable number", "x [1MiB/s] [=] abc%", true, "1MiB/s", 0},
        {"above 100 clamps", "x [1MiB/s] 150%", true, "1MiB/s", 100},
        {"negative clamps", "x [1MiB/s] x -5%", true, "1MiB/s", 0},
        {"last line without percent", "\r[1MiB/s] [=] 40%\ncannot receive: failed", false, before, -1},
        {"only carriage returns", "\r\r\n", false, before, -1},
        {"nothing yet", "", false, before, -1},
        {"line feeds only", "\n\n\n", false, before, -1},
    };
    for (const ProgressCase& c : cases) {
        ProgressParser parser;
        parser.append(c.output);
        QString speed = before;
        int percent = -1;
        EXPECT_EQ(parser.read(&speed, &percent), c.updates) << c.name;
        EXPECT_EQ(speed, c.speed) << c.name;
        EXPECT_EQ(percent, c.percent) << c.name;
    }
}

TEST(ProgressParse, MapsIncrementalPhaseOntoRest)
{
    struct { int percent; int base; int rate; } cases[] = {
        {45, 0, 45}, {45, 20, 56}, {0, 20, 20}, {100, 20, 100}, {100, 0, 100},
        {50, 40, 70}, {1, 99, 99}, {150, 20, 100}, {-10, 20, 20}, {30, 120, 100},
    };
    for (const auto& c : cases)
        EXPECT_EQ(mapRate(c.percent, c.base), c.rate) << c.percent << " on " << c.base;
}

// Long pv-like streams cut at random points (also inside UTF-8 sequences
// and inside "/s]"): after every piece the bounded parser agrees with the
// literal rule and holds a bounded amount.
TEST(ProgressParse, BoundedTailMatchesWholeBuffer)
{
    QRandomGenerator rng(20260307);
    const QByteArray noise[] = {"zfs: warnung \xc3\xa4\xc3\xb6\n", "\t", "\n", "ok\n\n", " 12%\n"};
    for (int run = 0; run < 40; ++run) {
        QByteArray stream;
        while (stream.size() < 200000) {
            const int kind = rng.bounded(10);
            if (kind == 0) {
                stream += noise[rng.bounded(int(sizeof noise / sizeof noise[0]))];
            } else {
                stream += "\r[" + QByteArray::number(rng.bounded(1000)) + "." +
                          QByteArray::number(rng.bounded(100)) + (kind % 2 ? "MiB" : "KiB") + "/s] [";
                stream += QByteArray(rng.bounded(60), '=') + "> ] " +
                          QByteArray::number(rng.bounded(101)) + "%";
            }
        }
        ProgressParser parser;
        QByteArray all;
        int pos = 0;
        while (pos < stream.size()) {
            const int n = 1 + rng.bounded(run % 2 ? 7 : 3000);
            const QByteArray piece = stream.mid(pos, n);
            pos += piece.size();
            all += piece;
            parser.append(piece);
            QString s1 = QStringLiteral("0B/s"), s2 = s1;
            int p1 = -1, p2 = -1;
            const bool r1 = referenceRead(all, &s1, &p1);
            const bool r2 = parser.read(&s2, &p2);
            ASSERT_EQ(r1, r2) << "run " << run << " at " << pos;
            ASSERT_EQ(s1, s2) << "run " << run << " at " << pos;
            ASSERT_EQ(p1, p2) << "run " << run << " at " << pos;
            ASSERT_LE(parser.heldBytes(), ProgressParser::kTail + n + 1);
            if (pos > 20000 && run % 2)
                break; // tiny pieces: the reference is quadratic
        }
    }
}

TEST(ProgressParse, OneLineOfMegabytesStaysBounded)
{
    ProgressParser parser;
    const QByteArray status = "\r[10.0MiB/s] [==================>         ] 64%";
    for (int i = 0; i < 200000; ++i)
        parser.append(status);
    QString speed;
    int percent = -1;
    ASSERT_TRUE(parser.read(&speed, &percent));
    EXPECT_EQ(speed, QStringLiteral("10.0MiB/s"));
    EXPECT_EQ(percent, 64);
    EXPECT_LE(parser.heldBytes(), ProgressParser::kTail + status.size());
}

TEST(EstimateParse, ReadsSizeLine)
{
    struct { const char* name; QByteArray out; qint64 size; } cases[] = {
        {"full", "full\ttank/a@vxr_1\t12345\nsize\t12345\n", 12345},
        {"incremental", "incremental\ttank/a@s1\ttank/a@s2\t999\nsize\t999\n", 999},
        {"blanks and tabs", "  size \t  77  \n", 77},
        {"first size line wins", "size\t5\nsize\t6\n", 5},
        {"64-bit", "size\t123456789012345\n", Q_INT64_C(123456789012345)},
        {"empty", "", 0},
        {"no size line", "full\ttank/a@s\t10\n", 0},
        {"size without value", "size\n", 0},
        {"first size line unreadable", "size\tabc\nsize\t10\n", 0},
        {"not exactly size", "sizes\t12\nSize\t13\n", 0},
        {"hexadecimal is not decimal", "size\t0x10\n", 0},
        {"error text", "cannot open 'tank/x': dataset does not exist\n", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(VxrParse::parseEstimateSize(c.out), c.size) << c.name;
}

TEST(PipelineText, BuildsCommandLines)
{
    const VxrSsh::Account account{"h", 2222, "u", "secret"};
    const QString full = uploadFull(account, "t/a@1", "t/a", 100);
    EXPECT_TRUE(full.startsWith(QStringLiteral("set -o pipefail; zfs send 't/a@1' | pv -r -p -s 100 | sshpass '-e' 'ssh' '-p' '2222'")))
        << qPrintable(full);
    EXPECT_TRUE(full.endsWith(QStringLiteral(" && echo vxr-stream-complete")));
    EXPECT_FALSE(full.contains(QStringLiteral("secret")));
    EXPECT_TRUE(full.contains(QStringLiteral("ServerAliveInterval=")));
    const VxrCommand run = transfer(account, full, 30000);
    EXPECT_EQ(run.program, "script");
    EXPECT_EQ(run.args, (QStringList{"-e", "-q", "-c", full, "/dev/null"}));
    EXPECT_EQ(run.options.startMs, 30000);
    EXPECT_EQ(run.options.env.value("SHELL"), QStringLiteral("/bin/bash"));
    EXPECT_EQ(run.options.env.value("SSHPASS"), QStringLiteral("secret"));
}

// Stand-ins for zfs, pv and sshpass on PATH record what they were given,
// NUL-separated; sshpass also records the password it found in SSHPASS.
class PipelineShell : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        bin = m_dir.path() + "/bin";
        ASSERT_TRUE(QDir().mkpath(bin));
        writeTool("zfs", "for a; do printf '%s\\0' \"$a\"; done > \"$REC/zfs\"\n"
                         "printf 'STREAM'\nsleep ${ZFS_SLEEP:-0}\nexit ${ZFS_RC:-0}\n");
        writeTool("pv", "for a; do printf '%s\\0' \"$a\"; done > \"$REC/pv\"\ncat\n");
        writeTool("sshpass", "for a; do printf '%s\\0' \"$a\"; done > \"$REC/sshpass\"\n"
                             "printf '%s' \"$SSHPASS\" > \"$REC/password\"\n"
                             "cat > \"$REC/stream\"\nexit ${RECV_RC:-0}\n");
    }

    void writeTool(const QString& name, const QByteArray& body)
    {
        QFile f(bin + "/" + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\n" + body);
        f.close();
        f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    QStringList recorded(const QString& name) const
    {
        QFile f(m_dir.path() + "/" + name);
        if (!f.open(QIODevice::ReadOnly))
            return {"<missing>"};
        QStringList out;
        for (const QByteArray& part : f.readAll().split('\0'))
            out << QString::fromUtf8(part);
        out.removeLast();
        return out;
    }

    QByteArray raw(const QString& name) const
    {
        QFile f(m_dir.path() + "/" + name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

    HX2RunResult runScript(const QString& text, const VxrSsh::Account& account,
                           const QHash<QString, QString>& extra = {})
    {
        VxrCommand run = transfer(account, text, 10000);
        run.options.finishMs = 20000;
        run.options.env.insert("PATH", bin + ":/usr/bin:/bin");
        run.options.env.insert("REC", m_dir.path());
        for (auto it = extra.cbegin(); it != extra.cend(); ++it)
            run.options.env.insert(it.key(), it.value());
        return HX2Runner::run(run.program, run.args, run.options);
    }

    // What a POSIX shell makes of the remote command's words after prefix.
    static QStringList remoteWords(const QString& command, const QString& prefix)
    {
        if (!command.startsWith(prefix))
            return {"<prefix differs>"};
        const HX2RunResult r = HX2Runner::run("sh", {"-c", "printf '%s\\0' " + command.mid(prefix.size())});
        QStringList out;
        for (const QByteArray& part : r.out.split('\0'))
            out << QString::fromUtf8(part);
        out.removeLast();
        return out;
    }

    QTemporaryDir m_dir;
    QString bin;
};

TEST_F(PipelineShell, HostileValuesArriveUnchanged)
{
    struct { const char* name; VxrSsh::Account account; QString first; QString last; QString dataset; } cases[] = {
        {"plain", {"backup.example", 22, "root", "pw"}, "tank/a@vxr_1", "tank/a@vxr_2", "tank/a"},
        {"special password", {"h", 2200, "root", "p\"a$s 'w`d\\"}, "tank/a@s1", "tank/a@s2", "tank/a"},
        {"injection attempts", {"h;touch INJ", 22, "u$(touch INJ)", "$(touch INJ)`touch INJ`"},
         "tank/a b@s'1", "tank/a b@s\"2$(touch INJ)", "tank/a b'; touch INJ; echo '"},
        {"glob and newline", {"*", 22, "u\nv", "x\ny"}, "t/*@?", "t/*@[a]", "t/$HOME*"},
    };
    for (const auto& c : cases) {
        for (int incremental = 0; incremental < 2; ++incremental) {
            const QString text = incremental
                ? uploadIncremental(c.account, c.first, c.last, c.dataset, 4096)
                : uploadFull(c.account, c.first, c.dataset, 4096);
            EXPECT_FALSE(text.contains(c.account.password)) << c.name;
            const HX2RunResult r = runScript(text, c.account);
            ASSERT_TRUE(r.ok) << c.name << " exit " << r.exitCode << ": " << r.out.constData();

            const QStringList zfs = incremental ? QStringList{"send", "-RI", c.first, c.last}
                                                : QStringList{"send", c.first};
            EXPECT_EQ(recorded("zfs"), zfs) << c.name;
            EXPECT_EQ(recorded("pv"), (QStringList{"-r", "-p", "-s", "4096"})) << c.name;
            const QStringList ssh = recorded("sshpass");
            ASSERT_EQ(ssh, VxrSsh::sshpassArgs(c.account, VxrZfs::uploadReceive(c.dataset))) << c.name;
            EXPECT_EQ(remoteWords(ssh.last(), "/usr/sbin/zfs recv "),
                      (QStringList{"-o", "atime=off", "-o", "readonly=on", "-Fu", c.dataset}))
                << c.name;
            EXPECT_EQ(raw("password"), c.account.password.toUtf8()) << c.name;
            EXPECT_EQ(raw("stream"), QByteArray("STREAM")) << c.name;
        }
    }
    EXPECT_FALSE(QFile::exists(m_dir.path() + "/INJ"));
    EXPECT_FALSE(QFile::exists("INJ"));
    EXPECT_FALSE(QFile::exists("typescript"));
}

TEST_F(PipelineShell, DatasetQuotedForServerShell)
{
    const QStringList datasets{"t/a b", "t/'q'", "t/$(x)", "t/`y`", "t/\"z\"", "t/a\\b", "t/;|&<>"};
    for (const QString& ds : datasets) {
        EXPECT_EQ(remoteWords(VxrZfs::uploadRemoteSnapshots(ds).text, "/usr/sbin/zfs list "),
                  (QStringList{"-t", "snapshot", "-H", "-o", "name", ds}));
        EXPECT_EQ(remoteWords(VxrZfs::uploadReceive(ds), "/usr/sbin/zfs recv "),
                  (QStringList{"-o", "atime=off", "-o", "readonly=on", "-Fu", ds}));
    }
}

// script -e returns the pipeline's status, and pipefail makes a failing
// zfs send fail the transfer even when the receiving end exits 0.
TEST_F(PipelineShell, AnyFailingStageFailsTransfer)
{
    const VxrSsh::Account account{"h", 22, "u", "pw"};
    struct { const char* name; QHash<QString, QString> env; int exitCode; } cases[] = {
        {"all succeed", {}, 0},
        {"send fails, receive accepts", {{"ZFS_RC", "3"}}, 3},
        {"receive fails", {{"RECV_RC", "1"}}, 1},
        {"both fail", {{"ZFS_RC", "2"}, {"RECV_RC", "5"}}, 5},
    };
    for (const auto& c : cases) {
        const HX2RunResult r = runScript(uploadFull(account, "t/a@1", "t/a", 10), account, c.env);
        EXPECT_TRUE(r.finished) << c.name;
        EXPECT_EQ(r.exitCode, c.exitCode) << c.name;
        EXPECT_EQ(r.ok, c.exitCode == 0) << c.name;
        EXPECT_EQ(streamCompleted(r.out), c.exitCode == 0) << c.name;
    }
}

// script itself exits 0 when it is terminated; only the done marker tells
// a finished stream.
TEST_F(PipelineShell, TerminatedScriptShowsNoCompletion)
{
    const VxrSsh::Account account{"h", 22, "u", "pw"};
    VxrCommand run = transfer(account, uploadFull(account, "t/a@1", "t/a", 10), 10000);
    run.options.env.insert("PATH", bin + ":/usr/bin:/bin");
    run.options.env.insert("REC", m_dir.path());
    run.options.env.insert("ZFS_SLEEP", "20");
    HX2Runner runner(run.program, run.args, run.options);
    ASSERT_TRUE(runner.start());
    EXPECT_FALSE(runner.waitForFinished(500));
    ::kill(static_cast<pid_t>(runner.pid()), SIGTERM);
    ASSERT_TRUE(runner.waitForFinished(5000));
    QByteArray out = runner.readOutput();
    EXPECT_FALSE(streamCompleted(out)) << out.constData();
    runner.killTree(500);
}

} // namespace
