#ifndef VXRUPLOAD_H
#define VXRUPLOAD_H

#include "vxrtask.h"
#include "vxrtransfer.h"

class VxrLinkCheck;
class VxrOperationLog;
class VxrPruning;
class VxrSeams;
class VxrSettingsStore;
class VxrTaskWorker;

// The scheduled upload of one dataset: both sides' snapshot lists, the
// plan, its phases on the transfer loop, and the outcome's record.
class VxrUploadFlow
{
public:
    VxrUploadFlow(VxrSeams& seams, VxrOperationLog& log, VxrSettingsStore& settings, VxrTaskWorker& worker,
                  VxrPruning& pruning, VxrLinkCheck& links);

    // Uploads the task's dataset with the configured account: the
    // snapshots the server lacks, as a full stream when the server has
    // none, then the increments from the server's newest. Writes the
    // outcome record and the last-backup file once the lists were read (a
    // cancel, whenever it comes, too); with retention, moves the base after
    // a success. True on success. Worker thread.
    bool run(const VxrTask& task);

private:
    // Writes the outcome's record and last-backup file; true on success.
    bool finish(VxrTransferResult::Outcome outcome);

    VxrSeams& m_seams;
    VxrOperationLog& m_log;
    VxrSettingsStore& m_settings;
    VxrTaskWorker& m_worker;
    VxrPruning& m_pruning;
    VxrLinkCheck& m_links;
};

#endif
