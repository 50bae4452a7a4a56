// Local RPC server benchmark. In one run, on one machine:
//   baseline: a minimal blocking Unix-socket echo server (a thread per
//             connection, reads one frame, writes the same bytes back);
//   server:   HX2LocalServer with a router whose handler sets code 0.
// Both are driven by the same blocking clients sending the same request
// frame. Printed: requests per second and p50/p99 round-trip latency for 1,
// 8 and 64 concurrent connections with the ratio server/baseline; CPU time
// of 200 idle connections over 10 s; resident memory with 1000 concurrent
// connections, all of which must be answered.
#include "hx2localserver.h"
#include "hx2rpcpacket.h"
#include "hx2todorouter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class BenchRouter : public HX2TodoRouter
{
    Q_OBJECT
private slots:
    void bench_ping(QJsonObject*, QJsonObject, HX2Cabinet* envObject) { envObject->setErr(0, QString()); }
};

sockaddr_un addressOf(const QString& path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray p = QFile::encodeName(path);
    std::memcpy(addr.sun_path, p.constData(), size_t(qMin<int>(p.size(), sizeof addr.sun_path - 1)));
    return addr;
}

int connectTo(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un addr = addressOf(path);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

bool readExact(int fd, char* p, size_t n)
{
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

bool writeAll(int fd, const char* p, size_t n)
{
    while (n > 0) {
        const ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

quint32 u32(const char* p)
{
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return quint32(u[0]) | quint32(u[1]) << 8 | quint32(u[2]) << 16 | quint32(u[3]) << 24;
}

// One whole frame into out (header included).
bool readFrame(int fd, std::vector<char>& out)
{
    out.resize(16);
    if (!readExact(fd, out.data(), 16))
        return false;
    const size_t body = size_t(u32(out.data() + 5)) + u32(out.data() + 9);
    out.resize(16 + body);
    return readExact(fd, out.data() + 16, body);
}

// The baseline: blocking echo of whole frames, a thread per connection.
class EchoServer
{
public:
    explicit EchoServer(const QString& path)
    {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_un addr = addressOf(path);
        ::unlink(addr.sun_path);
        if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || ::listen(m_fd, 1024) != 0)
            std::perror("echo server");
        m_accept = std::thread([this] {
            for (;;) {
                const int c = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0) {
                    if (errno == EINTR || errno == ECONNABORTED)
                        continue;
                    return;
                }
                std::thread([c] {
                    std::vector<char> frame;
                    while (readFrame(c, frame) && writeAll(c, frame.data(), frame.size())) {
                    }
                    ::close(c);
                }).detach();
            }
        });
    }
    ~EchoServer()
    {
        ::shutdown(m_fd, SHUT_RDWR);
        m_accept.join();
        ::close(m_fd);
    }

private:
    int m_fd = -1;
    std::thread m_accept;
};

// HX2LocalServer on its own event loop thread.
class RealServer
{
public:
    explicit RealServer(const QString& path)
    {
        m_thread.start();
        m_context = new QObject;
        m_server = new HX2LocalServer;
        m_server->add(&m_router);
        m_context->moveToThread(&m_thread);
        m_server->moveToThread(&m_thread);
        bool ok = false;
        QMetaObject::invokeMethod(m_context, [&] { ok = m_server->start(path); }, Qt::BlockingQueuedConnection);
        if (!ok)
            std::fprintf(stderr, "HX2LocalServer cannot listen on %s\n", qPrintable(path));
    }
    ~RealServer()
    {
        QMetaObject::invokeMethod(m_context, [this] { delete m_server; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
        delete m_context;
    }
    HX2LocalServer* server() const { return m_server; }

private:
    BenchRouter m_router;
    QThread m_thread;
    QObject* m_context = nullptr;
    HX2LocalServer* m_server = nullptr;
};

struct Load {
    double perSecond = 0;
    double p50us = 0;
    double p99us = 0;
    long failures = 0;
};

Load drive(const QString& path, int connections, const QByteArray& request, std::chrono::milliseconds duration)
{
    std::vector<std::vector<double>> latencies(static_cast<size_t>(connections));
    std::atomic<long> failures{0};
    std::atomic<bool> measuring{false};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < connections; ++i) {
        threads.emplace_back([&, i] {
            const int fd = connectTo(path);
            if (fd < 0) {
                ++failures;
                return;
            }
            std::vector<char> reply;
            auto& mine = latencies[size_t(i)];
            mine.reserve(200000);
            while (!done) {
                const auto t0 = Clock::now();
                if (!writeAll(fd, request.constData(), size_t(request.size())) || !readFrame(fd, reply)) {
                    ++failures;
                    break;
                }
                if (measuring)
                    mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            }
            ::close(fd);
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // warm-up
    measuring = true;
    const auto start = Clock::now();
    std::this_thread::sleep_for(duration);
    measuring = false;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    done = true;
    for (auto& t : threads)
        t.join();

    std::vector<double> all;
    for (auto& v : latencies)
        all.insert(all.end(), v.begin(), v.end());
    Load load;
    load.failures = failures;
    if (all.empty())
        return load;
    std::sort(all.begin(), all.end());
    load.perSecond = double(all.size()) / seconds;
    load.p50us = all[all.size() / 2];
    load.p99us = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    return load;
}

double cpuSeconds()
{
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

long statusKb(const char* field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(std::strlen(field))).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// Opens n connections, sends one request on each, then sends nothing.
std::vector<int> openIdle(const QString& path, int n, const QByteArray& request, int* answered)
{
    std::vector<int> fds;
    for (int i = 0; i < n; ++i) {
        const int fd = connectTo(path);
        if (fd < 0)
            break;
        fds.push_back(fd);
    }
    for (int fd : fds)
        writeAll(fd, request.constData(), size_t(request.size()));
    int ok = 0;
    std::vector<char> reply;
    for (int fd : fds) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 10000) == 1 && readFrame(fd, reply))
            ++ok;
    }
    if (answered)
        *answered = ok;
    return fds;
}

void closeAll(std::vector<int>& fds)
{
    for (int fd : fds)
        ::close(fd);
    fds.clear();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    rlimit rl{};
    ::getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &rl);

    QTemporaryDir dir;
    const QString echoPath = dir.filePath("echo.sock");
    const QString realPath = dir.filePath("server.sock");
    const QByteArray request =
        HX2RpcPacket::make(QStringLiteral("bench_ping"), 9999, QJsonObject{{"seq", 1}}).toDatagram();
    const auto duration = std::chrono::milliseconds(argc > 1 ? std::atoi(argv[1]) : 2000);

    std::printf("Local RPC round trips, %zu-byte request frame, %lld ms per point, %u cores\n",
                size_t(request.size()), static_cast<long long>(duration.count()), std::thread::hardware_concurrency());
    std::printf("%-6s | %12s %9s %9s | %12s %9s %9s | %7s %7s %7s\n", "conns", "echo req/s", "p50 us", "p99 us",
                "server req/s", "p50 us", "p99 us", "x req/s", "x p50", "x p99");
    {
        EchoServer echo(echoPath);
        RealServer real(realPath);
        for (int conns : {1, 8, 64}) {
            const Load base = drive(echoPath, conns, request, duration);
            const Load srv = drive(realPath, conns, request, duration);
            std::printf("%-6d | %12.0f %9.1f %9.1f | %12.0f %9.1f %9.1f | %7.2f %7.2f %7.2f%s\n", conns,
                        base.perSecond, base.p50us, base.p99us, srv.perSecond, srv.p50us, srv.p99us,
                        srv.perSecond / base.perSecond, srv.p50us / base.p50us, srv.p99us / base.p99us,
                        base.failures + srv.failures ? "  (failures!)" : "");
        }

        // Idle connections: all threads parked, nothing to do.
        const int idleCount = 200;
        const double idleSeconds = 10.0;
        for (int which = 0; which < 2; ++which) {
            int answered = 0;
            std::vector<int> idle = openIdle(which == 0 ? echoPath : realPath, idleCount, request, &answered);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const double c0 = cpuSeconds();
            std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
            const double used = cpuSeconds() - c0;
            std::printf("%s: %d idle connections (%d answered) used %.3f CPU s in %.0f s = %.3f%% of one core\n",
                        which == 0 ? "echo  " : "server", int(idle.size()), answered, used, idleSeconds,
                        100.0 * used / idleSeconds);
            closeAll(idle);
        }

        // Memory with 1000 concurrent connections, each answered once.
        const int many = 1000;
        for (int which = 0; which < 2; ++which) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            const long before = statusKb("VmRSS:");
            int answered = 0;
            std::vector<int> fds = openIdle(which == 0 ? echoPath : realPath, many, request, &answered);
            const long during = statusKb("VmRSS:");
            std::printf("%s: %d concurrent connections, %d answered; RSS %ld kB -> %ld kB (+%ld kB, %.1f kB each)\n",
                        which == 0 ? "echo  " : "server", int(fds.size()), answered, before, during, during - before,
                        double(during - before) / many);
            if (which == 1)
                std::printf("server: %d connection threads live\n", real.server()->connectionCount());
            closeAll(fds);
        }
    }
    std::printf("process peak RSS (VmHWM): %ld kB\n", statusKb("VmHWM:"));
    return 0;
}

#include "bench_localserver.moc"
