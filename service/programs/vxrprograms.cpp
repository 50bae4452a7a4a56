#include "vxrprograms.h"

#include "hx2utils.h"
#include "vxrssh.h"

namespace {

// What is kept of standard error (or of a transfer's output) in a trace
// line: enough for zfs's or ssh's complaint.
constexpr int kTraceTail = 1024;

class RunnerTransfer : public VxrTransferProcess
{
public:
    explicit RunnerTransfer(const VxrCommand& command)
        : m_command(command), m_runner(command.program, command.args, command.options)
    {
    }

    ~RunnerTransfer() override
    {
        HX2RunResult r = m_runner.result();
        // A transfer's complaints arrive through script on its output.
        r.err = m_outTail + r.err.right(kTraceTail);
        VxrPrograms::trace(m_command, r);
    }

    bool start() { return m_runner.start(); }
    bool waitForFinished(int ms) override { return m_runner.waitForFinished(ms); }

    QByteArray readOutput() override
    {
        const QByteArray fresh = m_runner.readOutput();
        m_outTail += fresh;
        if (m_outTail.size() > kTraceTail)
            m_outTail = m_outTail.right(kTraceTail);
        return fresh;
    }

    void killTree(int graceMs) override { m_runner.killTree(graceMs); }
    HX2RunResult result() const override { return m_runner.result(); }

private:
    VxrCommand m_command;
    HX2Runner m_runner;
    QByteArray m_outTail;
};

} // namespace

VxrTransferProcess::~VxrTransferProcess() = default;

VxrPrograms::~VxrPrograms() = default;

HX2RunResult VxrPrograms::run(const VxrCommand& command)
{
    const HX2RunResult r = HX2Runner::run(command.program, command.args, command.options);
    trace(command, r);
    return r;
}

std::unique_ptr<VxrTransferProcess> VxrPrograms::startTransfer(const VxrCommand& command)
{
    auto transfer = std::make_unique<RunnerTransfer>(command);
    if (!transfer->start())
        return nullptr;
    return transfer;
}

QString VxrPrograms::shellText(const VxrCommand& command)
{
    QString text = command.program;
    for (const QString& a : command.args) {
        text += QLatin1Char(' ');
        text += toShellArgEscaped(a);
    }
    return text;
}

void VxrPrograms::trace(const VxrCommand& command, const HX2RunResult& r)
{
    QString outcome;
    if (!r.started)
        outcome = QStringLiteral("did not start");
    else if (!r.finished)
        outcome = QStringLiteral("did not finish in time");
    else if (!r.normalExit)
        outcome = QStringLiteral("ended by a signal");
    else
        outcome = QStringLiteral("exit ") + QString::number(r.exitCode);
    QString line = shellText(command) + QStringLiteral(" => ") + outcome;
    if (!r.ok && !r.err.isEmpty())
        line += QStringLiteral(": ") + QString::fromUtf8(r.err.right(kTraceTail)).trimmed();
    PRINTVAR(line);
}
