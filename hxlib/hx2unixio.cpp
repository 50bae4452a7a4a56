#include "hx2unixio.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace HX2UnixIO {

bool writeAll(int fd, const QByteArray& data, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    const char* p = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t n = ::send(fd, p, size_t(left), MSG_NOSIGNAL);
        if (n > 0) {
            p += n;
            left -= n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const qint64 remaining = timeoutMs - clock.elapsed();
            if (remaining <= 0)
                return false;
            pollfd pfd{fd, POLLOUT, 0};
            const int r = ::poll(&pfd, 1, int(remaining));
            if (r < 0 && errno != EINTR)
                return false;
            if (r > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)))
                return false;
            continue;
        }
        return false;
    }
    return true;
}

QString socketPath(const QString& name)
{
    if (name.startsWith(QLatin1Char('/')))
        return name;
    return QDir::tempPath() + QLatin1Char('/') + name;
}

namespace {

// A blocking connect bounded by timeoutMs. The descriptor, or -1 with the
// reason in *error.
int connectBlocking(const QString& path, int timeoutMs, int* error)
{
    *error = EINVAL;
    const QByteArray encoded = QFile::encodeName(path);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (encoded.isEmpty() || size_t(encoded.size()) >= sizeof addr.sun_path)
        return -1;
    std::memcpy(addr.sun_path, encoded.constData(), size_t(encoded.size()));

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    // A blocking connect on a Unix socket waits for room in a full listen
    // queue, bounded by the send time-out.
    timeval tv{};
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int r;
    do {
        r = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (r < 0 && errno == EINTR);
    if (r < 0 && errno != EISCONN) { // EISCONN: an interrupted connect completed
        *error = errno;
        ::close(fd);
        return -1;
    }
    tv = timeval{};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return fd;
}

} // namespace

int connectTo(const QString& path, int timeoutMs)
{
    int error = 0;
    const int fd = connectBlocking(path, timeoutMs, &error);
    if (fd >= 0)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

bool listenerAnswers(const QString& path, int timeoutMs)
{
    int error = 0;
    const int fd = connectBlocking(path, timeoutMs, &error);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    return error == EAGAIN || error == ETIMEDOUT;
}

} // namespace HX2UnixIO
