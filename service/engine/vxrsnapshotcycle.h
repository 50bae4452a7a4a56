#ifndef VXRSNAPSHOTCYCLE_H
#define VXRSNAPSHOTCYCLE_H

#include <QString>

#include <atomic>

class VxrOperationLog;
class VxrPruning;
class VxrSeams;
class VxrSettingsStore;

// The snapshot cycle: one new snapshot of every configured dataset, then,
// with a local retention rule, one pruning pass over each. At most one
// cycle runs at a time.
class VxrSnapshotCycle
{
public:
    VxrSnapshotCycle(VxrSeams& seams, VxrOperationLog& log, const VxrSettingsStore& settings, VxrPruning& pruning);

    // Starts a cycle on a thread of its own unless one runs.
    void start();
    // Thread body of one cycle; clears running() at the end.
    void run();
    // Takes dataset@vxr_<the clock's time as yyyyMMddHHmmss>. A failure
    // writes one "Backup failed" record carrying zfs's error text; a
    // dataset that is not a name zfs makes gets that record with no
    // program run.
    void snap(const QString& dataset);

    std::atomic<bool>& running() { return m_running; }

private:
    VxrSeams& m_seams;
    VxrOperationLog& m_log;
    const VxrSettingsStore& m_settings;
    VxrPruning& m_pruning;
    std::atomic<bool> m_running{false};
};

#endif
