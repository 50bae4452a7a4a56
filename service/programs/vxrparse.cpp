#include "vxrparse.h"

#include "hx2utils.h"

#include <QDate>
#include <QTime>

#include <charconv>
#include <limits>

namespace VxrParse {

namespace {

// Calls take(begin, end) for every column of the line, in order, until it
// returns false. The column rule of columns().
template <typename Take>
void scanColumns(QStringView line, Take take)
{
    const QChar* p = line.data();
    const int n = int(line.size());
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
            if (b > a && !take(a, b))
                return;
            start = i + 1;
        }
        return;
    }
    int i = 0;
    while (i < n) {
        while (i < n && p[i] == QLatin1Char(' '))
            ++i;
        const int start = i;
        while (i < n && p[i] != QLatin1Char(' '))
            ++i;
        if (i > start && !take(start, i))
            return;
    }
}

// The first up to three columns of a line as views; their number.
int leadColumns(QStringView line, QStringView cols[3])
{
    int found = 0;
    scanColumns(line, [&](int a, int b) {
        cols[found++] = line.mid(a, b - a);
        return found < 3;
    });
    return found;
}

} // namespace

QStringList columns(const QString& line)
{
    QStringList out;
    scanColumns(QStringView(line), [&](int a, int b) {
        out.append(line.mid(a, b - a));
        return true;
    });
    return out;
}

qint64 sizeBytes(QStringView text)
{
    // zfs prints a size as digits, an optional fraction and one unit
    // letter ("1.50G", "96K", "512", "0B"). Those forms are read here
    // directly; anything else goes to asCapacity, which defines the result.
    const int n = int(text.size());
    if (n == 0 || n > 20)
        return asCapacity(text.toString());
    const ushort last = text.at(n - 1).unicode() | 0x20;
    double factor = 0;
    switch (last) {
    case 'k': factor = 1024.0; break;
    case 'm': factor = 1048576.0; break;
    case 'g': factor = 1073741824.0; break;
    case 't': factor = 1099511627776.0; break;
    default: break;
    }
    const bool digitLast = text.at(n - 1).unicode() >= '0' && text.at(n - 1).unicode() <= '9';
    const int bodyLen = digitLast ? n : n - 1;
    if (bodyLen == 0 || (factor == 0 && !digitLast && last != 'b'))
        return asCapacity(text.toString());
    char body[24];
    int dots = 0;
    for (int i = 0; i < bodyLen; ++i) {
        const ushort c = text.at(i).unicode();
        if (c == '.' && factor != 0 && i > 0 && ++dots == 1) {
            body[i] = '.';
            continue;
        }
        if (c < '0' || c > '9')
            return asCapacity(text.toString());
        body[i] = char(c);
    }
    if (factor == 0) {
        if (bodyLen > 18)
            return asCapacity(text.toString());
        qint64 v = 0;
        for (int i = 0; i < bodyLen; ++i)
            v = v * 10 + (body[i] - '0');
        return v;
    }
    if (body[bodyLen - 1] == '.')
        return asCapacity(text.toString());
    double d = 0;
    const auto parsed = std::from_chars(body, body + bodyLen, d);
    if (parsed.ec != std::errc() || parsed.ptr != body + bodyLen)
        return asCapacity(text.toString());
    const double bytes = d * factor;
    if (bytes >= static_cast<double>(std::numeric_limits<qint64>::max()))
        return std::numeric_limits<qint64>::max();
    return static_cast<qint64>(bytes);
}

QString snapshotTime(const QString& name)
{
    return snapshotTime(QStringView(name));
}

QString snapshotTime(QStringView name)
{
    if (name.size() < 14)
        return QString();
    const QChar* t = name.data() + name.size() - 14;
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
    // Copying a ready object and replacing its values is much cheaper in
    // Qt's JSON than inserting the keys one by one.
    static const QString kName = QStringLiteral("name");
    static const QString kUsed = QStringLiteral("used");
    static const QString kRefer = QStringLiteral("refer");
    static const QString kTime = QStringLiteral("time");
    static const QJsonObject kLocal{{kName, QString()}, {kUsed, 0}, {kRefer, 0}, {kTime, QString()}};
    static const QJsonObject kRemote{{kName, QString()}, {kUsed, 0}, {kRefer, 0}};
    int added = 0;
    QStringView cols[3];
    for (const QString& line : lines) {
        if (leadColumns(QStringView(line), cols) < 3)
            continue;
        QJsonObject record = withTime ? kLocal : kRemote;
        record[kName] = cols[0].toString();
        record[kUsed] = sizeBytes(cols[1]);
        record[kRefer] = sizeBytes(cols[2]);
        if (withTime)
            record[kTime] = snapshotTime(cols[0]);
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

qint64 parseEstimateSize(const QByteArray& output)
{
    const QStringList lines = QString::fromUtf8(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const QStringList fields = columns(line);
        if (fields.size() >= 2 && fields.at(0) == QLatin1String("size")) {
            bool ok = false;
            const qint64 size = fields.at(1).toLongLong(&ok, 10);
            return ok ? size : 0;
        }
    }
    return 0;
}

SnapshotHolds parseSnapshotHolds(const QStringList& lines)
{
    SnapshotHolds out;
    out.names.reserve(lines.size());
    for (const QString& line : lines) {
        // A name may hold blanks, leading and trailing ones too, but never
        // a tab: the tab alone ends it.
        const QVector<QStringRef> parts = line.splitRef(QLatin1Char('\t'));
        const QString name = parts.at(0).toString();
        if (name.isEmpty())
            continue;
        out.names.append(name);
        if (parts.size() < 2 || parts.at(1).trimmed() != QLatin1String("0"))
            out.held.insert(name);
        const QStringRef clones = parts.size() == 3 ? parts.at(2).trimmed() : QStringRef();
        if (parts.size() != 3 || !(clones.isEmpty() || clones == QLatin1String("-")))
            out.cloned.insert(name);
    }
    return out;
}

QSet<QString> refusedSnapshots(const QStringList& errLines, const QStringList& tried)
{
    const QSet<QString> candidates(tried.begin(), tried.end());
    const QLatin1String listForm("cannot destroy snapshot ");
    const QLatin1String quotedForm("cannot destroy '");
    QSet<QString> out;
    for (const QString& line : errLines) {
        if (line.startsWith(quotedForm)) {
            const int end = line.indexOf(QLatin1String("': "), quotedForm.size());
            const QString name = end < 0 ? QString() : line.mid(quotedForm.size(), end - quotedForm.size());
            if (candidates.contains(name))
                out.insert(name);
            continue;
        }
        if (!line.startsWith(listForm))
            continue;
        // The name ends at one of the ": " that follow it: each that gives
        // a name tried counts, as the line cannot tell them apart.
        for (int at = line.indexOf(QLatin1String(": "), listForm.size()); at >= 0;
             at = line.indexOf(QLatin1String(": "), at + 1)) {
            const QString name = line.mid(listForm.size(), at - listForm.size());
            if (candidates.contains(name))
                out.insert(name);
        }
    }
    return out;
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

} // namespace VxrParse
