#ifndef HX2HTTP_H
#define HX2HTTP_H

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

// Whether an https peer must present a certificate that the system's
// authorities vouch for, for the host of the URL. Every call verifies
// unless it passes Off (for a peer known by other means).
enum class HX2TlsCheck { Verify, Off };

// The largest answer body the simple clients keep in memory; a longer one
// fails the request. Downloads to a file have no such limit.
constexpr qint64 kHttpMaxBodyBytes = 256LL * 1024 * 1024;

class HX2HttpPrivate;

// A blocking HTTP client over Qt Network: one request at a time, waited for
// in a local event loop on the calling thread, so it must be called from a
// thread that may block; a QCoreApplication must exist.
//
// Every request: the time-out covers the whole request, redirects
// included, and one still running then is aborted and fails with
// replyError() 4 and no body; at most 10 redirects (301, 302, 303, 307,
// 308) are followed, only to http and https, and a body is posted again
// only on 307 and 308; 4xx and 5xx answers fail; an answer longer than
// kHttpMaxBodyBytes fails. After each request replyError() holds the
// network error code (0 none); the result is true only when it is 0.
// GET requests send the User-Agent "MRVSDK;1.0.8.6;Android;7.1.1;R11".
class HX2Http : public QObject
{
    Q_OBJECT
public:
    explicit HX2Http(QObject* parent = nullptr);
    ~HX2Http() override;

    // Milliseconds allowed to each request; 30000 by default.
    int timeout() const;
    void setTimeout(int ms);
    int replyError() const;

    // The body on success, empty otherwise.
    QByteArray get(const QString& url, HX2TlsCheck tls = HX2TlsCheck::Verify);
    bool get(QByteArray& out, const QString& url, HX2TlsCheck tls = HX2TlsCheck::Verify);
    // The body must parse as JSON (a parse error fails); out becomes its
    // object (empty for an array).
    bool get(QJsonObject& out, const QString& url, HX2TlsCheck tls = HX2TlsCheck::Verify);
    // HEAD; sets "contentlength" (the Content-Length, 0 when absent) and
    // "lastmodified" (the Last-Modified in local time as "yyyy-MM-dd
    // HH:mm:ss", empty when absent) in info; body, when given, receives the
    // (empty) body.
    bool getHead(const QString& url, QJsonObject& info, QByteArray* body,
                 HX2TlsCheck tls = HX2TlsCheck::Verify);

    // POST of form as "application/x-www-form-urlencoded; charset=UTF-8".
    QByteArray post(const QString& url, const QByteArray& form, HX2TlsCheck tls = HX2TlsCheck::Verify);
    bool post(QByteArray& out, const QString& url, const QByteArray& form,
              HX2TlsCheck tls = HX2TlsCheck::Verify);
    // POST of json's compact text as "application/json".
    QByteArray post(const QString& url, const QJsonObject& json, HX2TlsCheck tls = HX2TlsCheck::Verify);
    bool post(QByteArray& out, const QString& url, const QJsonObject& json,
              HX2TlsCheck tls = HX2TlsCheck::Verify);
    // As above; the answer must be a JSON object, which becomes out. raw,
    // when given, receives the answer whenever the post itself succeeded.
    bool post(QJsonObject& out, const QString& url, const QJsonObject& json, QByteArray* raw,
              HX2TlsCheck tls = HX2TlsCheck::Verify);

    // The JSON post, or the GET, on a detached thread of its own with
    // copies of the arguments and of this object's time-out; returns at
    // once, and the outcome is dropped.
    void posting(const QString& url, const QJsonObject& json, HX2TlsCheck tls = HX2TlsCheck::Verify);
    void geting(const QString& url, HX2TlsCheck tls = HX2TlsCheck::Verify);

private:
    bool send(const QString& url, int method, const QByteArray& body, const QString& contentType,
              HX2TlsCheck tls, QByteArray& out, QJsonObject* head);

    std::unique_ptr<HX2HttpPrivate> d;
};

// The same jobs through libcurl, reentrant (one handle per call). Common
// rules: timeoutSecs limits the whole call (not positive: 30 s); at most 10
// redirects, only to http and https; other schemes, file:// included, are
// refused; a POST is sent again only on 307 and 308; 4xx and 5xx answers
// fail; the libcurl error code is not passed on.

// GET; out becomes the body. Fails for a body over kHttpMaxBodyBytes.
bool curlHttpGet(QByteArray& out, const QString& url, int timeoutSecs,
                 HX2TlsCheck tls = HX2TlsCheck::Verify);
// The same; the body must be a JSON object, which becomes out.
bool curlHttpGet(QJsonObject& out, const QString& url, int timeoutSecs,
                 HX2TlsCheck tls = HX2TlsCheck::Verify);
// The GET on a detached thread; the outcome is dropped.
void curlHttpGet(const QString& url, int timeoutSecs);
// POST of json's compact text with "Content-Type:application/json"; the
// answer must be a JSON object, which becomes out. raw, when given,
// receives the answer whenever the post itself succeeded.
bool curlHttpPost(QJsonObject& out, const QString& url, const QJsonObject& json, QByteArray* raw,
                  int timeoutSecs = 30, HX2TlsCheck tls = HX2TlsCheck::Verify);
// The post on a detached thread; the outcome is dropped.
void curlHttpPost(const QString& url, const QJsonObject& json);
// Downloads url into file. The body goes to a temporary file beside it
// that replaces file only when the whole transfer succeeded, so a failed
// or aborted download leaves the previous file as it was.
bool curlHttpDownload(const QString& file, const QString& url, int timeoutSecs,
                      HX2TlsCheck tls = HX2TlsCheck::Verify);
// The same; progress is called with the size of each piece written, and
// returning false aborts the download (which then fails).
bool curlHttpDownloading(const QString& file, const QString& url,
                         std::function<bool(unsigned long)> progress, int timeoutSecs,
                         HX2TlsCheck tls = HX2TlsCheck::Verify);

// Requests of the detached forms (posting, geting and the curl forms
// without a result) still running; a caller about to end the process waits
// for 0.
int httpDetachedRunning();

#endif
