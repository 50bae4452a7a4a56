// The command set in the test's process: the application's router behind a
// socket server of its own, the engine's programs scripted. Requests sent
// on one connection share its journal, as the management layer's do.
#include "../hxlib/rpctestsupport.h"
#include "../printqt.h"
#include "appdata.h"
#include "vxrengine.h"
#include "fakeprograms.h"
#include "phpaths.h"

#include <QDir>
#include <QJsonArray>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QJsonObject kFailed{{"err", 9999}};

class Commands : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        testApp();
        s_root = new QTemporaryDir;
        // The engine takes its file locations when the application object
        // is made.
        PHPaths::setRoot(s_root->path());
        AppData* app = AppData::create();
        ASSERT_TRUE(app->init(QString()));
        s_host = new ServerHost(&app->router);
        ASSERT_TRUE(s_host->start(s_root->filePath("agent.sock")));
    }
    static void TearDownTestSuite()
    {
        delete s_host;
        PHPaths::setRoot(QString());
        delete s_root;
    }

    void SetUp() override
    {
        fake = std::make_shared<FakePrograms>();
        IAppData()->engine.setPrograms(fake);
        ASSERT_TRUE(client.connectTo(s_root->filePath("agent.sock")));
    }

    QJsonObject call(const QString& cmd, const QJsonObject& params = QJsonObject())
    {
        QJsonObject request{{"cmd", cmd}};
        if (!params.isEmpty())
            request.insert("params", params);
        QJsonObject reply;
        EXPECT_TRUE(client.send(frameOf(request)));
        EXPECT_TRUE(client.readFrame(reply, 30000)) << cmd.toStdString();
        return reply;
    }

    static QTemporaryDir* s_root;
    static ServerHost* s_host;
    std::shared_ptr<FakePrograms> fake;
    RawClient client;
};

QTemporaryDir* Commands::s_root = nullptr;
ServerHost* Commands::s_host = nullptr;

} // namespace

TEST_F(Commands, AFailureAfterASuccessOnTheSameConnectionNeverRepliesZero)
{
    fake->onRun([](const VxrCommand& c) {
        if (c.program == "sshpass") {
            // The server lists its datasets but refuses the snapshot listing.
            if (c.args.last().contains("snapshot"))
                return FakePrograms::exited(255, "ssh: connect to host: Connection refused");
            return FakePrograms::ok("tank\ntank/a\n");
        }
        return FakePrograms::exited(1, "internal error: failed to initialize ZFS library");
    });
    const QJsonObject account{{"host", "127.0.0.1"}, {"port", 2222}, {"uid", "root"}, {"pwd", "secret"}};

    ASSERT_EQ(call("vxrclient_settingsave", {{"server", account}}), (QJsonObject{{"err", 0}}));
    EXPECT_EQ(call("vxrclient_remote_loadby"), kFailed);

    // The restore's own check of the appliance's datasets fails.
    ASSERT_EQ(call("vxrclient_task_alload").value("err").toInt(-1), 0);
    EXPECT_EQ(call("vxrclient_restore", {{"server", "127.0.0.1"}, {"userid", "root"}, {"passwd", "secret"}}),
              kFailed);

    ASSERT_EQ(call("vxrclient_log_alload").value("err").toInt(-1), 0);
    const QString db = s_root->filePath("kozu/var/db/kozulog.db");
    ASSERT_TRUE(QDir().mkpath(db)) << "the log's database becomes unreadable";
    EXPECT_EQ(call("vxrclient_log_alload"), kFailed);
    QDir(db).removeRecursively();

    EXPECT_EQ(call("vxrclient_task_alload"),
              (QJsonObject{{"err", 0}, {"results", QJsonObject{{"records", QJsonArray()}}}}));
}

TEST_F(Commands, RestoreParametersReachTheEngineAsRead)
{
    // The server lists a dataset; the appliance's list fails, so nothing
    // is queued.
    fake->onRun([](const VxrCommand& c) {
        return c.program == "sshpass" ? FakePrograms::ok("tank\ntank/a\n") : FakePrograms::exited(1);
    });

    struct Case {
        const char* name;
        QJsonValue port;
        QString sshPort;
        QJsonValue passwd = " pw ";
        QString sshPass = "pw";
    };
    const Case cases[] = {
        {"no port", QJsonValue::Undefined, "22"},
        {"port as text", " 2222", "2222"},
        {"port as hexadecimal text", "0x8ae", "2222"},
        {"port not a number", "ssh", "22"},
        {"port as number", 2222, "2222"},
        {"password as number", 2222, "2222", 1234, "1234"},
    };
    for (const Case& c : cases) {
        QJsonObject params{{"server", " 10.0.0.9 "}, {"userid", " root\t"}, {"passwd", c.passwd}};
        if (!c.port.isUndefined())
            params.insert("port", c.port);
        const int before = fake->runs().size();
        EXPECT_EQ(call("vxrclient_restore", params), kFailed) << c.name;
        ASSERT_GT(fake->runs().size(), before) << c.name;
        const VxrCommand listing = fake->runs().at(before);
        const QStringList& a = listing.args;
        EXPECT_EQ(a.value(a.indexOf("-p") + 1), c.sshPort) << c.name;
        EXPECT_TRUE(a.contains("root@10.0.0.9")) << c.name;
        EXPECT_EQ(listing.options.env.value("SSHPASS"), c.sshPass) << c.name;
    }
}

TEST_F(Commands, CancelIndexMayComeAsText)
{
    // Waiting tasks only: the worker is marked running, so none starts.
    VxrClient& engine = IAppData()->engine;
    engine.units().worker.running().store(true);
    const QList<int> queued = engine.units().worker.queue().enqueue(
        {VxrTask::upload("t/a"), VxrTask::upload("t/b"), VxrTask::upload("t/c")});
    EXPECT_EQ(call("vxrclient_task_cancel", {{"index", QString::number(queued.at(1))}}), (QJsonObject{{"err", 0}}));
    EXPECT_EQ(call("vxrclient_task_cancel", {{"index", QString::asprintf(" 0x%x", queued.at(2))}}),
              (QJsonObject{{"err", 0}}));
    const QJsonArray left = call("vxrclient_task_alload").value("results").toObject().value("records").toArray();
    ASSERT_EQ(left.size(), 1);
    EXPECT_EQ(left.at(0).toObject().value("index").toInt(), queued.at(0));
    engine.units().worker.queue().remove(queued.at(0));
    engine.units().worker.running().store(false);
}

TEST_F(Commands, RestoreChoicesOfTheWrongKindAreRefused)
{
    struct Case { QJsonObject choices; QString invalid; };
    const Case cases[] = {
        {{{"dmpath", 5}}, "dmpath"},
        {{{"snapshot", "vxr_1"}}, "snapshot"},
        {{{"dmpath", "tank/a"}, {"target", "tank"}}, "target"},
        {{{"dmpath", QJsonArray{"tank/a"}}, {"target", 3}}, "dmpath, target"},
        {{{"dmpath", "tank/a"}, {"snapshot", "tank/b@1"}}, "snapshot"},
    };
    for (const Case& c : cases) {
        QJsonObject params = c.choices;
        params.insert("server", "h");
        params.insert("userid", "u");
        params.insert("passwd", "p");
        const int before = fake->runs().size();
        EXPECT_EQ(call("vxrclient_restore", params),
                  (QJsonObject{{"err", 9889}, {"errmsg", QStringLiteral("参数无效: ") + c.invalid}}))
            << c.invalid.toStdString();
        EXPECT_EQ(fake->runs().size(), before) << "nothing is asked before the choices are checked";
    }
}

// A dataset zfs would read as an option never reaches the listing.
TEST_F(Commands, SnapshotListingRefusesNamesZfsWouldMisread)
{
    for (const char* dmpath : {"-r", "tank/a;id", "-o name tank"}) {
        const int before = fake->runs().size();
        EXPECT_EQ(call("vxrclient_snapshot", {{"dmpath", dmpath}}),
                  (QJsonObject{{"err", 9889}, {"errmsg", QStringLiteral("参数无效: dmpath")}}))
            << dmpath;
        EXPECT_EQ(fake->runs().size(), before) << dmpath;
    }
}
