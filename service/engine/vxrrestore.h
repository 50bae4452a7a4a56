#ifndef VXRRESTORE_H
#define VXRRESTORE_H

#include "hx2journals.h"
#include "vxrtask.h"

#include <QString>
#include <QStringList>

class VxrLinkCheck;
class VxrOperationLog;
class VxrPrograms;
class VxrSeams;
class VxrTaskWorker;

// Restores from the backup server: the full-restore request, which queues
// one task per dataset the account holds, and the restore of one dataset
// on the transfer loop.
class VxrRestoreFlow
{
public:
    VxrRestoreFlow(VxrSeams& seams, VxrOperationLog& log, VxrTaskWorker& worker, VxrLinkCheck& links);

    // Queues one restore task per dataset the account holds on the server
    // (below a pool), in the server's order, with consecutive indexes, and
    // makes sure the task worker runs. The account is the one given, not
    // the configured one; a port outside 1..65535 becomes 22. Refusals,
    // with nothing queued: a user or host ssh would misread, 9994
    // "账号设置无效" (nothing started); the server's list not obtained, an
    // "Error" record and 9886; no dataset on the server, 9994; more datasets
    // than VxrPlan::kMaxRestoreTasks, a record and 9886; datasets the
    // appliance holds already, 9993 with their names (before the next
    // check); pools the appliance lacks, 9887 with their names. A failing
    // local list returns false and leaves the journal as it was. True, the
    // journal untouched, when the tasks were queued. Blocks the caller for
    // as long as the two listings take.
    bool request(HX2Journals& journal, const VxrSsh::Account& account);
    // Receives the task's dataset from the server: the first snapshot whole,
    // then the increments to the last, with progress and cancel, resets
    // mount points that lead out of the pool, and mounts it. Never replaces
    // a dataset that exists on the appliance: one that holds the server's
    // newest snapshot already (a child its parent's stream brought) is
    // complete, any other fails the restore. Writes one outcome record;
    // true when restored. Worker thread.
    bool run(const VxrTask& task);

private:
    // What the appliance holds of the task's dataset now: nothing (it is
    // received), everything up to newest (its parent's stream brought it),
    // or something else (refused, with the record written).
    enum class Target { Absent, Complete, Refused, Cancelled };
    Target checkTarget(VxrPrograms& run, const VxrTask& task, const QString& newest);
    // Resets stray mount points, shows the task done, mounts the dataset
    // and writes the success record.
    bool mountRestored(VxrPrograms& run, const VxrTask& task, qint64 total);
    // The outcome records; each returns whether the restore succeeded.
    bool record(const char* level, const char* message, int state, const QString& detail = QString());
    bool fail(const QString& reason);
    bool cancel();
    bool cancelled(const VxrTask& task) const;
    // Resets every mount point of dataset and the datasets below it that
    // leads out of its pool's mount point (by its text, or through a link)
    // to the inherited one, listing each as "DS from PATH" in resets.
    // False when the mount points could not be read or a reset failed.
    bool resetStrayMountpoints(VxrPrograms& run, const QString& dataset, QStringList* resets);

    VxrSeams& m_seams;
    VxrOperationLog& m_log;
    VxrTaskWorker& m_worker;
    VxrLinkCheck& m_links;
};

#endif
