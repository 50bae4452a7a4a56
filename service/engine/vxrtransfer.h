#ifndef VXRTRANSFER_H
#define VXRTRANSFER_H

#include "vxrprograms.h"
#include "vxrtaskqueue.h"

#include <QList>
#include <QString>

#include <atomic>
#include <functional>

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
    // The bandwidth limit's rate now, bytes a second (0: no limit), asked at
    // every poll; empty when the pipeline's meter carries no limit. Once
    // the meter has announced itself, each new rate is handed to it while
    // it runs, so a window that begins or ends is obeyed within a poll.
    std::function<qint64()> rate;
};

struct VxrTransferResult
{
    enum Outcome { Succeeded, NotStarted, Failed, Cancelled };
    Outcome outcome = Failed;
    // The last rate shown (the base of a following mapped phase).
    int rate = 0;
    QString speed;
};

// Runs one phase: starts the command, then every pollMs keeps the meter at
// the limit's rate, reads pv's newest progress into the task, ends the
// process tree when the task was cancelled, and at the end judges the run.
// A phase succeeds only when the program ended normally with code 0, its
// output shows the pipeline's done marker, and quitting is not set (a
// service stop kills the tree, and script may then still exit 0). Nothing
// is started once quitting is set.
// Blocks the calling thread; tasks may be null when taskIndex is 0.
VxrTransferResult runTransfer(VxrPrograms& programs, VxrTaskQueue* tasks, const std::atomic<bool>& quitting,
                              const VxrTransferJob& job);

// What a transfer runs: its size estimates, then its phases, each a
// pipeline on the transfer loop. The upload, the on-demand pass and the
// restore each make one and read one outcome.
struct VxrPhasePlan
{
    // The estimates of the phases' sizes, in order; each runs only while
    // the one before it ran. The transfer's size is their sum; the phase at
    // position i has the size of estimate i (0 when there is none).
    QList<VxrCommand> estimates;
    struct Phase
    {
        // The phase's run, made once the sizes are known: the transfer's
        // size and the phase's own.
        std::function<VxrCommand(qint64 total, qint64 own)> command;
        // Not started at all once the service quits (otherwise the loop
        // refuses to start it, which counts as its outcome).
        bool skippedOnQuit = false;
    };
    QList<Phase> phases;
    // A phase whose size is still 0 when its turn comes has its estimate
    // run again then.
    bool estimateLate = false;
    // A phase that fails does not end the transfer: the next one runs, and
    // the last one run decides.
    bool goOnAfterFailure = false;
    // The loop of each phase: poll, task, bound and rate (VxrTransferJob).
    int pollMs = 2000;
    int taskIndex = 0;
    qint64 limitMs = -1;
    std::function<qint64()> rate;
};

struct VxrPhaseOutcome
{
    VxrTransferResult::Outcome outcome = VxrTransferResult::Succeeded;
    // The last phase run or refused to start; -1 when none came.
    int phase = -1;
    // The transfer's size, as the sizes finally stood.
    qint64 total = 0;
};

// Runs plans on the transfer loop. Before each estimate and each phase the
// task's cancel is looked for (with a task): a cancelled task starts no
// further program and ends Cancelled. Blocks the calling thread.
class VxrPhaseRunner
{
public:
    VxrPhaseRunner(VxrPrograms& programs, VxrTaskQueue* tasks, const std::atomic<bool>& quitting);

    // The sizes of the plan's estimates (a failed or skipped one is 0);
    // false when the task was cancelled meanwhile.
    bool estimate(const VxrPhasePlan& plan, QList<qint64>* sizes);
    // Runs the phases in order with the sizes estimate() gave: a phase
    // after the first runs once the one before it succeeded (any outcome
    // with goOnAfterFailure) and shows its progress on the scale above what
    // the phases before it reached. A plan without phases succeeds.
    VxrPhaseOutcome run(const VxrPhasePlan& plan, QList<qint64> sizes);
    // The transfer's size of the sizes estimate() gave.
    static qint64 sum(const QList<qint64>& sizes);

private:
    bool cancelled(const VxrPhasePlan& plan) const;
    qint64 estimateOne(const VxrCommand& command, bool* ran);

    VxrPrograms& m_programs;
    VxrTaskQueue* m_tasks;
    const std::atomic<bool>& m_quitting;
};

#endif
