// Claims across processes on real zfs-fuse pools and a real sshd: while a
// `vxrclient --upload` pass sends a dataset over the throttled link, a
// pruning pass of it in another process leaves it alone; once the pass
// is done, its base is recorded and the next pruning pass prunes.
#include "hx2runner.h"
#include "retentionbench.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

namespace {

class Claims : public RetentionBench
{
protected:
    void TearDown() override
    {
        if (!IsSkipped())
            bench().clearThrottle();
    }

    // The service's configuration at its default place under the root, the
    // dataset as root dataset, and the bench's account.
    void configure(const QString& dataset)
    {
        const QJsonObject retention{{"local", QJsonObject{{"last", 1}}}};
        writeJson(kConfig, QJsonObject{{"vg", dataset.section('/', 0, 0)},
                                       {"lv", dataset.section('/', 1)},
                                       {"retention", retention}});
        writeJson("/kozu/etc/vxrclientisp/settings.json",
                  QJsonObject{{"active", true}, {"server", serverAccount()}, {"dmpaths", QJsonArray{dataset}}});
    }

    zbench::Env env() const { return {{"VXR_FILES_ROOT", m_root}}; }

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

    static constexpr const char* kConfig = "/kozu/etc/vxrclient/config.json";
};

TEST_F(Claims, PruningLeavesADatasetTheUploadPassSendsAndPrunesAfterIt)
{
    Bench& b = bench();
    const QString ds = "tank/clm1";
    ASSERT_TRUE(createFresh(ds));
    QString error;
    ASSERT_TRUE(b.fill(Host::Appliance, ds, 41, 2, 64 * 1024, &error)) << error.toStdString();
    snapshot(vxr(ds, 1));
    snapshot(vxr(ds, 2));
    configure(ds);

    // A first pass, unthrottled: the base is the newest it sent.
    Result r = b.run(Host::Appliance, {QStringLiteral(VXRCLIENT_BIN), "--upload"}, 300000, env());
    ASSERT_EQ(r.exitCode, 0) << r.out.toStdString() << r.err.toStdString();
    EXPECT_EQ(runDriver(kConfig, {"logs", ds}).value("base").toString(), vxr(ds, 2));

    // The second pass sends 4 MB at 256 KiB/s; meanwhile a pruning pass,
    // which would take vxr(1), finds the dataset claimed.
    ASSERT_TRUE(b.fill(Host::Appliance, ds, 42, 2, 2 << 20, &error)) << error.toStdString();
    snapshot(vxr(ds, 3));
    snapshot(vxr(ds, 4));
    ASSERT_TRUE(b.setThrottle("256K"));
    std::unique_ptr<QProcess> pass = startPass();
    ASSERT_TRUE(pass) << "the transfer did not start";
    const QJsonObject during = runDriver(kConfig, {"prune", ds});
    EXPECT_EQ(pass->state(), QProcess::Running) << "the pruning pass ran after the transfer";
    EXPECT_TRUE(during.value("messages").toArray().isEmpty());
    EXPECT_EQ(b.snapshots(Host::Appliance, ds).size(), 4);

    b.clearThrottle();
    ASSERT_TRUE(pass->waitForFinished(300000));
    EXPECT_EQ(pass->exitCode(), 0) << pass->readAllStandardOutput().toStdString();
    const QJsonObject after = runDriver(kConfig, {"prune", ds});
    EXPECT_EQ(after.value("base").toString(), vxr(ds, 4));
    EXPECT_TRUE(after.value("messages").toArray().contains(QString(kPruned + "2 " + ds)))
        << QJsonDocument(after).toJson().toStdString();
    // The old base stays while the server held it at the pass.
    EXPECT_EQ(b.snapshots(Host::Appliance, ds), QStringList({vxr(ds, 2), vxr(ds, 4)}));
    EXPECT_EQ(holds(Host::Server, ds).last(), vxr(ds, 4) + "\t1");
}

} // namespace
