#include "vxroperationlog.h"

#include "vxroplog.h"

#include <QJsonObject>

void VxrOperationLog::write(const QString& level, const QString& message, int action, int state)
{
    QJsonObject details;
    details.insert(QStringLiteral("action"), action);
    details.insert(QStringLiteral("state"), state);
    kozulog.write(level, message, details, QString::fromLatin1(VxrLog::kApplication),
                  QString::fromLatin1(VxrLog::kUser), QString(), QString());
}

void VxrOperationLog::write(const char* level, const char* message, int action, int state)
{
    write(QString::fromLatin1(level), QString::fromLatin1(message), action, state);
}

void VxrOperationLog::write(const char* level, const char* message, const QString& detail, int action, int state)
{
    write(QString::fromLatin1(level), QString::fromLatin1(message) + QLatin1String(": ") + detail, action, state);
}

bool VxrOperationLog::list(QJsonArray& records) const
{
    QJsonArray raw;
    if (!kozulog.loadByApp(raw, QString::fromLatin1(VxrLog::kApplication), kMaxListed))
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

bool VxrOperationLog::clear()
{
    return kozulog.clearByApp(QString::fromLatin1(VxrLog::kApplication)) != 0;
}
