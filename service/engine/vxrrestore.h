#ifndef VXRRESTORE_H
#define VXRRESTORE_H

#include "hx2journals.h"
#include "vxrplan.h"
#include "vxrtask.h"

#include <QString>
#include <QStringList>

#include <functional>

class VxrDatasetClaims;
class VxrLinkCheck;
class VxrOperationLog;
class VxrPrograms;
class VxrSeams;
class VxrTaskWorker;

// Restores from the backup server: the requests, which check what they
// can before queueing one task per dataset, and the restore of one dataset
// on the transfer loop.
//
// A restore marks the dataset it receives (VxrPlan::kRestoreMark) until its
// last phase is in. A marked dataset whose snapshots are the server's first
// ones, in order, and that was not written to since its newest, is an
// unfinished restore: a later request goes on from its newest snapshot
// instead of refusing it. Every other dataset that exists is never received
// into.
class VxrRestoreFlow
{
public:
    VxrRestoreFlow(VxrSeams& seams, VxrOperationLog& log, VxrTaskWorker& worker, VxrLinkCheck& links,
                   VxrDatasetClaims& claims);

    // Queues one restore task per dataset the account holds on the server
    // (below a pool), in the server's order, with consecutive indexes, and
    // makes sure the task worker runs. The account is the one given, not
    // the configured one. Refusals, with nothing queued: a user or host ssh
    // would misread, 9994 "账号设置无效" (nothing started); the server's list
    // not obtained, an "Error" record and 9886; no dataset on the server,
    // 9994; more datasets than VxrPlan::kMaxRestoreTasks, a record and 9886;
    // datasets the appliance holds already (other than unfinished restores
    // that can go on), 9993 with their names (before the next check); pools
    // the appliance lacks, 9887 with their names. A failing local list
    // returns false and leaves the journal as it was. True, the journal
    // untouched, when the tasks were queued. Blocks the caller for as long
    // as the listings take.
    bool request(HX2Journals& journal, const VxrSsh::Account& account);
    // Queues the restore of choice.dataset alone (with what its replication
    // stream brings along), up to choice.snapshot, into choice.target;
    // choiceProblems() is empty. Refusals, with nothing queued, besides the
    // account's and the listings' of request(): 9884 "云机上没有这个卷: " when
    // the server lacks the dataset, 9883 "云机上没有这个快照: " when it lacks
    // the snapshot, 9994 when the dataset has no snapshot there, 9886 when
    // its list cannot be trusted (with a record), 9993 when the target
    // exists and is no unfinished restore of it that can go on, 9887 when
    // the target's pool is missing, 9882 "本地磁盘上的上级卷不存在，需要先创建好: "
    // when its parent is.
    bool request(HX2Journals& journal, const VxrSsh::Account& account, const VxrPlan::RestoreChoice& choice);
    // Receives the task's dataset from the server into its target: the
    // first snapshot whole, then the increments to the chosen (or newest)
    // one, or, for an unfinished restore, the increments from the target's
    // newest; with progress and cancel. Then clears the mark, resets mount
    // points that lead out of the pool (every mount point of its own, for a
    // target of another name, which would otherwise mount where the live
    // dataset does) and mounts it. A dataset of the server's name that holds
    // the chosen snapshot already (a child its parent's stream brought) is
    // complete. Writes one outcome record; true when restored. The dataset
    // received into is claimed from the first listing to the end, after
    // any pruning pass of it, so that no pass prunes a half-received
    // dataset. Worker thread.
    bool run(const VxrTask& task);

private:
    // What the appliance holds of a restore's target.
    struct Inspection
    {
        enum Kind { Absent, Complete, Resume, Finished, Exists, Failed, Cancelled };
        Kind kind = Failed;
        // Resume: the snapshot the increments start at.
        QString from;
        QString why;
    };
    Inspection inspect(VxrPrograms& run, const QString& source, const QString& target, const VxrPlan::Restore& plan,
                       const QStringList& localNames, const std::function<bool()>& cancelled);
    // A full request's clash that is an unfinished restore going on.
    bool resumable(VxrPrograms& run, const VxrSsh::Account& account, const QString& dataset,
                   const QStringList& localNames);
    // The server's listing of the account's datasets, with the refusals it
    // gives; false when refused.
    bool serverDatasets(HX2Journals& journal, VxrPrograms& run, const VxrSsh::Account& account, QStringList* names);
    // Clears the mark, resets stray mount points, shows the task done,
    // mounts the dataset and writes the success record.
    bool mountRestored(VxrPrograms& run, const VxrTask& task, qint64 total, bool marked);
    // The outcome records; each returns whether the restore succeeded.
    bool record(const char* level, const char* message, int state, const QString& detail = QString());
    bool fail(const QString& reason);
    bool cancel();
    bool cancelled(const VxrTask& task) const;
    // Resets every mount point of dataset and the datasets below it that
    // leads out of its pool's mount point (by its text, or through a link),
    // or every one of their own with all, to the inherited one, listing each
    // as "DS from PATH" in resets. False when the mount points could not be
    // read or a reset failed.
    bool resetMountpoints(VxrPrograms& run, const QString& dataset, bool all, QStringList* resets);

    VxrSeams& m_seams;
    VxrOperationLog& m_log;
    VxrTaskWorker& m_worker;
    VxrLinkCheck& m_links;
    VxrDatasetClaims& m_claims;
};

#endif
