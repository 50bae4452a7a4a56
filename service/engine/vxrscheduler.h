#ifndef VXRSCHEDULER_H
#define VXRSCHEDULER_H

#include "hx2mutex.h"

#include <QDateTime>
#include <QJsonArray>

#include <atomic>
#include <thread>

class VxrSeams;
class VxrSettingsStore;
class VxrSnapshotCycle;
class VxrStatusReport;
class VxrTaskWorker;

// The engine's clock: one thread for the life of the engine that starts
// status reports and snapshot cycles at their periods and, at the daily
// times, queues one upload task per dataset. It idles while backup is
// switched off, and ends (joined) when the engine does.
class VxrScheduler
{
public:
    VxrScheduler(VxrSeams& seams, const VxrSettingsStore& settings, VxrTaskWorker& worker, VxrSnapshotCycle& cycle,
                 VxrStatusReport& report);
    // Stops and joins the thread.
    ~VxrScheduler();
    VxrScheduler(const VxrScheduler&) = delete;
    VxrScheduler& operator=(const VxrScheduler&) = delete;

    // Starts the scheduler's thread unless it runs.
    void start();
    // Thread body of the scheduler; returns once stop() was called.
    void run();
    // Ends the loop within its pause and waits for the thread.
    void stop();
    // The daily upload check: when the clock has reached the next
    // scheduled time, queues one upload task per dataset (with a complete
    // account) and makes sure the task worker runs; then moves the next
    // time on, from the settings file or, when that cannot be read, from
    // the schedule loaded last, so a due time queues each dataset once.
    void dailyCheck();

    // The schedule just loaded: the next time follows from its entries,
    // except that a time that came within the last kPendingSecs and has not
    // been checked yet stays while the entries are unchanged.
    void setSchedule(const QJsonArray& entries);
    static constexpr qint64 kPendingSecs = 3600;
    QDateTime nextSchedule() const;
    // Next occurrence of hour:minute (invalid times count as 00:00), and
    // the earliest over the entries, from the clock's time.
    QDateTime scheduleNext(int hour, int minute) const;
    QDateTime scheduleNext(const QJsonArray& schedule) const;

    std::atomic<bool>& running() { return m_running; }

private:
    VxrSeams& m_seams;
    const VxrSettingsStore& m_settings;
    VxrTaskWorker& m_worker;
    VxrSnapshotCycle& m_cycle;
    VxrStatusReport& m_report;
    std::atomic<bool> m_running{false};

    // The pause between passes, which only stop() cuts short.
    bool pause();
    HX2Mutex m_stopMutex;
    HX2CondVar m_stopped;
    bool m_stopping HX2_GUARDED_BY(m_stopMutex) = false;
    HX2Mutex m_threadMutex;
    std::thread m_thread HX2_GUARDED_BY(m_threadMutex);

    mutable HX2Mutex scheduleMutex;
    QDateTime m_nextSchedule HX2_GUARDED_BY(scheduleMutex);
    // The entries loaded last.
    QJsonArray m_entries HX2_GUARDED_BY(scheduleMutex);
};

#endif
