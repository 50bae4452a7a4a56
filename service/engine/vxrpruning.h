#ifndef VXRPRUNING_H
#define VXRPRUNING_H

#include "hx2mutex.h"
#include "vxrclaims.h"
#include "vxrretention.h"
#include "vxrssh.h"
#include "vxrzfs.h"

#include <QDate>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

struct HX2RunResult;
class VxrOperationLog;
class VxrSeams;
class VxrSettingsStore;

// Retention's work on both sides, by the configuration's policy: the
// pruning of the appliance after each snapshot cycle, the base hold and
// the pruning of the server after each upload, the record of each
// dataset's incremental base, and the claims that keep pruning off a
// dataset in transfer. Without the "retention" key nothing here prunes or
// holds.
class VxrPruning
{
public:
    // The stamped names keep a destroy argument of this many well below
    // what one argument, and a remote shell's command, may hold.
    static constexpr int kMaxPrunedPerPass = 2000;
    // Held snapshots a base move tries to release the engine's hold from,
    // at most, on each side.
    static constexpr int kMaxReleases = 100;
    // Destroys a pass tries, at most: each try after the first leaves out
    // the snapshots zfs refused.
    static constexpr int kMaxDestroyTries = 3;

    VxrPruning(const VxrRetention::Policy& policy, VxrSeams& seams, VxrOperationLog& log,
               const VxrSettingsStore& settings);
    // Writes what the day's records have not told yet.
    ~VxrPruning();
    VxrPruning(const VxrPruning&) = delete;
    VxrPruning& operator=(const VxrPruning&) = delete;

    const VxrRetention::Policy& policy() const { return m_policy; }
    // How uploads receive their increments: the server keeps its own
    // history when it has a pruning rule of its own, and otherwise mirrors
    // the appliance, as without retention.
    VxrZfs::ServerHistory serverHistory() const
    {
        return m_policy.enabled && m_policy.hasRemote ? VxrZfs::ServerHistory::Own : VxrZfs::ServerHistory::Mirror;
    }
    VxrDatasetClaims& claims() { return m_claims; }

    // One local pruning pass over the dataset by the local rule: skipped
    // while a transfer of it runs, and while an account is set but no
    // upload has recorded the dataset's base yet. Snapshots that carry a
    // hold or a clone, or that the server held at the last upload, are
    // never chosen. At most kMaxPrunedPerPass go per pass, in one zfs
    // destroy (a longer backlog goes over the next cycles); what zfs
    // refuses is left out of another try. The first pass of a day that
    // removes any writes a "Snapshots pruned" record; what later passes
    // that day remove is told in one record at the next day's first (or
    // when the engine ends), so that a pass every few minutes does not
    // bury the log. A "Snapshot pruning failed" record with zfs's reason
    // is written at most once a day for the dataset.
    void pruneLocal(const QString& dataset);
    // After a successful upload whose server now ends at base: moves the
    // base hold there on both sides and prunes the server by the remote
    // rule, leaving out snapshots with clones and, in another try, those
    // the server refused. Whatever fails leaves the recorded base where it
    // was; its failure record is written at most once a day for the
    // dataset.
    void moveBase(const VxrSsh::Account& account, const QString& dataset, const QString& base);
    // The dataset's incremental base as the last upload left it, and the
    // other snapshots the server then held; empty before any. Survives a
    // restart (a file beside the last-backup file).
    QString recordedBase(const QString& dataset, QStringList* serverHeld = nullptr) const;

private:
    // One destroy of snapshots: true when they went, else zfs's reason.
    using DestroyTry = std::function<bool(const QStringList& snapshots, QString* why)>;
    // Destroys doomed by attempt, again without the snapshots zfs refused,
    // up to kMaxDestroyTries times; the number that went, and in *why the
    // last refusal when any try failed.
    static int destroyAllowed(QStringList doomed, const DestroyTry& attempt, QString* why);
    // Prunes the appliance's doomed snapshots, with the records.
    void destroyLocal(const QString& dataset, const QStringList& doomed);
    // Prunes the server's: moved is the base move that tried doomed first.
    void destroyOnServer(const VxrSsh::Account& account, const QString& dataset, const QStringList& doomed,
                         const HX2RunResult& moved);
    // True for the first call of the clock's day with this key.
    bool firstToday(const QString& key);
    // The "clock disagrees" record, once a day for the dataset.
    void noteClock(const QString& dataset);
    // Snapshots pruned on a side, by its record's marker: the day's first
    // pass writes its record, later ones add to the day's tally.
    struct Tally
    {
        QDate day;
        int count = 0;
    };
    void notePruned(const char* marker, const QString& dataset, int pruned);
    // The record of what a day's later passes pruned.
    void writeRest(const char* marker, const QString& dataset, const Tally& tally);

    // Holds base on the appliance, releases the engine's hold from its
    // other snapshots and records base; false when base cannot be held.
    bool moveLocalBase(const QString& dataset, const QString& base, const QStringList& serverHeld);
    // Replaces the dataset's entry of the base record; false when the file
    // cannot be written.
    bool recordBase(const QString& dataset, const QString& base, const QStringList& serverHeld);

    const VxrRetention::Policy& m_policy;
    VxrSeams& m_seams;
    VxrOperationLog& m_log;
    const VxrSettingsStore& m_settings;
    VxrDatasetClaims m_claims;

    const QString m_recordPath;
    // Guards the base record's file.
    mutable HX2Mutex recordMutex;
    HX2Mutex m_daysMutex;
    // Record kind and dataset -> the day (Julian) of its last record.
    QHash<QString, qint64> m_recordDays HX2_GUARDED_BY(m_daysMutex);
    // Marker and dataset -> the day of its last pruning and what that
    // day's record has not told.
    QHash<QString, Tally> m_tallies HX2_GUARDED_BY(m_daysMutex);
};

#endif
