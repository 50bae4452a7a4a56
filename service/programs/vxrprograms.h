#ifndef VXRPROGRAMS_H
#define VXRPROGRAMS_H

#include "hx2runner.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

// One external program as the engine runs it: program, arguments, limits
// and environment (secrets travel only in the environment).
struct VxrCommand
{
    QString program;
    QStringList args;
    HX2RunOptions options;
};

// A transfer pipeline that was started and is polled by the engine until it
// ends. Belongs to the thread that started it.
class VxrTransferProcess
{
public:
    virtual ~VxrTransferProcess();
    // Waits up to ms; true once the program has ended.
    virtual bool waitForFinished(int ms) = 0;
    // Output that arrived since the last call.
    virtual QByteArray readOutput() = 0;
    // Ends the whole process tree: terminate, graceMs, then kill.
    virtual void killTree(int graceMs) = 0;
    // The outcome; ok only once the program has ended normally with an
    // accepted code.
    virtual HX2RunResult result() const = 0;
};

// The engine's only way to start programs, set on the engine the way its
// clock is. The default runs them through HX2Runner and writes one trace
// line per run: the program, its quoted arguments, how it ended and the
// tail of its standard error (never the environment, where secrets are).
// A test double overrides only the calls its case needs.
//
// Calls may come from any engine thread at once.
class VxrPrograms
{
public:
    virtual ~VxrPrograms();

    // Runs the command to completion within its limits.
    virtual HX2RunResult run(const VxrCommand& command);

    // Starts a transfer and waits up to its start limit. Null when it did
    // not start (nothing is left running then).
    virtual std::unique_ptr<VxrTransferProcess> startTransfer(const VxrCommand& command);

    // A command as shell text: the program and its arguments, each
    // argument quoted for a shell (its environment is left out). Both the
    // trace line and the stages of the transfer pipelines are written so.
    static QString shellText(const VxrCommand& command);
    // Writes the one trace line of a finished run.
    static void trace(const VxrCommand& command, const HX2RunResult& result);
};

#endif
