#include "vxrtask.h"

#include "vxroplog.h"

VxrTask VxrTask::upload(const QString& dataset)
{
    VxrTask t;
    t.action = VxrLog::kActionUpload;
    t.dataset = dataset;
    return t;
}

VxrTask VxrTask::restore(const QString& dataset, const VxrSsh::Account& account)
{
    VxrTask t;
    t.action = VxrLog::kActionRestore;
    t.dataset = dataset;
    t.hasAccount = true;
    t.account = account;
    return t;
}

QJsonObject VxrTask::listed() const
{
    QJsonObject o;
    o.insert(QStringLiteral("index"), index);
    o.insert(QStringLiteral("action"), action);
    o.insert(QStringLiteral("dmpath"), dataset);
    o.insert(QStringLiteral("step"), step);
    o.insert(QStringLiteral("rate"), rate);
    if (progressShown) {
        o.insert(QStringLiteral("speed"), speed);
        o.insert(QStringLiteral("totalsize"), totalSize);
        o.insert(QStringLiteral("currsize"), currSize);
    }
    if (removed)
        o.insert(QStringLiteral("removed"), 1);
    if (hasAccount) {
        o.insert(QStringLiteral("server"), account.host);
        o.insert(QStringLiteral("port"), account.port);
        o.insert(QStringLiteral("userid"), account.user);
    }
    if (!snapshot.isEmpty())
        o.insert(QStringLiteral("snapshot"), snapshot);
    if (!target.isEmpty())
        o.insert(QStringLiteral("target"), target);
    return o;
}

namespace VxrTasks {

namespace {

bool isHead(const QList<VxrTask>& tasks, int index)
{
    return !tasks.isEmpty() && tasks.first().index == index;
}

} // namespace

QList<int> enqueue(QList<VxrTask>& tasks, const QList<VxrTask>& fresh, int& counter)
{
    QList<int> indexes;
    for (VxrTask task : fresh) {
        task.index = ++counter;
        tasks.append(task);
        indexes << counter;
    }
    return indexes;
}

bool startHead(QList<VxrTask>& tasks, VxrTask* head)
{
    if (tasks.isEmpty())
        return false;
    tasks.first().step = 1;
    *head = tasks.first();
    return true;
}

bool updateHead(QList<VxrTask>& tasks, int index, const Progress& p)
{
    if (!isHead(tasks, index))
        return false;
    VxrTask& head = tasks.first();
    head.progressShown = true;
    head.speed = p.speed;
    head.rate = p.rate;
    head.totalSize = p.total;
    head.currSize = p.rate == 0 ? 0 : p.total * p.rate / 100;
    return true;
}

bool headRemoved(const QList<VxrTask>& tasks, int index)
{
    return isHead(tasks, index) && tasks.first().removed;
}

void finishHead(QList<VxrTask>& tasks, int index, qint64 total)
{
    if (!isHead(tasks, index) || headRemoved(tasks, index))
        return;
    updateHead(tasks, index, Progress{QStringLiteral("0B/s"), 100, total});
}

bool cancel(QList<VxrTask>& tasks, int index)
{
    bool found = false;
    int pos = 0;
    while (pos < tasks.size()) {
        if (tasks.at(pos).index != index) {
            ++pos;
            continue;
        }
        found = true;
        if (pos == 0) {
            tasks.first().removed = true;
            ++pos;
        } else {
            // The next task moves into this position; look at it next.
            tasks.removeAt(pos);
        }
    }
    return found;
}

bool remove(QList<VxrTask>& tasks, int index)
{
    for (int i = 0; i < tasks.size(); ++i) {
        if (tasks.at(i).index == index) {
            tasks.removeAt(i);
            return true;
        }
    }
    return false;
}

QJsonArray listing(const QList<VxrTask>& tasks)
{
    QJsonArray out;
    for (const VxrTask& t : tasks)
        out.append(t.listed());
    return out;
}

} // namespace VxrTasks
