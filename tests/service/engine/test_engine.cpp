// Engine operations driven through scripted programs: what they run, with
// which arguments and environment, and what they make of the answers.
#include "fakeprograms.h"
#include "phpaths.h"
#include "vxrclient.h"
#include "vxrengine.h"
#include "vxroplog.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>

namespace {

// zfs and the server as the cases below expect them.
HX2RunResult answer(const VxrCommand& c, bool serverRefuses, const QByteArray& serverOut = QByteArray())
{
    const QStringList& a = c.args;
    if (c.program == "sshpass") {
        if (serverRefuses)
            return FakePrograms::exited(5, "Permission denied, please try again.");
        if (!serverOut.isEmpty())
            return FakePrograms::ok(serverOut);
        return FakePrograms::ok("pool/a@vxr_20240102030405\t1.5G\t2M\npool/b@s1 10K 20K\nshort\n");
    }
    if (a.value(0) == "snapshot") {
        if (a.value(1).startsWith("missing@"))
            return FakePrograms::exited(1, "cannot open 'missing': dataset does not exist\n");
        return FakePrograms::ok();
    }
    if (a.contains("name,used,reservation")) {
        if (a.last() == "vxr/data")
            return FakePrograms::ok("vxr/data\t1234\t5678\n");
        return FakePrograms::exited(1, "cannot open: dataset does not exist");
    }
    if (a == QStringList{"list", "-H", "-o", "name", "-t", "snapshot"})
        return FakePrograms::ok("p/a@vxr_20240102030405\np/a@s2\n");
    return FakePrograms::exited(2);
}

QString json(const QJsonArray& a) { return QString::fromUtf8(QJsonDocument(a).toJson(QJsonDocument::Compact)); }
QJsonArray arr(const char* text) { return QJsonDocument::fromJson(QByteArray(text)).array(); }

class EngineOps : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid());
        PHPaths::setRoot(m_root.path());
        ASSERT_TRUE(QDir().mkpath(m_root.path() + "/kozu/etc/vxrclientisp"));
        fake = std::make_shared<FakePrograms>();
        fake->onRun([this](const VxrCommand& c) { return answer(c, serverRefuses, serverOut); });
    }

    void TearDown() override { PHPaths::setRoot(QString()); }

    // Writes the settings file and loads it into the engine.
    void settle(VxrClient& engine, const QJsonObject& settings)
    {
        engine.setPrograms(fake);
        QFile f(engine.units().settings.settingsPath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QJsonDocument(settings).toJson());
        f.close();
        HX2Journals journal;
        engine.loadSettings(journal, nullptr);
        ASSERT_EQ(journal.err(), 9999);
    }

    static QJsonObject account(const QString& host, int port, const QString& uid, const QString& pwd)
    {
        return QJsonObject{{"server", QJsonObject{{"host", host}, {"port", port}, {"uid", uid}, {"pwd", pwd}}}};
    }

    QTemporaryDir m_root;
    std::shared_ptr<FakePrograms> fake;
    bool serverRefuses = false;
    // What the server prints instead of its usual listing, when not empty.
    QByteArray serverOut;
};

TEST_F(EngineOps, TaskListingAndCancel)
{
    struct Case { const char* name; int index; bool ok; int err; QString errmsg; const char* after; };
    const Case cases[] = {
        {"running task", 1, true, 9999, "", R"([{"index":1,"action":2,"dmpath":"p/a","step":1,"rate":0,"removed":1},)"
                                            R"({"index":2,"action":2,"dmpath":"p/b","step":0,"rate":0},)"
                                            R"({"index":3,"action":3,"dmpath":"p/c","step":0,"rate":0,"server":"h","port":22,"userid":"u"}])"},
        {"queued task", 2, true, 9999, "", R"([{"index":1,"action":2,"dmpath":"p/a","step":1,"rate":0},)"
                                           R"({"index":3,"action":3,"dmpath":"p/c","step":0,"rate":0,"server":"h","port":22,"userid":"u"}])"},
        {"unknown index", 99, false, 9994, QStringLiteral("index 不存在"),
         R"([{"index":1,"action":2,"dmpath":"p/a","step":1,"rate":0},{"index":2,"action":2,"dmpath":"p/b","step":0,"rate":0},)"
         R"({"index":3,"action":3,"dmpath":"p/c","step":0,"rate":0,"server":"h","port":22,"userid":"u"}])"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VxrClient engine;
        engine.units().worker.queue().enqueue(
            {VxrTask::upload("p/a"), VxrTask::upload("p/b"), VxrTask::restore("p/c", VxrSsh::Account{"h", 22, "u", "p"})});
        std::atomic<bool> working{true};
        const std::atomic<bool> stop{false};
        // The worker's pick marks the head started; the password is never listed.
        VxrTask head;
        ASSERT_TRUE(engine.units().worker.queue().startHeadOrIdle(&head, working, stop));
        EXPECT_EQ(head.index, 1);
        HX2Journals journal;
        EXPECT_EQ(engine.taskCancel(journal, c.index), c.ok);
        EXPECT_EQ(journal.err(), c.err);
        EXPECT_EQ(journal.errmsg(), c.errmsg);
        QJsonArray listed{QJsonObject{{"stale", 1}}};
        EXPECT_TRUE(engine.taskAlload(journal, listed));
        EXPECT_EQ(json(listed), json(arr(c.after)));
    }
    VxrClient empty;
    HX2Journals journal;
    QJsonArray listed{1, 2};
    EXPECT_TRUE(empty.taskAlload(journal, listed));
    EXPECT_TRUE(listed.isEmpty());
}

TEST_F(EngineOps, OperationLogListsNewestFirstSurvivesRestartAndClears)
{
    {
        VxrClient engine;
        engine.units().log.write(VxrLog::kError, QString(VxrLog::kBackupFailed) + ": oops", VxrLog::kActionSnapshot, VxrLog::kStateFailed);
        engine.units().log.write(VxrLog::kInformation, VxrLog::kUploadSuccess, VxrLog::kActionUpload, VxrLog::kStateSucceeded);
        // Another application's record in the same log.
        TJKozulog().write("Information", "other", QJsonObject{{"action", 7}}, "OTHER-APP", "admin", "", "");
    }
    VxrClient engine; // a restarted service
    HX2Journals journal;
    QJsonArray records{QJsonObject{{"kept", true}}};
    ASSERT_TRUE(engine.logAlload(journal, records));
    EXPECT_EQ(journal.err(), 9999);
    ASSERT_EQ(records.size(), 3);
    EXPECT_TRUE(records.at(0).toObject().value("kept").toBool());
    struct Want { const char* level; QString message; int action; int state; };
    const Want want[] = {
        {"Information", VxrLog::kUploadSuccess, 2, 9},
        {"Error", QString(VxrLog::kBackupFailed) + ": oops", 1, 3},
    };
    for (int i = 0; i < 2; ++i) {
        const QJsonObject r = records.at(i + 1).toObject();
        EXPECT_EQ(r.value("level").toString(), want[i].level);
        EXPECT_EQ(r.value("message").toString(), want[i].message);
        EXPECT_EQ(r.value("action").toInt(), want[i].action);
        EXPECT_EQ(r.value("state").toInt(), want[i].state);
        EXPECT_EQ(r.value("app").toString(), "VXRCLIENT-ISP");
        EXPECT_EQ(r.value("user").toString(), "SYSTEM");
        EXPECT_FALSE(r.contains("sparefield1") || r.contains("sparefield2") || r.contains("sparefield3"));
    }

    EXPECT_TRUE(engine.logClear(journal));
    QJsonArray after;
    ASSERT_TRUE(engine.logAlload(journal, after));
    EXPECT_TRUE(after.isEmpty());
    QJsonArray other;
    ASSERT_TRUE(TJKozulog().loadByApp(other, "OTHER-APP"));
    EXPECT_EQ(other.size(), 1);
    EXPECT_EQ(journal.err(), 9999);
}

TEST_F(EngineOps, RemoteListingNeedsAUsableAccount)
{
    struct Case { const char* name; QJsonObject settings; const char* errmsg; };
    const char* missing = "缺少账号设置";
    // ssh would read these as options or split them: refused before any
    // program starts.
    const char* unusable = "账号设置无效";
    const Case cases[] = {
        {"no server", QJsonObject(), missing},
        {"no host", account("", 22, "backup", "secret"), missing},
        {"blank host", account("   ", 22, "backup", "secret"), missing},
        {"no user", account("server", 22, "", "secret"), missing},
        {"no password", account("server", 22, "backup", ""), missing},
        {"user like an option", account("server", 22, "-oProxyCommand=touch /tmp/x", "secret"), unusable},
        {"host like an option", account("-oProxyCommand=x", 22, "backup", "secret"), unusable},
        {"host with a blank", account("ser ver", 22, "backup", "secret"), unusable},
        {"host with a user of its own", account("evil@10.0.0.9", 22, "root", "secret"), unusable},
        {"user with a control character", account("server", 22, "back\u0001up", "secret"), unusable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VxrClient engine;
        settle(engine, c.settings);
        HX2Journals journal;
        QJsonArray records;
        EXPECT_FALSE(engine.remoteAllSnapshots(journal, records));
        EXPECT_EQ(journal.err(), 9994);
        EXPECT_EQ(journal.errmsg(), QString::fromUtf8(c.errmsg));
        HX2Journals other;
        EXPECT_FALSE(engine.remoteSnapshots(other, records, "pool/a"));
        EXPECT_EQ(other.err(), 9994);
        EXPECT_TRUE(records.isEmpty());
        EXPECT_TRUE(fake->runs().isEmpty());
    }
}

TEST_F(EngineOps, RemoteListingHandsThePasswordOnlyThroughTheEnvironment)
{
    struct Case { int port; QString portArg; };
    const Case cases[] = {{2222, "2222"}, {70000, "22"}, {0, "22"}, {65535, "65535"}};
    const QString password = "pa ss'word$(x)";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        VxrClient engine;
        settle(engine, account("server.example", c.port, "backup", password));
        HX2Journals journal;
        QJsonArray records;
        ASSERT_TRUE(engine.remoteSnapshots(journal, records, "ignored/dataset"));
        EXPECT_EQ(journal.err(), 9999);
        EXPECT_EQ(json(records), json(arr(R"([{"name":"pool/a@vxr_20240102030405","used":1610612736,"refer":2097152},)"
                                          R"({"name":"pool/b@s1","used":10240,"refer":20480}])")));
        const VxrCommand run = fake->runs().last();
        const QStringList expected{"-e", "ssh", "-p", c.portArg, "-o", "StrictHostKeyChecking no",
                                   "-o", "ServerAliveInterval=15", "-o", "ServerAliveCountMax=4", "--",
                                   "backup@server.example", "/usr/sbin/zfs list -H -o name,used,refer -t snapshot "};
        EXPECT_EQ(run.program, "sshpass");
        EXPECT_EQ(run.args, expected);
        EXPECT_FALSE(VxrPrograms::shellText(run).contains("word"));
        EXPECT_EQ(run.options.env.value("SSHPASS"), password);
    }
}

TEST_F(EngineOps, RemoteListingWithANameZfsWouldNotMakeIsRefused)
{
    const QByteArray bad[] = {"`reboot`@s1\t1\t1\n", "pool/a;x@s1\t1\t1\n", "-R@s1\t1\t1\n",
                              "pool/a\xff@s1\t1\t1\n", "pool/" + QByteArray(300, 'x') + "@s1\t1\t1\n",
                              "pool/a\t1\t1\n"};
    for (const QByteArray& b : bad) {
        SCOPED_TRACE(b.left(40).constData());
        serverOut = "pool/ok@s1\t1\t1\n" + b;
        VxrClient engine;
        settle(engine, account("server", 22, "backup", "pw"));
        HX2Journals journal;
        QJsonArray records{QJsonObject{{"name", "kept"}}};
        EXPECT_FALSE(engine.remoteSnapshots(journal, records, QString()));
        EXPECT_EQ(journal.err(), 9886);
        EXPECT_EQ(json(records), json(arr(R"([{"name":"kept"}])")));
    }
}

TEST_F(EngineOps, FailedRemoteListingLeavesJournalAndRecords)
{
    serverRefuses = true;
    VxrClient engine;
    settle(engine, account("server", 22, "backup", "wrong"));
    HX2Journals journal;
    journal.setErr(1234, "earlier");
    QJsonArray records{QJsonObject{{"name", "kept"}}};
    EXPECT_FALSE(engine.remoteAllSnapshots(journal, records));
    EXPECT_EQ(journal.err(), 1234);
    EXPECT_EQ(journal.errmsg(), "earlier");
    EXPECT_EQ(records.size(), 1);
    EXPECT_EQ(fake->runs().size(), 1);
    QJsonArray log;
    ASSERT_TRUE(engine.logAlload(journal, log));
    EXPECT_TRUE(log.isEmpty());
}

TEST_F(EngineOps, SnapshotCycleRecordsTheFailureAndGoesOn)
{
    struct Case { const char* name; QStringList dmpaths; QString calls; int records; };
    const Case cases[] = {
        {"first missing", {"missing", "p/b"},
         "snapshot|missing@vxr_20260307140509|\nsnapshot|p/b@vxr_20260307140509|\n", 1},
        {"all there", {"p/a", "p/b c"}, "snapshot|p/a@vxr_20260307140509|\nsnapshot|p/b c@vxr_20260307140509|\n", 0},
        {"nothing configured", {}, "", 0},
        // Saved names zfs would read as options or nothing: never handed to it.
        {"names zfs would misread", {"-r", "", "p/a"}, "snapshot|p/a@vxr_20260307140509|\n", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake = std::make_shared<FakePrograms>();
        fake->onRun([](const VxrCommand& c) { return answer(c, false); });
        VxrClient engine;
        HX2Journals journal;
        engine.logClear(journal);
        settle(engine, QJsonObject{{"dmpaths", QJsonArray::fromStringList(c.dmpaths)}});
        engine.setClock([] { return QDateTime(QDate(2026, 3, 7), QTime(14, 5, 9)); });
        engine.units().cycle.running().store(true);
        engine.backupRun();
        EXPECT_FALSE(engine.units().cycle.running().load());
        QString calls;
        for (const VxrCommand& run : fake->runs())
            calls += run.args.join('|') + "|\n";
        EXPECT_EQ(calls, c.calls);
        QJsonArray log;
        ASSERT_TRUE(engine.logAlload(journal, log));
        ASSERT_EQ(log.size(), c.records);
        for (const QJsonValue& v : log)
            EXPECT_TRUE(v.toObject().value("message").toString().startsWith("##$@vxr@$##Backup failed##$@vxr@$##: "));
        if (c.records == 1) {
            const QJsonObject r = log.at(0).toObject();
            EXPECT_EQ(r.value("level").toString(), "Error");
            EXPECT_EQ(r.value("message").toString(), "##$@vxr@$##Backup failed##$@vxr@$##: "
                                                     "cannot open 'missing': dataset does not exist\n");
            EXPECT_EQ(r.value("action").toInt(), 1);
            EXPECT_EQ(r.value("state").toInt(), 3);
        }
    }
}

TEST_F(EngineOps, SnapshotNameThatExistsAfterTheClockWentBack)
{
    // The clock reads 14:05:09; the dataset already holds these names.
    struct Case { const char* name; QStringList existing; QString retried; };
    const Case cases[] = {
        {"repeated hour", {"p/a@vxr_20260307140509", "p/a@vxr_20260307145500", "p/a@manual"},
         "p/a@vxr_20260307145501"},
        {"latest ends a day", {"p/a@vxr_20260307140509", "p/a@vxr_20260307235959"}, "p/a@vxr_20260308000000"},
        {"two attempts within one second", {"p/a@vxr_20260307140509", "p/a@vxr_20260307140000"}, ""},
        // Only the dataset's own names count: a child's and a foreign stamp do not.
        {"later names elsewhere", {"p/a@vxr_20260307140509", "p/a/b@vxr_20260307150000", "p/ab@vxr_20260307150000",
                                   "p/a@vxr_2026030715000x"}, ""},
        {"last stamp of all", {"p/a@vxr_20260307140509", "p/a@vxr_99991231235959"}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake = std::make_shared<FakePrograms>();
        fake->onRun([&c](const VxrCommand& run) {
            if (run.args.value(0) == "snapshot")
                return c.existing.contains(run.args.value(1))
                           ? FakePrograms::exited(1, "cannot create snapshot: dataset already exists\n")
                           : FakePrograms::ok();
            return FakePrograms::ok(c.existing.join('\n').toUtf8());
        });
        VxrClient engine;
        engine.setPrograms(fake);
        engine.setClock([] { return QDateTime(QDate(2026, 3, 7), QTime(14, 5, 9)); });
        HX2Journals journal;
        engine.logClear(journal);
        engine.vxrSnap("p/a");
        QStringList snapshots;
        for (const VxrCommand& run : fake->runs())
            if (run.args.value(0) == "snapshot")
                snapshots << run.args.value(1);
        EXPECT_EQ(snapshots, QStringList({"p/a@vxr_20260307140509"}) + (c.retried.isEmpty() ? QStringList() : QStringList{c.retried}));
        QJsonArray log;
        ASSERT_TRUE(engine.logAlload(journal, log));
        EXPECT_EQ(log.size(), c.retried.isEmpty() ? 1 : 0);
    }
}

TEST_F(EngineOps, SnapshotThatCannotStartLeavesAnEmptyErrorText)
{
    // zfs cannot be started at all.
    fake->onRun([](const VxrCommand&) { return FakePrograms::notStarted(); });
    VxrClient engine;
    engine.setPrograms(fake);
    engine.vxrSnap("p/a");
    HX2Journals journal;
    QJsonArray log;
    ASSERT_TRUE(engine.logAlload(journal, log));
    ASSERT_EQ(log.size(), 1);
    EXPECT_EQ(log.at(0).toObject().value("message").toString(), "##$@vxr@$##Backup failed##$@vxr@$##: ");
}

TEST_F(EngineOps, EndingTheEngineEndsItsScheduler)
{
    const auto threads = [] { return QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(); };
    QElapsedTimer timer;
    int running = 0;
    {
        VxrClient engine;
        engine.setPrograms(fake);
        engine.units().scheduler.start();
        engine.units().scheduler.start();
        running = threads();
        timer.start();
    }
    // Within its pause, and no thread is left to touch the engine's memory.
    EXPECT_LT(timer.elapsed(), 2000);
    EXPECT_EQ(threads(), running - 1);
}

TEST_F(EngineOps, InventoryQueries)
{
    VxrClient engine;
    engine.setPrograms(fake);
    HX2Journals journal;
    engine.loadConfigure(journal, QJsonObject());
    EXPECT_EQ(QString::fromUtf8(QJsonDocument(engine.zfsInfo()).toJson(QJsonDocument::Compact)),
              R"({"all":5678,"used":1234})");
    EXPECT_EQ(engine.snapshots(), QStringList({"p/a@vxr_20240102030405", "p/a@s2"}));

    VxrClient other;
    other.setPrograms(fake);
    other.loadConfigure(journal, QJsonObject{{"vg", "nope"}, {"lv", "x"}});
    EXPECT_TRUE(other.zfsInfo().isEmpty());

    // No datasets: nothing runs and the totals stay as they were.
    const int ran = fake->runs().size();
    qint64 used = 7;
    qint64 refer = 8;
    EXPECT_FALSE(engine.allUsed(used, refer));
    EXPECT_EQ(used, 7);
    EXPECT_EQ(refer, 8);
    EXPECT_EQ(fake->runs().size(), ran);

    // The totals over the datasets, by absolute path; one failure fails all.
    fake->onRun([](const VxrCommand& c) {
        if (c.program != "/usr/sbin/zfs" || c.args.mid(0, 4) != QStringList{"list", "-H", "-o", "used,refer"})
            return FakePrograms::exited(2);
        return c.args.contains("p/gone") ? FakePrograms::exited(1) : FakePrograms::ok("1.5K\t1K\n2M\t512\n");
    });
    settle(engine, QJsonObject{{"dmpaths", QJsonArray{"p/a", "p/b"}}});
    EXPECT_TRUE(engine.allUsed(used, refer));
    EXPECT_EQ(used, 1536 + 2097152);
    EXPECT_EQ(refer, 1024 + 512);
    settle(engine, QJsonObject{{"dmpaths", QJsonArray{"p/a", "p/gone"}}});
    EXPECT_FALSE(engine.allUsed(used, refer));
    EXPECT_EQ(used, 0);
    EXPECT_EQ(refer, 0);
}

} // namespace
