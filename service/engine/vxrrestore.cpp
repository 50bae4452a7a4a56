#include "vxrrestore.h"

#include "hx2utils.h"
#include "vxrclaims.h"
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

// The phases of a restore: the first snapshot whole (marking the target),
// then the increments to the chosen one. Both estimates run, the second
// also for a single snapshot.
VxrPhasePlan phasesOf(const VxrPlan::Restore& plan, const VxrSsh::Account& account, const VxrTask& task,
                      const VxrStreamLink& link)
{
    VxrPhasePlan phases;
    phases.pollMs = kPollMs;
    phases.taskIndex = task.index;
    phases.limitMs = kPhaseLimitMs;
    phases.rate = link.rate;
    const QString into = task.receivedInto();
    const QString source = task.dataset;
    phases.estimates << VxrZfs::onServer(account, VxrZfs::restoreFullEstimate(plan.first))
                     << VxrZfs::onServer(account, VxrZfs::restoreIncrementalEstimate(plan.first, plan.newest()));
    phases.phases << VxrPhasePlan::Phase{[=](qint64 total, qint64) {
        return VxrPipeline::transfer(
            account, VxrPipeline::restoreFull(account, plan.first, into, total, source, link.now()), kStartMs);
    }};
    if (!plan.last.isEmpty()) {
        phases.phases << VxrPhasePlan::Phase{[=](qint64, qint64 own) {
            return VxrPipeline::transfer(
                account, VxrPipeline::restoreIncremental(account, plan.first, plan.last, into, own, link.now()),
                kStartMs);
        }};
    }
    return phases;
}

// The rest of an unfinished restore: the increments from the target's
// newest snapshot to the chosen one.
VxrPhasePlan resumePhasesOf(const QString& from, const QString& to, const VxrSsh::Account& account,
                            const VxrTask& task, const VxrStreamLink& link)
{
    VxrPhasePlan phases;
    phases.rate = link.rate;
    phases.pollMs = kPollMs;
    phases.taskIndex = task.index;
    phases.limitMs = kPhaseLimitMs;
    const QString into = task.receivedInto();
    phases.estimates << VxrZfs::onServer(account, VxrZfs::restoreIncrementalEstimate(from, to));
    phases.phases << VxrPhasePlan::Phase{[=](qint64, qint64 own) {
        return VxrPipeline::transfer(account, VxrPipeline::restoreIncremental(account, from, to, into, own, link.now()),
                                     kStartMs);
    }};
    return phases;
}

} // namespace

bool VxrRestoreFlow::resetMountpoints(VxrPrograms& run, const QString& dataset, bool all, QStringList* resets)
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
        const bool inside = !all && VxrPlan::mountpointInside(poolPath, m.path)
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

VxrRestoreFlow::Inspection VxrRestoreFlow::inspect(VxrPrograms& run, const QString& source, const QString& target,
                                                   const VxrPlan::Restore& plan, const QStringList& localNames,
                                                   const std::function<bool()>& cancelled)
{
    Inspection out;
    auto step = [&](const VxrCommand& command, HX2RunResult* result) {
        if (cancelled()) {
            out.kind = Inspection::Cancelled;
            return false;
        }
        *result = run.run(command);
        return true;
    };
    if (!localNames.contains(target)) {
        out.kind = Inspection::Absent;
        return out;
    }
    HX2RunResult mark;
    if (!step(VxrZfs::restoreMark(target), &mark))
        return out;
    const QStringList markFields = mark.outLines().value(0).split(QLatin1Char('\t'));
    const bool marked = mark.ok && markFields.value(1) == QLatin1String("local") && markFields.value(0) == source;
    HX2RunResult held;
    if (!step(VxrZfs::snapshotNamesOf(target), &held))
        return out;
    if (!mark.ok || !held.ok) {
        out.why = target + QStringLiteral(" could not be looked at");
        return out;
    }
    out.kind = Inspection::Exists;
    if (!marked) {
        // A child its parent's stream brought along is there already.
        if (target == source && held.outLines().contains(plan.newest()))
            out.kind = Inspection::Complete;
        else
            out.why = target + QStringLiteral(" exists on the appliance and lacks ") + plan.newest();
        return out;
    }
    const VxrPlan::Resume resume = VxrPlan::resume(held.outLines(), plan.lineage);
    if (resume.kind == VxrPlan::Resume::NotOnTheLineage) {
        out.why = target + QStringLiteral(" is an unfinished restore whose snapshots are not the server's first ones");
        return out;
    }
    HX2RunResult written;
    if (!step(VxrZfs::writtenSinceSnapshot(target), &written))
        return out;
    if (!written.ok || written.outLines().value(0).trimmed() != QLatin1String("0")) {
        out.why = target + QStringLiteral(" is an unfinished restore that was written to since");
        return out;
    }
    out.kind = resume.kind == VxrPlan::Resume::From ? Inspection::Resume : Inspection::Finished;
    out.from = resume.from;
    return out;
}

bool VxrRestoreFlow::mountRestored(VxrPrograms& run, const VxrTask& task, qint64 total, bool marked)
{
    if (cancelled(task))
        return cancel();
    const QString into = task.receivedInto();
    // The last phase is in: the dataset is no unfinished restore any more.
    if (marked && !run.run(VxrZfs::clearRestoreMark(into)).ok)
        return fail(QStringLiteral("the restore's mark could not be cleared from ") + into);
    // The stream carries the server's mount points: one that leads out of
    // the pool's tree (over /etc, say) goes back to the inherited one before
    // anything is mounted, and a dataset whose mount points cannot be
    // checked is not mounted at all. A copy beside the live dataset would
    // mount where the live one does with any of its own.
    QStringList resets;
    if (!resetMountpoints(run, into, into != task.dataset, &resets))
        return fail(QStringLiteral("the received mount points could not be checked or reset"));
    m_worker.queue().finishHead(task.index, total);
    // A dataset that cannot be mounted is still restored.
    run.run(VxrZfs::mount(into));
    return record(VxrLog::kInformation, VxrLog::kRestoreSuccess, VxrLog::kStateSucceeded,
                  resets.isEmpty() ? QString() : QStringLiteral("mountpoint reset: ") + resets.join(QStringLiteral("; ")));
}

bool VxrRestoreFlow::run(const VxrTask& task)
{
    const QString& source = task.dataset;
    const QString into = task.receivedInto();
    VxrSsh::Account account = task.account;
    account.port = VxrSsh::validPort(account.port);
    const std::shared_ptr<VxrPrograms> run = m_seams.programs();

    const QString why = VxrSsh::destinationProblem(account);
    if (!why.isEmpty())
        return fail(why);
    for (const QString& name : {source, into}) {
        if (!VxrPlan::validName(name, false))
            return fail(QStringLiteral("not a dataset name ZFS makes: ") + name);
    }

    const VxrDatasetClaims::Hold claim(m_claims, into, true, &m_worker.quitting());
    if (!claim.held())
        return fail(QStringLiteral("the service quit while the restore waited for ") + into);
    // A cancel is obeyed before every step that starts a program, also
    // before the first: a task cancelled while it waited logs no one in.
    if (cancelled(task))
        return cancel();
    const HX2RunResult listed = run->run(VxrZfs::onServer(account, VxrZfs::restoreSnapshots(source)));
    if (!listed.ok)
        return record(VxrLog::kError, VxrLog::kCloudInfoFailed, VxrLog::kStateFailed);
    const VxrPlan::Restore plan = VxrPlan::restore(source, listed.outLines(), task.snapshot);
    if (!plan.refusal.isEmpty())
        return fail(plan.refusal);
    if (plan.missing)
        return fail(QStringLiteral("the server no longer holds ") + task.snapshot);
    if (plan.isEmpty())
        return false;

    if (cancelled(task))
        return cancel();
    const VxrStreamLink link = m_links.linkTo(*run, account, true);
    VxrPhasePlan phases = phasesOf(plan, account, task, link);
    VxrPhaseRunner runner(*run, &m_worker.queue(), m_worker.quitting());
    QList<qint64> sizes;
    if (!runner.estimate(phases, &sizes))
        return cancel();

    // The task may have waited hours behind uploads since the request
    // checked the target: what exists now is looked at again.
    if (cancelled(task))
        return cancel();
    const HX2RunResult local = run->run(VxrZfs::datasetNames());
    if (!local.ok)
        return fail(QStringLiteral("the appliance's datasets could not be listed"));
    const Inspection found = inspect(*run, source, into, plan, local.outLines(), [&] { return cancelled(task); });
    switch (found.kind) {
    case Inspection::Cancelled:
        return cancel();
    case Inspection::Failed:
    case Inspection::Exists:
        return fail(found.why);
    case Inspection::Complete:
        return mountRestored(*run, task, VxrPhaseRunner::sum(sizes), false);
    case Inspection::Finished:
        return mountRestored(*run, task, 0, true);
    case Inspection::Resume:
        phases = resumePhasesOf(found.from, plan.newest(), account, task, link);
        if (!runner.estimate(phases, &sizes))
            return cancel();
        break;
    case Inspection::Absent:
        break;
    }
    const VxrPhaseOutcome received = runner.run(phases, sizes);
    if (received.outcome == VxrTransferResult::Cancelled)
        return cancel();
    if (received.outcome != VxrTransferResult::Succeeded)
        return record(VxrLog::kError, VxrLog::kRestoreFail, VxrLog::kStateFailed);
    return mountRestored(*run, task, received.total, true);
}
