#include "hx2httpexchange.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrl>

const char kHttpGetUserAgent[] = "MRVSDK;1.0.8.6;Android;7.1.1;R11";
const char kHttpFormContentType[] = "application/x-www-form-urlencoded; charset=UTF-8";

namespace {

bool isWebScheme(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Sets the peer check of an https request; false when a CA file was named
// but gave no certificate, so that a broken setting never means "trust all".
bool configureTls(QNetworkRequest& request, const HX2HttpRequest& in)
{
    QSslConfiguration tls = request.sslConfiguration();
    if (!in.caFile.isEmpty()) {
        const QList<QSslCertificate> cas = QSslCertificate::fromPath(in.caFile, QSsl::Pem);
        if (cas.isEmpty())
            return false;
        tls.setCaCertificates(cas);
        tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    } else {
        tls.setPeerVerifyMode(in.verifyPeer ? QSslSocket::VerifyPeer : QSslSocket::VerifyNone);
    }
    tls.setProtocol(QSsl::TlsV1SslV3);
    request.setSslConfiguration(tls);
    return true;
}

// One hop: sends the request and waits for its end, the deadline or the
// body cap, whichever comes first. The reply is returned finished, or
// aborted with error set.
struct Hop
{
    QNetworkReply* reply = nullptr;
    int error = 0;
    // Ended by the deadline or the body cap rather than by the peer.
    bool cut = false;
};

Hop runHop(QNetworkAccessManager& manager, const QNetworkRequest& request,
           HX2HttpRequest::Method method, const QByteArray& body, qint64 maxBodyBytes,
           const QDeadlineTimer& deadline)
{
    Hop hop;
    switch (method) {
    case HX2HttpRequest::Get:
        hop.reply = manager.get(request);
        break;
    case HX2HttpRequest::Head:
        hop.reply = manager.head(request);
        break;
    case HX2HttpRequest::Post:
        hop.reply = manager.post(request, body);
        break;
    }
    QNetworkReply* reply = hop.reply;
    bool oversize = false;
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (maxBodyBytes >= 0) {
        QObject::connect(reply, &QNetworkReply::downloadProgress, &loop,
                         [&](qint64 received, qint64 total) {
                             if (!oversize && (received > maxBodyBytes || total > maxBodyBytes)) {
                                 oversize = true;
                                 loop.quit();
                             }
                         });
    }
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(int(qMax<qint64>(0, deadline.remainingTime())));
    if (!reply->isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);

    if (oversize) {
        reply->abort();
        hop.error = QNetworkReply::UnknownContentError;
        hop.cut = true;
    } else if (!reply->isFinished()) {
        // Qt reports a reply cut off here as error-free: the abort and our
        // own code make the time-out a failure.
        reply->abort();
        hop.error = QNetworkReply::TimeoutError;
        hop.cut = true;
    } else {
        hop.error = reply->error();
    }
    return hop;
}

} // namespace

bool httpExchange(const HX2HttpRequest& in, HX2HttpResponse& out)
{
    out = HX2HttpResponse();
    const QDeadlineTimer deadline(qMax(0, in.timeoutMs));
    QNetworkAccessManager manager;
    QUrl url(in.url, QUrl::TolerantMode);
    HX2HttpRequest::Method method = in.method;

    for (int redirects = 0;; ++redirects) {
        if (!isWebScheme(url)) {
            out.error = QNetworkReply::ProtocolUnknownError;
            return false;
        }
        QNetworkRequest request(url);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        if (url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0
            && !configureTls(request, in)) {
            out.error = QNetworkReply::SslHandshakeFailedError;
            return false;
        }
        for (auto it = in.headers.constBegin(); it != in.headers.constEnd(); ++it)
            request.setRawHeader(it.key(), it.value());
        if (!in.userAgent.isEmpty())
            request.setHeader(QNetworkRequest::UserAgentHeader, in.userAgent);
        if (method == HX2HttpRequest::Post) {
            if (!in.contentType.isEmpty())
                request.setHeader(QNetworkRequest::ContentTypeHeader, in.contentType);
            request.setHeader(QNetworkRequest::ContentLengthHeader, in.body.size());
        }

        const Hop hop = runHop(manager, request, method, in.body, in.maxBodyBytes, deadline);
        QNetworkReply* reply = hop.reply;
        out.error = hop.error;
        out.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QByteArray location = reply->rawHeader("Location").trimmed();
        if (!hop.cut && isRedirect(out.status) && !location.isEmpty()) {
            delete reply;
            if (redirects == HX2HttpRequest::kMaxRedirects) {
                out.error = QNetworkReply::TooManyRedirectsError;
                return false;
            }
            url = url.resolved(QUrl::fromEncoded(location, QUrl::TolerantMode));
            if (method == HX2HttpRequest::Post && out.status != 307 && out.status != 308)
                method = HX2HttpRequest::Get;
            out.error = 0;
            continue;
        }
        if (out.error == 0) {
            out.body = reply->readAll();
            out.contentLength = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
            out.lastModified = reply->header(QNetworkRequest::LastModifiedHeader).toDateTime();
        }
        delete reply;
        return out.error == 0;
    }
}

QString httpLocalTime(const QDateTime& t)
{
    if (!t.isValid())
        return QString();
    return t.toUTC().toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}
