#include "vxrlink.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>

namespace VxrLink {

namespace {

// "HH:MM" as minutes of the day; "24:00" only where endOfDay allows it.
bool readTime(const QJsonValue& value, bool endOfDay, int* minute)
{
    static const QRegularExpression form(QStringLiteral("^([0-9]{2}):([0-9]{2})$"));
    const QRegularExpressionMatch m = form.match(value.toString());
    if (!value.isString() || !m.hasMatch())
        return false;
    const int hour = m.captured(1).toInt();
    const int min = m.captured(2).toInt();
    if (min > 59 || hour > 24 || (hour == 24 && (min != 0 || !endOfDay)))
        return false;
    *minute = hour * 60 + min;
    return true;
}

// A whole number of bytes a second, as a JSON number or as text with an
// optional K, M or G.
bool readRate(const QJsonValue& value, qint64* rate)
{
    if (value.isDouble()) {
        const double d = value.toDouble();
        if (d < 0 || d > double(kMaxRate) || d != double(qint64(d)))
            return false;
        *rate = qint64(d);
        return true;
    }
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,15})([KkMmGg]?)$"));
    const QRegularExpressionMatch m = form.match(value.toString());
    if (!value.isString() || !m.hasMatch())
        return false;
    qint64 n = m.captured(1).toLongLong();
    const QChar unit = m.captured(2).isEmpty() ? QChar() : m.captured(2).at(0).toUpper();
    const int shift = unit == QLatin1Char('K') ? 10 : unit == QLatin1Char('M') ? 20 : unit == QLatin1Char('G') ? 30 : 0;
    if (n > (kMaxRate >> shift))
        return false;
    *rate = n << shift;
    return true;
}

bool holds(const Window& w, int minute)
{
    if (w.always)
        return true;
    if (w.fromMinute < w.toMinute)
        return minute >= w.fromMinute && minute < w.toMinute;
    return minute >= w.fromMinute || minute < w.toMinute;
}

bool readWindow(const QJsonValue& value, const QString& where, Window* window, QString* why)
{
    if (!value.isObject()) {
        *why = where + QStringLiteral(": an object expected");
        return false;
    }
    const QJsonObject o = value.toObject();
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (it.key() != QLatin1String("from") && it.key() != QLatin1String("to") && it.key() != QLatin1String("rate")) {
            *why = where + QLatin1Char('.') + it.key() + QStringLiteral(": unknown key");
            return false;
        }
    }
    Window w;
    if (o.contains(QLatin1String("from")) != o.contains(QLatin1String("to"))) {
        *why = where + QStringLiteral(": \"from\" and \"to\" go together");
        return false;
    }
    if (o.contains(QLatin1String("from"))) {
        w.always = false;
        if (!readTime(o.value(QLatin1String("from")), false, &w.fromMinute)) {
            *why = where + QStringLiteral(".from: a time from \"00:00\" to \"23:59\" expected");
            return false;
        }
        if (!readTime(o.value(QLatin1String("to")), true, &w.toMinute)) {
            *why = where + QStringLiteral(".to: a time from \"00:00\" to \"24:00\" expected");
            return false;
        }
        if (w.fromMinute == w.toMinute) {
            *why = where + QStringLiteral(": \"from\" and \"to\" are the same time, the window holds none");
            return false;
        }
    }
    if (!o.contains(QLatin1String("rate")) || !readRate(o.value(QLatin1String("rate")), &w.rate)) {
        *why = where + QStringLiteral(".rate: bytes a second expected, such as \"2M\" (K, M, G: powers of 1024; "
                                      "\"0\": no limit; at most 100G)");
        return false;
    }
    *window = w;
    return true;
}

bool readWindows(const QJsonValue& value, QList<Window>* windows, QString* why)
{
    windows->clear();
    if (value.isUndefined() || value.isNull())
        return true;
    if (!value.isArray()) {
        *why = QStringLiteral("bwlimit: an array of windows expected");
        return false;
    }
    const QJsonArray a = value.toArray();
    for (int i = 0; i < a.size(); ++i) {
        const QString where = QStringLiteral("bwlimit[%1]").arg(i);
        if (!windows->isEmpty() && windows->last().always) {
            *why = where + QStringLiteral(": never applies, bwlimit[%1] holds every time").arg(i - 1);
            return false;
        }
        Window w;
        if (!readWindow(a.at(i), where, &w, why))
            return false;
        windows->append(w);
    }
    return true;
}

} // namespace

bool Options::limited() const
{
    for (const Window& w : windows) {
        if (w.rate > 0)
            return true;
    }
    return false;
}

bool parse(const QJsonValue& compress, const QJsonValue& bwlimit, Options* options, QString* why)
{
    Options o;
    if (!compress.isUndefined() && !compress.isNull()) {
        using VxrPipeline::Codec;
        const QString name = compress.toString();
        if (compress.isString() && name == codecName(Codec::Zstd))
            o.codec = Codec::Zstd;
        else if (compress.isString() && name == codecName(Codec::Lz4))
            o.codec = Codec::Lz4;
        else if (!compress.isString() || name != codecName(Codec::None)) {
            *why = QStringLiteral("compress: one of \"none\", \"zstd\" and \"lz4\" expected");
            return false;
        }
    }
    if (!readWindows(bwlimit, &o.windows, why))
        return false;
    *options = o;
    return true;
}

qint64 rateAt(const QList<Window>& windows, const QTime& time)
{
    const int minute = time.hour() * 60 + time.minute();
    for (const Window& w : windows) {
        if (holds(w, minute))
            return w.rate;
    }
    return 0;
}

} // namespace VxrLink
