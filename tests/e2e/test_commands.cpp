// The whole service on the real-ZFS bench, driven only through its socket
// as the management layer drives it: settings, a scheduled upload, a
// cancel, the server's listing, a full restore and the operation log.
#include "hx2localserver.h"
#include "vxroplog.h"
#include "zbenchtest.h"

#include "../printqt.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <functional>

using zbench::Bench;
using zbench::Host;

namespace {

class ServiceFlow : public zbench::BenchTest
{
protected:
    void TearDown() override
    {
        if (m_service && m_service->state() != QProcess::NotRunning) {
            m_service->kill();
            m_service->waitForFinished(5000);
        }
        if (!IsSkipped())
            bench().clearThrottle();
    }

    // A dataset with one "vxr_" snapshot per entry, new files before each.
    void makeDataset(const QString& ds, quint32 seed, const QList<qint64>& snapshotBytes)
    {
        Bench& b = bench();
        ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "create", ds}).ok()) << qPrintable(ds);
        QString err;
        for (int i = 0; i < snapshotBytes.size(); ++i) {
            ASSERT_TRUE(b.fill(Host::Appliance, ds, seed + i, 2, snapshotBytes.at(i) / 2, &err)) << qPrintable(err);
            ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "snapshot", ds + QStringLiteral("@vxr_%1").arg(i + 1)}).ok());
        }
    }

    void startService()
    {
        ASSERT_TRUE(m_root.isValid());
        m_socket = m_root.filePath("agent.sock");
        ASSERT_TRUE(QDir().mkpath(m_root.filePath("kozu/etc/vxrclient")));
        QFile f(m_root.filePath("kozu/etc/vxrclient/config.json"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QJsonDocument(QJsonObject{{"vg", "tank"}, {"lv", "home"}, {"localagentid", m_socket}}).toJson());
        f.close();
        m_service = bench().spawn(Host::Appliance, {QStringLiteral(VXRCLIENT_BIN)}, {{"VXR_FILES_ROOT", m_root.path()}});
        ASSERT_TRUE(m_service);
        for (int i = 0; i < 150 && call("vxrclient_task_alload").value("err").toInt(-1) != 0; ++i)
            QThread::msleep(100);
        ASSERT_EQ(call("vxrclient_task_alload").value("err").toInt(-1), 0) << m_service->readAllStandardOutput().constData();
    }

    QJsonObject call(const QString& cmd, const QJsonObject& params = QJsonObject())
    {
        QJsonObject request{{"cmd", cmd}};
        if (!params.isEmpty())
            request.insert("params", params);
        QJsonObject reply;
        if (!HX2LocalServer::localRequest(m_socket, request, &reply, 120))
            return QJsonObject{{"err", -1}};
        return reply;
    }

    QJsonArray records(const QString& cmd, const QJsonObject& params = QJsonObject())
    {
        const QJsonObject reply = call(cmd, params);
        EXPECT_EQ(reply.value("err").toInt(-1), 0) << cmd.toStdString() << " " << ::testing::PrintToString(reply);
        return reply.value("results").toObject().value("records").toArray();
    }

    // Lists the queue every 300 ms, each listing checked for passwords and
    // passed to done, until done says so or the time runs out; true when done.
    bool watchTasks(int timeoutMs, const std::function<bool(const QJsonArray&)>& done)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            const QJsonArray queue = records("vxrclient_task_alload");
            for (const QJsonValue& v : queue)
                EXPECT_FALSE(v.toObject().contains("passwd")) << ::testing::PrintToString(v.toObject());
            if (done(queue))
                return true;
            QThread::msleep(300);
        }
        return false;
    }

    QTemporaryDir m_root;
    QString m_socket;
    std::unique_ptr<QProcess> m_service;
};

QStringList names(const QJsonArray& records, const QString& prefix)
{
    QStringList out;
    for (const QJsonValue& v : records) {
        const QString name = v.toObject().value("name").toString();
        if (name.startsWith(prefix))
            out << name;
    }
    out.sort();
    return out;
}

} // namespace

TEST_F(ServiceFlow, UploadCancelRestoreAndLogThroughTheSocket)
{
    Bench& b = bench();
    makeDataset("tank/cmd1", 1200, {3000000, 3000000});
    makeDataset("tank/cmd2", 1300, {30000000});
    QString err;
    const QString original = b.checksum(Host::Appliance, "tank/cmd1", &err);
    ASSERT_FALSE(original.isEmpty()) << qPrintable(err);
    ASSERT_TRUE(b.setThrottle("1M"));
    startService();

    // The daily time is the next minute of the wall clock.
    const QTime at = QTime::currentTime().addSecs(60);
    const QJsonObject server{{"host", b.serverHost()}, {"port", b.port()}, {"uid", "root"}, {"pwd", b.password()},
                             {"interval", 600},
                             {"schedule", QJsonArray{QJsonObject{{"hour", at.hour()}, {"minute", at.minute()}}}}};
    ASSERT_EQ(call("vxrclient_settingsave", {{"active", 1}, {"report", QJsonObject{{"interval", 600}}},
                                             {"server", server}, {"dmpaths", QJsonArray{"tank/cmd1", "tank/cmd2"}}}),
              (QJsonObject{{"err", 0}}));

    // The first upload runs to its end; the second is cancelled once data
    // flows.
    QList<int> rates;
    int first = 0;
    int cancelled = 0;
    const bool uploaded = watchTasks(130000, [&](const QJsonArray& queue) {
        if (queue.isEmpty())
            return cancelled > 0;
        const QJsonObject head = queue.first().toObject();
        if (first == 0) {
            EXPECT_EQ(queue.size(), 2) << ::testing::PrintToString(queue);
            first = head.value("index").toInt();
        }
        if (head.value("dmpath").toString() == "tank/cmd1") {
            if (rates.isEmpty() || rates.last() != head.value("rate").toInt())
                rates << head.value("rate").toInt();
        } else if (cancelled == 0 && head.value("rate").toInt() > 0) {
            cancelled = head.value("index").toInt();
            EXPECT_EQ(call("vxrclient_task_cancel", {{"index", cancelled}}), (QJsonObject{{"err", 0}}));
        }
        return false;
    });
    ASSERT_TRUE(uploaded) << "rates " << rates.size() << ", cancelled " << cancelled;
    EXPECT_EQ(cancelled, first + 1);
    ASSERT_GE(rates.size(), 2) << "the rate of the first upload never moved";
    EXPECT_TRUE(std::is_sorted(rates.cbegin(), rates.cend()));

    const QJsonArray remote = records("vxrclient_remote_loadby");
    EXPECT_EQ(names(remote, "tank/cmd"), (QStringList{"tank/cmd1@vxr_1", "tank/cmd1@vxr_2"})) << ::testing::PrintToString(remote);
    const QJsonObject local = call("vxrclient_snapshot", {{"dmpath", "tank/cmd1"}});
    EXPECT_EQ(names(local.value("results").toObject().value("records").toArray(), ""),
              (QStringList{"tank/cmd1@vxr_1", "tank/cmd1@vxr_2"}));
    EXPECT_EQ(call("vxrclient_local_loadby", {{"dmpath", "tank/cmd1"}}), local);

    // The full restore brings back what the server holds.
    ASSERT_TRUE(b.clearThrottle());
    ASSERT_TRUE(b.destroy(Host::Appliance, "tank/cmd1", &err)) << qPrintable(err);
    ASSERT_TRUE(b.destroy(Host::Appliance, "tank/cmd2", &err)) << qPrintable(err);
    ASSERT_EQ(call("vxrclient_restore", {{"server", b.serverHost()}, {"port", b.port()}, {"userid", "root"},
                                         {"passwd", b.password()}}),
              (QJsonObject{{"err", 0}}));
    bool restoring = false;
    EXPECT_TRUE(watchTasks(120000, [&](const QJsonArray& queue) {
        for (const QJsonValue& v : queue)
            restoring = restoring || v.toObject().value("action").toInt() == VxrLog::kActionRestore;
        return queue.isEmpty();
    }));
    EXPECT_TRUE(restoring);
    EXPECT_EQ(b.checksum(Host::Appliance, "tank/cmd1", &err), original) << qPrintable(err);
    EXPECT_EQ(b.snapshots(Host::Appliance, "tank/cmd1"), (QStringList{"tank/cmd1@vxr_1", "tank/cmd1@vxr_2"}));

    // Newest first.
    QList<QPair<QString, int>> log;
    for (const QJsonValue& v : records("vxrclient_log_alload"))
        log << qMakePair(v.toObject().value("message").toString(), v.toObject().value("state").toInt());
    EXPECT_EQ(log, (QList<QPair<QString, int>>{{VxrLog::kRestoreSuccess, VxrLog::kStateSucceeded},
                                                {VxrLog::kCancelUpload, VxrLog::kStateCancelled},
                                                {VxrLog::kUploadSuccess, VxrLog::kStateSucceeded}}));
    EXPECT_EQ(call("vxrclient_log_clear"), (QJsonObject{{"err", 0}}));
    EXPECT_EQ(records("vxrclient_log_alload"), QJsonArray());

    ::kill(pid_t(m_service->processId()), SIGTERM);
    ASSERT_TRUE(m_service->waitForFinished(15000));
    EXPECT_EQ(m_service->exitCode(), 0);
    const QByteArray output = m_service->readAllStandardOutput() + m_service->readAllStandardError();
    EXPECT_FALSE(output.contains(b.password().toUtf8()));
}
