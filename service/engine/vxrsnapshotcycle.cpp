#include "vxrsnapshotcycle.h"

#include "hx2utils.h"
#include "vxroperationlog.h"
#include "vxroplog.h"
#include "vxrplan.h"
#include "vxrpruning.h"
#include "vxrseams.h"
#include "vxrsettingsstore.h"
#include "vxrzfs.h"

#include <QElapsedTimer>

#include <algorithm>

VxrPruningPasses::VxrPruningPasses(VxrPruning& pruning, const std::atomic<bool>& quitting)
    : m_pruning(pruning), m_quitting(quitting)
{
}

VxrPruningPasses::~VxrPruningPasses()
{
    stop();
}

void VxrPruningPasses::request(const QStringList& datasets)
{
    HX2MutexLock lock(m_mutex);
    if (m_stopping.load())
        return;
    m_datasets = datasets;
    m_asked = true;
    if (!m_thread.joinable())
        m_thread = std::thread([this] { loop(); });
    m_changed.notifyAll();
}

void VxrPruningPasses::waitIdle()
{
    HX2MutexLock lock(m_mutex);
    while ((m_asked || m_busy) && m_thread.joinable())
        m_changed.wait(m_mutex);
}

void VxrPruningPasses::stop()
{
    std::thread thread;
    {
        HX2MutexLock lock(m_mutex);
        m_stopping.store(true);
        m_asked = false;
        thread.swap(m_thread);
        m_changed.notifyAll();
    }
    if (thread.joinable())
        thread.join();
    HX2MutexLock lock(m_mutex);
    m_changed.notifyAll();
}

void VxrPruningPasses::loop()
{
    for (;;) {
        QStringList datasets;
        {
            HX2MutexLock lock(m_mutex);
            m_busy = false;
            m_changed.notifyAll();
            while (!m_asked && !m_stopping.load())
                m_changed.wait(m_mutex);
            if (m_stopping.load())
                return;
            datasets = m_datasets;
            m_asked = false;
            m_busy = true;
        }
        pass(datasets);
    }
}

void VxrPruningPasses::pass(const QStringList& datasets)
{
    QElapsedTimer elapsed;
    elapsed.start();
    const qint64 budget = m_budgetMs.load();
    // Datasets a pass did not reach come first in the next.
    const int from = std::max(0, int(datasets.indexOf(m_resumeAt)));
    m_resumeAt.clear();
    for (int i = 0; i < datasets.size(); ++i) {
        const QString& dataset = datasets.at((from + i) % datasets.size());
        if (m_stopping.load() || m_quitting.load())
            return;
        if (i > 0 && elapsed.elapsed() >= budget) {
            m_resumeAt = dataset;
            const QString pruningResumesAt = dataset;
            PRINTVAR(pruningResumesAt);
            return;
        }
        m_pruning.pruneLocal(dataset);
    }
}

VxrSnapshotCycle::VxrSnapshotCycle(VxrSeams& seams, VxrOperationLog& log, const VxrSettingsStore& settings,
                                   VxrPruning& pruning, const std::atomic<bool>& quitting)
    : m_seams(seams), m_log(log), m_settings(settings), m_pruning(pruning), m_passes(pruning, quitting)
{
}

VxrSnapshotCycle::~VxrSnapshotCycle()
{
    HX2MutexLock lock(m_threadMutex);
    if (m_thread.joinable())
        m_thread.join();
}

void VxrSnapshotCycle::start()
{
    if (m_running.exchange(true))
        return;
    HX2MutexLock lock(m_threadMutex);
    // The last cycle's thread has cleared running() and is ending.
    if (m_thread.joinable())
        m_thread.join();
    m_thread = std::thread([this] {
        cycle();
        m_running.store(false);
    });
}

void VxrSnapshotCycle::run()
{
    m_running.store(true);
    cycle();
    m_passes.waitIdle();
    m_running.store(false);
}

void VxrSnapshotCycle::cycle()
{
    const QStringList datasets = m_settings.dmpaths();
    for (const QString& dataset : datasets)
        snap(dataset);
    if (m_pruning.policy().hasLocal)
        m_passes.request(datasets);
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
    const std::shared_ptr<VxrPrograms> run = m_seams.programs();
    const QString name = VxrZfs::snapshotName(dataset, m_seams.now());
    HX2RunResult r = run->run(VxrZfs::snapshot(name));
    if (!r.ok && r.errText().contains(QLatin1String("already exists"))) {
        // After the clock went back the stamps of the hour ahead exist
        // already; taking none for that hour would leave it unprotected.
        const HX2RunResult listed = run->run(VxrZfs::snapshotNamesOf(dataset));
        const QString later = listed.ok ? VxrZfs::snapshotNameAfter(dataset, name, listed.outLines()) : QString();
        if (!later.isEmpty())
            r = run->run(VxrZfs::snapshot(later));
    }
    if (!r.ok)
        m_log.write(VxrLog::kError, VxrLog::kBackupFailed, r.errText(), VxrLog::kActionSnapshot, VxrLog::kStateFailed);
}
