#include "httptestserver.h"

#include "hx2runner.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

#include <chrono>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int kSliceMs = 50;
const int kMaxHeaderBytes = 64 * 1024;
const qint64 kMaxBodyBytes = 256LL * 1024 * 1024;
const int kFillPiece = 64 * 1024;

QByteArray reason(int status)
{
    switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

} // namespace

struct HttpTestServer::Tls
{
    QSslCertificate certificate;
    QSslKey key;
};

// --- Request and Reply ---------------------------------------------------

QByteArray HttpTestServer::Request::header(const QByteArray& name) const
{
    for (const auto& h : headers) {
        if (h.first.toLower() == name.toLower())
            return h.second;
    }
    return QByteArray();
}

bool HttpTestServer::Request::hasHeader(const QByteArray& name) const
{
    for (const auto& h : headers) {
        if (h.first.toLower() == name.toLower())
            return true;
    }
    return false;
}

HttpTestServer::Reply HttpTestServer::Reply::ok(const QByteArray& body, const QByteArray& contentType)
{
    Reply r;
    r.body = body;
    r.headers.append({"Content-Type", contentType});
    return r;
}

HttpTestServer::Reply HttpTestServer::Reply::code(int code, const QByteArray& body)
{
    Reply r;
    r.status = code;
    r.body = body;
    return r;
}

HttpTestServer::Reply HttpTestServer::Reply::redirect(int code, const QByteArray& location)
{
    Reply r;
    r.status = code;
    r.headers.append({"Location", location});
    return r;
}

HttpTestServer::Reply HttpTestServer::Reply::silence()
{
    Reply r;
    r.silent = true;
    return r;
}

HttpTestServer::Reply& HttpTestServer::Reply::with(const QByteArray& name, const QByteArray& value)
{
    headers.append({name, value});
    return *this;
}

// --- One connection ----------------------------------------------------

namespace {

// Blocking reads and writes on one accepted socket, giving up when the
// server stops or the peer leaves.
class Channel
{
public:
    Channel(QSslSocket& socket, const std::atomic<bool>& stopping)
        : m_socket(socket)
        , m_stopping(stopping)
    {
    }

    bool alive() const
    {
        return !m_stopping.load() && m_socket.state() == QAbstractSocket::ConnectedState;
    }

    // Appends what arrives to buffer; false when nothing more will.
    bool readMore(QByteArray& buffer)
    {
        while (true) {
            if (m_stopping.load())
                return false;
            if (m_socket.bytesAvailable() > 0) {
                buffer += m_socket.readAll();
                return true;
            }
            if (m_socket.state() != QAbstractSocket::ConnectedState)
                return false;
            m_socket.waitForReadyRead(kSliceMs);
        }
    }

    bool write(const QByteArray& bytes)
    {
        if (m_socket.write(bytes) != bytes.size())
            return false;
        while (m_socket.bytesToWrite() > 0 || m_socket.encryptedBytesToWrite() > 0) {
            if (!alive())
                return false;
            m_socket.waitForBytesWritten(kSliceMs);
        }
        return alive();
    }

    // Sleeps ms, in slices; false when the server stops meanwhile.
    bool pause(int ms)
    {
        for (int slept = 0; slept < ms; slept += kSliceMs) {
            if (m_stopping.load())
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(qMin(kSliceMs, ms - slept)));
        }
        return !m_stopping.load();
    }

    // Holds the connection, discarding input, until the peer leaves or the
    // server stops.
    void hold()
    {
        while (alive()) {
            if (m_socket.waitForReadyRead(kSliceMs))
                m_socket.readAll();
        }
    }

private:
    QSslSocket& m_socket;
    const std::atomic<bool>& m_stopping;
};

// Reads one request from the front of buffer; false when the connection
// ends first or sends something that is no request.
bool readRequest(Channel& channel, QByteArray& buffer, HttpTestServer::Request& request)
{
    int end;
    while ((end = buffer.indexOf("\r\n\r\n")) < 0) {
        if (buffer.size() > kMaxHeaderBytes || !channel.readMore(buffer))
            return false;
    }
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    if (first.size() != 3)
        return false;
    request.method = first.at(0);
    request.target = first.at(1);
    const int query = request.target.indexOf('?');
    request.path = query < 0 ? request.target : request.target.left(query);
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon > 0)
            request.headers.append({lines.at(i).left(colon).trimmed(), lines.at(i).mid(colon + 1).trimmed()});
    }
    buffer.remove(0, end + 4);

    bool lengthOk = true;
    const qint64 length = request.hasHeader("Content-Length")
        ? request.header("Content-Length").toLongLong(&lengthOk)
        : 0;
    if (!lengthOk || length < 0 || length > kMaxBodyBytes)
        return false;
    if (length > 0 && request.header("Expect").toLower() == "100-continue"
        && !channel.write("HTTP/1.1 100 Continue\r\n\r\n"))
        return false;
    while (buffer.size() < length) {
        if (!channel.readMore(buffer))
            return false;
    }
    request.body = buffer.left(int(length));
    buffer.remove(0, int(length));
    return true;
}

// Writes reply; false when the connection is to end after it.
bool writeReply(Channel& channel, const HttpTestServer::Request& request,
                const HttpTestServer::Reply& reply)
{
    if (!channel.pause(reply.delayMs))
        return false;
    const qint64 length = reply.fillBytes >= 0 ? reply.fillBytes : reply.body.size();
    QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reason(reply.status) + "\r\n";
    for (const auto& h : reply.headers)
        head += h.first + ": " + h.second + "\r\n";
    head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    const bool close = reply.close || request.header("Connection").toLower() == "close";
    if (close)
        head += "Connection: close\r\n";
    head += "\r\n";
    if (request.method == "HEAD")
        return channel.write(head) && !close;

    const int piece = reply.chunkBytes > 0 ? reply.chunkBytes : kFillPiece;
    QByteArray fill;
    if (reply.fillBytes >= 0) {
        fill.resize(piece);
        for (int i = 0; i < piece; ++i)
            fill[i] = char('a' + i % 26);
    }
    const bool whole = reply.fillBytes < 0 && reply.chunkBytes <= 0;
    if (!channel.write(whole ? head + reply.body : head))
        return false;
    for (qint64 sent = 0; !whole && sent < length; sent += piece) {
        const int n = int(qMin<qint64>(piece, length - sent));
        const QByteArray part = reply.fillBytes >= 0 ? fill.left(n) : reply.body.mid(int(sent), n);
        if (!channel.write(part) || !channel.pause(reply.chunkPauseMs))
            return false;
    }
    return !close;
}

} // namespace

// --- Server --------------------------------------------------------------

HttpTestServer::HttpTestServer() = default;

HttpTestServer::~HttpTestServer()
{
    stop();
}

bool HttpTestServer::listenLocal(quint16 port)
{
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0)
        return false;
    const int one = 1;
    ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t size = sizeof address;
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), size) != 0
        || ::listen(m_listenFd, 512) != 0
        || ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ::close(m_listenFd);
        m_listenFd = -1;
        return false;
    }
    m_port = ntohs(address.sin_port);
    m_stopping = false;
    m_acceptThread = std::thread(&HttpTestServer::acceptLoop, this);
    return true;
}

bool HttpTestServer::start(quint16 port)
{
    return m_listenFd < 0 && listenLocal(port);
}

bool HttpTestServer::startTls(const QString& certFile, const QString& keyFile, quint16 port)
{
    if (m_listenFd >= 0)
        return false;
    auto tls = std::make_unique<Tls>();
    const QList<QSslCertificate> certs = QSslCertificate::fromPath(certFile, QSsl::Pem);
    QFile keyIn(keyFile);
    if (certs.isEmpty() || !keyIn.open(QIODevice::ReadOnly))
        return false;
    const QByteArray keyPem = keyIn.readAll();
    tls->certificate = certs.first();
    tls->key = QSslKey(keyPem, QSsl::Ec);
    if (tls->key.isNull())
        tls->key = QSslKey(keyPem, QSsl::Rsa);
    if (tls->key.isNull())
        return false;
    m_tls = std::move(tls);
    return listenLocal(port);
}

void HttpTestServer::stop()
{
    if (m_listenFd < 0)
        return;
    m_stopping = true;
    m_acceptThread.join();
    ::close(m_listenFd);
    m_listenFd = -1;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_liveConnections == 0; });
}

QString HttpTestServer::url(const QString& path) const
{
    return QStringLiteral("%1://127.0.0.1:%2%3")
        .arg(m_tls ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(m_port)
        .arg(path);
}

void HttpTestServer::on(const QByteArray& path, const Reply& reply)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_routes.insert(path, reply);
}

void HttpTestServer::setHandler(Handler handler)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handler = std::move(handler);
}

void HttpTestServer::setRecording(bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_recording = on;
}

QList<HttpTestServer::Request> HttpTestServer::requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

bool HttpTestServer::waitForRequests(int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_requestCount.load() >= count; });
}

void HttpTestServer::acceptLoop()
{
    while (!m_stopping.load()) {
        pollfd p{m_listenFd, POLLIN, 0};
        if (::poll(&p, 1, kSliceMs) <= 0)
            continue;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        const int connection = ++m_connectionCount;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_liveConnections;
        }
        std::thread(&HttpTestServer::serve, this, fd, connection).detach();
    }
}

HttpTestServer::Reply HttpTestServer::replyFor(const Request& request)
{
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_recording)
            m_requests.append(request);
        ++m_requestCount;
        m_changed.notify_all();
        const auto route = m_routes.constFind(request.path);
        if (route != m_routes.constEnd())
            return route.value();
        handler = m_handler;
    }
    return handler ? handler(request) : Reply::code(404, "not found");
}

void HttpTestServer::serve(int fd, int connection)
{
    {
        QSslSocket socket;
        if (socket.setSocketDescriptor(fd)) {
            Channel channel(socket, m_stopping);
            bool ready = true;
            if (m_tls) {
                socket.setLocalCertificate(m_tls->certificate);
                socket.setPrivateKey(m_tls->key);
                socket.setPeerVerifyMode(QSslSocket::VerifyNone);
                socket.startServerEncryption();
                while (!socket.isEncrypted() && channel.alive())
                    socket.waitForEncrypted(kSliceMs);
                ready = socket.isEncrypted();
            }
            QByteArray buffer;
            while (ready) {
                Request request;
                if (!readRequest(channel, buffer, request))
                    break;
                request.connection = connection;
                const int now = ++m_inFlight;
                int top = m_maxInFlight.load();
                while (now > top && !m_maxInFlight.compare_exchange_weak(top, now))
                    ; // top now holds the current value; try again
                const Reply reply = replyFor(request);
                if (reply.silent)
                    channel.hold();
                ready = !reply.silent && writeReply(channel, request, reply);
                --m_inFlight;
            }
            socket.abort();
        } else {
            ::close(fd);
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_liveConnections;
    m_changed.notify_all();
}

// --- Certificates ----------------------------------------------------------

bool TestCertificates::make(const QString& dir, QString* error)
{
    caCert = dir + QStringLiteral("/ca.pem");
    serverCert = dir + QStringLiteral("/server.pem");
    serverKey = dir + QStringLiteral("/server.key");
    const QString caKey = dir + QStringLiteral("/ca.key");
    const QString csr = dir + QStringLiteral("/server.csr");
    const QString ext = dir + QStringLiteral("/server.ext");
    QFile extFile(ext);
    if (!extFile.open(QIODevice::WriteOnly)
        || extFile.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                         "basicConstraints=CA:FALSE\n"
                         "keyUsage=critical,digitalSignature\n"
                         "extendedKeyUsage=serverAuth\n") < 0) {
        if (error)
            *error = QStringLiteral("cannot write ") + ext;
        return false;
    }
    extFile.close();
    const QStringList ecKey{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    const QList<QStringList> steps{
        QStringList{"req", "-x509"} + ecKey
            + QStringList{"-keyout", caKey, "-out", caCert, "-days", "2", "-subj", "/CN=test authority",
                          "-addext", "basicConstraints=critical,CA:TRUE",
                          "-addext", "keyUsage=critical,keyCertSign,cRLSign"},
        QStringList{"req", "-new"} + ecKey
            + QStringList{"-keyout", serverKey, "-out", csr, "-subj", "/CN=127.0.0.1"},
        QStringList{"x509", "-req", "-in", csr, "-CA", caCert, "-CAkey", caKey, "-CAcreateserial",
                    "-out", serverCert, "-days", "2", "-extfile", ext},
    };
    for (const QStringList& args : steps) {
        const HX2RunResult r = HX2Runner::run(QStringLiteral("openssl"), args);
        if (!r.ok) {
            if (error)
                *error = QStringLiteral("openssl %1: %2").arg(args.join(' '), r.errText());
            return false;
        }
    }
    return true;
}
