#include "fakeprograms.h"

#include "vxrpipeline.h"

#include <QRegularExpression>

#include <chrono>
#include <thread>

class FakeTransfer : public VxrTransferProcess
{
public:
    FakeTransfer(FakePrograms& owner, const FakePrograms::Transfer& script, int generation)
        : m_owner(owner), m_script(script), m_generation(generation)
    {
    }

    ~FakeTransfer() override
    {
        std::lock_guard<std::mutex> lock(m_owner.m_mutex);
        if (!m_ended)
            --m_owner.m_running;
    }

    bool waitForFinished(int) override
    {
        if (m_ended)
            return true;
        FakePrograms::PollHook hook;
        {
            std::lock_guard<std::mutex> lock(m_owner.m_mutex);
            hook = m_owner.m_poll;
            if (m_owner.m_killAllGeneration != m_generation) {
                end(0, false, false);
                return true;
            }
        }
        if (hook)
            hook();
        if (m_next < m_script.chunks.size()) {
            m_pending += m_script.chunks.at(m_next++);
            return false;
        }
        if (m_script.holdUntilKilled) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            return false;
        }
        std::lock_guard<std::mutex> lock(m_owner.m_mutex);
        end(m_script.exitCode, m_script.marker, false);
        return true;
    }

    QByteArray readOutput() override
    {
        QByteArray out;
        out.swap(m_pending);
        return out;
    }

    void killTree(int) override
    {
        std::lock_guard<std::mutex> lock(m_owner.m_mutex);
        if (m_ended)
            return;
        ++m_owner.m_killed;
        end(-1, false, true);
    }

    HX2RunResult result() const override { return m_result; }

private:
    // Caller holds the owner's mutex.
    void end(int code, bool marker, bool signalled)
    {
        m_ended = true;
        --m_owner.m_running;
        m_result.started = true;
        m_result.finished = true;
        m_result.normalExit = !signalled;
        m_result.exitCode = code;
        m_result.ok = !signalled && code == 0;
        if (marker)
            m_pending += QByteArray("\n") + VxrPipeline::kDoneMarker + "\r\n";
    }

    FakePrograms& m_owner;
    FakePrograms::Transfer m_script;
    int m_generation;
    int m_next = 0;
    bool m_ended = false;
    QByteArray m_pending;
    HX2RunResult m_result;
};

void FakePrograms::onRun(RunHandler handler)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_run = std::move(handler);
}

void FakePrograms::onTransfer(TransferHandler handler)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_transfer = std::move(handler);
}

void FakePrograms::afterRun(PollHook hook)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_afterRun = std::move(hook);
}

void FakePrograms::onPoll(PollHook hook)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_poll = std::move(hook);
}

void FakePrograms::killAll()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_killAllGeneration;
}

QList<VxrCommand> FakePrograms::runs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_runs;
}

QList<VxrCommand> FakePrograms::transfers() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_transfers;
}

QStringList FakePrograms::sends() const
{
    static const QRegularExpression send(QStringLiteral("zfs send ([^|]*?) *(\\||$)"));
    QStringList out;
    for (const VxrCommand& c : transfers()) {
        const QRegularExpressionMatch m = send.match(pipelineOf(c));
        if (m.hasMatch())
            out << QStringLiteral("send ") + m.captured(1).remove(QLatin1Char('\'')).remove(QLatin1Char('\\'));
    }
    return out;
}

int FakePrograms::killed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_killed;
}

int FakePrograms::running() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_running;
}

HX2RunResult FakePrograms::run(const VxrCommand& command)
{
    RunHandler handler;
    PollHook after;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_runs << command;
        handler = m_run;
        after = m_afterRun;
    }
    HX2RunResult r = handler ? handler(command) : notStarted();
    if (after)
        after();
    // As the runner judges: a normal exit with one of the command's codes.
    r.ok = r.started && r.finished && r.normalExit && command.options.acceptedCodes.contains(r.exitCode)
        && !r.outOverflow;
    return r;
}

std::unique_ptr<VxrTransferProcess> FakePrograms::startTransfer(const VxrCommand& command)
{
    TransferHandler handler;
    int generation = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_transfers << command;
        handler = m_transfer;
        generation = m_killAllGeneration;
    }
    const Transfer script = handler ? handler(command) : Transfer{};
    if (!script.starts)
        return nullptr;
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_running;
    return std::make_unique<FakeTransfer>(*this, script, generation);
}

HX2RunResult FakePrograms::ok(const QByteArray& out)
{
    return exited(0, QByteArray(), out);
}

HX2RunResult FakePrograms::exited(int code, const QByteArray& err, const QByteArray& out)
{
    HX2RunResult r;
    r.started = true;
    r.finished = true;
    r.normalExit = true;
    r.exitCode = code;
    r.ok = code == 0;
    r.out = out;
    r.err = err;
    return r;
}

HX2RunResult FakePrograms::notStarted()
{
    return HX2RunResult();
}

QString pipelineOf(const VxrCommand& command)
{
    const int c = command.args.indexOf(QStringLiteral("-c"));
    return c >= 0 && c + 1 < command.args.size() ? command.args.at(c + 1) : QString();
}
