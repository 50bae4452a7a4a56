// The status view's copy of the service's daily-time rule: the same moments
// as the service's own, across daylight-saving changes, and the window in
// which the view leaves the settings unread.
#include "nextupload.h"
#include "vxrschedule.h"

#include "../printqt.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

#include <ctime>

namespace {

// The local zone of the process for one scope (Qt reads TZ afresh at
// every local conversion); TZ is left unset.
struct LocalZone
{
    explicit LocalZone(const char* zone) { qputenv("TZ", zone), tzset(); }
    ~LocalZone() { qunsetenv("TZ"), tzset(); }
};

QDateTime local(const char* text)
{
    return QDateTime::fromString(QLatin1String(text), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QJsonArray schedule(const char* json)
{
    return QJsonDocument::fromJson(json).array();
}

QString shown(const QDateTime& t)
{
    return t.isValid() ? t.toString(QStringLiteral("yyyy-MM-dd HH:mm ")) + QString::asprintf("%+03d", t.offsetFromUtc() / 3600)
                       : QStringLiteral("none");
}

} // namespace

// Every quarter hour for three days around both changes of two zones, for
// daily times in and outside the skipped or repeated hour, the copy gives
// the moment the service's own rule gives.
TEST(NextUpload, GivesTheServicesMomentsAcrossDaylightSavingChanges)
{
    const struct {
        const char* zone;
        QDate from;
    } spans[] = {
        {"Europe/Berlin", QDate(2026, 3, 28)},
        {"Europe/Berlin", QDate(2026, 10, 24)},
        {"America/New_York", QDate(2026, 3, 7)},
        {"America/New_York", QDate(2026, 10, 31)},
    };
    const QList<QPair<int, int>> times{{0, 0}, {1, 30}, {2, 0}, {2, 30}, {3, 0}, {23, 59}, {24, 0}, {-1, 5}};
    for (const auto& span : spans) {
        const LocalZone zone(span.zone);
        const qint64 start = QDateTime(span.from, QTime(0, 0), Qt::LocalTime).toMSecsSinceEpoch();
        for (qint64 quarter = 0; quarter < 3 * 24 * 4; ++quarter) {
            const QDateTime now = QDateTime::fromMSecsSinceEpoch(start + quarter * 900000, Qt::LocalTime);
            for (const auto& t : times)
                ASSERT_EQ(shown(NextUpload::nextOccurrence(now, t.first, t.second)),
                          shown(VxrSchedule::nextOccurrence(now, t.first, t.second)))
                    << span.zone << " " << qPrintable(now.toString(Qt::ISODate)) << " " << t.first << ":" << t.second;
        }
    }
}

TEST(NextUpload, EarliestOfTheScheduleAndTheWindowAfterADailyTime)
{
    const LocalZone zone("Europe/Berlin");
    const struct {
        const char* now;
        const char* schedule;
        const char* earliest;
        bool recentlyDue; // within 300 s up to now
    } cases[] = {
        {"2025-03-01 10:00:00", R"([{"hour": 2, "minute": 30}, {"hour": 14, "minute": 0}])", "2025-03-01 14:00 +01", false},
        {"2025-03-01 14:00:00", R"([{"hour": 2, "minute": 30}, {"hour": 14, "minute": 0}])", "2025-03-02 02:30 +01", true},
        {"2025-03-01 14:04:59", R"([{"hour": 14, "minute": 0}])", "2025-03-02 14:00 +01", true},
        {"2025-03-01 14:05:00", R"([{"hour": 14, "minute": 0}])", "2025-03-02 14:00 +01", false},
        {"2025-03-01 13:59:59", R"([{"hour": 14, "minute": 0}])", "2025-03-01 14:00 +01", false},
        {"2025-03-02 00:02:00", R"([{"hour": 23, "minute": 58}])", "2025-03-02 23:58 +01", true},
        // Read as the service reads them: numbers in text, and 00:00 for an
        // entry that is no object or a time that does not exist.
        {"2025-03-01 10:00:00", R"([{"hour": "7", "minute": "0x1e"}])", "2025-03-02 07:30 +01", false},
        {"2025-03-01 10:00:00", R"([{"hour": 25, "minute": 0}])", "2025-03-02 00:00 +01", false},
        {"2025-03-01 00:03:00", R"([5])", "2025-03-02 00:00 +01", true},
        {"2025-03-01 10:00:00", R"([])", "none", false},
        // The skipped hour fires at the jump, so the window starts there.
        {"2026-03-29 03:01:00", R"([{"hour": 2, "minute": 30}])", "2026-03-30 02:30 +02", true},
    };
    for (const auto& c : cases) {
        const QDateTime now = local(c.now);
        EXPECT_EQ(shown(NextUpload::earliest(now, schedule(c.schedule))), QString(c.earliest)) << c.now << " " << c.schedule;
        EXPECT_EQ(NextUpload::recentlyDue(now, schedule(c.schedule), 300), c.recentlyDue) << c.now << " " << c.schedule;
    }
}
