// The status report: its pure pieces by tables, then whole reports gathered
// from the stand-in agent, the stand-in status program and the real dpkg
// (on a package database of the test's own), posted to an HTTP server of
// the test's own. zfs and the server's listing are scripted.
#include "fakeprograms.h"
#include "httptestserver.h"
#include "hx2runner.h"
#include "hx2utils.h"
#include "phpaths.h"
#include "phsystem.h"
#include "vxrclient.h"
#include "vxrengine.h"
#include "vxrdpkg.h"
#include "vxrreport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <mutex>

TEST(ReportParts, DpkgListingGivesOnlyAnInstalledVersion)
{
    const QString header = "||/ Name Version Architecture Description\n+++-====-====-====-====";
    struct Case { const char* lines; const char* version; };
    const Case cases[] = {
        {"ii  kozu-vxrclient-isp 1.2.3        amd64        backup service", "1.2.3"},
        {"ii\tkozu-vxrclient-isp\t2.0-1\tamd64", "2.0-1"},
        {"rc  kozu-vxrclient-isp 1.2.3 amd64 gone\nii  kozu-vxrclient-isp 1.2.4 amd64 back", "1.2.4"},
        {"rc  kozu-vxrclient-isp 1.2.3 amd64 configuration only", ""},
        {"ii  kozu-vxrclient-isp-extra 9.9 amd64 another package", ""},
        {"ii  kozu-vxrclient-isp", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        const QStringList lines = (header + "\n" + c.lines).split('\n', Qt::SkipEmptyParts);
        EXPECT_EQ(VxrDpkg::installedVersion(lines, VxrDpkg::kPackage), QString(c.version));
    }
}

TEST(ReportParts, OnlyAnAgentAnswerWithErrZeroAllowsAReport)
{
    struct Answer { const char* json; bool allows; };
    const Answer answers[] = {{R"({"err":0,"results":{}})", true}, {R"({"err":0})", true},
                              {R"({"err":1,"results":{}})", false}, {R"({"results":{}})", false},
                              {R"({"err":"0"})", false}, {R"({"err":null})", false}};
    for (const Answer& a : answers)
        EXPECT_EQ(VxrReport::agentAllows(QJsonDocument::fromJson(a.json).object()), a.allows) << a.json;
}

TEST(ReportParts, ServerListingWaitsOneIntervalWithinAMinuteAndAnHour)
{
    const QPair<qint64, int> cases[] = {{0, 60000},      {60000, 60000},     {599999, 599999},
                                        {3600000, 3600000}, {3600001, 3600000}, {65535LL * 60000, 3600000}};
    for (const auto& c : cases)
        EXPECT_EQ(VxrReport::listingLimitMs(c.first), c.second) << c.first;
}

namespace {

QJsonArray arr(const char* text) { return QJsonDocument::fromJson(QByteArray(text)).array(); }

const char kSettingsPassword[] = "settings-Secret-1";
const char kRestorePassword[] = "restore-Secret-2";

QCoreApplication* app()
{
    static int argc = 1;
    static char name[] = "test_report";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* instance =
        QCoreApplication::instance() ? QCoreApplication::instance() : new QCoreApplication(argc, argv);
    return instance;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && f.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && f.write(bytes) == bytes.size();
}

// What a report run is given.
struct Scene
{
    // -1: no agent listens.
    int agentErr = 0;
    QByteArray agentResults = R"({"model":"standin","sn":"agent-sn","tasks":"agent's"})";
    // Options of the stand-in status program; without it, none is there.
    QStringList helperArgs;
    bool withHelper = true;
    bool usedFails = false;
    // The package's state in dpkg's database: "install ok installed", or
    // "deinstall ok config-files".
    QByteArray dpkgStatus = "install ok installed";
    bool withUrl = true;
    QJsonObject config;
};

class ReportRun : public ::testing::Test
{
protected:
    void SetUp() override
    {
        app();
        ASSERT_TRUE(m_root.isValid());
        PHPaths::setRoot(m_root.path());
        ASSERT_TRUE(receiver.start());
        receiver.on("/report", HttpTestServer::Reply::ok("{\"err\":0}", "application/json"));
    }

    void TearDown() override { PHPaths::setRoot(QString()); }

    // Runs one report with the scene; returns what the receiver got once
    // the engine (and with it its pool) is gone.
    QList<HttpTestServer::Request> report(const Scene& scene, HttpTestServer& to)
    {
        const QString helper = m_root.path() + "/kozu/sbin/vxr_helper";
        QString script = "#!/bin/sh\nexec " + toShellArgEscaped(STANDIN_VXRHELPER);
        for (const QString& a : scene.helperArgs)
            script += " " + toShellArgEscaped(a);
        QFile::remove(helper);
        if (scene.withHelper) {
            EXPECT_TRUE(writeFile(helper, script.toUtf8() + "\n"));
        }
        QFile::setPermissions(helper, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        EXPECT_TRUE(writeFile(m_root.path() + "/dpkg/status",
                              "Package: kozu-vxrclient-isp\nStatus: " + scene.dpkgStatus
                                  + "\nMaintainer: t <t@example.org>\nArchitecture: amd64\n"
                                    "Version: 1.2.3\nDescription: backup service\n"));

        std::unique_ptr<HX2Runner> agent;
        const QString socket = PHPaths::resolve(VxrReport::kAgentSocket);
        QFile::remove(socket);
        QFile::remove(m_root.path() + "/asked");
        QDir().mkpath(QFileInfo(socket).absolutePath());
        if (scene.agentErr >= 0) {
            agent = std::make_unique<HX2Runner>(
                STANDIN_AGENT, QStringList{"--socket", socket, "--err", QString::number(scene.agentErr),
                                           "--results", scene.agentResults, "--record", m_root.path() + "/asked"});
            EXPECT_TRUE(agent->start());
            QByteArray out;
            for (int waited = 0; waited < 10000 && !out.contains('\n'); waited += 20) {
                agent->waitForFinished(20);
                out += agent->readOutput();
            }
            EXPECT_TRUE(out.startsWith("listening")) << out.constData();
        }

        auto fake = std::make_shared<FakePrograms>();
        fake->onRun([this, scene](const VxrCommand& c) {
            if (c.program == "sshpass") {
                ++logins;
                return FakePrograms::ok("tank/a@vxr_20240102030405\t1.5G\t2M\n");
            }
            if (c.args.contains("name,used,reservation"))
                return FakePrograms::ok("vxr/data\t1234\t5678\n");
            if (c.args.contains("used,refer"))
                return scene.usedFails ? FakePrograms::exited(1) : FakePrograms::ok("10K\t20K\n");
            VxrCommand real = c;
            if (c.program == "dpkg")
                real.options.env.insert("DPKG_ADMINDIR", m_root.path() + "/dpkg");
            const HX2RunResult r = VxrPrograms().run(real);
            if (c.program.endsWith("vxr_helper")) {
                std::lock_guard<std::mutex> lock(m_mutex);
                helperRun = r;
            }
            return r;
        });

        auto engine = std::make_unique<VxrClient>();
        engine->setPrograms(fake);
        EXPECT_TRUE(writeFile(engine->units().settings.settingsPath(),
                              QJsonDocument(QJsonObject{{"active", 1},
                                                        {"server", QJsonObject{{"host", "192.0.2.1"},
                                                                               {"port", 2222},
                                                                               {"uid", "backup"},
                                                                               {"pwd", kSettingsPassword}}},
                                                        {"dmpaths", QJsonArray{"vxr/data"}}})
                                  .toJson()));
        HX2Journals journal;
        QJsonObject config = scene.config;
        if (scene.withUrl && !config.contains("vxrserverurl"))
            config.insert("vxrserverurl", to.url("/report"));
        engine->loadConfigure(journal, config);
        engine->loadSettings(journal, nullptr);
        engine->units().worker.queue().enqueue(
            {VxrTask::restore("tank/r", VxrSsh::Account{"192.0.2.9", 22, "root", kRestorePassword})});
        engine->reportRun();
        EXPECT_FALSE(engine->units().report.running().load());
        engine.reset();
        return to.requests();
    }

    QJsonObject params(const QList<HttpTestServer::Request>& requests)
    {
        if (requests.size() != 1)
            return QJsonObject();
        const QJsonObject body = QJsonDocument::fromJson(requests.first().body).object();
        EXPECT_EQ(body.value("cmd"), "device_living");
        return body.value("params").toObject();
    }

    QTemporaryDir m_root;
    HttpTestServer receiver;
    int logins = 0;
    std::mutex m_mutex;
    HX2RunResult helperRun;
};

} // namespace

TEST_F(ReportRun, PostsTheAgentsObjectWithTheEnginesKeysAndNoPassword)
{
    const QList<HttpTestServer::Request> got = report(Scene(), receiver);
    ASSERT_EQ(got.size(), 1);
    EXPECT_EQ(got.first().method, "POST");
    EXPECT_EQ(got.first().header("Content-Type"), "application/x-www-form-urlencoded; charset=UTF-8");
    const QJsonObject p = params(got);

    EXPECT_EQ(p.value("model"), "standin");
    EXPECT_EQ(p.value("sn"), PHSystem().serialNumber());
    EXPECT_EQ(p.value("uptime").toObject().keys(), PHSystem().uptime().keys());
    EXPECT_EQ(p.value("vxrzfsinfo"), (QJsonObject{{"used", 1234}, {"all", 5678}}));
    EXPECT_EQ(p.value("uploadtime"), "");
    EXPECT_EQ(p.value("ubackup"), arr(R"([{"name":"standin","state":0}])"));
    EXPECT_EQ(p.value("tasks"), arr(R"([{"index":1,"action":3,"dmpath":"tank/r","server":"192.0.2.9",
                                         "port":22,"userid":"root","step":0,"rate":0}])"));
    EXPECT_EQ(p.value("cloudserver"),
              QJsonDocument::fromJson(R"({"server":"192.0.2.1","port":2222,"backups":
                  [{"name":"tank/a@vxr_20240102030405","used":1610612736,"refer":2097152}]})").object());
    EXPECT_EQ(p.value("vxrversion"), "1.2.3");
    EXPECT_EQ(p.value("capacity"), (QJsonObject{{"used", 10240}, {"refer", 20480}}));
    EXPECT_EQ(logins, 1);

    QByteArray whole = got.first().target + got.first().body;
    for (const auto& h : got.first().headers)
        whole += h.first + h.second;
    EXPECT_FALSE(whole.contains(kSettingsPassword));
    EXPECT_FALSE(whole.contains(kRestorePassword));
}

TEST_F(ReportRun, WhatEachFailureLeavesOut)
{
    struct Case
    {
        const char* name;
        Scene scene;
        bool posted;
        const char* ubackup;
        bool capacity;
        const char* version;
    };
    auto scene = [](auto change) {
        Scene s;
        change(s);
        return s;
    };
    const Case cases[] = {
        {"agent refuses", scene([](Scene& s) { s.agentErr = 1; }), false, "", false, ""},
        {"no agent", scene([](Scene& s) { s.agentErr = -1; }), false, "", false, ""},
        {"no server URL", scene([](Scene& s) { s.withUrl = false; }), false, "", false, ""},
        {"no status program", scene([](Scene& s) { s.withHelper = false; }), true, "[]", true, "1.2.3"},
        {"status program fails", scene([](Scene& s) { s.helperArgs = QStringList{"--exit", "3"}; }), true, "[]",
         true, "1.2.3"},
        {"status program prints an object", scene([](Scene& s) { s.helperArgs = QStringList{"--output", "{}"}; }),
         true, "[]", true, "1.2.3"},
        {"status program runs away", scene([](Scene& s) { s.helperArgs = QStringList{"--runaway"}; }), true, "[]",
         true, "1.2.3"},
        {"capacity query fails", scene([](Scene& s) { s.usedFails = true; }), true,
         R"([{"name":"standin","state":0}])", false, "1.2.3"},
        {"package only configured", scene([](Scene& s) { s.dpkgStatus = "deinstall ok config-files"; }), true,
         R"([{"name":"standin","state":0}])", true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HttpTestServer to;
        ASSERT_TRUE(to.start());
        logins = 0;
        helperRun = HX2RunResult();
        const QList<HttpTestServer::Request> got = report(c.scene, to);
        ASSERT_EQ(got.size(), c.posted ? 1 : 0);
        if (!c.posted) {
            // Nothing was gathered: no login, no program.
            EXPECT_EQ(logins, 0);
            EXPECT_FALSE(helperRun.started);
            if (!c.scene.withUrl) {
                EXPECT_FALSE(QFile::exists(m_root.path() + "/asked"));
            }
            continue;
        }
        const QJsonObject p = params(got);
        EXPECT_EQ(p.value("ubackup"), arr(c.ubackup));
        EXPECT_EQ(p.contains("capacity"), c.capacity);
        EXPECT_EQ(p.value("vxrversion"), c.version);
        EXPECT_EQ(p.value("model"), "standin");
        EXPECT_EQ(logins, 1);
        // The runaway's output stayed within the cap while it ran.
        EXPECT_LE(helperRun.out.size(), VxrReport::kMaxStatusOutput);
        EXPECT_EQ(helperRun.outOverflow, c.scene.helperArgs.contains("--runaway"));
    }
}

TEST_F(ReportRun, HttpsServerIsVerifiedOnlyAgainstAConfiguredCaFile)
{
    TestCertificates mine, other;
    QTemporaryDir certs;
    QString error;
    ASSERT_TRUE(QDir().mkpath(certs.path() + "/mine") && QDir().mkpath(certs.path() + "/other"));
    ASSERT_TRUE(mine.make(certs.path() + "/mine", &error)) << qPrintable(error);
    ASSERT_TRUE(other.make(certs.path() + "/other", &error)) << qPrintable(error);
    HttpTestServer tls;
    ASSERT_TRUE(tls.startTls(mine.serverCert, mine.serverKey));
    tls.on("/report", HttpTestServer::Reply::ok("{\"err\":0}"));

    // posts: what the server holds after the case, the earlier ones'
    // included.
    struct Case { const char* name; QString caFile; int posts; };
    const Case cases[] = {{"no CA file: unchecked", "", 1}, {"the issuer's CA", mine.caCert, 2},
                          {"another CA", other.caCert, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scene s;
        s.config.insert("vxrservercafile", c.caFile);
        EXPECT_EQ(report(s, tls).size(), c.posts);
    }
}
