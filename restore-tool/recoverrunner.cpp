#include "recoverrunner.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>

#include <atomic>

#include <signal.h>
#include <unistd.h>

namespace Recover {

namespace {

constexpr int kSliceMs = 250;
constexpr int kTerminateGraceMs = 3000;

// The program run() waits for, for the stop handler.
std::atomic<pid_t> g_child{0};
static_assert(std::atomic<pid_t>::is_always_lock_free, "read from a signal handler");

void onStop(int)
{
    const pid_t child = g_child.load();
    if (child > 0)
        ::kill(child, SIGTERM);
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
    g_child.store(static_cast<pid_t>(process.processId()));
    process.closeWriteChannel();
    if (started)
        started();

    auto drain = [&] {
        r.out += process.readAllStandardOutput();
        keepTail(r.out, limits.maxOutput, &r.outTruncated);
        r.err += process.readAllStandardError();
        keepTail(r.err, RunResult::kErrTail, nullptr);
    };
    QElapsedTimer timer;
    timer.start();
    bool timedOut = false;
    while (process.state() != QProcess::NotRunning && !process.waitForFinished(kSliceMs)) {
        drain();
        if (timer.elapsed() >= limits.finishMs) {
            timedOut = true;
            process.terminate();
            if (!process.waitForFinished(kTerminateGraceMs)) {
                process.kill();
                process.waitForFinished(kTerminateGraceMs);
            }
            break;
        }
    }
    drain();
    g_child.store(0);
    r.finished = !timedOut;
    r.normalExit = process.exitStatus() == QProcess::NormalExit;
    r.exitCode = process.exitCode();
    return r;
}

void installStopHandlers()
{
    struct sigaction sa = {};
    sa.sa_handler = onStop;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal the operator chose to ignore (nohup) stays ignored.
        struct sigaction old = {};
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        ::sigaction(sig, &sa, nullptr);
    }
}

} // namespace Recover
