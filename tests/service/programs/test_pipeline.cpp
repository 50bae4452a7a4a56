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
#include <QStandardPaths>
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

// A server keeping its own history differs from a mirror only in the
// receive's -F, whatever carries the stream; the full phase has no choice.
TEST_F(PipelineShell, OwnHistoryDropsOnlyTheForce)
{
    using VxrZfs::ServerHistory;
    const VxrSsh::Account a{"h", 22, "u", "pw"};
    const QString ds = "t/a b'c";
    const StreamOptions zstdLimited{Codec::Zstd, true, 4096};
    const struct {
        const char* name;
        QString mirror, own;
    } cases[] = {
        {"upload", uploadIncremental(a, "t/a@1", "t/a@2", ds, 10),
         uploadIncremental(a, "t/a@1", "t/a@2", ds, 10, {}, ServerHistory::Own)},
        {"upload, compressed and limited", uploadIncremental(a, "t/a@1", "t/a@2", ds, 10, zstdLimited),
         uploadIncremental(a, "t/a@1", "t/a@2", ds, 10, zstdLimited, ServerHistory::Own)},
        {"on-demand pass", onDemandIncremental(a, "t/a@1", "t/a@2", ds),
         onDemandIncremental(a, "t/a@1", "t/a@2", ds, {}, ServerHistory::Own)},
    };
    for (const auto& c : cases) {
        EXPECT_NE(c.own, c.mirror) << c.name;
        EXPECT_EQ(c.own, QString(c.mirror).replace("readonly=on -Fu ", "readonly=on -u ")) << c.name;
    }
    EXPECT_EQ(remoteWords(VxrZfs::uploadReceive(ds, ServerHistory::Own), "/usr/sbin/zfs recv "),
              (QStringList{"-o", "atime=off", "-o", "readonly=on", "-u", ds}));
    EXPECT_EQ(VxrZfs::uploadReceive(ds), VxrZfs::uploadReceive(ds, ServerHistory::Mirror));
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

namespace {

// What a configuration without "compress" and "bwlimit" runs: the texts
// the pipelines have always had.
TEST(PipelineText, PlainStreamKeepsItsText)
{
    const VxrSsh::Account a{"backup.example", 2222, "root", "pw"};
    const QString ssh = "sshpass '-e' 'ssh' '-p' '2222' '-o' 'StrictHostKeyChecking no' '-o' "
                        "'ServerAliveInterval=15' '-o' 'ServerAliveCountMax=4' '--' 'root@backup.example' ";
    EXPECT_EQ(uploadFull(a, "tank/a@1", "tank/a", 4096),
              "set -o pipefail; zfs send 'tank/a@1' | pv -r -p -s 4096 | " + ssh +
                  R"('/usr/sbin/zfs recv -o atime=off -o readonly=on -Fu '\''tank/a'\''' && echo vxr-stream-complete)");
    EXPECT_EQ(onDemandIncremental(a, "tank/a@1", "tank/a@2", "tank/a"),
              "set -o pipefail; zfs send -RI 'tank/a@1' 'tank/a@2' | " + QString(ssh).remove("'-p' '2222' ") +
                  R"('/usr/sbin/zfs recv -o atime=off -o readonly=on -Fu '\''tank/a'\''' && echo vxr-stream-complete)");
    EXPECT_EQ(restoreFull(a, "tank/a@1", "tank/a", 4096, "tank/a"),
              "set -o pipefail; " + ssh +
                  R"('/usr/sbin/zfs send -R '\''tank/a@1'\''' | pv -r -p -s 4096 | /usr/sbin/zfs recv -o atime=off )"
                  R"(-o readonly=off -o sharenfs=off -o sharesmb=off -o 'vxr:restore=tank/a' -u 'tank/a' && echo )"
                  R"(vxr-stream-complete)");
    const StreamOptions plain;
    EXPECT_EQ(restoreIncremental(a, "t/a@1", "t/a@2", "t/a", 7, plain), restoreIncremental(a, "t/a@1", "t/a@2", "t/a", 7));
}

TEST(PipelineText, MeterAnnouncementAndCodecProbe)
{
    struct { const char* output; bool found; qint64 pid; qint64 rate; } announced[] = {
        {"vxr-meter 4242 2097152\r\n\r[1MiB/s] [=>] 10%", true, 4242, 2097152},
        {"zfs: warning\nvxr-meter 17 0\n", true, 17, 0},
        {"vxr-meter 4242 2097", false, 0, 0},
        {"xvxr-meter 1 2\n", false, 0, 0},
        {"vxr-meter 0 2\n", false, 0, 0},
        {"vxr-meter 1 2 3\n", false, 0, 0},
        {"vxr-meter 1 -2\n", false, 0, 0},
    };
    for (const auto& c : announced) {
        qint64 pid = 0, rate = 0;
        EXPECT_EQ(meterAnnounced(c.output, &pid, &rate), c.found) << c.output;
        EXPECT_EQ(pid, c.pid) << c.output;
        EXPECT_EQ(rate, c.rate) << c.output;
    }
    EXPECT_EQ(meterRate(99, 2097152).args, (QStringList{"-R", "99", "-L", "2097152"}));
    EXPECT_EQ(meterRate(99, 0).args, (QStringList{"-R", "99", "-L", QString::number(kLiftedRate)}));

    struct { HX2RunResult run; CodecProbe probe; } probes[] = {
        {{true, true, true, 0, true, "vxr-codec-present\n"}, CodecProbe::Present},
        {{true, true, true, 0, true, "motd line\nvxr-codec-absent\n"}, CodecProbe::Absent},
        {{true, true, true, 0, true, ""}, CodecProbe::Unknown},
        {{true, true, true, 255, false, "vxr-codec-absent\n"}, CodecProbe::Unknown},
    };
    for (const auto& c : probes)
        EXPECT_EQ(readCodecProbe(c.run), c.probe) << c.run.out.constData();
}

// The pipelines as a shell runs them, every stage a stand-in but the
// compressors: zfs send prints a payload of every byte value, sshpass plays
// the server by running the remote command in the server's shell (with its
// /usr/sbin/zfs taken by the stand-in), zfs recv keeps what it is given,
// pv passes the stream and keeps what it saw and its own process id.
class StreamShell : public PipelineShell
{
protected:
    void SetUp() override
    {
        PipelineShell::SetUp();
        if (QStandardPaths::findExecutable("zstd").isEmpty() || QStandardPaths::findExecutable("lz4").isEmpty())
            GTEST_SKIP() << "zstd and lz4 are needed (scripts/install-deps.sh)";
        writeTool("zfs", "rec() { f=$1; shift; for a; do printf '%s\\0' \"$a\"; done > \"$REC/$f\"; }\n"
                         "case $1 in\n"
                         "send) rec send \"$@\"; cat \"$REC/payload\"; exit ${SEND_RC:-0} ;;\n"
                         "recv) rec recv \"$@\"; cat > \"$REC/stream\"; exit ${RECV_RC:-0} ;;\n"
                         "esac\nexit 9\n");
        writeTool("pv", "printf '%s' $$ > \"$REC/pvpid\"\nfor a; do printf '%s\\0' \"$a\"; done > \"$REC/pv\"\n"
                       "tee \"$REC/metered\"\n");
        writeTool("sshpass", "for last; do :; done\n"
                             "cmd=$(printf '%s' \"$last\" | sed 's#/usr/sbin/zfs #zfs #g')\n"
                             "if [ \"$WIRE\" = in ]; then\n"
                             "  tee \"$REC/wire\" | $SERVER_SHELL -c \"$cmd\"\n"
                             "else\n"
                             "  $SERVER_SHELL -c \"$cmd\" > \"$REC/wire\" && cat \"$REC/wire\"\n"
                             "fi\n");
        // The real zstd, made to fail in one direction when asked.
        writeTool("zstd", "mode=compress\nfor a; do [ \"$a\" = -d ] && mode=decompress; done\n"
                          "if [ \"$ZSTD_FAIL\" = $mode ]; then head -c 10 >/dev/null; exit 1; fi\n"
                          "exec " + QStandardPaths::findExecutable("zstd").toUtf8() + " \"$@\"\n");
        QByteArray payload;
        for (int i = 0; i < 2000; ++i)
            payload += "tank/a@vxr_" + QByteArray::number(i) + " stream record \r\n";
        for (int b = 0; b < 256; ++b)
            payload += char(b);
        m_payload = payload;
        QFile f(m_dir.path() + "/payload");
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(m_payload);
    }

    enum Kind { UploadFull, UploadIncremental, OnDemandFull, OnDemandIncremental, RestoreFull, RestoreIncremental };

    static QString textOf(Kind kind, const VxrSsh::Account& a, const QString& first, const QString& last,
                          const QString& ds, const StreamOptions& s)
    {
        switch (kind) {
        case UploadFull: return uploadFull(a, first, ds, 4096, s);
        case UploadIncremental: return uploadIncremental(a, first, last, ds, 4096, s);
        case OnDemandFull: return onDemandFull(a, first, ds, s);
        case OnDemandIncremental: return onDemandIncremental(a, first, last, ds, s);
        case RestoreFull: return restoreFull(a, first, ds, 4096, ds, s);
        case RestoreIncremental: return restoreIncremental(a, first, last, ds, 4096, s);
        }
        return QString();
    }

    HX2RunResult runStream(Kind kind, const QString& text, const VxrSsh::Account& account,
                           QHash<QString, QString> env = {})
    {
        for (const QString& f : {"send", "recv", "pv", "pvpid", "metered", "stream", "wire"})
            QFile::remove(m_dir.path() + "/" + f);
        env.insert("WIRE", kind >= RestoreFull ? "out" : "in");
        if (!env.contains("SERVER_SHELL"))
            env.insert("SERVER_SHELL", "bash");
        // Every /usr/sbin/zfs of the text (the restore's receive) is the
        // stand-in's too.
        return runScript(QString(text).replace("/usr/sbin/zfs ", "zfs "), account, env);
    }

    QByteArray m_payload;
};

// Every pipeline with each codec, without a limit and with one starting
// unlimited or at a rate, and hostile names: the stream arrives whole,
// compressed on the wire by the codec asked for, every value reaches its
// program unchanged, and a limited meter announces the process id of the
// pv that runs.
TEST_F(StreamShell, EveryCombinationCarriesTheStream)
{
    struct Values { VxrSsh::Account account; QString first, last, dataset; };
    const Values values[] = {
        {{"backup.example", 22, "root", "pw"}, "tank/a@vxr_1", "tank/a@vxr_2", "tank/a"},
        {{"h", 2200, "root", "p\"a$s 'w`d\\"}, "tank/a@s1", "tank/a@s2", "tank/a"},
        {{"h;touch INJ", 22, "u$(touch INJ)", "$(touch INJ)`touch INJ`"}, "tank/a b@s'1",
         "tank/a b@s\"2$(touch INJ)", "tank/a b'; touch INJ; echo '"},
        {{"*", 22, "u\nv", "x\ny"}, "t/*@?", "t/*@[a]", "t/$HOME*"},
    };
    const QByteArray magic[] = {QByteArray(), QByteArray("\x28\xb5\x2f\xfd", 4), QByteArray("\x04\x22\x4d\x18", 4)};
    int row = 0;
    for (const Codec codec : {Codec::None, Codec::Zstd, Codec::Lz4}) {
        for (const StreamOptions limit : {StreamOptions{codec, false, 0}, StreamOptions{codec, true, 0},
                                          StreamOptions{codec, true, 2097152}}) {
            for (int k = UploadFull; k <= RestoreIncremental; ++k) {
                const Kind kind = Kind(k);
                const Values& v = values[row++ % 4];
                const QString name = QStringLiteral("%1, limited %2 at %3, kind %4, values %5")
                                         .arg(codecName(codec)).arg(limit.limited).arg(limit.rate).arg(k)
                                         .arg((row - 1) % 4);
                SCOPED_TRACE(name.toStdString());
                const QString text = textOf(kind, v.account, v.first, v.last, v.dataset, limit);
                EXPECT_FALSE(text.contains(v.account.password));
                const HX2RunResult r = runStream(kind, text, v.account);
                ASSERT_TRUE(r.ok && streamCompleted(r.out)) << "exit " << r.exitCode << ": " << r.out.constData();

                const bool restore = kind >= RestoreFull;
                const bool incremental = kind % 2 == 1;
                const QStringList send = incremental ? QStringList{"send", "-RI", v.first, v.last}
                                         : restore   ? QStringList{"send", "-R", v.first}
                                                     : QStringList{"send", v.first};
                EXPECT_EQ(recorded("send"), send);
                const QStringList recv =
                    restore ? QStringList{"recv", "-o", "atime=off", "-o", "readonly=off", "-o", "sharenfs=off", "-o",
                                          "sharesmb=off"}
                                  + (incremental ? QStringList{"-Fu"}
                                                 : QStringList{"-o", "vxr:restore=" + v.dataset, "-u"})
                                  + QStringList{v.dataset}
                            : QStringList{"recv", "-o", "atime=off", "-o", "readonly=on", "-Fu", v.dataset};
                EXPECT_EQ(recorded("recv"), recv);
                EXPECT_EQ(raw("stream"), m_payload);
                const QByteArray wire = raw("wire");
                EXPECT_EQ(wire == m_payload, codec == Codec::None);
                EXPECT_TRUE(wire.startsWith(magic[int(codec)]));
                const bool onDemand = kind == OnDemandFull || kind == OnDemandIncremental;

                QStringList pv = onDemand ? QStringList{"-q"} : QStringList{"-r", "-p", "-s", "4096"};
                if (limit.rate > 0)
                    pv << "-L" << "2097152";
                EXPECT_EQ(recorded("pv"), onDemand && !limit.limited ? QStringList{"<missing>"} : pv);
                // pv counts the stream's own bytes, before the compressor
                // and after the decompressor.
                EXPECT_EQ(raw("metered"), onDemand && !limit.limited ? QByteArray("<missing>") : m_payload);
                qint64 pid = 0, rate = -1;
                EXPECT_EQ(meterAnnounced(r.out, &pid, &rate), limit.limited) << r.out.constData();
                if (limit.limited) {
                    EXPECT_EQ(QByteArray::number(pid), raw("pvpid"));
                    EXPECT_EQ(rate, limit.rate);
                }
            }
        }
    }
    EXPECT_FALSE(QFile::exists(m_dir.path() + "/INJ"));
    EXPECT_FALSE(QFile::exists("INJ"));
}

// A compressor or decompressor that fails, on either side, fails the
// transfer: no done marker, a non-zero status. A server shell without
// pipefail still runs the compressed texts.
TEST_F(StreamShell, FailingCodecFailsTheTransfer)
{
    const VxrSsh::Account account{"h", 22, "u", "pw"};
    const StreamOptions zstd{Codec::Zstd, true, 1048576};
    struct { const char* name; Kind kind; QHash<QString, QString> env; bool ok; } cases[] = {
        {"upload, appliance's compressor", UploadFull, {{"ZSTD_FAIL", "compress"}}, false},
        {"upload, server's decompressor", UploadIncremental, {{"ZSTD_FAIL", "decompress"}}, false},
        {"upload, receive", UploadFull, {{"RECV_RC", "1"}}, false},
        {"on-demand, appliance's compressor", OnDemandFull, {{"ZSTD_FAIL", "compress"}}, false},
        {"restore, server's compressor", RestoreFull, {{"ZSTD_FAIL", "compress"}}, false},
        {"restore, server's send", RestoreFull, {{"SEND_RC", "2"}}, false},
        {"restore, appliance's decompressor", RestoreIncremental, {{"ZSTD_FAIL", "decompress"}}, false},
        {"upload, server shell without pipefail", UploadFull, {{"SERVER_SHELL", "dash"}}, true},
        {"restore, server shell without pipefail", RestoreFull, {{"SERVER_SHELL", "dash"}}, true},
    };
    for (const auto& c : cases) {
        if (c.env.value("SERVER_SHELL") == "dash" && QStandardPaths::findExecutable("dash").isEmpty())
            continue;
        const HX2RunResult r = runStream(c.kind, textOf(c.kind, account, "t/a@1", "t/a@2", "t/a", zstd), account, c.env);
        EXPECT_TRUE(r.finished) << c.name;
        EXPECT_EQ(r.ok, c.ok) << c.name << ": " << r.out.constData();
        EXPECT_EQ(streamCompleted(r.out), c.ok) << c.name;
        if (c.ok)
            EXPECT_EQ(raw("stream"), m_payload) << c.name;
    }
}

} // namespace
