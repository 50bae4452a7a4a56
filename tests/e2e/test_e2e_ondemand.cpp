// The service's "upload" mode against the real bench: one pass sends the
// root dataset's own snapshots to the server, full and then incremental,
// and appends its outcome to the upload log.
#include "hx2runner.h"
#include "zbenchtest.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QElapsedTimer>
#include <QThread>

#include <csignal>

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

  // The pass started in the appliance, once its transfer runs (script
  // below it: the pass's pipelines have no meter); null when it did not
  // get there.
  std::unique_ptr<QProcess> startPass() {
    auto p = bench().spawn(Host::Appliance, {QStringLiteral(VXRCLIENT_BIN), "--upload"},
                           {{"VXR_FILES_ROOT", m_root.path()}});
    if (!p) return nullptr;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 60000) {
      if (!pidsNamed(p->processId(), "script").isEmpty()) {
        QThread::msleep(1000);
        return p;
      }
      QThread::msleep(100);
    }
    p->kill();
    p->waitForFinished(5000);
    return nullptr;
  }

  static QList<qint64> pidsNamed(qint64 root, const QByteArray& name) {
    QList<qint64> out;
    for (qint64 pid : HX2Runner::descendants(root)) {
      QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
      if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name) out << pid;
    }
    return out;
  }

  static bool alive(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return false;
    const QByteArray s = f.readAll();
    const int close = s.lastIndexOf(')');
    return close > 0 && s.mid(close + 2, 1) != "Z";
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

// A pass whose transfer would run for a minute: SIGTERM ends its whole
// process tree at once and the pass with the full transfer's failure; and
// a script killed from outside, which itself exits 0, fails the pass too.
TEST_F(OnDemandUpload, StopSignalAndKilledScriptFailThePass) {
  zbench::Bench& b = bench();
  const QString ds = "tank/od3";
  ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "create", ds}).ok());
  QString err;
  ASSERT_TRUE(b.fill(Host::Appliance, ds, 31, 2, 30000000, &err)) << err.toStdString();
  snapshot(ds + "@vxr_20260101000001");
  prepare(ds, b.password());
  ASSERT_TRUE(b.setThrottle("500K"));

  struct Case { const char* name; bool wholeService; };
  for (const Case c : {Case{"SIGTERM to the service", true}, Case{"SIGTERM to script alone", false}}) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<QProcess> pass = startPass();
    ASSERT_TRUE(pass) << "the transfer did not start";
    const QList<qint64> tree = HX2Runner::descendants(pass->processId());
    const qint64 target = c.wholeService ? pass->processId() : pidsNamed(pass->processId(), "script").value(0);
    ASSERT_GT(target, 0);
    ::kill(static_cast<pid_t>(target), SIGTERM);
    ASSERT_TRUE(pass->waitForFinished(60000)) << "the pass went on after the signal";
    const QByteArray out = pass->readAllStandardOutput();
    EXPECT_EQ(pass->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(pass->exitCode(), 256 - 12) << out.constData();
    EXPECT_EQ(out.contains("Wait for quit ..."), c.wholeService) << out.constData();
    ASSERT_FALSE(logLines().isEmpty());
    EXPECT_TRUE(logLines().last().endsWith(" failed(-12)")) << qPrintable(logLines().last());
    for (qint64 p : tree) EXPECT_FALSE(alive(p)) << "process " << p << " outlived the pass";
  }
  b.clearThrottle();
  EXPECT_TRUE(b.snapshots(Host::Server, ds).isEmpty());
}

}  // namespace
