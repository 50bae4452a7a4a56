// The scheduler: periods of the report and the snapshot cycle, and the
// daily upload check.
#include "vxrscheduler.h"

#include "hx2file.h"
#include "hx2utils.h"
#include "vxrclient.h"
#include "vxroplog.h"

#include <QElapsedTimer>
#include <QJsonObject>

#include <chrono>
#include <thread>

namespace {
constexpr auto kPassSleep = std::chrono::seconds(5);
}

VxrSchedulerState::VxrSchedulerState(qint64 monoMs, int minute)
    : m_reportStart(monoMs), m_cycleStart(monoMs), m_lastMinute(minute)
{
}

bool VxrSchedulerState::reportDue(qint64 monoMs, qint64 intervalMs)
{
    if (monoMs - m_reportStart <= intervalMs)
        return false;
    m_reportStart = monoMs;
    return true;
}

bool VxrSchedulerState::cycleDue(qint64 monoMs, qint64 intervalMs)
{
    if (monoMs - m_cycleStart <= intervalMs)
        return false;
    m_cycleStart = monoMs;
    return true;
}

bool VxrSchedulerState::dailyCheckDue(int minute, bool backupRunning)
{
    if (backupRunning || minute == m_lastMinute)
        return false;
    m_lastMinute = minute;
    return true;
}

namespace VxrSchedule {

bool due(const QDateTime& now, const QDateTime& next)
{
    return next.isValid() && now.isValid() && !(now < next);
}

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

QList<QJsonObject> uploadTasks(const QStringList& datasets)
{
    QList<QJsonObject> out;
    for (const QString& dataset : datasets) {
        QJsonObject task;
        task.insert("action", VxrLog::kActionUpload);
        task.insert("dmpath", dataset);
        task.insert("step", 0);
        task.insert("rate", 0);
        out.append(task);
    }
    return out;
}

} // namespace VxrSchedule

void VxrClient::startScheduler()
{
    if (!scheduleRunning.exchange(true))
        std::thread([this] { scheduleRun(); }).detach();
}

void VxrClient::scheduleRun()
{
    scheduleRunning.store(true);
    QElapsedTimer mono;
    mono.start();
    VxrSchedulerState state(mono.elapsed(), now().time().minute());
    for (;;) {
        const VxrSettings s = settings();
        if (!s.active) {
            std::this_thread::sleep_for(kPassSleep);
            continue;
        }
        if (state.reportDue(mono.elapsed(), s.reportIntervalMs) && !reportRunning.exchange(true))
            std::thread([this] { reportRun(); }).detach();
        if (state.cycleDue(mono.elapsed(), s.backupIntervalMs)
            && VxrSchedule::cycleMayStart(transferRunning.load(), false)
            && !backupRunning.exchange(true)) {
            std::thread([this] { backupRun(); }).detach();
        }
        // sleep_for resumes after a signal for the time that is left.
        std::this_thread::sleep_for(kPassSleep);
        if (state.dailyCheckDue(now().time().minute(), backupRunning.load()))
            dailyCheck();
    }
}

void VxrClient::dailyCheck()
{
    const QDateTime current = now();
    {
        std::lock_guard<std::mutex> lock(scheduleMutex);
        if (!VxrSchedule::due(current, nextSchedule))
            return;
    }
    if (settings().hasAccount())
        queueTasks(VxrSchedule::uploadTasks(dmpathsCopy()));

    // The next time comes from the file as it is now; when it cannot be
    // read, from the entries loaded last, so the time that has come is
    // passed over either way.
    QJsonObject file;
    QJsonArray entries;
    const bool reloaded = HX2File::loadJson(file, settingsPath());
    if (reloaded) {
        entries = VxrSettingsRules::parse(file).schedule;
    } else {
        std::lock_guard<std::mutex> lock(scheduleMutex);
        entries = scheduleEntries;
    }
    const QDateTime next = scheduleNext(entries);
    std::lock_guard<std::mutex> lock(scheduleMutex);
    nextSchedule = next;
    if (reloaded)
        scheduleEntries = entries;
}
