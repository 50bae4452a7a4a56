#ifndef HX2RUNNER_H
#define HX2RUNNER_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

// Where a program's standard output and error go.
enum class HX2Channels {
    // Collected apart: all of standard output, the tail of standard error.
    Separate,
    // Standard error joins standard output, in the order written.
    Merged,
    // Both go to the service's own; nothing is collected.
    Forwarded
};

// Limits and environment of one external program run.
struct HX2RunOptions
{
    // Milliseconds to wait for the program to start.
    int startMs = 10000;
    // Milliseconds to wait for it to finish once started; negative waits
    // without limit.
    int finishMs = 30000;
    // Exit codes that count as success.
    QList<int> acceptedCodes{0};
    // Variables added to (or replacing those of) the service's environment.
    // Values are never traced: secrets such as SSHPASS travel here.
    QHash<QString, QString> env;
    HX2Channels channels = HX2Channels::Separate;
    // Negative (the default): all of standard output is kept. Otherwise
    // standard output is read as it arrives, and once it passes this many
    // bytes the run fails at once: the program's process tree is killed,
    // outOverflow is set and out keeps the first maxOutBytes bytes. A
    // program that prints without end then cannot grow the service's
    // memory while a run waits for it.
    qint64 maxOutBytes = -1;
};

// The outcome of a run.
struct HX2RunResult
{
    bool started = false;
    // Finished within the limit.
    bool finished = false;
    // Ended by exiting rather than by a signal.
    bool normalExit = false;
    int exitCode = -1;
    // started, finished, normal exit and an accepted exit code.
    bool ok = false;
    QByteArray out;
    // The last HX2Runner::kErrTail bytes of standard error.
    QByteArray err;
    // Standard output passed HX2RunOptions::maxOutBytes; never ok then.
    bool outOverflow = false;

    // Standard output up to its first zero byte, split at line feeds with
    // empty parts dropped; decoded as UTF-8, or Latin-1 when utf8 is false.
    QStringList outLines(bool utf8 = true) const;
    // Standard error up to its first zero byte, as UTF-8.
    QString errText() const;
};

class HX2RunnerPrivate;

// The one place that starts external programs. A program runs with an
// argument list (no shell), a start limit and a finish limit, and succeeds
// only on a normal exit with an accepted code.
//
// A runner that is still running when it is destroyed, or whose finish
// limit passes in run(), has its whole process tree (the program and every
// descendant, also those in other sessions, as under `script`) terminated
// and then killed. killAll() does that for every live runner of the
// process, for an orderly quit.
//
// A runner object belongs to the thread that created it.
class HX2Runner
{
public:
    static constexpr int kErrTail = 64 * 1024;

    // Runs to completion within the limits.
    static HX2RunResult run(const QString& program, const QStringList& args,
                            const HX2RunOptions& options = HX2RunOptions());

    HX2Runner(const QString& program, const QStringList& args,
              const HX2RunOptions& options = HX2RunOptions());
    ~HX2Runner();
    HX2Runner(const HX2Runner&) = delete;
    HX2Runner& operator=(const HX2Runner&) = delete;

    // Starts the program and waits up to the start limit; false when it did
    // not start.
    bool start();
    // Waits up to ms for the program to end; true once it has ended.
    bool waitForFinished(int ms);
    bool isRunning() const;
    // Standard output that arrived since the last call.
    QByteArray readOutput();
    // Terminates the process tree, waits up to graceMs, then kills what is
    // left.
    void killTree(int graceMs = 2000);
    // The outcome so far (ok only once the program has ended).
    HX2RunResult result() const;
    qint64 pid() const;

    // Starts the program on its own, not waited for, not limited and not
    // killed by killAll(); options give its environment only. False when it
    // could not be started; *pid, when given, receives its process id.
    static bool startDetached(const QString& program, const QStringList& args,
                              const HX2RunOptions& options = HX2RunOptions(),
                              qint64* pid = nullptr);

    // Kills the process trees of all live runners; safe from any thread.
    static void killAll();
    // Number of live runners with a running program.
    static int liveCount();

    // Process ids of every descendant of pid found under /proc.
    static QList<qint64> descendants(qint64 pid);

private:
    std::unique_ptr<HX2RunnerPrivate> d;
};

#endif
