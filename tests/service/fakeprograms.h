#ifndef FAKEPROGRAMS_H
#define FAKEPROGRAMS_H

#include "vxrprograms.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <mutex>

// The engine's programs, scripted in the test's process: no program runs.
// run() answers through a handler the case sets (unset: as a program that
// did not start); transfers play a script of output chunks, one per poll,
// then end as told. Every command is recorded. Any thread.
class FakePrograms : public VxrPrograms
{
public:
    // How a started transfer behaves.
    struct Transfer
    {
        bool starts = true;
        // Output handed out at successive polls.
        QList<QByteArray> chunks;
        // After the chunks: keep running until killed (or killAll()).
        bool holdUntilKilled = false;
        // How it ends on its own: exit code, and whether its output then
        // carries the pipeline's done marker.
        int exitCode = 0;
        bool marker = true;
    };

    using RunHandler = std::function<HX2RunResult(const VxrCommand&)>;
    using TransferHandler = std::function<Transfer(const VxrCommand&)>;
    // Called at every poll of a running transfer, on the polling thread.
    using PollHook = std::function<void()>;

    void onRun(RunHandler handler);
    void onTransfer(TransferHandler handler);
    void onPoll(PollHook hook);
    // Called after each run() has been answered, on the calling thread.
    void afterRun(PollHook hook);

    // Ends every running transfer as a service stop would: the process tree
    // is gone, and script itself exits 0 without the marker.
    void killAll();

    // The commands run() and startTransfer() were given, in order.
    QList<VxrCommand> runs() const;
    QList<VxrCommand> transfers() const;
    // The `zfs send ...` part of each transfer's pipeline, unquoted, as
    // "send A" or "send -RI A B"; restores give the server's send.
    QStringList sends() const;
    // Transfers ended by a kill.
    int killed() const;
    // Transfers running now.
    int running() const;

    HX2RunResult run(const VxrCommand& command) override;
    std::unique_ptr<VxrTransferProcess> startTransfer(const VxrCommand& command) override;

    // Results for handlers.
    static HX2RunResult ok(const QByteArray& out = QByteArray());
    static HX2RunResult exited(int code, const QByteArray& err = QByteArray(), const QByteArray& out = QByteArray());
    static HX2RunResult notStarted();

private:
    friend class FakeTransfer;
    mutable std::mutex m_mutex;
    RunHandler m_run;
    TransferHandler m_transfer;
    PollHook m_poll;
    PollHook m_afterRun;
    QList<VxrCommand> m_runs;
    QList<VxrCommand> m_transfers;
    int m_killed = 0;
    int m_running = 0;
    int m_killAllGeneration = 0;
};

// The text after the last blank-free "-c" argument of a script run: the
// pipeline text.
QString pipelineOf(const VxrCommand& command);

#endif
