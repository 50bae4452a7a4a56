// The status report to the management server.
#include "vxrreport.h"

#include "hx2localserver.h"
#include "hx2utils.h"
#include "phpaths.h"
#include "phsystem.h"
#include "vxrclient.h"
#include "vxrdpkg.h"

namespace VxrReport {

bool agentAllows(const QJsonObject& answer)
{
    const QJsonValue err = answer.value(QStringLiteral("err"));
    return err.isDouble() && err.toDouble() == 0;
}

VxrCommand statusProgram(const QString& path)
{
    HX2RunOptions options;
    options.startMs = 10000;
    options.finishMs = 3600000;
    options.maxOutBytes = kMaxStatusOutput;
    return VxrCommand{path, {}, options};
}

QJsonArray statusArray(const HX2RunResult& run)
{
    if (!run.ok || run.outOverflow)
        return QJsonArray();
    return toJsonArray(run.out);
}

QJsonObject assemble(const Parts& parts)
{
    QJsonObject params = parts.agent;
    params.insert(QStringLiteral("sn"), parts.sn);
    params.insert(QStringLiteral("uptime"), parts.uptime);
    params.insert(QStringLiteral("vxrzfsinfo"), parts.zfsInfo);
    params.insert(QStringLiteral("uploadtime"), parts.uploadTime);
    params.insert(QStringLiteral("ubackup"), parts.ubackup);
    params.insert(QStringLiteral("tasks"), parts.tasks);
    params.insert(QStringLiteral("cloudserver"), QJsonObject{{QStringLiteral("server"), parts.host},
                                                            {QStringLiteral("port"), parts.port},
                                                            {QStringLiteral("backups"), parts.backups}});
    params.insert(QStringLiteral("vxrversion"), parts.version);
    if (parts.hasCapacity) {
        params.insert(QStringLiteral("capacity"), QJsonObject{{QStringLiteral("used"), QJsonValue(parts.used)},
                                                             {QStringLiteral("refer"), QJsonValue(parts.refer)}});
    }
    return QJsonObject{{QStringLiteral("cmd"), QStringLiteral("device_living")},
                       {QStringLiteral("params"), params}};
}

} // namespace VxrReport

void VxrClient::reportRun()
{
    reportRunning.store(true);
    const VxrSettings s = settings();
    QJsonObject answer;
    // The agent is asked first: without its answer no report goes out, and
    // the server's listing (an ssh login) would be made for nothing.
    const bool allowed = !s.serverUrl.isEmpty()
        && HX2LocalServer::localRequest(PHPaths::resolve(QString::fromLatin1(VxrReport::kAgentSocket)),
                                        QJsonObject{{QStringLiteral("cmd"), QStringLiteral("system_currinfo")}},
                                        &answer, VxrReport::kAgentTimeoutSeconds)
        && VxrReport::agentAllows(answer);
    if (allowed) {
        PHSystem system;
        HX2Journals journal;
        VxrReport::Parts parts;
        parts.agent = answer.value(QStringLiteral("results")).toObject();
        parts.sn = system.serialNumber();
        parts.uptime = system.uptime();
        parts.zfsInfo = zfsInfo();
        parts.uploadTime = lastUploadTimeCopy();
        // A listing that fails leaves "backups" empty.
        remoteAllSnapshots(journal, parts.backups);
        taskAlload(journal, parts.tasks);
        parts.host = s.host;
        parts.port = s.port;

        const std::shared_ptr<VxrPrograms> run = programs();
        const HX2RunResult dpkg = run->run(VxrDpkg::listPackage(QString::fromLatin1(VxrDpkg::kPackage)));
        if (dpkg.ok)
            parts.version = VxrDpkg::installedVersion(dpkg.outLines(true), QString::fromLatin1(VxrDpkg::kPackage));
        parts.ubackup = VxrReport::statusArray(
            run->run(VxrReport::statusProgram(PHPaths::resolve(QString::fromLatin1(VxrReport::kStatusProgram)))));
        parts.hasCapacity = allUsed(parts.used, parts.refer);

        httpPool.addPost(s.serverUrl, VxrReport::assemble(parts), nullptr);
    }
    reportRunning.store(false);
}
