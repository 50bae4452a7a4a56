// Slow links, in one run:
//  1. the compressors alone, on 100 MB of log-like text and on 100 MB of
//     random bytes, each against `cat` of the same bytes: zstd at levels 1
//     and 3 and with --adapt, and lz4 (why the pipelines run zstd -1 -T1);
//  2. on the real-ZFS bench (root, zfs-fuse), the appliance and the server
//     joined by a veth pair between two network namespaces of their own,
//     both ends throttled to 10 MB/s by tc's token bucket: the same 200 MB
//     stream sent by the raw pipeline `zfs send | pv | sshpass ssh zfs recv`
//     and as the engine's compressed upload task, for compressible data
//     (text and zero-filled files) and incompressible data (random); then
//     with the link unthrottled, the engine's compressed upload of the
//     random stream against its uncompressed one, taking turns, medians
//     compared.
// Each figure is printed as a ratio to its baseline of the same run, next
// to its goal.
#include "benchdriver.h"
#include "zbench.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <memory>

using zbench::Bench;
using zbench::Host;

namespace {

const char* const kApplianceAddress = "10.77.0.1";
const char* const kServerAddress = "10.77.0.2";
// 10 MB/s as tc counts it.
const char* const kLinkRate = "80mbit";
// Uploads of each kind over the unthrottled link, whose speed varies with
// what else the machine runs.
constexpr int kFastRounds = 7;

double seconds(const QElapsedTimer& t)
{
    return double(t.nsecsElapsed()) / 1e9;
}

// Shell text printing 100 MB of log lines (dates, words, numbers), as an
// appliance's files hold; the same every time.
QString logLines()
{
    return "perl -e 'srand(7); my @w = qw(backup snapshot dataset pool server upload restore stream error info "
           "warning client session user file path tank home data transfer); my $n = 0; while ($n < 100000000) { "
           "my $l = sprintf(qq(2026-03-%02d %02d:%02d:%02d %s %s %d %s\\n), 1 + int(rand 28), int(rand 24), "
           "int(rand 60), int(rand 60), $w[rand @w], $w[rand @w], int(rand 100000), join(q( ), map { $w[rand @w] } "
           "1 .. 3 + int(rand 7))); print $l; $n += length $l }'";
}

// ---- 1. The compressors alone

struct Codec
{
    const char* label;
    const char* command;
};

// Seconds the command takes to turn file into its output (counted, not
// kept), best of three; the output's size in *bytes.
double timed(const QString& command, const QString& file, qint64* bytes)
{
    double best = 1e9;
    for (int round = 0; round < 3; ++round) {
        QElapsedTimer t;
        t.start();
        const zbench::Result r = zbench::runLocal("bash", {"-c", command + " < '" + file + "' | wc -c"}, 120000);
        best = std::min(best, seconds(t));
        *bytes = r.text().toLongLong();
    }
    return best;
}

void compressorFigures()
{
    QTemporaryDir dir;
    const QString text = dir.path() + "/text", random = dir.path() + "/random";
    zbench::runLocal("bash", {"-c", logLines() + " > '" + text + "' && head -c 100000000 /dev/urandom > '" + random + "'"},
                     120000);
    qint64 plain = 0;
    const double catText = timed("cat", text, &plain);
    const qint64 textBytes = plain;
    const double catRandom = timed("cat", random, &plain);
    const Codec codecs[] = {{"zstd -1 -T1", "zstd -1 -T1 -q -c"},
                            {"zstd -3 -T1", "zstd -3 -T1 -q -c"},
                            {"zstd --adapt -T1", "zstd --adapt -T1 -q -c"},
                            {"lz4 -1", "lz4 -1 -q -c"}};
    std::printf("compressors alone, one pass over 100 MB (cat: %.0f MB/s text, %.0f MB/s random):\n",
                textBytes / 1e6 / catText, plain / 1e6 / catRandom);
    for (const Codec& c : codecs) {
        qint64 textOut = 0, randomOut = 0;
        const double t = timed(c.command, text, &textOut);
        const double r = timed(c.command, random, &randomOut);
        std::printf("  %-18s text %5.0f MB/s, %.2f:1;  random %5.0f MB/s, %.3f:1\n", c.label, textBytes / 1e6 / t,
                    double(textBytes) / double(textOut), plain / 1e6 / r, double(plain) / double(randomOut));
    }
}

// ---- 2. The link

// Two network namespaces joined by a veth pair (the appliance's end
// kApplianceAddress, the server's kServerAddress), each held by a process
// of this benchmark, and a second sshd of the bench's server listening in
// the server's one. Nothing outside the two namespaces is touched; both
// vanish with their holders.
class ThrottledLink
{
public:
    ~ThrottledLink() { stop(); }

    bool start(Bench& b, QString* why)
    {
        for (auto* holder : {&m_appHolder, &m_srvHolder}) {
            *holder = std::make_unique<QProcess>();
            (*holder)->start("unshare", {"-n", "sleep", "infinity"});
            if (!(*holder)->waitForStarted(5000)) {
                *why = "cannot make a network namespace";
                return false;
            }
        }
        QThread::msleep(200);
        const QString srvNet = netPath(m_srvHolder);
        if (!inNet(m_appHolder, "ip link add vxsa type veth peer name vxsb netns " +
                                    QString::number(m_srvHolder->processId())) ||
            !inNet(m_appHolder, QStringLiteral("ip addr add %1/24 dev vxsa && ip link set vxsa up && ip link set lo up")
                                    .arg(kApplianceAddress)) ||
            !inNet(m_srvHolder, QStringLiteral("ip addr add %1/24 dev vxsb && ip link set vxsb up && ip link set lo up")
                                    .arg(kServerAddress))) {
            *why = "cannot make the veth pair (no veth in this kernel?)";
            return false;
        }
        // The bench's sshd, once more, in the server's mount namespace and
        // the link's server end.
        const QString dir = b.stateDir() + "/srv";
        QFile in(dir + "/sshd_config"), out(dir + "/sshd_link_config");
        if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly)) {
            *why = "cannot read the bench's sshd configuration";
            return false;
        }
        QByteArray config;
        for (const QByteArray& line : in.readAll().split('\n')) {
            if (!line.startsWith("Port ") && !line.startsWith("ListenAddress ") && !line.startsWith("PidFile "))
                config += line + '\n';
        }
        config += QByteArray("Port 22\nListenAddress ") + kServerAddress + "\nPidFile " + dir.toUtf8() +
                  "/sshd_link.pid\n";
        out.write(config);
        out.close();
        m_sshd = std::make_unique<QProcess>();
        m_sshd->start("nsenter", {"-t", QString::number(b.holderPid(Host::Server)), "-m", "--net=" + srvNet, "--",
                                  "/usr/sbin/sshd", "-D", "-f", dir + "/sshd_link_config", "-E",
                                  dir + "/sshd_link.log"});
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 10000 && !inNet(m_srvHolder, "ss -Htln 'sport = :22' | grep -q ."))
            QThread::msleep(50);
        if (!inNet(m_srvHolder, "ss -Htln 'sport = :22' | grep -q .")) {
            *why = "the link's sshd did not start";
            return false;
        }
        return true;
    }

    // 10 MB/s each way, or the veth's own speed.
    bool throttle(bool on)
    {
        bool ok = true;
        for (const auto& [holder, dev] : {std::pair<QProcess*, QString>{m_appHolder.get(), "vxsa"},
                                          std::pair<QProcess*, QString>{m_srvHolder.get(), "vxsb"}}) {
            inNet(holder, "tc qdisc del dev " + dev + " root 2>/dev/null; true");
            if (on)
                ok = ok && inNet(holder, QStringLiteral("tc qdisc add dev %1 root tbf rate %2 burst 64kb latency 400ms")
                                             .arg(dev, kLinkRate));
        }
        return ok;
    }

    // The appliance's commands run in its namespace, then in the link's.
    QStringList wrapper() const { return {"nsenter", "--net=" + netPath(m_appHolder), "--"}; }

    void stop()
    {
        for (auto* p : {&m_sshd, &m_appHolder, &m_srvHolder}) {
            if (*p) {
                (*p)->kill();
                (*p)->waitForFinished(5000);
                p->reset();
            }
        }
    }

private:
    static QString netPath(const std::unique_ptr<QProcess>& holder)
    {
        return QStringLiteral("/proc/%1/ns/net").arg(holder->processId());
    }

    static bool inNet(const std::unique_ptr<QProcess>& holder, const QString& command)
    {
        return inNet(holder.get(), command);
    }

    static bool inNet(QProcess* holder, const QString& command)
    {
        return zbench::runLocal("nsenter", {QStringLiteral("--net=/proc/%1/ns/net").arg(holder->processId()), "--",
                                            "bash", "-c", command},
                                30000)
            .ok();
    }

    std::unique_ptr<QProcess> m_appHolder;
    std::unique_ptr<QProcess> m_srvHolder;
    std::unique_ptr<QProcess> m_sshd;
};

// Seconds the raw pipeline takes to send ds@vxr_1 over the link; negative
// when it failed.
double rawSend(Bench& b, const ThrottledLink& link, const QString& ds)
{
    QElapsedTimer t;
    t.start();
    const zbench::Result r = b.run(
        Host::Appliance,
        link.wrapper() + QStringList{"bash", "-c",
                                     QStringLiteral("set -o pipefail; zfs send %1@vxr_1 | pv -q | sshpass -e ssh -o "
                                                    "'StrictHostKeyChecking no' root@%2 '/usr/sbin/zfs recv -Fu %1'")
                                         .arg(ds, kServerAddress)},
        600000, {{"SSHPASS", b.password()}});
    const double s = seconds(t);
    if (!r.ok())
        std::printf("raw pipeline of %s failed: %s\n", qPrintable(ds), r.err.constData());
    return r.ok() ? s : -1;
}

struct EngineRun
{
    // From the task's start, and from pv's.
    double taskS = -1;
    double transferS = -1;
};

// An engine over the link, compressing or not, that uploads on request.
class LinkEngine
{
public:
    bool start(Bench& b, const ThrottledLink& link, bool compress, const QString& name)
    {
        BenchLink to;
        to.host = kServerAddress;
        to.port = 22;
        to.wrapper = link.wrapper();
        to.config = QJsonObject{{"compress", compress ? "zstd" : "none"}};
        m_compress = compress;
        QString why;
        if (!m_driver.start(b, b.stateDir() + "/bench-slowlink-" + name, QJsonArray(), false, &why, to)) {
            std::printf("engine: %s\n", qPrintable(why));
            return false;
        }
        return true;
    }

    // One upload task of ds, which the server lacks.
    EngineRun upload(const QString& ds)
    {
        EngineRun run;
        const int records = QJsonDocument::fromJson(m_driver.ask("log")).array().size();
        QElapsedTimer t;
        t.start();
        m_driver.ask("upload " + ds.toUtf8().toPercentEncoding("/@"));
        const bool metered = m_driver.waitForProgram("pv", 600000);
        const double pvAt = seconds(t);
        while (m_driver.queueLength() != 0 && t.elapsed() < 600000)
            QThread::msleep(20);
        const double end = seconds(t);
        const QJsonArray log = QJsonDocument::fromJson(m_driver.ask("log")).array();
        if (!metered || log.size() != records + 1 || !log.at(0).toObject().value("message").toString().contains("Upload Success")) {
            std::printf("engine upload of %s failed\n", qPrintable(ds));
            return run;
        }
        run.taskS = end;
        run.transferS = end - pvAt;
        return run;
    }

    // Ends the engine; false when its streams were not (or were)
    // compressed as asked.
    bool stop()
    {
        const QByteArray out = m_driver.stop();
        const bool compressed = out.contains("| zstd -1 -T1 -q -c | sshpass");
        if (compressed != m_compress)
            std::printf("engine: the streams were %scompressed\n%s\n", m_compress ? "not " : "", out.right(2000).constData());
        return compressed == m_compress;
    }

private:
    BenchDriver m_driver;
    bool m_compress = false;
};

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? -1 : values.at(values.size() / 2);
}

// ds on the appliance: 100 MB of log-like text and 100 MB of zeros, or
// 200 MB of random bytes, in its snapshot @vxr_1.
bool makeData(Bench& b, const QString& ds, bool compressible, QString* why)
{
    if (!b.run(Host::Appliance, {"zfs", "create", ds}).ok()) {
        *why = "cannot create " + ds;
        return false;
    }
    if (compressible) {
        const QString m = b.mountpoint(Host::Appliance, ds);
        const zbench::Result r = b.sh(Host::Appliance,
                                      logLines() + " > '" + m + "/text.log' && head -c 100000000 /dev/zero > '" + m +
                                          "/zeros'",
                                      600000);
        if (!r.ok()) {
            *why = QString::fromUtf8(r.err);
            return false;
        }
    } else if (!b.fill(Host::Appliance, ds, 42, 50, 4000000, why)) {
        return false;
    }
    return b.run(Host::Appliance, {"zfs", "snapshot", ds + "@vxr_1"}).ok();
}

struct Figure
{
    const char* what;
    double value;
    double baseline;
    double goal;
};

void printFigure(const Figure& f)
{
    const double ratio = f.baseline / f.value;
    std::printf("  %-52s %.2fx (goal >= %.2fx) %s\n", f.what, ratio, f.goal, ratio >= f.goal ? "met" : "NOT MET");
}

// The seconds of every run of one measurement.
struct Measured
{
    double rawText = -1, rawRandom = -1;
    EngineRun engineText, engineRandom;
    QList<double> plainS, packedS, plainTaskS, packedTaskS;

    bool complete() const
    {
        return rawText > 0 && rawRandom > 0 && engineText.transferS > 0 && engineRandom.transferS > 0 &&
               !plainS.contains(-1) && !packedS.contains(-1);
    }
};

// The runs over the link, throttled and then not; false when one failed.
bool measure(Bench& b, ThrottledLink& link, const QString& text, const QString& random, Measured* m)
{
    auto again = [&](const QString& ds) { b.destroy(Host::Server, ds); };
    LinkEngine packed, plain;
    if (!packed.start(b, link, true, "zstd") || !plain.start(b, link, false, "plain"))
        return false;
    m->rawText = rawSend(b, link, text);
    again(text);
    m->engineText = packed.upload(text);
    again(text);
    m->rawRandom = rawSend(b, link, random);
    again(random);
    m->engineRandom = packed.upload(random);
    again(random);

    // Unthrottled the link is as fast as the machine: the two uploads take
    // turns, and their medians are compared.
    link.throttle(false);
    for (int round = 0; round < kFastRounds; ++round) {
        for (LinkEngine* engine : {&plain, &packed}) {
            const EngineRun r = engine->upload(random);
            again(random);
            (engine == &plain ? m->plainS : m->packedS) << r.transferS;
            (engine == &plain ? m->plainTaskS : m->packedTaskS) << r.taskS;
        }
    }
    const bool compressedAsAsked = packed.stop() && plain.stop();
    return compressedAsAsked && m->complete();
}

void report(const Measured& m)
{
    std::printf("throttled, raw pipeline:           text %.1f s, random %.1f s\n", m.rawText, m.rawRandom);
    std::printf("throttled, engine with zstd:       text %.1f s (task %.1f s), random %.1f s (task %.1f s)\n",
                m.engineText.transferS, m.engineText.taskS, m.engineRandom.transferS, m.engineRandom.taskS);
    std::printf("unthrottled, engine plain / zstd:  random, median of %d: %.2f s (task %.2f s) / %.2f s (task %.2f s); "
                "best %.2f s / %.2f s\n",
                kFastRounds, median(m.plainS), median(m.plainTaskS), median(m.packedS), median(m.packedTaskS),
                *std::min_element(m.plainS.begin(), m.plainS.end()), *std::min_element(m.packedS.begin(), m.packedS.end()));
    std::printf("throughput ratios (transfer from pv's start; whole task in brackets):\n");
    const Figure figures[] = {
        {"throttled, compressible: engine zstd / raw", m.engineText.transferS, m.rawText, 2.0},
        {"throttled, incompressible: engine zstd / raw", m.engineRandom.transferS, m.rawRandom, 0.95},
        {"unthrottled, incompressible: engine zstd / plain", median(m.packedS), median(m.plainS), 0.9},
    };
    for (const Figure& f : figures)
        printFigure(f);
    std::printf("  (whole task: %.2fx, %.2fx, %.2fx)\n", m.rawText / m.engineText.taskS,
                m.rawRandom / m.engineRandom.taskS, median(m.plainTaskS) / median(m.packedTaskS));
}

int linkFigures()
{
    const QString skip = Bench::skipReason();
    if (!skip.isEmpty()) {
        std::printf("slow link: not measured (%s)\n", qPrintable(skip));
        return 0;
    }
    Bench b;
    QString why;
    if (b.start(&why) != Bench::StartResult::Up) {
        std::printf("slow link: bench did not start: %s\n", qPrintable(why));
        return 1;
    }
    ThrottledLink link;
    const QString text = "tank/slc", random = "tank/sli";
    if (!link.start(b, &why) || !link.throttle(true) || !makeData(b, text, true, &why) ||
        !makeData(b, random, false, &why)) {
        std::printf("slow link: cannot prepare: %s\n", qPrintable(why));
        return 1;
    }
    for (const QString& ds : {text, random}) {
        const QString send = "/run/zfs/zfs.real send " + ds + "@vxr_1";
        const qint64 stream = b.sh(Host::Appliance, send + " | wc -c").text().toLongLong();
        const qint64 packed = b.sh(Host::Appliance, send + " | zstd -1 -T1 -q -c | wc -c").text().toLongLong();
        std::printf("stream of %s: %.1f MB, %.2f:1 by zstd -1\n", qPrintable(ds), stream / 1e6,
                    double(stream) / double(std::max<qint64>(1, packed)));
    }
    std::printf("link: veth pair between two network namespaces, tc tbf at %s (10 MB/s) on both ends\n", kLinkRate);
    Measured m;
    const bool measured = measure(b, link, text, random, &m);
    link.stop();
    b.stop();
    if (!measured)
        return 1;
    report(m);
    return 0;
}

} // namespace

int main()
{
    compressorFigures();
    return linkFigures();
}
