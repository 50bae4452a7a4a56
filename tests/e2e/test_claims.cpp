// Claims across processes on real zfs-fuse pools and a real sshd: while a
// `vxrclient --upload` pass sends a dataset over the throttled link, a
// pruning pass of it in another process leaves it alone; once the pass
// is done, its base is recorded and the next pruning pass prunes.
#include "hx2runner.h"
#include "zbenchtest.h"

#include "../printqt.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

using zbench::Bench;
using zbench::Host;
using zbench::Result;

namespace {

const QString kDriver = QStringLiteral(RETENTION_DRIVER);
const QString kPruned = "##$@vxr@$##Snapshots pruned##$@vxr@$##: ";

class Claims : public zbench::BenchTest
{
protected:
    void SetUp() override
    {
        zbench::BenchTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        m_root = bench().stateDir() + "/app/home/claims-"
                 + QString::fromLatin1(::testing::UnitTest::GetInstance()->current_test_info()->name());
    }

    void TearDown() override
    {
        if (!IsSkipped())
            bench().clearThrottle();
    }

    void writeJson(const QString& underRoot, const QJsonObject& o) const
    {
        const QString path = bench().hostPath(Host::Appliance, m_root + underRoot);
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
        f.write(QJsonDocument(o).toJson());
    }

    // The service's configuration at its default place under the root, the
    // dataset as root dataset, and the bench's account.
    void configure(const QString& dataset)
    {
        const QJsonObject retention{{"local", QJsonObject{{"last", 1}}}};
        writeJson(kConfig, QJsonObject{{"vg", dataset.section('/', 0, 0)},
                                       {"lv", dataset.section('/', 1)},
                                       {"retention", retention}});
        const QJsonObject server{{"host", bench().serverHost()}, {"port", bench().port()},
                                 {"uid", "root"}, {"pwd", bench().password()}};
        writeJson("/kozu/etc/vxrclientisp/settings.json",
                  QJsonObject{{"active", true}, {"server", server}, {"dmpaths", QJsonArray{dataset}}});
    }

    zbench::Env env() const { return {{"VXR_FILES_ROOT", m_root}}; }

    // One driver step ("prune": one local pruning pass; "logs": the
    // records) in a process of its own, with the dataset's recorded base.
    QJsonObject driver(const QString& op, const QString& dataset)
    {
        const Result r = bench().run(Host::Appliance, {kDriver, m_root + kConfig, op, dataset}, 600000, env());
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        for (const QString& line : r.lines()) {
            if (line.startsWith("RESULT "))
                return QJsonDocument::fromJson(line.mid(7).toUtf8()).object();
        }
        ADD_FAILURE() << "no RESULT line: " << r.out.toStdString();
        return QJsonObject();
    }

    // The pass, once its transfer runs (its pipelines run under script);
    // null when it did not get there.
    std::unique_ptr<QProcess> startPass()
    {
        auto p = bench().spawn(Host::Appliance, {QStringLiteral(VXRCLIENT_BIN), "--upload"}, env());
        if (!p)
            return nullptr;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 60000 && p->state() == QProcess::Running) {
            for (qint64 pid : HX2Runner::descendants(p->processId())) {
                QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
                if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "script")
                    return p;
            }
            QThread::msleep(100);
        }
        p->kill();
        p->waitForFinished(5000);
        return nullptr;
    }

    void snapshot(const QString& name) const
    {
        ASSERT_TRUE(bench().run(Host::Appliance, {"zfs", "snapshot", name}).ok());
    }

    static QString vxr(const QString& ds, int n) { return ds + QStringLiteral("@vxr_2026030712%1").arg(n, 2, 10, QChar('0')) + "00"; }

    static constexpr const char* kConfig = "/kozu/etc/vxrclient/config.json";
    QString m_root;
};

TEST_F(Claims, PruningLeavesADatasetTheUploadPassSendsAndPrunesAfterIt)
{
    Bench& b = bench();
    const QString ds = "tank/clm1";
    b.destroy(Host::Appliance, ds);
    b.destroy(Host::Server, ds);
    ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "create", ds}).ok());
    QString error;
    ASSERT_TRUE(b.fill(Host::Appliance, ds, 41, 2, 64 * 1024, &error)) << error.toStdString();
    snapshot(vxr(ds, 1));
    snapshot(vxr(ds, 2));
    configure(ds);

    // A first pass, unthrottled: the base is the newest it sent.
    Result r = b.run(Host::Appliance, {QStringLiteral(VXRCLIENT_BIN), "--upload"}, 300000, env());
    ASSERT_EQ(r.exitCode, 0) << r.out.toStdString() << r.err.toStdString();
    EXPECT_EQ(driver("logs", ds).value("base").toString(), vxr(ds, 2));

    // The second pass sends 4 MB at 256 KiB/s; meanwhile a pruning pass,
    // which would take vxr(1), finds the dataset claimed.
    ASSERT_TRUE(b.fill(Host::Appliance, ds, 42, 2, 2 << 20, &error)) << error.toStdString();
    snapshot(vxr(ds, 3));
    snapshot(vxr(ds, 4));
    ASSERT_TRUE(b.setThrottle("256K"));
    std::unique_ptr<QProcess> pass = startPass();
    ASSERT_TRUE(pass) << "the transfer did not start";
    const QJsonObject during = driver("prune", ds);
    EXPECT_EQ(pass->state(), QProcess::Running) << "the pruning pass ran after the transfer";
    EXPECT_TRUE(during.value("messages").toArray().isEmpty());
    EXPECT_EQ(b.snapshots(Host::Appliance, ds).size(), 4);

    b.clearThrottle();
    ASSERT_TRUE(pass->waitForFinished(300000));
    EXPECT_EQ(pass->exitCode(), 0) << pass->readAllStandardOutput().toStdString();
    const QJsonObject after = driver("prune", ds);
    EXPECT_EQ(after.value("base").toString(), vxr(ds, 4));
    EXPECT_TRUE(after.value("messages").toArray().contains(QString(kPruned + "2 " + ds)))
        << QJsonDocument(after).toJson().toStdString();
    // The old base stays while the server held it at the pass.
    EXPECT_EQ(b.snapshots(Host::Appliance, ds), QStringList({vxr(ds, 2), vxr(ds, 4)}));
    EXPECT_EQ(b.run(Host::Server, {"zfs", "list", "-t", "snapshot", "-H", "-o", "name,userrefs", ds}).lines().last(),
              vxr(ds, 4) + "\t1");
}

} // namespace
