// Status report benchmark: the engine's resident memory before and after
// 1,000 reports (goal: flat within 1 MiB). Each report runs as the
// scheduler runs it, on a thread of its own, and goes through the real
// pieces: the stand-in platform agent on its socket, the stand-in status
// program, dpkg, and a post to the stand-in management server through the
// engine's pool. zfs and the server's listing answer from a script, as this
// machine has no pool or backup server.
//
// Printed: the anonymous resident memory (what a leak grows) after a
// warm-up of kWarmup reports (the baseline) and after 1,000 more (or the
// count given as the argument), their difference and ratio; the same once
// the allocator has handed its free memory back (malloc_trim), which tells
// a leak from memory the allocator keeps; and the reports per second. The
// engine's trace lines are dropped while it runs.
#include "phpaths.h"
#include "vxrclient.h"
#include "vxrengine.h"
#include "vxrreport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <thread>

#include <cstdlib>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

namespace {

const int kWarmup = 50;
const int kDefaultReports = 1000;

// The process's resident memory in KiB: its anonymous part (heap, stacks:
// what a leak grows) and all of it (with the pages of libraries in use).
struct Resident
{
    long anon = 0;
    long total = 0;
};

Resident resident()
{
    Resident r;
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return r;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.value(0) == "RssAnon:")
            r.anon = words.value(1).toLong();
        else if (words.value(0) == "VmRSS:")
            r.total = words.value(1).toLong();
    }
    return r;
}

// zfs and the server's listing from a script; every other program runs.
class ScriptedZfs : public VxrPrograms
{
public:
    HX2RunResult run(const VxrCommand& c) override
    {
        if (c.program == QLatin1String("sshpass"))
            return done("tank/a@vxr_20240102030405\t1.5G\t2M\ntank/a@vxr_20240103030405\t1.6G\t2M\n");
        if (c.args.contains(QStringLiteral("name,used,reservation")))
            return done("vxr/data\t123456789\t987654321\n");
        if (c.args.contains(QStringLiteral("used,refer")))
            return done("10G\t20G\n");
        return VxrPrograms::run(c);
    }

private:
    static HX2RunResult done(const QByteArray& out)
    {
        HX2RunResult r;
        r.started = r.finished = r.normalExit = r.ok = true;
        r.exitCode = 0;
        r.out = out;
        return r;
    }
};

// The first line a stand-in prints once it listens.
QByteArray listening(QProcess& p)
{
    QByteArray out;
    for (int waited = 0; waited < 10000 && !out.contains('\n'); waited += 100) {
        p.waitForReadyRead(100);
        out += p.readAllStandardOutput();
    }
    return out.startsWith("listening ") ? out.mid(10, out.indexOf('\n') - 10) : QByteArray();
}

// Read in pieces: a whole-file read of the growing record would itself
// leave the bench's heap larger after every report.
int lineCount(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    char buf[16384];
    int lines = 0;
    qint64 n;
    while ((n = f.read(buf, sizeof buf)) > 0)
        lines += int(std::count(buf, buf + n, '\n'));
    return lines;
}

// Runs count reports one after another, each on its own thread, and waits
// until the receiver holds total posts; false when they do not all arrive.
bool reports(VxrClient& engine, int count, const QString& record, int total)
{
    for (int i = 0; i < count; ++i) {
        engine.units().report.running().store(true);
        std::thread([&engine] { engine.reportRun(); }).join();
    }
    for (int waited = 0; waited < 60000; waited += 50) {
        if (lineCount(record) >= total)
            return true;
        QThread::msleep(50);
    }
    return false;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    // An optional count instead of 1,000, to tell a slow leak from noise.
    const int kReports = argc > 1 ? qMax(1, atoi(argv[1])) : kDefaultReports;
    QTemporaryDir root;
    PHPaths::setRoot(root.path());
    const QString record = root.filePath(QStringLiteral("received"));

    QProcess receiver;
    receiver.start(QStringLiteral(STANDIN_RECEIVER), {QStringLiteral("--record"), record});
    const QByteArray url = listening(receiver);
    const QString socket = PHPaths::resolve(QString::fromLatin1(VxrReport::kAgentSocket));
    QDir().mkpath(QFileInfo(socket).absolutePath());
    QProcess agent;
    agent.start(QStringLiteral(STANDIN_AGENT), {QStringLiteral("--socket"), socket});
    const QString helper = PHPaths::resolve(QString::fromLatin1(VxrReport::kStatusProgram));
    QDir().mkpath(QFileInfo(helper).absolutePath());
    if (url.isEmpty() || listening(agent).isEmpty() || !QFile::copy(QStringLiteral(STANDIN_VXRHELPER), helper)) {
        std::fprintf(stderr, "bench_report: the stand-ins did not start\n");
        return 1;
    }

    VxrClient engine;
    engine.setPrograms(std::make_shared<ScriptedZfs>());
    QFile settings(engine.units().settings.settingsPath());
    QDir().mkpath(QFileInfo(settings).absolutePath());
    settings.open(QIODevice::WriteOnly);
    settings.write(QJsonDocument(QJsonObject{{"active", 1},
                                             {"server", QJsonObject{{"host", "192.0.2.1"}, {"uid", "backup"},
                                                                    {"pwd", "secret"}}},
                                             {"dmpaths", QJsonArray{"vxr/data"}}})
                       .toJson());
    settings.close();
    HX2Journals journal;
    engine.loadConfigure(journal, QJsonObject{{"vxrserverurl", QString::fromUtf8(url) + "/report"}});
    engine.loadSettings(journal, nullptr);
    engine.units().worker.queue().enqueue({VxrTask::upload("vxr/data")});

    // The engine traces every program it runs; keep the figures readable.
    std::fflush(stdout);
    const int savedOut = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    const bool warm = reports(engine, kWarmup, record, kWarmup);
    const Resident before = resident();
    QElapsedTimer timer;
    timer.start();
    const bool all = warm && reports(engine, kReports, record, kWarmup + kReports);
    const double seconds = timer.nsecsElapsed() / 1e9;
    const Resident after = resident();
    // What is still in use once the allocator has handed its free memory
    // back: a leak stays, retained free memory goes.
    malloc_trim(0);
    const Resident trimmed = resident();
    std::fflush(stdout);
    dup2(savedOut, STDOUT_FILENO);

    receiver.kill();
    agent.kill();
    receiver.waitForFinished();
    agent.waitForFinished();
    if (!all) {
        std::fprintf(stderr, "bench_report: only %d of %d reports arrived\n", lineCount(record),
                     kWarmup + kReports);
        return 1;
    }
    std::printf("%d reports after %d warm-up reports, %.1f reports/s\n", kReports, kWarmup, kReports / seconds);
    std::printf("anonymous resident memory before (baseline): %ld KiB\n", before.anon);
    std::printf("anonymous resident memory after:             %ld KiB, growth %ld KiB (goal <= 1024), "
                "ratio after/before %.3f\n",
                after.anon, after.anon - before.anon, double(after.anon) / double(before.anon));
    std::printf("after returning free memory (malloc_trim):  %ld KiB, growth %ld KiB, ratio %.3f\n",
                trimmed.anon, trimmed.anon - before.anon, double(trimmed.anon) / double(before.anon));
    std::printf("all resident memory: %ld KiB before, %ld KiB after\n", before.total, after.total);
    return 0;
}
