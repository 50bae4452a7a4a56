// Number, money, time and version texts; list and JSON conversions.
#include "hx2utils.h"

#include <QJsonDocument>
#include <QTextCodec>

#include <algorithm>
#include <cmath>
#include <cstdlib>

QString toStrOfInt(const QJsonValue& v, const QString& def)
{
    double d = 0;
    if (v.isDouble()) {
        d = v.toDouble();
    } else if (v.isString()) {
        bool ok = false;
        d = v.toString().trimmed().toDouble(&ok);
        if (!ok)
            return def;
    } else {
        return def;
    }
    // Beyond 2^53 a double holds no exact integer anyway.
    if (!std::isfinite(d) || std::fabs(d) >= 9007199254740992.0)
        return def;
    const qint64 n = static_cast<qint64>(d);
    return n == 0 ? def : QStringLiteral("%L1").arg(n, 3);
}

QString toStrOfInt(int n, const QString& def)
{
    return n == 0 ? def : QStringLiteral("%L1").arg(n, 3);
}

QString toDoubleString(const QJsonValue& v)
{
    return v.isDouble() ? QString::number(v.toDouble(), 'f', 6) : QStringLiteral("0");
}

QString toMoneyString(double amount, const QString& def)
{
    return amount == 0 ? def : QString::asprintf("%.2f", amount);
}

QString toMoneyString(const QJsonValue& v, const QString& def)
{
    return toMoneyString(toDouble(v), def);
}

QString secsToTimes(int secs)
{
    const long long s = std::llabs(static_cast<long long>(secs));
    return QString::asprintf("%s%02lld:%02lld:%02lld", secs < 0 ? "-" : "", s / 3600, (s % 3600) / 60, s % 60);
}

static QDateTime buildTime(const QString& date, const QString& time, bool unknownIsJanuary)
{
    static const char* const months[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                         "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    const QStringList parts = date.simplified().split(QLatin1Char(' '));
    if (parts.size() != 3)
        return QDateTime();
    int month = 0;
    const QString name = parts.at(0).toUpper();
    for (int i = 0; i < 12 && month == 0; ++i) {
        if (name == QLatin1String(months[i]))
            month = i + 1;
    }
    if (month == 0) {
        if (!unknownIsJanuary)
            return QDateTime();
        month = 1;
    }
    const QDate d(parts.at(2).toInt(), month, parts.at(1).toInt());
    return QDateTime(d, QTime::fromString(time.trimmed(), QStringLiteral("hh:mm:ss")));
}

QDateTime complieDateTime(const QString& date, const QString& time)
{
    return buildTime(date, time, false);
}

QDateTime gccDateTime(const QString& date, const QString& time)
{
    return buildTime(date, time, true);
}

int compareVersion(const QString& a, const QString& b)
{
    const QStringList pa = a.split(QLatin1Char('.'));
    const QStringList pb = b.split(QLatin1Char('.'));
    for (int i = 0; i < std::max(pa.size(), pb.size()); ++i) {
        const int x = i < pa.size() ? pa.at(i).toInt() : 0;
        const int y = i < pb.size() ? pb.at(i).toInt() : 0;
        if (x != y)
            return x - y;
    }
    return 0;
}

int compareFourInt(const QString& a, const QString& b) { return compareVersion(a, b); }

QList<int> toInts(const QJsonArray& a)
{
    QList<int> out;
    out.reserve(a.size());
    for (const QJsonValue& v : a)
        out.append(toInt(v));
    return out;
}

QList<int> jarrayToInts(const QJsonArray& a) { return toInts(a); }

QList<int> toSortList(const QJsonArray& a)
{
    QList<int> out = toInts(a);
    std::sort(out.begin(), out.end());
    return out;
}

QJsonArray toJsonArray(const QList<int>& list)
{
    QJsonArray out;
    for (int n : list)
        out.append(n);
    return out;
}

QJsonArray toJArray(const QList<int>& list) { return toJsonArray(list); }
QJsonArray IntsToJArray(const QList<int>& list) { return toJsonArray(list); }

QStringList toStrings(const QList<QByteArray>& list, bool skipEmpty)
{
    QStringList out;
    for (const QByteArray& b : list) {
        const QString text = QString::fromLatin1(beforeZero(b));
        if (skipEmpty && text.trimmed().isEmpty())
            continue;
        out.append(text);
    }
    return out;
}

QJsonArray toJsonArray(const QList<QByteArray>& list, bool skipEmpty)
{
    return QJsonArray::fromStringList(toStrings(list, skipEmpty));
}

QJsonValue toJsonValue(const QJsonValue& v)
{
    if (v.isString()) {
        const QJsonDocument doc = QJsonDocument::fromJson(v.toString().toUtf8());
        if (doc.isObject())
            return doc.object();
        if (doc.isArray())
            return doc.array();
    }
    return QJsonObject();
}

QString jsonToString(const QJsonValue& v)
{
    if (v.isObject())
        return QString::fromUtf8(QJsonDocument(v.toObject()).toJson(QJsonDocument::Compact));
    if (v.isArray())
        return QString::fromUtf8(QJsonDocument(v.toArray()).toJson(QJsonDocument::Compact));
    return QStringLiteral("{}");
}

QStringList intersect(const QStringList& a, const QStringList& b, Qt::CaseSensitivity cs)
{
    QStringList out;
    for (const QString& s : a) {
        if (b.contains(s, cs))
            out.append(s);
    }
    return out;
}

QHash<QString, QString> cmdArguments(const QStringList& args)
{
    QHash<QString, QString> out;
    QString pending;
    bool hasPending = false;
    for (const QString& a : args) {
        if (a.startsWith(QLatin1Char('-'))) {
            if (hasPending)
                out.insert(pending, QString());
            pending = a;
            hasPending = true;
        } else {
            out.insert(hasPending ? pending : QString(), a);
            hasPending = false;
        }
    }
    if (hasPending)
        out.insert(pending, QString());
    return out;
}

QByteArray GbkToUtf8(const QByteArray& gbk)
{
    QTextCodec* codec = QTextCodec::codecForName("GBK");
    return codec ? codec->toUnicode(gbk).toUtf8() : QByteArray();
}

QByteArray Utf8ToGbk(const QByteArray& utf8)
{
    QTextCodec* codec = QTextCodec::codecForName("GBK");
    return codec ? codec->fromUnicode(QString::fromUtf8(utf8)) : QByteArray();
}

QString MyClassName(const char* name)
{
    if (!name || !*name)
        return QString();
    const char* p = name + 1;
    while (*p >= '0' && *p <= '9')
        ++p;
    return QString::fromLatin1(p);
}

QString PRETTY(const char* signature, int line)
{
    QString s = QString::fromUtf8(signature ? signature : "");
    const int open = s.indexOf(QLatin1Char('('));
    if (open >= 0)
        s.truncate(open);
    s = s.mid(s.lastIndexOf(QLatin1Char(' ')) + 1);
    if (line > 0)
        s += QLatin1Char('#') + QString::number(line);
    return s;
}
