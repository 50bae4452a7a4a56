#include "vxrrestore.h"

#include "hx2utils.h"
#include "vxrlinkcheck.h"
#include "vxroperationlog.h"
#include "vxroplog.h"
#include "vxrpipeline.h"
#include "vxrplan.h"
#include "vxrseams.h"
#include "vxrtaskworker.h"
#include "vxrtransfer.h"
#include "vxrzfs.h"

#include <QDir>
#include <QFileInfo>

namespace {

constexpr int kPollMs = 3000;
constexpr int kStartMs = 5000;
// A phase still running after ten days is taken for hung.
constexpr qint64 kPhaseLimitMs = 864000000;

// The path a mount point names once the symbolic links of its existing
// part are followed: a link inside the pool's tree may lead out of it.
QString resolvedMountpoint(const QString& path)
{
    QString existing = QDir::cleanPath(path);
    QString rest;
    while (!existing.isEmpty() && existing != QLatin1String("/") && !QFileInfo::exists(existing)) {
        const int slash = existing.lastIndexOf(QLatin1Char('/'));
        rest.prepend(existing.mid(slash));
        existing = slash > 0 ? existing.left(slash) : QStringLiteral("/");
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    return QDir::cleanPath((canonical.isEmpty() ? existing : canonical) + rest);
}

// The phases of a restore: the first snapshot whole, then the increments
// to the last. Both estimates run, the second also for a single snapshot.
VxrPhasePlan phasesOf(const VxrPlan::Restore& plan, const VxrSsh::Account& account, const QString& dataset,
                      int taskIndex, const VxrStreamLink& link)
{
    VxrPhasePlan phases;
    phases.pollMs = kPollMs;
    phases.taskIndex = taskIndex;
    phases.limitMs = kPhaseLimitMs;
    phases.rate = link.rate;
    const QString last = plan.last.isEmpty() ? plan.first : plan.last;
    phases.estimates << VxrZfs::onServer(account, VxrZfs::restoreFullEstimate(plan.first))
                     << VxrZfs::onServer(account, VxrZfs::restoreIncrementalEstimate(plan.first, last));
    phases.phases << VxrPhasePlan::Phase{[=](qint64 total, qint64) {
        return VxrPipeline::transfer(
            account, VxrPipeline::restoreFull(account, plan.first, dataset, total, link.now()), kStartMs);
    }};
    if (!plan.last.isEmpty()) {
        phases.phases << VxrPhasePlan::Phase{[=](qint64, qint64 own) {
            return VxrPipeline::transfer(
                account, VxrPipeline::restoreIncremental(account, plan.first, plan.last, dataset, own, link.now()),
                kStartMs);
        }};
    }
    return phases;
}

} // namespace

VxrRestoreFlow::VxrRestoreFlow(VxrSeams& seams, VxrOperationLog& log, VxrTaskWorker& worker, VxrLinkCheck& links)
    : m_seams(seams), m_log(log), m_worker(worker), m_links(links)
{
}

bool VxrRestoreFlow::request(HX2Journals& journal, const VxrSsh::Account& account)
{
    const QString why = VxrSsh::destinationProblem(account);
    if (!why.isEmpty()) {
        PRINTVAR(why);
        journal.setErr(9994, QStringLiteral("账号设置无效"));
        return false;
    }
    const std::shared_ptr<VxrPrograms> run = m_seams.programs();
    const HX2RunResult listed = run->run(VxrZfs::onServer(account, VxrZfs::accountDatasets()));
    if (!listed.ok) {
        m_log.write(VxrLog::kError, VxrLog::kCloudInfoFailed, VxrLog::kActionRestore, VxrLog::kStateFailed);
        journal.setErr(9886, QStringLiteral("操作失败，可能是云机账号或密码错误"));
        return false;
    }
    const QStringList serverNames = listed.outLines();
    const int offered = VxrPlan::restoreRequest(serverNames, {}).datasets.size();
    if (offered == 0) {
        journal.setErr(9994, QStringLiteral("云机上没有备份的数据，无法恢复"));
        return false;
    }
    if (offered > VxrPlan::kMaxRestoreTasks) {
        m_log.write(VxrLog::kError, VxrLog::kRestoreFail,
                    QStringLiteral("the server lists %1 datasets, more than the %2 one request restores")
                        .arg(offered)
                        .arg(VxrPlan::kMaxRestoreTasks),
                    VxrLog::kActionRestore, VxrLog::kStateFailed);
        journal.setErr(9886, QStringLiteral("操作失败，云机上的卷超过 %1 个，无法一次恢复").arg(VxrPlan::kMaxRestoreTasks));
        return false;
    }
    const HX2RunResult local = run->run(VxrZfs::datasetNames());
    if (!local.ok)
        return false;
    const VxrPlan::RestoreRequest request = VxrPlan::restoreRequest(serverNames, local.outLines());
    if (!request.clashes.isEmpty()) {
        journal.setErr(9993, QStringLiteral("本地磁盘上的卷已存在，无法覆盖恢复，请先删除: ")
                                 + request.clashes.join(QStringLiteral(", ")));
        return false;
    }
    if (!request.missingPools.isEmpty()) {
        journal.setErr(9887, QStringLiteral("本地磁盘上的Pool不存在，需要先创建好: ")
                                 + request.missingPools.join(QStringLiteral(", ")));
        return false;
    }
    QList<VxrTask> tasks;
    for (const QString& dataset : request.datasets)
        tasks << VxrTask::restore(dataset, account);
    m_worker.queueTasks(tasks);
    return true;
}

bool VxrRestoreFlow::resetStrayMountpoints(VxrPrograms& run, const QString& dataset, QStringList* resets)
{
    const QString pool = dataset.section(QLatin1Char('/'), 0, 0);
    const HX2RunResult poolRun = run.run(VxrZfs::poolMountpoint(pool));
    const HX2RunResult below = run.run(VxrZfs::mountpointsBelow(dataset));
    if (!poolRun.ok || !below.ok || poolRun.outLines().size() != 1)
        return false;
    const QString poolPath = poolRun.outLines().first();
    const QString poolResolved = poolPath.startsWith(QLatin1Char('/')) ? resolvedMountpoint(poolPath) : poolPath;
    QList<VxrPlan::Mountpoint> own;
    if (!VxrPlan::ownMountpoints(below.outLines(), &own))
        return false;
    for (const VxrPlan::Mountpoint& m : own) {
        // A path inside the pool's tree by its text may still lead out of
        // it through a link that an earlier restore brought.
        const bool inside = VxrPlan::mountpointInside(poolPath, m.path)
                            && (!m.path.startsWith(QLatin1Char('/'))
                                || VxrPlan::mountpointInside(poolResolved, resolvedMountpoint(m.path)));
        if (inside)
            continue;
        if (!run.run(VxrZfs::inheritMountpoint(m.dataset)).ok)
            return false;
        *resets << m.dataset + QStringLiteral(" from ") + m.path;
    }
    return true;
}

bool VxrRestoreFlow::record(const char* level, const char* message, int state, const QString& detail)
{
    if (detail.isEmpty())
        m_log.write(level, message, VxrLog::kActionRestore, state);
    else
        m_log.write(level, message, detail, VxrLog::kActionRestore, state);
    return state == VxrLog::kStateSucceeded;
}

bool VxrRestoreFlow::fail(const QString& reason)
{
    PRINTVAR(reason);
    return record(VxrLog::kError, VxrLog::kRestoreFail, VxrLog::kStateFailed);
}

bool VxrRestoreFlow::cancel()
{
    return record(VxrLog::kWarning, VxrLog::kCancelRestore, VxrLog::kStateCancelled);
}

bool VxrRestoreFlow::cancelled(const VxrTask& task) const
{
    return m_worker.queue().headRemoved(task.index);
}

VxrRestoreFlow::Target VxrRestoreFlow::checkTarget(VxrPrograms& run, const VxrTask& task, const QString& newest)
{
    // The task may have waited hours behind uploads since the request
    // checked for clashes: what exists now is never received into.
    if (cancelled(task))
        return Target::Cancelled;
    const HX2RunResult local = run.run(VxrZfs::datasetNames());
    if (!local.ok) {
        fail(QStringLiteral("the appliance's datasets could not be listed"));
        return Target::Refused;
    }
    if (!local.outLines().contains(task.dataset))
        return Target::Absent;
    if (cancelled(task))
        return Target::Cancelled;
    const HX2RunResult held = run.run(VxrZfs::snapshotNamesOf(task.dataset));
    if (!held.ok || !held.outLines().contains(newest)) {
        fail(task.dataset + QStringLiteral(" exists on the appliance and lacks ") + newest);
        return Target::Refused;
    }
    return Target::Complete;
}

bool VxrRestoreFlow::mountRestored(VxrPrograms& run, const VxrTask& task, qint64 total)
{
    if (cancelled(task))
        return cancel();
    // The stream carries the server's mount points: one that leads out of
    // the pool's tree (over /etc, say) goes back to the inherited one before
    // anything is mounted, and a dataset whose mount points cannot be
    // checked is not mounted at all.
    QStringList resets;
    if (!resetStrayMountpoints(run, task.dataset, &resets))
        return fail(QStringLiteral("the received mount points could not be checked or reset"));
    m_worker.queue().finishHead(task.index, total);
    // A dataset that cannot be mounted is still restored.
    run.run(VxrZfs::mount(task.dataset));
    return record(VxrLog::kInformation, VxrLog::kRestoreSuccess, VxrLog::kStateSucceeded,
                  resets.isEmpty() ? QString() : QStringLiteral("mountpoint reset: ") + resets.join(QStringLiteral("; ")));
}

bool VxrRestoreFlow::run(const VxrTask& task)
{
    const QString& dataset = task.dataset;
    VxrSsh::Account account = task.account;
    account.port = VxrSsh::validPort(account.port);
    const std::shared_ptr<VxrPrograms> run = m_seams.programs();

    const QString why = VxrSsh::destinationProblem(account);
    if (!why.isEmpty())
        return fail(why);
    if (!VxrPlan::validName(dataset, false))
        return fail(QStringLiteral("not a dataset name ZFS makes: ") + dataset);

    // A cancel is obeyed before every step that starts a program, also
    // before the first: a task cancelled while it waited logs no one in.
    if (cancelled(task))
        return cancel();
    const HX2RunResult listed = run->run(VxrZfs::onServer(account, VxrZfs::restoreSnapshots(dataset)));
    if (!listed.ok)
        return record(VxrLog::kError, VxrLog::kCloudInfoFailed, VxrLog::kStateFailed);
    const VxrPlan::Restore plan = VxrPlan::restore(dataset, listed.outLines());
    if (!plan.refusal.isEmpty())
        return fail(plan.refusal);
    if (plan.isEmpty())
        return false;

    if (cancelled(task))
        return cancel();
    const VxrPhasePlan phases = phasesOf(plan, account, dataset, task.index, m_links.linkTo(*run, account, true));
    VxrPhaseRunner runner(*run, &m_worker.queue(), m_worker.quitting());
    QList<qint64> sizes;
    if (!runner.estimate(phases, &sizes))
        return cancel();
    qint64 total = 0;
    for (const qint64 size : qAsConst(sizes))
        total += size;

    switch (checkTarget(*run, task, plan.last.isEmpty() ? plan.first : plan.last)) {
    case Target::Cancelled:
        return cancel();
    case Target::Refused:
        return false;
    case Target::Complete:
        break;
    case Target::Absent: {
        const VxrPhaseOutcome received = runner.run(phases, sizes);
        if (received.outcome == VxrTransferResult::Cancelled)
            return cancel();
        if (received.outcome != VxrTransferResult::Succeeded)
            return record(VxrLog::kError, VxrLog::kRestoreFail, VxrLog::kStateFailed);
        break;
    }
    }
    return mountRestored(*run, task, total);
}
