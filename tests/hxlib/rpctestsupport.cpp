#include "rpctestsupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

QCoreApplication* testApp()
{
    static int argc = 1;
    static char name[] = "rpctests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = QCoreApplication::instance() ? QCoreApplication::instance()
                                                                 : new QCoreApplication(argc, argv);
    return app;
}

void ThreadJobs::run(std::function<void()> job)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_job = std::move(job);
    m_done = false;
    QMetaObject::invokeMethod(this, "runJob", Qt::QueuedConnection);
    m_ran.wait(lock, [this] { return m_done; });
}

void ThreadJobs::runJob()
{
    std::function<void()> job;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        job = std::move(m_job);
    }
    job();
    // Notified under the lock: the caller may destroy this object as soon
    // as it sees the job done.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_done = true;
    m_ran.notify_all();
}

ServerHost::ServerHost(HX2TodoRouter* router, bool debugging)
{
    testApp();
    // Made before the thread starts, so that the thread sees it whole.
    m_jobs = new ThreadJobs;
    m_jobs->moveToThread(&m_thread);
    m_thread.start();
    m_jobs->run([=] {
        m_server = new HX2LocalServer;
        m_server->debugging = debugging;
        m_server->add(router);
    });
}

ServerHost::~ServerHost()
{
    destroy();
    m_thread.quit();
    m_thread.wait();
    delete m_jobs;
}

bool ServerHost::start(const QString& name)
{
    bool ok = false;
    m_jobs->run([&] { ok = m_server->start(name); });
    return ok;
}

void ServerHost::destroy()
{
    if (!m_server)
        return;
    m_jobs->run([this] { delete m_server; });
    m_server = nullptr;
}

RawClient::~RawClient()
{
    close();
}

void RawClient::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool RawClient::connectTo(const QString& path)
{
    close();
    const QByteArray p = QFile::encodeName(path);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (size_t(p.size()) >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, p.constData(), size_t(p.size()));
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return false;
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close();
        return false;
    }
    return true;
}

bool RawClient::send(const QByteArray& bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

namespace {

// One frame from the front of buffer: 1 decoded (removed), 0 incomplete.
int takeFrame(QByteArray& buffer, QJsonObject& out)
{
    if (buffer.size() >= 4 && buffer.startsWith(QByteArray("\x00ka\x00", 4))) {
        buffer.remove(0, 4);
        out = QJsonObject();
        return 1;
    }
    if (buffer.size() < 16)
        return 0;
    auto u32 = [&](int at) {
        const auto* u = reinterpret_cast<const unsigned char*>(buffer.constData() + at);
        return quint32(u[0]) | quint32(u[1]) << 8 | quint32(u[2]) << 16 | quint32(u[3]) << 24;
    };
    const qint64 n = u32(5);
    const qint64 m = u32(9);
    if (buffer.size() < 16 + n + m)
        return 0;
    out = QJsonDocument::fromJson(buffer.mid(16, int(n))).object();
    buffer.remove(0, int(16 + n + m));
    return 1;
}

} // namespace

bool RawClient::readFrame(QJsonObject& out, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (takeFrame(m_buffer, out))
            return true;
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0)
            return false;
        pollfd pfd{m_fd, POLLIN, 0};
        if (::poll(&pfd, 1, int(left)) <= 0)
            continue;
        char chunk[65536];
        const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
        if (n <= 0)
            return false;
        m_buffer.append(chunk, int(n));
    }
}

bool RawClient::waitClosed(int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0)
            return false;
        pollfd pfd{m_fd, POLLIN, 0};
        if (::poll(&pfd, 1, int(left)) <= 0)
            continue;
        char chunk[65536];
        const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
        if (n == 0 || (n < 0 && errno == ECONNRESET))
            return true;
        if (n > 0)
            m_buffer.append(chunk, int(n));
    }
}

bool RawClient::staysQuiet(int timeoutMs)
{
    pollfd pfd{m_fd, POLLIN, 0};
    return ::poll(&pfd, 1, timeoutMs) == 0;
}

QByteArray headerOf(quint32 n, quint32 m)
{
    QByteArray h("\x00hx\x01\x01", 5);
    for (int i = 0; i < 4; ++i)
        h.append(char((n >> (8 * i)) & 0xFF));
    for (int i = 0; i < 4; ++i)
        h.append(char((m >> (8 * i)) & 0xFF));
    h.append("\xFF\xFF\xFF", 3);
    return h;
}

QByteArray frameOf(const QJsonObject& body, const QByteArray& attachment)
{
    const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
    return headerOf(quint32(json.size()), quint32(attachment.size())) + json + attachment;
}
