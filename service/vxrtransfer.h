#ifndef VXRTRANSFER_H
#define VXRTRANSFER_H

#include "vxrprograms.h"
#include "vxrtaskqueue.h"

#include <QString>

#include <atomic>

// One phase of a transfer as the loop runs it.
struct VxrTransferJob
{
    // The pipeline's run (VxrPipeline::transfer).
    VxrCommand command;
    // How often pv's progress is read, the task updated and a cancel looked
    // for.
    int pollMs = 2000;
    // The task whose progress the phase shows and whose cancel it obeys;
    // 0 for none (then only the end is waited for).
    int taskIndex = 0;
    // Progress mapping: direct (pv's percent) or, when mapped, pv's percent
    // spread over the part of the scale above base.
    bool mapped = false;
    int base = 0;
    // Bytes of the whole transfer, shown as "totalsize".
    qint64 total = 0;
    // A phase still running after this long fails and its process tree is
    // killed; negative for no bound.
    qint64 limitMs = -1;
};

struct VxrTransferResult
{
    enum Outcome { Succeeded, NotStarted, Failed, Cancelled };
    Outcome outcome = Failed;
    // The last rate shown (the base of a following mapped phase).
    int rate = 0;
    QString speed;
};

// Runs one phase: starts the command, then every pollMs reads pv's newest
// progress into the task, ends the process tree when the task was
// cancelled, and at the end judges the run. A phase succeeds only when the
// program ended normally with code 0, its output shows the pipeline's done
// marker, and quitting is not set (a service stop kills the tree, and
// script may then still exit 0). Nothing is started once quitting is set.
// Blocks the calling thread; tasks may be null when taskIndex is 0.
VxrTransferResult runTransfer(VxrPrograms& programs, VxrTaskQueue* tasks, const std::atomic<bool>& quitting,
                              const VxrTransferJob& job);

#endif
