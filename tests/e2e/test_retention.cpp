// Retention on real zfs-fuse pools and a real sshd: each engine step runs
// in a fresh driver process inside the appliance (so every step is also a
// restart), with its clock set to the step's time.
#include "retentionbench.h"

#include <QMap>
#include <QProcess>
#include <QTemporaryDir>

namespace {

using Retention = RetentionBench;

TEST_F(Retention, KeepThreeHoldsTheBaseAndPrunesBothSides)
{
    Bench& b = bench();
    const QString ds = "tank/ret1";
    ASSERT_TRUE(createFresh(ds));
    QString error;
    ASSERT_TRUE(b.fill(Host::Appliance, ds, 7, 2, 1 << 20, &error)) << error.toStdString();
    ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "snapshot", ds + "@manual"}).ok());
    const QJsonObject keep3{{"local", QJsonObject{{"last", 3}}}, {"remote", QJsonObject{{"last", 1}}}};

    // No account: no server base to keep; six cycles leave three.
    configure(ds, keep3, false);
    for (int i = 1; i <= 6; ++i)
        step(i, {"cycle"});
    EXPECT_EQ(b.snapshots(Host::Appliance, ds), QStringList({ds + "@manual", vxr(ds, 4), vxr(ds, 5), vxr(ds, 6)}));
    ASSERT_TRUE(step(6, {"logclear"}).value("ok").toBool());

    // The upload holds its base on both sides; the server keeps its share.
    configure(ds, keep3, true);
    const QJsonObject up = step(7, {"upload", ds});
    ASSERT_TRUE(up.value("ok").toBool());
    EXPECT_EQ(up.value("base").toString(), vxr(ds, 6));
    EXPECT_EQ(up.value("messages").toArray().last().toString(), kServerPruned + "2 " + ds);
    EXPECT_EQ(holds(Host::Server, ds), QStringList({ds + "@manual\t0", vxr(ds, 6) + "\t1"}));
    EXPECT_EQ(holds(Host::Appliance, ds).value(3), vxr(ds, 6) + "\t1");

    // A held base cannot be destroyed by hand, on either side.
    for (Host host : {Host::Appliance, Host::Server}) {
        const Result r = b.run(host, {"zfs", "destroy", vxr(ds, 6)});
        EXPECT_FALSE(r.ok());
        EXPECT_TRUE(r.err.contains("busy")) << r.err.toStdString();
    }

    // The base survives as the oldest of the service's snapshots.
    for (int i = 8; i <= 10; ++i)
        step(i, {"cycle"});
    EXPECT_EQ(b.snapshots(Host::Appliance, ds),
              QStringList({ds + "@manual", vxr(ds, 6), vxr(ds, 8), vxr(ds, 9), vxr(ds, 10)}));

    // The next incremental starts from it; then the holds move on.
    const QJsonObject next = step(11, {"upload", ds});
    ASSERT_TRUE(next.value("ok").toBool());
    EXPECT_EQ(next.value("base").toString(), vxr(ds, 10));
    EXPECT_EQ(holds(Host::Server, ds),
              QStringList({ds + "@manual\t0", vxr(ds, 6) + "\t0", vxr(ds, 10) + "\t1"}));
    EXPECT_EQ(holds(Host::Appliance, ds),
              QStringList({ds + "@manual\t0", vxr(ds, 6) + "\t0", vxr(ds, 8) + "\t0", vxr(ds, 9) + "\t0",
                           vxr(ds, 10) + "\t1"}));
    QString before, after;
    ASSERT_FALSE((before = b.checksum(Host::Appliance, ds, &error)).isEmpty()) << error.toStdString();
    ASSERT_FALSE((after = b.checksum(Host::Server, ds, &error)).isEmpty()) << error.toStdString();
    EXPECT_EQ(before, after);
    destroyBoth(ds);
}

// Under a remote rule of its own the server keeps what the appliance has
// pruned long since, and a restore brings its oldest snapshot back whole.
TEST_F(Retention, ServerKeepsTenWhileTheApplianceKeepsThree)
{
    Bench& b = bench();
    const QString ds = "tank/ret3";
    const QString old = "tank/ret3-old";
    b.destroy(Host::Appliance, old);
    ASSERT_TRUE(createFresh(ds));
    configure(ds, QJsonObject{{"local", QJsonObject{{"last", 3}}}, {"remote", QJsonObject{{"last", 10}}}}, true);

    // The dataset's files as each cycle's snapshot took them.
    QMap<int, QString> taken;
    QString error;
    for (int i = 1; i <= 12; ++i) {
        ASSERT_TRUE(b.fill(Host::Appliance, ds, 300 + i, 1, 64 << 10, &error)) << error.toStdString();
        step(i, {"cycle"});
        ASSERT_FALSE((taken[i] = b.checksum(Host::Appliance, ds, &error)).isEmpty()) << error.toStdString();
        ASSERT_TRUE(step(i, {"upload", ds}).value("ok").toBool()) << "upload " << i;
    }
    QStringList server;
    for (int i = 3; i <= 12; ++i)
        server << vxr(ds, i);
    EXPECT_EQ(b.snapshots(Host::Appliance, ds), QStringList({vxr(ds, 10), vxr(ds, 11), vxr(ds, 12)}));
    EXPECT_EQ(b.snapshots(Host::Server, ds), server);
    EXPECT_EQ(holds(Host::Server, ds).last(), vxr(ds, 12) + "\t1");

    const QJsonObject restored = step(13, {"restore", ds, vxr(ds, 3), old});
    ASSERT_TRUE(restored.value("ok").toBool());
    EXPECT_EQ(restored.value("messages").toArray().last().toString(), "##$@vxr@$##Restore Success##$@vxr@$##");
    EXPECT_EQ(b.checksum(Host::Appliance, old, &error), taken[3]) << error.toStdString();
    EXPECT_NE(taken[3], taken[12]);
    b.destroy(Host::Appliance, old);
    destroyBoth(ds);
}

// An operator's hold on an old server snapshot: the appliance prunes it,
// the uploads after that leave it alone and succeed, and the server's own
// rule passes over it.
TEST_F(Retention, OperatorHoldOnTheServerOutlivesTheAppliancesCopy)
{
    Bench& b = bench();
    const QString ds = "tank/ret4";
    ASSERT_TRUE(createFresh(ds));
    configure(ds, QJsonObject{{"local", QJsonObject{{"last", 3}}}, {"remote", QJsonObject{{"last", 3}}}}, true);
    for (int i = 1; i <= 4; ++i) {
        step(i, {"cycle"});
        ASSERT_TRUE(step(i, {"upload", ds}).value("ok").toBool()) << "upload " << i;
    }
    ASSERT_EQ(b.snapshots(Host::Server, ds), QStringList({vxr(ds, 2), vxr(ds, 3), vxr(ds, 4)}));
    ASSERT_TRUE(b.run(Host::Server, {"zfs", "hold", "opkeep", vxr(ds, 2)}).ok());

    for (int i = 5; i <= 6; ++i) {
        step(i, {"cycle"});
        ASSERT_TRUE(step(i, {"upload", ds}).value("ok").toBool()) << "upload " << i;
    }
    EXPECT_EQ(b.snapshots(Host::Appliance, ds), QStringList({vxr(ds, 4), vxr(ds, 5), vxr(ds, 6)}));
    EXPECT_EQ(holds(Host::Server, ds),
              QStringList({vxr(ds, 2) + "\t1", vxr(ds, 4) + "\t0", vxr(ds, 5) + "\t0", vxr(ds, 6) + "\t1"}));
    b.run(Host::Server, {"zfs", "release", "opkeep", vxr(ds, 2)});
    destroyBoth(ds);
}

// Without -F nothing rolls the server's copy back: one changed since its
// newest snapshot fails the upload, with its record, until it is rolled
// back by hand.
TEST_F(Retention, ServerCopyChangedSinceItsNewestFailsTheUpload)
{
    Bench& b = bench();
    const QString ds = "tank/ret5";
    ASSERT_TRUE(createFresh(ds));
    configure(ds, QJsonObject{{"remote", QJsonObject{{"last", 5}}}}, true);
    for (int i = 1; i <= 2; ++i) {
        step(i, {"cycle"});
        ASSERT_TRUE(step(i, {"upload", ds}).value("ok").toBool()) << "upload " << i;
    }
    const Result changed = b.sh(Host::Server, "set -e; zfs set readonly=off " + ds + "; zfs mount " + ds
                                                  + "; echo stray > \"$(zfs get -H -o value mountpoint " + ds
                                                  + ")/stray\"; zfs umount " + ds + "; zfs set readonly=on " + ds);
    ASSERT_TRUE(changed.ok()) << changed.err.toStdString();

    step(3, {"cycle"});
    const QJsonObject refused = step(3, {"upload", ds});
    EXPECT_FALSE(refused.value("ok").toBool());
    EXPECT_EQ(refused.value("messages").toArray().last().toString(), "##$@vxr@$##Upload Fail##$@vxr@$##");
    EXPECT_EQ(refused.value("base").toString(), vxr(ds, 2));
    EXPECT_EQ(b.snapshots(Host::Server, ds), QStringList({vxr(ds, 1), vxr(ds, 2)}));

    ASSERT_TRUE(b.run(Host::Server, {"zfs", "rollback", vxr(ds, 2)}).ok());
    const QJsonObject after = step(4, {"upload", ds});
    EXPECT_TRUE(after.value("ok").toBool());
    EXPECT_EQ(after.value("base").toString(), vxr(ds, 3));
    EXPECT_EQ(b.snapshots(Host::Server, ds), QStringList({vxr(ds, 1), vxr(ds, 2), vxr(ds, 3)}));
    destroyBoth(ds);
}

TEST_F(Retention, WithoutTheKeyNothingIsPrunedOrHeld)
{
    Bench& b = bench();
    const QString ds = "tank/ret2";
    ASSERT_TRUE(createFresh(ds));
    configure(ds, QJsonValue(), true);
    for (int i = 1; i <= 4; ++i)
        step(i, {"cycle"});
    ASSERT_TRUE(step(5, {"upload", ds}).value("ok").toBool());
    step(6, {"cycle"});
    EXPECT_EQ(b.snapshots(Host::Appliance, ds).size(), 5);
    EXPECT_EQ(b.snapshots(Host::Server, ds).size(), 4);
    for (Host host : {Host::Appliance, Host::Server}) {
        for (const QString& line : holds(host, ds))
            EXPECT_TRUE(line.endsWith("\t0")) << line.toStdString();
    }
    destroyBoth(ds);
}

// Needs neither root nor the bench: the service refuses to start.
TEST(RetentionStart, MalformedPolicyStopsTheStartWithItsReason)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString config = root.path() + "/config.json";
    writeJsonFile(config, QJsonObject{{"localagentid", root.path() + "/agent.sock"},
                                      {"retention", QJsonObject{{"local", QJsonObject{{"daily", -3}}}}}});
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VXR_FILES_ROOT", root.path());
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(VXRCLIENT_BIN), {"--cfg", config});
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 255);
    const QString err = QString::fromUtf8(p.readAllStandardError());
    EXPECT_TRUE(err.contains("retention.local.daily: a whole number from 0 to 1000000 expected")) << err.toStdString();
    EXPECT_FALSE(QFile::exists(root.path() + "/agent.sock"));
}

} // namespace
