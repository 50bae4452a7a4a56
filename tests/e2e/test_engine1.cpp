// The engine's inventory, snapshot cycle, listings and operation log on
// real zfs-fuse pools and a real sshd. Each operation runs in a fresh
// driver process inside the appliance, so every call is also a restart of
// the engine.
#include "zbenchtest.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

using zbench::Bench;
using zbench::Host;
using zbench::Result;

namespace {

const QString kDriver = QStringLiteral(ENGINE1_DRIVER);

class Engine1 : public zbench::BenchTest
{
protected:
    void SetUp() override
    {
        zbench::BenchTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        m_root = bench().stateDir() + "/app/home/engine1-" +
                 QString::fromLatin1(::testing::UnitTest::GetInstance()->current_test_info()->name());
        ASSERT_TRUE(QDir().mkpath(hostFile("/kozu/etc/vxrclientisp")));
        // A tripwire in front of sshpass: it notes every start, then runs
        // the real program.
        ASSERT_TRUE(QDir().mkpath(hostFile("/bin")));
        QFile trip(hostFile("/bin/sshpass"));
        ASSERT_TRUE(trip.open(QIODevice::WriteOnly));
        trip.write(QStringLiteral("#!/bin/sh\necho started >> %1/sshpass.started\nexec /usr/bin/sshpass \"$@\"\n")
                       .arg(m_root).toUtf8());
        trip.close();
        trip.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    QString hostFile(const QString& underRoot) const
    {
        return bench().hostPath(Host::Appliance, m_root + underRoot);
    }

    void writeSettings(const QJsonObject& settings)
    {
        QFile f(hostFile("/kozu/etc/vxrclientisp/settings.json"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QJsonDocument(settings).toJson());
    }

    QJsonObject account(const QString& password) const
    {
        return QJsonObject{{"host", bench().serverHost()}, {"port", bench().port()},
                           {"uid", "root"}, {"pwd", password}};
    }

    // Runs one operation in the appliance; the driver's RESULT object.
    QJsonObject engine(const QStringList& op, QString* trace = nullptr)
    {
        const zbench::Env env{{"VXR_FILES_ROOT", m_root}};
        // The bench sets its own PATH after the caller's variables; env(1)
        // puts the tripwire first again.
        const QString path = "PATH=" + m_root + "/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
        const Result r = bench().run(Host::Appliance, QStringList{"/usr/bin/env", path, kDriver} + op, 300000, env);
        if (trace)
            *trace = QString::fromUtf8(r.out + r.err);
        return zbench::driverResult(r);
    }

    bool sshpassStarted() const { return QFile::exists(hostFile("/sshpass.started")); }

    QString m_root;
};

QJsonObject findRecord(const QJsonArray& records, const QString& name)
{
    for (const QJsonValue& v : records) {
        if (v.toObject().value("name").toString() == name)
            return v.toObject();
    }
    return QJsonObject();
}

TEST_F(Engine1, SnapshotCycleLogsTheMissingDatasetAndSnapshotsTheOther)
{
    Bench& b = bench();
    QString error;
    ASSERT_TRUE(b.fill(Host::Appliance, "tank/data", 11, 2, 1 << 20, &error)) << error.toStdString();
    const QStringList before = b.snapshots(Host::Appliance, "tank/data");
    writeSettings(QJsonObject{{"dmpaths", QJsonArray{"tank/e1missing", "tank/data"}}});
    ASSERT_TRUE(engine({"logclear"}).value("ok").toBool());

    ASSERT_TRUE(engine({"snapcycle"}).value("ok").toBool());

    QStringList added;
    for (const QString& s : b.snapshots(Host::Appliance, "tank/data")) {
        if (!before.contains(s))
            added << s;
    }
    ASSERT_EQ(added.size(), 1) << added.join(", ").toStdString();
    EXPECT_TRUE(QRegularExpression("^tank/data@vxr_\\d{14}$").match(added.first()).hasMatch()) << added.first().toStdString();
    EXPECT_TRUE(b.snapshots(Host::Appliance, "tank/e1missing").isEmpty());

    const QJsonObject logs = engine({"logs"});
    ASSERT_TRUE(logs.value("ok").toBool());
    const QJsonArray records = logs.value("records").toArray();
    ASSERT_EQ(records.size(), 1);
    const QJsonObject r = records.at(0).toObject();
    EXPECT_EQ(r.value("level").toString(), "Error");
    const QString message = r.value("message").toString();
    const QString head = "##$@vxr@$##Backup failed##$@vxr@$##: ";
    ASSERT_TRUE(message.startsWith(head)) << message.toStdString();
    // zfs's own words about the missing dataset follow the marker.
    EXPECT_TRUE(message.mid(head.size()).contains("tank/e1missing")) << message.toStdString();
    EXPECT_GT(message.size(), head.size() + QString("tank/e1missing").size());
    EXPECT_EQ(r.value("action").toInt(), 1);
    EXPECT_EQ(r.value("state").toInt(), 3);
    EXPECT_EQ(r.value("app").toString(), "VXRCLIENT-ISP");
    EXPECT_FALSE(r.contains("sparefield1"));

    // The same cycle again at once would clash on the name only within the
    // same second; a cycle of existing datasets writes nothing.
    writeSettings(QJsonObject{{"dmpaths", QJsonArray{"tank/home"}}});
    ASSERT_TRUE(engine({"logclear"}).value("ok").toBool());
    ASSERT_TRUE(engine({"snapcycle"}).value("ok").toBool());
    EXPECT_TRUE(engine({"logs"}).value("records").toArray().isEmpty());
}

TEST_F(Engine1, LocalListingShowsRealSnapshotsWithSizesAndTimes)
{
    Bench& b = bench();
    QString error;
    ASSERT_TRUE(b.fill(Host::Appliance, "tank/home", 21, 4, 1 << 20, &error)) << error.toStdString();
    const QString stamped = "tank/home@vxr_20240102030405";
    const QString manual = "tank/home@e1manual";
    for (const QString& s : {stamped, manual}) {
        const Result r = b.run(Host::Appliance, {"zfs", "snapshot", s});
        ASSERT_TRUE(r.ok() || r.err.contains("exists")) << r.err.toStdString();
    }

    const QJsonObject listed = engine({"local", "tank/home"});
    ASSERT_TRUE(listed.value("ok").toBool());
    const QJsonArray records = listed.value("records").toArray();
    EXPECT_EQ(records.size(), b.snapshots(Host::Appliance, "tank/home").size());
    const QJsonObject a = findRecord(records, stamped);
    ASSERT_FALSE(a.isEmpty());
    EXPECT_EQ(a.value("time").toString(), "2024-01-02 03:04:05");
    // Four files of 1 MiB: what the snapshot refers to is at least that.
    EXPECT_GE(a.value("refer").toDouble(), 4.0 * (1 << 20));
    EXPECT_GE(a.value("used").toDouble(), 0.0);
    const QJsonObject m = findRecord(records, manual);
    ASSERT_FALSE(m.isEmpty());
    EXPECT_EQ(m.value("time").toString(), "");

    const QJsonObject missing = engine({"local", "tank/e1nothere"});
    EXPECT_FALSE(missing.value("ok").toBool());
    EXPECT_EQ(missing.value("err").toInt(), 9999);
    EXPECT_TRUE(missing.value("records").toArray().isEmpty());

    // The inventory of the same pool.
    const QJsonObject storage = engine({"storage"}).value("result").toObject();
    const QJsonObject tank = storage.value("tank").toObject();
    EXPECT_TRUE(tank.contains("home") && tank.contains("data")) << QJsonDocument(storage).toJson().toStdString();
    EXPECT_EQ(tank.value("home").toObject().value("fstype").toString(), "zfs");
    const QJsonObject info = engine({"zfsinfo"});
    ASSERT_TRUE(info.value("ok").toBool());
    EXPECT_GE(info.value("result").toObject().value("used").toDouble(), 4.0 * (1 << 20));
    writeSettings(QJsonObject{{"dmpaths", QJsonArray{"tank/home", "tank/data"}}});
    const QJsonObject used = engine({"allused"});
    ASSERT_TRUE(used.value("ok").toBool());
    EXPECT_GE(used.value("result").toObject().value("refer").toDouble(), 4.0 * (1 << 20));
    writeSettings(QJsonObject{{"dmpaths", QJsonArray{"tank/home", "tank/e1nothere"}}});
    const QJsonObject usedMissing = engine({"allused"});
    EXPECT_FALSE(usedMissing.value("ok").toBool());
    EXPECT_EQ(usedMissing.value("result").toObject().value("used").toInt(), 0);
}

TEST_F(Engine1, RemoteListingWithTheAccountAndItsFailures)
{
    Bench& b = bench();
    const Result created = b.run(Host::Server, {"zfs", "create", "tank/e1remote"});
    ASSERT_TRUE(created.ok() || created.err.contains("exists")) << created.err.toStdString();
    QString error;
    ASSERT_TRUE(b.fill(Host::Server, "tank/e1remote", 31, 2, 1 << 20, &error)) << error.toStdString();
    const QString snap = "tank/e1remote@vxr_20240102030405";
    const Result snapped = b.run(Host::Server, {"zfs", "snapshot", snap});
    ASSERT_TRUE(snapped.ok() || snapped.err.contains("exists")) << snapped.err.toStdString();

    // Missing account: 9994 and nothing started.
    writeSettings(QJsonObject{{"server", account("")}});
    const QJsonObject refused = engine({"remote"});
    EXPECT_FALSE(refused.value("ok").toBool());
    EXPECT_EQ(refused.value("err").toInt(), 9994);
    EXPECT_EQ(refused.value("errmsg").toString(), QStringLiteral("缺少账号设置"));
    EXPECT_FALSE(sshpassStarted());

    // Wrong password: the listing fails, the journal keeps its code, and the
    // operation log is not written.
    ASSERT_TRUE(engine({"logclear"}).value("ok").toBool());
    writeSettings(QJsonObject{{"server", account("wrong-password")}});
    QString trace;
    const QJsonObject wrong = engine({"remote"}, &trace);
    EXPECT_FALSE(wrong.value("ok").toBool());
    EXPECT_EQ(wrong.value("err").toInt(), 9999);
    EXPECT_TRUE(wrong.value("records").toArray().isEmpty());
    EXPECT_TRUE(sshpassStarted()) << trace.toStdString();
    EXPECT_FALSE(trace.contains("wrong-password"));
    EXPECT_TRUE(engine({"logs"}).value("records").toArray().isEmpty());

    // The right one lists the server's snapshots with their sizes.
    writeSettings(QJsonObject{{"server", account(b.password())}});
    const QJsonObject listed = engine({"remote"}, &trace);
    ASSERT_TRUE(listed.value("ok").toBool()) << trace.toStdString();
    const QJsonObject r = findRecord(listed.value("records").toArray(), snap);
    ASSERT_FALSE(r.isEmpty()) << trace.toStdString();
    EXPECT_GE(r.value("refer").toDouble(), 2.0 * (1 << 20));
    EXPECT_FALSE(r.contains("time"));
    EXPECT_FALSE(trace.contains(b.password()));
}

TEST_F(Engine1, OperationLogSurvivesRestartsAndClears)
{
    writeSettings(QJsonObject{{"dmpaths", QJsonArray{"tank/e1gone1", "tank/e1gone2"}}});
    ASSERT_TRUE(engine({"logclear"}).value("ok").toBool());
    ASSERT_TRUE(engine({"snapcycle"}).value("ok").toBool());
    // Two later engine processes read the same two records, newest first.
    for (int restart = 0; restart < 2; ++restart) {
        const QJsonArray records = engine({"logs"}).value("records").toArray();
        ASSERT_EQ(records.size(), 2);
        EXPECT_TRUE(records.at(0).toObject().value("message").toString().contains("tank/e1gone2"));
        EXPECT_TRUE(records.at(1).toObject().value("message").toString().contains("tank/e1gone1"));
    }
    EXPECT_TRUE(QFile::exists(hostFile("/kozu/var/db/kozulog.db")));
    ASSERT_TRUE(engine({"logclear"}).value("ok").toBool());
    const QJsonObject after = engine({"logs"});
    EXPECT_TRUE(after.value("ok").toBool());
    EXPECT_TRUE(after.value("records").toArray().isEmpty());
}

} // namespace
