// Shared memory between processes, by key.
#include "hx2utils.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSharedMemory>

#include <cstring>
#include <map>
#include <memory>

namespace {

// A segment lives only while some object is attached to it, so the ones
// this process publishes are held here until saved again or the process
// ends.
struct Registry
{
    QMutex mutex;
    std::map<QString, std::unique_ptr<QSharedMemory>> segments; // guarded by mutex
};

Registry& registry()
{
    static Registry r;
    return r;
}

} // namespace

bool shareMemoryLoad(const QString& key, QByteArray& out)
{
    QSharedMemory segment(key);
    if (!segment.attach(QSharedMemory::ReadOnly))
        return false;
    if (!segment.lock())
        return false;
    out = QByteArray(static_cast<const char*>(segment.constData()), segment.size());
    segment.unlock();
    segment.detach();
    return true;
}

bool shareMemorySave(const QString& key, const QByteArray& data)
{
    if (data.isEmpty())
        return false;
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    r.segments.erase(key);
    auto segment = std::make_unique<QSharedMemory>(key);
    if (!segment->create(data.size())) {
        if (segment->error() != QSharedMemory::AlreadyExists)
            return false;
        // A segment left by a process that ended without releasing it goes
        // away once nobody is attached; one held by a live process stays and
        // the save fails.
        if (segment->attach())
            segment->detach();
        if (!segment->create(data.size()))
            return false;
    }
    if (!segment->lock())
        return false;
    std::memcpy(segment->data(), data.constData(), static_cast<size_t>(data.size()));
    segment->unlock();
    r.segments[key] = std::move(segment);
    return true;
}
