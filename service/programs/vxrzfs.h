#ifndef VXRZFS_H
#define VXRZFS_H

#include "vxrprograms.h"
#include "vxrssh.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

// Every zfs command of the engine: the local ones as complete commands with
// their limits, the server's as shell text for ssh (every value quoted for
// the server's shell) with the limits of the ssh run. Pure: nothing here
// starts a program.
namespace VxrZfs {

// The listings and the space totals run zfs by absolute path; the other
// local queries find "zfs" on the search path.
constexpr const char* kZfsPath = "/usr/sbin/zfs";
constexpr const char* kZfs = "zfs";

// The engine's snapshot name: dataset + "@vxr_" + time as yyyyMMddHHmmss.
QString snapshotName(const QString& dataset, const QDateTime& time);
// After zfs refused tried because the name exists: when one of the
// dataset's names (a listing's lines) is stamped later than tried, the
// clock has gone back (the hour repeated at the end of summer time, a
// clock set right): the name one second after the latest, so that names
// keep the order the snapshots were taken in. Empty otherwise, also for
// two attempts within one second, which stay refused.
QString snapshotNameAfter(const QString& dataset, const QString& tried, const QStringList& names);

// ---- Local commands

// zfs list -H -p -o name,used,reservation ROOT (an hour).
VxrCommand info(const QString& datasetRoot);
// /usr/sbin/zfs list -H -o used,refer DATASETS... (30 s); no arguments
// without datasets.
VxrCommand usedRefer(const QStringList& datasets);
// zfs list -H -o name -t snapshot: every local snapshot (an hour).
VxrCommand snapshotNames();
// zfs snapshot NAME (30 s).
VxrCommand snapshot(const QString& snapshotName);
// /usr/sbin/zfs list -t snapshot DS -H -o name,used,refer (an hour).
VxrCommand snapshotListing(const QString& dataset);
// zfs list -t snapshot -H -o name DS: the dataset's snapshot names, oldest
// first (an hour).
VxrCommand snapshotNamesOf(const QString& dataset);
// zfs send -RPnv FIRST: size of a full stream (60 s).
VxrCommand fullEstimate(const QString& first);
// zfs send -RPnv LAST -i FIRST (60 s; exit 1 accepted).
VxrCommand incrementalEstimate(const QString& first, const QString& last);
// zfs list -H -o name: every local dataset and pool (60 s).
VxrCommand datasetNames();
// /usr/sbin/zfs mount DS (10 s).
VxrCommand mount(const QString& dataset);
// zfs get -H -o name,value,source -r mountpoint DS: the mount point of
// the dataset and of each dataset and snapshot below it, with where each
// comes from (60 s).
VxrCommand mountpointsBelow(const QString& dataset);
// zfs get -H -o value mountpoint POOL (60 s).
VxrCommand poolMountpoint(const QString& pool);
// zfs inherit mountpoint DS (30 s): the dataset mounts where its parent
// says again.
VxrCommand inheritMountpoint(const QString& dataset);
// zfs get -H -o value,source vxr:restore DS (60 s): the restore's mark, and
// whether the dataset carries it itself ("local") or from a parent.
VxrCommand restoreMark(const QString& dataset);
// zfs inherit vxr:restore DS (30 s): the restore is finished.
VxrCommand clearRestoreMark(const QString& dataset);
// zfs get -Hp -o value written DS (60 s): bytes written to the dataset
// since its newest snapshot.
VxrCommand writtenSinceSnapshot(const QString& dataset);

// ---- Retention: holds on the incremental base, and pruning

// The tag of the engine's hold on a dataset's incremental base.
constexpr const char* kBaseTag = "vxr_base";
// zfs list -t snapshot -H -o name,userrefs,clones DS: the dataset's
// snapshots, oldest first, with their number of holds and the datasets
// cloned from them (an hour).
VxrCommand snapshotHolds(const QString& dataset);
// zfs hold TAG SNAPSHOT and zfs release TAG SNAPSHOT (30 s each).
VxrCommand hold(const QString& snapshot);
VxrCommand release(const QString& snapshot);
// "ds@a,b,c": one zfs destroy argument naming snapshots of one dataset
// (full names, none holding a comma); empty for none.
QString destroySpec(const QStringList& snapshots);
// zfs destroy SPEC (an hour).
VxrCommand destroy(const QString& spec);

// ---- Commands the server runs

struct RemoteQuery
{
    QString text;
    HX2RunOptions options;
};

// The query run on the server through sshpass and ssh (on the account's
// port, or ssh's default without withPort), the password in the
// environment. The caller has checked the account's destination.
VxrCommand onServer(const VxrSsh::Account& account, const RemoteQuery& query, bool withPort = true);

// The upload's list of the dataset's snapshots on the server (60 s; exit 1
// when the server lacks the dataset).
RemoteQuery uploadRemoteSnapshots(const QString& dataset);
// Every query run on the server keeps at most this much of what it prints:
// a listing of over a million snapshots. Past it the query's process tree
// is ended and it fails as a listing that could not be read, so that a
// server printing without end cannot grow the service's memory.
constexpr qint64 kMaxServerOutput = 64LL * 1024 * 1024;

// Every snapshot of the account with sizes (an hour).
RemoteQuery accountSnapshots();
// Every snapshot name of the account, for the on-demand pass (60 s).
RemoteQuery accountSnapshotNames();
// Every dataset and pool of the account (an hour).
RemoteQuery accountDatasets();
// The restore's list of the dataset's snapshots (an hour).
RemoteQuery restoreSnapshots(const QString& dataset);
// The dataset's snapshots with their number of holds and clones, as
// snapshotHolds (an hour).
RemoteQuery snapshotHoldsOnServer(const QString& dataset);
// Moves the base hold to base on the server and prunes there, in one
// command: the hold taken anew on base (exit kHoldFailed when that fails,
// nothing else done), the hold released from each of releases (failures
// ignored: an operator's hold carries another tag), then the destroy of
// destroySpec unless it is empty (exit kDestroyFailed when it fails). Exit
// 0 when all that had to succeed did (an hour).
constexpr int kHoldFailed = 90;
constexpr int kDestroyFailed = 91;
RemoteQuery moveBaseOnServer(const QString& base, const QStringList& releases, const QString& destroySpec);
// The destroy of destroySpec alone, for another try without the snapshots
// the server refused (exit kDestroyFailed when it fails; an hour).
RemoteQuery destroyOnServer(const QString& destroySpec);
// The restore's estimates: zfs send -RPnv FIRST, and LAST -i FIRST.
RemoteQuery restoreFullEstimate(const QString& first);
RemoteQuery restoreIncrementalEstimate(const QString& first, const QString& last);

// ---- Stream ends of the transfer pipelines, shell text

// zfs send FIRST, and zfs send -RI FIRST LAST (every snapshot after FIRST
// up to LAST; FIRST is on the receiving side already).
QString sendFull(const QString& first);
QString sendIncremental(const QString& first, const QString& last);
// The same as the server runs them for a restore, replication streams.
QString restoreSendFull(const QString& first);
QString restoreSendIncremental(const QString& first, const QString& last);
// What an upload's receive does to the server's own history.
enum class ServerHistory {
    // The server mirrors the appliance (-F): its copy is rolled back to its
    // newest snapshot first, and an incremental replication stream makes it
    // destroy the snapshots and child datasets the appliance no longer has.
    Mirror,
    // The server keeps every snapshot it holds (no -F) and loses snapshots
    // only through its own pruning. A copy changed since its newest
    // snapshot is refused ("has been modified since most recent
    // snapshot"), as is a child dataset the appliance made anew under a
    // name the server still holds; both fail the upload.
    Own
};
// The server's receive of an upload: read-only, access times off, not
// mounted; with Mirror also rolled back and pruned to the stream (-Fu).
QString uploadReceive(const QString& dataset, ServerHistory history = ServerHistory::Mirror);
// The appliance's receive of a restore: writable, access times off, not
// mounted, and never shared over NFS or SMB whatever the stream carries.
// The full stream creates the dataset and must never replace one (no -F);
// the incremental one rolls back the dataset it just made.
// With a mark, the receive sets the restore's mark (VxrPlan::kRestoreMark)
// to it on the dataset.
QString restoreReceive(const QString& dataset, bool incremental, const QString& mark = QString());

} // namespace VxrZfs

#endif
