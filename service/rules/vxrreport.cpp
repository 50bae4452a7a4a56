// The status report's pure pieces.
#include "vxrreport.h"

#include "hx2utils.h"

namespace VxrReport {

bool agentAllows(const QJsonObject& answer)
{
    const QJsonValue err = answer.value(QStringLiteral("err"));
    return err.isDouble() && err.toDouble() == 0;
}

int listingLimitMs(qint64 reportIntervalMs)
{
    constexpr qint64 kMinuteMs = 60000;
    constexpr qint64 kHourMs = 3600000;
    return int(qBound(kMinuteMs, reportIntervalMs, kHourMs));
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
