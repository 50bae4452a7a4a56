// Restore: the full-restore request, and the restore of one dataset on the
// transfer loop.
#include "vxrclient.h"

#include "hx2utils.h"
#include "vxroplog.h"
#include "vxrparse.h"
#include "vxrpipeline.h"
#include "vxrplan.h"
#include "vxrtransfer.h"
#include "vxrzfs.h"

namespace {

constexpr int kPollMs = 3000;
constexpr int kStartMs = 5000;
// A phase still running after ten days is taken for hung.
constexpr qint64 kPhaseLimitMs = 864000000;

} // namespace

bool VxrClient::restoreAll(HX2Journals& journal, const QString& server, int port, const QString& userid,
                           const QString& passwd)
{
    const VxrSsh::Account account{server, VxrSsh::validPort(port), userid, passwd};
    const QString why = VxrSsh::destinationProblem(account);
    if (!why.isEmpty()) {
        PRINTVAR(why);
        journal.setErr(9994, QStringLiteral("账号设置无效"));
        return false;
    }
    const std::shared_ptr<VxrPrograms> run = programs();
    const HX2RunResult listed = run->run(VxrZfs::onServer(account, VxrZfs::accountDatasets()));
    if (!listed.ok) {
        writeLog(QString::fromLatin1(VxrLog::kError), QString::fromLatin1(VxrLog::kCloudInfoFailed),
                 VxrLog::kActionRestore, VxrLog::kStateFailed);
        journal.setErr(9886, QStringLiteral("操作失败，可能是云机账号或密码错误"));
        return false;
    }
    const QStringList serverNames = listed.outLines();
    if (VxrPlan::restoreRequest(serverNames, {}).datasets.isEmpty()) {
        journal.setErr(9994, QStringLiteral("云机上没有备份的数据，无法恢复"));
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
    QList<QJsonObject> tasks;
    for (const QString& dataset : request.datasets) {
        tasks << QJsonObject{{"action", VxrLog::kActionRestore}, {"server", server}, {"port", account.port},
                             {"userid", userid}, {"passwd", passwd}, {"dmpath", dataset}, {"step", 0}, {"rate", 0}};
    }
    queueTasks(tasks);
    return true;
}

bool VxrClient::vxrRestore(const QJsonObject& task)
{
    const QString dataset = toString(task.value("dmpath"));
    const int index = toInt(task.value("index"));
    const VxrSsh::Account account{toString(task.value("server")), VxrSsh::validPort(toInt(task.value("port"))),
                                  toString(task.value("userid")), toString(task.value("passwd"))};
    const std::shared_ptr<VxrPrograms> run = programs();
    auto outcome = [&](const char* level, const char* message, int state) {
        writeLog(QString::fromLatin1(level), QString::fromLatin1(message), VxrLog::kActionRestore, state);
        return state == VxrLog::kStateSucceeded;
    };
    auto failed = [&](const QString& reason) {
        PRINTVAR(reason);
        return outcome(VxrLog::kError, VxrLog::kRestoreFail, VxrLog::kStateFailed);
    };

    QString why = VxrSsh::destinationProblem(account);
    if (!why.isEmpty())
        return failed(why);
    if (!VxrPlan::validName(dataset, false))
        return failed(QStringLiteral("not a dataset name ZFS makes: ") + dataset);

    const HX2RunResult listed = run->run(VxrZfs::onServer(account, VxrZfs::restoreSnapshots(dataset)));
    if (!listed.ok)
        return outcome(VxrLog::kError, VxrLog::kCloudInfoFailed, VxrLog::kStateFailed);
    const VxrPlan::Restore plan = VxrPlan::restore(dataset, listed.outLines());
    if (!plan.refusal.isEmpty())
        return failed(plan.refusal);
    if (plan.isEmpty())
        return false;

    qint64 fullSize = 0;
    qint64 incrementalSize = 0;
    const HX2RunResult full = run->run(VxrZfs::onServer(account, VxrZfs::restoreFullEstimate(plan.first)));
    if (full.ok) {
        fullSize = VxrParse::parseEstimateSize(full.out);
        const QString last = plan.last.isEmpty() ? plan.first : plan.last;
        const HX2RunResult incremental =
            run->run(VxrZfs::onServer(account, VxrZfs::restoreIncrementalEstimate(plan.first, last)));
        if (incremental.ok)
            incrementalSize = VxrParse::parseEstimateSize(incremental.out);
    }
    const qint64 total = fullSize + incrementalSize;

    // The task may have waited hours behind uploads since the request
    // checked for clashes: what exists now is never received into.
    const HX2RunResult local = run->run(VxrZfs::datasetNames());
    if (!local.ok)
        return failed(QStringLiteral("the appliance's datasets could not be listed"));
    bool complete = false;
    if (local.outLines().contains(dataset)) {
        const HX2RunResult held = run->run(VxrZfs::snapshotNamesOf(dataset));
        const QString newest = plan.last.isEmpty() ? plan.first : plan.last;
        if (!held.ok || !held.outLines().contains(newest))
            return failed(dataset + QStringLiteral(" exists on the appliance and lacks ") + newest);
        complete = true;
    }

    if (!complete) {
        VxrTransferJob job;
        job.pollMs = kPollMs;
        job.taskIndex = index;
        job.total = total;
        job.limitMs = kPhaseLimitMs;
        job.command = VxrPipeline::transfer(account, VxrPipeline::restoreFull(account, plan.first, dataset, total),
                                            kStartMs);
        VxrTransferResult phase = runTransfer(*run, &taskQueue, quitting, job);
        if (phase.outcome == VxrTransferResult::Succeeded && !plan.last.isEmpty()) {
            job.mapped = true;
            job.base = phase.rate;
            job.command = VxrPipeline::transfer(
                account, VxrPipeline::restoreIncremental(account, plan.first, plan.last, dataset, incrementalSize),
                kStartMs);
            phase = runTransfer(*run, &taskQueue, quitting, job);
        }
        if (phase.outcome == VxrTransferResult::Cancelled)
            return outcome(VxrLog::kWarning, VxrLog::kCancelRestore, VxrLog::kStateCancelled);
        if (phase.outcome != VxrTransferResult::Succeeded)
            return outcome(VxrLog::kError, VxrLog::kRestoreFail, VxrLog::kStateFailed);
    }

    taskQueue.finishHead(index, total);
    // A dataset that cannot be mounted is still restored.
    run->run(VxrZfs::mount(dataset));
    return outcome(VxrLog::kInformation, VxrLog::kRestoreSuccess, VxrLog::kStateSucceeded);
}
