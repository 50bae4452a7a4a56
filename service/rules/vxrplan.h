#ifndef VXRPLAN_H
#define VXRPLAN_H

#include <QString>
#include <QStringList>

// What a transfer sends, decided from snapshot lists alone. Pure: the
// transfers only carry out these plans.
namespace VxrPlan {

// The phases of a scheduled upload.
struct Upload
{
    // The snapshot sent whole first; empty for no full phase.
    QString full;
    // The incremental phase from `from` (held by the server by then) up to
    // `to`; both empty for no incremental phase.
    QString from;
    QString to;
    // Non-empty when the server's copy cannot take what the appliance
    // holds: nothing is sent and the upload fails, for this reason.
    QString refusal;

    bool hasIncremental() const { return !from.isEmpty(); }
};

// The upload of local (the appliance's snapshots of the dataset, oldest
// first, not empty) given remote (the server's, oldest first):
// - the server holds none: the oldest local snapshot whole, then the
//   increments from it to the newest (none when there is only one);
// - the server's newest is among the local ones: the increments from it
//   to the newest; nothing at all when it is the newest;
// - otherwise the two lineages do not meet (the dataset was recreated, or
//   the common snapshots were destroyed): refused, since no stream the
//   appliance can send would be received on top of the server's copy.
Upload upload(const QStringList& local, const QStringList& remote);

// The last of remote's names that starts with prefix; empty when none.
QString newestWithPrefix(const QStringList& remote, const QString& prefix);

// The on-demand pass's choice of snapshots, oldest first: those of local
// carrying prefix, from remoteNewest (when it is among them) to the newest;
// all of them when remoteNewest is empty or not found.
QStringList onDemandSpan(const QStringList& local, const QString& prefix, const QString& remoteNewest);

// ---- Restore

// A name as ZFS makes it: letters, digits and "_-.: /" only, not starting
// with "-", no empty path component; a snapshot name is such a dataset
// name, one "@" and a non-empty snapshot part without "/". Names from the
// server pass this before any of them reaches a command or shell text.
bool validName(const QString& name, bool snapshot);

// The phases of one dataset's restore, from the server's list of its
// snapshots (oldest first).
struct Restore
{
    // Received whole first.
    QString first;
    // The incremental phase's end, first..last; empty when there is only
    // one snapshot to restore.
    QString last;
    // Non-empty when the list cannot be trusted (a name ZFS would not make,
    // or a snapshot of another dataset): nothing is received.
    QString refusal;
    // The chosen snapshot is not among the server's: nothing is received.
    bool missing = false;
    // The server's snapshots from the first to the one restored up to.
    QStringList lineage;

    bool isEmpty() const { return first.isEmpty() && refusal.isEmpty() && !missing; }
    // The snapshot the restored dataset ends at.
    QString newest() const { return last.isEmpty() ? first : last; }
};
// The restore of dataset up to upTo (a snapshot of it, by its full name or
// the part after "@"; empty: the server's newest).
Restore restore(const QString& dataset, const QStringList& serverSnapshots, const QString& upTo = QString());

// The full name of a snapshot of dataset given by its full name or by the
// part after "@".
QString snapshotOf(const QString& dataset, const QString& name);

// The user property a restore sets on the dataset it receives, with the
// server's dataset as its value, until its last phase is in: a dataset
// that carries it is an unfinished restore of that dataset.
constexpr const char* kRestoreMark = "vxr:restore";

// How an unfinished restore goes on, from the snapshots the target holds
// (oldest first) and the lineage it is restored along, compared by the part
// after "@" (the target may have another name): when the target's are the
// lineage's first ones, the increments from the last of them (From), or
// nothing more when it holds the whole lineage (Finished); anything else
// cannot be gone on from.
struct Resume
{
    enum Kind { NotOnTheLineage, From, Finished };
    Kind kind = NotOnTheLineage;
    // From: the server's snapshot the increments start at.
    QString from;
};
Resume resume(const QStringList& targetSnapshots, const QStringList& lineage);

// The optional choices of a restore request: one server dataset, up to one
// of its snapshots, into another name.
struct RestoreChoice
{
    QString dataset;
    QString snapshot;
    QString target;
};
// The names of the choices that cannot be taken: a dataset or target that
// is not a dataset name below a pool, a snapshot that is not one of the
// dataset's, a snapshot or target without a dataset. Empty when all can.
QStringList choiceProblems(const RestoreChoice& choice);

// What a full-restore request finds, from the server's and the
// appliance's dataset lists (zfs list -o name of each).
struct RestoreRequest
{
    // The server's datasets below a pool, in its order: one task each.
    QStringList datasets;
    // Those the appliance holds already.
    QStringList clashes;
    // Pools a pool/volume dataset needs that the appliance lacks, each once.
    QStringList missingPools;
    // Names zfs would not make (validName): such a listing is not zfs's.
    QStringList invalid;
};
RestoreRequest restoreRequest(const QStringList& serverNames, const QStringList& localNames);

// At most this many restore tasks come from one full-restore request; a
// server listing more datasets is refused rather than trusted.
constexpr int kMaxRestoreTasks = 10000;

// A mount point a received dataset brought, and the path it names.
struct Mountpoint
{
    QString dataset;
    QString path;
};

// True when path (a mount point property) lies below the pool's mount
// point (the mount point itself is not below it), once "." and ".." are
// resolved; "none", "legacy" and
// other values that are not absolute paths mount nothing and count as
// inside. Where poolMountpoint is itself not an absolute path, no absolute
// path is inside.
bool mountpointInside(const QString& poolMountpoint, const QString& path);

// The datasets of a "zfs get -H -o name,value,source mountpoint" listing
// (tab-separated) that carry a mount point of their own, set or received;
// inherited ones follow their parent's, and snapshots show none. False when
// a line cannot be read: nothing may be mounted on such a listing.
bool ownMountpoints(const QStringList& lines, QList<Mountpoint>* own);

} // namespace VxrPlan

#endif
