#include "benchdriver.h"

#include "hx2runner.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <unistd.h>

BenchStart startWithDataset(zbench::Bench& b, zbench::Host host, const QString& ds, const char* what)
{
    const QString why = zbench::Bench::skipReason();
    if (!why.isEmpty()) {
        std::printf("%s: not measured (%s)\n", what, qPrintable(why));
        return BenchStart::Skipped;
    }
    QString message;
    if (b.start(&message) != zbench::Bench::StartResult::Up) {
        std::printf("%s: bench did not start: %s\n", what, qPrintable(message));
        return BenchStart::Failed;
    }
    if (!b.run(host, {"zfs", "create", ds}).ok() || !b.fill(host, ds, 42, 52, 4 * 1000 * 1000, &message) ||
        !b.run(host, {"zfs", "snapshot", ds + "@vxr_1"}).ok()) {
        std::printf("%s: cannot prepare data: %s\n", what, qPrintable(message));
        return BenchStart::Failed;
    }
    return BenchStart::Ready;
}

void TransferFigures::print() const
{
    const double mb = double(bytes) / 1e6;
    std::printf("stream:                        %.1f MB\n", mb);
    std::printf("%-31s%.1f MB/s (%.2f s)\n", rawLabel, mb / rawS, rawS);
    std::printf("%-31s%.1f MB/s (%.2f s, listings and estimates included)\n", taskLabel, mb / engineS, engineS);
    std::printf("engine transfer phase:         %.1f MB/s (%.2f s, from pv's start)\n", mb / transferS, transferS);
    std::printf("engine / raw throughput:       %.2f for the whole task, %.2f for the transfer phase\n",
                rawS / engineS, rawS / transferS);
    std::printf("engine CPU during the task:    %.3f s (%.2f%% of its wall time)\n", cpuS, 100.0 * cpuS / engineS);
}

bool BenchDriver::start(zbench::Bench& b, const QString& root, const QJsonArray& dmpaths, bool scheduled,
                        QString* why, const BenchLink& link)
{
    const QString here = b.hostPath(zbench::Host::Appliance, root);
    QDir().mkpath(here + "/kozu/etc/vxrclientisp");
    const QDateTime now = QDateTime::currentDateTime();
    const qint64 offset = scheduled ? qint64(56 - now.time().second()) * 1000 - now.time().msec() : 0;
    const QDateTime next = now.addMSecs(offset).addSecs(60);
    const QJsonArray schedule =
        scheduled ? QJsonArray{QJsonObject{{"hour", next.time().hour()}, {"minute", next.time().minute()}}}
                  : QJsonArray();
    QJsonObject config = link.config;
    config.insert("localagentid", root + "/agent.sock");
    config.insert("uploadlog", root + "/upload.log");
    const QString host = link.host.isEmpty() ? b.serverHost() : link.host;
    const int port = link.port > 0 ? link.port : b.port();
    const QJsonObject settings{
        {"active", 1},
        {"report", QJsonObject{{"interval", 600}}},
        {"server", QJsonObject{{"host", host}, {"port", port}, {"uid", "root"}, {"pwd", b.password()},
                               {"interval", 600}, {"schedule", schedule}}},
        {"dmpaths", dmpaths}};
    QFile c(here + "/config.json");
    QFile s(here + "/kozu/etc/vxrclientisp/settings.json");
    if (!c.open(QIODevice::WriteOnly) || !s.open(QIODevice::WriteOnly)) {
        *why = QStringLiteral("cannot write the engine's files");
        return false;
    }
    c.write(QJsonDocument(config).toJson());
    s.write(QJsonDocument(settings).toJson());
    c.close();
    s.close();
    m_process = b.spawn(zbench::Host::Appliance, link.wrapper + QStringList{QStringLiteral(ENGINE_DRIVER)},
                        {{"VXR_FILES_ROOT", root},
                         {"VXR_DRIVER_CONFIG", root + "/config.json"},
                         {"VXR_DRIVER_CLOCK_OFFSET_MS", QString::number(offset)}});
    if (!m_process)
        *why = QStringLiteral("the engine did not start");
    return bool(m_process);
}

QByteArray BenchDriver::ask(const QByteArray& command)
{
    const QByteArray word = "@@" + command.split(' ').first() + " ";
    const int from = m_out.size();
    m_process->write(command + "\n");
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000) {
        m_process->waitForReadyRead(50);
        m_out += m_process->readAllStandardOutput();
        const int at = m_out.indexOf(word, from);
        const int end = at < 0 ? -1 : m_out.indexOf('\n', at);
        if (end > 0)
            return m_out.mid(at + word.size(), end - at - word.size());
    }
    return QByteArray();
}

int BenchDriver::queueLength()
{
    const QByteArray answer = ask("tasks");
    return answer.isEmpty() ? -1 : QJsonDocument::fromJson(answer).array().size();
}

bool BenchDriver::waitForProgram(const QByteArray& name, int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        for (qint64 p : HX2Runner::descendants(m_process->processId())) {
            QFile comm(QStringLiteral("/proc/%1/comm").arg(p));
            if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name)
                return true;
        }
        ::usleep(10000);
    }
    return false;
}

double BenchDriver::cpuSeconds() const
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(m_process->processId()));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray s = f.readAll();
    const QList<QByteArray> fields = s.mid(s.lastIndexOf(')') + 2).split(' ');
    // utime and stime are fields 14 and 15 of the whole line.
    const double ticks = fields.value(11).toDouble() + fields.value(12).toDouble();
    return ticks / double(::sysconf(_SC_CLK_TCK));
}

QByteArray BenchDriver::stop()
{
    m_process->terminate();
    m_process->waitForFinished(10000);
    m_out += m_process->readAllStandardOutput();
    return m_out;
}
