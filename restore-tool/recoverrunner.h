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
    // Instead, output beyond maxOutput ends the program with all it
    // started, as the finish limit does, and the run fails (overflowed):
    // for output that is only of use whole.
    bool endOnOverflow = false;
};

struct RunResult
{
    static constexpr int kErrTail = 64 * 1024;

    bool started = false;
    // Ended within the finish limit; a program past it is ended with all
    // it started (SIGTERM, then SIGKILL) and counts as not finished.
    bool finished = false;
    bool normalExit = false;
    int exitCode = -1;
    QByteArray out;
    bool outTruncated = false;
    // Ended for writing more than RunLimits::maxOutput (endOnOverflow).
    bool overflowed = false;
    // The last kErrTail bytes of standard error.
    QByteArray err;
    // Why the program did not start, when it did not.
    QString startError;

    bool ok() const { return started && finished && !overflowed && normalExit && exitCode == 0; }
};

// Runs program with args in this process's environment plus env (values
// are never printed; the password travels there). Waits for it to end;
// started, when given, is called once the program runs.
RunResult run(const QString& program, const QStringList& args, const QHash<QString, QString>& env,
              const RunLimits& limits, const std::function<void()>& started = {});

// From now on SIGINT, SIGTERM and SIGHUP end every process the tool
// started, directly or not and in whatever session (SIGTERM, then SIGKILL
// to those left half a second later), and then the tool, with status 255:
// the tool has exited only once its programs have. Signals ignored when
// the tool started (as under nohup) stay ignored. The tool also becomes
// the parent of what its programs leave behind, so that it still finds it.
void installStopHandlers();

// Ends every process the tool started and that still runs (SIGTERM, then
// SIGKILL three seconds later), without exiting.
void endStarted();

} // namespace Recover

#endif
