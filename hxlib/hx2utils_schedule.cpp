// Calendar schedule calculator.
#include "hx2utils.h"

namespace {

// The sorted values of key, or lo..hi when the array is missing or empty.
QList<int> values(const QJsonObject& schedule, const char* key, int lo, int hi)
{
    QList<int> list = toSortList(schedule.value(QLatin1String(key)).toArray());
    if (list.isEmpty()) {
        for (int v = lo; v <= hi; ++v)
            list.append(v);
    }
    return list;
}

} // namespace

QDateTime nextScheduledDateTime(const QJsonObject& schedule, const QDateTime& from)
{
    if (!from.isValid())
        return QDateTime();
    const QDateTime start = from.toLocalTime();
    const QList<int> weeks = values(schedule, "weeks", 1, 7);
    const QList<int> months = values(schedule, "months", 1, 12);
    const QList<int> days = toSortList(schedule.value(QLatin1String("days")).toArray());
    const QList<int> hours = values(schedule, "hours", 0, 23);
    const QList<int> minutes = values(schedule, "minutes", 0, 59);

    for (int year = start.date().year(); year <= start.date().year() + 1; ++year) {
        for (const int month : months) {
            if (month < 1 || month > 12)
                continue;
            const int monthDays = QDate(year, month, 1).daysInMonth();
            for (int day = 1; day <= monthDays; ++day) {
                if (!days.isEmpty() && !days.contains(day))
                    continue;
                const QDate date(year, month, day);
                if (date < start.date() || !weeks.contains(date.dayOfWeek()))
                    continue;
                for (const int hour : hours) {
                    for (const int minute : minutes) {
                        const QTime time(hour, minute);
                        // A time skipped by a daylight-saving change (or out
                        // of range) is no candidate.
                        const QDateTime candidate(date, time, Qt::LocalTime);
                        if (time.isValid() && candidate.isValid() && candidate > start)
                            return candidate;
                    }
                }
            }
        }
    }
    return QDateTime();
}

QDateTime nextSchedulesDateTime(const QJsonArray& schedules, const QDateTime& from)
{
    QDateTime result(QDate(2099, 12, 31), QTime(0, 0), Qt::LocalTime);
    for (const QJsonValue& s : schedules) {
        const QDateTime next = nextScheduledDateTime(s.toObject(), from);
        if (next.isValid() && next < result)
            result = next;
    }
    return result;
}
