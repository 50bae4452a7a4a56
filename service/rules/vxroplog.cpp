#include "vxroplog.h"

#include "hx2utils.h"

#include <QHash>

namespace VxrLog {

namespace {

QJsonObject merged(const QJsonObject& record, const QJsonObject& details)
{
    QJsonObject out = record;
    out.remove(QStringLiteral("sparefield1"));
    out.remove(QStringLiteral("sparefield2"));
    out.remove(QStringLiteral("sparefield3"));
    for (auto it = details.constBegin(); it != details.constEnd(); ++it)
        out.insert(it.key(), it.value());
    return out;
}

} // namespace

QJsonObject listedRecord(const QJsonObject& record)
{
    return merged(record, toJsonObject(toString(record.value(QStringLiteral("sparefield1")))));
}

QJsonArray listedRecords(const QJsonArray& records)
{
    QHash<QString, QJsonObject> read;
    QJsonArray out;
    for (const QJsonValue& v : records) {
        const QJsonObject record = v.toObject();
        const QString text = toString(record.value(QStringLiteral("sparefield1")));
        auto at = read.constFind(text);
        if (at == read.constEnd())
            at = read.insert(text, toJsonObject(text));
        out.append(merged(record, at.value()));
    }
    return out;
}

} // namespace VxrLog
