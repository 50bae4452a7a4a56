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

#include <utility>

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
    QSet<QString> pinned = local.held + local.cloned;
    for (const QString& name : serverHeld)
        pinned.insert(name);
    bool clockWrong = false;
    const QStringList doomed =
        VxrRetention::choose(dataset, local.names, m_seams.now(), m_policy.local, base, pinned, &clockWrong)
            .mid(0, kMaxPrunedPerPass);
    if (clockWrong)
        noteClock(dataset);
    if (!doomed.isEmpty())
        destroyLocal(dataset, doomed);
}

void VxrPruning::destroyLocal(const QString& dataset, const QStringList& doomed)
{
    const std::shared_ptr<VxrPrograms> run = m_seams.programs();
    QString why;
    const int pruned = destroyAllowed(doomed, [&run](const QStringList& names, QString* err) {
        const HX2RunResult r = run->run(VxrZfs::destroy(VxrZfs::destroySpec(names)));
        *err = r.errText();
        return r.ok;
    }, &why);
    if (pruned > 0)
        notePruned(VxrLog::kSnapshotsPruned, dataset, pruned);
    if (!why.isEmpty() && firstToday(QStringLiteral("local ") + dataset))
        m_log.write(VxrLog::kError, VxrLog::kPruningFailed, why, VxrLog::kActionSnapshot, VxrLog::kStateFailed);
}

void VxrPruning::destroyOnServer(const VxrSsh::Account& account, const QString& dataset, const QStringList& doomed,
                                 const HX2RunResult& moved)
{
    const std::shared_ptr<VxrPrograms> run = m_seams.programs();
    // The first try ran with the hold's move; others destroy alone.
    bool first = true;
    QString why;
    const int pruned = destroyAllowed(doomed, [&](const QStringList& names, QString* err) {
        if (std::exchange(first, false)) {
            *err = moved.errText();
            return moved.exitCode != VxrZfs::kDestroyFailed;
        }
        const HX2RunResult r =
            run->run(VxrZfs::onServer(account, VxrZfs::destroyOnServer(VxrZfs::destroySpec(names))));
        *err = r.ok ? r.errText() : QStringLiteral("the server could not be asked: ") + r.errText();
        return r.ok && r.exitCode == 0;
    }, &why);
    if (pruned > 0)
        notePruned(VxrLog::kServerSnapshotsPruned, dataset, pruned);
    if (!why.isEmpty() && firstToday(QStringLiteral("server ") + dataset))
        m_log.write(VxrLog::kError, VxrLog::kServerPruningFailed, why, VxrLog::kActionSnapshot, VxrLog::kStateFailed);
}

int VxrPruning::destroyAllowed(QStringList doomed, const DestroyTry& attempt, QString* why)
{
    why->clear();
    for (int tries = 0; tries < kMaxDestroyTries && !doomed.isEmpty(); ++tries) {
        QString err;
        if (attempt(doomed, &err))
            return doomed.size();
        *why = err.trimmed().isEmpty() ? QStringLiteral("zfs destroy failed") : err.trimmed();
        // A list destroy removes all or nothing: what zfs did not refuse
        // may go in another try.
        const QSet<QString> refused = VxrParse::refusedSnapshots(err.split(QLatin1Char('\n')), doomed);
        if (refused.isEmpty())
            return 0;
        QStringList rest;
        for (const QString& name : doomed) {
            if (!refused.contains(name))
                rest << name;
        }
        doomed = rest;
    }
    return 0;
}

bool VxrPruning::firstToday(const QString& key)
{
    const qint64 day = m_seams.now().date().toJulianDay();
    HX2MutexLock lock(m_daysMutex);
    auto at = m_recordDays.find(key);
    if (at != m_recordDays.end() && at.value() == day)
        return false;
    m_recordDays.insert(key, day);
    return true;
}

void VxrPruning::notePruned(const char* marker, const QString& dataset, int pruned)
{
    const QDate today = m_seams.now().date();
    const QString key = QLatin1String(marker) + dataset;
    Tally earlier;
    bool first = false;
    {
        HX2MutexLock lock(m_daysMutex);
        Tally& tally = m_tallies[key];
        first = tally.day != today;
        if (first)
            earlier = std::exchange(tally, Tally{today, 0});
        else
            tally.count += pruned;
    }
    if (earlier.count > 0)
        writeRest(marker, dataset, earlier);
    if (first)
        m_log.write(VxrLog::kInformation, marker, QStringLiteral("%1 %2").arg(pruned).arg(dataset),
                    VxrLog::kActionSnapshot, VxrLog::kStateSucceeded);
}

void VxrPruning::writeRest(const char* marker, const QString& dataset, const Tally& tally)
{
    m_log.write(VxrLog::kInformation, marker,
                QStringLiteral("%1 %2 later on %3").arg(tally.count).arg(dataset, tally.day.toString(Qt::ISODate)),
                VxrLog::kActionSnapshot, VxrLog::kStateSucceeded);
}

VxrPruning::~VxrPruning()
{
    HX2MutexLock lock(m_daysMutex);
    for (auto it = m_tallies.cbegin(); it != m_tallies.cend(); ++it) {
        if (it.value().count > 0) {
            const bool server = it.key().startsWith(QLatin1String(VxrLog::kServerSnapshotsPruned));
            const char* marker = server ? VxrLog::kServerSnapshotsPruned : VxrLog::kSnapshotsPruned;
            writeRest(marker, it.key().mid(int(qstrlen(marker))), it.value());
        }
    }
}

void VxrPruning::noteClock(const QString& dataset)
{
    if (firstToday(QStringLiteral("clock ") + dataset))
        m_log.write(VxrLog::kWarning, VxrLog::kClockDisagrees, dataset, VxrLog::kActionSnapshot,
                    VxrLog::kStateSucceeded);
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
        bool clockWrong = false;
        doomed = VxrRetention::choose(dataset, server.names, m_seams.now(), m_policy.remote, base,
                                      server.held + server.cloned, &clockWrong)
                     .mid(0, kMaxPrunedPerPass);
        if (clockWrong)
            noteClock(dataset);
    }
    const HX2RunResult moved = run->run(VxrZfs::onServer(
        account, VxrZfs::moveBaseOnServer(base, serverHeld.mid(0, kMaxReleases), VxrZfs::destroySpec(doomed))));
    if (!moved.ok)
        return;
    if (moved.exitCode == VxrZfs::kHoldFailed) {
        if (firstToday(QStringLiteral("server ") + dataset))
            m_log.write(VxrLog::kError, VxrLog::kServerPruningFailed, moved.errText(), VxrLog::kActionSnapshot,
                        VxrLog::kStateFailed);
        return;
    }
    destroyOnServer(account, dataset, doomed, moved);
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
