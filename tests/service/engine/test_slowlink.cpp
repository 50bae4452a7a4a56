// The transfers over a slow link, driven through scripted programs: the
// compressor asked of each server once, the fallback to a plain stream
// with its reason, and the meter's rate following the windows of the
// limit on the engine's clock (no waits: the clock moves with each poll).
#include "fakeprograms.h"
#include "hx2file.h"
#include "hx2journals.h"
#include "phpaths.h"
#include "vxrclient.h"
#include "vxrengine.h"
#include "vxrpipeline.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>

namespace {

const VxrSsh::Account kAccount{"server", 2222, "root", "pw"};

// What the appliance and the server answer, for the three transfers.
HX2RunResult answer(const VxrCommand& c, const HX2RunResult& probe)
{
    if (c.program == "sshpass") {
        const QString remote = c.args.last();
        if (remote.contains("vxr-codec-"))
            return probe;
        if (remote == "/usr/sbin/zfs list -t snapshot -H -o name")
            return FakePrograms::ok("vxr/data@vxr_1\n");
        if (remote.startsWith("/usr/sbin/zfs list -t snapshot"))
            return FakePrograms::ok(remote.contains("tank/a") ? "tank/a@1\n" : "tank/r@1\n");
        return FakePrograms::ok("size\t1000\n");
    }
    if (c.program == "pv")
        return FakePrograms::ok();
    if (c.args.mid(0, 3) == QStringList{"list", "-t", "snapshot"})
        return FakePrograms::ok("tank/a@1\ntank/a@2\n");
    if (c.args == QStringList{"list", "-H", "-o", "name", "-t", "snapshot"})
        return FakePrograms::ok("vxr/data@vxr_1\nvxr/data@vxr_2\n");
    if (c.args == QStringList{"list", "-H", "-o", "name"})
        return FakePrograms::ok("tank\n");
    if (c.args.value(0) == "get")
        return FakePrograms::ok(c.args.contains("-r") ? "tank/r\t/tank/r\treceived\n" : "/tank\n");
    return FakePrograms::ok("size\t1000\n");
}

class SlowLink : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid());
        PHPaths::setRoot(m_root.path());
    }

    void TearDown() override
    {
        if (engine) {
            fake->killAll();
            EXPECT_TRUE(engine->quit(20000));
        }
        PHPaths::setRoot(QString());
    }

    void startEngine(const QJsonObject& config, const HX2RunResult& probe, const FakePrograms::Transfer& transfer)
    {
        engine = std::make_unique<VxrClient>();
        fake = std::make_shared<FakePrograms>();
        engine->setPrograms(fake);
        HX2Journals journal;
        ASSERT_TRUE(engine->loadConfigure(journal, config));
        const QJsonObject settings{
            {"active", 0},
            {"server", QJsonObject{{"host", kAccount.host}, {"port", kAccount.port}, {"uid", kAccount.user},
                                   {"pwd", kAccount.password}}},
            {"dmpaths", QJsonArray{"tank/a"}}};
        ASSERT_TRUE(HX2File::saveJson(engine->units().settings.settingsPath(), settings, false));
        engine->loadSettings(journal, nullptr);
        fake->onRun([probe](const VxrCommand& c) { return answer(c, probe); });
        fake->onTransfer([transfer](const VxrCommand&) { return transfer; });
    }

    enum Flow { Upload, Restore, OnDemand };

    // Runs one transfer of the flow to its end; its outcome.
    bool runFlow(Flow flow)
    {
        if (flow == OnDemand)
            return engine->upload() == 0;
        VxrTask task = flow == Upload ? VxrTask::upload("tank/a") : VxrTask::restore("tank/r", kAccount);
        task.index = engine->units().worker.queue().enqueue({task}).first();
        const bool ok = flow == Upload ? engine->vxrUpload(task) : engine->vxrRestore(task);
        engine->units().worker.queue().remove(task.index);
        return ok;
    }

    int probes() const
    {
        int n = 0;
        for (const VxrCommand& c : fake->runs())
            n += c.args.last().contains("vxr-codec-") ? 1 : 0;
        return n;
    }

    QTemporaryDir m_root;
    std::shared_ptr<FakePrograms> fake;
    std::unique_ptr<VxrClient> engine;
};

// The server's answer decides, and is kept for the next transfer with the
// same server; an answer that could not be had is asked again. Without the
// program on either side the stream goes plain and the trace says why.
TEST_F(SlowLink, CompressorAskedOncePerServer)
{
    struct Case {
        const char* name;
        HX2RunResult probe;
        bool applianceHasIt;
        bool compressed;
        int probes;
        const char* trace;
    };
    const Case cases[] = {
        {"server runs it", FakePrograms::ok("vxr-codec-present\n"), true, true, 1, nullptr},
        {"server lacks it", FakePrograms::ok("vxr-codec-absent\n"), true, false, 1,
         "uncompressed = zstd cannot be run on root@server:2222: the stream goes uncompressed"},
        {"server not reached", FakePrograms::exited(255, "Connection refused"), true, false, 2,
         "could not ask root@server:2222 for zstd"},
        {"appliance lacks it", FakePrograms::ok("vxr-codec-present\n"), false, false, 0,
         "zstd is not installed on the appliance"},
    };
    const QByteArray path = qgetenv("PATH");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startEngine(QJsonObject{{"compress", "zstd"}}, c.probe, FakePrograms::Transfer{});
        if (!c.applianceHasIt)
            qputenv("PATH", m_root.path().toUtf8());
        testing::internal::CaptureStdout();
        EXPECT_TRUE(runFlow(Upload));
        EXPECT_TRUE(runFlow(Restore));
        const std::string out = testing::internal::GetCapturedStdout();
        qputenv("PATH", path);
        EXPECT_EQ(probes(), c.probes);
        ASSERT_EQ(fake->transfers().size(), 2);
        for (const VxrCommand& t : fake->transfers())
            EXPECT_EQ(pipelineOf(t).contains("zstd -1"), c.compressed) << qPrintable(pipelineOf(t));
        if (c.trace) {
            // One line for each transfer that went plain.
            int lines = 0;
            for (size_t at = out.find(c.trace); at != std::string::npos; at = out.find(c.trace, at + 1))
                ++lines;
            EXPECT_EQ(lines, 2) << out;
        }
        EXPECT_EQ(out.find("goes uncompressed") != std::string::npos, !c.compressed) << out;
    }
}

// A window that ends or begins while a stream runs: the pipeline starts
// at the rate then in force, and the meter it announced is told the new
// rate once, in each flow (the on-demand pass has no task to poll for).
TEST_F(SlowLink, MeterFollowsTheWindows)
{
    const QJsonObject config{
        {"bwlimit", QJsonArray{QJsonObject{{"from", "08:00"}, {"to", "18:00"}, {"rate", "2M"}},
                               QJsonObject{{"rate", "0"}}}}};
    struct Case {
        const char* name;
        Flow flow;
        QTime start;
        qint64 startRate;
        qint64 newRate;
    };
    const Case cases[] = {
        {"upload, office hours end", Upload, QTime(17, 59, 10), 2097152, VxrPipeline::kLiftedRate},
        {"restore, office hours begin", Restore, QTime(7, 59, 10), 0, 2097152},
        {"on-demand, office hours end", OnDemand, QTime(17, 59, 10), 2097152, VxrPipeline::kLiftedRate},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePrograms::Transfer transfer;
        transfer.chunks << "vxr-meter 4242 " + QByteArray::number(c.startRate) + "\r\n";
        for (int p = 10; p <= 60; p += 10)
            transfer.chunks << "\r[2.00MiB/s] [=>   ]  " + QByteArray::number(p) + "%";
        startEngine(config, HX2RunResult(), transfer);
        // Twenty seconds pass at each poll.
        auto polls = std::make_shared<std::atomic<int>>(0);
        const QDateTime base(QDate(2026, 3, 2), c.start);
        engine->setClock([base, polls] { return base.addSecs(20 * polls->load()); });
        fake->onPoll([polls] { ++*polls; });
        EXPECT_TRUE(runFlow(c.flow));
        ASSERT_EQ(fake->transfers().size(), 1);
        const QString text = pipelineOf(fake->transfers().first());
        EXPECT_EQ(text.contains(" -L 2097152"), c.startRate > 0) << qPrintable(text);
        QList<QStringList> told;
        for (const VxrCommand& r : fake->runs()) {
            if (r.program == "pv")
                told << r.args;
        }
        EXPECT_EQ(told, (QList<QStringList>{{"-R", "4242", "-L", QString::number(c.newRate)}}));
        fake->killAll();
        EXPECT_TRUE(engine->quit(20000));
        engine.reset();
    }
}

} // namespace
