// The fixture of the end-to-end engine flows: the engine runs inside the
// bench's appliance (tests/e2e/enginedriver.cpp) with its clock shifted so
// that a schedule at "the next minute" comes within seconds, answers the
// driver's commands on its standard input and sends to the bench's server.
#ifndef DRIVERFLOW_H
#define DRIVERFLOW_H

#include "hx2runner.h"
#include "zbenchtest.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QThread>

#include <csignal>

using zbench::Bench;
using zbench::Host;


struct Driver
{
    std::unique_ptr<QProcess> process;
    QString root;  // files root as the appliance sees it
    QByteArray out;
    qint64 pid = 0;
};

// The engine running inside the bench's appliance, driven through the
// driver's commands; one driver at a time.
class DriverFlow : public zbench::BenchTest
{
protected:
    void TearDown() override
    {
        if (m_driver.process) {
            m_driver.process->kill();
            m_driver.process->waitForFinished(5000);
        }
        for (qint64 pid : m_stopped) {
            ::kill(static_cast<pid_t>(pid), SIGCONT);
            ::kill(static_cast<pid_t>(pid), SIGKILL);
        }
        if (!IsSkipped()) {
            bench().clearThrottle();
            setServerPassword(bench().password());
        }
    }

    // A dataset with `snaps` snapshots @vxr_1..n, new data before each.
    void makeDataset(const QString& ds, quint32 seed, int snaps, qint64 bytes)
    {
        Bench& b = bench();
        ASSERT_TRUE(b.run(Host::Appliance, {"zfs", "create", "-p", ds}).ok()) << qPrintable(ds);
        for (int i = 1; i <= snaps; ++i)
            addSnapshot(ds, seed + i, QStringLiteral("vxr_%1").arg(i), bytes);
    }

    void addSnapshot(const QString& ds, quint32 seed, const QString& name, qint64 bytes)
    {
        QString err;
        ASSERT_TRUE(bench().fill(Host::Appliance, ds, seed, 2, bytes / 2, &err)) << qPrintable(err);
        ASSERT_TRUE(bench().run(Host::Appliance, {"zfs", "snapshot", ds + "@" + name}).ok());
    }

    void setServerPassword(const QString& password)
    {
        const zbench::Result r = bench().sh(
            Host::Server,
            "h=$(perl -e 'print crypt($ENV{P}, \"\\$6\\$vxrtest\\$\")') && "
            "awk -F: -v h=\"$h\" 'BEGIN { OFS = \":\" } $1 == \"root\" { $2 = h } { print }' /etc/shadow > /tmp/vxr-shadow && "
            "cat /tmp/vxr-shadow > /etc/shadow && rm -f /tmp/vxr-shadow",
            30000, {{"P", password}});
        EXPECT_TRUE(r.ok()) << r.err.constData();
    }

    // Starts the engine with these datasets and a schedule at the next
    // minute of its shifted clock, which it reaches within about 5-10 s
    // (60 - m_clockSecond s after its start).
    void startDriver(const QString& name, const QStringList& datasets, const QString& password)
    {
        Bench& b = bench();
        m_driver = Driver();
        m_driver.root = b.stateDir() + "/e2e-" + name;
        const QString here = b.hostPath(Host::Appliance, m_driver.root);
        QDir(here).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(here + "/kozu/etc/vxrclientisp"));

        const QDateTime now = QDateTime::currentDateTime();
        const qint64 offset = qint64(m_clockSecond - now.time().second()) * 1000 - now.time().msec();
        m_clockOffsetMs = offset;
        const QDateTime next = now.addMSecs(offset).addSecs(60);

        QJsonObject config = m_config;
        config.insert("localagentid", m_driver.root + "/agent.sock");
        config.insert("uploadlog", m_driver.root + "/upload.log");
        QJsonArray dmpaths;
        for (const QString& ds : datasets)
            dmpaths.append(ds);
        const QJsonObject settings{
            {"active", 1},
            {"report", QJsonObject{{"interval", 600}}},
            {"server", QJsonObject{{"host", b.serverHost()}, {"port", b.port()}, {"uid", "root"}, {"pwd", password},
                                   {"interval", 600},
                                   {"schedule", QJsonArray{QJsonObject{{"hour", next.time().hour()},
                                                                       {"minute", next.time().minute()}}}}}},
            {"dmpaths", dmpaths}};
        writeJson(here + "/config.json", config);
        writeJson(here + "/kozu/etc/vxrclientisp/settings.json", settings);

        m_driver.process = b.spawn(Host::Appliance, {QStringLiteral(ENGINE_DRIVER)},
                                   {{"VXR_FILES_ROOT", m_driver.root},
                                    {"VXR_DRIVER_CONFIG", m_driver.root + "/config.json"},
                                    {"VXR_DRIVER_CLOCK_OFFSET_MS", QString::number(offset)},
                                    {"VXR_DRIVER_WATCH_MS", QString::number(m_watchMs)}});
        ASSERT_TRUE(m_driver.process);
        m_driver.pid = m_driver.process->processId();
    }

    static void writeJson(const QString& path, const QJsonObject& o)
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << qPrintable(path);
        f.write(QJsonDocument(o).toJson());
    }

    void drain()
    {
        m_driver.out += m_driver.process->readAllStandardOutput();
    }

    QJsonValue ask(const QByteArray& command)
    {
        const QByteArray word = "@@" + command.split(' ').first() + " ";
        drain();
        const int from = m_driver.out.size();
        m_driver.process->write(command + "\n");
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 10000) {
            m_driver.process->waitForReadyRead(100);
            drain();
            const int at = m_driver.out.indexOf(word, from);
            const int end = at < 0 ? -1 : m_driver.out.indexOf('\n', at);
            if (end > 0) {
                const QByteArray json = m_driver.out.mid(at + word.size(), end - at - word.size());
                const QJsonDocument doc = QJsonDocument::fromJson(json);
                return doc.isArray() ? QJsonValue(doc.array()) : QJsonValue(doc.object());
            }
            if (m_driver.process->state() == QProcess::NotRunning)
                break;
        }
        ADD_FAILURE() << "no answer to " << command.constData() << "; output:\n" << m_driver.out.constData()
                      << m_driver.process->readAllStandardError().constData();
        return QJsonValue();
    }

    QJsonArray tasks() { return ask("tasks").toArray(); }

    // (message, state) of the upload records, oldest first.
    QList<QPair<QString, int>> records()
    {
        QList<QPair<QString, int>> out;
        for (const QJsonValue& v : ask("log").toArray())
            out.prepend({v.toObject().value("message").toString(), v.toObject().value("state").toInt()});
        return out;
    }

    QJsonObject lastBackup()
    {
        QFile f(bench().hostPath(Host::Appliance, m_driver.root + "/kozu/etc/vxrclientisp/lastbackup.json"));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QJsonDocument::fromJson(f.readAll()).object();
    }

    // Waits until the queue got tasks and emptied again; the rates seen for
    // each task index, in order.
    QMap<int, QList<int>> waitForUploads(int timeoutMs, int* firstIndexes = nullptr)
    {
        QMap<int, QList<int>> rates;
        QElapsedTimer t;
        t.start();
        bool seen = false;
        while (t.elapsed() < timeoutMs) {
            const QJsonArray queue = tasks();
            for (const QJsonValue& v : queue)
                rates[v.toObject().value("index").toInt()] << v.toObject().value("rate").toInt();
            if (!queue.isEmpty())
                seen = true;
            if (seen && queue.isEmpty())
                return rates;
            QThread::msleep(300);
        }
        ADD_FAILURE() << "uploads did not finish; output:\n" << m_driver.out.constData();
        if (firstIndexes)
            *firstIndexes = 0;
        return rates;
    }

    // Waits until the running task's pipeline (pv) runs under the driver.
    bool waitForTransfer(int timeoutMs)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            for (qint64 p : HX2Runner::descendants(m_driver.pid)) {
                QFile comm(QStringLiteral("/proc/%1/comm").arg(p));
                if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "pv")
                    return true;
            }
            drain();
            QThread::msleep(200);
        }
        return false;
    }

    static bool alive(qint64 pid)
    {
        QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!f.open(QIODevice::ReadOnly))
            return false;
        const QByteArray s = f.readAll();
        const int close = s.lastIndexOf(')');
        return close > 0 && s.size() > close + 2 && s.at(close + 2) != 'Z';
    }

    // Every state of the head task the driver's watch printed: its rates by
    // task index, in order.
    QMap<int, QList<int>> watchedRates()
    {
        drain();
        QMap<int, QList<int>> rates;
        for (const QByteArray& line : m_driver.out.split('\n')) {
            if (!line.startsWith("@@watch "))
                continue;
            const QJsonArray queue = QJsonDocument::fromJson(line.mid(8)).array();
            if (!queue.isEmpty()) {
                const QJsonObject head = queue.at(0).toObject();
                rates[head.value("index").toInt()] << head.value("rate").toInt();
            }
        }
        return rates;
    }

    Driver m_driver;
    QList<qint64> m_stopped;
    // How often the driver looks at its queue for watchedRates(); 0 never.
    int m_watchMs = 0;
    // Further keys of the engine's configuration.
    QJsonObject m_config;
    // The second of the minute the engine's clock shows at its start, and
    // the shift of that clock from this process's.
    int m_clockSecond = 56;
    qint64 m_clockOffsetMs = 0;
};

using Record = QPair<QString, int>;

#endif
