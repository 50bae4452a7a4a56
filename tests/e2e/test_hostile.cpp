// A backup server that misbehaves on cue (zfs-compat's hostile cues on the
// bench's server) against every flow of the appliance that talks to it:
// the server's listing over the socket, a queued upload, the full restore
// over the socket and dsrecover. Each flow must end within its bound with
// its refusal or failure record, run no zfs command on the appliance with
// a name it could not check, leave no transfer program behind and keep
// the process's peak memory below kMaxPeakKb with the 64 MiB output cap.
#include "driverflow.h"
#include "hx2localserver.h"
#include "hx2utils.h"
#include "vxroplog.h"

#include "../printqt.h"

#include <cstdio>
#include <thread>

#ifndef DSRECOVER_BIN
#error "DSRECOVER_BIN must name the dsrecover program"
#endif
#ifndef STANDIN_RECEIVER
#error "STANDIN_AGENT, STANDIN_VXRHELPER and STANDIN_RECEIVER must name the stand-ins"
#endif

namespace {

// A query's output is capped at 64 MiB: the service or dsrecover may hold
// that and its copy, but no more.
constexpr qint64 kMaxPeakKb = 200 * 1024;

// The server's dataset the transfers restore, and the upload's dataset.
const QString kReal = QStringLiteral("tank/hreal");
const QString kUpload = QStringLiteral("tank/hup");

enum class Flow { Listing, Upload, Restore, Dsrecover };

const char* flowName(Flow f)
{
    switch (f) {
    case Flow::Listing: return "listing";
    case Flow::Upload: return "upload";
    case Flow::Restore: return "restore";
    case Flow::Dsrecover: return "dsrecover";
    }
    return "?";
}

// What one flow must end with: the reply's "err" (listing, restore), the
// newest operation-log record (upload, restore; empty when none is
// written), dsrecover's exit status, and the seconds it may take.
struct Expect
{
    int err = 0;
    const char* record = nullptr;
    int state = 0;
    int exitCode = 0;
    int boundSec = 0;
};

struct Case
{
    const char* cue;  // the server's cue word; "mountpoint" sets a property instead
    // Seconds after which the server ends its stalled listings (0: never).
    int releaseSec;
    QMap<Flow, Expect> flows;
};

// Fragments of the names the "names" cue lists that zfs would refuse; none
// may reach a zfs command on the appliance.
// ("tank/-Rhostile" is a name zfs makes; "-Rhostile" is not.)
const QStringList kRejected{"pwned", "reboot", " -Rhostile", "hostilexxxxxxxxxx", "hostile$'\\377"};

QList<Case> cases()
{
    using namespace VxrLog;
    return {
        {"flood", 0,
         {{Flow::Listing, {9999, nullptr, 0, 0, 60}},
          {Flow::Upload, {0, kCloudInfoFailed, kStateFailed, 0, 60}},
          {Flow::Restore, {9886, kCloudInfoFailed, kStateFailed, 0, 60}},
          {Flow::Dsrecover, {0, nullptr, 0, 255, 60}}}},
        {"names", 0,
         {{Flow::Listing, {9886, nullptr, 0, 0, 20}},
          {Flow::Upload, {0, kUploadFail, kStateFailed, 0, 30}},
          {Flow::Restore, {9886, kRestoreFail, kStateFailed, 0, 20}},
          {Flow::Dsrecover, {0, nullptr, 0, 255, 20}}}},
        // The listings wait an hour for a server that may hold a million
        // snapshots; the server ends its stall after 5 s. The upload's
        // query has 60 s.
        {"stall", 5,
         {{Flow::Listing, {9999, nullptr, 0, 0, 20}},
          {Flow::Upload, {0, kCloudInfoFailed, kStateFailed, 0, 80}},
          {Flow::Restore, {9886, kCloudInfoFailed, kStateFailed, 0, 20}},
          {Flow::Dsrecover, {0, nullptr, 0, 255, 20}}}},
        {"cut", 0,
         {{Flow::Listing, {0, nullptr, 0, 0, 20}},
          {Flow::Restore, {0, kRestoreFail, kStateFailed, 0, 60}},
          {Flow::Dsrecover, {0, nullptr, 0, 255, 60}}}},
        {"killed", 0,
         {{Flow::Listing, {0, nullptr, 0, 0, 20}},
          {Flow::Restore, {0, kRestoreFail, kStateFailed, 0, 60}},
          {Flow::Dsrecover, {0, nullptr, 0, 255, 60}}}},
        {"mountpoint", 0,
         {{Flow::Restore, {0, kRestoreSuccess, kStateSucceeded, 0, 60}},
          {Flow::Dsrecover, {0, nullptr, 0, 0, 60}}}},
    };
}

qint64 statusKb(qint64 pid, const char* key)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

class HostileServer : public DriverFlow
{
protected:
    void SetUp() override
    {
        DriverFlow::SetUp();
        if (IsSkipped())
            return;
        QFile log(bench().hostPath(Host::Appliance, "/run/zfs/argvlog"));
        ASSERT_TRUE(log.open(QIODevice::WriteOnly | QIODevice::Truncate));
    }

    void TearDown() override
    {
        if (!IsSkipped()) {
            setCue(QString());
            QFile::remove(bench().hostPath(Host::Appliance, "/run/zfs/argvlog"));
        }
        for (QProcess* p : {m_agent.get(), m_receiver.get()}) {
            if (p) {
                p->kill();
                p->waitForFinished(5000);
            }
        }
        DriverFlow::TearDown();
    }

    void setCue(const QString& cue)
    {
        const QString path = bench().hostPath(Host::Server, "/run/zfs/hostile");
        if (cue.isEmpty()) {
            releaseStalls();
            QFile::remove(path);
            return;
        }
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(cue.toUtf8() + "\n");
    }

    // Ends the server's stalled listings: the sleeps its cue recorded.
    void releaseStalls()
    {
        QFile f(bench().hostPath(Host::Server, "/run/zfs/hostile.stalled"));
        if (!f.open(QIODevice::ReadOnly))
            return;
        for (const QByteArray& pid : f.readAll().split('\n')) {
            QFile comm("/proc/" + pid + "/comm");
            if (!pid.isEmpty() && comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "sleep")
                ::kill(pid_t(pid.toLongLong()), SIGTERM);
        }
        f.close();
        f.remove();
    }

    QJsonObject call(const QString& cmd, const QJsonObject& params = QJsonObject(), int timeoutSec = 120)
    {
        QJsonObject request{{"cmd", cmd}};
        if (!params.isEmpty())
            request.insert("params", params);
        QJsonObject reply;
        if (!HX2LocalServer::localRequest(m_driver.root + "/agent.sock", request, &reply, timeoutSec))
            return QJsonObject{{"err", -1}};
        return reply;
    }

    // Transfer programs still running in the appliance.
    QStringList leftovers()
    {
        const zbench::Result r = zbench::runLocal(
            "pgrep", {"-a", "--ns", QString::number(bench().holderPid(Host::Appliance)), "--nslist", "mnt", "-x",
                      "sshpass|ssh|pv|zfs|zfs.real|script|zstd|lz4"},
            5000);
        return r.lines();
    }

    QStringList waitForNoLeftovers()
    {
        QStringList left = leftovers();
        for (int i = 0; i < 50 && !left.isEmpty(); ++i) {
            QThread::msleep(100);
            left = leftovers();
        }
        return left;
    }

    // The zfs commands the appliance ran with a name the server made up;
    // *logged counts all it ran.
    QStringList rejectedNamesRun(int* logged)
    {
        QFile f(bench().hostPath(Host::Appliance, "/run/zfs/argvlog"));
        QStringList bad;
        if (f.open(QIODevice::ReadOnly)) {
            const QStringList lines = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
            *logged = lines.size();
            for (const QString& line : lines) {
                for (const QString& fragment : kRejected) {
                    if (line.contains(fragment))
                        bad << line;
                }
            }
        }
        return bad;
    }

    // Waits until the queue is empty (after it showed a task or not).
    bool waitForIdle(int timeoutMs)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            if (tasks().isEmpty())
                return true;
            QThread::msleep(250);
        }
        return false;
    }

    // Runs one flow; its outcome as text, checked against want.
    QString runFlow(const Case& c, Flow flow, const Expect& want);
    QString listing(const Expect& want);
    QString upload(const Expect& want);
    QString restore(const Expect& want);
    QString dsrecover(const Expect& want, qint64* peakKb);
    void checkRecord(int before, const Expect& want, QString* outcome);

    // The service reporting every minute to the stand-in management
    // server, beside the stand-in agent and status program; the path of
    // the receiver's record of what it was posted.
    QString startReporting();

    qint64 m_dsrecoverPeakKb = 0;
    std::unique_ptr<QProcess> m_agent, m_receiver;
};

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

QString HostileServer::startReporting()
{
    Bench& b = bench();
    const QString record = b.stateDir() + "/hostile-received";
    m_receiver = std::make_unique<QProcess>();
    m_receiver->start(STANDIN_RECEIVER, {"--record", record});
    const QByteArray listening = firstLine(*m_receiver);
    EXPECT_TRUE(listening.startsWith("listening http://")) << listening.constData();

    m_driver = Driver();
    m_driver.root = b.stateDir() + "/e2e-hostile-report";
    const QString here = b.hostPath(Host::Appliance, m_driver.root);
    QDir(here).removeRecursively();
    EXPECT_TRUE(QDir().mkpath(here + "/kozu/sbin") && QDir().mkpath(here + "/run/kozu/localsockets")
                && QDir().mkpath(here + "/kozu/etc/vxrclientisp"));
    EXPECT_TRUE(QFile::copy(STANDIN_VXRHELPER, here + "/kozu/sbin/vxr_helper"));
    m_agent = b.spawn(Host::Appliance, {STANDIN_AGENT, "--socket", m_driver.root + "/run/kozu/localsockets/.ls.hubcore.agent.",
                                        "--results", R"({"model":"bench"})"});
    EXPECT_TRUE(m_agent && firstLine(*m_agent).startsWith("listening"));

    writeJson(here + "/config.json",
              {{"localagentid", m_driver.root + "/agent.sock"}, {"uploadlog", m_driver.root + "/upload.log"},
               {"vg", "tank"}, {"lv", "data"}, {"vxrserverurl", QString::fromUtf8(listening.mid(10)) + "/report"}});
    writeJson(here + "/kozu/etc/vxrclientisp/settings.json",
              {{"active", 1},
               {"report", QJsonObject{{"interval", 1}}},
               {"server", QJsonObject{{"host", b.serverHost()}, {"port", b.port()}, {"uid", "root"},
                                      {"pwd", b.password()}, {"interval", 600}}},
               {"dmpaths", QJsonArray{"tank/data"}}});
    m_driver.process = b.spawn(Host::Appliance, {ENGINE_DRIVER},
                               {{"VXR_FILES_ROOT", m_driver.root}, {"VXR_DRIVER_CONFIG", m_driver.root + "/config.json"}});
    EXPECT_TRUE(m_driver.process);
    if (m_driver.process)
        m_driver.pid = m_driver.process->processId();
    return record;
}

void HostileServer::checkRecord(int before, const Expect& want, QString* outcome)
{
    const QList<Record> log = records();
    QStringList added;
    for (int i = before; i < log.size(); ++i)
        added << QStringLiteral("%1 (%2)").arg(log.at(i).first).arg(log.at(i).second);
    if (!want.record) {
        EXPECT_EQ(added, QStringList());
        return;
    }
    std::printf("%s\n", qPrintable(added.join('\n')));
    ASSERT_GT(log.size(), before) << "no record";
    const Record last = log.last();
    *outcome += QStringLiteral(", record %1 (%2)").arg(last.first.left(60)).arg(last.second);
    EXPECT_TRUE(last.first.startsWith(want.record)) << qPrintable(last.first);
    EXPECT_EQ(last.second, want.state);
}

QString HostileServer::listing(const Expect& want)
{
    const QJsonObject reply = call("vxrclient_remote_loadby");
    const int err = reply.value("err").toInt(-1);
    EXPECT_EQ(err, want.err) << ::testing::PrintToString(reply).substr(0, 2000);
    return QStringLiteral("err %1, %2 records")
        .arg(err)
        .arg(reply.value("results").toObject().value("records").toArray().size());
}

QString HostileServer::upload(const Expect& want)
{
    const int before = records().size();
    ask("upload " + kUpload.toUtf8());
    EXPECT_TRUE(waitForIdle(want.boundSec * 1000));
    QString outcome = QStringLiteral("queue done");
    checkRecord(before, want, &outcome);
    return outcome;
}

QString HostileServer::restore(const Expect& want)
{
    Bench& b = bench();
    const int before = records().size();
    const QJsonObject reply = call("vxrclient_restore", {{"server", b.serverHost()}, {"port", b.port()},
                                                         {"userid", "root"}, {"passwd", b.password()}});
    const int err = reply.value("err").toInt(-1);
    EXPECT_EQ(err, want.err) << ::testing::PrintToString(reply);
    QString outcome = QStringLiteral("err %1").arg(err);
    if (err == 0) {
        EXPECT_TRUE(waitForIdle(want.boundSec * 1000));
    }
    checkRecord(before, want, &outcome);
    return outcome;
}

QString HostileServer::dsrecover(const Expect& want, qint64* peakKb)
{
    Bench& b = bench();
    const QString text = "exec " + toShellArgEscaped(DSRECOVER_BIN) + " 127.0.0.1 root \"$P\" tank hreal";
    auto p = b.spawn(Host::Appliance, {"/bin/bash", "-c", text}, {{"P", b.password()}});
    if (!p) {
        ADD_FAILURE() << "dsrecover did not start";
        return "not started";
    }
    const qint64 pid = p->processId();
    QElapsedTimer t;
    t.start();
    while (!p->waitForFinished(50) && t.elapsed() < want.boundSec * 1000)
        *peakKb = std::max(*peakKb, statusKb(pid, "VmHWM:"));
    if (p->state() != QProcess::NotRunning) {
        ADD_FAILURE() << "dsrecover still runs after " << want.boundSec << " s";
        ::kill(pid_t(pid), SIGTERM);
        p->waitForFinished(10000);
    }
    const QByteArray out = p->readAllStandardOutput().trimmed();
    EXPECT_EQ(p->exitCode(), want.exitCode) << out.constData();
    EXPECT_FALSE(out.contains(b.password().toUtf8()));
    return QStringLiteral("exit %1, \"%2\"").arg(p->exitCode()).arg(QString::fromUtf8(out.split('\n').last().left(70)));
}

QString HostileServer::runFlow(const Case& c, Flow flow, const Expect& want)
{
    // The server ends its stalls after a while; meanwhile the service
    // must go on answering other requests.
    int answeredDuringStall = -2;
    std::thread releaser;
    if (c.releaseSec > 0 && flow != Flow::Upload) {
        releaser = std::thread([&] {
            QThread::sleep(c.releaseSec);
            if (flow != Flow::Dsrecover)
                answeredDuringStall = call("vxrclient_task_alload", {}, 3).value("err").toInt(-1);
            releaseStalls();
        });
    }
    QString outcome;
    switch (flow) {
    case Flow::Listing: outcome = listing(want); break;
    case Flow::Upload: outcome = upload(want); break;
    case Flow::Restore: outcome = restore(want); break;
    case Flow::Dsrecover: outcome = dsrecover(want, &m_dsrecoverPeakKb); break;
    }
    if (releaser.joinable()) {
        releaser.join();
        if (flow != Flow::Dsrecover) {
            EXPECT_EQ(answeredDuringStall, 0) << "the service did not answer while its query stalled";
        }
    }
    return outcome;
}

} // namespace

TEST_F(HostileServer, EveryFlowEndsInItsBoundWithARefusal)
{
    Bench& b = bench();
    makeDataset(kUpload, 5100, 1, 256 * 1024);
    ASSERT_TRUE(b.run(Host::Server, {"zfs", "create", kReal}).ok());
    QString err;
    for (int i = 1; i <= 2; ++i) {
        ASSERT_TRUE(b.fill(Host::Server, kReal, 5200 + i, 2, 512 * 1024, &err)) << qPrintable(err);
        ASSERT_TRUE(b.run(Host::Server, {"zfs", "snapshot", kReal + QStringLiteral("@vxr_%1").arg(i)}).ok());
    }
    // Outside both pools, removed with the bench.
    const QString target = b.stateDir() + "/hostile-target";
    ASSERT_TRUE(QDir().mkpath(target));
    startDriver("hostile", {}, b.password());
    ASSERT_FALSE(HasFatalFailure());
    for (int i = 0; i < 150 && call("vxrclient_task_alload").value("err").toInt(-1) != 0; ++i)
        QThread::msleep(100);
    ASSERT_EQ(call("vxrclient_task_alload").value("err").toInt(-1), 0);

    int zfsRuns = 0;
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.cue);
        if (QByteArray(c.cue) == "mountpoint")
            ASSERT_TRUE(b.run(Host::Server, {"zfs", "set", "mountpoint=" + target, kReal}).ok());
        else
            setCue(c.cue);
        for (auto it = c.flows.cbegin(); it != c.flows.cend(); ++it) {
            SCOPED_TRACE(flowName(it.key()));
            QElapsedTimer t;
            t.start();
            const QString outcome = runFlow(c, it.key(), it.value());
            const double secs = t.elapsed() / 1000.0;
            const QStringList left = waitForNoLeftovers();
            std::printf("hostile %-10s %-9s %5.1f s  %s\n", c.cue, flowName(it.key()), secs, qPrintable(outcome));
            std::fflush(stdout);
            EXPECT_LE(secs, it.value().boundSec);
            EXPECT_EQ(left, QStringList());
            EXPECT_EQ(rejectedNamesRun(&zfsRuns), QStringList());
            if (QByteArray(c.cue) == "mountpoint") {
                const QString mounts = QString::fromUtf8(b.run(Host::Appliance, {"cat", "/proc/self/mountinfo"}).out);
                EXPECT_FALSE(mounts.contains(" " + target + " ")) << qPrintable(mounts);
                EXPECT_FALSE(b.mountpoint(Host::Appliance, kReal).isEmpty());
            }
            // What a failed transfer left, and what the upload put on the
            // server, must not clash with the next flow.
            b.destroy(Host::Appliance, kReal);
            if (b.run(Host::Server, {"zfs", "list", kUpload}).ok())
                b.destroy(Host::Server, kUpload);
        }
        setCue(QString());
    }
    for (const char* flag : {"/tmp/hostile-pwned"}) {
        EXPECT_FALSE(QFile::exists(b.hostPath(Host::Appliance, flag)));
        EXPECT_FALSE(QFile::exists(b.hostPath(Host::Server, flag)));
    }
    // The log saw the appliance's own zfs commands (the receives among them).
    EXPECT_GT(zfsRuns, 20);
    const qint64 servicePeak = statusKb(m_driver.pid, "VmHWM:");
    std::printf("hostile peak memory: service %lld KiB, dsrecover %lld KiB (bound %lld KiB)\n",
                static_cast<long long>(servicePeak), static_cast<long long>(m_dsrecoverPeakKb),
                static_cast<long long>(kMaxPeakKb));
    EXPECT_GT(servicePeak, 0);
    EXPECT_LE(servicePeak, kMaxPeakKb);
    EXPECT_GT(m_dsrecoverPeakKb, 0);
    EXPECT_LE(m_dsrecoverPeakKb, kMaxPeakKb);
}

// The report goes out every interval; a server that stalls its listing
// may cost one interval, after which the report goes without "backups".
TEST_F(HostileServer, StalledListingDelaysTheReportByOneIntervalAtMost)
{
    setCue("stall");
    QElapsedTimer t;
    t.start();
    const QString record = startReporting();
    ASSERT_FALSE(HasFailure());
    // The first report is due a minute after the start, its listing may
    // take the next; allow a loaded machine.
    QByteArray line;
    while (line.isEmpty() && t.elapsed() < 150000) {
        QThread::msleep(500);
        QFile f(record);
        if (f.open(QIODevice::ReadOnly))
            line = f.readLine();
    }
    const double secs = t.elapsed() / 1000.0;
    const QStringList left = waitForNoLeftovers();
    std::printf("hostile stall      report    %5.1f s  %s\n", secs, line.isEmpty() ? "no report" : "posted");
    ASSERT_FALSE(line.isEmpty()) << "no report; service output:\n" << m_driver.process->readAllStandardOutput().constData();
    const QJsonObject report = QJsonDocument::fromJson(
        QJsonDocument::fromJson(line).object().value("body").toString().toUtf8()).object();
    EXPECT_EQ(report.value("cmd"), "device_living");
    EXPECT_EQ(report.value("params").toObject().value("cloudserver").toObject().value("backups"), QJsonArray());
    EXPECT_EQ(left, QStringList());
}
