#include "vxrupload.h"

#include "hx2utils.h"
#include "vxrlinkcheck.h"
#include "vxroperationlog.h"
#include "vxroplog.h"
#include "vxrpipeline.h"
#include "vxrplan.h"
#include "vxrpruning.h"
#include "vxrretention.h"
#include "vxrseams.h"
#include "vxrsettingsstore.h"
#include "vxrtaskworker.h"
#include "vxrtransfer.h"
#include "vxrzfs.h"

namespace {

constexpr int kPollMs = 2000;
constexpr int kStartMs = 30000;

// The phases of the plan: the full stream with its estimate, then the
// increments with theirs (estimated again when it is still unknown).
VxrPhasePlan phasesOf(const VxrPlan::Upload& plan, const VxrSsh::Account& account, const QString& dataset,
                      int taskIndex, const VxrStreamLink& link, VxrZfs::ServerHistory history)
{
    VxrPhasePlan phases;
    phases.pollMs = kPollMs;
    phases.taskIndex = taskIndex;
    phases.estimateLate = true;
    phases.rate = link.rate;
    if (!plan.full.isEmpty()) {
        phases.estimates << VxrZfs::fullEstimate(plan.full);
        phases.phases << VxrPhasePlan::Phase{[=](qint64 total, qint64) {
            return VxrPipeline::transfer(
                account, VxrPipeline::uploadFull(account, plan.full, dataset, total, link.now()), kStartMs);
        }};
    }
    if (plan.hasIncremental()) {
        phases.estimates << VxrZfs::incrementalEstimate(plan.from, plan.to);
        phases.phases << VxrPhasePlan::Phase{[=](qint64, qint64 own) {
            return VxrPipeline::transfer(
                account,
                VxrPipeline::uploadIncremental(account, plan.from, plan.to, dataset, own, link.now(), history),
                kStartMs);
        }};
    }
    return phases;
}

} // namespace

VxrUploadFlow::VxrUploadFlow(VxrSeams& seams, VxrOperationLog& log, VxrSettingsStore& settings,
                             VxrTaskWorker& worker, VxrPruning& pruning, VxrLinkCheck& links)
    : m_seams(seams), m_log(log), m_settings(settings), m_worker(worker), m_pruning(pruning), m_links(links)
{
}

bool VxrUploadFlow::finish(VxrTransferResult::Outcome outcome)
{
    switch (outcome) {
    case VxrTransferResult::Succeeded:
        m_log.write(VxrLog::kInformation, VxrLog::kUploadSuccess, VxrLog::kActionUpload, VxrLog::kStateSucceeded);
        m_settings.recordLastBackup(VxrLog::kStateSucceeded, m_seams.now());
        return true;
    case VxrTransferResult::Cancelled:
        m_log.write(VxrLog::kWarning, VxrLog::kCancelUpload, VxrLog::kActionUpload, VxrLog::kStateCancelled);
        m_settings.recordLastBackup(VxrLog::kStateCancelled, m_seams.now());
        return false;
    case VxrTransferResult::NotStarted:
    case VxrTransferResult::Failed:
        break;
    }
    m_log.write(VxrLog::kError, VxrLog::kUploadFail, VxrLog::kActionUpload, VxrLog::kStateFailed);
    m_settings.recordLastBackup(VxrLog::kStateFailed, m_seams.now());
    return false;
}

bool VxrUploadFlow::run(const VxrTask& task)
{
    VxrSsh::Account account;
    QString why;
    if (!VxrSettingsRules::usableAccount(m_settings.settings(), &account, &why)) {
        PRINTVAR(why);
        return false;
    }
    const QString& dataset = task.dataset;
    if (!VxrPlan::validName(dataset, false)) {
        const QString notADataset = dataset;
        PRINTVAR(notADataset);
        return finish(VxrTransferResult::Failed);
    }
    const std::shared_ptr<VxrPrograms> run = m_seams.programs();
    VxrTaskQueue& queue = m_worker.queue();
    // A cancel is obeyed before every step that starts a program, also
    // before the first: a task cancelled while it waited logs no one in.
    auto cancelled = [&] { return queue.headRemoved(task.index); };
    // No pruning pass of the dataset runs from its listing to its base move.
    const VxrDatasetClaims::Hold claim(m_pruning.claims(), dataset, true);

    if (cancelled())
        return finish(VxrTransferResult::Cancelled);
    const HX2RunResult localRun = run->run(VxrZfs::snapshotNamesOf(dataset));
    if (!localRun.ok)
        return false;
    const QStringList local = localRun.outLines();
    if (local.isEmpty() || m_worker.quitting().load())
        return false;

    if (cancelled())
        return finish(VxrTransferResult::Cancelled);
    const HX2RunResult remoteRun = run->run(VxrZfs::onServer(account, VxrZfs::uploadRemoteSnapshots(dataset)));
    if (!remoteRun.ok) {
        m_log.write(VxrLog::kError, VxrLog::kCloudInfoFailed, VxrLog::kActionUpload, VxrLog::kStateFailed);
        return false;
    }
    const VxrPlan::Upload plan = VxrPlan::upload(local, remoteRun.outLines());
    if (!plan.refusal.isEmpty()) {
        const QString refused = plan.refusal;
        PRINTVAR(refused);
        return finish(VxrTransferResult::Failed);
    }

    if (cancelled())
        return finish(VxrTransferResult::Cancelled);
    const VxrPhasePlan phases = phasesOf(plan, account, dataset, task.index, m_links.linkTo(*run, account, true),
                                         m_pruning.serverHistory());
    VxrPhaseRunner runner(*run, &queue, m_worker.quitting());
    QList<qint64> sizes;
    if (!runner.estimate(phases, &sizes))
        return finish(VxrTransferResult::Cancelled);
    const VxrPhaseOutcome outcome = runner.run(phases, sizes);
    if (outcome.outcome == VxrTransferResult::Succeeded)
        queue.finishHead(task.index, outcome.total);
    if (!finish(outcome.outcome))
        return false;
    // The server now ends at the newest local snapshot.
    if (m_pruning.policy().enabled)
        m_pruning.moveBase(account, dataset, local.last());
    return true;
}
