#include "hx2http.h"

#include "hx2httpexchange.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QSaveFile>

#include <curl/curl.h>

#include <atomic>
#include <mutex>
#include <thread>

// --- HX2Http -------------------------------------------------------------

class HX2HttpPrivate
{
public:
    int timeout = 30000;
    int replyError = 0;
};

namespace {

const char kJsonContentType[] = "application/json";

QByteArray compact(const QJsonObject& json)
{
    return QJsonDocument(json).toJson(QJsonDocument::Compact);
}

// Parses text as JSON; false on a parse error, or when an object is
// required and the text holds something else.
bool parseJson(const QByteArray& text, QJsonObject& out, bool requireObject)
{
    QJsonParseError perr;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &perr);
    if (perr.error != QJsonParseError::NoError || (requireObject && !doc.isObject()))
        return false;
    out = doc.object();
    return true;
}

std::atomic<int> g_detachedRunning{0};

// Runs job on a detached thread of its own, counted while it runs.
void runDetached(std::function<void()> job)
{
    ++g_detachedRunning;
    std::thread([job] {
        job();
        --g_detachedRunning;
    }).detach();
}

} // namespace

int httpDetachedRunning()
{
    return g_detachedRunning.load();
}

HX2Http::HX2Http(QObject* parent)
    : QObject(parent)
    , d(std::make_unique<HX2HttpPrivate>())
{
}

HX2Http::~HX2Http() = default;

int HX2Http::timeout() const
{
    return d->timeout;
}

void HX2Http::setTimeout(int ms)
{
    d->timeout = ms;
}

int HX2Http::replyError() const
{
    return d->replyError;
}

bool HX2Http::send(const QString& url, int method, const QByteArray& body,
                   const QString& contentType, HX2TlsCheck tls, QByteArray& out, QJsonObject* head)
{
    HX2HttpRequest request;
    request.method = HX2HttpRequest::Method(method);
    request.url = url;
    request.body = body;
    request.contentType = contentType;
    if (request.method == HX2HttpRequest::Get)
        request.userAgent = kHttpGetUserAgent;
    request.timeoutMs = d->timeout;
    request.maxBodyBytes = kHttpMaxBodyBytes;
    request.verifyPeer = tls == HX2TlsCheck::Verify;
    HX2HttpResponse response;
    const bool ok = httpExchange(request, response);
    d->replyError = response.error;
    if (!ok)
        return false;
    out = response.body;
    if (head) {
        head->insert(QStringLiteral("contentlength"), response.contentLength);
        head->insert(QStringLiteral("lastmodified"), httpLocalTime(response.lastModified));
    }
    return true;
}

QByteArray HX2Http::get(const QString& url, HX2TlsCheck tls)
{
    QByteArray out;
    get(out, url, tls);
    return out;
}

bool HX2Http::get(QByteArray& out, const QString& url, HX2TlsCheck tls)
{
    return send(url, HX2HttpRequest::Get, QByteArray(), QString(), tls, out, nullptr);
}

bool HX2Http::get(QJsonObject& out, const QString& url, HX2TlsCheck tls)
{
    QByteArray body;
    return get(body, url, tls) && parseJson(body, out, false);
}

bool HX2Http::getHead(const QString& url, QJsonObject& info, QByteArray* body, HX2TlsCheck tls)
{
    QByteArray empty;
    if (!send(url, HX2HttpRequest::Head, QByteArray(), QString(), tls, empty, &info))
        return false;
    if (body)
        *body = empty;
    return true;
}

QByteArray HX2Http::post(const QString& url, const QByteArray& form, HX2TlsCheck tls)
{
    QByteArray out;
    post(out, url, form, tls);
    return out;
}

bool HX2Http::post(QByteArray& out, const QString& url, const QByteArray& form, HX2TlsCheck tls)
{
    return send(url, HX2HttpRequest::Post, form, QString::fromLatin1(kHttpFormContentType), tls, out,
                nullptr);
}

QByteArray HX2Http::post(const QString& url, const QJsonObject& json, HX2TlsCheck tls)
{
    QByteArray out;
    post(out, url, json, tls);
    return out;
}

bool HX2Http::post(QByteArray& out, const QString& url, const QJsonObject& json, HX2TlsCheck tls)
{
    return send(url, HX2HttpRequest::Post, compact(json), QString::fromLatin1(kJsonContentType), tls,
                out, nullptr);
}

bool HX2Http::post(QJsonObject& out, const QString& url, const QJsonObject& json, QByteArray* raw,
                   HX2TlsCheck tls)
{
    QByteArray answer;
    if (!post(answer, url, json, tls))
        return false;
    if (raw)
        *raw = answer;
    return parseJson(answer, out, false);
}

void HX2Http::posting(const QString& url, const QJsonObject& json, HX2TlsCheck tls)
{
    const int ms = d->timeout;
    runDetached([url, json, tls, ms] {
        HX2Http http;
        http.setTimeout(ms);
        QByteArray out;
        http.post(out, url, json, tls);
    });
}

void HX2Http::geting(const QString& url, HX2TlsCheck tls)
{
    const int ms = d->timeout;
    runDetached([url, tls, ms] {
        HX2Http http;
        http.setTimeout(ms);
        QByteArray out;
        http.get(out, url, tls);
    });
}

// --- libcurl -------------------------------------------------------------

namespace {

const int kDefaultTimeoutSecs = 30;
const char kDownloadAgent[] =
    "User-Agent: Mozilla/5.0 (Windows NT 10.0; WOW64; Trident/7.0; rv:11.0) like Gecko";

// Where a transfer's body goes: a bounded buffer or a file.
struct Sink
{
    QByteArray* buffer = nullptr;
    QSaveFile* file = nullptr;
    const std::function<bool(unsigned long)>* progress = nullptr;
};

// Returning less than the piece makes libcurl end the transfer with a
// write error.
size_t writePiece(char* data, size_t size, size_t count, void* user)
{
    Sink* sink = static_cast<Sink*>(user);
    const size_t bytes = size * count;
    if (sink->buffer) {
        if (qint64(sink->buffer->size()) + qint64(bytes) > kHttpMaxBodyBytes)
            return 0;
        sink->buffer->append(data, int(bytes));
        return bytes;
    }
    if (sink->file->write(data, qint64(bytes)) != qint64(bytes))
        return 0;
    if (sink->progress && !(*sink->progress)((unsigned long)bytes))
        return 0;
    return bytes;
}

// One easy handle with the options every call shares.
class CurlCall
{
public:
    CurlCall(const QString& url, int timeoutSecs, HX2TlsCheck tls, Sink* sink)
        : m_url(url.toUtf8())
    {
        static std::once_flag once;
        std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
        m_handle = curl_easy_init();
        if (!m_handle)
            return;
        const long seconds = timeoutSecs > 0 ? timeoutSecs : kDefaultTimeoutSecs;
        const long verify = tls == HX2TlsCheck::Verify ? 1L : 0L;
        curl_easy_setopt(m_handle, CURLOPT_URL, m_url.constData());
        curl_easy_setopt(m_handle, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(m_handle, CURLOPT_TIMEOUT, seconds);
        curl_easy_setopt(m_handle, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(m_handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(m_handle, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(m_handle, CURLOPT_MAXREDIRS, 10L);
        curl_easy_setopt(m_handle, CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(m_handle, CURLOPT_SSL_VERIFYPEER, verify);
        curl_easy_setopt(m_handle, CURLOPT_SSL_VERIFYHOST, verify * 2);
        curl_easy_setopt(m_handle, CURLOPT_WRITEFUNCTION, writePiece);
        curl_easy_setopt(m_handle, CURLOPT_WRITEDATA, sink);
    }
    ~CurlCall()
    {
        if (m_handle)
            curl_easy_cleanup(m_handle);
        curl_slist_free_all(m_headers);
    }
    CurlCall(const CurlCall&) = delete;
    CurlCall& operator=(const CurlCall&) = delete;

    CURL* handle() const { return m_handle; }
    void addHeader(const char* line) { m_headers = curl_slist_append(m_headers, line); }

    bool perform()
    {
        if (!m_handle)
            return false;
        if (m_headers)
            curl_easy_setopt(m_handle, CURLOPT_HTTPHEADER, m_headers);
        return curl_easy_perform(m_handle) == CURLE_OK;
    }

private:
    QByteArray m_url;
    CURL* m_handle = nullptr;
    curl_slist* m_headers = nullptr;
};

bool download(const QString& file, const QString& url,
              const std::function<bool(unsigned long)>* progress, int timeoutSecs, HX2TlsCheck tls)
{
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    Sink sink;
    sink.file = &out;
    sink.progress = progress;
    CurlCall call(url, timeoutSecs, tls, &sink);
    call.addHeader(kDownloadAgent);
    if (call.handle()) {
        curl_easy_setopt(call.handle(), CURLOPT_HEADER, 0L);
        curl_easy_setopt(call.handle(), CURLOPT_VERBOSE, 0L);
        curl_easy_setopt(call.handle(), CURLOPT_CONNECTTIMEOUT,
                         long(timeoutSecs > 0 ? timeoutSecs : kDefaultTimeoutSecs));
    }
    // An unfinished QSaveFile is discarded, leaving file untouched.
    return call.perform() && out.commit();
}

} // namespace

bool curlHttpGet(QByteArray& out, const QString& url, int timeoutSecs, HX2TlsCheck tls)
{
    QByteArray body;
    Sink sink;
    sink.buffer = &body;
    CurlCall call(url, timeoutSecs, tls, &sink);
    if (call.handle())
        curl_easy_setopt(call.handle(), CURLOPT_HTTPGET, 1L);
    if (!call.perform())
        return false;
    out = body;
    return true;
}

bool curlHttpGet(QJsonObject& out, const QString& url, int timeoutSecs, HX2TlsCheck tls)
{
    QByteArray body;
    return curlHttpGet(body, url, timeoutSecs, tls) && parseJson(body, out, true);
}

void curlHttpGet(const QString& url, int timeoutSecs)
{
    runDetached([url, timeoutSecs] {
        QByteArray out;
        curlHttpGet(out, url, timeoutSecs);
    });
}

bool curlHttpPost(QJsonObject& out, const QString& url, const QJsonObject& json, QByteArray* raw,
                  int timeoutSecs, HX2TlsCheck tls)
{
    const QByteArray body = compact(json);
    QByteArray answer;
    Sink sink;
    sink.buffer = &answer;
    CurlCall call(url, timeoutSecs, tls, &sink);
    call.addHeader("Content-Type:application/json");
    if (call.handle()) {
        curl_easy_setopt(call.handle(), CURLOPT_POST, 1L);
        curl_easy_setopt(call.handle(), CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
        curl_easy_setopt(call.handle(), CURLOPT_POSTFIELDS, body.constData());
    }
    if (!call.perform())
        return false;
    if (raw)
        *raw = answer;
    return parseJson(answer, out, true);
}

void curlHttpPost(const QString& url, const QJsonObject& json)
{
    runDetached([url, json] {
        QJsonObject out;
        curlHttpPost(out, url, json, nullptr);
    });
}

bool curlHttpDownload(const QString& file, const QString& url, int timeoutSecs, HX2TlsCheck tls)
{
    return download(file, url, nullptr, timeoutSecs, tls);
}

bool curlHttpDownloading(const QString& file, const QString& url,
                         std::function<bool(unsigned long)> progress, int timeoutSecs, HX2TlsCheck tls)
{
    return download(file, url, &progress, timeoutSecs, tls);
}
