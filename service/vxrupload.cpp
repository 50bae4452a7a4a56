// The scheduled upload of one dataset: the two snapshot lists, the plan,
// and its phases on the transfer loop.
#include "vxrclient.h"

#include "hx2utils.h"
#include "vxroplog.h"
#include "vxrparse.h"
#include "vxrpipeline.h"
#include "vxrplan.h"
#include "vxrtransfer.h"
#include "vxrzfs.h"

namespace {

constexpr int kPollMs = 2000;
constexpr int kStartMs = 30000;

qint64 estimate(VxrPrograms& programs, const VxrCommand& command, bool* ran = nullptr)
{
    const HX2RunResult r = programs.run(command);
    if (ran)
        *ran = r.ok;
    return r.ok ? VxrParse::parseEstimateSize(r.out) : 0;
}

} // namespace

bool VxrClient::vxrUpload(const QJsonObject& task)
{
    VxrSsh::Account account;
    QString why;
    if (!usableAccount(settings(), &account, &why)) {
        PRINTVAR(why);
        return false;
    }
    const QString dataset = toString(task.value("dmpath"));
    const int index = toInt(task.value("index"));
    const std::shared_ptr<VxrPrograms> run = programs();
    // A cancel is obeyed before every step that starts a program, also
    // before the first: a task cancelled while it waited logs no one in.
    auto cancelled = [&] { return taskQueue.headRemoved(index); };
    auto finish = [&](VxrTransferResult::Outcome outcome) {
        int state = VxrLog::kStateSucceeded;
        switch (outcome) {
        case VxrTransferResult::Succeeded:
            writeLog(QString::fromLatin1(VxrLog::kInformation), QString::fromLatin1(VxrLog::kUploadSuccess),
                     VxrLog::kActionUpload, state);
            break;
        case VxrTransferResult::Cancelled:
            state = VxrLog::kStateCancelled;
            writeLog(QString::fromLatin1(VxrLog::kWarning), QString::fromLatin1(VxrLog::kCancelUpload),
                     VxrLog::kActionUpload, state);
            break;
        case VxrTransferResult::NotStarted:
        case VxrTransferResult::Failed:
            state = VxrLog::kStateFailed;
            writeLog(QString::fromLatin1(VxrLog::kError), QString::fromLatin1(VxrLog::kUploadFail),
                     VxrLog::kActionUpload, state);
            break;
        }
        recordLastBackup(state);
        return state;
    };
    auto cancel = [&] {
        finish(VxrTransferResult::Cancelled);
        return false;
    };
    // No pruning pass of the dataset runs from its listing to its base move.
    const VxrDatasetClaims::Hold claim(datasetClaims, dataset, true);

    if (cancelled())
        return cancel();
    const HX2RunResult localRun = run->run(VxrZfs::snapshotNamesOf(dataset));
    if (!localRun.ok)
        return false;
    const QStringList local = localRun.outLines();
    if (local.isEmpty() || quitting.load())
        return false;

    if (cancelled())
        return cancel();
    const HX2RunResult remoteRun = run->run(VxrZfs::onServer(account, VxrZfs::uploadRemoteSnapshots(dataset)));
    if (!remoteRun.ok) {
        writeLog(QString::fromLatin1(VxrLog::kError), QString::fromLatin1(VxrLog::kCloudInfoFailed),
                 VxrLog::kActionUpload, VxrLog::kStateFailed);
        return false;
    }
    const VxrPlan::Upload plan = VxrPlan::upload(local, remoteRun.outLines());

    qint64 fullSize = 0;
    qint64 incrementalSize = 0;
    VxrTransferResult phase;
    phase.outcome = VxrTransferResult::Succeeded;
    if (!plan.refusal.isEmpty()) {
        const QString refused = plan.refusal;
        PRINTVAR(refused);
        phase.outcome = VxrTransferResult::Failed;
    }

    VxrTransferJob job;
    job.pollMs = kPollMs;
    job.taskIndex = index;
    if (!plan.full.isEmpty()) {
        bool ran = false;
        if (cancelled())
            return cancel();
        fullSize = estimate(*run, VxrZfs::fullEstimate(plan.full), &ran);
        if (ran && plan.hasIncremental() && !cancelled())
            incrementalSize = estimate(*run, VxrZfs::incrementalEstimate(plan.from, plan.to));
        job.total = fullSize + incrementalSize;
        job.command = VxrPipeline::transfer(account, VxrPipeline::uploadFull(account, plan.full, dataset, job.total),
                                            kStartMs);
        phase = cancelled() ? VxrTransferResult{VxrTransferResult::Cancelled, 0, QString()}
                            : runTransfer(*run, &taskQueue, quitting, job);
    }

    if (phase.outcome == VxrTransferResult::Succeeded && plan.hasIncremental()) {
        if (incrementalSize <= 0 && !cancelled())
            incrementalSize = estimate(*run, VxrZfs::incrementalEstimate(plan.from, plan.to));
        job.total = fullSize + incrementalSize;
        job.mapped = true;
        job.base = phase.rate;
        job.command = VxrPipeline::transfer(
            account, VxrPipeline::uploadIncremental(account, plan.from, plan.to, dataset, incrementalSize), kStartMs);
        phase = cancelled() ? VxrTransferResult{VxrTransferResult::Cancelled, phase.rate, phase.speed}
                            : runTransfer(*run, &taskQueue, quitting, job);
    }

    if (phase.outcome == VxrTransferResult::Succeeded)
        taskQueue.finishHead(index, fullSize + incrementalSize);
    const int state = finish(phase.outcome);
    // The server now ends at the newest local snapshot.
    if (state == VxrLog::kStateSucceeded && retention.enabled)
        moveBase(account, dataset, local.last());
    return state == VxrLog::kStateSucceeded;
}

void VxrClient::moveBase(const VxrSsh::Account& account, const QString& dataset, const QString& base)
{
    const std::shared_ptr<VxrPrograms> run = programs();
    const HX2RunResult listed = run->run(VxrZfs::onServer(account, VxrZfs::snapshotHoldsOnServer(dataset)));
    if (!listed.ok)
        return;
    const VxrParse::SnapshotHolds server = VxrParse::parseSnapshotHolds(listed.outLines());
    if (!server.names.contains(base)) {
        const QString baseNotOnServer = base;
        PRINTVAR(baseNotOnServer);
        return;
    }
    // Every other held snapshot loses the engine's hold: the old base, and
    // any a failed move left behind.
    QStringList serverHeld;
    for (const QString& name : server.names) {
        if (name != base && server.held.contains(name))
            serverHeld << name;
    }
    QStringList doomed;
    if (retention.hasRemote) {
        // One command per pass: the rest goes at the next upload.
        doomed = VxrRetention::choose(dataset, server.names, now(), retention.remote, base, server.held)
                     .mid(0, kMaxPrunedPerPass);
    }
    const HX2RunResult moved = run->run(VxrZfs::onServer(
        account, VxrZfs::moveBaseOnServer(base, serverHeld.mid(0, kMaxReleases), VxrZfs::destroySpec(doomed))));
    if (!moved.ok)
        return;
    if (moved.exitCode == VxrZfs::kHoldFailed || moved.exitCode == VxrZfs::kDestroyFailed) {
        writeLog(QString::fromLatin1(VxrLog::kError),
                 QString::fromLatin1(VxrLog::kServerPruningFailed) + QLatin1String(": ") + moved.errText(),
                 VxrLog::kActionSnapshot, VxrLog::kStateFailed);
        if (moved.exitCode == VxrZfs::kHoldFailed)
            return;
    } else if (!doomed.isEmpty()) {
        writeLog(QString::fromLatin1(VxrLog::kInformation),
                 QString::fromLatin1(VxrLog::kServerSnapshotsPruned)
                     + QStringLiteral(": %1 %2").arg(doomed.size()).arg(dataset),
                 VxrLog::kActionSnapshot, VxrLog::kStateSucceeded);
    }
    // The server's other held snapshots stay on the appliance until the
    // next upload finds them free: a replication stream makes the server
    // destroy what the appliance no longer has, and a held one would fail
    // that receive.
    if (!moveLocalBase(dataset, base, serverHeld)) {
        const QString baseNotHeld = base;
        PRINTVAR(baseNotHeld);
    }
}
