// The full-restore request and the restore of one dataset, driven through
// scripted programs: every refusal of the request, the tasks it queues,
// and each outcome of a restore with its record.
#include "fakeprograms.h"
#include "hx2file.h"
#include "hx2runner.h"
#include "hx2journals.h"
#include "phpaths.h"
#include "vxrclient.h"
#include "vxrengine.h"
#include "vxroplog.h"
#include "vxrplan.h"
#include "vxrtransfer.h"
#include "vxrzfs.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

namespace {

using Record = QPair<QString, int>;

// The process's peak resident memory so far, from /proc.
qint64 peakRssBytes()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return 0;
}

// The server's and the appliance's answers.
struct World
{
    QString serverDatasets = "tank\ntank/a\ntank/b c\n";
    int serverRc = 0;
    QString localDatasets = "tank\ntank/home\n";
    int localRc = 0;
    QString snapshots = "tank/a@1\ntank/a@2\ntank/a@3\n";
    // Snapshots the appliance holds of a dataset that exists there.
    QString localSnapshots;
    // Every dataset's list is DS@1, DS@2 instead of snapshots.
    bool perDataset = false;
    FakePrograms::Transfer transfer;
    // The appliance's mount points: the pool's, and those of the restored
    // dataset and below it (the default: each at its place under /tank).
    QString poolMountpoint = "/tank\n";
    // The restore's mark on an existing dataset, and the bytes written to
    // it since its newest snapshot.
    QString mark = "-\t-\n";
    QString written = "0\n";
    QString mountpoints;
    int mountpointsRc = 0;
};

class Restore : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid());
        PHPaths::setRoot(m_root.path());
        engine = std::make_unique<VxrClient>();
        fake = std::make_shared<FakePrograms>();
        engine->setPrograms(fake);
        play(World{});
    }

    void TearDown() override
    {
        fake->killAll();
        EXPECT_TRUE(engine->quit(20000));
        PHPaths::setRoot(QString());
    }

    void play(const World& w)
    {
        fake->onRun([w](const VxrCommand& c) {
            if (c.program == "sshpass") {
                const QString remote = c.args.last();
                if (remote == "/usr/sbin/zfs list -H -o name")
                    return FakePrograms::exited(w.serverRc, "Permission denied", w.serverDatasets.toUtf8());
                if (remote.startsWith("/usr/sbin/zfs list -t snapshot")) {
                    QString ds = remote.section(" name ", 1);
                    ds = ds.mid(1, ds.size() - 2);
                    const QString list = w.perDataset ? ds + "@1\n" + ds + "@2\n" : w.snapshots;
                    return FakePrograms::exited(w.serverRc, "Permission denied", list.toUtf8());
                }
                if (remote.startsWith("/usr/sbin/zfs send -RPnv"))
                    return FakePrograms::ok("size\t1000\n");
                return FakePrograms::exited(9);
            }
            if (c.args == QStringList{"list", "-H", "-o", "name"})
                return FakePrograms::exited(w.localRc, "zfs broke", w.localDatasets.toUtf8());
            if (c.args.mid(0, 3) == QStringList{"list", "-t", "snapshot"})
                return FakePrograms::ok(w.localSnapshots.toUtf8());
            if (c.args.value(0) == "mount" || c.args.value(0) == "inherit")
                return FakePrograms::ok();
            if (c.args.value(0) == "get" && c.args.contains("-r")) {
                const QString ds = c.args.last();
                const QString below = w.mountpoints.isEmpty() ? ds + "\t/" + ds + "\treceived\n" : w.mountpoints;
                return FakePrograms::exited(w.mountpointsRc, "zfs broke", below.toUtf8());
            }
            if (c.args.value(0) == "get" && c.args.contains("vxr:restore"))
                return FakePrograms::ok(w.mark.toUtf8());
            if (c.args.value(0) == "get" && c.args.contains("written"))
                return FakePrograms::ok(w.written.toUtf8());
            if (c.args.value(0) == "get")
                return FakePrograms::ok(w.poolMountpoint.toUtf8());
            return FakePrograms::exited(9);
        });
        fake->onTransfer([w](const VxrCommand&) { return w.transfer; });
    }

    QList<Record> records() const
    {
        HX2Journals journal;
        QJsonArray all;
        EXPECT_TRUE(engine->logAlload(journal, all));
        QList<Record> out;
        for (const QJsonValue& v : all) {
            EXPECT_EQ(v.toObject().value("action").toInt(), VxrLog::kActionRestore);
            out.prepend({v.toObject().value("message").toString(), v.toObject().value("state").toInt()});
        }
        return out;
    }

    QJsonArray listing() const
    {
        HX2Journals journal;
        QJsonArray tasks;
        engine->taskAlload(journal, tasks);
        return tasks;
    }

    QStringList programsRun() const
    {
        QStringList out;
        for (const VxrCommand& c : fake->runs())
            out << (c.program == "sshpass" ? "server: " + c.args.last() : c.program + " " + c.args.join(' '));
        return out;
    }

    static VxrTask task(const QString& dataset, int port = 22)
    {
        VxrTask t = VxrTask::restore(dataset, VxrSsh::Account{"h", port, "u", "p\"a$s 'w`d\\"});
        t.index = 1;
        return t;
    }

    QTemporaryDir m_root;
    std::unique_ptr<VxrClient> engine;
    std::shared_ptr<FakePrograms> fake;
};

TEST_F(Restore, RequestRefusalsQueueNothing)
{
    struct Case { const char* name; World world; QString user; int err; QString errmsg; Record record; int ran; };
    const Record none;
    const Record cloud{VxrLog::kCloudInfoFailed, 3};
    World refused;
    refused.serverRc = 5;
    World poolsOnly;
    poolsOnly.serverDatasets = "tank\nother\n";
    World clash;
    clash.localDatasets = "tank\ntank/a\n";
    World missingPools;
    missingPools.serverDatasets = "tank\nx/a\ny/b\nx/c\nz/deep/er\n";
    World both;
    both.serverDatasets = "tank/a\nother/x\n";
    both.localDatasets = "tank\ntank/a\n";
    World localFails;
    localFails.localRc = 1;
    World invalid;
    invalid.serverDatasets = "tank\ntank/a\ntank/b;reboot\n-o\n";
    World tooMany;
    tooMany.serverDatasets = "tank\n";
    for (int i = 0; i <= VxrPlan::kMaxRestoreTasks; ++i)
        tooMany.serverDatasets += QString("tank/d%1\n").arg(i);
    const Case cases[] = {
        {"server list refused", refused, "u", 9886, "操作失败，可能是云机账号或密码错误", cloud, 1},
        {"only pools on the server", poolsOnly, "u", 9994, "云机上没有备份的数据，无法恢复", none, 1},
        {"dataset exists here", clash, "u", 9993, "本地磁盘上的卷已存在，无法覆盖恢复，请先删除: tank/a", none, 3},
        {"pools missing here", missingPools, "u", 9887, "本地磁盘上的Pool不存在，需要先创建好: x, y", none, 2},
        {"clash reported before missing pool", both, "u", 9993, "本地磁盘上的卷已存在，无法覆盖恢复，请先删除: tank/a",
         none, 3},
        {"local list fails: journal as it was", localFails, "u", 1234, "earlier", none, 2},
        {"user like an option", World{}, "-oProxyCommand=x", 9994, "账号设置无效", none, 0},
        {"names zfs would not make", invalid, "u", 9886, "操作失败，云机上的卷列表无效",
         {QString(VxrLog::kRestoreFail) + ": the server lists 2 dataset names zfs would not make", 3}, 1},
        {"more datasets than one request restores", tooMany, "u", 9886, "操作失败，云机上的卷超过 10000 个，无法一次恢复",
         {QString(VxrLog::kRestoreFail) + ": the server lists 10001 datasets, more than the 10000 one request restores",
          3},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake = std::make_shared<FakePrograms>();
        engine->setPrograms(fake);
        play(c.world);
        HX2Journals journal;
        engine->logClear(journal);
        journal.setErr(1234, "earlier");
        EXPECT_FALSE(engine->restoreAll(journal, "h", 22, c.user, "pw"));
        EXPECT_EQ(journal.err(), c.err);
        EXPECT_EQ(journal.errmsg(), c.errmsg);
        EXPECT_EQ(records(), c.record == none ? QList<Record>() : QList<Record>{c.record});
        EXPECT_EQ(fake->runs().size(), c.ran);
        EXPECT_TRUE(listing().isEmpty());
    }
}

// Tasks in the server's order with consecutive indexes, the port made
// usable; a second request while the worker runs starts no second one.
TEST_F(Restore, RequestQueuesOneTaskPerDataset)
{
    for (const int port : {0, 70000}) {
        SCOPED_TRACE(port);
        engine->units().worker.running().store(true); // a worker runs: nothing is taken
        HX2Journals journal;
        ASSERT_TRUE(engine->restoreAll(journal, "h", port, "u", "pw"));
        EXPECT_EQ(journal.err(), 9999);
        const QJsonArray tasks = listing();
        ASSERT_EQ(tasks.size(), 2);
        const QJsonObject a = tasks.at(0).toObject();
        const QJsonObject b = tasks.at(1).toObject();
        EXPECT_EQ(a.value("dmpath").toString(), "tank/a");
        EXPECT_EQ(b.value("dmpath").toString(), "tank/b c");
        EXPECT_EQ(b.value("index").toInt(), a.value("index").toInt() + 1);
        EXPECT_EQ(a.value("port").toInt(), 22);
        EXPECT_EQ(a.value("action").toInt(), 3);
        EXPECT_EQ(a.value("server").toString(), "h");
        EXPECT_EQ(a.value("userid").toString(), "u");
        EXPECT_FALSE(a.contains("passwd")) << "the listing never shows the password";
        EXPECT_TRUE(fake->transfers().isEmpty());
        engine->units().worker.queue().remove(a.value("index").toInt());
        engine->units().worker.queue().remove(b.value("index").toInt());
    }
    engine->units().worker.running().store(false);
    const VxrCommand listed = fake->runs().first();
    EXPECT_EQ(listed.options.env.value("SSHPASS"), "pw");
    EXPECT_TRUE(listed.args.contains("22"));
}

TEST_F(Restore, OutcomesOfOneDataset)
{
    struct Case {
        const char* name;
        World world;
        QString dataset;
        QStringList sends;
        bool mounted;
        QList<Record> records;
        bool result;
    };
    const QList<Record> success{{VxrLog::kRestoreSuccess, 9}};
    const QList<Record> fail{{VxrLog::kRestoreFail, 3}};
    World three;
    World one;
    one.snapshots = "tank/a@1\n";
    World listingFails;
    listingFails.serverRc = 255;
    World empty;
    empty.snapshots = "";
    World foreign;
    foreign.snapshots = "tank/a@1\ntank/b@2\n";
    World injected;
    injected.snapshots = "tank/a@1\ntank/a@$(touch x)\n";
    World broughtByParent;
    broughtByParent.localDatasets = "tank\ntank/a\n";
    broughtByParent.localSnapshots = "tank/a@1\ntank/a@2\ntank/a@3\n";
    World createdMeanwhile;
    createdMeanwhile.localDatasets = "tank\ntank/a\n";
    World failing;
    failing.transfer.exitCode = 1;
    failing.transfer.marker = false;
    World unmarked;
    unmarked.transfer.marker = false;
    World names;
    names.snapshots = "tank/a b:c@vxr_1\ntank/a b:c@vxr_2\n";
    World stray;
    stray.mountpoints = "tank/a\t/etc\treceived\ntank/a@1\t-\t-\ntank/a/b\t/tank/a/b\treceived\n"
                        "tank/a/c\t/tank/../root\tlocal\ntank/a/d\tnone\treceived\ntank/a/e\t/etc/e\tinherited from tank/a\n";
    World unreadableMountpoints;
    unreadableMountpoints.mountpointsRc = 1;
    const Case cases[] = {
        {"three snapshots: full, then increments", three, "tank/a", {"send -R tank/a@1", "send -RI tank/a@1 tank/a@3"},
         true, success, true},
        {"one snapshot: full only", one, "tank/a", {"send -R tank/a@1"}, true, success, true},
        {"blanks and colons", names, "tank/a b:c", {"send -R tank/a b:c@vxr_1", "send -RI tank/a b:c@vxr_1 tank/a b:c@vxr_2"},
         true, success, true},
        {"server list fails", listingFails, "tank/a", {}, false, {{VxrLog::kCloudInfoFailed, 3}}, false},
        {"nothing on the server", empty, "tank/a", {}, false, {}, false},
        {"snapshot of another dataset", foreign, "tank/a", {}, false, fail, false},
        {"name zfs would not make", injected, "tank/a", {}, false, fail, false},
        {"dataset name zfs would not make", three, "tank/a;x", {}, false, fail, false},
        {"brought by its parent's stream", broughtByParent, "tank/a", {}, true, success, true},
        {"created since the request", createdMeanwhile, "tank/a", {}, false, fail, false},
        {"transfer fails", failing, "tank/a", {"send -R tank/a@1"}, false, fail, false},
        {"script exits 0 without the marker", unmarked, "tank/a", {"send -R tank/a@1"}, false, fail, false},
        {"mount points out of the pool reset", stray, "tank/a", {"send -R tank/a@1", "send -RI tank/a@1 tank/a@3"},
         true, {{QString(VxrLog::kRestoreSuccess) + ": mountpoint reset: tank/a from /etc; tank/a/c from /tank/../root", 9}},
         true},
        {"mount points unreadable: not mounted", unreadableMountpoints, "tank/a",
         {"send -R tank/a@1", "send -RI tank/a@1 tank/a@3"}, false, fail, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake = std::make_shared<FakePrograms>();
        engine->setPrograms(fake);
        play(c.world);
        HX2Journals journal;
        engine->logClear(journal);
        EXPECT_EQ(engine->vxrRestore(task(c.dataset)), c.result);
        EXPECT_EQ(fake->sends(), c.sends);
        EXPECT_EQ(programsRun().contains("/usr/sbin/zfs mount " + c.dataset), c.mounted) << programsRun().join('\n').toStdString();
        EXPECT_EQ(records(), c.records);
        // Each reset comes before the mount.
        const QStringList ran = programsRun();
        const int mounted = ran.indexOf("/usr/sbin/zfs mount " + c.dataset);
        for (int i = 0; i < ran.size(); ++i) {
            if (ran.at(i).startsWith("zfs inherit mountpoint "))
                EXPECT_LT(i, mounted) << ran.at(i).toStdString();
        }
        for (const VxrCommand& t : fake->transfers()) {
            EXPECT_TRUE(pipelineOf(t).contains("-o sharenfs=off -o sharesmb=off"));
            EXPECT_EQ(t.options.env.value("SSHPASS"), "p\"a$s 'w`d\\");
            EXPECT_FALSE(VxrPrograms::shellText(t).contains("w`d"));
        }
    }
}

// A cancel that arrives before a step is obeyed there: nothing more is
// started, nothing mounted, and the cancel is recorded, also when the
// dataset turns out to be complete already.
TEST_F(Restore, CancelBeforeEachStepStartsNothingMore)
{
    World complete;
    complete.localDatasets = "tank\ntank/a\n";
    complete.localSnapshots = "tank/a@1\ntank/a@2\ntank/a@3\n";
    // Server list, the two estimates, the appliance's datasets and the
    // dataset's snapshots.
    for (int at = 0; at <= 5; ++at) {
        SCOPED_TRACE(at);
        fake = std::make_shared<FakePrograms>();
        engine->setPrograms(fake);
        play(complete);
        HX2Journals journal;
        engine->logClear(journal);
        engine->units().worker.running().store(true);
        const int index = engine->units().worker.queue().enqueue({task("tank/a")}).first();
        VxrTask queued = task("tank/a");
        queued.index = index;
        if (at == 0)
            engine->units().worker.queue().cancel(index);
        else
            fake->afterRun([&, at] {
                if (fake->runs().size() == at)
                    engine->units().worker.queue().cancel(index);
            });
        EXPECT_FALSE(engine->vxrRestore(queued));
        EXPECT_EQ(fake->runs().size(), at);
        EXPECT_EQ(records(), (QList<Record>{{VxrLog::kCancelRestore, 8}}));
        engine->units().worker.queue().remove(index);
        engine->units().worker.running().store(false);
    }
}

// The choices of a request: each refusal, checked before anything is
// queued, and the task that is queued, with its snapshot and target.
TEST_F(Restore, ChosenRequestRefusalsAndTasks)
{
    World untrusted;
    untrusted.snapshots = "tank/a@1\ntank/a@$(x)\n";
    World copy;
    copy.localDatasets = "tank\ntank/copy\n";
    copy.localSnapshots = "tank/copy@1\n";
    copy.mark = "tank/a\tlocal\n";
    World changed = copy;
    changed.written = "512\n";
    World otherMark = copy;
    otherMark.mark = "tank/b c\tlocal\n";
    struct Case { const char* name; World world; VxrPlan::RestoreChoice choice; int err; QString errmsg; };
    const Case cases[] = {
        {"not on the server", World{}, {"tank/zz", "", ""}, 9884, "云机上没有这个卷: tank/zz"},
        {"snapshot not held", World{}, {"tank/a", "9", ""}, 9883, "云机上没有这个快照: tank/a@9"},
        {"list not to be trusted", untrusted, {"tank/a", "", ""}, 9886, "操作失败，云机上的快照列表无效: tank/a"},
        {"target exists", World{}, {"tank/a", "", "tank/home"}, 9993, "本地磁盘上的卷已存在，无法覆盖恢复，请先删除: tank/home"},
        {"target's pool missing", World{}, {"tank/a", "", "other/x"}, 9887, "本地磁盘上的Pool不存在，需要先创建好: other"},
        {"target's parent missing", World{}, {"tank/a", "", "tank/n/x"}, 9882, "本地磁盘上的上级卷不存在，需要先创建好: tank/n"},
        {"unfinished but written to", changed, {"tank/a", "", "tank/copy"}, 9993,
         "本地磁盘上的卷已存在，无法覆盖恢复，请先删除: tank/copy"},
        {"unfinished restore of another dataset", otherMark, {"tank/a", "", "tank/copy"}, 9993,
         "本地磁盘上的卷已存在，无法覆盖恢复，请先删除: tank/copy"},
        {"queued beside the live one", World{}, {"tank/a", "2", "tank/copy"}, 9999, ""},
        {"unfinished restore goes on", copy, {"tank/a", "", "tank/copy"}, 9999, ""},
    };
    engine->units().worker.running().store(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        play(c.world);
        HX2Journals journal;
        EXPECT_EQ(engine->restoreAll(journal, "h", 22, "u", "pw", c.choice), c.err == 9999);
        EXPECT_EQ(journal.err(), c.err);
        EXPECT_EQ(journal.errmsg(), c.errmsg);
        const QJsonArray tasks = listing();
        ASSERT_EQ(tasks.size(), c.err == 9999 ? 1 : 0);
        if (tasks.isEmpty())
            continue;
        const QJsonObject t = tasks.at(0).toObject();
        EXPECT_EQ(t.value("dmpath").toString(), "tank/a");
        EXPECT_EQ(t.value("target").toString(), "tank/copy");
        EXPECT_EQ(t.value("snapshot").toString(), c.choice.snapshot.isEmpty() ? QString() : "tank/a@2");
        engine->units().worker.queue().remove(t.value("index").toInt());
    }
    engine->units().worker.running().store(false);
}

// What a restore receives for each choice, and into what: up to a chosen
// snapshot, beside the live dataset, and the rest of an unfinished restore.
TEST_F(Restore, ChoicesRunAsPlanned)
{
    World beside;
    beside.mountpoints = "tank/copy\t/tank/copy\tinherited from tank\n";
    World unfinished;
    unfinished.localDatasets = "tank\ntank/a\n";
    unfinished.localSnapshots = "tank/a@1\n";
    unfinished.mark = "tank/a\tlocal\n";
    World whole = unfinished;
    whole.localSnapshots = "tank/a@1\ntank/a@2\ntank/a@3\n";
    World written = unfinished;
    written.written = "4096\n";
    const QList<Record> success{{VxrLog::kRestoreSuccess, 9}};
    const QList<Record> fail{{VxrLog::kRestoreFail, 3}};
    struct Case { const char* name; World world; QString snapshot; QString target; QStringList sends; QList<Record> records; bool cleared; };
    const Case cases[] = {
        {"up to the second", World{}, "tank/a@2", "", {"send -R tank/a@1", "send -RI tank/a@1 tank/a@2"}, success, true},
        {"the first only", World{}, "tank/a@1", "", {"send -R tank/a@1"}, success, true},
        {"beside the live one", beside, "", "tank/copy", {"send -R tank/a@1", "send -RI tank/a@1 tank/a@3"}, success, true},
        {"unfinished goes on", unfinished, "", "", {"send -RI tank/a@1 tank/a@3"}, success, true},
        {"unfinished, all in", whole, "", "", {}, success, true},
        {"unfinished, written to since", written, "", "", {}, fail, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake = std::make_shared<FakePrograms>();
        engine->setPrograms(fake);
        play(c.world);
        HX2Journals journal;
        engine->logClear(journal);
        VxrTask t = task("tank/a");
        t.snapshot = c.snapshot;
        t.target = c.target;
        EXPECT_EQ(engine->vxrRestore(t), c.records == success);
        EXPECT_EQ(fake->sends(), c.sends);
        EXPECT_EQ(records(), c.records);
        const QString into = t.receivedInto();
        EXPECT_EQ(programsRun().contains("zfs inherit vxr:restore " + into), c.cleared);
        for (const VxrCommand& transfer : fake->transfers()) {
            const QString text = pipelineOf(transfer);
            EXPECT_TRUE(text.endsWith(" '" + into + "' && echo vxr-stream-complete")) << text.toStdString();
            EXPECT_EQ(text.contains("'vxr:restore=tank/a'"), text.contains(" -u "));
        }
    }
}

// The full phase ends at 40%; the increments' meter then shows 50%: the
// task shows 70, and 100 once restored.
TEST_F(Restore, ProgressMapsTheIncrementsOntoTheRest)
{
    World w;
    w.transfer.chunks = {"\r[1.5MiB/s] [==>  ]  40%"};
    play(w);
    fake->onTransfer([](const VxrCommand& c) {
        FakePrograms::Transfer t;
        t.chunks = {pipelineOf(c).contains("send -RI") ? QByteArray("\r[2.0MiB/s] [==>  ]  50%")
                                                        : QByteArray("\r[1.5MiB/s] [==>  ]  40%")};
        return t;
    });
    QList<int> rates;
    fake->onPoll([&] { rates << listing().at(0).toObject().value("rate").toInt(); });
    engine->units().worker.queue().enqueue({task("tank/a")});
    const QJsonObject queued = listing().at(0).toObject();
    VxrTask withAccount = task("tank/a");
    withAccount.index = queued.value("index").toInt();
    ASSERT_TRUE(engine->vxrRestore(withAccount));
    EXPECT_TRUE(rates.contains(40));
    EXPECT_TRUE(rates.contains(70));
    const QJsonObject done = listing().at(0).toObject();
    EXPECT_EQ(done.value("rate").toInt(), 100);
    EXPECT_EQ(done.value("totalsize").toInt(), 2000);
    EXPECT_EQ(done.value("currsize").toInt(), 2000);
}

// Cancel of a running restore and the service's quit, through the worker.
TEST_F(Restore, CancelAndQuit)
{
    World w;
    w.transfer.holdUntilKilled = true;
    w.perDataset = true;
    play(w);
    HX2Journals journal;
    ASSERT_TRUE(engine->restoreAll(journal, "h", 22, "u", "pw"));
    QElapsedTimer t;
    t.start();
    while (fake->running() == 0 && t.elapsed() < 20000)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(fake->running(), 1);
    const int first = listing().at(0).toObject().value("index").toInt();
    ASSERT_TRUE(engine->taskCancel(journal, first));
    while ((fake->running() == 0 || listing().size() != 1) && t.elapsed() < 20000)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(records(), (QList<Record>{{VxrLog::kCancelRestore, 8}}));

    engine->quit(0);
    fake->killAll();
    ASSERT_TRUE(engine->units().worker.waitIdle(20000));
    EXPECT_EQ(records(), (QList<Record>{{VxrLog::kCancelRestore, 8}, {VxrLog::kRestoreFail, 3}}));
    EXPECT_EQ(fake->killed(), 1);
}

// A phase still running when its bound passes is a failure, and its
// process tree is ended (a restore's bound is ten days).
TEST(TransferLoop, APhaseStillRunningAtItsBoundFails)
{
    FakePrograms fake;
    fake.onTransfer([](const VxrCommand&) {
        FakePrograms::Transfer t;
        t.holdUntilKilled = true;
        return t;
    });
    VxrTaskQueue queue;
    const int index = queue.enqueue({VxrTask::restore("t/a", VxrSsh::Account())}).first();
    const std::atomic<bool> quitting{false};
    VxrTransferJob job;
    job.pollMs = 1;
    job.taskIndex = index;
    job.limitMs = 200;
    EXPECT_EQ(runTransfer(fake, &queue, quitting, job).outcome, VxrTransferResult::Failed);
    EXPECT_EQ(fake.killed(), 1);
    EXPECT_EQ(fake.running(), 0);
}

// A server whose every query prints without end: each query is cut off at
// its cap and fails as an unreadable listing would, within seconds, with
// no process left and the memory it took bounded by the cap.
TEST_F(Restore, ServerThatPrintsWithoutEndIsCutOff)
{
    const QString bin = m_root.filePath("bin");
    ASSERT_TRUE(QDir().mkpath(bin));
    QFile standIn(bin + "/sshpass");
    ASSERT_TRUE(standIn.open(QIODevice::WriteOnly));
    // Fast enough to pass the cap within seconds, slow enough that a run
    // without it cannot take the machine's memory before the watchdog.
    standIn.write("#!/bin/sh\nyes 'tank/a@vxr_20260101000000\t1K\t1K' | pv -q -L 50M\n");
    standIn.close();
    standIn.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", bin.toUtf8() + ":" + path);
    engine->setPrograms(std::make_shared<VxrPrograms>());
    ASSERT_TRUE(HX2File::saveJson(engine->units().settings.settingsPath(),
                                  QJsonObject{{"server", QJsonObject{{"host", "h"}, {"uid", "u"}, {"pwd", "p"}}}}, false));
    HX2Journals journal;
    engine->loadSettings(journal, nullptr);
    engine->logClear(journal);

    const qint64 peakBefore = peakRssBytes();
    std::atomic<bool> done{false};
    std::thread calls([&] {
        QJsonArray listed;
        EXPECT_FALSE(engine->remoteAllSnapshots(journal, listed));
        EXPECT_TRUE(listed.isEmpty());
        EXPECT_FALSE(engine->restoreAll(journal, "h", 22, "u", "p"));
        EXPECT_EQ(journal.err(), 9886);
        EXPECT_FALSE(engine->vxrRestore(task("tank/a")));
        done.store(true);
    });
    QElapsedTimer t;
    t.start();
    while (!done.load() && t.elapsed() < 30000)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(done.load()) << "a query still ran after 30 s";
    // Without a cap the queries end only when their programs do.
    while (!done.load()) {
        for (const qint64 pid : HX2Runner::descendants(QCoreApplication::applicationPid()))
            ::kill(pid_t(pid), SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    calls.join();
    qputenv("PATH", path);
    EXPECT_EQ(records(), (QList<Record>{{VxrLog::kCloudInfoFailed, 3}, {VxrLog::kCloudInfoFailed, 3}}));
    EXPECT_TRUE(HX2Runner::descendants(QCoreApplication::applicationPid()).isEmpty());
    // The cap's buffer, grown by doubling, and no more.
    EXPECT_LT(peakRssBytes() - peakBefore, 3 * VxrZfs::kMaxServerOutput);
}

} // namespace
