#include "hx2localsocket.h"

#include "hx2localserver.h"
#include "hx2unixio.h"

#include <QJsonArray>

#include <cerrno>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {
const int kReplyWriteTimeoutMs = 30000;
const int kReadChunk = 65536;
// A buffer left with more spare room than this after frames are cut off
// is reallocated, so a large frame's memory does not outlive it.
const int kSpareCapacity = 4096;
} // namespace

HX2LocalSocket::HX2LocalSocket(HX2LocalServer* server_, quintptr descriptor_, bool* debugging_)
    : server(server_), descriptor(descriptor_), debugging(debugging_), m_flags(std::make_shared<Flags>()),
      m_fd(int(descriptor_))
{
    environment.insert(QStringLiteral("protocol"), 128);
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(m_fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && length == sizeof peer)
        environment.insert(QStringLiteral("peeruid"), qint64(peer.uid));
    m_flags->running = true;
    m_flags->stopRequested = false;
    try {
        std::thread([this] {
            run();
            server->release(this);
        }).detach();
        m_started = true;
    } catch (const std::system_error&) {
        // Out of threads: refuse this connection rather than the process.
        m_flags->running = false;
        closeDescriptor();
    }
}

HX2LocalSocket::~HX2LocalSocket()
{
    closeDescriptor();
}

void HX2LocalSocket::closeDescriptor()
{
    std::lock_guard<std::mutex> lock(m_fdMutex);
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void HX2LocalSocket::requestStop()
{
    m_flags->stopRequested.exchange(true);
    // Shutting the socket down wakes the thread from poll() at once.
    std::lock_guard<std::mutex> lock(m_fdMutex);
    if (m_fd >= 0)
        ::shutdown(m_fd, SHUT_RDWR);
}

void HX2LocalSocket::stop()
{
    const std::shared_ptr<Flags> flags = m_flags;
    requestStop();
    while (flags->running.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

void HX2LocalSocket::run()
{
    int fd;
    {
        std::lock_guard<std::mutex> lock(m_fdMutex);
        fd = m_fd;
    }
    if (fd >= 0) {
        // Blocking reads: an idle connection sleeps in read() and costs no
        // CPU, and a request costs one read. stop() wakes it by shutting the
        // socket down. A reply that cannot leave within the send time-out
        // ends the connection.
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        timeval tv{};
        tv.tv_sec = kReplyWriteTimeoutMs / 1000;
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    char chunk[kReadChunk];
    while (fd >= 0 && !m_flags->stopRequested.load()) {
        if (!buffer.isEmpty() && !awaitRestOfFrame(fd))
            break;
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (n == 0)
            break; // the peer disconnected, or stop() shut the socket down
        if (!receive(chunk, n))
            break;
    }
    closeDescriptor();
    buffer = QByteArray();
    hold(0);
    m_flags->running.exchange(false);
}

bool HX2LocalSocket::awaitRestOfFrame(int fd)
{
    for (;;) {
        const qint64 left = server->frameTimeout() - m_frameClock.elapsed();
        if (left <= 0)
            return false;
        pollfd pfd{fd, POLLIN, 0};
        const int r = ::poll(&pfd, 1, int(qMin<qint64>(left, INT_MAX)));
        if (r > 0)
            return true;
        if (r < 0 && errno != EINTR)
            return false;
    }
}

bool HX2LocalSocket::receive(const char* data, qint64 n)
{
    const bool fresh = buffer.isEmpty();
    buffer.append(data, int(n));
    const int size = buffer.size();
    if (!serveBuffer())
        return false;
    if (buffer.isEmpty()) {
        if (buffer.capacity() > kSpareCapacity)
            buffer = QByteArray();
        return hold(0);
    }
    if (fresh || buffer.size() < size) {
        // A new frame began in this read: its time starts now, and it
        // does not keep the allocation of the frames before it.
        m_frameClock.restart();
        if (buffer.capacity() - buffer.size() > kSpareCapacity)
            buffer = QByteArray(buffer.constData(), buffer.size());
    }
    // Charged whole once its header is in, so that a frame which cannot
    // fit is refused before its body is read; and given its whole room at
    // once, so that what it holds is what it was charged, not the
    // leftovers of a growing buffer.
    if (!hold(qMax<qint64>(buffer.size(), m_expected)))
        return false;
    if (m_expected > buffer.capacity())
        buffer.reserve(int(m_expected));
    return true;
}

bool HX2LocalSocket::hold(qint64 bytes)
{
    if (bytes > m_held && !server->reserveBuffer(bytes - m_held))
        return false;
    if (bytes < m_held)
        server->releaseBuffer(m_held - bytes);
    m_held = bytes;
    return true;
}

bool HX2LocalSocket::serveBuffer()
{
    while (!m_flags->stopRequested.load()) {
        HX2RpcPacket packet;
        const int code = packet.fromDatagram(buffer);
        switch (code) {
        case HX2RpcPacket::Decoded:
            if (!packet.isEmpty() && !serve(packet))
                return false;
            break;
        case HX2RpcPacket::KeepAlive:
            break;
        case HX2RpcPacket::Incomplete:
            // Refuse an oversized frame before buffering any of it.
            m_expected = packet.expected;
            return HX2RpcPacket::acceptableFromPeer(packet.expected);
        default:
            // The stream has lost its framing; nothing after it can be
            // trusted, so the connection ends.
            return false;
        }
    }
    return true;
}

bool HX2LocalSocket::serve(const HX2RpcPacket& request)
{
    // Each request starts from a clean outcome, so a handler that sets no
    // code never reports the previous request's, and "elapsed" covers this
    // request only.
    environment.reset(9999, QString(), QJsonArray());
    environment.begin();

    HX2RpcPacket reply;
    reply.insert(QStringLiteral("err"), 9999);
    server->doCall(reply, request, &environment);
    environment.toRetObject(reply, debugging ? *debugging : false);

    int fd;
    {
        std::lock_guard<std::mutex> lock(m_fdMutex);
        fd = m_fd;
    }
    return fd >= 0 && HX2UnixIO::writeAll(fd, reply.toDatagram(), kReplyWriteTimeoutMs);
}
