#ifndef VXRTASK_H
#define VXRTASK_H

#include "vxrssh.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// One upload or restore of the task queue, from the party that queues it
// to the worker that runs it. JSON exists only in its listing, which has
// no password to show.
struct VxrTask
{
    // Unique within the queue's life; given by the queue.
    int index = 0;
    // VxrLog::kActionUpload or kActionRestore.
    int action = 0;
    QString dataset;
    // 1 once the worker has taken it.
    int step = 0;
    // Percent done, 0..100.
    int rate = 0;
    // Shown once a transfer reported progress.
    bool progressShown = false;
    QString speed;
    qint64 totalSize = 0;
    qint64 currSize = 0;
    // Cancelled while it ran.
    bool removed = false;
    // A restore's server account, the one its request gave.
    bool hasAccount = false;
    VxrSsh::Account account;
    // A restore's choices: the snapshot (full name) it ends at, empty for
    // the server's newest; the dataset it receives into, empty for the
    // server's name.
    QString snapshot;
    QString target;

    static VxrTask upload(const QString& dataset);
    static VxrTask restore(const QString& dataset, const VxrSsh::Account& account);
    // The dataset a restore receives into.
    QString receivedInto() const { return target.isEmpty() ? dataset : target; }

    // The task as listed: "index", "action", "dmpath", "step", "rate";
    // "speed", "totalsize" and "currsize" once progress was shown;
    // "removed" 1 once cancelled while running; for a restore "server",
    // "port" and "userid", and "snapshot" and "target" when it has them.
    QJsonObject listed() const;
};

// The rules on the queue, without its lock. Element 0 is the task the
// worker runs (or is about to run); the others wait in order.
namespace VxrTasks {

// Progress of the running task as the listing shows it.
struct Progress
{
    QString speed;
    int rate = 0;
    qint64 total = 0;
};

// Appends fresh tasks in order, giving each index ++counter; returns the
// indexes.
QList<int> enqueue(QList<VxrTask>& tasks, const QList<VxrTask>& fresh, int& counter);
// Marks the head taken (step 1) and returns a copy of it; false without
// tasks.
bool startHead(QList<VxrTask>& tasks, VxrTask* head);
// Shows progress on the head when it is the task index ("currsize" is
// total * rate / 100, 0 while rate is 0); false, nothing changed,
// otherwise.
bool updateHead(QList<VxrTask>& tasks, int index, const Progress& progress);
// The head is the task index and was cancelled.
bool headRemoved(const QList<VxrTask>& tasks, int index);
// The finish of a successful transfer: "0B/s", 100 and total, unless the
// head is another task or was cancelled.
void finishHead(QList<VxrTask>& tasks, int index, qint64 total);
// Cancels every task with the index: the head stays and is marked
// removed, a waiting one leaves the queue. True when any matched.
bool cancel(QList<VxrTask>& tasks, int index);
// Removes the first task with the index; false when none has it.
bool remove(QList<VxrTask>& tasks, int index);
// The listing of every task, in order.
QJsonArray listing(const QList<VxrTask>& tasks);

} // namespace VxrTasks

#endif
