// The restore tool's pure pieces: arguments, name checks, the server
// listing, and the transfer text run through a real bash.
#include "proctree.h"
#include "recoverplan.h"

#include "../printqt.h"

#include <QProcess>

#include <gtest/gtest.h>

using namespace Recover;

namespace {

TEST(RecoverArguments, DefaultsAndRefusals)
{
    struct Case
    {
        QStringList args;
        bool ok;
        QString vglv;
        QString into = vglv;
        QString snapshot = QString();
        int password = 2;
    };
    const Case cases[] = {
        {{"--snapshot", "s2", "srv", "bob", "pw"}, true, "vxr/data", "vxr/data", "vxr/data@s2", 4},
        {{"srv", "bob", "pw", "tank", "home", "--target=tank/co py", "--snapshot=tank/home@s1"}, true, "tank/home",
         "tank/co py", "tank/home@s1"},
        {{"srv", "--target", "tank/x", "bob", "--", "--pw"}, true, "vxr/data", "tank/x", "", 5},
        {{"srv", "bob", "pw", "--snapshot"}, false, {}},
        {{"srv", "bob", "pw", "--snapshot="}, false, {}},
        {{"srv", "bob", "pw", "--target", "tank"}, false, {}},
        {{"srv", "bob", "pw", "--target", "tank/x;y"}, false, {}},
        {{"srv", "bob", "pw", "--snapshot", "tank/other@s1"}, false, {}},
        {{"srv", "bob", "pw", "--snapshot", "a$(id)"}, false, {}},
        {{"srv", "bob", "pw"}, true, "vxr/data"},
        {{"srv", "bob", "pw", "tank"}, true, "vxr/data"},
        {{"srv", "bob", "pw", "tank", "home/a b", "extra"}, true, "tank/home/a b"},
        {{"srv", "bob"}, false, {}},
        {{"-oProxyCommand=x", "bob", "pw"}, false, {}},
        {{"srv", "-oProxyCommand=x", "pw"}, false, {}},
        {{"srv", "bo b", "pw"}, false, {}},
        {{"srv", "a@b", "pw"}, false, {}},
        {{"srv", "bob", "pw", "tank", "x;rm -rf /"}, false, {}},
        {{"srv", "bob", "pw", "-tank", "data"}, false, {}},
        {{"srv", "bob", "pw", "tank/x", "data"}, false, {}},
        {{"srv", "bob", "pw", "tank", "a//b"}, false, {}},
    };
    for (const Case& c : cases) {
        Request r;
        EXPECT_EQ(parseArguments(c.args, &r), c.ok) << c.args.join('|').toStdString();
        if (c.ok) {
            EXPECT_EQ(r.vglv(), c.vglv);
            EXPECT_EQ(r.into(), c.into);
            EXPECT_EQ(r.snapshotName(), c.snapshot);
            EXPECT_EQ(passwordPosition(c.args), c.password);
        }
    }
}

// An unfinished restore goes on only from the lineage's first snapshots
// (by the part after "@": the target may have another name), and only
// when it carries its own mark for this dataset.
TEST(RecoverResume, FromTheLineagesFirstSnapshots)
{
    const QStringList lineage = {"tank/a@1", "tank/a@2", "tank/a@3"};
    struct Case { QStringList held; bool ok; QString from; };
    const Case cases[] = {
        {{"tank/a@1"}, true, "tank/a@1"},
        {{"tank/b@1", "tank/b@2"}, true, "tank/a@2"},
        {{"tank/a@1", "tank/a@2", "tank/a@3"}, true, ""},
        {{}, false, ""},
        {{"tank/a@2"}, false, ""},
        {{"tank/a@1", "tank/a@3"}, false, ""},
        {{"tank/a@1", "tank/a@2", "tank/a@3", "tank/a@4"}, false, ""},
    };
    for (const Case& c : cases) {
        QString from = "untouched";
        EXPECT_EQ(resumeFrom(c.held, lineage, &from), c.ok) << c.held.join(' ').toStdString();
        if (c.ok)
            EXPECT_EQ(from, c.from);
    }
    EXPECT_TRUE(markedBy("tank/a\tlocal\n", "tank/a"));
    for (const char* other : {"tank/a\tinherited from tank\n", "tank/b\tlocal\n", "-\t-\n", ""})
        EXPECT_FALSE(markedBy(other, "tank/a")) << other;
}

TEST(RecoverNames, SnapshotNamesZfsWouldProduce)
{
    const QString ds = "tank/da ta";
    for (const char* good : {"tank/da ta@s1", "tank/da ta@vxr_20260101:x.y-z"})
        EXPECT_TRUE(isSnapshotOf(good, ds)) << good;
    const QString tooLong = ds + "@" + QString(250, 'a');
    for (const QString& bad : {QString("tank/da ta@"), QString("tank/da ta@a@b"), QString("tank/da ta@a'b"),
                               QString("tank/da ta@a$(id)"), QString("tank/da ta@a\r"), QString("tank/da ta@ä"),
                               QString("tank/other@s1"), QString("tank/da ta/kid@s1"), tooLong})
        EXPECT_FALSE(isSnapshotOf(bad, ds)) << bad.toStdString();
}

TEST(RecoverListing, TakesOnlyTheTargetsOwnSnapshotsInOrder)
{
    const QByteArray listing = "tank/a@1\ntank/b@1\ntank/b/kid@1\ntank/bb@1\ntank/b@3\n\ntank/b@2\ntank/c@1\n";
    QStringList snaps;
    ASSERT_TRUE(snapshotsOf(listing, "tank/b", &snaps));
    EXPECT_EQ(snaps, QStringList({"tank/b@1", "tank/b@3", "tank/b@2"}));
    ASSERT_TRUE(snapshotsOf(listing, "tank/none", &snaps));
    EXPECT_TRUE(snaps.isEmpty());
    // A hostile line of another dataset is never used; one of the target's
    // makes the whole listing untrusted.
    EXPECT_TRUE(snapshotsOf("tank/x@$(reboot)\ntank/b@1\n", "tank/b", &snaps));
    EXPECT_FALSE(snapshotsOf("tank/b@1\ntank/b@2;reboot\n", "tank/b", &snaps));
    EXPECT_TRUE(snaps.isEmpty());
}

// Runs a transfer text in bash with sshpass and /usr/sbin/zfs replaced by
// functions. Each writes its arguments as one line on standard error
// (fields split by \x1f); sshpass then evaluates its last argument as the
// server's shell would and returns sshpassStatus. Returns the argument
// lists; *out gets standard output.
QList<QStringList> runWithFakes(const QString& text, int sshpassStatus, QByteArray* out)
{
    const QString fakes = QStringLiteral(
        "record() { local IFS=$'\\x1f'; printf '%s\\n' \"$*\" >&2; }\n"
        "sshpass() { record sshpass \"$@\"; eval \"${@: -1}\"; return %1; }\n"
        "function /usr/sbin/zfs { record zfs \"$@\"; }\n").arg(sshpassStatus);
    QProcess bash;
    bash.start("bash", {"-c", fakes + text});
    EXPECT_TRUE(bash.waitForFinished(10000));
    *out = bash.readAllStandardOutput();
    QList<QStringList> calls;
    for (const QString& line : QString::fromUtf8(bash.readAllStandardError()).split('\n', Qt::SkipEmptyParts))
        calls << line.split(QChar(0x1f));
    return calls;
}

TEST(RecoverTransfer, HostileValuesReachEachProgramUnchanged)
{
    Request r;
    r.server = "h\"o;st`x`";
    r.userid = "us'er$(id)";
    r.passwd = "never-in-text";
    r.vg = "tank";
    r.lv = "da ta";
    const QString first = "tank/da ta@it's";
    const QString last = "tank/da ta@$HOME";
    const QStringList login = QStringList("sshpass") + sshpassArgs(r, QString()).mid(0, 9);

    struct Case
    {
        QString text;
        QStringList send;
        QStringList recv;
    };
    const QStringList props = {"-o", "readonly=off", "-o", "sharenfs=off", "-o", "sharesmb=off"};
    const QStringList mark = {"-o", "vxr:restore=" + r.vglv()};
    Request beside = r;
    beside.target = "tank/co'py";
    const Case cases[] = {
        {fullTransfer(r, first, QString()), {"zfs", "send", "-R", first},
         QStringList{"zfs", "recv", "-u"} + props + mark + QStringList{r.vglv()}},
        {fullTransfer(r, first, "/dev/null"), {"zfs", "send", "-R", first},
         QStringList{"zfs", "recv", "-u"} + props + mark + QStringList{r.vglv()}},
        {incrementalTransfer(r, first, last, QString()), {"zfs", "send", "-RI", first, last},
         QStringList{"zfs", "recv", "-Fu"} + props + QStringList{r.vglv()}},
        {fullTransfer(beside, first, QString()), {"zfs", "send", "-R", first},
         QStringList{"zfs", "recv", "-u"} + props + mark + QStringList{beside.target}},
        {incrementalTransfer(beside, first, last, QString()), {"zfs", "send", "-RI", first, last},
         QStringList{"zfs", "recv", "-Fu"} + props + QStringList{beside.target}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        EXPECT_FALSE(c.text.contains(r.passwd));
        QByteArray out;
        const QList<QStringList> calls = runWithFakes(c.text, 0, &out);
        ASSERT_EQ(calls.size(), 3);
        auto called = [&](const QString& program, const QString& first) {
            for (const QStringList& call : calls) {
                if (call.value(0) == program && call.value(1) == first)
                    return call;
            }
            return QStringList();
        };
        EXPECT_EQ(called("sshpass", "-e").mid(0, 10), login);
        EXPECT_EQ(called("zfs", "send"), c.send);
        EXPECT_EQ(called("zfs", "recv"), c.recv);
        EXPECT_EQ(out, QByteArray(kDoneMarker) + '\n');
        EXPECT_TRUE(transferCompleted(out));

        // A failing first stage fails the pipeline: no marker.
        runWithFakes(c.text, 5, &out);
        EXPECT_TRUE(out.isEmpty()) << out.constData();
    }
}

} // namespace

namespace {

TEST(RecoverMountpoints, ResetsWhatLiesOutsideThePoolsTree)
{
    struct Case
    {
        QByteArray listing;
        QString pool;
        QList<Mountpoint> resets;
    };
    const Case cases[] = {
        // Inside the tree, at any depth and with blanks, or no path at all.
        {"vxr/data\t/mnt/vxr/data\nvxr/data@s1\t-\nvxr/data/k\t/mnt/vxr/else/k id\n"
         "vxr/data/l\tlegacy\nvxr/data/n\tnone\n",
         "/mnt/vxr", {}},
        // Outside, the pool's own mount point, a sibling prefix, and paths
        // that only read as inside; a child listed first still follows
        // its parent.
        {"vxr/data/kid\t/etc/kid\nvxr/data\t/etc\nvxr/data/a\t/mnt/vxr\nvxr/data/b\t/mnt/vxr2/b\n"
         "vxr/data/c\t/mnt/vxr/../../etc\nvxr/data/d\t/mnt/vxr//x\nvxr/data/e\t/mnt/vxr/x/\n",
         "/mnt/vxr",
         {{"vxr/data", "/etc"}, {"vxr/data/kid", "/etc/kid"}, {"vxr/data/a", "/mnt/vxr"},
          {"vxr/data/b", "/mnt/vxr2/b"}, {"vxr/data/c", "/mnt/vxr/../../etc"}, {"vxr/data/d", "/mnt/vxr//x"},
          {"vxr/data/e", "/mnt/vxr/x/"}}},
        // A pool at the root holds every path but the root itself; a pool
        // mounted nowhere holds none. A line without a tab is no entry.
        {"t/a\t/etc\nt/b\t/\n", "/", {{"t/b", "/"}}},
        {"t/a\t/t/a\nt/b\tnone\nt/c /etc\n", "none", {{"t/a", "/t/a"}}},
    };
    for (const Case& c : cases) {
        const QList<Mountpoint> resets = mountpointResets(readMountpoints(c.listing), c.pool);
        QStringList got, want;
        for (const Mountpoint& m : resets)
            got << mountpointResetLine(m);
        for (const Mountpoint& m : c.resets)
            want << mountpointResetLine(m);
        EXPECT_EQ(got, want) << c.listing.constData();
    }
}

TEST(RecoverProcStat, CountsFieldsFromTheLastParenthesis)
{
    // Fields 5 to 21 as the kernel writes them, a negative one among them.
    const QByteArray middle = " 1 1 0 -1 4194560 120 0 0 0 3 1 0 0 20 0 1 0 ";
    const QByteArray tail = " 9670656 812 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n";
    struct Case
    {
        QByteArray text;
        bool ok;
        ProcStat stat;
    };
    const Case cases[] = {
        {"4242 (dsrecover) S 77" + middle + "123456" + tail, true, {4242, 77, 'S', 123456}},
        {"9 (a) b (c)) Z 1" + middle + "5" + tail, true, {9, 1, 'Z', 5}},
        {"9 (x y) R 3" + middle + "5\n", true, {9, 3, 'R', 5}},
        // Cut before the start time, no name, no pid.
        {"9 (x) R 3" + middle, false, {}},
        {"9 x R 3" + middle + "5" + tail, false, {}},
        {"(x) R 3" + middle + "5" + tail, false, {}},
    };
    for (const Case& c : cases) {
        ProcStat got;
        EXPECT_EQ(parseProcStat(c.text.constData(), static_cast<size_t>(c.text.size()), &got), c.ok)
            << c.text.constData();
        if (c.ok) {
            EXPECT_EQ(got.pid, c.stat.pid);
            EXPECT_EQ(got.ppid, c.stat.ppid);
            EXPECT_EQ(got.state, c.stat.state);
            EXPECT_EQ(got.startTime, c.stat.startTime);
        }
    }
}

} // namespace
