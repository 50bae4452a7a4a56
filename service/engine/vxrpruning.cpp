// Retention's work on the appliance and the server: pruning passes, the
// incremental base's holds and its record, and the claims on datasets.
#include "vxrpruning.h"

#include "hx2file.h"
#include "hx2utils.h"
#include "phpaths.h"
#include "vxrfiles.h"
#include "vxroperationlog.h"
#include "vxroplog.h"
#include "vxrparse.h"
#include "vxrplan.h"
#include "vxrseams.h"
#include "vxrsettingsstore.h"
#include "vxrzfs.h"

namespace {
const char* const kRecordFile = "/kozu/etc/vxrclientisp/retention.json";
}

VxrPruning::VxrPruning(const VxrRetention::Policy& policy, VxrSeams& seams, VxrOperationLog& log,
                       const VxrSettingsStore& settings)
    : m_policy(policy),
      m_seams(seams),
      m_log(log),
      m_settings(settings),
      m_recordPath(PHPaths::resolve(QString::fromLatin1(kRecordFile)))
{
}

void VxrPruning::pruneLocal(const QString& dataset)
{
    if (!VxrPlan::validName(dataset, false))
        return;
    // An upload lists the snapshots, then sends a span of them: none of
    // it may vanish in between. The next cycle tries again.
    const VxrDatasetClaims::Hold claim(m_claims, dataset, false);
    if (!claim.held()) {
        const QString pruningWaits = dataset;
        PRINTVAR(pruningWaits);
        return;
    }
    QStringList serverHeld;
    const QString base = recordedBase(dataset, &serverHeld);
    if (base.isEmpty() && m_settings.settings().hasAccount()) {
        // The server's newest is not known yet: pruning could take it,
        // and no increment could follow.
        const QString noBaseYet = dataset;
        PRINTVAR(noBaseYet);
        return;
    }
    const HX2RunResult listed = m_seams.programs()->run(VxrZfs::snapshotHolds(dataset));
    if (!listed.ok)
        return;
    const VxrParse::SnapshotHolds local = VxrParse::parseSnapshotHolds(listed.outLines());
    QSet<QString> pinned = local.held;
    for (const QString& name : serverHeld)
        pinned.insert(name);
    const QStringList doomed =
        VxrRetention::choose(dataset, local.names, m_seams.now(), m_policy.local, base, pinned).mid(0, kMaxPrunedPerPass);
    if (doomed.isEmpty())
        return;
    const HX2RunResult r = m_seams.programs()->run(VxrZfs::destroy(VxrZfs::destroySpec(doomed)));
    if (r.ok) {
        m_log.write(VxrLog::kInformation, VxrLog::kSnapshotsPruned, QStringLiteral("%1 %2").arg(doomed.size()).arg(dataset),
                    VxrLog::kActionSnapshot, VxrLog::kStateSucceeded);
    } else {
        m_log.write(VxrLog::kError, VxrLog::kPruningFailed, r.errText(), VxrLog::kActionSnapshot,
                    VxrLog::kStateFailed);
    }
}

bool VxrPruning::moveLocalBase(const QString& dataset, const QString& base, const QStringList& serverHeld)
{
    const std::shared_ptr<VxrPrograms> run = m_seams.programs();
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

void VxrPruning::moveBase(const VxrSsh::Account& account, const QString& dataset, const QString& base)
{
    const std::shared_ptr<VxrPrograms> run = m_seams.programs();
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
    if (m_policy.hasRemote) {
        // One command per pass: the rest goes at the next upload.
        doomed = VxrRetention::choose(dataset, server.names, m_seams.now(), m_policy.remote, base, server.held)
                     .mid(0, kMaxPrunedPerPass);
    }
    const HX2RunResult moved = run->run(VxrZfs::onServer(
        account, VxrZfs::moveBaseOnServer(base, serverHeld.mid(0, kMaxReleases), VxrZfs::destroySpec(doomed))));
    if (!moved.ok)
        return;
    if (moved.exitCode == VxrZfs::kHoldFailed || moved.exitCode == VxrZfs::kDestroyFailed) {
        m_log.write(VxrLog::kError, VxrLog::kServerPruningFailed, moved.errText(), VxrLog::kActionSnapshot,
                    VxrLog::kStateFailed);
        if (moved.exitCode == VxrZfs::kHoldFailed)
            return;
    } else if (!doomed.isEmpty()) {
        m_log.write(VxrLog::kInformation, VxrLog::kServerSnapshotsPruned,
                    QStringLiteral("%1 %2").arg(doomed.size()).arg(dataset), VxrLog::kActionSnapshot,
                    VxrLog::kStateSucceeded);
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

QString VxrPruning::recordedBase(const QString& dataset, QStringList* serverHeld) const
{
    QJsonObject entry;
    {
        HX2MutexLock lock(recordMutex);
        entry = HX2File::readJsonObject(m_recordPath).value(dataset).toObject();
    }
    if (serverHeld)
        *serverHeld = toStrings(entry.value("serverHeld"));
    return toString(entry.value("base"));
}

bool VxrPruning::recordBase(const QString& dataset, const QString& base, const QStringList& serverHeld)
{
    HX2MutexLock lock(recordMutex);
    QJsonObject all = HX2File::readJsonObject(m_recordPath);
    all.insert(dataset, QJsonObject{{"base", base}, {"serverHeld", QJsonArray::fromStringList(serverHeld)}});
    return VxrFiles::saveOwnerOnly(m_recordPath, all, false);
}
