// The on-demand pass and the restore claim what they receive or send,
// through scripted programs: each waits for a holder in another process,
// keeps the datasets claimed while its stream runs, and the pass records
// the base it sent.
#include "fakeprograms.h"
#include "hx2file.h"
#include "hx2journals.h"
#include "phpaths.h"
#include "vxrclient.h"
#include "vxrengine.h"
#include "vxrondemand.h"

#include "../../printqt.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

const QString kOld = "tank/a@vxr_20260307120000";
const QString kNew = "tank/a@vxr_20260307120100";

class ClaimedFlows : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid());
        PHPaths::setRoot(m_root.path());
        other = std::make_unique<VxrDatasetClaims>();
        fake = std::make_shared<FakePrograms>();
        fake->onRun([this](const VxrCommand& c) { return answer(c); });
        fake->onTransfer([this](const VxrCommand&) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_server = QStringList{kOld, kNew};
            return FakePrograms::Transfer{};
        });
        // What another process could claim while the stream runs.
        fake->onPoll([this] {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (const QString& ds : m_watched) {
                if (!other->tryClaim(ds))
                    m_claimedDuring << ds;
                else
                    other->release(ds);
            }
        });
        engine = std::make_unique<VxrClient>();
        engine->setPrograms(fake);
        HX2Journals journal;
        const QJsonObject config{{"vg", "tank"}, {"lv", "a"}, {"retention", QJsonObject{{"local", QJsonObject{{"last", 1}}}}}};
        ASSERT_TRUE(engine->loadConfigure(journal, config));
        const QJsonObject settings{{"server", QJsonObject{{"host", "server"}, {"uid", "root"}, {"pwd", "secret"}}},
                                   {"dmpaths", QJsonArray{"tank/a", "tank/a/c", "tank/b"}}};
        ASSERT_TRUE(HX2File::saveJson(engine->units().settings.settingsPath(), settings, false));
        engine->loadSettings(journal, nullptr);
    }

    void TearDown() override
    {
        engine.reset();
        PHPaths::setRoot(QString());
    }

    HX2RunResult answer(const VxrCommand& c)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_ran;
        const QStringList& a = c.args;
        if (c.program == "sshpass") {
            const QString remote = a.last();
            if (remote.contains("-o name,userrefs"))
                return FakePrograms::ok((m_server.join("\t0\n") + "\t0\n").toUtf8());
            if (remote.contains("list -t snapshot -H -o name"))
                return FakePrograms::ok(m_server.join('\n').toUtf8());
            if (remote.contains("send -RPnv"))
                return FakePrograms::ok("size\t1000\n");
            return FakePrograms::ok();
        }
        if (a == QStringList{"list", "-H", "-o", "name", "-t", "snapshot"})
            return FakePrograms::ok((kOld + "\n" + kNew + "\n").toUtf8());
        if (a == QStringList{"list", "-H", "-o", "name"})
            return FakePrograms::ok("tank\n");
        if (a.value(0) == "get" && a.contains("-r"))
            return FakePrograms::ok(("tank/r\t/tank/r\treceived\n"));
        if (a.value(0) == "get" && !a.contains("vxr:restore") && !a.contains("written"))
            return FakePrograms::ok("/tank\n");
        return FakePrograms::ok();
    }

    int ran()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ran;
    }

    // Runs flow while held is claimed by another process, which lets go
    // once flow has had time to start programs; true when flow waited for
    // it and then ran to its end with result.
    template <typename Flow>
    bool waitsFor(const QString& held, Flow flow, bool result)
    {
        EXPECT_TRUE(other->tryClaim(held));
        std::atomic<bool> done{false};
        bool returned = !result;
        std::thread t([&] {
            returned = flow();
            done = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        const bool waited = ran() == 0 && !done.load();
        other->release(held);
        t.join();
        return waited && returned == result;
    }

    QTemporaryDir m_root;
    std::unique_ptr<VxrDatasetClaims> other;
    std::shared_ptr<FakePrograms> fake;
    std::unique_ptr<VxrClient> engine;
    std::mutex m_mutex;
    QStringList m_server;
    QStringList m_watched{"tank/a", "tank/a/c", "tank/b"};
    QStringList m_claimedDuring;
    int m_ran = 0;
};

TEST_F(ClaimedFlows, OnDemandPassWaitsClaimsTheRootAndBelowAndRecordsTheBase)
{
    EXPECT_EQ(engine->units().onDemand.claimedDatasets(), QStringList({"tank/a", "tank/a/c"}));
    EXPECT_TRUE(waitsFor("tank/a/c", [&] { return engine->upload() == VxrOnDemand::Sent; }, true));
    m_claimedDuring.removeDuplicates();
    EXPECT_EQ(m_claimedDuring, QStringList({"tank/a", "tank/a/c"}));
    EXPECT_EQ(engine->units().pruning.recordedBase("tank/a"), kNew);
    // The server holds no tank/a/c@ snapshot of that name: no base for it.
    EXPECT_EQ(engine->units().pruning.recordedBase("tank/a/c"), QString());
    EXPECT_TRUE(other->tryClaim("tank/a"));
    other->release("tank/a");

    // A quit while the pass waits: nothing listed, the failure logged.
    m_ran = 0;
    ASSERT_TRUE(other->tryClaim("tank/a"));
    engine->units().worker.quit();
    EXPECT_EQ(engine->upload(), VxrOnDemand::ListFailed);
    EXPECT_EQ(ran(), 0);
}

TEST_F(ClaimedFlows, RestoreWaitsAndClaimsWhatItReceivesInto)
{
    VxrTask task = VxrTask::restore("tank/a", VxrSsh::Account{"server", 22, "root", "secret"});
    task.target = "tank/r";
    task.index = engine->units().worker.queue().enqueue({task}).value(0);
    m_server = QStringList{kOld, kNew};
    m_watched = QStringList{"tank/r", "tank/a"};
    EXPECT_TRUE(waitsFor("tank/r", [&] { return engine->vxrRestore(task); }, true));
    m_claimedDuring.removeDuplicates();
    EXPECT_EQ(m_claimedDuring, QStringList({"tank/r"}));
    EXPECT_TRUE(other->tryClaim("tank/r"));
}

} // namespace
