// The service's "upload" mode against the real bench: one pass sends the
// root dataset's own snapshots to the server, full and then incremental,
// and appends its outcome to the upload log.
#include "zbenchtest.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>

using zbench::Host;
using zbench::Result;

namespace {

class OnDemandUpload : public zbench::BenchTest {
 protected:
  // A service installation of its own: config, settings, upload log.
  void prepare(const QString& dataset, const QString& password) {
    ASSERT_TRUE(m_root.isValid());
    const QString etc = m_root.path() + "/kozu/etc";
    QDir().mkpath(etc + "/vxrclient");
    QDir().mkpath(etc + "/vxrclientisp");
    const QStringList parts = dataset.split('/');
    QJsonObject config{{"vg", parts.at(0)}, {"lv", parts.mid(1).join('/')},
                       {"localagentid", m_root.path() + "/agent.sock"}};
    write(etc + "/vxrclient/config.json", config);
    QJsonObject server{{"host", bench().serverHost()}, {"port", bench().port()},
                       {"uid", "root"}, {"pwd", password}};
    write(etc + "/vxrclientisp/settings.json", QJsonObject{{"active", true}, {"server", server}});
  }

  static void write(const QString& path, const QJsonObject& obj) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QJsonDocument(obj).toJson());
  }

  Result uploadPass() {
    return bench().run(Host::Appliance, {QStringLiteral(VXRCLIENT_BIN), "--upload"}, 300000,
                       {{"VXR_FILES_ROOT", m_root.path()}});
  }

  QStringList logLines() const {
    QFile f(m_root.path() + "/var/log/vxrclient.upload.log");
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
  }

  void snapshot(const QString& name) {
    const Result r = bench().run(Host::Appliance, {"zfs", "snapshot", name});
    ASSERT_TRUE(r.ok()) << r.err.constData();
    // Snapshot names order by time stamps; keep them distinct.
    QThread::msleep(20);
  }

  QTemporaryDir m_root;
};

TEST_F(OnDemandUpload, SendsFullThenIncrementsAndLogsEachPass) {
  zbench::Bench& b = bench();
  const QString ds = "tank/od1";
  ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "create", ds}).ok());
  QString err;
  ASSERT_TRUE(b.fill(Host::Appliance, ds, 11, 4, 256 * 1024, &err)) << err.toStdString();
  prepare(ds, b.password());

  // Only the engine's own prefix counts.
  snapshot(ds + "@manual");
  Result r = uploadPass();
  EXPECT_EQ(r.exitCode, 1) << r.out.constData();
  ASSERT_EQ(logLines().size(), 1);
  EXPECT_EQ(logLines().last().size(), 20) << "time stamp and one blank";

  snapshot(ds + "@vxr_20260101000001");
  ASSERT_TRUE(b.fill(Host::Appliance, ds, 12, 2, 128 * 1024, &err));
  snapshot(ds + "@vxr_20260101000002");
  r = uploadPass();
  EXPECT_EQ(r.exitCode, 0) << r.out.constData();
  EXPECT_TRUE(logLines().last().endsWith("  success"));
  EXPECT_EQ(b.snapshots(Host::Server, ds),
            QStringList({ds + "@vxr_20260101000001", ds + "@vxr_20260101000002"}));
  EXPECT_EQ(b.run(Host::Server, {"zfs", "get", "-H", "-o", "value", "readonly", ds}).text(), "on");

  // Nothing new: the server already holds the newest.
  r = uploadPass();
  EXPECT_EQ(r.exitCode, 255);
  EXPECT_TRUE(logLines().last().endsWith(" failed(-1)"));

  ASSERT_TRUE(b.fill(Host::Appliance, ds, 13, 2, 128 * 1024, &err));
  snapshot(ds + "@vxr_20260101000003");
  r = uploadPass();
  EXPECT_EQ(r.exitCode, 0) << r.out.constData();
  EXPECT_EQ(b.snapshots(Host::Server, ds).size(), 3);
  const QString local = b.checksum(Host::Appliance, ds, &err);
  EXPECT_FALSE(local.isEmpty()) << err.toStdString();
  EXPECT_EQ(b.checksum(Host::Server, ds, &err), local);
  EXPECT_EQ(logLines().size(), 4);
}

TEST_F(OnDemandUpload, WrongPasswordFailsTheListing) {
  zbench::Bench& b = bench();
  const QString ds = "tank/od2";
  ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "create", ds}).ok());
  snapshot(ds + "@vxr_20260101000001");
  prepare(ds, b.password() + "x");
  const Result r = uploadPass();
  EXPECT_EQ(r.exitCode, 256 - 4);
  ASSERT_FALSE(logLines().isEmpty());
  EXPECT_TRUE(logLines().last().endsWith(" failed(-4)"));
  EXPECT_TRUE(b.snapshots(Host::Server, ds).isEmpty());
}

}  // namespace
