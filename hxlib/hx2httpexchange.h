#ifndef HX2HTTPEXCHANGE_H
#define HX2HTTPEXCHANGE_H

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>

// One blocking HTTP request over Qt Network, shared by the framework's Qt
// clients (HX2Http, HX3Http). It runs a local event loop on the calling
// thread, so it may be called from any thread that may block, with or
// without an event loop of its own; a QCoreApplication must exist.
//
// Rules a caller may rely on:
// - The time limit covers the whole exchange, redirects included. A request
//   still running when it passes is aborted and fails with TimeoutError
//   (4); no partial body is returned.
// - A reply with status 301, 302, 303, 307 or 308 and a Location header is
//   followed, at most kMaxRedirects times (one more fails with
//   TooManyRedirectsError, 10), and only to http or https (any other scheme,
//   also for the first URL, fails with ProtocolUnknownError, 301). A POST is
//   sent again with its body and headers only on 307 and 308; on 301, 302
//   and 303 the next hop is a GET without body. Any other status with a
//   Location header (a 201, say) is the answer.
// - A body longer than maxBodyBytes aborts the request and fails with
//   UnknownContentError (299).
// - An https peer is checked against caFile's certificates alone when
//   caFile is set (an unreadable or empty file fails with
//   SslHandshakeFailedError, 6, before anything is sent), else against the
//   system's when verifyPeer is true, else not at all.
struct HX2HttpRequest
{
    enum Method { Get, Head, Post };
    static constexpr int kMaxRedirects = 10;

    Method method = Get;
    QString url;
    // Post only: the body, and its Content-Type when not empty.
    QByteArray body;
    QString contentType;
    // Raw headers sent on every hop.
    QHash<QByteArray, QByteArray> headers;
    // Sent as User-Agent when not empty.
    QByteArray userAgent;
    int timeoutMs = 30000;
    // Negative: no limit.
    qint64 maxBodyBytes = -1;
    bool verifyPeer = true;
    QString caFile;
};

struct HX2HttpResponse
{
    // QNetworkReply::NetworkError of the last hop, or one of those above;
    // 0 when the exchange succeeded.
    int error = 0;
    // HTTP status of the last reply; 0 when none came.
    int status = 0;
    // The last reply's body, on success only.
    QByteArray body;
    // The last reply's Content-Length (0 when absent) and Last-Modified
    // (invalid when absent), on success only.
    qint64 contentLength = 0;
    QDateTime lastModified;
};

// Header values both Qt clients send: the User-Agent of every GET, and the
// Content-Type of form posts.
extern const char kHttpGetUserAgent[];
extern const char kHttpFormContentType[];

// Performs request; true when response.error is 0.
bool httpExchange(const HX2HttpRequest& request, HX2HttpResponse& response);

// "yyyy-MM-dd HH:mm:ss" of t in local time; empty for an invalid t.
QString httpLocalTime(const QDateTime& t);

#endif
