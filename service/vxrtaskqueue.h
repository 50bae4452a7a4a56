#ifndef VXRTASKQUEUE_H
#define VXRTASKQUEUE_H

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <atomic>
#include <mutex>

// The rules on the task array, without its lock. Element 0 is the task the
// worker runs (or is about to run); the others wait in order. Every task
// carries "index", unique within the queue's life.
namespace VxrTasks {

// Progress of the running task as the listing shows it.
struct Progress
{
    QString speed;
    int rate = 0;
    qint64 total = 0;
};

// Appends fresh tasks in order, giving each "index" ++counter; returns
// the indexes.
QList<int> enqueue(QJsonArray& tasks, const QList<QJsonObject>& fresh, int& counter);
// Marks the head "step" 1 and returns a copy of it; empty without tasks.
QJsonObject startHead(QJsonArray& tasks);
// Writes "speed", "rate", "totalsize" and "currsize" (total * rate / 100,
// 0 while rate is 0) into the head when it is the task index; false, and
// nothing changed, otherwise.
bool updateHead(QJsonArray& tasks, int index, const Progress& progress);
// The head is the task index and is marked "removed".
bool headRemoved(const QJsonArray& tasks, int index);
// The finish of a successful transfer: "speed" "0B/s", "rate" 100,
// "totalsize" and "currsize" total, unless the head is another task or
// marked "removed".
void finishHead(QJsonArray& tasks, int index, qint64 total);
// Cancels every task with the index: the head is kept and marked
// "removed" 1, a waiting one is removed. True when any matched.
bool cancel(QJsonArray& tasks, int index);
// Removes the first task with the index; false when none has it.
bool remove(QJsonArray& tasks, int index);
// A task as listed outside the engine: without the account password.
QJsonObject listed(const QJsonObject& task);

} // namespace VxrTasks

// The engine's task queue: the array, its lock and the index counter. The
// worker, the scheduler, the full restore and the commands all go through
// these members; none of them holds the lock while waiting for a program.
// Any thread.
class VxrTaskQueue
{
public:
    // Appends the tasks in one critical section, with consecutive indexes;
    // returns them.
    QList<int> enqueue(const QList<QJsonObject>& fresh);
    // The worker's pick: the head marked started, as a copy. When there is
    // none, or stop is set, clears workerRunning inside the same critical
    // section (so a task enqueued now finds the flag clear and starts a new
    // worker) and returns an empty object.
    QJsonObject startHeadOrIdle(std::atomic<bool>& workerRunning, const std::atomic<bool>& stop);
    void updateHead(int index, const VxrTasks::Progress& progress);
    bool headRemoved(int index) const;
    void finishHead(int index, qint64 total);
    bool remove(int index);
    // False when no task has the index.
    bool cancel(int index);
    // The tasks as listed: a copy without passwords.
    QJsonArray listing() const;
    bool isEmpty() const;

private:
    mutable std::mutex taskMutex;
    // Guarded by taskMutex.
    QJsonArray tasks;
    // Guarded by taskMutex; the last index given.
    int taskIndex = 0;
};

#endif
