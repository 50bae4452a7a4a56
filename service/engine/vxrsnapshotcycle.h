#ifndef VXRSNAPSHOTCYCLE_H
#define VXRSNAPSHOTCYCLE_H

#include "hx2mutex.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <thread>

class VxrOperationLog;
class VxrPruning;
class VxrSeams;
class VxrSettingsStore;

// Local pruning on a thread of its own, so that a long pass (a listing or
// a destroy may each take up to an hour) never holds up the snapshots.
// One pass at a time: requests made while one runs become a single pass
// over the latest list once it ends. A pass starts no new dataset after
// its budget, nor once the service quits; the next one goes on where it
// stopped. Any thread.
class VxrPruningPasses
{
public:
    static constexpr qint64 kPassBudgetMs = 20 * 60 * 1000;

    // quitting is the service's quit flag.
    VxrPruningPasses(VxrPruning& pruning, const std::atomic<bool>& quitting);
    // stop().
    ~VxrPruningPasses();
    VxrPruningPasses(const VxrPruningPasses&) = delete;
    VxrPruningPasses& operator=(const VxrPruningPasses&) = delete;

    // Asks for a pass over datasets (starting the thread at the first).
    void request(const QStringList& datasets);
    // Returns once no pass runs and none is asked for.
    void waitIdle();
    // Starts nothing more, waits for the dataset in work and ends the
    // thread; requests are ignored afterwards.
    void stop();
    // Tests: the budget of the passes that start from now.
    void setBudgetMs(qint64 ms) { m_budgetMs.store(ms); }

private:
    void loop();
    void pass(const QStringList& datasets);

    VxrPruning& m_pruning;
    const std::atomic<bool>& m_quitting;
    std::atomic<bool> m_stopping{false};
    std::atomic<qint64> m_budgetMs{kPassBudgetMs};

    HX2Mutex m_mutex;
    HX2CondVar m_changed;
    std::thread m_thread HX2_GUARDED_BY(m_mutex);
    bool m_asked HX2_GUARDED_BY(m_mutex) = false;
    bool m_busy HX2_GUARDED_BY(m_mutex) = false;
    QStringList m_datasets HX2_GUARDED_BY(m_mutex);
    // Pass thread only: the first dataset the last pass did not reach.
    QString m_resumeAt;
};

// The snapshot cycle: one new snapshot of every configured dataset, then,
// with a local retention rule, a request for a pruning pass over them. At
// most one cycle runs at a time.
class VxrSnapshotCycle
{
public:
    VxrSnapshotCycle(VxrSeams& seams, VxrOperationLog& log, const VxrSettingsStore& settings, VxrPruning& pruning,
                     const std::atomic<bool>& quitting);
    // Waits for the cycle's thread and stops the pruning passes.
    ~VxrSnapshotCycle();
    VxrSnapshotCycle(const VxrSnapshotCycle&) = delete;
    VxrSnapshotCycle& operator=(const VxrSnapshotCycle&) = delete;

    // Starts a cycle on a thread of its own unless one runs; the cycle
    // ends with its snapshots, its pruning going on in the background.
    void start();
    // One whole cycle in the caller's thread, its pruning included (the
    // pass runs on the pruning thread; this waits for it). Clears
    // running() at the end.
    void run();
    // Takes dataset@vxr_<the clock's time as yyyyMMddHHmmss>; when that
    // name exists and a later one too (the clock went back), the name one
    // second after the latest. A failure writes one "Backup failed"
    // record carrying zfs's error text; a
    // dataset that is not a name zfs makes gets that record with no
    // program run.
    void snap(const QString& dataset);

    std::atomic<bool>& running() { return m_running; }
    VxrPruningPasses& pruningPasses() { return m_passes; }

private:
    // The snapshots, then the pruning request.
    void cycle();

    VxrSeams& m_seams;
    VxrOperationLog& m_log;
    const VxrSettingsStore& m_settings;
    VxrPruning& m_pruning;
    VxrPruningPasses m_passes;
    std::atomic<bool> m_running{false};
    HX2Mutex m_threadMutex;
    std::thread m_thread HX2_GUARDED_BY(m_threadMutex);
};

#endif
