#include "vxroplog.h"

#include "hx2utils.h"

namespace VxrLog {

QJsonObject listedRecord(const QJsonObject& record)
{
    const QJsonObject details = toJsonObject(toString(record.value(QStringLiteral("sparefield1"))));
    QJsonObject out = jsonMerge(record, details);
    out.remove(QStringLiteral("sparefield1"));
    out.remove(QStringLiteral("sparefield2"));
    out.remove(QStringLiteral("sparefield3"));
    return out;
}

} // namespace VxrLog
