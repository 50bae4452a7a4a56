#include "hx2utils.h"

#include <QJsonDocument>
#include <QPoint>
#include <QRect>
#include <QSize>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>
#include <thread>

namespace {

template <typename T>
T truncateDouble(double d)
{
    if (std::isnan(d))
        return 0;
    if (d >= static_cast<double>(std::numeric_limits<T>::max()))
        return std::numeric_limits<T>::max();
    if (d <= static_cast<double>(std::numeric_limits<T>::min()))
        return std::numeric_limits<T>::min();
    return static_cast<T>(d);
}

// Base 10 first; then hexadecimal, which must be written with its "0x"
// prefix so that decimal-looking garbage such as "12abc" is not taken as hex.
template <typename T>
T parseInteger(const QString& text)
{
    const QString s = text.trimmed();
    bool ok = false;
    const qlonglong dec = s.toLongLong(&ok, 10);
    if (ok && dec >= std::numeric_limits<T>::min() && dec <= std::numeric_limits<T>::max())
        return static_cast<T>(dec);
    if (s.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        const qlonglong hex = s.mid(2).toLongLong(&ok, 16);
        if (ok && !s.mid(2).startsWith('-') && !s.mid(2).startsWith('+')
            && hex >= std::numeric_limits<T>::min() && hex <= std::numeric_limits<T>::max())
            return static_cast<T>(hex);
    }
    return 0;
}

} // namespace

int toInt(const QJsonValue& v)
{
    return toInt(v, 0);
}

int toInt(const QJsonValue& v, int def)
{
    switch (v.type()) {
    case QJsonValue::Double:
        return truncateDouble<int>(v.toDouble());
    case QJsonValue::Bool:
        return v.toBool() ? 1 : 0;
    case QJsonValue::String:
        return parseInteger<int>(v.toString());
    default:
        return def;
    }
}

qint64 toInt64(const QJsonValue& v)
{
    switch (v.type()) {
    case QJsonValue::Double:
        return truncateDouble<qint64>(v.toDouble());
    case QJsonValue::Bool:
        return v.toBool() ? 1 : 0;
    case QJsonValue::String:
        return parseInteger<qint64>(v.toString());
    default:
        return 0;
    }
}

QString toString(const QJsonValue& v)
{
    if (v.isDouble()) {
        const double d = v.toDouble();
        const int i = v.toInt();
        if (d == static_cast<double>(i))
            return QString::number(i);
        return QString::number(d, 'f', 6);
    }
    if (v.isString())
        return v.toString();
    return QString();
}

QString toString(const QJsonValue& v, const QString& def)
{
    const QString s = toString(v);
    return s.isEmpty() ? def : s;
}

bool toBool(const QString& s)
{
    bool ok = false;
    const qlonglong n = s.toLongLong(&ok, 10);
    if (ok)
        return n >= 1;
    static const char* const words[] = {"true", "yes", "ok", "y", "t"};
    for (const char* w : words) {
        if (s.compare(QLatin1String(w), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool toBool(const QJsonValue& v)
{
    switch (v.type()) {
    case QJsonValue::Bool:
        return v.toBool();
    case QJsonValue::Double:
        return v.toDouble() > 0;
    case QJsonValue::String:
        return toBool(v.toString());
    default:
        return false;
    }
}

bool isTrue(const QString& s) { return toBool(s); }
bool isTrue(const QJsonValue& v) { return toBool(v); }

QStringList toStrings(const QJsonValue& v, bool skipEmpty)
{
    QStringList out;
    if (!v.isArray())
        return out;
    const QJsonArray arr = v.toArray();
    for (const QJsonValue& e : arr) {
        const QString s = toString(e);
        if (skipEmpty && s.trimmed().isEmpty())
            continue;
        out.append(s);
    }
    return out;
}

double toDouble(const QJsonValue& v)
{
    switch (v.type()) {
    case QJsonValue::Double:
        return v.toDouble();
    case QJsonValue::Bool:
        return v.toBool() ? 1 : 0;
    case QJsonValue::String: {
        bool ok = false;
        const double d = v.toString().trimmed().toDouble(&ok);
        return ok ? d : 0;
    }
    default:
        return 0;
    }
}

QDateTime toDateTime(const QString& s)
{
    auto parse = [](const QString& text, const QString& fmt) {
        QDateTime dt = QDateTime::fromString(text, fmt);
        if (dt.isValid())
            dt.setTimeSpec(Qt::LocalTime);
        return dt;
    };
    const int n = s.size();
    const bool t10 = n > 10 && s.at(10) == QLatin1Char('T');
    switch (n) {
    case 1: return parse(s, "d");
    case 2: return parse(s, "dd");
    case 4: return parse(s, "yyyy");
    case 5: {
        const QChar c = s.at(2);
        if (c == '-') return parse(s, "MM-dd");
        if (c == '/') return parse(s, "MM/dd");
        if (c == ':') return parse(s, "HH:mm");
        return QDateTime();
    }
    case 6: return parse(s, "HHmmss");
    case 7: return parse(s, "yyyy-MM");
    case 8: return parse(s, "HH:mm:ss");
    case 10: return parse(s, "yyyy-MM-dd");
    case 12: return parse(s, "HH:mm:ss.zzz");
    case 14: return parse(s, "yyyyMMddHHmmss");
    case 16: return parse(s, "yyyy-MM-dd HH:mm");
    case 19:
        return t10 ? parse(s, "yyyy-MM-dd'T'HH:mm:ss") : parse(s, "yyyy-MM-dd HH:mm:ss");
    case 20:
        if (t10 && s.at(19) == QLatin1Char('Z'))
            return parse(s, "yyyy-MM-dd'T'HH:mm:ss'Z'");
        return QDateTime();
    case 22:
        return t10 ? parse(s.left(19), "yyyy-MM-dd'T'HH:mm:ss")
                   : parse(s.left(19), "yyyy-MM-dd HH:mm:ss");
    case 23:
        return t10 ? parse(s, "yyyy-MM-dd'T'HH:mm:ss.zzz") : parse(s, "yyyy-MM-dd HH:mm:ss.zzz");
    case 24: return parse(s, "yyyy-MM-dd'T'HH:mm:ss.zzz'Z'");
    case 26: return parse(s.left(23), "yyyy-MM-dd HH:mm:ss.zzz");
    case 0: case 3: case 9: case 11: case 13: case 15: case 17: case 18:
        return QDateTime();
    default:
        return parse(s.left(19), "yyyy-MM-dd HH:mm:ss");
    }
}

QDateTime toDateTime(const QJsonValue& v) { return toDateTime(toString(v)); }

QDateTime toDateTime(double serialDays)
{
    if (!std::isfinite(serialDays))
        return QDateTime();
    const double whole = std::floor(serialDays);
    const qint64 days = truncateDouble<qint64>(whole);
    const qint64 secs = truncateDouble<qint64>((serialDays - whole) * 86400.0);
    return QDateTime(QDate(1899, 12, 30), QTime(0, 0), Qt::LocalTime).addDays(days).addSecs(secs);
}

QDate toDate(const QJsonValue& v) { return toDateTime(v).date(); }

bool toJsonObject(QJsonObject& out, const QByteArray& text)
{
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(text, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    out = doc.object();
    return true;
}

bool toJsonObject(QJsonObject& out, const QString& text) { return toJsonObject(out, text.toUtf8()); }

QJsonObject toJsonObject(const QByteArray& text)
{
    QJsonObject out;
    toJsonObject(out, text);
    return out;
}

QJsonObject toJsonObject(const QString& text) { return toJsonObject(text.toUtf8()); }

QJsonArray toJsonArray(const QByteArray& text)
{
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(text, &err);
    if (err.error != QJsonParseError::NoError || !doc.isArray())
        return QJsonArray();
    return doc.array();
}

QJsonArray toJsonArray(const QString& text) { return toJsonArray(text.toUtf8()); }

QJsonObject jsonMerge(const QJsonObject& a, const QJsonObject& b)
{
    QJsonObject out = a;
    for (auto it = b.begin(); it != b.end(); ++it)
        out.insert(it.key(), it.value());
    return out;
}

qint64 asCapacity(const QString& text)
{
    const QString s = text.trimmed().toLower();
    struct Unit { const char* suffix; double factor; };
    static const Unit units[] = {
        {"k", 1024.0}, {"kb", 1024.0}, {"kib", 1024.0},
        {"m", 1048576.0}, {"mb", 1048576.0}, {"mib", 1048576.0},
        {"g", 1073741824.0}, {"gb", 1073741824.0}, {"gib", 1073741824.0},
        {"t", 1099511627776.0}, {"tb", 1099511627776.0}, {"tib", 1099511627776.0},
    };
    for (const Unit& u : units) {
        const QLatin1String suffix(u.suffix);
        if (s.endsWith(suffix)) {
            bool ok = false;
            const double n = s.left(s.size() - suffix.size()).trimmed().toDouble(&ok);
            return ok ? truncateDouble<qint64>(n * u.factor) : 0;
        }
    }
    bool ok = false;
    if (s.endsWith('b')) {
        const qulonglong n = s.left(s.size() - 1).trimmed().toULongLong(&ok, 10);
        return ok ? static_cast<qint64>(n) : 0;
    }
    const qlonglong n = s.toLongLong(&ok, 10);
    return ok ? n : 0;
}

qint64 toSizeMB(const QString& s)
{
    return asCapacity(s) / 1048576;
}

QString capacitySize(qint64 bytes)
{
    if (bytes < 1024)
        return QString::number(bytes) + QLatin1String(" B");
    struct Unit { double factor; const char* name; };
    static const Unit units[] = {
        {1099511627776.0, " TB"}, {1073741824.0, " GB"}, {1048576.0, " MB"}, {1024.0, " KB"},
    };
    for (const Unit& u : units) {
        if (static_cast<double>(bytes) >= u.factor || u.factor == 1024.0) {
            QString text = QString::number(static_cast<double>(bytes) / u.factor, 'f', 2);
            while (text.endsWith('0'))
                text.chop(1);
            if (text.endsWith('.'))
                text.chop(1);
            return text + QLatin1String(u.name);
        }
    }
    return QString();
}

QString adjustCapacity(const QString& s) { return capacitySize(asCapacity(s)); }

QString currentThreadId()
{
    std::ostringstream os;
    os << std::this_thread::get_id();
    return QString::fromStdString(os.str());
}

// ---- Console trace

namespace {
// Qt 5 sets up its date and time formatting lazily and not thread-safely:
// threads that print their first trace lines at the same moment can get an
// empty time. Formatting once while the program loads avoids the race.
const bool g_timeFormattingReady = !QTime(0, 0).toString(QStringLiteral("HH:mm:ss.zzz ")).isEmpty()
                                   && !QDateTime::currentDateTime().toString(QStringLiteral("yyyy")).isEmpty();
} // namespace

std::mutex& PRINTMUTEX()
{
    static std::mutex m;
    return m;
}

static void writeOut(const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
}

void PRINT(const char* text)
{
    if (text)
        std::fputs(text, stdout);
}

static QString render(const QVariant& v)
{
    const int type = v.userType();
    if (type == QMetaType::QJsonObject)
        return QString::fromUtf8(QJsonDocument(v.toJsonObject()).toJson(QJsonDocument::Indented));
    if (type == QMetaType::QJsonArray)
        return QString::fromUtf8(QJsonDocument(v.toJsonArray()).toJson(QJsonDocument::Indented));
    if (type == QMetaType::QJsonValue) {
        const QJsonValue jv = v.toJsonValue();
        if (jv.isObject())
            return QString::fromUtf8(QJsonDocument(jv.toObject()).toJson(QJsonDocument::Indented));
        if (jv.isArray())
            return QString::fromUtf8(QJsonDocument(jv.toArray()).toJson(QJsonDocument::Indented));
        return jv.toVariant().toString();
    }
    if (type == QMetaType::QStringList)
        return QLatin1String("QStringList(") + v.toStringList().join("; ") + QLatin1String(")");
    if (type == QMetaType::QRect) {
        const QRect r = v.toRect();
        return QString("QRect(%1, %2, %3, %4)").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
    }
    if (type == QMetaType::QSize) {
        const QSize s = v.toSize();
        return QString("QSize(%1, %2)").arg(s.width()).arg(s.height());
    }
    if (type == QMetaType::QPoint) {
        const QPoint p = v.toPoint();
        return QString("QPoint(%1, %2)").arg(p.x()).arg(p.y());
    }
    if (type == QMetaType::QByteArray) {
        return QString::fromLocal8Bit(beforeZero(v.toByteArray()));
    }
    if (type == QMetaType::Bool)
        return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    return v.toString();
}

void PRINT(const QVariant& v) { writeOut(render(v)); }

void PRINTLN(const QVariant& v)
{
    PRINT(v);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void PRINTLN(const QList<QJsonObject>& list)
{
    QJsonArray arr;
    for (const QJsonObject& o : list)
        arr.append(o);
    PRINTLN(QVariant(arr));
}

void PRINTLN(const QList<QString>& list)
{
    writeOut(QStringList(list).join("; "));
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void PRINTPOS(const char* file, int line, const char* func)
{
    QString name = QString::fromLocal8Bit(file ? file : "");
    const int cut = std::max(name.lastIndexOf('/'), name.lastIndexOf('\\'));
    if (cut >= 0)
        name = name.mid(cut + 1);
    writeOut(QLatin1String(">>-->") + QTime::currentTime().toString("HH:mm:ss.zzz ") + name
             + QLatin1Char('#') + QString::number(line) + QLatin1String(" => ")
             + QString::fromLocal8Bit(func ? func : "") + QLatin1String(": "));
}

void PRINTNAME(const QVariant& name)
{
    const QString text = name.toString();
    if (text.isEmpty())
        writeOut(QStringLiteral("~~ ~~ ~~"));
    else
        writeOut(text + QLatin1String(" = "));
}

void TRACELN(const QVariant& v)
{
    writeOut(QTime::currentTime().toString("HH:mm:ss.zzz ") + render(v));
}

void HX2StatePrintln(int code, const QString& text)
{
    struct State { const char* label; const char* labelColour; const char* textColour; };
    static const State states[] = {
        {"SUCCEED", "\x1b[1m\x1b[32m", "\x1b[0m"},
        {"IGNORE ", "\x1b[1m\x1b[37m", "\x1b[0m"},
        {"WARNING", "\x1b[1m\x1b[33m", "\x1b[33m"},
        {"NOT CFG", "\x1b[1m\x1b[35m", "\x1b[1m\x1b[30m"},
        {"FAILED ", "\x1b[1m\x1b[31m", "\x1b[0m"},
    };
    static const State others = {"OTHERS ", "\x1b[35m", "\x1b[0m"};
    const State& s = (code >= 0 && code <= 4) ? states[code] : others;
    QString line = QLatin1String("\x1b[1m\x1b[30m[") + QLatin1String(s.labelColour)
                   + QLatin1String(s.label) + QLatin1String("\x1b[1m\x1b[30m] ")
                   + QLatin1String(s.textColour) + text + QLatin1String("\x1b[0m\n");
    writeOut(line);
    std::fflush(stdout);
}
