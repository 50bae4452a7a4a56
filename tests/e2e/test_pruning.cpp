// Pruning that zfs refuses in part, on real zfs-fuse pools and a real
// sshd: each engine step runs in a fresh driver process inside the
// appliance, with its clock set to the step's time.
#include "retentionbench.h"

namespace {

class Pruning : public RetentionBench
{
protected:
    // One driver step: its operation-log messages.
    QStringList step(int minute, const QStringList& op)
    {
        const QJsonObject o = RetentionBench::step(minute, op);
        EXPECT_TRUE(o.value("ok").toBool()) << QJsonDocument(o).toJson().toStdString();
        // Each step reports only what it wrote.
        bench().run(Host::Appliance, {kDriver, m_root + "/config.json", "logclear"}, 60000,
                    {{"VXR_FILES_ROOT", m_root}});
        return o.value("messages").toVariant().toStringList();
    }
};

// A clone of an old snapshot on either side: the other candidates still
// go, the clone and its origin stay, and nothing is reported as failed.
TEST_F(Pruning, ClonedSnapshotsStayAndTheOthersGo)
{
    Bench& b = bench();
    const QString ds = "tank/prune1", clone = "tank/prune1-clone";
    for (Host host : {Host::Appliance, Host::Server}) {
        b.destroy(host, clone);
        b.destroy(host, ds);
    }
    ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "create", ds}).ok());
    QString error;
    ASSERT_TRUE(b.fill(Host::Appliance, ds, 11, 2, 1 << 18, &error)) << error.toStdString();
    configure(ds, QJsonObject{{"local", QJsonObject{{"last", 20}}}, {"remote", QJsonObject{{"last", 20}}}});
    for (int i = 1; i <= 8; ++i) {
        if (i == 5)
            ASSERT_EQ(step(i, {"upload", ds}), QStringList({"##$@vxr@$##Upload Success##$@vxr@$##"}));
        else
            step(i, {"cycle"});
    }
    ASSERT_EQ(step(9, {"upload", ds}), QStringList({"##$@vxr@$##Upload Success##$@vxr@$##"}));
    for (Host host : {Host::Appliance, Host::Server})
        ASSERT_TRUE(b.run(host, {"zfs", "clone", vxr(ds, 3), clone}).ok());

    // Keep two, and what the server held at the last upload (vxr 4): of
    // the others, the clone's origin stays.
    configure(ds, QJsonObject{{"local", QJsonObject{{"last", 2}}}, {"remote", QJsonObject{{"last", 1}}}});
    EXPECT_EQ(step(10, {"cycle"}), QStringList({kPruned + "4 " + ds}));
    EXPECT_EQ(b.snapshots(Host::Appliance, ds), QStringList({vxr(ds, 3), vxr(ds, 4), vxr(ds, 8), vxr(ds, 10)}));

    // The server keeps its own history (a remote rule is set) and prunes
    // it by its rule: of vxr 1, 2, 3, 4, 6, 7 and the old base 8, its
    // clone's origin and the old base stay.
    EXPECT_EQ(step(11, {"upload", ds}),
              QStringList({"##$@vxr@$##Upload Success##$@vxr@$##", kServerPruned + "5 " + ds}));
    EXPECT_EQ(b.snapshots(Host::Server, ds), QStringList({vxr(ds, 3), vxr(ds, 8), vxr(ds, 10)}));
    for (Host host : {Host::Appliance, Host::Server}) {
        EXPECT_TRUE(b.run(host, {"zfs", "list", "-H", "-o", "name", clone}).ok());
        b.destroy(host, clone);
        b.destroy(host, ds);
    }
}

} // namespace
