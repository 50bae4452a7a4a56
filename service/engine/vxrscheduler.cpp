#include "vxrscheduler.h"

#include "hx2file.h"
#include "vxrschedule.h"
#include "vxrseams.h"
#include "vxrsettingsstore.h"
#include "vxrsnapshotcycle.h"
#include "vxrstatusreport.h"
#include "vxrtaskworker.h"

#include <QElapsedTimer>

#include <chrono>
#include <thread>

namespace {
constexpr auto kPassSleep = std::chrono::seconds(5);
}

VxrScheduler::VxrScheduler(VxrSeams& seams, const VxrSettingsStore& settings, VxrTaskWorker& worker,
                           VxrSnapshotCycle& cycle, VxrStatusReport& report)
    : m_seams(seams), m_settings(settings), m_worker(worker), m_cycle(cycle), m_report(report)
{
}

VxrScheduler::~VxrScheduler()
{
    stop();
}

void VxrScheduler::start()
{
    HX2MutexLock lock(m_threadMutex);
    if (m_running.exchange(true))
        return;
    // The last thread, stopped, has ended or is ending.
    if (m_thread.joinable())
        m_thread.join();
    m_thread = std::thread([this] { run(); });
}

void VxrScheduler::stop()
{
    {
        HX2MutexLock lock(m_stopMutex);
        m_stopping = true;
        m_stopped.notifyAll();
    }
    std::thread thread;
    {
        HX2MutexLock lock(m_threadMutex);
        thread.swap(m_thread);
    }
    if (thread.joinable())
        thread.join();
}

bool VxrScheduler::pause()
{
    // Waits out the whole pause whatever wakes it, but for a stop.
    const auto end = std::chrono::steady_clock::now() + kPassSleep;
    HX2MutexLock lock(m_stopMutex);
    while (!m_stopping && std::chrono::steady_clock::now() < end)
        m_stopped.waitFor(m_stopMutex, end - std::chrono::steady_clock::now());
    return !m_stopping;
}

void VxrScheduler::run()
{
    m_running.store(true);
    QElapsedTimer mono;
    mono.start();
    VxrSchedulerState state(mono.elapsed(), m_seams.now().time().minute());
    for (;;) {
        const VxrSettings s = m_settings.settings();
        if (!s.active) {
            if (!pause())
                break;
            continue;
        }
        if (state.reportDue(mono.elapsed(), s.reportIntervalMs))
            m_report.start();
        if (state.cycleDue(mono.elapsed(), s.backupIntervalMs)
            && VxrSchedule::cycleMayStart(m_worker.running().load(), false))
            m_cycle.start();
        if (!pause())
            break;
        if (state.dailyCheckDue(m_seams.now().time().minute(), m_cycle.running().load()))
            dailyCheck();
    }
    m_running.store(false);
}

void VxrScheduler::dailyCheck()
{
    const QDateTime current = m_seams.now();
    {
        HX2MutexLock lock(scheduleMutex);
        if (!VxrSchedule::due(current, m_nextSchedule))
            return;
    }
    if (m_settings.settings().hasAccount())
        m_worker.queueTasks(VxrSchedule::uploadTasks(m_settings.dmpaths()));

    // The next time comes from the file as it is now; when it cannot be
    // read, from the entries loaded last, so the time that has come is
    // passed over either way.
    QJsonObject file;
    QJsonArray entries;
    const bool reloaded = HX2File::loadJson(file, m_settings.settingsPath());
    if (reloaded) {
        entries = VxrSettingsRules::parse(file).schedule;
    } else {
        HX2MutexLock lock(scheduleMutex);
        entries = m_entries;
    }
    const QDateTime next = scheduleNext(entries);
    HX2MutexLock lock(scheduleMutex);
    m_nextSchedule = next;
    if (reloaded)
        m_entries = entries;
}

void VxrScheduler::setSchedule(const QJsonArray& entries)
{
    const QDateTime current = m_seams.now();
    const QDateTime next = VxrSchedule::nextOfSchedule(current, entries);
    HX2MutexLock lock(scheduleMutex);
    // A daily time that has come but that the daily check has not taken yet
    // (it looks a few seconds into each minute, later while a snapshot cycle
    // runs) stays when the schedule still holds it: reading the settings in
    // that moment must not pass the upload over until tomorrow.
    const bool pending = entries == m_entries && VxrSchedule::due(current, m_nextSchedule)
                         && m_nextSchedule.secsTo(current) < kPendingSecs;
    if (!pending)
        m_nextSchedule = next;
    m_entries = entries;
}

QDateTime VxrScheduler::nextSchedule() const
{
    HX2MutexLock lock(scheduleMutex);
    return m_nextSchedule;
}

QDateTime VxrScheduler::scheduleNext(int hour, int minute) const
{
    return VxrSchedule::nextOccurrence(m_seams.now(), hour, minute);
}

QDateTime VxrScheduler::scheduleNext(const QJsonArray& schedule) const
{
    return VxrSchedule::nextOfSchedule(m_seams.now(), schedule);
}
