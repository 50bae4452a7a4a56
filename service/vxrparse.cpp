#include "vxrparse.h"

#include "hx2utils.h"

#include <QDate>
#include <QTime>

namespace VxrParse {

QStringList columns(const QString& line)
{
    QStringList out;
    const QChar* p = line.constData();
    const int n = line.size();
    if (line.contains(QLatin1Char('\t'))) {
        // zfs -H separates columns by single tabs, and a dataset name may
        // hold blanks: with tabs present only they separate.
        int start = 0;
        for (int i = 0; i <= n; ++i) {
            if (i < n && p[i] != QLatin1Char('\t'))
                continue;
            int a = start;
            int b = i;
            while (a < b && p[a] == QLatin1Char(' '))
                ++a;
            while (b > a && p[b - 1] == QLatin1Char(' '))
                --b;
            if (b > a)
                out.append(line.mid(a, b - a));
            start = i + 1;
        }
        return out;
    }
    int i = 0;
    while (i < n) {
        while (i < n && p[i] == QLatin1Char(' '))
            ++i;
        const int start = i;
        while (i < n && p[i] != QLatin1Char(' '))
            ++i;
        if (i > start)
            out.append(line.mid(start, i - start));
    }
    return out;
}

QString snapshotTime(const QString& name)
{
    if (name.size() < 14)
        return QString();
    const QChar* t = name.constData() + name.size() - 14;
    int v[14];
    for (int i = 0; i < 14; ++i) {
        const ushort c = t[i].unicode();
        if (c < '0' || c > '9')
            return QString();
        v[i] = c - '0';
    }
    const int year = v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3];
    const int month = v[4] * 10 + v[5];
    const int day = v[6] * 10 + v[7];
    const int hour = v[8] * 10 + v[9];
    const int minute = v[10] * 10 + v[11];
    const int second = v[12] * 10 + v[13];
    if (!QDate::isValid(year, month, day) || !QTime::isValid(hour, minute, second))
        return QString();
    // The stamp's own digits, laid out again: the engine wrote them from the
    // local clock, so no time-zone arithmetic may move them.
    QString out(19, Qt::Uninitialized);
    QChar* o = out.data();
    static const int layout[19] = {0, 1, 2, 3, -'-', 4, 5, -'-', 6, 7, -' ', 8, 9, -':', 10, 11, -':', 12, 13};
    for (int i = 0; i < 19; ++i)
        o[i] = layout[i] >= 0 ? t[layout[i]] : QChar(-layout[i]);
    return out;
}

int appendSnapshotRecords(const QStringList& lines, bool withTime, QJsonArray& records)
{
    int added = 0;
    for (const QString& line : lines) {
        const QStringList cols = columns(line);
        if (cols.size() < 3)
            continue;
        QJsonObject record;
        record.insert(QStringLiteral("name"), cols.at(0));
        record.insert(QStringLiteral("used"), asCapacity(cols.at(1)));
        record.insert(QStringLiteral("refer"), asCapacity(cols.at(2)));
        if (withTime)
            record.insert(QStringLiteral("time"), snapshotTime(cols.at(0)));
        records.append(record);
        ++added;
    }
    return added;
}

bool parseZfsInfo(const QString& line, QJsonObject& out)
{
    const QStringList cols = columns(line);
    if (cols.size() < 3)
        return false;
    bool ok = false;
    qint64 used = cols.at(1).toLongLong(&ok, 10);
    if (!ok)
        used = 0;
    qint64 all = cols.at(2).toLongLong(&ok, 10);
    if (!ok)
        all = 0;
    out.insert(QStringLiteral("used"), used);
    out.insert(QStringLiteral("all"), all);
    return true;
}

void sumUsedRefer(const QStringList& lines, qint64& used, qint64& refer)
{
    for (const QString& line : lines) {
        const QStringList cols = columns(line);
        if (cols.size() < 2)
            continue;
        used += asCapacity(cols.at(0));
        refer += asCapacity(cols.at(1));
    }
}

QJsonObject groupMountpoints(const QJsonObject& mountpoints)
{
    QJsonObject out;
    for (auto it = mountpoints.constBegin(); it != mountpoints.constEnd(); ++it) {
        const QJsonObject mp = it.value().toObject();
        if (mp.value(QStringLiteral("fstype")).toString() != QLatin1String("zfs"))
            continue;
        const QString pool = mp.value(QStringLiteral("vg")).toString();
        const QString dataset = mp.value(QStringLiteral("lv")).toString();
        QJsonObject poolEntry = out.value(pool).toObject();
        poolEntry.insert(dataset, mp);
        out.insert(pool, poolEntry);
    }
    return out;
}

QJsonObject listedLogRecord(const QJsonObject& record)
{
    const QJsonObject details = toJsonObject(toString(record.value(QStringLiteral("sparefield1"))));
    QJsonObject out = jsonMerge(record, details);
    out.remove(QStringLiteral("sparefield1"));
    out.remove(QStringLiteral("sparefield2"));
    out.remove(QStringLiteral("sparefield3"));
    return out;
}

bool cancelTask(QJsonArray& tasks, int index)
{
    bool found = false;
    int pos = 0;
    while (pos < tasks.size()) {
        QJsonObject task = tasks.at(pos).toObject();
        if (toInt(task.value(QStringLiteral("index"))) != index) {
            ++pos;
            continue;
        }
        found = true;
        if (pos == 0) {
            task.insert(QStringLiteral("removed"), 1);
            tasks[0] = task;
            ++pos;
        } else {
            // The next task moves into this position; look at it next.
            tasks.removeAt(pos);
        }
    }
    return found;
}

QString snapshotName(const QString& dataset, const QDateTime& time)
{
    return dataset + QLatin1String("@vxr_") + time.toString(QStringLiteral("yyyyMMddHHmmss"));
}

} // namespace VxrParse
