// The configuration the package installs, read by the service's own
// parser: its retention policy is the one the README promises, and the
// server never lets go of a snapshot the appliance keeps.
#include "hx2file.h"
#include "vxrconfig.h"

#include <gtest/gtest.h>

#include <set>

namespace {

QSet<QString> toSet(const QStringList& names)
{
    return QSet<QString>(names.begin(), names.end());
}

TEST(PackagedConfig, ParsesWithTheShippedRetention)
{
    const QJsonObject file = HX2File::readJsonObject(QStringLiteral(VXR_PACKAGED_CONFIG));
    ASSERT_FALSE(file.isEmpty());
    VxrConfig config;
    QString why;
    ASSERT_TRUE(VxrConfigRules::parse(file, &config, &why)) << why.toStdString();
    const VxrRetention::Policy& p = config.retention;
    ASSERT_TRUE(p.enabled && p.hasLocal && p.hasRemote);
    for (const VxrRetention::Rule* r : {&p.local, &p.remote}) {
        EXPECT_EQ(r->withinSecs, 24 * 3600);
        EXPECT_EQ(r->daily, 30);
        EXPECT_EQ(r->weekly, 12);
        EXPECT_EQ(r->monthly, 12);
    }

    // A snapshot every hour for a year and a half: the server keeps all the
    // appliance keeps, a year of monthlies among them.
    const QDateTime now(QDate(2026, 7, 1), QTime(12, 30));
    QStringList names;
    for (QDateTime t = now.addDays(-540); t <= now; t = t.addSecs(3600))
        names << "tank/a@vxr_" + t.toString("yyyyMMddHHmmss");
    const QSet<QString> localGone = toSet(VxrRetention::choose("tank/a", names, now, p.local, QString(), {}));
    const QSet<QString> remoteGone = toSet(VxrRetention::choose("tank/a", names, now, p.remote, QString(), {}));
    for (const QString& name : remoteGone)
        EXPECT_TRUE(localGone.contains(name)) << name.toStdString();
    std::set<QString> months;
    for (const QString& name : names) {
        if (!remoteGone.contains(name))
            months.insert(name.mid(11, 6));
    }
    EXPECT_GE(months.size(), 12u);
    EXPECT_LT(names.size() - remoteGone.size(), 24 + 30 + 12 + 12 + 1);
}

} // namespace
