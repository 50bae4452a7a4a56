// The task worker: one thread that runs the queue's tasks one at a time.
#include "vxrclient.h"

#include "hx2utils.h"
#include "vxroplog.h"

#include <QElapsedTimer>

#include <chrono>
#include <thread>

QList<int> VxrClient::queueTasks(const QList<QJsonObject>& tasks)
{
    // Appended first: a worker that is just ending either sees them or has
    // cleared its flag, so the exchange below starts a new one.
    const QList<int> indexes = taskQueue.enqueue(tasks);
    startTransferWorker();
    return indexes;
}

void VxrClient::startTransferWorker()
{
    if (!transferRunning.exchange(true))
        std::thread([this] { transferRun(); }).detach();
}

bool VxrClient::waitTransferIdle(int ms) const
{
    QElapsedTimer timer;
    timer.start();
    while (transferRunning.load()) {
        if (timer.elapsed() >= ms)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

void VxrClient::transferRun()
{
    transferRunning.store(true);
    for (;;) {
        const QJsonObject task = taskQueue.startHeadOrIdle(transferRunning, quitting);
        if (task.isEmpty())
            break;
        const int index = toInt(task.value("index"));
        const int action = toInt(task.value("action"));
        if (action == VxrLog::kActionUpload) {
            uploading.store(true);
            vxrUpload(task);
            uploading.store(false);
        } else if (action == VxrLog::kActionRestore) {
            vxrRestore(task);
        }
        taskQueue.remove(index);
    }
}
