#ifndef HX3HTTP_H
#define HX3HTTP_H

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QRunnable>
#include <QString>

class HX3HttpPool;

// One request of the pooled HTTP client, and the blocking requests it is
// made of. As a runnable it performs its GET (method 2) or POST (any other
// method) on a pool thread and, when that succeeds and a user object was
// given, emits the pool's onRespond from that thread; a failed request
// leaves no trace. The thread pool deletes it after run().
//
// The request operations block the calling thread (a local event loop) and
// share these rules: the time-out covers the whole request, redirects
// included, and a request cut off by it fails with a non-zero error and no
// body; at most 10 redirects are followed, only to http and https, and a
// body is posted again only on 307 and 308; an answer longer than
// kMaxReplyBytes fails; https peers are not verified unless a CA file is
// set, in which case they must present a certificate issued by one of its
// certificates (for the host of the URL) or the request fails.
//
// error, when not null, receives the network error code of the request (0
// none). A request succeeds only with code 0 and, except for HEAD, the
// answer's body taken.
class HX3Http : public QObject, public QRunnable
{
    Q_OBJECT
public:
    static constexpr qint64 kMaxReplyBytes = 4 * 1024 * 1024;

    // timeout in seconds.
    HX3Http(HX3HttpPool* pool, int timeout);
    // A non-null userObject is copied and handed back with the answer.
    HX3Http(HX3HttpPool* pool, int timeout, int method, const QString& url, const QByteArray& body,
            const QJsonObject* userObject);

    // PEM file of the certificate authorities that https peers must be
    // verified against; empty (the default) turns peer checks off.
    void setCaFile(const QString& path) { m_caFile = path; }
    QString caFile() const { return m_caFile; }

    void run() override;

    // GET with the fixed User-Agent "MRVSDK;1.0.8.6;Android;7.1.1;R11".
    bool get(QByteArray& reply, const QString& url, int* error) const;
    // POST of body with the raw headers, the Content-Type when not empty
    // and the Content-Length.
    bool post(QByteArray& reply, const QString& url, const QByteArray& body, int* error,
              const QString& contentType, const QHash<QByteArray, QByteArray>& headers) const;
    // POST of body's compact JSON as a form; the answer must be a JSON
    // object, which becomes reply. raw, when not null, receives the answer
    // whenever the post itself succeeded.
    bool post(QJsonObject& reply, const QString& url, const QJsonObject& body, QByteArray* raw) const;
    // HEAD; sets "contentlength" (the Content-Length, 0 when absent) and
    // "lastmodified" (the Last-Modified in local time as "yyyy-MM-dd
    // HH:mm:ss", empty when absent) in info. raw receives the (empty) body.
    bool getHead(QJsonObject& info, const QString& url, int* error, QByteArray* raw) const;

private:
    HX3HttpPool* pool = nullptr;
    int timeoutMs = 30000;
    int method = 0;
    QString url;
    QByteArray body;
    bool hasUserObject = false;
    QJsonObject userObject;
    QString m_caFile;
};

#endif
