#include "hx3httppool.h"

#include "hx3http.h"

#include <QJsonDocument>
#include <QMutexLocker>

#include <limits>

HX3HttpPool::HX3HttpPool(QObject* parent, int timeout)
    : QObject(parent)
    , timeout(timeout)
{
    threadPool.setMaxThreadCount(kMaxThreads);
}

HX3HttpPool::~HX3HttpPool()
{
    // Wait here, while the object is whole: a running request may still
    // emit onRespond. Each request ends within the time-out, so the last
    // wait is bounded by it too.
    const int boundMs = qBound(0, timeout, std::numeric_limits<int>::max() / 1000) * 1000;
    if (!threadPool.waitForDone(boundMs))
        threadPool.clear();
    threadPool.waitForDone();
}

void HX3HttpPool::addPost(const QString& url, const QJsonObject& body, QJsonObject* userObject)
{
    addPost(url, QJsonDocument(body).toJson(QJsonDocument::Compact), userObject);
}

void HX3HttpPool::addPost(const QString& url, const QByteArray& body, QJsonObject* userObject)
{
    auto* request = new HX3Http(this, timeout, 1, url, body, userObject);
    request->setCaFile(caFile());
    threadPool.start(request, 0);
}

void HX3HttpPool::setCaFile(const QString& path)
{
    QMutexLocker lock(&m_caMutex);
    m_caFile = path;
}

QString HX3HttpPool::caFile() const
{
    QMutexLocker lock(&m_caMutex);
    return m_caFile;
}
