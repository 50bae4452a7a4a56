#ifndef VXRTASKWORKER_H
#define VXRTASKWORKER_H

#include "vxrtaskqueue.h"

#include <QList>

#include <atomic>
#include <functional>

// The task worker: one thread at a time that runs the queue's tasks in
// order, each by the handler of its action, and removes it when done.
// Any thread may queue, cancel and list.
class VxrTaskWorker
{
public:
    using Handler = std::function<void(const VxrTask&)>;

    // The runs of upload and restore tasks; set before any task is queued.
    void setHandlers(Handler upload, Handler restore);

    // Appends the tasks to the queue, then starts the worker unless it
    // runs; their indexes.
    QList<int> queueTasks(const QList<VxrTask>& tasks);
    // Thread body: runs the head task until the queue is empty (or the
    // service quits), then clears running().
    void run();
    // Waits up to ms for the worker to end; true when none runs.
    bool waitIdle(int ms) const;
    // The orderly quit: no further task is taken and no further transfer
    // starts.
    void quit() { m_quitting.store(true); }

    VxrTaskQueue& queue() { return m_queue; }
    const VxrTaskQueue& queue() const { return m_queue; }
    // The worker thread exists. Tests set it to keep tasks waiting.
    std::atomic<bool>& running() { return m_running; }
    // True exactly while an upload task runs.
    std::atomic<bool>& uploading() { return m_uploading; }
    bool isUploading() const { return m_uploading.load(); }
    // Set by quit().
    const std::atomic<bool>& quitting() const { return m_quitting; }

private:
    void start();

    VxrTaskQueue m_queue;
    Handler m_upload;
    Handler m_restore;
    std::atomic<bool> m_running{false};
    // Threads inside run(): one still returning after clearing m_running
    // may yet touch the queue's lock.
    std::atomic<int> m_inRun{0};
    std::atomic<bool> m_uploading{false};
    std::atomic<bool> m_quitting{false};
};

#endif
