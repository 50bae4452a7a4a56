// The task worker, the scheduled upload and the on-demand pass, driven
// through scripted programs: phases chosen from both snapshot lists,
// outcome records, last-backup file, progress, cancel and quit.
#include "fakeprograms.h"
#include "hx2file.h"
#include "hx2journals.h"
#include "phpaths.h"
#include "vxrclient.h"
#include "vxrengine.h"
#include "vxroplog.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

namespace {

const QString kPassword = "p\"a$s 'w`d\\";

// What the scripted zfs and server answer.
struct Scene
{
    QString local;
    QString remote;
    int listRc = 0;
    QString password = kPassword;
    qint64 size = 131072;
    FakePrograms::Transfer transfer;
};

class Upload : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid());
        PHPaths::setRoot(m_root.path() + "/files");
        start(QJsonObject{});
    }

    // A new engine with this configuration and the account.
    void start(const QJsonObject& config)
    {
        if (engine) {
            fake->killAll();
            ASSERT_TRUE(engine->units().worker.waitIdle(30000));
            engine.reset();
        }
        fake = std::make_shared<FakePrograms>();
        engine = std::make_unique<VxrClient>();
        engine->setPrograms(fake);
        HX2Journals journal;
        ASSERT_TRUE(engine->loadConfigure(journal, config));
        const QJsonObject settings{
            {"active", 0},
            {"server", QJsonObject{{"host", "server"}, {"port", 2222}, {"uid", "root"}, {"pwd", kPassword}}},
            {"dmpaths", QJsonArray{"tank/a"}}};
        ASSERT_TRUE(HX2File::saveJson(engine->units().settings.settingsPath(), settings, false));
        engine->loadSettings(journal, nullptr);
        play(Scene{});
    }

    void TearDown() override
    {
        if (engine) {
            fake->killAll();
            EXPECT_TRUE(engine->units().worker.waitIdle(30000));
        }
        PHPaths::setRoot(QString());
    }

    // Scripts zfs (local lists and estimates) and the server (sshpass).
    void play(const Scene& scene)
    {
        fake->onRun([scene](const VxrCommand& c) {
            if (c.program == "sshpass") {
                if (c.options.env.value("SSHPASS") != scene.password)
                    return FakePrograms::exited(5, "Permission denied");
                return FakePrograms::exited(scene.listRc, QByteArray(), scene.remote.toUtf8());
            }
            if (c.args.value(0) == "list")
                return FakePrograms::ok(scene.local.toUtf8());
            if (c.args.value(0) == "send")
                return FakePrograms::ok("full\tx\t1\nsize\t" + QByteArray::number(scene.size) + "\n");
            return FakePrograms::exited(9);
        });
        fake->onTransfer([scene](const VxrCommand&) { return scene.transfer; });
    }

    QList<int> queue(const QStringList& datasets)
    {
        QList<VxrTask> tasks;
        for (const QString& ds : datasets)
            tasks << VxrTask::upload(ds);
        return engine->units().worker.queueTasks(tasks);
    }

    QJsonArray listing() const
    {
        HX2Journals journal;
        QJsonArray tasks;
        engine->taskAlload(journal, tasks);
        return tasks;
    }

    QJsonObject head() const
    {
        const QJsonArray tasks = listing();
        return tasks.isEmpty() ? QJsonObject() : tasks.at(0).toObject();
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
            out.prepend({r.value("message").toString(), r.value("state").toInt()});
        }
        return out;
    }

    int lastResult() const
    {
        const QJsonObject last = HX2File::readJsonObject(engine->units().settings.lastBackupPath());
        return last.contains("result") ? last.value("result").toInt() : -1;
    }

    static bool waitFor(const std::function<bool()>& condition, int ms = 20000)
    {
        QElapsedTimer t;
        t.start();
        while (!condition()) {
            if (t.elapsed() > ms)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    QTemporaryDir m_root;
    std::shared_ptr<FakePrograms> fake;
    std::unique_ptr<VxrClient> engine;
};

using Record = QPair<QString, int>;
const QString kSuccess = VxrLog::kUploadSuccess;
const QString kFail = VxrLog::kUploadFail;

TEST_F(Upload, PhasesAndOutcomes)
{
    struct Case {
        const char* name;
        QString local, remote;
        int listRc;
        FakePrograms::Transfer transfer;
        QString password;
        QStringList sends;
        QList<Record> records;
        int result;
    };
    FakePrograms::Transfer fine;
    FakePrograms::Transfer exits1 = fine;
    exits1.exitCode = 1;
    exits1.marker = false;
    // script ends 0 when it alone was terminated: the marker is missing.
    FakePrograms::Transfer unmarked = fine;
    unmarked.marker = false;
    FakePrograms::Transfer unstarted = fine;
    unstarted.starts = false;
    const Case cases[] = {
        {"empty server: full, then increments", "tank/a@1\ntank/a@2\n", "", 0, fine, kPassword,
         {"send tank/a@1", "send -RI tank/a@1 tank/a@2"}, {{kSuccess, 9}}, 9},
        {"dataset missing on server (exit 1)", "tank/a@1\ntank/a@2\n", "", 1, fine, kPassword,
         {"send tank/a@1", "send -RI tank/a@1 tank/a@2"}, {{kSuccess, 9}}, 9},
        {"server holds k: from its newest", "tank/a@1\ntank/a@2\ntank/a@3\ntank/a@4\n", "tank/a@1\ntank/a@2\n", 0,
         fine, kPassword, {"send -RI tank/a@2 tank/a@4"}, {{kSuccess, 9}}, 9},
        {"server holds one", "tank/a@1\ntank/a@2\n", "tank/a@1\n", 0, fine, kPassword,
         {"send -RI tank/a@1 tank/a@2"}, {{kSuccess, 9}}, 9},
        {"server holds all: nothing to send", "tank/a@1\ntank/a@2\n", "tank/a@1\ntank/a@2\n", 0, fine, kPassword,
         {}, {{kSuccess, 9}}, 9},
        {"single snapshot, empty server", "tank/a@1\n", "", 0, fine, kPassword, {"send tank/a@1"},
         {{kSuccess, 9}}, 9},
        // zfs recv refuses increments whose base the server lacks.
        {"server newest unknown: lineages do not meet", "tank/a@1\ntank/a@2\n", "tank/a@0\n", 0, fine, kPassword,
         {}, {{kFail, 3}}, 3},
        {"single snapshot, server newest unknown", "tank/a@1\n", "tank/a@0\n", 0, fine, kPassword, {},
         {{kFail, 3}}, 3},
        {"transfer fails", "tank/a@1\ntank/a@2\n", "", 0, exits1, kPassword, {"send tank/a@1"}, {{kFail, 3}}, 3},
        {"script exits 0 without the done marker", "tank/a@1\ntank/a@2\n", "tank/a@1\n", 0, unmarked, kPassword,
         {"send -RI tank/a@1 tank/a@2"}, {{kFail, 3}}, 3},
        {"script does not start", "tank/a@1\n", "", 0, unstarted, kPassword, {"send tank/a@1"}, {{kFail, 3}}, 3},
        {"wrong password", "tank/a@1\n", "", 0, fine, "other", {}, {{VxrLog::kCloudInfoFailed, 3}}, -1},
        {"remote listing fails", "tank/a@1\n", "", 2, fine, kPassword, {}, {{VxrLog::kCloudInfoFailed, 3}}, -1},
        {"no local snapshot", "", "", 0, fine, kPassword, {}, {}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HX2Journals journal;
        engine->logClear(journal);
        QFile::remove(engine->units().settings.lastBackupPath());
        fake = std::make_shared<FakePrograms>();
        engine->setPrograms(fake);
        play(Scene{c.local, c.remote, c.listRc, c.password, 131072, c.transfer});
        queue({"tank/a"});
        ASSERT_TRUE(engine->units().worker.waitIdle(20000));
        EXPECT_EQ(fake->sends(), c.sends);
        EXPECT_EQ(records(), c.records);
        EXPECT_EQ(lastResult(), c.result);
        EXPECT_TRUE(listing().isEmpty());
        EXPECT_FALSE(engine->units().worker.isUploading());
        for (const VxrCommand& t : fake->transfers())
            EXPECT_EQ(t.options.env.value("SSHPASS"), kPassword);
    }
}

// Only under a "remote" rule does the server keep snapshots the appliance
// pruned: the increments are then received without -F. The full stream,
// which creates the server's copy, is received as always.
TEST_F(Upload, RemoteRuleDropsTheForcedReceiveOfIncrements)
{
    const QJsonObject keep{{"last", 3}};
    const struct {
        const char* name;
        QJsonObject config;
        QStringList receives;
    } cases[] = {
        {"no retention", {}, {"-Fu", "-Fu"}},
        {"local rule only", {{"retention", QJsonObject{{"local", keep}}}}, {"-Fu", "-Fu"}},
        {"remote rule only", {{"retention", QJsonObject{{"remote", keep}}}}, {"-Fu", "-u"}},
        {"both rules", {{"retention", QJsonObject{{"local", keep}, {"remote", keep}}}}, {"-Fu", "-u"}},
    };
    const QRegularExpression receive("zfs recv -o atime=off -o readonly=on (-F?u) ");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        start(c.config);
        Scene scene;
        scene.local = "tank/a@1\ntank/a@2\n";
        play(scene);
        queue({"tank/a"});
        ASSERT_TRUE(engine->units().worker.waitIdle(20000));
        QStringList receives;
        for (const VxrCommand& t : fake->transfers())
            receives << receive.match(pipelineOf(t)).captured(1);
        EXPECT_EQ(fake->sends(), (QStringList{"send tank/a@1", "send -RI tank/a@1 tank/a@2"}));
        EXPECT_EQ(receives, c.receives);
        EXPECT_EQ(lastResult(), 9);
    }
}

// A saved dataset zfs would read as an option fails its upload without any
// program: neither the appliance's zfs nor the server's receive sees it.
TEST_F(Upload, NameZfsWouldMisreadStartsNothing)
{
    queue({"-r"});
    ASSERT_TRUE(engine->units().worker.waitIdle(20000));
    EXPECT_TRUE(fake->runs().isEmpty());
    EXPECT_TRUE(fake->transfers().isEmpty());
    EXPECT_EQ(records(), (QList<Record>{{kFail, 3}}));
}

// Two phases: the head task's rate never falls, the sizes are the sum of
// both estimates, and the finish shows 100 with currsize = totalsize.
TEST_F(Upload, ProgressRisesToHundred)
{
    Scene scene;
    scene.local = "tank/a@1\ntank/a@2\n";
    scene.size = 10 * 65536;
    for (int p : {0, 10, 25, 40, 50})
        scene.transfer.chunks << "\r[1.00MiB/s] [==>    ] " + QByteArray::number(p).rightJustified(3) + "%";
    play(scene);
    QList<int> rates;
    QJsonObject last;
    fake->onPoll([&] {
        last = head();
        rates << last.value("rate").toInt();
    });
    VxrTask task = VxrTask::upload("tank/a");
    task.index = engine->units().worker.queue().enqueue({task}).first();
    ASSERT_TRUE(engine->vxrUpload(task));
    last = head();
    ASSERT_GE(rates.size(), 10);
    for (int i = 1; i < rates.size(); ++i)
        ASSERT_GE(rates.at(i), rates.at(i - 1)) << "sample " << i;
    // The full phase reached 50% of the whole; the increments fill the rest.
    EXPECT_TRUE(rates.contains(50));
    EXPECT_TRUE(rates.contains(75));
    EXPECT_EQ(last.value("rate").toInt(), 100);
    EXPECT_EQ(last.value("totalsize").toVariant().toLongLong(), 2 * 10 * 65536);
    EXPECT_EQ(last.value("currsize").toVariant().toLongLong(), 2 * 10 * 65536);
    EXPECT_EQ(last.value("speed").toString(), QStringLiteral("0B/s"));
    EXPECT_EQ(records().last(), (Record{kSuccess, 9}));
}

// A cancel that arrives before a step is obeyed there: the steps after it
// start no program, and the cancel is recorded, also for a task that was
// cancelled before its first step.
TEST_F(Upload, CancelBeforeEachStepStartsNothingMore)
{
    const QStringList steps = {"local list", "server list", "full estimate", "incremental estimate"};
    for (int at = 0; at <= steps.size(); ++at) {
        SCOPED_TRACE(at == 0 ? QString("before the first step").toStdString() : steps.at(at - 1).toStdString());
        HX2Journals journal;
        engine->logClear(journal);
        QFile::remove(engine->units().settings.lastBackupPath());
        fake = std::make_shared<FakePrograms>();
        engine->setPrograms(fake);
        engine->units().worker.running().store(true);
        const int index = engine->units().worker.queue().enqueue({VxrTask::upload("tank/a")}).first();
        fake->afterRun([&, at] {
            if (fake->runs().size() == at)
                engine->units().worker.queue().cancel(index);
        });
        fake->onRun([](const VxrCommand& c) {
            if (c.program == "sshpass")
                return FakePrograms::ok();
            if (c.args.value(0) == "list")
                return FakePrograms::ok("tank/a@1\ntank/a@2\n");
            return FakePrograms::ok("size\t1000\n");
        });
        if (at == 0)
            engine->units().worker.queue().cancel(index);
        VxrTask task = VxrTask::upload("tank/a");
        task.index = index;
        EXPECT_FALSE(engine->vxrUpload(task));
        EXPECT_EQ(fake->runs().size(), at);
        EXPECT_TRUE(fake->transfers().isEmpty());
        EXPECT_EQ(records(), (QList<Record>{{VxrLog::kCancelUpload, 8}}));
        EXPECT_EQ(lastResult(), 8);
        engine->units().worker.queue().remove(index);
        engine->units().worker.running().store(false);
    }
}

// Tasks run one after the other in queue order; cancelling the running one
// kills its pipeline, cancelling a waiting one removes it before it runs.
TEST_F(Upload, CancelRunningAndWaiting)
{
    Scene scene;
    scene.local = "tank/a@1\ntank/a@2\n";
    scene.transfer.holdUntilKilled = true;
    play(scene);
    const QList<int> indexes = queue({"tank/a", "tank/b", "tank/c"});
    ASSERT_TRUE(waitFor([&] { return fake->running() == 1; }));

    HX2Journals journal;
    ASSERT_TRUE(engine->taskCancel(journal, indexes.at(1)));
    ASSERT_TRUE(engine->taskCancel(journal, indexes.at(0)));
    ASSERT_TRUE(waitFor([&] { return head().value("index").toInt() == indexes.at(2); }));
    EXPECT_EQ(records().value(0), (Record{VxrLog::kCancelUpload, 8}));
    EXPECT_EQ(lastResult(), 8);
    EXPECT_EQ(fake->killed(), 1);

    // The third task now runs; cancel it too.
    ASSERT_TRUE(waitFor([&] { return fake->running() == 1 && fake->transfers().size() == 2; }));
    EXPECT_EQ(head().value("dmpath").toString(), QStringLiteral("tank/c"));
    ASSERT_TRUE(engine->taskCancel(journal, indexes.at(2)));
    ASSERT_TRUE(engine->units().worker.waitIdle(20000));
    EXPECT_EQ(records().size(), 2);
    EXPECT_EQ(fake->killed(), 2);
    EXPECT_EQ(fake->running(), 0);
}

// The orderly quit: the running transfer ends (script exits 0 when it is
// killed with its tree), its outcome is recorded as a failure, and the
// waiting task is not started.
TEST_F(Upload, QuitEndsTransferAndWorker)
{
    Scene scene;
    scene.local = "tank/a@1\n";
    scene.transfer.holdUntilKilled = true;
    play(scene);
    queue({"tank/a", "tank/b"});
    ASSERT_TRUE(waitFor([&] { return fake->running() == 1; }));

    engine->quit(0);
    fake->killAll();
    ASSERT_TRUE(engine->units().worker.waitIdle(20000));
    EXPECT_EQ(fake->transfers().size(), 1);
    EXPECT_EQ(records(), (QList<Record>{{kFail, 3}}));
    EXPECT_EQ(listing().size(), 1);
}

// The on-demand pass of the root dataset: result codes, what it sends
// and its upload-log line.
TEST_F(Upload, OnDemandPass)
{
    struct Case {
        const char* name;
        QString local, remote;
        FakePrograms::Transfer transfer;
        QString password;
        bool account;
        QStringList sends;
        int code;
        QString logTail;
    };
    FakePrograms::Transfer fine;
    FakePrograms::Transfer failing = fine;
    failing.exitCode = 2;
    failing.marker = false;
    FakePrograms::Transfer unmarked = fine;
    unmarked.marker = false;
    FakePrograms::Transfer unstarted = fine;
    unstarted.starts = false;
    const Case cases[] = {
        {"nothing with the prefix", "vxr/data@manual\nvxr/other@vxr_1\n", "", fine, kPassword, true, {}, 1, " "},
        {"server holds the newest", "vxr/data@vxr_1\nvxr/data@vxr_2\n", "vxr/data@vxr_2\n", fine, kPassword, true, {},
         -1, "  failed(-1)"},
        {"server holds none", "vxr/data@vxr_1\nvxr/data@manual\nvxr/data@vxr_2\n", "tank/x@vxr_9\n", fine, kPassword,
         true, {"send vxr/data@vxr_1", "send -RI vxr/data@vxr_1 vxr/data@vxr_2"}, 0, "  success"},
        {"from the server's newest", "vxr/data@vxr_1\nvxr/data@vxr_2\nvxr/data@vxr_3\n",
         "vxr/data@vxr_1\nvxr/data@vxr_2\nvxr/data@keep\n", fine, kPassword, true,
         {"send -RI vxr/data@vxr_2 vxr/data@vxr_3"}, 0, "  success"},
        {"single snapshot, server none", "vxr/data@vxr_1\n", "", fine, kPassword, true, {"send vxr/data@vxr_1"}, 0,
         "  success"},
        {"failing sends", "vxr/data@vxr_1\nvxr/data@vxr_2\n", "", failing, kPassword, true,
         {"send vxr/data@vxr_1", "send -RI vxr/data@vxr_1 vxr/data@vxr_2"}, -22, "  failed(-22)"},
        {"failing full send only", "vxr/data@vxr_1\n", "", failing, kPassword, true, {"send vxr/data@vxr_1"}, -12,
         "  failed(-12)"},
        {"script exits 0 without the marker", "vxr/data@vxr_1\n", "", unmarked, kPassword, true,
         {"send vxr/data@vxr_1"}, -12, "  failed(-12)"},
        {"script does not start", "vxr/data@vxr_1\n", "", unstarted, kPassword, true, {"send vxr/data@vxr_1"}, -11,
         "  failed(-11)"},
        {"wrong password", "vxr/data@vxr_1\n", "", fine, "other", true, {}, -4, "  failed(-4)"},
        {"no account", "vxr/data@vxr_1\n", "", fine, kPassword, false, {}, -3, "  failed(-3)"},
    };
    const QString logPath = engine->units().config.uploadLogPath;
    ASSERT_TRUE(QDir().mkpath(QFileInfo(logPath).path()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QJsonObject settings{
            {"server", QJsonObject{{"host", "server"}, {"uid", "root"}, {"pwd", c.account ? kPassword : QString()}}}};
        ASSERT_TRUE(HX2File::saveJson(engine->units().settings.settingsPath(), settings, false));
        QFile::remove(logPath);
        fake = std::make_shared<FakePrograms>();
        engine->setPrograms(fake);
        play(Scene{c.local, c.remote, 0, c.password, 0, c.transfer});
        EXPECT_EQ(engine->upload(), c.code);
        EXPECT_EQ(fake->sends(), c.sends);
        const QByteArray log = HX2File::readAll(logPath);
        EXPECT_TRUE(log.endsWith(c.logTail.toUtf8() + "\n")) << log.constData();
        EXPECT_EQ(log.size(), 19 + c.logTail.size() + 1);
        EXPECT_EQ(engine->units().settings.lastUploadTime(), QString::fromUtf8(log.left(19)));
    }
}

} // namespace
