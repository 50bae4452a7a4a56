// Soak benchmark: the real service (vxrclient) inside the bench's appliance
// for a bounded time (10 minutes, or --minutes N) under mixed load, under a
// command such as heaptrack with --wrap 'COMMAND LINE':
//   - 50 clients, each on its own connection (half of them kept, half made
//     again for every call), calling the listing and cancel commands in a
//     loop, every reply checked against what it must be;
//   - a scheduled upload every few minutes (the daily time re-saved a minute
//     ahead through the socket), with files added and removed on the
//     appliance and a new snapshot before each;
//   - a restore of an older snapshot into a target beside the live dataset
//     after every upload but the first;
//   - a status report each minute to the stand-in management server;
//   - peers that send half a frame and close, stall mid-frame, send a whole
//     request and leave before the reply, or send bytes that are no frame.
// Each minute it samples the service's VmRSS, anonymous memory, threads and
// open descriptors and prints them with the requests served and the wrong
// replies of that minute. At the end every upload and restore has been
// compared with the appliance's data (bench checksums), and the end values
// are printed as ratios to the baseline (goal: memory within 5%, threads
// and descriptors within a handful). The baseline is the first sample
// taken after a whole cycle has run: two uploads, a restore and a status
// report. Before that the service has not yet loaded the network and TLS
// libraries of its first report and transfer (about 4 MB of mapped files)
// nor made the heaps of its first busy threads; the cold first minute's
// ratios are printed too, for reference.
//
// Exit status 0 when every reply and every copy was right, 1 otherwise; 0
// with "not measured" where this machine cannot host the bench.
#include "hx2runner.h"
#include "vxroplog.h"
#include "zbench.h"
#include "../tests/hxlib/rpctestsupport.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <dirent.h>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using zbench::Bench;
using zbench::Host;

namespace {

const int kClients = 50;
const int kBadPeers = 5;
const int kReplyTimeoutMs = 120000;
// ssh logins the clients may hold at once for the server's listing; the
// server's sshd refuses unauthenticated connections beyond ten.
const int kRemoteSlots = 2;
const QStringList kDatasets{QStringLiteral("tank/soak1"), QStringLiteral("tank/soak2")};

QString stamp(const QElapsedTimer& run)
{
    const qint64 s = run.elapsed() / 1000;
    return QStringLiteral("[%1:%2]").arg(s / 60, 2, 10, QChar('0')).arg(s % 60, 2, 10, QChar('0'));
}

// What all threads share: the socket, the stop flag and the tallies.
struct Shared
{
    QString socket;
    std::atomic<bool> stop{false};
    std::atomic<long> served{0};
    std::atomic<long> wrong{0};
    std::atomic<long> abuses{0};
    std::atomic<int> maxIndex{0};
    std::atomic<int> remoteSlots{kRemoteSlots};
    std::mutex mutex;
    QStringList faults; // guarded by mutex: the first wrong replies

    void fault(const QString& what)
    {
        wrong.fetch_add(1);
        std::lock_guard<std::mutex> lock(mutex);
        if (faults.size() < 20)
            faults << what;
    }
};

// One request on a connection, kept or made for it; false with *why when no
// well-formed reply came. Replies carry no correlation key: on one
// connection they come in the order of the requests.
class Caller
{
public:
    Caller(const QString& socket, bool keep) : m_socket(socket), m_keep(keep) {}

    bool call(const QJsonObject& request, QJsonObject* reply, QString* why)
    {
        if ((!m_keep || m_client.fd() < 0) && !m_client.connectTo(m_socket)) {
            *why = QStringLiteral("no connection");
            return false;
        }
        const bool ok = exchange(request, reply, why);
        if (!ok || !m_keep)
            m_client.close();
        return ok;
    }

private:
    bool exchange(const QJsonObject& request, QJsonObject* reply, QString* why)
    {
        if (!m_client.send(frameOf(request))) {
            *why = QStringLiteral("the request could not be written");
            return false;
        }
        QElapsedTimer t;
        t.start();
        do {
            if (!m_client.readFrame(*reply, int(qMax<qint64>(1, kReplyTimeoutMs - t.elapsed())))) {
                *why = QStringLiteral("no reply");
                return false;
            }
        } while (reply->isEmpty());
        return true;
    }

    QString m_socket;
    bool m_keep;
    RawClient m_client;
};

// What one probe sends and what its reply must be.
struct Probe
{
    QString cmd;
    QJsonObject params;
    int err;
};

QJsonArray records(const QJsonObject& reply)
{
    return reply.value("results").toObject().value("records").toArray();
}

// The task indexes a listing shows, and the highest of them.
QList<int> indexesOf(const QJsonArray& records)
{
    QList<int> out;
    for (const QJsonValue& v : records)
        out << v.toObject().value("index").toInt();
    return out;
}

// A load client: the listing and cancel commands in a loop, each reply
// checked.
class LoadClient
{
public:
    LoadClient(Shared& shared, int id) : m_shared(shared), m_caller(shared.socket, id % 2 == 0), m_random(id) {}

    void run()
    {
        while (!m_shared.stop.load()) {
            probe(pick());
            std::this_thread::sleep_for(std::chrono::milliseconds(100 + m_random() % 900));
        }
    }

private:
    Probe pick()
    {
        switch (m_random() % 12) {
        case 0: return {"vxrclient_settingload", {}, 0};
        case 1: return {"vxrclient_zfstorage", {}, 0};
        case 2: return {"vxrclient_snapshot", {{"dmpath", kDatasets.at(0)}}, 0};
        case 3: return {"vxrclient_local_loadby", {{"dmpath", kDatasets.at(1)}}, 0};
        case 4: return {"vxrclient_snapshot", {{"dmpath", "-r"}}, 9889};
        case 5: return remoteListing();
        case 6: return {"vxrclient_log_alload", {}, 0};
        case 7: return finishedCancel();
        case 8: return {"vxrclient_task_cancel", {{"index", 0}}, 9995};
        case 9: return {"help_interfaces", {}, 0};
        case 10: return {"vxrclient_nosuch", {}, 9885};
        default: return {"vxrclient_task_alload", {}, 0};
        }
    }

    Probe remoteListing()
    {
        int spare = m_shared.remoteSlots.load();
        while (spare > 0 && !m_shared.remoteSlots.compare_exchange_weak(spare, spare - 1)) {
        }
        if (spare <= 0)
            return {"vxrclient_task_alload", {}, 0};
        m_holdsSlot = true;
        return {"vxrclient_remote_loadby", {}, 0};
    }

    // Indexes up to the highest known before a listing that the listing
    // does not show are finished tasks; without any, one never given.
    Probe finishedCancel()
    {
        const int known = m_shared.maxIndex.load();
        const QJsonArray queue = probe({"vxrclient_task_alload", {}, 0});
        const QList<int> live = indexesOf(queue);
        int highest = known;
        for (int i : live)
            highest = qMax(highest, i);
        QList<int> finished;
        for (int i = 1; i <= highest; ++i) {
            if (!live.contains(i))
                finished << i;
        }
        const int index = finished.isEmpty() ? 1000000 + int(m_random() % 1000)
                                             : finished.at(int(m_random() % uint(finished.size())));
        return {"vxrclient_task_cancel", {{"index", index}}, 9994};
    }

    // Sends the probe and checks the reply; the records of a listing.
    QJsonArray probe(const Probe& p)
    {
        QJsonObject request{{"cmd", p.cmd}};
        if (!p.params.isEmpty())
            request.insert("params", p.params);
        QJsonObject reply;
        QString why;
        const bool replied = m_caller.call(request, &reply, &why);
        if (m_holdsSlot) {
            m_holdsSlot = false;
            m_shared.remoteSlots.fetch_add(1);
        }
        if (!replied) {
            m_shared.fault(p.cmd + ": " + why);
            return QJsonArray();
        }
        m_shared.served.fetch_add(1);
        const QString problem = check(p, reply);
        if (!problem.isEmpty())
            m_shared.fault(p.cmd + ": " + problem + " " + QJsonDocument(reply).toJson(QJsonDocument::Compact).left(300));
        return records(reply);
    }

    QString check(const Probe& p, const QJsonObject& reply)
    {
        if (reply.value("err").toInt(-1) != p.err)
            return QStringLiteral("err %1 where %2 was due").arg(reply.value("err").toInt(-1)).arg(p.err);
        if (p.err != 0)
            return QString();
        const QJsonObject results = reply.value("results").toObject();
        if (p.cmd == "vxrclient_settingload")
            return results.value("dmpaths").toArray() == QJsonArray::fromStringList(kDatasets)
                       ? QString() : QStringLiteral("other datasets");
        if (p.cmd == "vxrclient_task_alload")
            return taskProblem(results.value("records").toArray());
        if (p.cmd.contains("snapshot") || p.cmd.contains("loadby") || p.cmd.contains("log_"))
            return results.value("records").isArray() ? QString() : QStringLiteral("no records");
        return results.isEmpty() ? QStringLiteral("no results") : QString();
    }

    QString taskProblem(const QJsonArray& records)
    {
        for (const QJsonValue& v : records) {
            if (v.toObject().contains("passwd"))
                return QStringLiteral("a task listed with its password");
            int seen = m_shared.maxIndex.load();
            const int index = v.toObject().value("index").toInt();
            while (index > seen && !m_shared.maxIndex.compare_exchange_weak(seen, index)) {
            }
        }
        return QString();
    }

    Shared& m_shared;
    Caller m_caller;
    std::mt19937 m_random;
    bool m_holdsSlot = false;
};

// A peer that misbehaves in its own way, in a loop: half a frame then
// close; a whole request then close before the reply; half a frame held
// for a while; half a frame held until the service drops it (which it must
// do within its frame time-out); bytes that are no frame.
void badPeer(Shared& shared, int kind)
{
    std::mt19937 random(1000 + kind);
    const QByteArray request = frameOf(QJsonObject{{"cmd", "vxrclient_log_alload"}});
    while (!shared.stop.load()) {
        RawClient c;
        if (!c.connectTo(shared.socket)) {
            shared.fault(QStringLiteral("bad peer %1: no connection").arg(kind));
        } else if (kind == 0) {
            c.send(request.left(16 + int(random() % uint(request.size() - 16))));
        } else if (kind == 1) {
            c.send(request);
        } else if (kind == 2) {
            c.send(request.left(10));
            std::this_thread::sleep_for(std::chrono::milliseconds(500 + random() % 8000));
        } else if (kind == 3) {
            QElapsedTimer held;
            held.start();
            c.send(headerOf(1000, 0) + "{\"cmd\":");
            const bool dropped = c.waitClosed(45000);
            if (!dropped && !shared.stop.load())
                shared.fault(QStringLiteral("a half-sent frame held for %1 s").arg(held.elapsed() / 1000));
        } else {
            c.send(QByteArray("GET / HTTP/1.0\r\n\r\n"));
            if (!c.waitClosed(10000) && !shared.stop.load())
                shared.fault(QStringLiteral("bytes that are no frame did not close the connection"));
        }
        c.close();
        shared.abuses.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(200 + random() % 800));
    }
}

// One sample of the service's process.
struct Sample
{
    int minute = 0;
    long rssKb = 0;
    long anonKb = 0;
    long threads = 0;
    long fds = 0;
    long served = 0;
    long wrong = 0;
    int reports = 0;
    int transfers = 0;
};

bool sampleOf(qint64 pid, Sample* s)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.value(0) == "VmRSS:")
            s->rssKb = words.value(1).toLong();
        else if (words.value(0) == "RssAnon:")
            s->anonKb = words.value(1).toLong();
        else if (words.value(0) == "Threads:")
            s->threads = words.value(1).toLong();
    }
    DIR* dir = ::opendir(QStringLiteral("/proc/%1/fd").arg(pid).toLocal8Bit().constData());
    if (!dir)
        return false;
    s->fds = 0;
    while (dirent* e = ::readdir(dir))
        s->fds += e->d_name[0] != '.';
    ::closedir(dir);
    return true;
}

void printRow(const Sample& s)
{
    std::printf("%6d %8.1f %8.1f %8ld %6ld %9ld %7ld %8d %10d\n", s.minute, s.rssKb / 1024.0, s.anonKb / 1024.0,
                s.threads, s.fds, s.served, s.wrong, s.reports, s.transfers);
    std::fflush(stdout);
}

// Lines of the receiver's record so far: the reports posted.
int lineCount(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    int lines = 0;
    while (!f.readLine(1 << 20).isEmpty())
        ++lines;
    return lines;
}

// The first line a stand-in prints, once it listens; empty after 10 s.
QByteArray firstLine(QProcess& p)
{
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (!out.contains('\n') && t.elapsed() < 10000) {
        p.waitForReadyRead(100);
        out += p.readAllStandardOutput();
    }
    return out.left(out.indexOf('\n'));
}

// The service's own process: the spawned one once its wrappers have
// exec'd, else one below it.
qint64 serviceProcess(qint64 spawned)
{
    for (qint64 p : QList<qint64>{spawned} + HX2Runner::descendants(spawned)) {
        QFile comm(QStringLiteral("/proc/%1/comm").arg(p));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "vxrclient")
            return p;
    }
    return 0;
}

void printRatios(const char* label, const Sample& base, const Sample& end)
{
    std::printf("end (minute %d) / baseline (%s, minute %d): RSS %.1f/%.1f MB = %.3f, anon %.1f/%.1f MB = %.3f "
                "(goal within 5%%); threads %ld/%ld (%+ld), fds %ld/%ld (%+ld) (goal within a handful)\n",
                end.minute, label, base.minute, end.rssKb / 1024.0, base.rssKb / 1024.0,
                double(end.rssKb) / base.rssKb, end.anonKb / 1024.0, base.anonKb / 1024.0,
                double(end.anonKb) / base.anonKb, end.threads, base.threads, end.threads - base.threads, end.fds,
                base.fds, end.fds - base.fds);
}

// The service's threads by name.
QString threadNames(qint64 pid)
{
    QMap<QString, int> names;
    for (const QString& task : QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(QStringLiteral("/proc/%1/task/%2/comm").arg(pid).arg(task));
        if (comm.open(QIODevice::ReadOnly))
            ++names[QString::fromUtf8(comm.readAll().trimmed())];
    }
    QStringList out;
    for (auto it = names.cbegin(); it != names.cend(); ++it)
        out << QStringLiteral("%1 x%2").arg(it.key()).arg(it.value());
    return out.join(", ");
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && f.open(QIODevice::WriteOnly)
        && f.write(bytes) == bytes.size();
}

} // namespace

namespace {

// The run: the bench, the stand-ins, the service, the load and the checks.
class Soak
{
public:
    // wrapper: a command line the service runs under (such as heaptrack),
    // or none.
    Soak(double minutes, const QStringList& wrapper) : m_limitMs(qint64(minutes * 60000)), m_wrapper(wrapper) {}
    ~Soak() { teardown(); }

    // Bench, data, stand-ins, service and its settings; false with the
    // reason printed.
    bool setUp();
    // The load, the transfers and the samples until the time is up; then
    // the service stopped. Exit status of the benchmark.
    int run();

private:
    bool makeData();
    bool startStandins();
    bool startService();
    bool saveSettings(const QTime& at);
    QJsonObject ask(const QJsonObject& request);
    bool change(int cycle);
    bool upload(int cycle);
    bool restore(int cycle);
    bool waitForLog(int action, int count, int timeoutMs);
    void sampler();
    bool checkReports();
    bool checkLog();
    bool stopService();
    void summary();
    void teardown();
    void failed(const QString& why);

    qint64 m_limitMs;
    QStringList m_wrapper;
    Bench m_bench;
    QTemporaryDir m_root;
    QString m_record;
    QString m_output;
    std::unique_ptr<QProcess> m_agent, m_receiver, m_service;
    qint64 m_pid = 0;
    QString m_url;
    Shared m_shared;
    QElapsedTimer m_run;
    QElapsedTimer m_load;
    std::vector<std::thread> m_threads;
    std::thread m_samplerThread;
    // Each snapshot made, with the checksum of its dataset then.
    QList<QPair<QString, QString>> m_snapshots;
    std::atomic<int> m_transfers{0};
    int m_uploads = 0;
    int m_restores = 0;
    int m_failures = 0;
    std::mutex m_sampleMutex;
    std::vector<Sample> m_samples; // guarded by m_sampleMutex
    Sample m_idleBefore, m_idleAfter;
    QString m_idleThreads;
};

void Soak::failed(const QString& why)
{
    ++m_failures;
    std::printf("%s FAILED: %s\n", qPrintable(stamp(m_run)), qPrintable(why));
    std::fflush(stdout);
}

bool Soak::setUp()
{
    m_run.start();
    QString message;
    if (m_bench.start(&message) != Bench::StartResult::Up) {
        std::printf("soak: bench did not start: %s\n", qPrintable(message));
        return false;
    }
    if (!makeData() || !startStandins() || !startService())
        return false;
    const QTime at = QTime::currentTime().addSecs(20);
    return saveSettings(QTime(at.hour(), at.minute()).addSecs(60));
}

bool Soak::makeData()
{
    for (const QString& ds : kDatasets) {
        if (!m_bench.run(Host::Appliance, {"zfs", "create", ds}).ok()) {
            std::printf("soak: cannot create %s\n", qPrintable(ds));
            return false;
        }
    }
    return change(0);
}

bool Soak::startStandins()
{
    m_record = m_root.filePath("received");
    m_receiver = std::make_unique<QProcess>();
    m_receiver->start(STANDIN_RECEIVER, {"--record", m_record});
    const QByteArray listening = firstLine(*m_receiver);
    QFile program(STANDIN_VXRHELPER);
    if (!listening.startsWith("listening http://") || !QDir().mkpath(m_root.filePath("kozu/sbin"))
        || !program.copy(m_root.filePath("kozu/sbin/vxr_helper"))
        || !QDir().mkpath(m_root.filePath("run/kozu/localsockets"))) {
        std::printf("soak: the management server stand-in did not start\n");
        return false;
    }
    m_url = QString::fromUtf8(listening.mid(10)) + "/report";
    m_agent = m_bench.spawn(Host::Appliance, {STANDIN_AGENT, "--socket",
                                              m_root.filePath("run/kozu/localsockets/.ls.hubcore.agent."),
                                              "--results", R"({"model":"soak"})"});
    if (!m_agent || !firstLine(*m_agent).startsWith("listening")) {
        std::printf("soak: the platform agent stand-in did not start\n");
        return false;
    }
    return true;
}

// The service's output goes to a file: read by nobody for many minutes, a
// pipe would fill and stop it.
bool Soak::startService()
{
    m_shared.socket = m_root.filePath("agent.sock");
    m_output = m_root.filePath("service.out");
    const QJsonObject config{{"vg", "tank"}, {"lv", "soak1"}, {"localagentid", m_shared.socket},
                             {"vxrserverurl", m_url}, {"uploadlog", m_root.filePath("upload.log")}};
    if (!writeFile(m_root.filePath("kozu/etc/vxrclient/config.json"), QJsonDocument(config).toJson()))
        return false;
    m_service = m_bench.spawn(Host::Appliance,
                              QStringList{"/bin/sh", "-c", R"(exec "$@" >"$0" 2>&1)", m_output} + m_wrapper
                                  + QStringList{VXRCLIENT_BIN},
                              {{"VXR_FILES_ROOT", m_root.path()}});
    for (int i = 0; m_service && i < 150 && ask({{"cmd", "vxrclient_task_alload"}}).value("err").toInt(-1) != 0; ++i)
        QThread::msleep(100);
    m_pid = m_service ? serviceProcess(m_service->processId()) : 0;
    if (m_pid == 0 || ask({{"cmd", "vxrclient_task_alload"}}).value("err").toInt(-1) != 0) {
        QFile out(m_output);
        out.open(QIODevice::ReadOnly);
        std::printf("soak: the service did not answer (process %lld); its output:\n%s\n", m_pid,
                    out.readAll().right(4000).constData());
        return false;
    }
    return true;
}

bool Soak::saveSettings(const QTime& at)
{
    const QJsonObject server{{"host", m_bench.serverHost()}, {"port", m_bench.port()}, {"uid", "root"},
                             {"pwd", m_bench.password()}, {"interval", 600},
                             {"schedule", QJsonArray{QJsonObject{{"hour", at.hour()}, {"minute", at.minute()}}}}};
    const QJsonObject params{{"active", 1}, {"report", QJsonObject{{"interval", 1}}}, {"server", server},
                             {"dmpaths", QJsonArray::fromStringList(kDatasets)}};
    const int err = ask({{"cmd", "vxrclient_settingsave"}, {"params", params}}).value("err").toInt(-1);
    if (err != 0)
        failed(QStringLiteral("settingsave answered %1").arg(err));
    else
        std::printf("%s daily upload at %s\n", qPrintable(stamp(m_run)), qPrintable(at.toString("HH:mm")));
    return err == 0;
}

// The controller's own requests, on a connection of their own.
QJsonObject Soak::ask(const QJsonObject& request)
{
    Caller caller(m_shared.socket, false);
    QJsonObject reply;
    QString why;
    return caller.call(request, &reply, &why) ? reply : QJsonObject{{"err", -1}, {"why", why}};
}

} // namespace

namespace {

// Files added to each dataset (removing those of two cycles back), then a
// snapshot of it and its checksum.
bool Soak::change(int cycle)
{
    const QString name = QStringLiteral("vxr_") + QDateTime::currentDateTime().toString("yyyyMMddhhmmss");
    for (int i = 0; i < kDatasets.size(); ++i) {
        const QString& ds = kDatasets.at(i);
        QString err;
        const quint32 seed = quint32(100 * (i + 1) + cycle);
        if (!m_bench.fill(Host::Appliance, ds, seed, cycle == 0 ? 4 : 2, cycle == 0 ? 3000000 : 1500000, &err)) {
            failed(QStringLiteral("cannot fill %1: %2").arg(ds, err));
            return false;
        }
        if (cycle >= 2) {
            const QString old = m_bench.mountpoint(Host::Appliance, ds) + QStringLiteral("/zb-%1").arg(seed - 2);
            m_bench.run(Host::Appliance, {"rm", "-rf", old});
        }
        if (!m_bench.run(Host::Appliance, {"zfs", "snapshot", ds + "@" + name}).ok()) {
            failed(QStringLiteral("cannot snapshot %1").arg(ds));
            return false;
        }
        const QString sum = m_bench.checksum(Host::Appliance, ds, &err);
        if (sum.isEmpty()) {
            failed(QStringLiteral("cannot checksum %1: %2").arg(ds, err));
            return false;
        }
        m_snapshots << qMakePair(ds + "@" + name, sum);
    }
    return true;
}

// The newest recorded snapshot of ds counting back `back`, with its sum.
QPair<QString, QString> recorded(const QList<QPair<QString, QString>>& snapshots, const QString& ds, int back)
{
    for (int i = snapshots.size() - 1; i >= 0; --i) {
        if (snapshots.at(i).first.startsWith(ds + "@") && back-- == 0)
            return snapshots.at(i);
    }
    return {};
}

// Waits until the operation log holds `count` records of the action and
// the queue is empty.
bool Soak::waitForLog(int action, int count, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs && m_service->state() != QProcess::NotRunning) {
        int logged = 0;
        for (const QJsonValue& v : records(ask({{"cmd", "vxrclient_log_alload"}})))
            logged += v.toObject().value("action").toInt() == action;
        if (logged >= count && ask({{"cmd", "vxrclient_task_alload"}}).value("results").toObject().value("records")
                                   == QJsonArray())
            return true;
        QThread::msleep(500);
    }
    return false;
}

// The scheduled upload of the latest snapshots: both datasets on the
// server as on the appliance, file for file.
bool Soak::upload(int cycle)
{
    if (!waitForLog(VxrLog::kActionUpload, (cycle + 1) * kDatasets.size(), 300000)) {
        failed(QStringLiteral("upload %1 did not run to its end").arg(cycle + 1));
        return false;
    }
    ++m_uploads;
    m_transfers.fetch_add(1);
    bool same = true;
    for (const QString& ds : kDatasets) {
        QString err;
        const QString sum = m_bench.checksum(Host::Server, ds, &err);
        const bool ok = m_bench.snapshots(Host::Server, ds) == m_bench.snapshots(Host::Appliance, ds)
                        && sum == recorded(m_snapshots, ds, 0).second;
        if (!ok)
            failed(QStringLiteral("upload %1: %2 on the server differs (%3)").arg(cycle + 1).arg(ds, err));
        same = same && ok;
    }
    std::printf("%s upload %d: %s\n", qPrintable(stamp(m_run)), cycle + 1, same ? "both datasets byte for byte" : "DIFFERS");
    return same;
}

// An older snapshot of one dataset into a new dataset beside it; the copy
// compared with that snapshot's checksum, the live dataset untouched.
bool Soak::restore(int cycle)
{
    const QString ds = kDatasets.at(cycle % kDatasets.size());
    const QPair<QString, QString> snap = recorded(m_snapshots, ds, 1);
    const QString target = ds + QStringLiteral("-r%1").arg(cycle);
    const QJsonObject params{{"server", m_bench.serverHost()}, {"port", m_bench.port()}, {"userid", "root"},
                             {"passwd", m_bench.password()}, {"dmpath", ds},
                             {"snapshot", snap.first.section('@', 1)}, {"target", target}};
    const QJsonObject reply = ask({{"cmd", "vxrclient_restore"}, {"params", params}});
    if (reply.value("err").toInt(-1) != 0 || !waitForLog(VxrLog::kActionRestore, m_restores + 1, 300000)) {
        failed(QStringLiteral("restore of %1 into %2 did not run: %3")
                   .arg(snap.first, target, QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Compact))));
        return false;
    }
    ++m_restores;
    m_transfers.fetch_add(1);
    QString err;
    const QStringList snaps = m_bench.snapshots(Host::Appliance, target);
    const bool ok = m_bench.checksum(Host::Appliance, target, &err) == snap.second
                    && snaps.value(snaps.size() - 1) == target + "@" + snap.first.section('@', 1)
                    && m_bench.checksum(Host::Appliance, ds, &err) == recorded(m_snapshots, ds, 0).second;
    if (!ok)
        failed(QStringLiteral("restore of %1 into %2 differs (%3)").arg(snap.first, target, err));
    std::printf("%s restore of %s into %s: %s\n", qPrintable(stamp(m_run)), qPrintable(snap.first),
                qPrintable(target), ok ? "byte for byte" : "DIFFERS");
    if (!m_bench.destroy(Host::Appliance, target, &err))
        failed(QStringLiteral("cannot destroy %1: %2").arg(target, err));
    return ok;
}

// A sample at every whole minute of the load until it stops.
void Soak::sampler()
{
    long served = 0;
    long wrong = 0;
    for (int minute = 1;; ++minute) {
        while (m_load.elapsed() < minute * 60000LL && !m_shared.stop.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (m_shared.stop.load())
            return;
        Sample s;
        s.minute = minute;
        if (!sampleOf(m_pid, &s)) {
            m_shared.fault(QStringLiteral("the service's process is gone at minute %1").arg(minute));
            return;
        }
        s.served = m_shared.served.load() - served;
        s.wrong = m_shared.wrong.load() - wrong;
        served += s.served;
        wrong += s.wrong;
        s.reports = lineCount(m_record);
        s.transfers = m_transfers.load();
        printRow(s);
        std::lock_guard<std::mutex> lock(m_sampleMutex);
        m_samples.push_back(s);
    }
}

} // namespace

namespace {

// A cycle: new data and snapshot, a daily time re-saved, the upload, a
// restore; the next starts only when one fits in the time left (at least
// two run, so that a restore is among them).
const qint64 kCycleMs = 120000;

const char* kHeader = "minute   RSS MB  anon MB  threads    fds    served  errors  reports  transfers\n";

int Soak::run()
{
    sampleOf(m_pid, &m_idleBefore);
    m_load.start();
    for (int i = 0; i < kClients; ++i)
        m_threads.emplace_back([this, i] { LoadClient(m_shared, i).run(); });
    for (int i = 0; i < kBadPeers; ++i)
        m_threads.emplace_back([this, i] { badPeer(m_shared, i); });
    m_samplerThread = std::thread([this] { sampler(); });
    std::printf("%s load: %d clients (%d on kept connections), %d misbehaving peers, for %.1f minutes\n%s",
                qPrintable(stamp(m_run)), kClients, kClients / 2, kBadPeers, m_limitMs / 60000.0, kHeader);
    std::fflush(stdout);
    for (int cycle = 0; m_service->state() != QProcess::NotRunning; ++cycle) {
        upload(cycle);
        if (cycle > 0)
            restore(cycle);
        if (cycle >= 1 && m_load.elapsed() + kCycleMs > m_limitMs)
            break;
        const QTime at = QTime::currentTime().addSecs(20);
        if (!change(cycle + 1) || !saveSettings(QTime(at.hour(), at.minute()).addSecs(60)))
            break;
    }
    while (m_load.elapsed() < m_limitMs && m_service->state() != QProcess::NotRunning)
        QThread::msleep(500);
    m_shared.stop.store(true);
    for (std::thread& t : m_threads)
        t.join();
    m_threads.clear();
    m_samplerThread.join();
    // The connections' threads end once their peers are gone.
    QThread::msleep(3000);
    sampleOf(m_pid, &m_idleAfter);
    m_idleThreads = threadNames(m_pid);
    const bool reports = checkReports();
    const bool log = checkLog();
    const bool stopped = stopService();
    summary();
    return m_failures == 0 && m_shared.wrong.load() == 0 && reports && log && stopped ? 0 : 1;
}

// One report a minute (the first due a minute after the settings), each a
// well-formed post without the password.
bool Soak::checkReports()
{
    QFile f(m_record);
    int count = 0;
    bool ok = f.open(QIODevice::ReadOnly);
    while (ok && !f.atEnd()) {
        const QJsonObject request = QJsonDocument::fromJson(f.readLine(1 << 24)).object();
        const QString body = request.value("body").toString();
        ok = request.value("method") == "POST" && !body.contains(m_bench.password())
             && QJsonDocument::fromJson(body.toUtf8()).object().value("cmd") == "device_living";
        count += ok;
    }
    const int due = int(m_load.elapsed() / 60000) - 1;
    ok = ok && count >= due;
    std::printf("status reports: %d received, %d due at least%s\n", count, due, ok ? "" : "  FAILED");
    return ok;
}

// Every upload and restore succeeded once in the operation log; nothing
// failed or was cancelled.
bool Soak::checkLog()
{
    const QJsonObject reply = ask({{"cmd", "vxrclient_log_alload"}});
    int uploaded = 0;
    int restored = 0;
    int other = 0;
    for (const QJsonValue& v : records(reply)) {
        const QString message = v.toObject().value("message").toString();
        uploaded += message == VxrLog::kUploadSuccess;
        restored += message == VxrLog::kRestoreSuccess;
        other += message != VxrLog::kUploadSuccess && message != VxrLog::kRestoreSuccess;
    }
    const bool ok = reply.value("err").toInt(-1) == 0 && uploaded == m_uploads * kDatasets.size()
                    && restored == m_restores && other == 0;
    std::printf("operation log: %d uploads, %d restores succeeded, %d other records%s\n", uploaded, restored, other,
                ok ? "" : "  FAILED");
    return ok;
}

// SIGTERM: the service ends with 0, and its output holds no password.
bool Soak::stopService()
{
    if (m_service->state() == QProcess::NotRunning) {
        std::printf("the service ended by itself during the run  FAILED\n");
        return false;
    }
    ::kill(pid_t(m_pid), SIGTERM);
    const bool ended = m_service->waitForFinished(30000);
    QFile out(m_output);
    const QByteArray text = out.open(QIODevice::ReadOnly) ? out.readAll() : QByteArray();
    const bool ok = ended && m_service->exitStatus() == QProcess::NormalExit && m_service->exitCode() == 0
                    && !text.contains(m_bench.password().toUtf8());
    std::printf("service stopped by SIGTERM: %s, exit code %d, %.1f MB of output without the password%s\n",
                ended ? "ended" : "still running", m_service->exitCode(), text.size() / 1e6, ok ? "" : "  FAILED");
    return ok;
}

void Soak::summary()
{
    std::lock_guard<std::mutex> lock(m_sampleMutex);
    std::printf("\nsamples of the service each minute of the load:\n%s", kHeader);
    for (const Sample& s : m_samples)
        printRow(s);
    if (!m_samples.empty()) {
        // The baseline: the first sample after a whole cycle (two uploads,
        // a restore, a report), which a leak would still grow from.
        const Sample& end = m_samples.back();
        const Sample* warm = nullptr;
        for (const Sample& s : m_samples) {
            if (s.reports >= 1 && s.transfers >= 3) {
                warm = &s;
                break;
            }
        }
        if (warm && warm != &end) {
            printRatios("after the first whole cycle", *warm, end);
            const bool met = end.rssKb <= warm->rssKb * 105 / 100 && std::labs(end.threads - warm->threads) <= 5
                             && std::labs(end.fds - warm->fds) <= 5;
            std::printf("goal (RSS within 5%%, threads and fds within 5): %s\n", met ? "met" : "NOT MET");
        } else {
            std::printf("no baseline: the run ended before a whole cycle and a later sample\n");
        }
        printRatios("cold, for reference", m_samples.front(), end);
    }
    std::printf("idle before the load: %ld threads, %ld fds, RSS %.1f MB; after it: %ld threads, %ld fds, RSS %.1f MB\n",
                m_idleBefore.threads, m_idleBefore.fds, m_idleBefore.rssKb / 1024.0, m_idleAfter.threads,
                m_idleAfter.fds, m_idleAfter.rssKb / 1024.0);
    std::printf("threads after the load: %s\n", qPrintable(m_idleThreads));
    const double seconds = m_load.elapsed() / 1000.0;
    std::printf("requests served: %ld (%.1f/s), wrong replies: %ld, misbehaving connections: %ld\n",
                m_shared.served.load(), m_shared.served.load() / seconds, m_shared.wrong.load(),
                m_shared.abuses.load());
    std::printf("uploads: %d (%d datasets each), restores: %d, failed checks: %d\n", m_uploads,
                int(kDatasets.size()), m_restores, m_failures);
    std::lock_guard<std::mutex> faults(m_shared.mutex);
    for (const QString& f : m_shared.faults)
        std::printf("  wrong: %s\n", qPrintable(f));
}

void Soak::teardown()
{
    m_shared.stop.store(true);
    for (std::thread& t : m_threads)
        t.join();
    m_threads.clear();
    if (m_samplerThread.joinable())
        m_samplerThread.join();
    for (QProcess* p : {m_service.get(), m_agent.get(), m_receiver.get()}) {
        if (p && p->state() != QProcess::NotRunning) {
            p->kill();
            p->waitForFinished(5000);
        }
    }
    if (m_pid > 0 && QFile::exists(QStringLiteral("/proc/%1").arg(m_pid)))
        ::kill(pid_t(m_pid), SIGKILL);
    m_bench.stop();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    double minutes = 10;
    const QStringList args = app.arguments();
    const int at = args.indexOf("--minutes");
    if (at > 0) {
        bool ok = false;
        minutes = args.value(at + 1).toDouble(&ok);
        if (!ok || minutes < 1 || minutes > 24 * 60) {
            std::fprintf(stderr, "usage: bench_soak [--minutes N] [--wrap 'COMMAND LINE']   (N from 1 to 1440, "
                                 "default 10)\n");
            return 2;
        }
    }
    const int wrap = args.indexOf("--wrap");
    const QStringList wrapper = wrap > 0 ? args.value(wrap + 1).split(' ', Qt::SkipEmptyParts) : QStringList();
    const QString why = Bench::skipReason();
    if (!why.isEmpty()) {
        std::printf("soak: not measured (%s)\n", qPrintable(why));
        return 0;
    }
    Soak soak(minutes, wrapper);
    if (!soak.setUp())
        return 1;
    return soak.run();
}
