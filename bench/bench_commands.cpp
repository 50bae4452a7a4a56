// Command set benchmark. In one run, on one server: the application's
// router behind a socket server, its engine holding 100 queued tasks and
// 10,000 operation-log records. Measured round trip (request written to
// reply decoded, on a kept connection) of
//   baseline: "help_interfaces" (the router tree asked for every command's
//             help),
//   "vxrclient_task_alload" (100 tasks) and
//   "vxrclient_log_alload" (10,000 records, read from the log database),
// printed as p50/p99 and requests per second with 1 and 4 connections, each
// with its ratio to the baseline; then the server's share of it, split into
// running the command and writing the reply frame.
#include "appdata.h"
#include "vxrengine.h"
#include "hx2rpcpacket.h"
#include "phpaths.h"
#include "../tests/hxlib/rpctestsupport.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <thread>
#include <vector>
#include <unistd.h>

namespace {

struct Figures {
    double p50ms = 0;
    double p99ms = 0;
    double perSecond = 0;
    long failures = 0;
};

// Reads exactly n bytes from a blocking socket.
bool readExact(int fd, char* p, size_t n)
{
    while (n > 0) {
        const ssize_t r = ::read(fd, p, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

// One reply frame, undecoded: the client's own JSON parsing is not the
// service's time.
bool readFrameBytes(int fd, QByteArray& frame)
{
    frame.resize(16);
    if (!readExact(fd, frame.data(), 16))
        return false;
    const auto* h = reinterpret_cast<const unsigned char*>(frame.constData());
    auto u32 = [h](int at) { return quint32(h[at]) | quint32(h[at + 1]) << 8 | quint32(h[at + 2]) << 16 | quint32(h[at + 3]) << 24; };
    const qint64 body = qint64(u32(5)) + u32(9);
    frame.resize(int(16 + body));
    return readExact(fd, frame.data() + 16, size_t(body));
}

bool answeredZero(const QByteArray& frame)
{
    QByteArray buffer = frame;
    HX2RpcPacket reply;
    return reply.fromDatagram(buffer) == HX2RpcPacket::Decoded && reply.value("err").toInt(-1) == 0;
}

// Each of `connections` clients sends `perConnection` requests in turn;
// every reply is checked for "err" 0 after its time is taken.
Figures drive(const QString& socket, const QString& cmd, int connections, int perConnection)
{
    const QByteArray request = frameOf(QJsonObject{{"cmd", cmd}});
    std::vector<std::vector<double>> latencies{size_t(connections)};
    std::atomic<long> failures{0};
    std::vector<std::thread> threads;
    QElapsedTimer wall;
    wall.start();
    for (int c = 0; c < connections; ++c) {
        threads.emplace_back([&, c] {
            RawClient client;
            if (!client.connectTo(socket)) {
                failures += perConnection;
                return;
            }
            for (int i = 0; i < perConnection; ++i) {
                QElapsedTimer t;
                t.start();
                QByteArray frame;
                const bool replied = client.send(request) && readFrameBytes(client.fd(), frame);
                const double ms = double(t.nsecsElapsed()) / 1e6;
                if (!replied || !answeredZero(frame)) {
                    ++failures;
                    continue;
                }
                latencies[size_t(c)].push_back(ms);
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    const double seconds = double(wall.nsecsElapsed()) / 1e9;

    std::vector<double> all;
    for (const auto& l : latencies)
        all.insert(all.end(), l.begin(), l.end());
    Figures f;
    f.failures = failures.load();
    if (all.empty())
        return f;
    std::sort(all.begin(), all.end());
    f.p50ms = all[all.size() / 2];
    f.p99ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    f.perSecond = double(all.size()) / seconds;
    return f;
}

void report(const char* name, const Figures& f, const Figures& base)
{
    std::printf("  %-26s p50 %8.3f ms (x%.2f)  p99 %8.3f ms (x%.2f)  %9.0f req/s (x%.2f)%s\n", name, f.p50ms,
                f.p50ms / base.p50ms, f.p99ms, f.p99ms / base.p99ms, f.perSecond, f.perSecond / base.perSecond,
                f.failures ? "  FAILURES" : "");
}

// Where the server's time goes, without the socket: running the command
// (dispatch, handler, engine) and writing its reply frame; means in ms.
struct Split {
    double runMs = 0;
    double frameMs = 0;
    int bytes = 0;
};

Split split(HX2LocalServer* server, const QString& cmd, int n)
{
    Split s;
    for (int i = 0; i < n; ++i) {
        HX2Cabinet env;
        HX2RpcPacket reply;
        QElapsedTimer t;
        t.start();
        server->doCall(reply, QJsonObject{{"cmd", cmd}}, &env);
        env.toRetObject(reply, false);
        s.runMs += double(t.nsecsElapsed()) / 1e6 / n;
        t.restart();
        s.bytes = reply.toDatagram().size();
        s.frameMs += double(t.nsecsElapsed()) / 1e6 / n;
    }
    return s;
}

void report(const char* name, const Split& s, const Split& base)
{
    std::printf("  %-26s run %8.4f ms (x%.2f)  frame %8.4f ms (x%.2f)  %8d bytes\n", name, s.runMs,
                s.runMs / base.runMs, s.frameMs, s.frameMs / base.frameMs, s.bytes);
}

} // namespace

int main()
{
    testApp();
    QTemporaryDir root;
    PHPaths::setRoot(root.path());
    AppData* app = AppData::create();
    if (!app->init(QString())) {
        std::fprintf(stderr, "the engine refused its configuration\n");
        return 1;
    }

    // Queued only: no worker runs them.
    QList<VxrTask> tasks;
    for (int i = 0; i < 100; ++i)
        tasks << VxrTask::upload(QStringLiteral("tank/data%1").arg(i));
    app->engine.units().worker.queue().enqueue(tasks);
    for (int i = 0; i < 10000; ++i)
        app->engine.units().log.write(QStringLiteral("Information"),
                             QStringLiteral("##$@vxr@$##Upload Success##$@vxr@$##: tank/data%1").arg(i % 100), 2, 9);

    ServerHost host(&app->router);
    const QString socket = root.filePath("agent.sock");
    if (!host.start(socket)) {
        std::fprintf(stderr, "cannot listen on %s\n", qPrintable(socket));
        return 1;
    }

    struct Run {
        int connections;
        int small;   // requests per connection for the baseline and the tasks
        int large;   // for the log
    };
    for (const Run& run : {Run{1, 3000, 100}, Run{4, 1000, 40}}) {
        drive(socket, "help_interfaces", run.connections, 50);
        const Figures base = drive(socket, "help_interfaces", run.connections, run.small);
        const Figures taskFigures = drive(socket, "vxrclient_task_alload", run.connections, run.small);
        const Figures logFigures = drive(socket, "vxrclient_log_alload", run.connections, run.large);
        std::printf("%d connection%s:\n", run.connections, run.connections > 1 ? "s" : "");
        report("help_interfaces (base)", base, base);
        report("task_alload, 100 tasks", taskFigures, base);
        report("log_alload, 10000 records", logFigures, base);
    }
    std::printf("in the server's process, without the socket:\n");
    const Split base = split(host.server(), "help_interfaces", 2000);
    report("help_interfaces (base)", base, base);
    report("task_alload, 100 tasks", split(host.server(), "vxrclient_task_alload", 2000), base);
    report("log_alload, 10000 records", split(host.server(), "vxrclient_log_alload", 20), base);
    host.destroy();
    std::fflush(stdout);
    // The application object is never destroyed.
    std::_Exit(0);
}
