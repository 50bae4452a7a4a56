// What the transfers send, decided from snapshot lists; the on-demand
// pass's log line and pipeline text.
#include "vxrondemand.h"
#include "vxrpipeline.h"
#include "vxrplan.h"

#include <QProcess>

#include <gtest/gtest.h>

namespace {

const QString kPrefix = QStringLiteral("vxr/data@vxr_");

QStringList names(std::initializer_list<const char*> list)
{
    QStringList out;
    for (const char* s : list)
        out << QString::fromUtf8(s);
    return out;
}

struct PlanCase
{
    const char* what;
    QStringList remote;
    QStringList local;
    QString newest;
    QStringList toSend;
};

TEST(OnDemandPlan, ChoosesWhatTheServerLacks)
{
    const QStringList local = names({"vxr/data@vxr_1", "vxr/data@manual", "vxr/other@vxr_2",
                                     "vxr/data@vxr_2", "vxr/data@vxr_3"});
    const PlanCase cases[] = {
        {"empty server sends every prefixed snapshot", {}, local, "",
         names({"vxr/data@vxr_1", "vxr/data@vxr_2", "vxr/data@vxr_3"})},
        {"foreign snapshots on the server are ignored",
         names({"tank/x@vxr_9", "vxr/data@manual"}), local, "",
         names({"vxr/data@vxr_1", "vxr/data@vxr_2", "vxr/data@vxr_3"})},
        {"server holding an older one sends from it", names({"vxr/data@vxr_1", "vxr/data@vxr_2"}),
         local, "vxr/data@vxr_2", names({"vxr/data@vxr_2", "vxr/data@vxr_3"})},
        {"server holding the newest leaves one entry", names({"vxr/data@vxr_3"}), local,
         "vxr/data@vxr_3", names({"vxr/data@vxr_3"})},
        {"server newest unknown here keeps the whole list", names({"vxr/data@vxr_7"}), local,
         "vxr/data@vxr_7", names({"vxr/data@vxr_1", "vxr/data@vxr_2", "vxr/data@vxr_3"})},
        {"nothing local", names({"vxr/data@vxr_1"}), names({"vxr/data@manual"}), "vxr/data@vxr_1",
         {}},
    };
    for (const PlanCase& c : cases) {
        const QString newest = VxrPlan::newestWithPrefix(c.remote, kPrefix);
        EXPECT_EQ(newest, c.newest) << c.what;
        EXPECT_EQ(VxrPlan::onDemandSpan(c.local, kPrefix, newest), c.toSend) << c.what;
    }
}

// The scheduled upload's phases from the appliance's and the server's
// lists; a server copy that shares no snapshot with the appliance's newest
// lineage is refused, as zfs recv would refuse any increment.
TEST(UploadPlan, PhasesFromBothLists)
{
    const QStringList local{"t/a@1", "t/a@2", "t/a@3", "t/a@4"};
    struct Case { const char* name; QStringList local, remote; QString full, from, to; bool refused; };
    const Case cases[] = {
        {"server holds none", local, {}, "t/a@1", "t/a@1", "t/a@4", false},
        {"server holds none, one local", {"t/a@1"}, {}, "t/a@1", "", "", false},
        {"server holds the first", local, {"t/a@1"}, "", "t/a@1", "t/a@4", false},
        {"server holds k", local, {"t/a@1", "t/a@2", "t/a@3"}, "", "t/a@3", "t/a@4", false},
        {"server holds a middle one", local, {"t/a@2"}, "", "t/a@2", "t/a@4", false},
        {"server holds the newest", local, {"t/a@1", "t/a@4"}, "", "", "", false},
        {"server's newest unknown here", local, {"t/a@1", "t/a@0x"}, "", "", "", true},
        {"server's newest unknown, one local", {"t/a@5"}, {"t/a@4"}, "", "", "", true},
        {"appliance holds none", {}, {"t/a@1"}, "", "", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const VxrPlan::Upload plan = VxrPlan::upload(c.local, c.remote);
        EXPECT_EQ(plan.full, c.full);
        EXPECT_EQ(plan.from, c.from);
        EXPECT_EQ(plan.to, c.to);
        EXPECT_EQ(!plan.refusal.isEmpty(), c.refused);
        if (c.refused) {
            EXPECT_TRUE(plan.full.isEmpty() && !plan.hasIncremental());
        }
    }
}

TEST(OnDemandLog, LinesCarryTimeAndOutcome)
{
    const QDateTime t(QDate(2026, 3, 7), QTime(14, 5, 9));
    EXPECT_EQ(VxrOnDemand::logLine(t, 0), QByteArray("2026-03-07 14:05:09  success\n"));
    EXPECT_EQ(VxrOnDemand::logLine(t, 1), QByteArray("2026-03-07 14:05:09 \n"));
    EXPECT_EQ(VxrOnDemand::logLine(t, -4), QByteArray("2026-03-07 14:05:09  failed(-4)\n"));
    EXPECT_EQ(VxrOnDemand::logLine(t, -22).left(19), QByteArray("2026-03-07 14:05:09"));
}

// Runs the pipeline text in bash with zfs and sshpass replaced by functions
// that print their arguments, one per line; sshpass's last argument (the
// remote command) is then run by a second shell, as ssh's server would.
QStringList shellArguments(const QString& text)
{
    // Every stand-in prints to standard error, so that what a stage prints
    // is not swallowed by the next stage of the pipeline.
    const QString stubs = QStringLiteral(
        "zfs() { for a in \"$@\"; do printf 'zfs:%s\\n' \"$a\"; done >&2; }\n"
        "sshpass() { for a in \"$@\"; do printf 'sshpass:%s\\n' \"$a\"; done >&2;"
        " for last; do :; done; zfs() { for a in \"$@\"; do printf 'remote:%s\\n' \"$a\"; done >&2; };"
        " /usr/sbin/zfs() { zfs \"$@\"; }; eval \"$last\"; }\n"
        "pv() { for a in \"$@\"; do printf 'pv:%s\\n' \"$a\"; done >&2; }\n"
        "/usr/sbin/zfs() { for a in \"$@\"; do printf 'local:%s\\n' \"$a\"; done >&2; }\n");
    QProcess sh;
    sh.setProcessChannelMode(QProcess::MergedChannels);
    sh.start(QStringLiteral("bash"), {QStringLiteral("-c"), stubs + text});
    sh.waitForFinished(10000);
    return QString::fromUtf8(sh.readAll()).split('\n', Qt::SkipEmptyParts);
}

TEST(OnDemandPipeline, HostileValuesArriveUnchanged)
{
    const QString hostile = QStringLiteral("p\"a$s 'w`d\\;rm -rf x");
    VxrSsh::Account account{QStringLiteral("h$(id)"), 22, hostile, hostile};
    const QString from = QStringLiteral("vxr/da ta@vxr_1'");
    const QString to = QStringLiteral("vxr/da ta@vxr_2$HOME");
    const QString target = QStringLiteral("vxr/da ta;`x`");

    const QString text = VxrPipeline::onDemandIncremental(account, from, to, target);
    EXPECT_FALSE(text.contains(hostile)) << "the password must not be in the text";
    const QStringList out = shellArguments(text);
    EXPECT_TRUE(out.contains(QStringLiteral("zfs:-RI")));
    EXPECT_TRUE(out.contains(QStringLiteral("zfs:") + from));
    EXPECT_TRUE(out.contains(QStringLiteral("zfs:") + to));
    EXPECT_TRUE(out.contains(QStringLiteral("sshpass:-e")));
    EXPECT_TRUE(out.contains(QStringLiteral("sshpass:") + hostile + QLatin1Char('@') + account.host));
    EXPECT_FALSE(out.contains(QStringLiteral("sshpass:-p"))) << "default ssh port";
    EXPECT_TRUE(out.contains(QStringLiteral("remote:") + target));
    EXPECT_TRUE(out.contains(QStringLiteral("remote:readonly=on")));

    const QStringList full = shellArguments(VxrPipeline::onDemandFull(account, from, target));
    EXPECT_FALSE(full.contains(QStringLiteral("zfs:-RI")));
    EXPECT_TRUE(full.contains(QStringLiteral("zfs:") + from));
}

// Names from the server reach commands and shell text only when ZFS could
// have made them.
TEST(RestorePlan, NamesZfsMakes)
{
    struct Case { const char* name; bool dataset; bool snapshot; };
    const Case cases[] = {
        {"tank/a", true, false},
        {"tank/a b:c/d-e_f.g", true, false},
        {"tank/a@vxr_20260101000000", false, true},
        {"tank/a b:c@s 1.x", false, true},
        {"", false, false},
        {"-tank/a", false, false},
        {"tank/-a", true, false},
        {"tank//a", false, false},
        {"tank/a/", false, false},
        {"/tank", false, false},
        {"tank/$(touch x)", false, false},
        {"tank/a`id`", false, false},
        {"tank/a'b", false, false},
        {"tank/a\"b", false, false},
        {"tank/a;b", false, false},
        {"tank/a\tb", false, false},
        {"tank/ä", false, false},
        {"tank/a@", false, false},
        {"@s", false, false},
        {"tank/a@s@t", false, false},
        {"tank/a@s/t", false, false},
        {"tank/a@-s", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(VxrPlan::validName(QString::fromUtf8(c.name), false), c.dataset);
        EXPECT_EQ(VxrPlan::validName(QString::fromUtf8(c.name), true), c.snapshot);
    }
    EXPECT_TRUE(VxrPlan::validName("t/" + QString(253, 'a'), false));
    EXPECT_FALSE(VxrPlan::validName("t/" + QString(254, 'a'), false));
}

TEST(RestorePlan, ChosenSnapshotResumeAndChoices)
{
    const QStringList server = {"t/a@1", "t/a@2", "t/a@3"};
    struct Plan { const char* upTo; QString first; QString last; bool missing; int lineage; };
    const Plan plans[] = {
        {"", "t/a@1", "t/a@3", false, 3}, {"2", "t/a@1", "t/a@2", false, 2}, {"t/a@1", "t/a@1", "", false, 1},
        {"t/a@3", "t/a@1", "t/a@3", false, 3}, {"9", "", "", true, 0}, {"t/b@2", "", "", true, 0},
    };
    for (const Plan& p : plans) {
        const VxrPlan::Restore r = VxrPlan::restore("t/a", server, p.upTo);
        EXPECT_EQ(r.first + "|" + r.last, p.first + "|" + p.last) << p.upTo;
        EXPECT_EQ(r.missing, p.missing) << p.upTo;
        EXPECT_EQ(r.lineage.size(), p.lineage) << p.upTo;
    }

    using R = VxrPlan::Resume;
    struct Resume { QStringList held; R::Kind kind; QString from; };
    const Resume resumes[] = {
        {{"t/a@1"}, R::From, "t/a@1"}, {{"t/c@1", "t/c@2"}, R::From, "t/a@2"},
        {{"t/a@1", "t/a@2", "t/a@3"}, R::Finished, ""}, {{}, R::NotOnTheLineage, ""},
        {{"t/a@2"}, R::NotOnTheLineage, ""}, {{"t/a@1", "t/a@3"}, R::NotOnTheLineage, ""},
        {{"t/a@1", "t/a@2", "t/a@3", "t/a@4"}, R::NotOnTheLineage, ""},
    };
    for (const Resume& c : resumes) {
        const VxrPlan::Resume r = VxrPlan::resume(c.held, server);
        EXPECT_EQ(r.kind, c.kind) << c.held.join(' ').toStdString();
        EXPECT_EQ(r.from, c.from) << c.held.join(' ').toStdString();
    }

    struct Choice { VxrPlan::RestoreChoice choice; QStringList problems; };
    const Choice choices[] = {
        {{"t/a", "", ""}, {}},
        {{"t/a", "2", "t/copy"}, {}},
        {{"t/a", "t/a@2", "t/x/y z"}, {}},
        {{"", "2", "t/copy"}, {"snapshot", "target"}},
        {{"t", "", ""}, {"dmpath"}},
        {{"t/a;b", "", ""}, {"dmpath"}},
        {{"t/a", "t/b@2", ""}, {"snapshot"}},
        {{"t/a", "2/3", ""}, {"snapshot"}},
        {{"t/a", "", "-t/x"}, {"target"}},
        {{"t/a", "", "t"}, {"target"}},
    };
    for (const Choice& c : choices)
        EXPECT_EQ(VxrPlan::choiceProblems(c.choice), c.problems) << c.choice.dataset.toStdString();
}

TEST(RestorePlan, MountpointsInsideThePool)
{
    struct Case { const char* pool; const char* path; bool inside; };
    const Case cases[] = {
        {"/tank", "/tank", false},         {"/tank", "/tank/a/b", true},     {"/tank/", "/tank/a", true},
        {"/tank", "/tank/../etc", false},  {"/tank", "/tankx", false},       {"/tank", "/etc", false},
        {"/tank", "/", false},             {"/tank", "none", true},          {"/tank", "legacy", true},
        {"none", "/tank", false},          {"/", "/etc", true},              {"/tank", "/tank/./a/../b", true},
        {"/", "/", false},                 {"/tank", "/tank/a/..", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(VxrPlan::mountpointInside(c.pool, c.path), c.inside) << c.pool << " " << c.path;

    QList<VxrPlan::Mountpoint> own;
    ASSERT_TRUE(VxrPlan::ownMountpoints({"t/a\t/etc\treceived", "t/a@1\t-\t-", "t/a/b\t/x\tinherited from t/a",
                                         "t/a/c\t/t/a c\tlocal", "t/a/d\t/d\tdefault"},
                                        &own));
    ASSERT_EQ(own.size(), 2);
    EXPECT_EQ(own.at(0).dataset + "=" + own.at(0).path, "t/a=/etc");
    EXPECT_EQ(own.at(1).dataset + "=" + own.at(1).path, "t/a/c=/t/a c");
    for (const char* unreadable : {"t/a /etc received", "t/a\t/etc", "\t/etc\tlocal"}) {
        QList<VxrPlan::Mountpoint> none;
        EXPECT_FALSE(VxrPlan::ownMountpoints({unreadable}, &none)) << unreadable;
    }
}

// Hostile account values and a dataset with a blank and a colon reach every
// program of the restore pipeline unchanged: the server's send (through a
// second shell, as sshd runs it), pv and the appliance's receive.
TEST(RestorePipeline, HostileValuesArriveUnchanged)
{
    const QString hostile = QStringLiteral("p\"a$s 'w`d\\");
    const VxrSsh::Account account{QStringLiteral("h$(id)"), 2222, QStringLiteral("u`x`"), hostile};
    const QString ds = QStringLiteral("tank/a b:c");
    const QString first = ds + "@vxr_1";
    const QString last = ds + "@vxr_2";
    for (const bool incremental : {false, true}) {
        SCOPED_TRACE(incremental);
        const QString text = incremental ? VxrPipeline::restoreIncremental(account, first, last, ds, 77)
                                         : VxrPipeline::restoreFull(account, first, ds, 77, "tank/m 'q");
        EXPECT_FALSE(text.contains(hostile));
        const QStringList out = shellArguments(text);
        EXPECT_TRUE(out.contains(QStringLiteral("sshpass:") + account.user + '@' + account.host));
        EXPECT_TRUE(out.contains(QStringLiteral("sshpass:2222")));
        EXPECT_TRUE(out.contains(QStringLiteral("remote:") + first));
        EXPECT_EQ(out.contains(QStringLiteral("remote:") + last), incremental);
        EXPECT_TRUE(out.contains(QStringLiteral("remote:") + (incremental ? "-RI" : "-R")));
        EXPECT_TRUE(out.contains(QStringLiteral("pv:77")));
        EXPECT_TRUE(out.contains(QStringLiteral("local:") + ds));
        EXPECT_EQ(out.contains(QStringLiteral("local:vxr:restore=tank/m 'q")), !incremental);
        EXPECT_TRUE(out.contains(QStringLiteral("local:readonly=off")));
        // A new dataset is never received with -F; the increments roll back
        // only what the full phase just made.
        EXPECT_EQ(out.contains(QStringLiteral("local:-Fu")), incremental);
        EXPECT_EQ(out.contains(QStringLiteral("local:-u")), !incremental);
        EXPECT_TRUE(text.endsWith(QStringLiteral(" && echo vxr-stream-complete")));
    }
}

} // namespace
