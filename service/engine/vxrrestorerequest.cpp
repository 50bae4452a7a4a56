// The restore requests: what they check before anything is queued.
#include "vxrrestore.h"

#include "hx2utils.h"
#include "vxroperationlog.h"
#include "vxroplog.h"
#include "vxrseams.h"
#include "vxrtaskworker.h"
#include "vxrzfs.h"

VxrRestoreFlow::VxrRestoreFlow(VxrSeams& seams, VxrOperationLog& log, VxrTaskWorker& worker, VxrLinkCheck& links,
                               VxrDatasetClaims& claims)
    : m_seams(seams), m_log(log), m_worker(worker), m_links(links), m_claims(claims)
{
}

bool VxrRestoreFlow::serverDatasets(HX2Journals& journal, VxrPrograms& run, const VxrSsh::Account& account,
                                    QStringList* names)
{
    const QString why = VxrSsh::destinationProblem(account);
    if (!why.isEmpty()) {
        PRINTVAR(why);
        journal.setErr(9994, QStringLiteral("账号设置无效"));
        return false;
    }
    const HX2RunResult listed = run.run(VxrZfs::onServer(account, VxrZfs::accountDatasets()));
    if (!listed.ok) {
        m_log.write(VxrLog::kError, VxrLog::kCloudInfoFailed, VxrLog::kActionRestore, VxrLog::kStateFailed);
        journal.setErr(9886, QStringLiteral("操作失败，可能是云机账号或密码错误"));
        return false;
    }
    *names = listed.outLines();
    return true;
}

bool VxrRestoreFlow::resumable(VxrPrograms& run, const VxrSsh::Account& account, const QString& dataset,
                               const QStringList& localNames)
{
    // Only a dataset that carries its own restore's mark can be one: the
    // server is asked about no other.
    const HX2RunResult mark = run.run(VxrZfs::restoreMark(dataset));
    if (!mark.ok || mark.outLines().value(0) != dataset + QStringLiteral("\tlocal"))
        return false;
    const HX2RunResult listed = run.run(VxrZfs::onServer(account, VxrZfs::restoreSnapshots(dataset)));
    if (!listed.ok)
        return false;
    const VxrPlan::Restore plan = VxrPlan::restore(dataset, listed.outLines());
    if (!plan.refusal.isEmpty() || plan.first.isEmpty())
        return false;
    const Inspection found = inspect(run, dataset, dataset, plan, localNames, [] { return false; });
    return found.kind == Inspection::Resume || found.kind == Inspection::Finished;
}

bool VxrRestoreFlow::request(HX2Journals& journal, const VxrSsh::Account& account)
{
    const std::shared_ptr<VxrPrograms> run = m_seams.programs();
    QStringList serverNames;
    if (!serverDatasets(journal, *run, account, &serverNames))
        return false;
    const VxrPlan::RestoreRequest offer = VxrPlan::restoreRequest(serverNames, {});
    if (!offer.invalid.isEmpty()) {
        m_log.write(VxrLog::kError, VxrLog::kRestoreFail,
                    QStringLiteral("the server lists %1 dataset names zfs would not make").arg(offer.invalid.size()),
                    VxrLog::kActionRestore, VxrLog::kStateFailed);
        journal.setErr(9886, QStringLiteral("操作失败，云机上的卷列表无效"));
        return false;
    }
    const int offered = offer.datasets.size();
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
    QStringList clashes;
    for (const QString& dataset : request.clashes) {
        if (!resumable(*run, account, dataset, local.outLines()))
            clashes << dataset;
    }
    if (!clashes.isEmpty()) {
        journal.setErr(9993, QStringLiteral("本地磁盘上的卷已存在，无法覆盖恢复，请先删除: ")
                                 + clashes.join(QStringLiteral(", ")));
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

bool VxrRestoreFlow::request(HX2Journals& journal, const VxrSsh::Account& account,
                             const VxrPlan::RestoreChoice& choice)
{
    const std::shared_ptr<VxrPrograms> run = m_seams.programs();
    QStringList serverNames;
    if (!serverDatasets(journal, *run, account, &serverNames))
        return false;
    if (!serverNames.contains(choice.dataset)) {
        journal.setErr(9884, QStringLiteral("云机上没有这个卷: ") + choice.dataset);
        return false;
    }
    const HX2RunResult listed = run->run(VxrZfs::onServer(account, VxrZfs::restoreSnapshots(choice.dataset)));
    if (!listed.ok) {
        m_log.write(VxrLog::kError, VxrLog::kCloudInfoFailed, VxrLog::kActionRestore, VxrLog::kStateFailed);
        journal.setErr(9886, QStringLiteral("操作失败，可能是云机账号或密码错误"));
        return false;
    }
    const VxrPlan::Restore plan = VxrPlan::restore(choice.dataset, listed.outLines(), choice.snapshot);
    if (!plan.refusal.isEmpty()) {
        m_log.write(VxrLog::kError, VxrLog::kRestoreFail, plan.refusal, VxrLog::kActionRestore, VxrLog::kStateFailed);
        journal.setErr(9886, QStringLiteral("操作失败，云机上的快照列表无效: ") + choice.dataset);
        return false;
    }
    if (plan.missing) {
        journal.setErr(9883, QStringLiteral("云机上没有这个快照: ") + VxrPlan::snapshotOf(choice.dataset, choice.snapshot));
        return false;
    }
    if (plan.first.isEmpty()) {
        journal.setErr(9994, QStringLiteral("云机上没有备份的数据，无法恢复"));
        return false;
    }
    const HX2RunResult local = run->run(VxrZfs::datasetNames());
    if (!local.ok)
        return false;
    const QString into = choice.target.isEmpty() ? choice.dataset : choice.target;
    const Inspection found = inspect(*run, choice.dataset, into, plan, local.outLines(), [] { return false; });
    switch (found.kind) {
    case Inspection::Failed:
    case Inspection::Cancelled:
        return false;
    case Inspection::Complete:
    case Inspection::Exists:
        journal.setErr(9993, QStringLiteral("本地磁盘上的卷已存在，无法覆盖恢复，请先删除: ") + into);
        return false;
    case Inspection::Absent: {
        const QString pool = into.section(QLatin1Char('/'), 0, 0);
        const QString parent = into.section(QLatin1Char('/'), 0, -2);
        if (!local.outLines().contains(pool)) {
            journal.setErr(9887, QStringLiteral("本地磁盘上的Pool不存在，需要先创建好: ") + pool);
            return false;
        }
        if (!local.outLines().contains(parent)) {
            journal.setErr(9882, QStringLiteral("本地磁盘上的上级卷不存在，需要先创建好: ") + parent);
            return false;
        }
        break;
    }
    case Inspection::Resume:
    case Inspection::Finished:
        break;
    }
    VxrTask task = VxrTask::restore(choice.dataset, account);
    if (!choice.snapshot.isEmpty())
        task.snapshot = VxrPlan::snapshotOf(choice.dataset, choice.snapshot);
    task.target = choice.target;
    m_worker.queueTasks({task});
    return true;
}
