#include "recoverrunner.h"

#include "proctree.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>

#include <signal.h>
#include <unistd.h>

namespace Recover {

namespace {

constexpr int kSliceMs = 250;
constexpr int kTerminateGraceMs = 3000;
// An operator who stops the tool waits this long at most for the transfer
// to end by itself before it is killed. The stream's programs end at once
// on SIGTERM; script lingers for a while after its command has gone, and
// only script is left by then.
constexpr int kStopGraceMs = 500;

// Whatever the tool is doing, even starting a program: the program found
// in /proc is ended with all it started.
void onStop(int)
{
    endDescendants(kStopGraceMs);
    ::_exit(255);
}

void keepTail(QByteArray& buffer, int limit, bool* truncated)
{
    if (buffer.size() <= limit)
        return;
    buffer.remove(0, buffer.size() - limit);
    if (truncated)
        *truncated = true;
}

} // namespace

RunResult run(const QString& program, const QStringList& args, const QHash<QString, QString>& env,
              const RunLimits& limits, const std::function<void()>& started)
{
    RunResult r;
    QProcess process;
    QProcessEnvironment pe = QProcessEnvironment::systemEnvironment();
    for (auto it = env.cbegin(); it != env.cend(); ++it)
        pe.insert(it.key(), it.value());
    process.setProcessEnvironment(pe);
    process.start(program, args);
    if (!process.waitForStarted(limits.startMs)) {
        r.startError = process.errorString();
        process.kill();
        process.waitForFinished(kTerminateGraceMs);
        return r;
    }
    r.started = true;
    process.closeWriteChannel();
    if (started)
        started();

    // Drained as each piece arrives, not once per slice: a program that
    // writes fast would otherwise fill QProcess's buffers without bound
    // while a wait runs.
    auto drainOut = [&] {
        const QByteArray piece = process.readAllStandardOutput();
        if (r.overflowed)
            return;
        if (limits.endOnOverflow && r.out.size() + piece.size() > limits.maxOutput) {
            r.overflowed = true;
            r.outTruncated = true;
            return;
        }
        r.out += piece;
        keepTail(r.out, limits.maxOutput, &r.outTruncated);
    };
    auto drainErr = [&] {
        r.err += process.readAllStandardError();
        keepTail(r.err, RunResult::kErrTail, nullptr);
    };
    QObject::connect(&process, &QProcess::readyReadStandardOutput, drainOut);
    QObject::connect(&process, &QProcess::readyReadStandardError, drainErr);
    QElapsedTimer timer;
    timer.start();
    bool timedOut = false;
    while (process.state() != QProcess::NotRunning && !process.waitForFinished(kSliceMs)) {
        timedOut = timer.elapsed() >= limits.finishMs;
        if (timedOut || r.overflowed) {
            endDescendants(kTerminateGraceMs);
            process.waitForFinished(kTerminateGraceMs);
            break;
        }
    }
    drainOut();
    drainErr();
    r.finished = !timedOut;
    r.normalExit = process.exitStatus() == QProcess::NormalExit;
    r.exitCode = process.exitCode();
    return r;
}

void endStarted()
{
    endDescendants(kTerminateGraceMs);
}

void installStopHandlers()
{
    keepDescendants();
    struct sigaction sa = {};
    sa.sa_handler = onStop;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&sa.sa_mask, sig);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal the operator chose to ignore (nohup) stays ignored.
        struct sigaction old = {};
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        ::sigaction(sig, &sa, nullptr);
    }
}

} // namespace Recover
