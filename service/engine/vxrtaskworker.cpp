#include "vxrtaskworker.h"

#include "vxroplog.h"

#include <QElapsedTimer>

#include <chrono>
#include <malloc.h>
#include <thread>

void VxrTaskWorker::setHandlers(Handler upload, Handler restore)
{
    m_upload = std::move(upload);
    m_restore = std::move(restore);
}

QList<int> VxrTaskWorker::queueTasks(const QList<VxrTask>& tasks)
{
    // Appended first: a worker that is just ending either sees them or has
    // cleared its flag, so the exchange below starts a new one.
    const QList<int> indexes = m_queue.enqueue(tasks);
    start();
    return indexes;
}

void VxrTaskWorker::start()
{
    if (!m_running.exchange(true))
        std::thread([this] { run(); }).detach();
}

bool VxrTaskWorker::waitIdle(int ms) const
{
    QElapsedTimer timer;
    timer.start();
    while (m_running.load() || m_inRun.load(std::memory_order_acquire) > 0) {
        if (timer.elapsed() >= ms)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

void VxrTaskWorker::run()
{
    m_inRun.fetch_add(1, std::memory_order_relaxed);
    m_running.store(true);
    VxrTask task;
    while (m_queue.startHeadOrIdle(&task, m_running, m_quitting)) {
        if (task.action == VxrLog::kActionUpload) {
            m_uploading.store(true);
            if (m_upload)
                m_upload(task);
            m_uploading.store(false);
        } else if (task.action == VxrLog::kActionRestore && m_restore) {
            m_restore(task);
        }
        m_queue.remove(task.index);
    }
    // A transfer's buffers are freed by now: their pages go back to the
    // system instead of staying resident until the next one.
    malloc_trim(0);
    // The last touch of this object by the thread.
    m_inRun.fetch_sub(1, std::memory_order_release);
}
