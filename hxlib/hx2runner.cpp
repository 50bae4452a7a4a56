#include "hx2runner.h"

#include "hx2utils.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>

#include <csignal>
#include <mutex>
#include <set>
#include <thread>

#include <sys/prctl.h>
#include <unistd.h>

namespace {

std::mutex g_liveMutex;
std::set<qint64> g_livePids;

// Asks the kernel to end the child if the service dies without cleaning up.
class ChildProcess : public QProcess
{
protected:
    void setupChildProcess() override { ::prctl(PR_SET_PDEATHSIG, SIGTERM); }
};

// State letter and parent of a process from /proc/PID/stat; false when gone.
bool readStat(qint64 pid, char* state, qint64* ppid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = f.readAll();
    // The command name is in parentheses and may hold blanks or ")".
    const int close = line.lastIndexOf(')');
    if (close < 0)
        return false;
    const QList<QByteArray> fields = line.mid(close + 2).split(' ');
    if (fields.size() < 2)
        return false;
    if (state)
        *state = fields.at(0).isEmpty() ? '?' : fields.at(0).at(0);
    if (ppid)
        *ppid = fields.at(1).toLongLong();
    return true;
}

bool alive(qint64 pid)
{
    char state = '?';
    if (!readStat(pid, &state, nullptr))
        return false;
    return state != 'Z' && state != 'X';
}

void killTreeOf(qint64 root, int graceMs)
{
    if (root <= 0)
        return;
    QList<qint64> all = HX2Runner::descendants(root);
    all.prepend(root);
    for (qint64 p : all)
        ::kill(static_cast<pid_t>(p), SIGTERM);

    QElapsedTimer timer;
    timer.start();
    for (;;) {
        bool any = false;
        for (qint64 p : all)
            any = any || alive(p);
        if (!any || timer.elapsed() >= graceMs)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Whatever is left, and anything spawned meanwhile, is killed outright.
    QList<qint64> rest = HX2Runner::descendants(root);
    for (qint64 p : all) {
        if (!rest.contains(p))
            rest.append(p);
    }
    for (qint64 p : rest) {
        if (alive(p))
            ::kill(static_cast<pid_t>(p), SIGKILL);
    }
}

} // namespace

QStringList HX2RunResult::outLines(bool utf8) const
{
    const QByteArray bytes = beforeZero(out);
    const QString text = utf8 ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes);
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString HX2RunResult::errText() const
{
    return QString::fromUtf8(beforeZero(err));
}

class HX2RunnerPrivate
{
public:
    QString program;
    QStringList args;
    HX2RunOptions options;
    ChildProcess process;
    bool started = false;
    bool ended = false;
    qint64 pid = 0;
    QByteArray out;
    QByteArray err;
    int outRead = 0;
    // Standard output received so far, also what readOutput() handed out.
    qint64 outTotal = 0;
    bool overflow = false;

    void drainErr()
    {
        err += process.readAllStandardError();
        if (err.size() > HX2Runner::kErrTail)
            err = err.right(HX2Runner::kErrTail);
    }

    // Keeps fresh output within maxOutBytes; past it, ends the program
    // (without waiting: this may run inside one of QProcess's waits) and
    // drops everything that still comes.
    void takeOut(const QByteArray& fresh)
    {
        const qint64 cap = options.maxOutBytes;
        if (cap < 0) {
            out += fresh;
            return;
        }
        if (overflow)
            return;
        const qint64 room = cap - outTotal;
        outTotal += fresh.size();
        if (fresh.size() <= room) {
            out += fresh;
            return;
        }
        out += fresh.left(int(room));
        overflow = true;
        // A program already reaped may have left its pid to another.
        if (process.state() != QProcess::NotRunning)
            killTreeOf(process.processId(), 0);
    }

    void drain()
    {
        takeOut(process.readAllStandardOutput());
        drainErr();
    }

    void markEnded()
    {
        if (ended)
            return;
        ended = true;
        drain();
        std::lock_guard<std::mutex> lock(g_liveMutex);
        g_livePids.erase(pid);
    }
};

HX2Runner::HX2Runner(const QString& program, const QStringList& args, const HX2RunOptions& options)
    : d(new HX2RunnerPrivate)
{
    d->program = program;
    d->args = args;
    d->options = options;
    // Standard error is trimmed to its tail as it arrives: a program that
    // writes without end must not grow the service's memory while a run
    // waits for it.
    HX2RunnerPrivate* p = d.get();
    QObject::connect(&d->process, &QProcess::readyReadStandardError, [p] { p->drainErr(); });
    if (options.maxOutBytes >= 0)
        QObject::connect(&d->process, &QProcess::readyReadStandardOutput, [p] { p->drain(); });
}

HX2Runner::~HX2Runner()
{
    if (d->started && !d->ended) {
        killTree(500);
    }
}

static void applyEnv(QProcess& process, const QHash<QString, QString>& vars)
{
    if (vars.isEmpty())
        return;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (auto it = vars.cbegin(); it != vars.cend(); ++it)
        env.insert(it.key(), it.value());
    process.setProcessEnvironment(env);
}

bool HX2Runner::start()
{
    if (d->started)
        return true;
    applyEnv(d->process, d->options.env);
    if (d->options.channels == HX2Channels::Merged)
        d->process.setProcessChannelMode(QProcess::MergedChannels);
    else if (d->options.channels == HX2Channels::Forwarded)
        d->process.setProcessChannelMode(QProcess::ForwardedChannels);
    d->process.start(d->program, d->args, QIODevice::ReadWrite);
    if (!d->process.waitForStarted(d->options.startMs)) {
        d->process.kill();
        d->process.waitForFinished(1000);
        d->ended = true;
        return false;
    }
    // Nothing is ever written to the child's input: close it so that a
    // program reading standard input sees its end instead of waiting.
    d->process.closeWriteChannel();
    d->started = true;
    d->pid = d->process.processId();
    std::lock_guard<std::mutex> lock(g_liveMutex);
    g_livePids.insert(d->pid);
    return true;
}

bool HX2Runner::waitForFinished(int ms)
{
    if (!d->started)
        return false;
    if (d->ended || d->process.state() == QProcess::NotRunning) {
        d->markEnded();
        return true;
    }
    const bool done = d->process.waitForFinished(ms) || d->process.state() == QProcess::NotRunning;
    d->drain();
    if (done)
        d->markEnded();
    return done;
}

bool HX2Runner::isRunning() const
{
    return d->started && !d->ended && d->process.state() != QProcess::NotRunning;
}

QByteArray HX2Runner::readOutput()
{
    d->drain();
    const QByteArray fresh = d->out.mid(d->outRead);
    d->outRead = d->out.size();
    // The whole output is not kept once handed out in pieces: a transfer's
    // progress output can run for hours.
    d->out.clear();
    d->outRead = 0;
    return fresh;
}

void HX2Runner::killTree(int graceMs)
{
    if (!d->started || d->ended)
        return;
    if (d->process.state() == QProcess::NotRunning) {
        // Already reaped: its pid may belong to another process by now.
        d->markEnded();
        return;
    }
    killTreeOf(d->pid, graceMs);
    d->process.waitForFinished(graceMs + 1000);
    d->markEnded();
}

HX2RunResult HX2Runner::result() const
{
    HX2RunResult r;
    r.started = d->started;
    // A program that never started did not finish either.
    r.finished = d->started && d->ended;
    r.out = d->out;
    r.err = d->err;
    r.outOverflow = d->overflow;
    if (d->started && d->ended) {
        r.normalExit = d->process.exitStatus() == QProcess::NormalExit;
        r.exitCode = d->process.exitCode();
        r.ok = r.normalExit && d->options.acceptedCodes.contains(r.exitCode) && !d->overflow;
    }
    return r;
}

qint64 HX2Runner::pid() const { return d->pid; }

HX2RunResult HX2Runner::run(const QString& program, const QStringList& args,
                            const HX2RunOptions& options)
{
    HX2Runner runner(program, args, options);
    if (!runner.start())
        return runner.result();
    const bool finished = runner.waitForFinished(options.finishMs < 0 ? -1 : options.finishMs);
    if (!finished) {
        runner.killTree(500);
        HX2RunResult r = runner.result();
        r.finished = false;
        r.ok = false;
        return r;
    }
    return runner.result();
}

bool HX2Runner::startDetached(const QString& program, const QStringList& args,
                              const HX2RunOptions& options, qint64* pid)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(args);
    applyEnv(process, options.env);
    return process.startDetached(pid);
}

void HX2Runner::killAll()
{
    std::set<qint64> pids;
    {
        std::lock_guard<std::mutex> lock(g_liveMutex);
        pids = g_livePids;
    }
    for (qint64 p : pids)
        killTreeOf(p, 2000);
}

int HX2Runner::liveCount()
{
    std::lock_guard<std::mutex> lock(g_liveMutex);
    return static_cast<int>(g_livePids.size());
}

QList<qint64> HX2Runner::descendants(qint64 root)
{
    QHash<qint64, QList<qint64>> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& e : entries) {
        bool ok = false;
        const qint64 pid = e.toLongLong(&ok);
        if (!ok)
            continue;
        qint64 ppid = 0;
        if (readStat(pid, nullptr, &ppid))
            children[ppid].append(pid);
    }
    QList<qint64> out;
    QList<qint64> todo{root};
    while (!todo.isEmpty()) {
        const qint64 p = todo.takeFirst();
        for (qint64 c : children.value(p)) {
            if (!out.contains(c)) {
                out.append(c);
                todo.append(c);
            }
        }
    }
    return out;
}
