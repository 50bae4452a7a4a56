#ifndef VXRRETENTION_H
#define VXRRETENTION_H

#include <QDateTime>
#include <QJsonValue>
#include <QSet>
#include <QString>
#include <QStringList>


// Which of the engine's own snapshots may go, so that a snapshot every few
// minutes does not fill the pool. Pure: nothing here starts a program.
namespace VxrRetention {

// One side's rule. A snapshot is kept when any part keeps it: it is
// younger than withinSecs, among the newest `last`, or the newest of its
// hour, day, week (Monday to Sunday) or month for the newest `hourly`,
// `daily`, `weekly` or `monthly` periods that hold a snapshot.
struct Rule
{
    qint64 withinSecs = 0;
    int last = 0;
    int hourly = 0;
    int daily = 0;
    int weekly = 0;
    int monthly = 0;
};

// The configuration's "retention" key.
struct Policy
{
    // The key is present: the incremental base is held on both sides.
    bool enabled = false;
    bool hasLocal = false;
    Rule local;
    bool hasRemote = false;
    Rule remote;
};

// Reads the "retention" value: absent (undefined) or null gives a policy
// that is not enabled. Otherwise it must be an object with "local",
// "remote" or both, each an object of the keys "within" (a span such as
// "90m", "24h", "30d", "2w"), "last", "hourly", "daily", "weekly" and
// "monthly" (whole numbers 0 to 1000000), at least one of them keeping
// something. Anything else: false, *policy untouched, the reason in *why.
bool parsePolicy(const QJsonValue& value, Policy* policy, QString* why);

// The snapshots of names that rule lets go at now, in the order of names.
//
// names are one dataset's snapshots in creation order, oldest first, as
// zfs lists them. Only "<dataset>@vxr_" followed by a valid
// yyyyMMddHHmmss stamp (local time, as the service names them) is ever
// chosen; their stamps decide ages and periods. Never chosen: the newest
// of these, every snapshot from base onward (the next upload's base and
// all after it), and pinned names. A base that is not among names
// protects an unknown span: nothing is chosen then.
//
// Where the stamps and the clock disagree (a stamp more than a day before
// that of the snapshot made just before it, or one more than a day after
// now) the clock was stepped: ages and periods then follow creation order,
// the newest made dating from its stamp (from now, when the stamp is more
// than a day ahead), and every step between neighbours that goes back, or
// forward by more than a day, counting as no time. *clockWrong, when
// given, tells whether that was so.
QStringList choose(const QString& dataset, const QStringList& names, const QDateTime& now, const Rule& rule,
                   const QString& base, const QSet<QString>& pinned, bool* clockWrong = nullptr);

} // namespace VxrRetention

#endif
