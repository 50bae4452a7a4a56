// The engine inside the bench's appliance (tests/e2e/enginedriver), as the
// transfer benchmarks drive it: its files, its start, its queue, and the
// CPU it spends.
#ifndef BENCHDRIVER_H
#define BENCHDRIVER_H

#include "zbench.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>

#include <memory>

// Starts the bench and makes ds on host: 208 MB of files in one snapshot
// ds@vxr_1. Prints why it cannot, after `what`: Skipped when this machine
// cannot host a bench, Failed on a fault.
enum class BenchStart { Ready, Skipped, Failed };
BenchStart startWithDataset(zbench::Bench& bench, zbench::Host host, const QString& ds, const char* what);

// The figures of one transfer benchmark, each against the raw pipeline:
// `bytes` of stream, the raw pipeline's seconds, the engine task's (whole,
// and from pv's start) and the engine's CPU seconds in the task.
struct TransferFigures
{
    const char* rawLabel;
    const char* taskLabel;
    qint64 bytes;
    double rawS;
    double engineS;
    double transferS;
    double cpuS;
    void print() const;
};

// Where a driver reaches its server, when not as the bench's own.
struct BenchLink
{
    // The server's address and ssh port; empty and 0: the bench's server.
    QString host;
    int port = 0;
    // The command line the driver runs under (such as nsenter into a
    // network namespace); empty for none.
    QStringList wrapper;
    // Further keys of the engine's configuration.
    QJsonObject config;
};

class BenchDriver
{
public:
    // Writes the engine's configuration and settings under the appliance's
    // path `root` (account of the bench's server, or the link's; a daily
    // time at the next minute of a clock shifted to reach it within seconds
    // when scheduled, else none) and starts the driver. False with *why
    // when it cannot.
    bool start(zbench::Bench& bench, const QString& root, const QJsonArray& dmpaths, bool scheduled, QString* why,
               const BenchLink& link = BenchLink());
    // Sends one command line; its "@@word" answer as JSON text, empty when
    // none came within 10 s.
    QByteArray ask(const QByteArray& command);
    // The queue's length, or -1 without an answer.
    int queueLength();
    // Waits up to ms for a program of that name below the driver.
    bool waitForProgram(const QByteArray& name, int ms);
    // User and system CPU seconds of the driver process so far.
    double cpuSeconds() const;
    // Everything the driver printed, and ends it.
    QByteArray stop();

private:
    std::unique_ptr<QProcess> m_process;
    QByteArray m_out;
};

#endif
