#include "vxrtransfer.h"

#include "hx2utils.h"
#include "vxrparse.h"
#include "vxrpipeline.h"

#include <QElapsedTimer>

#include <algorithm>

namespace {

// Grace given to the transfer's processes between the terminate and the
// kill of a cancel; short, as the user waits for it.
constexpr int kCancelGraceMs = 1000;
// Output kept to find the done marker, which the pipeline prints last.
constexpr int kMarkerTail = 4096;
// Output looked through for the meter's announcement, which a limited
// pipeline prints first.
constexpr int kMeterHead = 4096;

// Keeps a limited pipeline's meter at the rate in force: finds the meter's
// process id in the first output, then tells the meter every new rate.
class MeterControl
{
public:
    MeterControl(VxrPrograms& programs, const std::function<qint64()>& rate) : m_programs(programs), m_rate(rate) {}

    void take(const QByteArray& fresh)
    {
        if (!m_rate || m_pid > 0 || m_head.size() >= kMeterHead)
            return;
        m_head += fresh.left(kMeterHead - m_head.size());
        VxrPipeline::meterAnnounced(m_head, &m_pid, &m_applied);
    }

    // Called while the pipeline runs. A rate that could not be handed over
    // is not tried again before the next change: the trace shows why.
    void poll()
    {
        if (m_pid <= 0)
            return;
        const qint64 wanted = std::max<qint64>(0, m_rate());
        if (wanted == m_applied)
            return;
        m_applied = wanted;
        m_programs.run(VxrPipeline::meterRate(m_pid, wanted));
    }

private:
    VxrPrograms& m_programs;
    const std::function<qint64()>& m_rate;
    QByteArray m_head;
    qint64 m_pid = 0;
    qint64 m_applied = 0;
};

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
    MeterControl meter(programs, job.rate);
    QByteArray tail;
    auto take = [&] {
        const QByteArray fresh = process->readOutput();
        meter.take(fresh);
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
        meter.poll();
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

VxrPhaseRunner::VxrPhaseRunner(VxrPrograms& programs, VxrTaskQueue* tasks, const std::atomic<bool>& quitting)
    : m_programs(programs), m_tasks(tasks), m_quitting(quitting)
{
}

bool VxrPhaseRunner::cancelled(const VxrPhasePlan& plan) const
{
    return m_tasks && plan.taskIndex > 0 && m_tasks->headRemoved(plan.taskIndex);
}

qint64 VxrPhaseRunner::estimateOne(const VxrCommand& command, bool* ran)
{
    const HX2RunResult r = m_programs.run(command);
    *ran = r.ok;
    return r.ok ? VxrParse::parseEstimateSize(r.out) : 0;
}

bool VxrPhaseRunner::estimate(const VxrPhasePlan& plan, QList<qint64>* sizes)
{
    sizes->clear();
    bool ran = true;
    for (const VxrCommand& command : plan.estimates) {
        if (!ran) {
            sizes->append(0);
            continue;
        }
        if (cancelled(plan))
            return false;
        sizes->append(estimateOne(command, &ran));
    }
    return true;
}

qint64 VxrPhaseRunner::sum(const QList<qint64>& sizes)
{
    qint64 total = 0;
    for (const qint64 size : sizes)
        total += size;
    return total;
}

VxrPhaseOutcome VxrPhaseRunner::run(const VxrPhasePlan& plan, QList<qint64> sizes)
{
    auto totalOf = [&] { return sum(sizes); };
    VxrPhaseOutcome out;
    out.total = totalOf();
    VxrTransferJob job;
    job.pollMs = plan.pollMs;
    job.taskIndex = plan.taskIndex;
    job.limitMs = plan.limitMs;
    job.rate = plan.rate;
    int reached = 0;
    for (int i = 0; i < plan.phases.size(); ++i) {
        if (i > 0 && out.outcome != VxrTransferResult::Succeeded && !plan.goOnAfterFailure)
            break;
        if (plan.phases.at(i).skippedOnQuit && m_quitting.load())
            break;
        if (plan.estimateLate && i < plan.estimates.size() && sizes.value(i) <= 0) {
            if (cancelled(plan)) {
                out.outcome = VxrTransferResult::Cancelled;
                return out;
            }
            bool ran = false;
            while (sizes.size() <= i)
                sizes.append(0);
            sizes[i] = estimateOne(plan.estimates.at(i), &ran);
            out.total = totalOf();
        }
        out.phase = i;
        if (cancelled(plan)) {
            out.outcome = VxrTransferResult::Cancelled;
            return out;
        }
        job.total = out.total;
        job.mapped = i > 0;
        job.base = reached;
        job.command = plan.phases.at(i).command(out.total, sizes.value(i));
        const VxrTransferResult r = runTransfer(m_programs, m_tasks, m_quitting, job);
        out.outcome = r.outcome;
        reached = r.rate;
        if (r.outcome == VxrTransferResult::Cancelled)
            return out;
    }
    return out;
}
