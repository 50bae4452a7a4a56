#include "vxrtaskqueue.h"

#include "hx2utils.h"

namespace VxrTasks {

namespace {

int indexOf(const QJsonValue& task)
{
    return toInt(task.toObject().value(QStringLiteral("index")));
}

bool isHead(const QJsonArray& tasks, int index)
{
    return !tasks.isEmpty() && indexOf(tasks.at(0)) == index;
}

} // namespace

QList<int> enqueue(QJsonArray& tasks, const QList<QJsonObject>& fresh, int& counter)
{
    QList<int> indexes;
    for (QJsonObject task : fresh) {
        task.insert(QStringLiteral("index"), ++counter);
        tasks.append(task);
        indexes << counter;
    }
    return indexes;
}

QJsonObject startHead(QJsonArray& tasks)
{
    if (tasks.isEmpty())
        return QJsonObject();
    QJsonObject head = tasks.at(0).toObject();
    head.insert(QStringLiteral("step"), 1);
    tasks.replace(0, head);
    return head;
}

bool updateHead(QJsonArray& tasks, int index, const Progress& p)
{
    if (!isHead(tasks, index))
        return false;
    QJsonObject head = tasks.at(0).toObject();
    head.insert(QStringLiteral("speed"), p.speed);
    head.insert(QStringLiteral("rate"), p.rate);
    head.insert(QStringLiteral("totalsize"), p.total);
    head.insert(QStringLiteral("currsize"), p.rate == 0 ? qint64(0) : p.total * p.rate / 100);
    tasks.replace(0, head);
    return true;
}

bool headRemoved(const QJsonArray& tasks, int index)
{
    return isHead(tasks, index) && toInt(tasks.at(0).toObject().value(QStringLiteral("removed"))) > 0;
}

void finishHead(QJsonArray& tasks, int index, qint64 total)
{
    if (!isHead(tasks, index) || headRemoved(tasks, index))
        return;
    updateHead(tasks, index, Progress{QStringLiteral("0B/s"), 100, total});
}

bool cancel(QJsonArray& tasks, int index)
{
    bool found = false;
    int pos = 0;
    while (pos < tasks.size()) {
        if (indexOf(tasks.at(pos)) != index) {
            ++pos;
            continue;
        }
        found = true;
        if (pos == 0) {
            QJsonObject head = tasks.at(0).toObject();
            head.insert(QStringLiteral("removed"), 1);
            tasks.replace(0, head);
            ++pos;
        } else {
            // The next task moves into this position; look at it next.
            tasks.removeAt(pos);
        }
    }
    return found;
}

bool remove(QJsonArray& tasks, int index)
{
    for (int i = 0; i < tasks.size(); ++i) {
        if (indexOf(tasks.at(i)) == index) {
            tasks.removeAt(i);
            return true;
        }
    }
    return false;
}

QJsonObject listed(const QJsonObject& task)
{
    QJsonObject out = task;
    out.remove(QStringLiteral("passwd"));
    return out;
}

} // namespace VxrTasks

QList<int> VxrTaskQueue::enqueue(const QList<QJsonObject>& fresh)
{
    std::lock_guard<std::mutex> lock(taskMutex);
    return VxrTasks::enqueue(tasks, fresh, taskIndex);
}

QJsonObject VxrTaskQueue::startHeadOrIdle(std::atomic<bool>& workerRunning, const std::atomic<bool>& stop)
{
    std::lock_guard<std::mutex> lock(taskMutex);
    if (tasks.isEmpty() || stop.load()) {
        workerRunning.store(false);
        return QJsonObject();
    }
    return VxrTasks::startHead(tasks);
}

void VxrTaskQueue::updateHead(int index, const VxrTasks::Progress& progress)
{
    std::lock_guard<std::mutex> lock(taskMutex);
    VxrTasks::updateHead(tasks, index, progress);
}

bool VxrTaskQueue::headRemoved(int index) const
{
    std::lock_guard<std::mutex> lock(taskMutex);
    return VxrTasks::headRemoved(tasks, index);
}

void VxrTaskQueue::finishHead(int index, qint64 total)
{
    std::lock_guard<std::mutex> lock(taskMutex);
    VxrTasks::finishHead(tasks, index, total);
}

bool VxrTaskQueue::remove(int index)
{
    std::lock_guard<std::mutex> lock(taskMutex);
    return VxrTasks::remove(tasks, index);
}

bool VxrTaskQueue::cancel(int index)
{
    std::lock_guard<std::mutex> lock(taskMutex);
    return VxrTasks::cancel(tasks, index);
}

QJsonArray VxrTaskQueue::listing() const
{
    QJsonArray copy;
    {
        std::lock_guard<std::mutex> lock(taskMutex);
        copy = tasks;
    }
    // Restore tasks carry their account; only the worker needs it.
    for (int i = 0; i < copy.size(); ++i) {
        const QJsonObject task = copy.at(i).toObject();
        if (task.contains(QStringLiteral("passwd")))
            copy.replace(i, VxrTasks::listed(task));
    }
    return copy;
}

bool VxrTaskQueue::isEmpty() const
{
    std::lock_guard<std::mutex> lock(taskMutex);
    return tasks.isEmpty();
}
