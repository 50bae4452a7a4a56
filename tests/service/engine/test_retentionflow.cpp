// Retention in the engine, through scripted programs: local pruning after
// the cycle, the base hold moved and the server pruned after an upload,
// and what a failure leaves as it was.
#include "fakeprograms.h"
#include "hx2file.h"
#include "hx2journals.h"
#include "phpaths.h"
#include "vxrclient.h"
#include "vxrengine.h"
#include "vxroplog.h"

#include "../../printqt.h"

#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

namespace {

// The appliance's and the server's snapshots of tank/a, as zfs would
// keep them. A successful transfer leaves the server with the appliance's
// list, as a replication stream received with -F does.
struct World
{
    std::mutex mutex;
    QStringList local;
    QSet<QString> localHeld;
    QStringList server;
    QSet<QString> serverHeld;
    // Origins of clones, and snapshots held after the listing: zfs refuses
    // to destroy either.
    QSet<QString> localCloned, localRacing, serverCloned, serverRacing;
    // Every destroy refuses the first snapshot it names.
    bool refuseFirst = false;
    int transferExit = 0;
    int moveExit = 0;
    bool destroyFails = false;
    QStringList serverCommands;

    static QByteArray holds(const QStringList& names, const QSet<QString>& held, const QSet<QString>& cloned)
    {
        QByteArray out;
        for (const QString& n : names)
            out += n.toUtf8() + (held.contains(n) ? "\t1\t" : "\t0\t") + (cloned.contains(n) ? "tank/c\n" : "-\n");
        return out;
    }

    // A list destroy: all of spec's snapshots go from names, or none when
    // zfs refuses any, with a line for each refused.
    QByteArray destroyFrom(QStringList& names, const QSet<QString>& refuse, const QString& spec)
    {
        QStringList doomed;
        for (const QString& p : spec.section('@', 1).split(','))
            doomed << spec.section('@', 0, 0) + "@" + p;
        QByteArray err;
        for (const QString& n : doomed) {
            if (refuse.contains(n) || (refuseFirst && n == doomed.first()))
                err += "cannot destroy snapshot " + n.toUtf8() + ": dataset is busy\n";
        }
        for (const QString& n : err.isEmpty() ? doomed : QStringList())
            names.removeAll(n);
        return err;
    }

    HX2RunResult zfs(const QStringList& a)
    {
        const QString verb = a.value(0);
        if (verb == "list")
            return FakePrograms::ok(a.contains("name,userrefs,clones") ? holds(local, localHeld, localCloned)
                                                                       : local.join('\n').toUtf8());
        if (verb == "send")
            return FakePrograms::ok("size\t4096\n");
        if ((verb == "hold" && localHeld.contains(a.value(2))) || (verb == "release" && !localHeld.remove(a.value(2))))
            return FakePrograms::exited(1, "tag already exists, or no such tag");
        if (verb == "destroy" && destroyFails)
            return FakePrograms::exited(1, "cannot destroy snapshot: dataset is busy");
        if (verb == "snapshot")
            local << a.value(1);
        else if (verb == "hold")
            localHeld << a.value(2);
        if (verb == "destroy") {
            const QByteArray err = destroyFrom(local, localHeld + localCloned + localRacing, a.value(1));
            if (!err.isEmpty())
                return FakePrograms::exited(1, err);
        }
        return FakePrograms::ok();
    }

    HX2RunResult ssh(const QString& text)
    {
        if (text.contains("-o name,userrefs,clones"))
            return FakePrograms::ok(holds(server, serverHeld, serverCloned));
        if (text.contains("-o name "))
            return FakePrograms::ok(server.join('\n').toUtf8());
        serverCommands << text;
        if (text.contains(" hold ")) {
            if (moveExit == 90)
                return FakePrograms::exited(90, "cannot hold snapshot: no such pool");
            serverHeld = {server.last()};
            if (moveExit == 91)
                return FakePrograms::exited(91, "cannot destroy snapshot: dataset is busy");
        }
        const QRegularExpressionMatch m = QRegularExpression("destroy '([^']*)'").match(text);
        const QByteArray err =
            m.hasMatch() ? destroyFrom(server, serverHeld + serverCloned + serverRacing, m.captured(1)) : QByteArray();
        return err.isEmpty() ? FakePrograms::ok() : FakePrograms::exited(91, err);
    }
};

class RetentionFlow : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid());
        PHPaths::setRoot(m_root.path() + "/files");
        fake = std::make_shared<FakePrograms>();
        fake->onRun([this](const VxrCommand& c) {
            std::lock_guard<std::mutex> lock(world.mutex);
            return c.program == "sshpass" ? world.ssh(c.args.last()) : world.zfs(c.args);
        });
        fake->onTransfer([this](const VxrCommand&) {
            std::lock_guard<std::mutex> lock(world.mutex);
            FakePrograms::Transfer t;
            t.exitCode = world.transferExit;
            t.marker = world.transferExit == 0;
            if (t.marker)
                world.server = world.local;
            return t;
        });
    }

    void TearDown() override { PHPaths::setRoot(QString()); }

    // The engine with this "retention" value and an account; its clock
    // stands at 12:00 plus m_minute minutes.
    void start(const QJsonObject& retention)
    {
        m_minute = 0;
        engine = std::make_unique<VxrClient>();
        engine->setPrograms(fake);
        engine->setClock([this] { return QDateTime(QDate(2026, 3, 7), QTime(12, 0)).addSecs(60 * m_minute); });
        HX2Journals journal;
        ASSERT_TRUE(engine->loadConfigure(journal, QJsonObject{{"retention", retention}}));
        const QJsonObject settings{
            {"server", QJsonObject{{"host", "server"}, {"uid", "root"}, {"pwd", "secret"}}},
            {"dmpaths", QJsonArray{"tank/a"}}};
        ASSERT_TRUE(HX2File::saveJson(engine->units().settings.settingsPath(), settings, false));
        engine->loadSettings(journal, nullptr);
    }

    void cycles(int n)
    {
        for (int i = 0; i < n; ++i, ++m_minute)
            engine->backupRun();
    }

    bool upload()
    {
        VxrTask task = VxrTask::upload("tank/a");
        task.index = engine->units().worker.queue().enqueue({task}).value(0);
        const bool ok = engine->vxrUpload(task);
        engine->units().worker.queue().remove(task.index);
        return ok;
    }

    // The messages written since the last call, oldest first.
    QStringList newRecords()
    {
        HX2Journals journal;
        QJsonArray all;
        EXPECT_TRUE(engine->logAlload(journal, all));
        engine->logClear(journal);
        QStringList out;
        for (const QJsonValue& v : all)
            out.prepend(v.toObject().value("message").toString());
        return out;
    }

    static QString snap(int minute) { return QStringLiteral("tank/a@vxr_2026030712%1").arg(minute, 2, 10, QChar('0')) + "00"; }

    QTemporaryDir m_root;
    std::atomic<int> m_minute{0};
    World world;
    std::shared_ptr<FakePrograms> fake;
    std::unique_ptr<VxrClient> engine;
};

TEST_F(RetentionFlow, BaseMovesWithUploadsAndSurvivesPruning)
{
    start(QJsonObject{{"local", QJsonObject{{"last", 2}}}, {"remote", QJsonObject{{"last", 1}}}});
    // Before any upload the server's newest is unknown: nothing goes.
    cycles(4);
    EXPECT_EQ(world.local.size(), 4);
    EXPECT_TRUE(newRecords().isEmpty());

    ASSERT_TRUE(upload());
    EXPECT_EQ(world.serverCommands.value(0),
              "/usr/sbin/zfs release vxr_base '" + snap(3) + "' 2>/dev/null; /usr/sbin/zfs hold vxr_base '" + snap(3)
                  + "' || exit 90; /usr/sbin/zfs destroy 'tank/a@vxr_20260307120000,vxr_20260307120100,"
                    "vxr_20260307120200' || exit 91; exit 0");
    EXPECT_EQ(world.localHeld, QSet<QString>({snap(3)}));
    EXPECT_EQ(engine->units().pruning.recordedBase("tank/a"), snap(3));
    EXPECT_EQ(newRecords(), QStringList({VxrLog::kUploadSuccess, QString(VxrLog::kServerSnapshotsPruned) + ": 3 tank/a"}));

    // What the server has not received yet stays; older ones go, not the base.
    cycles(3);
    EXPECT_EQ(world.local, QStringList({snap(3), snap(4), snap(5), snap(6)}));
    EXPECT_EQ(newRecords(), QStringList({QString(VxrLog::kSnapshotsPruned) + ": 3 tank/a"}));

    // The next upload moves both holds on and releases the old base.
    world.server = QStringList{snap(3)};
    ASSERT_TRUE(upload());
    EXPECT_TRUE(world.serverCommands.value(1).contains("/usr/sbin/zfs release vxr_base '" + snap(3) + "' 2>/dev/null;"));
    EXPECT_TRUE(world.serverCommands.value(1).contains(
        "destroy 'tank/a@vxr_20260307120400,vxr_20260307120500' || exit 91"));
    EXPECT_EQ(world.localHeld, QSet<QString>({snap(6)}));
    EXPECT_EQ(engine->units().pruning.recordedBase("tank/a"), snap(6));

    // The old base stays until the next upload finds it free on the server.
    cycles(1);
    EXPECT_EQ(world.local, QStringList({snap(3), snap(6), snap(7)}));
}

TEST_F(RetentionFlow, FailuresLeaveTheBaseWhereItWas)
{
    struct Case {
        const char* name;
        int transferExit, moveExit;
        bool destroyFails;
        bool uploads;
        bool baseMoves;
        QStringList records;
    };
    const QString serverFailed = QString(VxrLog::kServerPruningFailed) + ": ";
    const Case cases[] = {
        {"upload fails: nothing moved or pruned", 1, 0, false, false, false, {VxrLog::kUploadFail}},
        {"server hold fails", 0, 90, false, true, false,
         {VxrLog::kUploadSuccess, serverFailed + "cannot hold snapshot: no such pool"}},
        {"server destroy fails: the hold moved", 0, 91, false, true, true,
         {VxrLog::kUploadSuccess, serverFailed + "cannot destroy snapshot: dataset is busy",
          QString(VxrLog::kSnapshotsPruned) + ": 2 tank/a"}},
        {"local destroy fails", 0, 0, true, true, true,
         {VxrLog::kUploadSuccess, QString(VxrLog::kServerSnapshotsPruned) + ": 2 tank/a",
          QString(VxrLog::kPruningFailed) + ": cannot destroy snapshot: dataset is busy"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start(QJsonObject{{"local", QJsonObject{{"last", 1}}}, {"remote", QJsonObject{{"last", 1}}}});
        world.local = QStringList{snap(0), snap(1), snap(2)};
        world.server.clear();
        world.localHeld.clear();
        world.serverHeld.clear();
        world.serverCommands.clear();
        world.transferExit = c.transferExit;
        world.moveExit = c.moveExit;
        world.destroyFails = c.destroyFails;
        QFile::remove(engine->units().settings.lastBackupPath());

        EXPECT_EQ(upload(), c.uploads);
        engine->units().pruning.pruneLocal("tank/a");
        EXPECT_EQ(engine->units().pruning.recordedBase("tank/a"), c.baseMoves ? snap(2) : QString());
        EXPECT_EQ(world.localHeld.contains(snap(2)), c.baseMoves);
        EXPECT_EQ(world.serverCommands.size(), c.uploads ? 1 : 0);
        EXPECT_EQ(newRecords(), c.records);
        if (!c.baseMoves || c.destroyFails) {
            EXPECT_EQ(world.local.size(), 3);
        }
        QFile::remove(m_root.path() + "/files/kozu/etc/vxrclientisp/retention.json");
    }
}

// Clones stay out of the destroy, a snapshot zfs refuses is left out of
// another try, and a refusal that lasts is reported once a day.
TEST_F(RetentionFlow, RefusedSnapshotsDoNotStopPruning)
{
    start(QJsonObject{{"local", QJsonObject{{"last", 1}}}, {"remote", QJsonObject{{"last", 1}}}});
    world.local = QStringList{snap(0), snap(1), snap(2), snap(3), snap(4)};
    world.localCloned = world.serverCloned = {snap(1)};
    world.localRacing = world.serverRacing = {snap(2)};
    const QString busy = ": cannot destroy snapshot " + snap(2) + ": dataset is busy";
    ASSERT_TRUE(upload());
    EXPECT_TRUE(world.serverCommands.value(0).contains(
        "destroy 'tank/a@vxr_20260307120000,vxr_20260307120200,vxr_20260307120300' || exit 91"));
    EXPECT_EQ(world.serverCommands.value(1),
              "/usr/sbin/zfs destroy 'tank/a@vxr_20260307120000,vxr_20260307120300' || exit 91; exit 0");
    EXPECT_EQ(world.server, QStringList({snap(1), snap(2), snap(4)}));
    engine->units().pruning.pruneLocal("tank/a");
    EXPECT_EQ(world.local, QStringList({snap(1), snap(2), snap(4)}));
    EXPECT_EQ(newRecords(), QStringList({VxrLog::kUploadSuccess, QString(VxrLog::kServerSnapshotsPruned) + ": 2 tank/a",
                                         VxrLog::kServerPruningFailed + busy,
                                         QString(VxrLog::kSnapshotsPruned) + ": 2 tank/a", VxrLog::kPruningFailed + busy}));

    auto destroys = [this] {
        int n = 0;
        for (const VxrCommand& c : fake->runs())
            n += c.args.value(0) == "destroy" ? 1 : 0;
        return n;
    };
    // Refused again the same day: no record; the next day, one.
    const int before = destroys();
    engine->units().pruning.pruneLocal("tank/a");
    EXPECT_EQ(destroys(), before + 1);
    EXPECT_TRUE(newRecords().isEmpty());
    m_minute = 24 * 60;
    engine->units().pruning.pruneLocal("tank/a");
    engine->units().pruning.pruneLocal("tank/a");
    EXPECT_EQ(newRecords(), QStringList({VxrLog::kPruningFailed + busy}));

    // A refusal at every try: a few tries, then the next cycle.
    world.local = QStringList{snap(0), snap(1), snap(2), snap(3), snap(4)};
    world.localCloned.clear();
    world.localRacing.clear();
    world.refuseFirst = true;
    const int refusing = destroys();
    engine->units().pruning.pruneLocal("tank/a");
    EXPECT_EQ(destroys(), refusing + VxrPruning::kMaxDestroyTries);
    EXPECT_EQ(world.local.size(), 5);
}

// Stamps that disagree with the clock: one warning a day, and pruning by
// creation order.
TEST_F(RetentionFlow, ClockThatDisagreesIsReportedOnceADay)
{
    start(QJsonObject{{"local", QJsonObject{{"last", 1}}}});
    world.local = QStringList{snap(0), snap(1), snap(2)};
    ASSERT_TRUE(upload());
    newRecords();
    const QString ahead = "tank/a@vxr_20270307120000";
    world.local.prepend(ahead);
    engine->units().pruning.pruneLocal("tank/a");
    EXPECT_EQ(world.local, QStringList({snap(2)}));
    EXPECT_EQ(newRecords(), QStringList({QString(VxrLog::kClockDisagrees) + ": tank/a",
                                         QString(VxrLog::kSnapshotsPruned) + ": 3 tank/a"}));
    // The day's later passes are told in one record at the next day's first.
    for (int day = 0; day < 2; ++day) {
        world.local.prepend(ahead);
        engine->units().pruning.pruneLocal("tank/a");
        EXPECT_EQ(world.local, QStringList({snap(2)}));
    }
    EXPECT_TRUE(newRecords().isEmpty());
    world.local.prepend(ahead);
    m_minute = 24 * 60;
    engine->units().pruning.pruneLocal("tank/a");
    EXPECT_EQ(newRecords(), QStringList({QString(VxrLog::kClockDisagrees) + ": tank/a",
                                         QString(VxrLog::kSnapshotsPruned) + ": 2 tank/a later on 2026-03-07",
                                         QString(VxrLog::kSnapshotsPruned) + ": 1 tank/a"}));
}

// The pass finds the dataset claimed by the upload and leaves it alone.
TEST_F(RetentionFlow, NoPruningWhileTheDatasetIsSent)
{
    start(QJsonObject{{"local", QJsonObject{{"last", 1}}}});
    world.local = QStringList{snap(0), snap(1)};
    ASSERT_TRUE(upload());
    world.local << snap(2) << snap(3);
    int localDuring = -1;
    fake->onPoll([&] {
        engine->units().pruning.pruneLocal("tank/a");
        std::lock_guard<std::mutex> lock(world.mutex);
        localDuring = world.local.size();
    });
    world.server = QStringList{snap(1)};
    ASSERT_TRUE(upload());
    EXPECT_EQ(localDuring, 4);
    fake->onPoll(nullptr);
    // Afterwards: the new base, and the old one the server held.
    engine->units().pruning.pruneLocal("tank/a");
    EXPECT_EQ(world.local, QStringList({snap(1), snap(3)}));
}

} // namespace
