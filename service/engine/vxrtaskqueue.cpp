#include "vxrtaskqueue.h"

QList<int> VxrTaskQueue::enqueue(const QList<VxrTask>& fresh)
{
    HX2MutexLock lock(taskMutex);
    return VxrTasks::enqueue(tasks, fresh, taskIndex);
}

bool VxrTaskQueue::startHeadOrIdle(VxrTask* head, std::atomic<bool>& workerRunning, const std::atomic<bool>& stop)
{
    HX2MutexLock lock(taskMutex);
    if (tasks.isEmpty() || stop.load()) {
        workerRunning.store(false);
        return false;
    }
    return VxrTasks::startHead(tasks, head);
}

void VxrTaskQueue::updateHead(int index, const VxrTasks::Progress& progress)
{
    HX2MutexLock lock(taskMutex);
    VxrTasks::updateHead(tasks, index, progress);
}

bool VxrTaskQueue::headRemoved(int index) const
{
    HX2MutexLock lock(taskMutex);
    return VxrTasks::headRemoved(tasks, index);
}

void VxrTaskQueue::finishHead(int index, qint64 total)
{
    HX2MutexLock lock(taskMutex);
    VxrTasks::finishHead(tasks, index, total);
}

bool VxrTaskQueue::remove(int index)
{
    HX2MutexLock lock(taskMutex);
    return VxrTasks::remove(tasks, index);
}

bool VxrTaskQueue::cancel(int index)
{
    HX2MutexLock lock(taskMutex);
    return VxrTasks::cancel(tasks, index);
}

QJsonArray VxrTaskQueue::listing() const
{
    // Written under the lock: a copy of the list would share its nodes
    // with the worker's, which removes them without a lock of the
    // reader's.
    HX2MutexLock lock(taskMutex);
    return VxrTasks::listing(tasks);
}
