#ifndef VXRSCHEDULE_H
#define VXRSCHEDULE_H

#include "vxrtask.h"

#include <QDateTime>
#include <QJsonArray>
#include <QList>
#include <QStringList>

// The scheduler's decisions, apart from its thread and clocks: the caller
// passes a monotonic millisecond count and the wall-clock minute, so every
// rule can be driven by a test without sleeping.
class VxrSchedulerState
{
public:
    // Both period timers start at monoMs; minute is the one examined last.
    VxrSchedulerState(qint64 monoMs, int minute);

    // True when the report timer has run longer than intervalMs; the timer
    // then restarts.
    bool reportDue(qint64 monoMs, qint64 intervalMs);
    // The same for the snapshot cycle timer. The period counts as spent
    // whether or not a cycle is then started.
    bool cycleDue(qint64 monoMs, qint64 intervalMs);
    // True when the daily check is to run at this pass: the minute differs
    // from the one examined last and no snapshot cycle runs. A running
    // cycle defers the check (the minute is not taken) until it ends, so
    // the daily time is never missed.
    bool dailyCheckDue(int minute, bool backupRunning);

private:
    qint64 m_reportStart;
    qint64 m_cycleStart;
    int m_lastMinute;
};

namespace VxrSchedule {

// A snapshot cycle may start only while neither the task worker nor
// another cycle runs.
inline bool cycleMayStart(bool transferRunning, bool backupRunning)
{
    return !transferRunning && !backupRunning;
}

// The daily time has come: now is not earlier than next. An invalid next
// (no settings loaded yet) never comes.
bool due(const QDateTime& now, const QDateTime& next);

// The moment the local clock reads time on date. Never invalid: a reading
// the clock shows twice (the hour repeated when daylight saving ends) is
// its first moment, so a daily time that fires in that hour is already
// past at its second showing; a reading the clock skips (the hour lost
// when daylight saving begins) is the first whole minute after the gap,
// so a daily time in it fires that day as soon as the clock jumps.
QDateTime localMoment(const QDate& date, const QTime& time);

// The next moment at or after which hour:minute (00:00 for a time of day
// that does not exist) is due, counted from now: today's when now is
// earlier, else tomorrow's. Never invalid.
QDateTime nextOccurrence(const QDateTime& now, int hour, int minute);
// The earliest next occurrence of the entries ({"hour", "minute"}, read
// as integers, a missing one as 0); 2099-12-31 00:00 local time without
// any, which in practice never comes.
QDateTime nextOfSchedule(const QDateTime& now, const QJsonArray& schedule);

// One upload task per dataset, in order; the queue gives each its index.
QList<VxrTask> uploadTasks(const QStringList& datasets);

} // namespace VxrSchedule

#endif
