#ifndef VXRLINK_H
#define VXRLINK_H

#include "vxrpipeline.h"

#include <QJsonValue>
#include <QList>
#include <QString>
#include <QTime>

// How the replication streams travel over the link to the backup server:
// compressed or not, and the bandwidth limit by time of day. Pure: read
// from the configuration and asked with a time, nothing here starts a
// program.
namespace VxrLink {

// One window of the limit. Without bounds it holds at every time;
// otherwise from its first minute of the day up to (not including) its
// last, running over midnight when the last comes before the first.
struct Window
{
    bool always = true;
    int fromMinute = 0;
    int toMinute = 0;
    // Bytes a second; 0 is no limit.
    qint64 rate = 0;

    bool operator==(const Window& other) const
    {
        return always == other.always && fromMinute == other.fromMinute && toMinute == other.toMinute
            && rate == other.rate;
    }
};

struct Options
{
    VxrPipeline::Codec codec = VxrPipeline::Codec::None;
    // In order; the first window holding a time gives its rate.
    QList<Window> windows;

    // True when some window limits the rate: only then do the pipelines
    // carry a limit that can change while they run.
    bool limited() const;
};

// The largest rate a window may give, bytes a second.
constexpr qint64 kMaxRate = Q_INT64_C(100) * 1024 * 1024 * 1024;

// Reads "compress" (absent: none) and "bwlimit" (absent: no limit), the
// configuration file's values. False, *options untouched and the reason in
// *why (naming the key, as "bwlimit[1].from: ...") when either is
// malformed: an unknown codec; not an array of objects; an unknown key;
// "from" without "to" or the other way round, a time other than "HH:MM"
// (00:00 to 23:59, "to" also 24:00) or a window that holds no time; a rate
// missing, negative, above kMaxRate or other than a whole number of bytes
// with an optional K, M or G (powers of 1024, as pv counts); a window after
// one that holds every time, which could never apply.
bool parse(const QJsonValue& compress, const QJsonValue& bwlimit, Options* options, QString* why);

// The rate in force at time: the first window holding it, 0 (no limit)
// when none does.
qint64 rateAt(const QList<Window>& windows, const QTime& time);

} // namespace VxrLink

#endif
