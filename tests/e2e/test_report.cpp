// The status report on the real-ZFS bench: the service runs inside the
// appliance (tests/e2e/enginedriver.cpp) beside the stand-in platform agent
// and status program, and reports to the stand-in management server.
#include "zbenchtest.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>

using zbench::Bench;
using zbench::Host;

namespace {

// The first line a stand-in prints, once it listens; empty after 10 s.
QByteArray firstLine(QProcess& p)
{
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (!out.contains('\n') && t.elapsed() < 10000) {
        p.waitForReadyRead(100);
        out += p.readAllStandardOutput();
    }
    return out.left(out.indexOf('\n'));
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && f.open(QIODevice::WriteOnly)
        && f.write(bytes) == bytes.size();
}

QStringList names(const QJsonArray& records)
{
    QStringList out;
    for (const QJsonValue& v : records)
        out << v.toObject().value("name").toString();
    out.sort();
    return out;
}

class ReportFlow : public zbench::BenchTest
{
protected:
    void TearDown() override
    {
        for (QProcess* p : {m_driver.get(), m_agent.get(), m_receiver.get()}) {
            if (p) {
                p->kill();
                p->waitForFinished(5000);
            }
        }
    }

    std::unique_ptr<QProcess> m_driver, m_agent, m_receiver;
};

} // namespace

TEST_F(ReportFlow, RunningServicePostsWithinOneInterval)
{
    Bench& b = bench();
    ASSERT_TRUE(b.run(Host::Server, {"zfs", "create", "-p", "tank/rep"}).ok());
    for (const char* snap : {"tank/rep@r1", "tank/rep@r2"})
        ASSERT_TRUE(b.run(Host::Server, {"zfs", "snapshot", snap}).ok());

    QTemporaryDir local;
    const QString record = local.filePath("received");
    m_receiver = std::make_unique<QProcess>();
    m_receiver->start(STANDIN_RECEIVER, {"--record", record});
    const QByteArray listening = firstLine(*m_receiver);
    ASSERT_TRUE(listening.startsWith("listening http://")) << listening.constData();
    const QString url = QString::fromUtf8(listening.mid(10)) + "/report";

    // The appliance's files, re-rooted: the agent's socket, the status
    // program, configuration and settings.
    const QString root = b.stateDir() + "/e2e-report";
    const QString here = b.hostPath(Host::Appliance, root);
    QDir(here).removeRecursively();
    QFile program(STANDIN_VXRHELPER);
    ASSERT_TRUE(QDir().mkpath(here + "/kozu/sbin") && program.copy(here + "/kozu/sbin/vxr_helper"));
    ASSERT_TRUE(QDir().mkpath(here + "/run/kozu/localsockets"));
    m_agent = b.spawn(Host::Appliance, {STANDIN_AGENT, "--socket", root + "/run/kozu/localsockets/.ls.hubcore.agent.",
                                        "--results", R"({"model":"bench"})"});
    ASSERT_TRUE(m_agent);
    ASSERT_TRUE(firstLine(*m_agent).startsWith("listening"));

    const QJsonObject config{{"localagentid", root + "/vxrclient.sock"}, {"uploadlog", root + "/upload.log"},
                             {"vg", "tank"}, {"lv", "data"}, {"vxrserverurl", url}};
    const QJsonObject settings{
        {"active", 1},
        {"report", QJsonObject{{"interval", 1}}},
        {"server", QJsonObject{{"host", b.serverHost()}, {"port", b.port()}, {"uid", "root"},
                               {"pwd", b.password()}, {"interval", 600}}},
        {"dmpaths", QJsonArray{"tank/data"}}};
    ASSERT_TRUE(writeFile(here + "/config.json", QJsonDocument(config).toJson()));
    ASSERT_TRUE(writeFile(here + "/kozu/etc/vxrclientisp/settings.json", QJsonDocument(settings).toJson()));
    m_driver = b.spawn(Host::Appliance, {ENGINE_DRIVER},
                       {{"VXR_FILES_ROOT", root}, {"VXR_DRIVER_CONFIG", root + "/config.json"}});
    ASSERT_TRUE(m_driver);

    // The first report is due one minute after the start; allow the
    // gathering (an ssh login) and a loaded machine.
    QElapsedTimer t;
    t.start();
    QByteArray line;
    while (line.isEmpty() && t.elapsed() < 150000) {
        QThread::msleep(500);
        QFile f(record);
        if (f.open(QIODevice::ReadOnly))
            line = f.readLine();
    }
    ASSERT_FALSE(line.isEmpty()) << "no report; service output:\n"
                                 << m_driver->readAllStandardOutput().constData();
    const QJsonObject request = QJsonDocument::fromJson(line).object();
    EXPECT_EQ(request.value("method"), "POST");
    const QJsonObject report = QJsonDocument::fromJson(request.value("body").toString().toUtf8()).object();
    EXPECT_EQ(report.value("cmd"), "device_living");
    const QJsonObject params = report.value("params").toObject();
    EXPECT_EQ(params.value("model"), "bench");
    EXPECT_EQ(params.value("ubackup"), QJsonDocument::fromJson(R"([{"name":"standin","state":0}])").array());

    const QJsonObject cloud = params.value("cloudserver").toObject();
    EXPECT_EQ(cloud.value("server"), b.serverHost());
    EXPECT_EQ(cloud.value("port").toInt(), b.port());
    QStringList onServer = b.run(Host::Server, {"zfs", "list", "-H", "-o", "name", "-t", "snapshot"}).lines();
    onServer.sort();
    EXPECT_EQ(names(cloud.value("backups").toArray()), onServer);
    EXPECT_TRUE(onServer.contains("tank/rep@r2"));

    const QStringList info =
        b.run(Host::Appliance, {"zfs", "list", "-H", "-p", "-o", "used,reservation", "tank/data"}).text().split('\t');
    ASSERT_EQ(info.size(), 2);
    EXPECT_EQ(params.value("vxrzfsinfo").toObject(),
              (QJsonObject{{"used", info[0].toLongLong()}, {"all", info[1].toLongLong()}}));
    EXPECT_TRUE(params.value("capacity").toObject().contains("used"));
    EXPECT_FALSE(request.value("body").toString().contains(b.password()));
}
