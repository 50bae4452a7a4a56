#include "vxrretention.h"

#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <vector>

namespace VxrRetention {

namespace {

constexpr int kMaxCount = 1000000;
constexpr qint64 kDaySecs = 86400;

// Days since 1970-01-01 of a proleptic Gregorian date.
qint64 daysFromCivil(int y, int m, int d)
{
    y -= m <= 2 ? 1 : 0;
    const qint64 era = (y >= 0 ? y : y - 399) / 400;
    const qint64 yoe = y - era * 400;
    const qint64 doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const qint64 doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int daysInMonth(int y, int m)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : days[m - 1];
}

// The date of a day since 1970-01-01, as daysFromCivil counts them.
void civilFromDays(qint64 z, int* y, int* m, int* d)
{
    z += 719468;
    const qint64 era = (z >= 0 ? z : z - 146096) / 146097;
    const qint64 doe = z - era * 146097;
    const qint64 yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const qint64 doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const qint64 mp = (5 * doy + 2) / 153;
    *d = int(doy - (153 * mp + 2) / 5 + 1);
    *m = int(mp < 10 ? mp + 3 : mp - 9);
    *y = int(yoe + era * 400 + (*m <= 2 ? 1 : 0));
}

// One candidate: its wall-clock time and the periods it falls in.
struct Stamp
{
    qint64 wall;    // seconds since 1970-01-01 00:00 of the local wall clock
    qint64 day;
    int month;      // year * 12 + month - 1
    int hour;
    int index;      // position in the names
};

int digits(const QChar* p, int n)
{
    int v = 0;
    for (int i = 0; i < n; ++i)
        v = v * 10 + (p[i].unicode() - '0');
    return v;
}

// The stamp of "<prefix><14 digits>", false for anything else.
bool stampOf(QStringView name, QStringView prefix, Stamp* out)
{
    if (name.size() != prefix.size() + 14 || !name.startsWith(prefix))
        return false;
    const QChar* p = name.data() + prefix.size();
    for (int i = 0; i < 14; ++i) {
        if (p[i] < QLatin1Char('0') || p[i] > QLatin1Char('9'))
            return false;
    }
    const int y = digits(p, 4), mo = digits(p + 4, 2), d = digits(p + 6, 2);
    const int h = digits(p + 8, 2), mi = digits(p + 10, 2), s = digits(p + 12, 2);
    if (mo < 1 || mo > 12 || d < 1 || d > daysInMonth(y, mo) || h > 23 || mi > 59 || s > 59)
        return false;
    out->day = daysFromCivil(y, mo, d);
    out->wall = out->day * kDaySecs + h * 3600 + mi * 60 + s;
    out->month = y * 12 + mo - 1;
    out->hour = h;
    return true;
}

// Moves a stamp to another wall-clock time, with its periods.
void setWall(Stamp* s, qint64 wall)
{
    s->wall = wall;
    s->day = wall >= 0 ? wall / kDaySecs : (wall - kDaySecs + 1) / kDaySecs;
    s->hour = int((wall - s->day * kDaySecs) / 3600);
    int y, m, d;
    civilFromDays(s->day, &y, &m, &d);
    s->month = y * 12 + m - 1;
}

// The clock was stepped by more than a day while these were taken (in
// creation order), or stands more than a day behind one of them.
bool clockDisagrees(const std::vector<Stamp>& made, qint64 nowWall)
{
    qint64 newest = made.front().wall;
    for (size_t i = 1; i < made.size(); ++i) {
        if (made[i].wall < made[i - 1].wall - kDaySecs)
            return true;
        newest = std::max(newest, made[i].wall);
    }
    return newest > nowWall + kDaySecs;
}

// Puts stamps that disagree with the clock on one timeline that follows
// creation order: the newest keeps its stamp (now, when that stamp is more
// than a day ahead), and going back, each gap between neighbours counts
// as it reads when it is a forward step of a day at most, and as none
// otherwise (the clock stepped, or the service stood still).
void retime(std::vector<Stamp>& made, qint64 nowWall)
{
    qint64 t = made.back().wall > nowWall + kDaySecs ? nowWall : made.back().wall;
    for (size_t i = made.size(); i-- > 0;) {
        const qint64 stamped = made[i].wall;
        setWall(&made[i], t);
        if (i > 0) {
            const qint64 step = stamped - made[i - 1].wall;
            t -= step >= 0 && step <= kDaySecs ? step : 0;
        }
    }
}

// Keeps the newest snapshot of each of the newest `count` periods; sorted
// is newest first, so a period's first entry is its newest.
template <typename Key>
void keepPeriods(const std::vector<Stamp>& sorted, int count, std::vector<char>& keep, Key key)
{
    qint64 previous = 0;
    int taken = 0;
    for (size_t i = 0; i < sorted.size() && taken < count; ++i) {
        const qint64 k = key(sorted[i]);
        if (i > 0 && k == previous)
            continue;
        previous = k;
        keep[i] = 1;
        ++taken;
    }
}

bool readCount(const QJsonValue& v, int* out)
{
    if (!v.isDouble())
        return false;
    const double d = v.toDouble();
    if (!(d >= 0 && d <= kMaxCount) || d != std::floor(d))
        return false;
    *out = int(d);
    return true;
}

bool readSpan(const QJsonValue& v, qint64* secs)
{
    const QString text = v.toString();
    if (!v.isString() || text.size() < 2 || text.size() > 7)
        return false;
    bool ok = false;
    const qint64 n = text.leftRef(text.size() - 1).toLongLong(&ok);
    if (!ok || n < 1 || !text.at(0).isDigit())
        return false;
    switch (text.back().unicode()) {
    case 'm': *secs = n * 60; return true;
    case 'h': *secs = n * 3600; return true;
    case 'd': *secs = n * kDaySecs; return true;
    case 'w': *secs = n * 7 * kDaySecs; return true;
    default: return false;
    }
}

bool readRule(const QJsonValue& value, const QString& where, Rule* rule, QString* why)
{
    if (!value.isObject()) {
        *why = where + QStringLiteral(": an object expected");
        return false;
    }
    const QJsonObject o = value.toObject();
    Rule r;
    const struct { const char* key; int* field; } counts[] = {
        {"last", &r.last}, {"hourly", &r.hourly}, {"daily", &r.daily}, {"weekly", &r.weekly}, {"monthly", &r.monthly}};
    for (auto it = o.begin(); it != o.end(); ++it) {
        const QString key = it.key();
        const QString at = where + QLatin1Char('.') + key;
        if (key == QLatin1String("within")) {
            if (!readSpan(it.value(), &r.withinSecs)) {
                *why = at + QStringLiteral(": a span such as \"90m\", \"24h\", \"30d\" or \"2w\" expected");
                return false;
            }
            continue;
        }
        int* field = nullptr;
        for (const auto& c : counts) {
            if (key == QLatin1String(c.key))
                field = c.field;
        }
        if (!field) {
            *why = at + QStringLiteral(": unknown key");
            return false;
        }
        if (!readCount(it.value(), field)) {
            *why = at + QStringLiteral(": a whole number from 0 to %1 expected").arg(kMaxCount);
            return false;
        }
    }
    if (r.withinSecs == 0 && r.last == 0 && r.hourly == 0 && r.daily == 0 && r.weekly == 0 && r.monthly == 0) {
        *why = where + QStringLiteral(": keeps nothing; give \"within\", \"last\", \"hourly\", \"daily\", "
                                      "\"weekly\" or \"monthly\"");
        return false;
    }
    *rule = r;
    return true;
}

} // namespace

bool parsePolicy(const QJsonValue& value, Policy* policy, QString* why)
{
    if (value.isUndefined() || value.isNull()) {
        *policy = Policy();
        return true;
    }
    if (!value.isObject()) {
        *why = QStringLiteral("retention: an object expected");
        return false;
    }
    const QJsonObject o = value.toObject();
    Policy p;
    p.enabled = true;
    for (auto it = o.begin(); it != o.end(); ++it) {
        const QString where = QStringLiteral("retention.") + it.key();
        if (it.key() == QLatin1String("local")) {
            p.hasLocal = readRule(it.value(), where, &p.local, why);
            if (!p.hasLocal)
                return false;
        } else if (it.key() == QLatin1String("remote")) {
            p.hasRemote = readRule(it.value(), where, &p.remote, why);
            if (!p.hasRemote)
                return false;
        } else {
            *why = where + QStringLiteral(": unknown key");
            return false;
        }
    }
    if (!p.hasLocal && !p.hasRemote) {
        *why = QStringLiteral("retention: neither \"local\" nor \"remote\" given");
        return false;
    }
    *policy = p;
    return true;
}

QStringList choose(const QString& dataset, const QStringList& names, const QDateTime& now, const Rule& rule,
                   const QString& base, const QSet<QString>& pinned, bool* clockWrong)
{
    if (clockWrong)
        *clockWrong = false;
    // The newest in creation order is kept, whatever its stamp says.
    int protectFrom = names.size() - 1;
    if (!base.isEmpty()) {
        protectFrom = names.lastIndexOf(base);
        if (protectFrom < 0)
            return QStringList();
    }
    const QString prefix = dataset + QLatin1String("@vxr_");
    std::vector<Stamp> sorted;
    sorted.reserve(size_t(names.size()));
    for (int i = 0; i < names.size(); ++i) {
        Stamp s;
        if (stampOf(QStringView(names.at(i)), QStringView(prefix), &s)) {
            s.index = i;
            sorted.push_back(s);
        }
    }
    if (sorted.empty())
        return QStringList();
    const QDate d = now.date();
    const qint64 nowWall = daysFromCivil(d.year(), d.month(), d.day()) * kDaySecs
                           + now.time().msecsSinceStartOfDay() / 1000;
    if (clockDisagrees(sorted, nowWall)) {
        retime(sorted, nowWall);
        if (clockWrong)
            *clockWrong = true;
    }
    // Newest first; a tie goes to the later one in creation order. The
    // rules count over every candidate, the protected ones included.
    std::sort(sorted.begin(), sorted.end(), [](const Stamp& a, const Stamp& b) {
        return a.wall != b.wall ? a.wall > b.wall : a.index > b.index;
    });

    std::vector<char> keep(sorted.size(), 0);
    keep[0] = 1;
    for (size_t i = 0; i < sorted.size() && i < size_t(rule.last); ++i)
        keep[i] = 1;
    if (rule.withinSecs > 0) {
        for (size_t i = 0; i < sorted.size() && nowWall - sorted[i].wall < rule.withinSecs; ++i)
            keep[i] = 1;
    }
    keepPeriods(sorted, rule.hourly, keep, [](const Stamp& s) { return s.day * 24 + s.hour; });
    keepPeriods(sorted, rule.daily, keep, [](const Stamp& s) { return s.day; });
    // Weeks begin on Monday; 1970-01-01 was a Thursday.
    keepPeriods(sorted, rule.weekly, keep, [](const Stamp& s) { return s.day - ((s.day + 3) % 7 + 7) % 7; });
    keepPeriods(sorted, rule.monthly, keep, [](const Stamp& s) { return qint64(s.month); });

    std::vector<int> chosen;
    for (size_t i = 0; i < sorted.size(); ++i) {
        if (!keep[i] && sorted[i].index < protectFrom && !pinned.contains(names.at(sorted[i].index)))
            chosen.push_back(sorted[i].index);
    }
    std::sort(chosen.begin(), chosen.end());
    QStringList out;
    out.reserve(int(chosen.size()));
    for (int i : chosen)
        out.append(names.at(i));
    return out;
}

} // namespace VxrRetention
