#include "vxrsnapshotcycle.h"

#include "vxroperationlog.h"
#include "vxroplog.h"
#include "vxrplan.h"
#include "vxrpruning.h"
#include "vxrseams.h"
#include "vxrsettingsstore.h"
#include "vxrzfs.h"

#include <thread>

VxrSnapshotCycle::VxrSnapshotCycle(VxrSeams& seams, VxrOperationLog& log, const VxrSettingsStore& settings,
                                   VxrPruning& pruning)
    : m_seams(seams), m_log(log), m_settings(settings), m_pruning(pruning)
{
}

void VxrSnapshotCycle::start()
{
    if (!m_running.exchange(true))
        std::thread([this] { run(); }).detach();
}

void VxrSnapshotCycle::run()
{
    m_running.store(true);
    const QStringList datasets = m_settings.dmpaths();
    for (const QString& dataset : datasets)
        snap(dataset);
    if (m_pruning.policy().hasLocal) {
        for (const QString& dataset : datasets)
            m_pruning.pruneLocal(dataset);
    }
    m_running.store(false);
}

void VxrSnapshotCycle::snap(const QString& dataset)
{
    // The saved datasets are the management layer's text: one zfs would
    // read as an option ("-r") is never handed to it.
    if (!VxrPlan::validName(dataset, false)) {
        m_log.write(VxrLog::kError, VxrLog::kBackupFailed, QStringLiteral("not a dataset name: ") + dataset,
                    VxrLog::kActionSnapshot, VxrLog::kStateFailed);
        return;
    }
    const HX2RunResult r = m_seams.programs()->run(VxrZfs::snapshot(VxrZfs::snapshotName(dataset, m_seams.now())));
    if (!r.ok)
        m_log.write(VxrLog::kError, VxrLog::kBackupFailed, r.errText(), VxrLog::kActionSnapshot, VxrLog::kStateFailed);
}
