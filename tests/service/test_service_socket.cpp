// The built service answering on its configured socket, driven as an
// operator would: vxrclient started with its files under a temporary root,
// and called through the hxcall tool.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>

#include "../printqt.h"

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>
#include <vector>

namespace {

QCoreApplication* app()
{
    static int argc = 1;
    static char name[] = "servicetests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* instance = new QCoreApplication(argc, argv);
    return instance;
}

class ServiceProcess : public ::testing::Test
{
protected:
    void SetUp() override
    {
        app();
        ASSERT_TRUE(root.isValid());
        socket = root.filePath("run/kozu/localsockets/.ls.vxrclient.agent.");
    }
    void TearDown() override
    {
        if (service.state() != QProcess::NotRunning) {
            service.kill();
            service.waitForFinished(5000);
        }
    }

    void writeConfig(const QJsonObject& config)
    {
        const QString dir = root.filePath("kozu/etc/vxrclient");
        ASSERT_TRUE(QDir().mkpath(dir));
        QFile f(dir + "/config.json");
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QJsonDocument(config).toJson());
    }

    QJsonObject config(bool debugging, const QJsonValue& localagentid) const
    {
        QJsonObject c{{"debugging", debugging}, {"appname", " vxrclient "}, {"vg", "tank"}, {"lv", "home"}};
        if (!localagentid.isUndefined())
            c.insert("localagentid", localagentid);
        return c;
    }

    void startService()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VXR_FILES_ROOT", root.path());
        service.setProcessEnvironment(env);
        service.start(QStringLiteral(VXRCLIENT_BIN), QStringList());
        ASSERT_TRUE(service.waitForStarted(5000));
    }

    bool waitForSocket()
    {
        for (int i = 0; i < 500; ++i) {
            if (QFileInfo::exists(socket))
                return true;
            if (service.state() == QProcess::NotRunning)
                return false;
            QThread::msleep(10);
        }
        return false;
    }

    struct Call {
        int status;
        QJsonObject reply;
        QString err;
    };
    Call hxcall(const QStringList& args)
    {
        QProcess p;
        p.start(QStringLiteral(HXCALL_BIN), QStringList{socket} + args);
        EXPECT_TRUE(p.waitForFinished(30000));
        return {p.exitCode(), QJsonDocument::fromJson(p.readAllStandardOutput()).object(),
                QString::fromUtf8(p.readAllStandardError())};
    }

    // Asks the service to quit and returns its exit status and output.
    int quit(QString* output)
    {
        ::kill(pid_t(service.processId()), SIGTERM);
        EXPECT_TRUE(service.waitForFinished(10000));
        if (output)
            *output = QString::fromUtf8(service.readAllStandardOutput());
        return service.exitCode();
    }

    QTemporaryDir root;
    QString socket;
    QProcess service;
};

} // namespace

TEST_F(ServiceProcess, AnswersHelpAndUnknownCommandsInDebuggingMode)
{
    writeConfig(config(true, socket));
    startService();
    ASSERT_TRUE(waitForSocket()) << service.readAllStandardOutput().constData();

    const Call help = hxcall({"help_interfaces"});
    ASSERT_EQ(help.status, 0) << help.err.toStdString();
    EXPECT_EQ(help.reply.value("err").toInt(-1), 0);
    EXPECT_TRUE(help.reply.value("elapsed").isDouble());
    const QJsonObject results = help.reply.value("results").toObject();
    ASSERT_TRUE(results.contains("help_interfaces"));
    EXPECT_EQ(results.value("help_interfaces").toObject().value("comment").toString(),
              QStringLiteral("获取接口的使用说明"));

    struct Case {
        QStringList args;
        QString errmsg;
    };
    const std::vector<Case> unknown = {
        {{"vxrclient_nonexistent"}, QStringLiteral("被调用的方法不存在: vxrclient_nonexistent")},
        {{R"({"params":{}})"}, QStringLiteral("被调用的方法不存在: ")},
        {{"help_interfaces", R"({"cmd":"vxrclient_nonexistent"})"},
         QStringLiteral("被调用的方法不存在: vxrclient_nonexistent")},
    };
    for (const Case& c : unknown) {
        const Call r = hxcall(c.args);
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        EXPECT_EQ(r.reply.value("err").toInt(), 9885) << c.args.join(' ').toStdString();
        EXPECT_EQ(r.reply.value("errmsg").toString(), c.errmsg) << c.args.join(' ').toStdString();
        EXPECT_TRUE(r.reply.value("elapsed").isDouble());
    }

    QString output;
    EXPECT_EQ(quit(&output), 0);
    EXPECT_EQ(output.count(QStringLiteral("Local agent: ") + socket), 1) << output.toStdString();
    EXPECT_TRUE(output.contains("Wait for quit ..."));
}

TEST_F(ServiceProcess, WithoutDebuggingRepliesCarryNoTiming)
{
    writeConfig(config(false, socket));
    startService();
    ASSERT_TRUE(waitForSocket());
    const Call r = hxcall({"vxrclient_nonexistent"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.reply, (QJsonObject{{"err", 9885}, {"errmsg", QStringLiteral("被调用的方法不存在: vxrclient_nonexistent")}}));
    QString output;
    EXPECT_EQ(quit(&output), 0);
    EXPECT_FALSE(output.contains("Local agent:")) << output.toStdString();
}

TEST_F(ServiceProcess, RefusesToStartWithoutAUsableAgentId)
{
    struct Case {
        const char* name;
        QJsonValue localagentid;
    };
    const std::vector<Case> cases = {
        {"absent", QJsonValue(QJsonValue::Undefined)},
        {"empty", ""},
        {"cannot listen there", "/proc/self/vxr/agent.sock"},
    };
    for (const Case& c : cases) {
        writeConfig(config(true, c.localagentid));
        startService();
        ASSERT_TRUE(service.waitForFinished(10000)) << c.name;
        EXPECT_EQ(service.exitStatus(), QProcess::NormalExit) << c.name;
        EXPECT_EQ(service.exitCode(), 255) << c.name;
        EXPECT_FALSE(service.readAllStandardOutput().contains("Local agent:")) << c.name;
    }
}

TEST_F(ServiceProcess, ASecondInstanceOnTheSameIdGivesWay)
{
    writeConfig(config(false, socket));
    startService();
    ASSERT_TRUE(waitForSocket());

    QProcess second;
    second.setProcessEnvironment(service.processEnvironment());
    second.start(QStringLiteral(VXRCLIENT_BIN), QStringList());
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 255);
    const QString message = QString::fromUtf8(second.readAllStandardError());
    EXPECT_EQ(message, QStringLiteral("Another instance is listening on ") + socket + "\n");

    const Call r = hxcall({"vxrclient_task_alload"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.reply, (QJsonObject{{"err", 0}, {"results", QJsonObject{{"records", QJsonArray()}}}}));
    EXPECT_EQ(quit(nullptr), 0);
}

TEST_F(ServiceProcess, ListsEveryCommandAndRefusesMissingParametersBeforeTheEngine)
{
    writeConfig(config(false, socket));
    startService();
    ASSERT_TRUE(waitForSocket());

    const QStringList commands = {
        "vxrclient_settingload", "vxrclient_settingsave",   "vxrclient_zfstorage", "vxrclient_restore",
        "vxrclient_snapshot",    "vxrclient_local_loadby",  "vxrclient_remote_loadby",
        "vxrclient_log_alload",  "vxrclient_log_clear",     "vxrclient_task_alload", "vxrclient_task_cancel"};
    const QJsonObject listing = hxcall({"help_interfaces"}).reply.value("results").toObject();
    EXPECT_EQ(listing.size(), commands.size() + 1);
    for (const QString& name : commands) {
        EXPECT_EQ(listing.value(name).toObject(),
                  (QJsonObject{{"cmd", name}, {"comment", QStringLiteral("<<此接口没有提供使用说明>>")}}))
            << name.toStdString();
        // A help request is answered before anything runs: a fresh
        // connection's outcome and an empty body, even with parameters.
        const Call help = hxcall({QString::fromUtf8(QJsonDocument(QJsonObject{
            {"cmd", name}, {"help", 1}, {"params", QJsonObject{{"index", 1}, {"active", 1}}}}).toJson())});
        EXPECT_EQ(help.reply, (QJsonObject{{"err", 9999}})) << name.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(root.filePath("kozu/etc/vxrclientisp/settings.json")));

    struct Case {
        const char* request;
        const char* missing;
    };
    const std::vector<Case> refused = {
        {R"({"cmd":"vxrclient_snapshot"})", "dmpath"},
        {R"({"cmd":"vxrclient_snapshot","params":{"dmpath":" \t "}})", "dmpath"},
        {R"({"cmd":"vxrclient_local_loadby","params":{"dmpath":true}})", "dmpath"},
        {R"({"cmd":"vxrclient_task_cancel","params":{}})", "index"},
        {R"({"cmd":"vxrclient_task_cancel","params":{"index":0}})", "index"},
        {R"({"cmd":"vxrclient_task_cancel","params":{"index":-1}})", "index"},
        {R"({"cmd":"vxrclient_task_cancel","params":{"index":"three"}})", "index"},
        {R"({"cmd":"vxrclient_task_cancel","params":{"index":" -0x3"}})", "index"},
        {R"({"cmd":"vxrclient_task_cancel","params":[3]})", "index"},
        {R"({"cmd":"vxrclient_restore","params":{"port":22,"userid":"u","passwd":"p"}})", "server, port, userid, passwd"},
        {R"({"cmd":"vxrclient_restore","params":{"server":"h","port":22,"passwd":"p"}})", "server, port, userid, passwd"},
        {R"({"cmd":"vxrclient_restore","params":{"server":"h","userid":"u","passwd":"  "}})", "server, port, userid, passwd"},
        {R"({"cmd":"vxrclient_restore","params":{"server":"h","userid":"u","passwd":null}})", "server, port, userid, passwd"},
    };
    for (const Case& c : refused) {
        const Call r = hxcall({QString::fromUtf8(c.request)});
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        EXPECT_EQ(r.reply, (QJsonObject{{"err", 9995}, {"errmsg", QStringLiteral("缺少参数: ") + c.missing}}))
            << c.request;
    }
    const Call tasks = hxcall({"vxrclient_task_alload"});
    EXPECT_EQ(tasks.reply.value("results").toObject().value("records").toArray(), QJsonArray());

    // Every program the engine runs leaves one trace line.
    QString output;
    EXPECT_EQ(quit(&output), 0);
    EXPECT_FALSE(output.contains("trace: line = ")) << output.toStdString();
}

TEST_F(ServiceProcess, SavedSettingsAreStoredWholeAndReadBack)
{
    writeConfig(config(false, socket));
    startService();
    ASSERT_TRUE(waitForSocket());
    const QString file = root.filePath("kozu/etc/vxrclientisp/settings.json");
    auto stored = [&] {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.readAll()).object() : QJsonObject();
    };

    const QJsonObject schedule{{"hour", 3}, {"minute", 30}};
    const QJsonObject saved{
        {"active", 1},
        {"report", QJsonObject{{"interval", 0}}},
        {"server", QJsonObject{{"host", " backup.example "}, {"port", 70000}, {"uid", "u"}, {"pwd", "p"},
                               {"interval", 7}, {"schedule", QJsonArray{schedule}}}},
        {"dmpaths", QJsonArray{"tank/home"}},
        {"note", "kept on disk"}};
    ASSERT_EQ(hxcall({"vxrclient_settingsave", QString::fromUtf8(QJsonDocument(saved).toJson())}).reply,
              (QJsonObject{{"err", 0}}));
    EXPECT_EQ(stored(), saved);
    const QJsonObject view = hxcall({"vxrclient_settingload"}).reply.value("results").toObject();
    EXPECT_EQ(view.value("active").toInt(), 1);
    EXPECT_EQ(view.value("report").toObject(), (QJsonObject{{"interval", 1}}));
    EXPECT_EQ(view.value("server").toObject(),
              (QJsonObject{{"host", "backup.example"}, {"port", 22}, {"uid", "u"}, {"pwd", "p"}, {"interval", 7},
                           {"schedule", QJsonArray{schedule}}}));
    EXPECT_EQ(view.value("dmpaths").toArray(), QJsonArray{"tank/home"});
    if (::geteuid() == 0) {
        // Another local user may connect, but never reads the password.
        for (QString dir = QFileInfo(socket).path(); dir.startsWith(root.path()); dir = QFileInfo(dir).path())
            ASSERT_TRUE(QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                       | QFileDevice::ExeOwner | QFileDevice::ExeOther));
        QProcess p;
        p.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", HXCALL_BIN, socket,
                            "vxrclient_settingload"});
        ASSERT_TRUE(p.waitForFinished(30000));
        const QJsonObject other = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
        ASSERT_EQ(other.value("err").toInt(-1), 0) << p.readAllStandardError().constData();
        QJsonObject withoutPassword = view.value("server").toObject();
        withoutPassword.remove("pwd");
        EXPECT_EQ(other.value("results").toObject().value("server").toObject(), withoutPassword);
    }

    // Without "params" the settings become an empty object: backup off.
    ASSERT_EQ(hxcall({"vxrclient_settingsave"}).reply, (QJsonObject{{"err", 0}}));
    EXPECT_TRUE(QFileInfo::exists(file));
    EXPECT_EQ(stored(), QJsonObject());
    const Call after = hxcall({"vxrclient_settingload"});
    EXPECT_EQ(after.reply.value("err").toInt(-1), 0);
    EXPECT_EQ(after.reply.value("results").toObject().value("active").toInt(-1), 0);
    EXPECT_FALSE(after.reply.value("results").toObject().contains("dmpaths"));
    EXPECT_EQ(quit(nullptr), 0);
}
