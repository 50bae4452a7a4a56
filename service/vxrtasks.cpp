// The task queue as the command set sees it, and the engine's operation log.
#include "vxrclient.h"

#include "vxroplog.h"

bool VxrClient::taskAlload(HX2Journals& journal, QJsonArray& out)
{
    Q_UNUSED(journal);
    out = taskQueue.listing();
    return true;
}

bool VxrClient::taskCancel(HX2Journals& journal, int index)
{
    if (!taskQueue.cancel(index)) {
        journal.setErr(9994, QStringLiteral("index 不存在"));
        return false;
    }
    return true;
}

bool VxrClient::logAlload(HX2Journals& journal, QJsonArray& records)
{
    Q_UNUSED(journal);
    QJsonArray raw;
    if (!kozulog.loadByApp(raw, QString::fromLatin1(VxrLog::kApplication)))
        return false;
    const QJsonArray listed = VxrLog::listedRecords(raw);
    if (records.isEmpty()) {
        records = listed;
        return true;
    }
    for (const QJsonValue& v : listed)
        records.append(v);
    return true;
}

bool VxrClient::logClear(HX2Journals& journal)
{
    Q_UNUSED(journal);
    return kozulog.clearByApp(QString::fromLatin1(VxrLog::kApplication)) != 0;
}

void VxrClient::writeLog(const QString& level, const QString& message, int action, int state)
{
    QJsonObject details;
    details.insert(QStringLiteral("action"), action);
    details.insert(QStringLiteral("state"), state);
    kozulog.write(level, message, details, QString::fromLatin1(VxrLog::kApplication),
                  QString::fromLatin1(VxrLog::kUser), QString(), QString());
}
