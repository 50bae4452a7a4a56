#include "hx2localserver.h"

#include "hx2localsocket.h"
#include "hx2rpcpacket.h"
#include "hx2unixio.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
const int kPendingConnections = 1024;
const int kConnectTimeoutMs = 2000;
// How long a request frame may take to leave when no reply is awaited.
const int kUnawaitedWriteTimeoutMs = 30000;
// How long a server found on the name may take to accept before it counts
// as alive but busy.
const int kProbeTimeoutMs = 1000;
// How long start() waits for another server starting in the same directory.
const int kDirectoryTurnMs = 5000;

// An exclusive lock on a directory, held while a server checks, replaces
// and binds its socket file there. Best effort: without it (the directory
// cannot be opened, or the turn does not come) start goes on unguarded.
class DirectoryTurn
{
public:
    explicit DirectoryTurn(const QString& dir)
    {
        m_fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (m_fd < 0)
            return;
        QElapsedTimer clock;
        clock.start();
        while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK
               && clock.elapsed() < kDirectoryTurnMs)
            QThread::msleep(5);
    }
    ~DirectoryTurn()
    {
        if (m_fd >= 0)
            ::close(m_fd); // releases the lock
    }
    DirectoryTurn(const DirectoryTurn&) = delete;
    DirectoryTurn& operator=(const DirectoryTurn&) = delete;

private:
    int m_fd = -1;
};
} // namespace

HX2LocalServer::HX2LocalServer(QObject* parent) : QLocalServer(parent)
{
    setMaxPendingConnections(kPendingConnections);
    setSocketOptions(QLocalServer::UserAccessOption | QLocalServer::GroupAccessOption
                     | QLocalServer::OtherAccessOption);
}

HX2LocalServer::~HX2LocalServer()
{
    stop();
    closeConnections();
}

bool HX2LocalServer::start(const QString& name)
{
    if (isListening())
        return true;
    m_addressInUse = false;
    if (name.contains(QLatin1Char('/'))) {
        const QString dir = QFileInfo(name).absolutePath();
        if (!QDir(dir).exists())
            QDir().mkpath(dir);
    }
    const QString path = HX2UnixIO::socketPath(name);
    DirectoryTurn turn(QFileInfo(path).absolutePath());
    // Listening replaces whatever file holds the name, so a server still
    // running there must be asked first: only a file nobody answers on is
    // a leftover of a process that is gone.
    if (HX2UnixIO::listenerAnswers(path, kProbeTimeoutMs)) {
        m_addressInUse = true;
        return false;
    }
    QLocalServer::removeServer(name);
    if (!listen(name))
        return false;
    // Qt listens with a short fixed queue; allow the full number of
    // pending connections a busy appliance may open at once.
    ::listen(int(socketDescriptor()), kPendingConnections);
    m_name = name;
    return true;
}

void HX2LocalServer::stop()
{
    if (isListening())
        close();
}

void HX2LocalServer::add(HX2TodoRouter* router)
{
    m_root.add(router);
}

bool HX2LocalServer::doCall(QJsonObject& ret, const QJsonObject& cmd, HX2Cabinet* env)
{
    if (m_root.doCall(ret, cmd, env))
        return true;
    if (m_root.doSlot(ret, cmd, env))
        return true;
    if (env)
        env->setErr(9885, QStringLiteral("被调用的方法不存在: ") + cmd.value(QStringLiteral("cmd")).toString());
    return false;
}

void HX2LocalServer::incomingConnection(quintptr descriptor)
{
    // Registered under the lock before its thread can release it.
    std::lock_guard<std::mutex> lock(m_connectionsMutex);
    auto* socket = new HX2LocalSocket(this, descriptor, &debugging);
    if (!socket->started()) {
        delete socket;
        return;
    }
    m_connections.insert(socket);
}

void HX2LocalServer::release(HX2LocalSocket* socket)
{
    std::lock_guard<std::mutex> lock(m_connectionsMutex);
    m_connections.remove(socket);
    delete socket;
    m_connectionsGone.notify_all();
}

bool HX2LocalServer::reserveBuffer(qint64 bytes)
{
    const qint64 budget = m_bufferBudget.load();
    qint64 held = m_buffered.load();
    do {
        if (held + bytes > budget)
            return false;
    } while (!m_buffered.compare_exchange_weak(held, held + bytes));
    return true;
}

int HX2LocalServer::connectionCount() const
{
    std::lock_guard<std::mutex> lock(m_connectionsMutex);
    return m_connections.size();
}

void HX2LocalServer::closeConnections()
{
    std::unique_lock<std::mutex> lock(m_connectionsMutex);
    // Ask all first, then wait once: the threads end in parallel.
    for (HX2LocalSocket* socket : qAsConst(m_connections))
        socket->requestStop();
    m_connectionsGone.wait(lock, [this] { return m_connections.isEmpty(); });
}

bool HX2LocalServer::localRequest(const QString& name, const QJsonObject& request, QJsonObject* reply,
                                  qint64 timeoutSeconds)
{
    const QByteArray frame = HX2RpcPacket(request).toDatagram();
    QElapsedTimer clock;
    clock.start();
    const bool awaitReply = reply && timeoutSeconds > 0;
    const qint64 limitMs = awaitReply ? timeoutSeconds * 1000 : 0;

    const int connectMs = awaitReply && limitMs < kConnectTimeoutMs ? int(limitMs) : kConnectTimeoutMs;
    const int fd = HX2UnixIO::connectTo(HX2UnixIO::socketPath(name), connectMs);
    if (fd < 0)
        return false;

    auto remainingMs = [&]() -> qint64 { return limitMs - clock.elapsed(); };
    const qint64 writeMs = awaitReply ? remainingMs() : kUnawaitedWriteTimeoutMs;
    if (writeMs <= 0 || !HX2UnixIO::writeAll(fd, frame, int(qMin<qint64>(writeMs, INT_MAX)))) {
        ::close(fd);
        return false;
    }
    if (!awaitReply) {
        ::close(fd);
        return true;
    }

    QByteArray received;
    char chunk[65536];
    for (;;) {
        const qint64 left = remainingMs();
        if (left <= 0)
            break;
        pollfd pfd{fd, POLLIN, 0};
        const int r = ::poll(&pfd, 1, int(qMin<qint64>(left, INT_MAX)));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break; // the peer closed: no reply can come
        received.append(chunk, int(n));
        for (;;) {
            HX2RpcPacket packet;
            const int code = packet.fromDatagram(received);
            if (code == HX2RpcPacket::Decoded && !packet.isEmpty()) {
                ::close(fd);
                *reply = packet;
                return true;
            }
            if (code == HX2RpcPacket::Decoded || code == HX2RpcPacket::KeepAlive)
                continue;
            if (code == HX2RpcPacket::Incomplete
                && HX2RpcPacket::acceptableFromPeer(packet.expected))
                break;
            ::close(fd);
            return false; // bad data or an oversized frame
        }
    }
    ::close(fd);
    return false;
}
