// Retention: the policy as read from the configuration, the choice of
// snapshots to prune at a fixed time, and the zfs texts it needs.
#include "hx2journals.h"
#include "vxrclient.h"
#include "vxrparse.h"
#include "vxrretention.h"
#include "vxrzfs.h"

#include "../../printqt.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

namespace {

using VxrRetention::Rule;

// "tank/a@vxr_" + stamp for each stamp.
QStringList snaps(const QStringList& stamps)
{
    QStringList out;
    for (const QString& s : stamps)
        out << (s.contains('@') ? s : "tank/a@vxr_" + s);
    return out;
}

Rule rule(std::initializer_list<std::pair<const char*, int>> parts, qint64 within = 0)
{
    Rule r;
    r.withinSecs = within;
    for (const auto& p : parts) {
        const QString k = p.first;
        (k == "last" ? r.last : k == "hourly" ? r.hourly : k == "daily" ? r.daily : k == "weekly" ? r.weekly : r.monthly) =
            p.second;
    }
    return r;
}

TEST(Retention, ChoosesByRuleAndNeverTheProtected)
{
    const QDateTime noon(QDate(2026, 3, 7), QTime(12, 0, 0));
    const QDateTime newYear(QDate(2026, 1, 6), QTime(9, 0, 0));
    struct Case {
        const char* name;
        QStringList names;
        Rule rule;
        QString base;
        QStringList pinned;
        QStringList chosen;
        QDateTime now;
    };
    const Case cases[] = {
        {"empty list", {}, rule({{"last", 1}}), "", {}, {}, noon},
        {"one snapshot is the newest", snaps({"20200101000000"}), rule({{"monthly", 0}}, 60), "", {}, {}, noon},
        {"last 3 of 5", snaps({"20260301000000", "20260302000000", "20260303000000", "20260304000000", "20260305000000"}),
         rule({{"last", 3}}), "", {}, snaps({"20260301000000", "20260302000000"}), noon},
        // Younger than 24 h is kept; exactly 24 h is not younger.
        {"within 24h", snaps({"20260306115959", "20260306120000", "20260306120001", "20260308000000"}), rule({}, 86400),
         "", {}, snaps({"20260306115959", "20260306120000"}), noon},
        {"hourly 2: newest of each hour", snaps({"20260307100500", "20260307105959", "20260307110000", "20260307115000"}),
         rule({{"hourly", 2}}), "", {}, snaps({"20260307100500", "20260307110000"}), noon},
        {"daily 2 at midnight", snaps({"20260305235959", "20260306000000", "20260306120000", "20260307000001"}),
         rule({{"daily", 2}}), "", {}, snaps({"20260305235959", "20260306000000"}), noon},
        // 2025-12-29 (Monday) to 2026-01-04 (Sunday) is one week.
        {"weekly 2 over the new year",
         snaps({"20251228235959", "20251229000000", "20251231120000", "20260104235959", "20260105000000"}),
         rule({{"weekly", 2}}), "", {}, snaps({"20251228235959", "20251229000000", "20251231120000"}), newYear},
        {"monthly 2 over the new year", snaps({"20251130000000", "20251201000000", "20251231235959", "20260101000000"}),
         rule({{"monthly", 2}}), "", {}, snaps({"20251130000000", "20251201000000"}), newYear},
        {"periods count only those with snapshots", snaps({"20250101000000", "20250601000000", "20260301000000"}),
         rule({{"monthly", 2}}), "", {}, snaps({"20250101000000"}), noon},
        {"rules add up", snaps({"20260101000000", "20260201000000", "20260306000000", "20260307100000", "20260307110000"}),
         rule({{"last", 1}, {"monthly", 2}}, 10800), "", {}, snaps({"20260101000000", "20260306000000"}), noon},
        {"base and all after it kept", snaps({"20260301000000", "20260302000000", "20260303000000", "20260304000000"}),
         rule({{"last", 1}}), "tank/a@vxr_20260302000000", {}, snaps({"20260301000000"}), noon},
        {"base oldest: nothing goes", snaps({"20260301000000", "20260302000000", "20260303000000"}), rule({{"last", 1}}),
         "tank/a@vxr_20260301000000", {}, {}, noon},
        {"base not among them: nothing goes", snaps({"20260301000000", "20260302000000"}), rule({{"last", 1}}),
         "tank/a@vxr_20260228000000", {}, {}, noon},
        {"pinned never", snaps({"20260301000000", "20260302000000", "20260303000000"}), rule({{"last", 1}}), "",
         snaps({"20260301000000"}), snaps({"20260302000000"}), noon},
        {"foreign never",
         snaps({"tank/a@manual", "tank/a@vxr_2026030100000", "tank/a@vxr_202603010000001", "tank/a@vxr_20261301000000",
                "tank/a@vxr_20250229000000", "tank/a@vxr_2024022900000x", "tank/b@vxr_20260301000000",
                "tank/a@xvxr_20260301000000", "20240229000000", "20260303000000"}),
         rule({{"last", 1}}), "", {}, snaps({"20240229000000"}), noon},
        // The clock went back two days: creation order decides.
        {"newest made, older stamp", snaps({"20260302000000", "20260303000000", "20260301000000"}), rule({{"last", 1}}),
         "", {}, snaps({"20260302000000", "20260303000000"}), noon},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QSet<QString> pinned(c.pinned.begin(), c.pinned.end());
        EXPECT_EQ(VxrRetention::choose("tank/a", c.names, c.now, c.rule, c.base, pinned), c.chosen);
    }
}

// A clock stepped by a year, ahead or behind, and back: the snapshots
// made last keep the newest slots, and the window is not thinned.
TEST(Retention, SteppedClockFollowsCreationOrder)
{
    // The snapshot of 7 March at hhmm, of 2026 unless told.
    auto at = [](const char* hhmm, int year = 2026) {
        return "tank/a@vxr_" + QString::number(year) + "0307" + hhmm + "00";
    };
    const QDateTime now26(QDate(2026, 3, 7), QTime(12, 5)), now25(QDate(2025, 3, 7), QTime(12, 0));
    struct Case {
        const char* name;
        QStringList names;
        Rule rule;
        QDateTime now;
        QStringList chosen;
        bool clockWrong;
    };
    const Case cases[] = {
        {"a year ahead, then set right", {at("1000"), at("1100"), at("1130", 2027), at("1145", 2027), at("1200")},
         rule({{"last", 2}}), now26, {at("1000"), at("1100"), at("1130", 2027)}, true},
        {"a year ahead, set right before the next snapshot",
         {at("0900"), at("1000"), at("1100"), at("1130", 2027), at("1145", 2027)}, rule({}, 7200), now26,
         {at("0900")}, true},
        {"a year behind: taken after the step, sorting first",
         {at("0800"), at("0900"), at("1000"), at("1100"), at("1130", 2025), at("1145", 2025)}, rule({{"last", 3}}),
         now25, {at("0800"), at("0900"), at("1000")}, true},
        {"a year behind, then set right: that year's window stays",
         {at("0800"), at("0900"), at("1000"), at("1100"), at("1130", 2025), at("1145", 2025), at("1200")},
         rule({}, 3600), now26, {at("0800"), at("0900"), at("1000")}, true},
        // An hour back (summer time ends) or a long pause: the clock's rule.
        {"an hour back", {at("0230"), at("0245"), at("0215"), at("0300")}, rule({{"last", 2}}), now26,
         {at("0230"), at("0215")}, false},
        {"a pause of a year", {at("1000", 2025), at("1100", 2025), at("1000"), at("1100")}, rule({}, 86400), now26,
         {at("1000", 2025), at("1100", 2025)}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool clockWrong = !c.clockWrong;
        EXPECT_EQ(VxrRetention::choose("tank/a", c.names, c.now, c.rule, "", {}, &clockWrong), c.chosen);
        EXPECT_EQ(clockWrong, c.clockWrong);
    }
}

TEST(Retention, PolicyIsReadOrRefused)
{
    VxrRetention::Policy p;
    QString why;
    ASSERT_TRUE(VxrRetention::parsePolicy(QJsonValue(QJsonValue::Undefined), &p, &why));
    EXPECT_FALSE(p.enabled);
    const QJsonObject good{{"local", QJsonObject{{"within", "24h"}, {"daily", 30}, {"weekly", 12}, {"monthly", 12}}},
                           {"remote", QJsonObject{{"within", "2w"}, {"last", 0}, {"hourly", 1000000}}}};
    ASSERT_TRUE(VxrRetention::parsePolicy(good, &p, &why)) << why.toStdString();
    EXPECT_TRUE(p.enabled && p.hasLocal && p.hasRemote);
    EXPECT_EQ(p.local.withinSecs, 86400);
    EXPECT_EQ(p.local.monthly, 12);
    EXPECT_EQ(p.remote.withinSecs, 14 * 86400);
    EXPECT_EQ(p.remote.hourly, 1000000);

    struct Bad { const char* json; const char* reason; };
    const Bad bad[] = {
        {"5", "retention: an object expected"},
        {"{}", "neither"},
        {"{\"lokal\": {\"last\": 3}}", "retention.lokal: unknown key"},
        {"{\"local\": 3}", "retention.local: an object expected"},
        {"{\"local\": {\"last\": 0}}", "retention.local: keeps nothing"},
        {"{\"local\": {\"dayly\": 3}}", "retention.local.dayly: unknown key"},
        {"{\"remote\": {\"daily\": -1}}", "retention.remote.daily: a whole number"},
        {"{\"local\": {\"daily\": 1.5}}", "whole number"},
        {"{\"local\": {\"daily\": \"3\"}}", "whole number"},
        {"{\"local\": {\"within\": \"24\"}}", "retention.local.within: a span"},
        {"{\"local\": {\"within\": \"0h\"}}", "span"},
        {"{\"local\": {\"within\": 24}}", "span"},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.json);
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray("{\"v\": ") + b.json + "}");
        VxrRetention::Policy untouched;
        untouched.local.last = 77;
        why.clear();
        EXPECT_FALSE(VxrRetention::parsePolicy(doc.object().value("v"), &untouched, &why));
        EXPECT_TRUE(why.contains(b.reason)) << why.toStdString();
        EXPECT_EQ(untouched.local.last, 77);
    }

    // The engine refuses the configuration with the reason.
    VxrClient engine;
    HX2Journals journal;
    EXPECT_FALSE(engine.loadConfigure(journal, QJsonObject{{"retention", QJsonObject{{"local", QJsonObject{}}}}}));
    EXPECT_TRUE(journal.errmsg().contains("retention.local: keeps nothing")) << journal.errmsg().toStdString();
}

TEST(Retention, ZfsTextsAndHoldCounts)
{
    EXPECT_EQ(VxrZfs::destroySpec({}), "");
    EXPECT_EQ(VxrZfs::destroySpec({"p/a b@vxr_1"}), "p/a b@vxr_1");
    EXPECT_EQ(VxrZfs::destroySpec({"p/a b@vxr_1", "p/a b@vxr_2", "p/a b@vxr_3"}), "p/a b@vxr_1,vxr_2,vxr_3");

    // Held or cloned unless the columns say plainly that it is not.
    const VxrParse::SnapshotHolds h = VxrParse::parseSnapshotHolds(
        {"p/a b@s1\t0\t", "p/a b@s2\t2\t-", "p/a b@s3\t-\t", "p/a b@s4", "p/a b@s5\t0\tp/c,p/d", "p/a b@s6 \t1\t",
         "p/a b@s6\t0\t - ", "p/a b@s7\t0", "p/a b@s8\t0\t\tx"});
    EXPECT_EQ(h.names, QStringList({"p/a b@s1", "p/a b@s2", "p/a b@s3", "p/a b@s4", "p/a b@s5", "p/a b@s6 ", "p/a b@s6",
                                    "p/a b@s7", "p/a b@s8"}));
    EXPECT_EQ(h.held, QSet<QString>({"p/a b@s2", "p/a b@s3", "p/a b@s4", "p/a b@s6 "}));
    EXPECT_EQ(h.cloned, QSet<QString>({"p/a b@s4", "p/a b@s5", "p/a b@s7", "p/a b@s8"}));

    // On the server: the base held again, the others released, one destroy.
    const VxrZfs::RemoteQuery q = VxrZfs::moveBaseOnServer("p/a@n'1", {"p/a@o"}, "p/a@x,y");
    EXPECT_EQ(q.text, "/usr/sbin/zfs release vxr_base 'p/a@n'\\''1' 2>/dev/null; "
                      "/usr/sbin/zfs hold vxr_base 'p/a@n'\\''1' || exit 90; "
                      "/usr/sbin/zfs release vxr_base 'p/a@o' 2>/dev/null; "
                      "/usr/sbin/zfs destroy 'p/a@x,y' || exit 91; exit 0");
    EXPECT_EQ(q.options.acceptedCodes, QList<int>({0, 90, 91}));
    EXPECT_FALSE(VxrZfs::moveBaseOnServer("p/a@n", {}, "").text.contains("destroy"));
    const VxrZfs::RemoteQuery again = VxrZfs::destroyOnServer("p/a@x,y'z");
    EXPECT_EQ(again.text, "/usr/sbin/zfs destroy 'p/a@x,y'\\''z' || exit 91; exit 0");
    EXPECT_EQ(again.options.acceptedCodes, QList<int>({0, 91}));
}

} // namespace
