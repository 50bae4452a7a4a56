// The task worker and the upload driven by scripted stand-ins for zfs and
// sshpass (the real script and pv run): phases chosen from both snapshot
// lists, outcome records, last-backup file, progress, cancel and quit.
#include "hx2file.h"
#include "hx2journals.h"
#include "hx2runner.h"
#include "phpaths.h"
#include "vxrclient.h"
#include "vxrmarkers.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include <unistd.h>

namespace {

// zfs: "list" prints $FAKE/local; "send -RPnv" prints the size in
// $FAKE/size; any other send records its arguments in $FAKE/sends and
// writes $FAKE/chunks blocks of 64 KiB, $FAKE/delay seconds apart, then
// exits with $FAKE/send_rc.
const char* const kFakeZfs = R"SH(#!/bin/sh
val() { cat "$FAKE/$1" 2>/dev/null || echo "$2"; }
case "$1" in
list) cat "$FAKE/local"; exit 0 ;;
send)
  if [ "$2" = "-RPnv" ]; then printf 'full\tx\t1\nsize\t%s\n' "$(val size 0)"; exit 0; fi
  echo "$*" >> "$FAKE/sends"
  n=$(val chunks 2); d=$(val delay 0); i=0
  while [ $i -lt $n ]; do head -c 65536 /dev/zero; sleep $d; i=$((i+1)); done
  exit $(val send_rc 0) ;;
esac
exit 9
)SH";

// sshpass: checks SSHPASS against $FAKE/password; a remote "zfs list"
// prints $FAKE/remote and exits with $FAKE/list_rc; a remote "zfs recv"
// reads the stream and exits with $FAKE/recv_rc.
const char* const kFakeSshpass = R"SH(#!/bin/sh
val() { cat "$FAKE/$1" 2>/dev/null || echo "$2"; }
for last; do :; done
if [ "$SSHPASS" != "$(val password x)" ]; then echo "Permission denied" >&2; exit 5; fi
case "$last" in
*"zfs list"*) cat "$FAKE/remote" 2>/dev/null; exit $(val list_rc 0) ;;
*"zfs recv"*) cat > /dev/null; exit $(val recv_rc 0) ;;
esac
exit 9
)SH";

class Upload : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid());
        m_fake = m_root.path() + "/fake";
        const QString bin = m_root.path() + "/bin";
        ASSERT_TRUE(QDir().mkpath(m_fake));
        ASSERT_TRUE(QDir().mkpath(bin));
        writeExecutable(bin + "/zfs", kFakeZfs);
        writeExecutable(bin + "/sshpass", kFakeSshpass);
        m_oldPath = qgetenv("PATH");
        qputenv("PATH", (bin + ":").toUtf8() + m_oldPath);
        qputenv("FAKE", m_fake.toUtf8());
        PHPaths::setRoot(m_root.path() + "/files");

        engine = std::make_unique<VxrClient>();
        HX2Journals journal;
        engine->loadConfigure(journal, QJsonObject{});
        const QJsonObject settings{
            {"active", 0},
            {"server", QJsonObject{{"host", "server"}, {"port", 2222}, {"uid", "root"}, {"pwd", "p\"a$s 'w`d\\"}}},
            {"dmpaths", QJsonArray{"tank/a"}}};
        ASSERT_TRUE(HX2File::saveJson(engine->settingsPath(), settings, false));
        engine->loadSettings(journal, nullptr);
        set("password", "p\"a$s 'w`d\\");
    }

    void TearDown() override
    {
        if (engine) {
            EXPECT_TRUE(engine->waitTransferIdle(30000));
        }
        qputenv("PATH", m_oldPath);
        PHPaths::setRoot(QString());
    }

    static void writeExecutable(const QString& path, const QByteArray& text)
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
        f.close();
        f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    void set(const QString& name, const QString& value)
    {
        QFile::remove(m_fake + "/" + name);
        ASSERT_TRUE(HX2File::saveBinary(value.toUtf8(), m_fake + "/" + name));
    }

    QStringList lines(const QString& name) const
    {
        return QString::fromUtf8(HX2File::readAll(m_fake + "/" + name)).split('\n', Qt::SkipEmptyParts);
    }

    // Queues one upload task per dataset and starts the worker.
    QList<int> queue(const QStringList& datasets)
    {
        QList<int> indexes;
        {
            std::lock_guard<std::mutex> lock(engine->taskMutex);
            for (const QString& ds : datasets) {
                const int index = ++engine->taskIndex;
                indexes << index;
                engine->tasks.append(QJsonObject{{"index", index}, {"action", 2}, {"dmpath", ds}, {"step", 0}, {"rate", 0}});
            }
        }
        engine->startTransferWorker();
        return indexes;
    }

    QJsonObject head() const
    {
        std::lock_guard<std::mutex> lock(engine->taskMutex);
        return engine->tasks.isEmpty() ? QJsonObject() : engine->tasks.at(0).toObject();
    }

    // (message, state) of the engine's records, oldest first.
    QList<QPair<QString, int>> records() const
    {
        HX2Journals journal;
        QJsonArray all;
        EXPECT_TRUE(engine->logAlload(journal, all));
        QList<QPair<QString, int>> out;
        for (const QJsonValue& v : all) {
            const QJsonObject r = v.toObject();
            EXPECT_EQ(r.value("action").toInt(), VxrLog::kActionUpload);
            out.prepend({r.value("message").toString(), r.value("state").toInt()});
        }
        return out;
    }

    int lastResult() const
    {
        const QJsonObject last = HX2File::readJsonObject(engine->lastBackupPath());
        return last.contains("result") ? last.value("result").toInt() : -1;
    }

    bool waitFor(const std::function<bool()>& condition, int ms)
    {
        QElapsedTimer t;
        t.start();
        while (!condition()) {
            if (t.elapsed() > ms)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }

    static bool noChildren() { return HX2Runner::descendants(::getpid()).isEmpty(); }

    QTemporaryDir m_root;
    QString m_fake;
    QByteArray m_oldPath;
    std::unique_ptr<VxrClient> engine;
};

using Record = QPair<QString, int>;
const QString kSuccess = VxrLog::kUploadSuccess;
const QString kFail = VxrLog::kUploadFail;

TEST_F(Upload, PhasesAndOutcomes)
{
    struct Case {
        const char* name;
        QString local, remote, listRc, sendRc, recvRc, password;
        QStringList sends;
        QList<Record> records;
        int result;
    };
    const QString pw = "p\"a$s 'w`d\\";
    const Case cases[] = {
        {"empty server: full, then increments", "tank/a@1\ntank/a@2\n", "", "0", "0", "0", pw,
         {"send tank/a@1", "send -RI tank/a@1 tank/a@2"}, {{kSuccess, 9}}, 9},
        {"dataset missing on server (exit 1)", "tank/a@1\ntank/a@2\n", "", "1", "0", "0", pw,
         {"send tank/a@1", "send -RI tank/a@1 tank/a@2"}, {{kSuccess, 9}}, 9},
        {"server holds k: from its newest", "tank/a@1\ntank/a@2\ntank/a@3\ntank/a@4\n", "tank/a@1\ntank/a@2\n", "0", "0", "0", pw,
         {"send -RI tank/a@2 tank/a@4"}, {{kSuccess, 9}}, 9},
        {"server holds one", "tank/a@1\ntank/a@2\n", "tank/a@1\n", "0", "0", "0", pw,
         {"send -RI tank/a@1 tank/a@2"}, {{kSuccess, 9}}, 9},
        {"server holds all: nothing to send", "tank/a@1\ntank/a@2\n", "tank/a@1\ntank/a@2\n", "0", "0", "0", pw,
         {}, {{kSuccess, 9}}, 9},
        {"single snapshot, empty server", "tank/a@1\n", "", "0", "0", "0", pw,
         {"send tank/a@1"}, {{kSuccess, 9}}, 9},
        {"server newest unknown: whole list", "tank/a@1\ntank/a@2\n", "tank/a@0\n", "0", "0", "0", pw,
         {"send -RI tank/a@1 tank/a@2"}, {{kSuccess, 9}}, 9},
        {"receive fails", "tank/a@1\ntank/a@2\n", "", "0", "0", "1", pw,
         {"send tank/a@1"}, {{kFail, 3}}, 3},
        {"send fails, receive accepts", "tank/a@1\ntank/a@2\n", "tank/a@1\n", "0", "2", "0", pw,
         {"send -RI tank/a@1 tank/a@2"}, {{kFail, 3}}, 3},
        {"wrong password", "tank/a@1\n", "", "0", "0", "0", "other",
         {}, {{VxrLog::kCloudInfoFailed, 3}}, -1},
        {"remote listing fails", "tank/a@1\n", "", "2", "0", "0", pw,
         {}, {{VxrLog::kCloudInfoFailed, 3}}, -1},
        {"no local snapshot", "", "", "0", "0", "0", pw, {}, {}, -1},
    };
    for (const Case& c : cases) {
        HX2Journals journal;
        engine->logClear(journal);
        QFile::remove(engine->lastBackupPath());
        QFile::remove(m_fake + "/sends");
        set("local", c.local);
        set("remote", c.remote);
        set("list_rc", c.listRc);
        set("send_rc", c.sendRc);
        set("recv_rc", c.recvRc);
        set("password", c.password);
        set("size", "131072");
        queue({"tank/a"});
        ASSERT_TRUE(engine->waitTransferIdle(20000)) << c.name;
        EXPECT_EQ(lines("sends"), c.sends) << c.name;
        EXPECT_EQ(records(), c.records) << c.name;
        EXPECT_EQ(lastResult(), c.result) << c.name;
        EXPECT_TRUE(head().isEmpty()) << c.name;
        EXPECT_FALSE(engine->uploading.load()) << c.name;
    }
    EXPECT_TRUE(noChildren());
}

// Two slow phases: the head task's rate never falls, the sizes are the sum
// of both estimates, and the finish shows 100 with currsize = totalsize.
TEST_F(Upload, ProgressRisesToHundred)
{
    set("local", "tank/a@1\ntank/a@2\n");
    set("size", QString::number(10 * 65536));
    set("chunks", "10");
    set("delay", "0.4");
    // Run as the worker would, but keep the task in place afterwards to
    // see the finish update.
    const QJsonObject task{{"index", 5}, {"action", 2}, {"dmpath", "tank/a"}, {"step", 1}, {"rate", 0}};
    {
        std::lock_guard<std::mutex> lock(engine->taskMutex);
        engine->tasks.append(task);
    }
    std::atomic<bool> done{false};
    bool result = false;
    std::thread worker([&] { result = engine->vxrUpload(task); done.store(true); });

    QList<int> rates;
    while (!done.load()) {
        rates << head().value("rate").toInt();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    worker.join();
    EXPECT_TRUE(result);
    rates << head().value("rate").toInt();
    const QJsonObject last = head();
    ASSERT_GE(rates.size(), 10);
    for (int i = 1; i < rates.size(); ++i)
        ASSERT_GE(rates.at(i), rates.at(i - 1)) << "sample " << i;
    EXPECT_GT(rates.at(rates.size() / 2), 0);
    EXPECT_EQ(last.value("rate").toInt(), 100);
    EXPECT_EQ(last.value("totalsize").toVariant().toLongLong(), 2 * 10 * 65536);
    EXPECT_EQ(last.value("currsize").toVariant().toLongLong(), 2 * 10 * 65536);
    EXPECT_EQ(last.value("speed").toString(), QStringLiteral("0B/s"));
    EXPECT_EQ(records(), (QList<Record>{{kSuccess, 9}}));
}

// Tasks run one after the other in queue order; cancelling the running one
// kills its whole pipeline within about two seconds, cancelling a waiting
// one removes it before it runs.
TEST_F(Upload, CancelRunningAndWaiting)
{
    set("local", "tank/a@1\ntank/a@2\n");
    set("size", "1000000");
    set("chunks", "200");
    set("delay", "0.2");
    const QList<int> indexes = queue({"tank/a", "tank/b", "tank/c"});
    ASSERT_TRUE(waitFor([&] { return QFile::exists(m_fake + "/sends"); }, 10000));
    ASSERT_FALSE(noChildren());

    HX2Journals journal;
    ASSERT_TRUE(engine->taskCancel(journal, indexes.at(1)));
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(engine->taskCancel(journal, indexes.at(0)));
    ASSERT_TRUE(waitFor([&] { return head().value("index").toInt() != indexes.at(0); }, 6000));
    EXPECT_LT(timer.elapsed(), 3500);
    EXPECT_EQ(records().value(0), (Record{VxrLog::kCancelUpload, 8}));
    EXPECT_EQ(lastResult(), 8);

    // The third task now runs; cancel it too.
    ASSERT_TRUE(waitFor([&] { return lines("sends").size() == 2; }, 10000));
    EXPECT_EQ(head().value("dmpath").toString(), QStringLiteral("tank/c"));
    ASSERT_TRUE(engine->taskCancel(journal, indexes.at(2)));
    ASSERT_TRUE(engine->waitTransferIdle(6000));
    EXPECT_EQ(records().size(), 2);
    EXPECT_TRUE(noChildren());
}

// The orderly quit: the running pipeline is killed, its outcome recorded as
// a failure, and the waiting task is not started.
TEST_F(Upload, QuitEndsTransferAndWorker)
{
    set("local", "tank/a@1\n");
    set("chunks", "200");
    set("delay", "0.2");
    queue({"tank/a", "tank/b"});
    ASSERT_TRUE(waitFor([&] { return QFile::exists(m_fake + "/sends"); }, 10000));

    QElapsedTimer timer;
    timer.start();
    engine->quitting.store(true);
    HX2Runner::killAll();
    ASSERT_TRUE(engine->waitTransferIdle(5000));
    EXPECT_LT(timer.elapsed(), 5000);
    EXPECT_TRUE(noChildren());
    EXPECT_EQ(lines("sends").size(), 1);
    EXPECT_EQ(records(), (QList<Record>{{kFail, 3}}));
    std::lock_guard<std::mutex> lock(engine->taskMutex);
    EXPECT_EQ(engine->tasks.size(), 1);
}

// The on-demand pass of the root dataset: result codes, what it sends
// and its upload-log line.
TEST_F(Upload, OnDemandPass)
{
    struct Case {
        const char* name;
        QString local, remote, sendRc, password;
        bool account;
        QStringList sends;
        int code;
        QString logTail;
    };
    const QString pw = "p\"a$s 'w`d\\";
    const Case cases[] = {
        {"nothing with the prefix", "vxr/data@manual\nvxr/other@vxr_1\n", "", "0", pw, true, {}, 1, " "},
        {"server holds the newest", "vxr/data@vxr_1\nvxr/data@vxr_2\n", "vxr/data@vxr_2\n", "0", pw, true, {}, -1,
         "  failed(-1)"},
        {"server holds none", "vxr/data@vxr_1\nvxr/data@manual\nvxr/data@vxr_2\n", "tank/x@vxr_9\n", "0", pw, true,
         {"send vxr/data@vxr_1", "send -RI vxr/data@vxr_1 vxr/data@vxr_2"}, 0, "  success"},
        {"from the server's newest", "vxr/data@vxr_1\nvxr/data@vxr_2\nvxr/data@vxr_3\n",
         "vxr/data@vxr_1\nvxr/data@vxr_2\nvxr/data@keep\n", "0", pw, true,
         {"send -RI vxr/data@vxr_2 vxr/data@vxr_3"}, 0, "  success"},
        {"single snapshot, server none", "vxr/data@vxr_1\n", "", "0", pw, true, {"send vxr/data@vxr_1"}, 0,
         "  success"},
        {"failing sends", "vxr/data@vxr_1\nvxr/data@vxr_2\n", "", "2", pw, true,
         {"send vxr/data@vxr_1", "send -RI vxr/data@vxr_1 vxr/data@vxr_2"}, -22, "  failed(-22)"},
        {"failing full send only", "vxr/data@vxr_1\n", "", "2", pw, true, {"send vxr/data@vxr_1"}, -12,
         "  failed(-12)"},
        {"wrong password", "vxr/data@vxr_1\n", "", "0", "other", true, {}, -4, "  failed(-4)"},
        {"no account", "vxr/data@vxr_1\n", "", "0", pw, false, {}, -3, "  failed(-3)"},
    };
    const QString logPath = engine->uploadLogPath;
    ASSERT_TRUE(QDir().mkpath(QFileInfo(logPath).path()));
    for (const Case& c : cases) {
        const QJsonObject settings{
            {"server", QJsonObject{{"host", "server"}, {"uid", "root"}, {"pwd", c.account ? pw : QString()}}}};
        ASSERT_TRUE(HX2File::saveJson(engine->settingsPath(), settings, false));
        QFile::remove(m_fake + "/sends");
        QFile::remove(logPath);
        set("local", c.local);
        set("remote", c.remote);
        set("send_rc", c.sendRc);
        set("password", c.password);
        EXPECT_EQ(engine->upload(), c.code) << c.name;
        EXPECT_EQ(lines("sends"), c.sends) << c.name;
        const QByteArray log = HX2File::readAll(logPath);
        EXPECT_TRUE(log.endsWith(c.logTail.toUtf8() + "\n")) << c.name << ": " << log.constData();
        EXPECT_EQ(log.size(), 19 + c.logTail.size() + 1) << c.name;
        EXPECT_EQ(engine->lastUploadTime, QString::fromUtf8(log.left(19))) << c.name;
    }
    EXPECT_TRUE(noChildren());
}

} // namespace
