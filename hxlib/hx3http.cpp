#include "hx3http.h"

#include "hx2httpexchange.h"
#include "hx3httppool.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace {

bool perform(HX2HttpRequest& request, const QString& caFile, int timeoutMs,
             HX2HttpResponse& response, int* error)
{
    request.timeoutMs = timeoutMs;
    request.maxBodyBytes = HX3Http::kMaxReplyBytes;
    request.verifyPeer = false;
    request.caFile = caFile;
    const bool ok = httpExchange(request, response);
    if (error)
        *error = response.error;
    return ok;
}

} // namespace

HX3Http::HX3Http(HX3HttpPool* pool, int timeout)
    : pool(pool)
    , timeoutMs(timeout * 1000)
{
}

HX3Http::HX3Http(HX3HttpPool* pool, int timeout, int method, const QString& url,
                 const QByteArray& body, const QJsonObject* userObject)
    : pool(pool)
    , timeoutMs(timeout * 1000)
    , method(method)
    , url(url)
    , body(body)
    , hasUserObject(userObject != nullptr)
    , userObject(userObject ? *userObject : QJsonObject())
{
}

void HX3Http::run()
{
    QByteArray reply;
    const bool ok = method == 2
        ? get(reply, url, nullptr)
        : post(reply, url, body, nullptr, QString::fromLatin1(kHttpFormContentType), {});
    if (ok && pool && hasUserObject)
        emit pool->onRespond(userObject, reply);
}

bool HX3Http::get(QByteArray& reply, const QString& url, int* error) const
{
    HX2HttpRequest request;
    request.url = url;
    request.userAgent = kHttpGetUserAgent;
    HX2HttpResponse response;
    if (!perform(request, m_caFile, timeoutMs, response, error))
        return false;
    reply = response.body;
    return true;
}

bool HX3Http::post(QByteArray& reply, const QString& url, const QByteArray& body, int* error,
                   const QString& contentType, const QHash<QByteArray, QByteArray>& headers) const
{
    HX2HttpRequest request;
    request.method = HX2HttpRequest::Post;
    request.url = url;
    request.body = body;
    request.contentType = contentType;
    request.headers = headers;
    HX2HttpResponse response;
    if (!perform(request, m_caFile, timeoutMs, response, error))
        return false;
    reply = response.body;
    return true;
}

bool HX3Http::post(QJsonObject& reply, const QString& url, const QJsonObject& body,
                   QByteArray* raw) const
{
    QByteArray answer;
    if (!post(answer, url, QJsonDocument(body).toJson(QJsonDocument::Compact), nullptr,
              QString::fromLatin1(kHttpFormContentType), {}))
        return false;
    if (raw)
        *raw = answer;
    QJsonParseError perr;
    const QJsonDocument doc = QJsonDocument::fromJson(answer, &perr);
    if (perr.error != QJsonParseError::NoError)
        return false;
    reply = doc.object();
    return true;
}

bool HX3Http::getHead(QJsonObject& info, const QString& url, int* error, QByteArray* raw) const
{
    HX2HttpRequest request;
    request.method = HX2HttpRequest::Head;
    request.url = url;
    HX2HttpResponse response;
    if (!perform(request, m_caFile, timeoutMs, response, error))
        return false;
    if (raw)
        *raw = response.body;
    info.insert(QStringLiteral("contentlength"), response.contentLength);
    info.insert(QStringLiteral("lastmodified"), httpLocalTime(response.lastModified));
    return true;
}
