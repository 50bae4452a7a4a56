// Local pruning beside the snapshot cycle, through scripted programs: a
// listing that takes long holds up no snapshot, requests made meanwhile
// become one pass, and a pass stops at its budget or at the quit.
#include "fakeprograms.h"
#include "hx2file.h"
#include "hx2journals.h"
#include "phpaths.h"
#include "vxrclient.h"
#include "vxrengine.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

namespace {

class PruningPasses : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid());
        PHPaths::setRoot(m_root.path());
        fake = std::make_shared<FakePrograms>();
        fake->onRun([this](const VxrCommand& c) { return zfs(c.args); });
    }

    void TearDown() override
    {
        open();
        engine.reset();
        PHPaths::setRoot(QString());
    }

    // The engine keeping the newest snapshot of each dataset, no account.
    void start(const QStringList& datasets)
    {
        engine = std::make_unique<VxrClient>();
        engine->setPrograms(fake);
        engine->setClock([this] { return QDateTime(QDate(2026, 3, 7), QTime(12, 0)).addSecs(60 * m_minute); });
        HX2Journals journal;
        const QJsonObject retention{{"local", QJsonObject{{"last", 1}}}};
        ASSERT_TRUE(engine->loadConfigure(journal, QJsonObject{{"retention", retention}}));
        ASSERT_TRUE(HX2File::saveJson(engine->units().settings.settingsPath(),
                                      QJsonObject{{"dmpaths", QJsonArray::fromStringList(datasets)}}, false));
        engine->loadSettings(journal, nullptr);
    }

    HX2RunResult zfs(const QStringList& a)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (a.value(0) == "snapshot") {
            snapshots << a.value(1);
        } else if (a.contains("name,userrefs,clones")) {
            listed << a.last();
            m_changed.notify_all();
            m_changed.wait(lock, [this] { return !m_gate; });
            QByteArray out;
            for (const QString& s : snapshots.filter(a.last() + "@"))
                out += s.toUtf8() + "\t0\t-\n";
            return FakePrograms::ok(out);
        } else if (a.value(0) == "destroy") {
            destroyed << a.value(1);
            for (const QString& name : a.value(1).section('@', 1).split(','))
                snapshots.removeAll(a.value(1).section('@', 0, 0) + "@" + name);
        }
        return FakePrograms::ok();
    }

    // Listings wait while the gate is shut.
    void shut()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_gate = true;
    }
    void open()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_gate = false;
        m_changed.notify_all();
    }
    bool waitListed(int n)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return listed.size() >= n; });
    }
    template <typename F>
    QStringList locked(F f)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return f();
    }

    // One scheduled cycle, the way the scheduler starts it; returns once
    // its own thread is done.
    bool scheduledCycle()
    {
        ++m_minute;
        engine->units().cycle.start();
        for (int i = 0; i < 1000 && engine->units().cycle.running().load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return !engine->units().cycle.running().load();
    }

    QTemporaryDir m_root;
    std::shared_ptr<FakePrograms> fake;
    std::unique_ptr<VxrClient> engine;
    std::atomic<int> m_minute{0};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_gate = false;
    QStringList snapshots;
    QStringList listed;
    QStringList destroyed;
};

TEST_F(PruningPasses, LongListingHoldsUpNoSnapshotAndLaterRequestsBecomeOnePass)
{
    start({"tank/a"});
    shut();
    ASSERT_TRUE(scheduledCycle());
    ASSERT_TRUE(waitListed(1));
    // The pass hangs in its listing; two more cycles take their snapshots.
    ASSERT_TRUE(scheduledCycle());
    ASSERT_TRUE(scheduledCycle());
    EXPECT_EQ(locked([&] { return snapshots; }).size(), 3);
    EXPECT_EQ(locked([&] { return listed; }).size(), 1);
    open();
    engine->units().cycle.pruningPasses().waitIdle();
    // The two requests made meanwhile were one pass, which pruned.
    EXPECT_EQ(locked([&] { return listed; }), QStringList({"tank/a", "tank/a"}));
    EXPECT_EQ(locked([&] { return destroyed; }).size(), 1);
    EXPECT_EQ(locked([&] { return snapshots; }).size(), 1);
}

TEST_F(PruningPasses, PassStopsAtItsBudgetAndTheNextGoesOn)
{
    start({"tank/a", "tank/b", "tank/c"});
    engine->units().cycle.pruningPasses().setBudgetMs(0);
    // A budget spent after the first dataset: each whole cycle reaches the
    // next one.
    for (int i = 0; i < 4; ++i, ++m_minute)
        engine->backupRun();
    EXPECT_EQ(locked([&] { return listed; }), QStringList({"tank/a", "tank/b", "tank/c", "tank/a"}));

    // The quit starts no further dataset; the one in work finishes.
    engine->units().cycle.pruningPasses().setBudgetMs(VxrPruningPasses::kPassBudgetMs);
    shut();
    engine->units().cycle.pruningPasses().request({"tank/a", "tank/b"});
    ASSERT_TRUE(waitListed(5));
    engine->units().worker.quit();
    open();
    engine->units().cycle.pruningPasses().waitIdle();
    EXPECT_EQ(locked([&] { return listed; }).size(), 5);
}

} // namespace
