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

#include <QDir>
#include <QFileInfo>

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
    const int offered = VxrPlan::restoreRequest(serverNames, {}).datasets.size();
    if (offered == 0) {
        journal.setErr(9994, QStringLiteral("云机上没有备份的数据，无法恢复"));
        return false;
    }
    if (offered > VxrPlan::kMaxRestoreTasks) {
        writeLog(QString::fromLatin1(VxrLog::kError),
                 QString::fromLatin1(VxrLog::kRestoreFail)
                     + QStringLiteral(": the server lists %1 datasets, more than the %2 one request restores")
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
    QList<QJsonObject> tasks;
    for (const QString& dataset : request.datasets) {
        tasks << QJsonObject{{"action", VxrLog::kActionRestore}, {"server", server}, {"port", account.port},
                             {"userid", userid}, {"passwd", passwd}, {"dmpath", dataset}, {"step", 0}, {"rate", 0}};
    }
    queueTasks(tasks);
    return true;
}

namespace {

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

} // namespace

bool VxrClient::resetStrayMountpoints(VxrPrograms& run, const QString& dataset, QStringList* resets)
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

bool VxrClient::vxrRestore(const QJsonObject& task)
{
    const QString dataset = toString(task.value("dmpath"));
    const int index = toInt(task.value("index"));
    const VxrSsh::Account account{toString(task.value("server")), VxrSsh::validPort(toInt(task.value("port"))),
                                  toString(task.value("userid")), toString(task.value("passwd"))};
    const std::shared_ptr<VxrPrograms> run = programs();
    auto outcome = [&](const char* level, const QString& message, int state) {
        writeLog(QString::fromLatin1(level), message, VxrLog::kActionRestore, state);
        return state == VxrLog::kStateSucceeded;
    };
    auto failed = [&](const QString& reason) {
        PRINTVAR(reason);
        return outcome(VxrLog::kError, QString::fromLatin1(VxrLog::kRestoreFail), VxrLog::kStateFailed);
    };
    // A cancel is obeyed before every step that starts a program, also
    // before the first: a task cancelled while it waited logs no one in.
    auto cancelled = [&] { return taskQueue.headRemoved(index); };
    auto cancel = [&] {
        return outcome(VxrLog::kWarning, QString::fromLatin1(VxrLog::kCancelRestore), VxrLog::kStateCancelled);
    };

    QString why = VxrSsh::destinationProblem(account);
    if (!why.isEmpty())
        return failed(why);
    if (!VxrPlan::validName(dataset, false))
        return failed(QStringLiteral("not a dataset name ZFS makes: ") + dataset);

    if (cancelled())
        return cancel();
    const HX2RunResult listed = run->run(VxrZfs::onServer(account, VxrZfs::restoreSnapshots(dataset)));
    if (!listed.ok)
        return outcome(VxrLog::kError, QString::fromLatin1(VxrLog::kCloudInfoFailed), VxrLog::kStateFailed);
    const VxrPlan::Restore plan = VxrPlan::restore(dataset, listed.outLines());
    if (!plan.refusal.isEmpty())
        return failed(plan.refusal);
    if (plan.isEmpty())
        return false;

    qint64 fullSize = 0;
    qint64 incrementalSize = 0;
    if (cancelled())
        return cancel();
    const HX2RunResult full = run->run(VxrZfs::onServer(account, VxrZfs::restoreFullEstimate(plan.first)));
    if (full.ok) {
        fullSize = VxrParse::parseEstimateSize(full.out);
        const QString last = plan.last.isEmpty() ? plan.first : plan.last;
        if (cancelled())
            return cancel();
        const HX2RunResult incremental =
            run->run(VxrZfs::onServer(account, VxrZfs::restoreIncrementalEstimate(plan.first, last)));
        if (incremental.ok)
            incrementalSize = VxrParse::parseEstimateSize(incremental.out);
    }
    const qint64 total = fullSize + incrementalSize;

    // The task may have waited hours behind uploads since the request
    // checked for clashes: what exists now is never received into.
    if (cancelled())
        return cancel();
    const HX2RunResult local = run->run(VxrZfs::datasetNames());
    if (!local.ok)
        return failed(QStringLiteral("the appliance's datasets could not be listed"));
    bool complete = false;
    if (local.outLines().contains(dataset)) {
        if (cancelled())
            return cancel();
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
            phase = cancelled() ? VxrTransferResult{VxrTransferResult::Cancelled, phase.rate, phase.speed}
                                : runTransfer(*run, &taskQueue, quitting, job);
        }
        if (phase.outcome == VxrTransferResult::Cancelled)
            return cancel();
        if (phase.outcome != VxrTransferResult::Succeeded)
            return outcome(VxrLog::kError, QString::fromLatin1(VxrLog::kRestoreFail), VxrLog::kStateFailed);
    }
    if (cancelled())
        return cancel();

    // The stream carries the server's mount points: one that leads out of
    // the pool's tree (over /etc, say) goes back to the inherited one before
    // anything is mounted, and a dataset whose mount points cannot be
    // checked is not mounted at all.
    QStringList resets;
    if (!resetStrayMountpoints(*run, dataset, &resets))
        return failed(QStringLiteral("the received mount points could not be checked or reset"));
    taskQueue.finishHead(index, total);
    // A dataset that cannot be mounted is still restored.
    run->run(VxrZfs::mount(dataset));
    QString message = QString::fromLatin1(VxrLog::kRestoreSuccess);
    if (!resets.isEmpty())
        message += QStringLiteral(": mountpoint reset: ") + resets.join(QStringLiteral("; "));
    return outcome(VxrLog::kInformation, message, VxrLog::kStateSucceeded);
}
