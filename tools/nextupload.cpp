#include "nextupload.h"

#include "hx2utils.h"

#include <QJsonObject>

namespace NextUpload {

namespace {

// The moments whose local reading is date and time; the clock's offset
// changes at most once within a day of any moment in every real zone, so
// the offsets a day before and after give every reading it can have.
QDateTime earliestExact(const QDate& date, const QTime& time)
{
    constexpr qint64 kDayMs = 86400000;
    const qint64 wallMs = QDateTime(date, time, Qt::UTC).toMSecsSinceEpoch();
    QDateTime best;
    for (const qint64 probe : {wallMs - kDayMs, wallMs, wallMs + kDayMs}) {
        const int offset = QDateTime::fromMSecsSinceEpoch(probe, Qt::LocalTime).offsetFromUtc();
        const QDateTime at = QDateTime::fromMSecsSinceEpoch(wallMs - qint64(offset) * 1000, Qt::LocalTime);
        if (at.date() == date && at.time() == time && (!best.isValid() || at < best))
            best = at;
    }
    return best;
}

} // namespace

QDateTime localMoment(const QDate& date, const QTime& time)
{
    const QDateTime exact = earliestExact(date, time);
    if (exact.isValid())
        return exact;
    // Skipped: walk the wall clock on by whole minutes until a reading
    // exists. Gaps last an hour, rarely two; a day bounds the walk.
    const QDateTime wall(date, QTime(time.hour(), time.minute()), Qt::UTC);
    for (int minute = 1; minute <= 24 * 60; ++minute) {
        const QDateTime next = wall.addSecs(qint64(minute) * 60);
        const QDateTime at = earliestExact(next.date(), next.time());
        if (at.isValid())
            return at;
    }
    return QDateTime(date, time, Qt::UTC).toLocalTime();
}

QDateTime nextOccurrence(const QDateTime& now, int hour, int minute)
{
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59) {
        hour = 0;
        minute = 0;
    }
    const QTime time(hour, minute);
    const QDate today = now.toLocalTime().date();
    const QDateTime candidate = localMoment(today, time);
    return now < candidate ? candidate : localMoment(today.addDays(1), time);
}

QDateTime earliest(const QDateTime& now, const QJsonArray& schedule)
{
    QDateTime best;
    for (const QJsonValue& v : schedule) {
        const QJsonObject entry = v.toObject();
        const QDateTime next = nextOccurrence(now, toInt(entry.value("hour")), toInt(entry.value("minute")));
        if (!best.isValid() || next < best)
            best = next;
    }
    return best;
}

bool recentlyDue(const QDateTime& now, const QJsonArray& schedule, int windowSecs)
{
    const QDateTime since = now.addSecs(-qint64(windowSecs));
    const QDateTime next = earliest(since, schedule);
    return next.isValid() && !(now < next);
}

} // namespace NextUpload
