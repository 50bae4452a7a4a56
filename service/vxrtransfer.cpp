#include "vxrtransfer.h"

#include "hx2utils.h"
#include "vxrpipeline.h"

#include <QElapsedTimer>

namespace {

// Grace given to the transfer's processes between the terminate and the
// kill of a cancel; short, as the user waits for it.
constexpr int kCancelGraceMs = 1000;
// Output kept to find the done marker, which the pipeline prints last.
constexpr int kMarkerTail = 4096;

} // namespace

VxrTransferResult runTransfer(VxrPrograms& programs, VxrTaskQueue* tasks, const std::atomic<bool>& quitting,
                              const VxrTransferJob& job)
{
    VxrTransferResult result;
    result.rate = job.mapped ? job.base : 0;
    result.speed = QStringLiteral("0B/s");
    if (quitting.load()) {
        result.outcome = VxrTransferResult::NotStarted;
        return result;
    }
    std::unique_ptr<VxrTransferProcess> process = programs.startTransfer(job.command);
    if (!process) {
        result.outcome = VxrTransferResult::NotStarted;
        return result;
    }

    const bool withTask = tasks && job.taskIndex > 0;
    VxrPipeline::ProgressParser progress;
    QByteArray tail;
    auto take = [&] {
        const QByteArray fresh = process->readOutput();
        progress.append(fresh);
        tail += fresh;
        if (tail.size() > kMarkerTail)
            tail = tail.right(kMarkerTail);
    };
    QElapsedTimer timer;
    timer.start();
    while (!process->waitForFinished(job.pollMs)) {
        take();
        if (job.limitMs >= 0 && timer.elapsed() >= job.limitMs) {
            const QString reason = QStringLiteral("still running when its time was up");
            PRINTVAR(reason);
            process->killTree(kCancelGraceMs);
            result.outcome = VxrTransferResult::Failed;
            return result;
        }
        if (!withTask)
            continue;
        int percent = 0;
        if (progress.read(&result.speed, &percent))
            result.rate = job.mapped ? VxrPipeline::mapRate(percent, job.base) : percent;
        if (tasks->headRemoved(job.taskIndex)) {
            process->killTree(kCancelGraceMs);
            result.outcome = VxrTransferResult::Cancelled;
            return result;
        }
        tasks->updateHead(job.taskIndex, VxrTasks::Progress{result.speed, result.rate, job.total});
    }
    take();
    const HX2RunResult r = process->result();
    result.outcome = (r.ok && VxrPipeline::streamCompleted(tail) && !quitting.load()) ? VxrTransferResult::Succeeded
                                                                                       : VxrTransferResult::Failed;
    return result;
}
