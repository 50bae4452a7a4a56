#ifndef RECOVERRUNNER_H
#define RECOVERRUNNER_H

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <functional>

// The one place where dsrecover starts programs. A program runs with an
// argument list (no shell), standard input closed, a start limit and a
// finish limit; it succeeds only on a normal exit with code 0.
namespace Recover {

struct RunLimits
{
    // Milliseconds to wait for the program to start, and then to end.
    int startMs = 10000;
    int finishMs = 60000;
    // Bytes of standard output kept; beyond that only the newest are kept
    // and RunResult::outTruncated is set.
    int maxOutput = 1 << 20;
};

struct RunResult
{
    static constexpr int kErrTail = 64 * 1024;

    bool started = false;
    // Ended within the finish limit; a program past it is terminated, then
    // killed, and counts as not finished.
    bool finished = false;
    bool normalExit = false;
    int exitCode = -1;
    QByteArray out;
    bool outTruncated = false;
    // The last kErrTail bytes of standard error.
    QByteArray err;
    // Why the program did not start, when it did not.
    QString startError;

    bool ok() const { return started && finished && normalExit && exitCode == 0; }
};

// Runs program with args in this process's environment plus env (values
// are never printed; the password travels there). Waits for it to end;
// started, when given, is called once the program runs.
RunResult run(const QString& program, const QStringList& args, const QHash<QString, QString>& env,
              const RunLimits& limits, const std::function<void()>& started = {});

// From now on SIGINT, SIGTERM and SIGHUP end the program run() is running
// (with SIGTERM) and then this process, with status 255. A program under
// `script` takes its session down with it. Signals ignored when the tool
// started (as under nohup) stay ignored.
void installStopHandlers();

} // namespace Recover

#endif
