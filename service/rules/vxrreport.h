#ifndef VXRREPORT_H
#define VXRREPORT_H

#include "vxrprograms.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// The status report apart from the programs, sockets and server that feed
// and receive it. Pure.
namespace VxrReport {

// The platform agent's socket and the appliance's backup status program,
// in their production form (re-rooted by PHPaths::resolve before use).
constexpr const char* kAgentSocket = "/run/kozu/localsockets/.ls.hubcore.agent.";
constexpr const char* kStatusProgram = "/kozu/sbin/vxr_helper";
constexpr int kAgentTimeoutSeconds = 15;
// More output than this from the status program counts as a failure.
constexpr qint64 kMaxStatusOutput = 4 * 1024 * 1024;

// What one report is made of.
struct Parts
{
    // The agent's "results", passed through unread.
    QJsonObject agent;
    QString sn;
    QJsonObject uptime;
    QJsonObject zfsInfo;
    QString uploadTime;
    QJsonArray ubackup;
    QJsonArray tasks;
    QString host;
    int port = 22;
    QJsonArray backups;
    QString version;
    bool hasCapacity = false;
    qint64 used = 0;
    qint64 refer = 0;
};

// The agent's answer allows a report: its "err" is the number 0.
bool agentAllows(const QJsonObject& answer);

// The report's listing of the server's snapshots waits at most one report
// interval, at least a minute and at most the listing's usual hour: a
// server that stalls costs a report its "backups", not an hour of reports.
int listingLimitMs(qint64 reportIntervalMs);

// The status program at path: no arguments, 10 s to start, an hour to
// finish, at most kMaxStatusOutput bytes of output.
VxrCommand statusProgram(const QString& path);

// "ubackup" of a run of the status program: the JSON array it printed when
// it succeeded (within its output cap); an empty array otherwise, also
// when it printed anything but an array.
QJsonArray statusArray(const HX2RunResult& run);

// {"cmd": "device_living", "params": ...}: "params" is the agent's object
// with the engine's keys put in, each replacing one of the same name:
// "sn", "uptime", "vxrzfsinfo", "uploadtime", "ubackup", "tasks",
// "cloudserver" {"server", "port", "backups"}, "vxrversion", and
// "capacity" {"used", "refer"} only with hasCapacity.
QJsonObject assemble(const Parts& parts);

} // namespace VxrReport

#endif
