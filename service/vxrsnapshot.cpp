// The snapshot cycle: one new snapshot of every configured dataset, then,
// with a local retention rule, one pruning pass over each.
#include "vxrclient.h"

#include "hx2utils.h"
#include "vxroplog.h"
#include "vxrparse.h"
#include "vxrzfs.h"

void VxrClient::backupRun()
{
    backupRunning.store(true);
    const QStringList datasets = dmpathsCopy();
    for (const QString& dataset : datasets)
        vxrSnap(dataset);
    if (retention.hasLocal) {
        for (const QString& dataset : datasets)
            pruneLocal(dataset);
    }
    backupRunning.store(false);
}

void VxrClient::vxrSnap(const QString& dataset)
{
    const HX2RunResult r = programs()->run(VxrZfs::snapshot(VxrZfs::snapshotName(dataset, now())));
    if (r.ok)
        return;
    writeLog(QString::fromLatin1(VxrLog::kError),
             QString::fromLatin1(VxrLog::kBackupFailed) + QLatin1String(": ") + r.errText(), VxrLog::kActionSnapshot,
             VxrLog::kStateFailed);
}

void VxrClient::pruneLocal(const QString& dataset)
{
    // An upload lists the snapshots, then sends a span of them: none of
    // it may vanish in between. The next cycle tries again.
    const VxrDatasetClaims::Hold claim(datasetClaims, dataset, false);
    if (!claim.held()) {
        const QString pruningWaits = dataset;
        PRINTVAR(pruningWaits);
        return;
    }
    QStringList serverHeld;
    const QString base = recordedBase(dataset, &serverHeld);
    if (base.isEmpty() && settings().hasAccount()) {
        // The server's newest is not known yet: pruning could take it,
        // and no increment could follow.
        const QString noBaseYet = dataset;
        PRINTVAR(noBaseYet);
        return;
    }
    const HX2RunResult listed = programs()->run(VxrZfs::snapshotHolds(dataset));
    if (!listed.ok)
        return;
    const VxrParse::SnapshotHolds local = VxrParse::parseSnapshotHolds(listed.outLines());
    QSet<QString> pinned = local.held;
    for (const QString& name : serverHeld)
        pinned.insert(name);
    const QStringList doomed =
        VxrRetention::choose(dataset, local.names, now(), retention.local, base, pinned).mid(0, kMaxPrunedPerPass);
    if (doomed.isEmpty())
        return;
    const HX2RunResult r = programs()->run(VxrZfs::destroy(VxrZfs::destroySpec(doomed)));
    if (r.ok) {
        writeLog(QString::fromLatin1(VxrLog::kInformation),
                 QString::fromLatin1(VxrLog::kSnapshotsPruned) + QStringLiteral(": %1 %2").arg(doomed.size()).arg(dataset),
                 VxrLog::kActionSnapshot, VxrLog::kStateSucceeded);
    } else {
        writeLog(QString::fromLatin1(VxrLog::kError),
                 QString::fromLatin1(VxrLog::kPruningFailed) + QLatin1String(": ") + r.errText(),
                 VxrLog::kActionSnapshot, VxrLog::kStateFailed);
    }
}

bool VxrClient::moveLocalBase(const QString& dataset, const QString& base, const QStringList& serverHeld)
{
    const std::shared_ptr<VxrPrograms> run = programs();
    // Released first, so that holding succeeds when base carries the tag.
    run->run(VxrZfs::release(base));
    if (!run->run(VxrZfs::hold(base)).ok)
        return false;
    const HX2RunResult listed = run->run(VxrZfs::snapshotHolds(dataset));
    if (listed.ok) {
        // The old base, and any a failed move left behind. A release of a
        // snapshot that only an operator holds fails, and is meant to.
        const VxrParse::SnapshotHolds local = VxrParse::parseSnapshotHolds(listed.outLines());
        int tries = 0;
        for (const QString& name : local.names) {
            if (name != base && local.held.contains(name) && tries++ < kMaxReleases)
                run->run(VxrZfs::release(name));
        }
    }
    return recordBase(dataset, base, serverHeld);
}
