#ifndef VXRTASKQUEUE_H
#define VXRTASKQUEUE_H

#include "hx2mutex.h"
#include "vxrtask.h"

#include <QJsonArray>
#include <QList>

#include <atomic>

// The engine's task queue: the tasks, their lock and the index counter.
// The worker, the scheduler, the full restore and the commands all go
// through these members; none of them waits for a program while the lock
// is held. Any thread.
class VxrTaskQueue
{
public:
    // Appends the tasks in one critical section, with consecutive indexes;
    // returns them.
    QList<int> enqueue(const QList<VxrTask>& fresh);
    // The worker's pick: the head, marked taken, into *head. When there is
    // none, or stop is set, clears workerRunning inside the same critical
    // section (so a task enqueued now finds the flag clear and starts a new
    // worker) and returns false.
    bool startHeadOrIdle(VxrTask* head, std::atomic<bool>& workerRunning, const std::atomic<bool>& stop);
    void updateHead(int index, const VxrTasks::Progress& progress);
    bool headRemoved(int index) const;
    void finishHead(int index, qint64 total);
    bool remove(int index);
    // False when no task has the index.
    bool cancel(int index);
    // The tasks as listed (no password among them).
    QJsonArray listing() const;

private:
    mutable HX2Mutex taskMutex;
    QList<VxrTask> tasks HX2_GUARDED_BY(taskMutex);
    // The last index given.
    int taskIndex HX2_GUARDED_BY(taskMutex) = 0;
};

#endif
