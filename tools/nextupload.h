#ifndef NEXTUPLOAD_H
#define NEXTUPLOAD_H

#include <QDate>
#include <QDateTime>
#include <QJsonArray>
#include <QTime>

// When the service's next daily upload comes, from the settings' schedule
// (its "server"."schedule" array of {"hour", "minute"} objects). The
// service owns this rule and the tool does not link the service, so this
// is a copy of it that must give the same moments, daylight-saving
// changes included; the tool's tests hold it to the service's results.
namespace NextUpload {

// The moment the local clock reads time on date: a reading the clock
// shows twice is its first moment, a reading the clock skips is the first
// whole minute after the gap. Never invalid.
QDateTime localMoment(const QDate& date, const QTime& time);

// The next moment at or after which hour:minute (00:00 for a time of day
// that does not exist) is due, counted from now: today's when now is
// earlier, else tomorrow's. Never invalid.
QDateTime nextOccurrence(const QDateTime& now, int hour, int minute);

// The earliest next occurrence over the schedule's entries, each read as
// the service reads it (an entry that is not an object is 00:00). Invalid
// for an empty schedule: the service then never uploads.
QDateTime earliest(const QDateTime& now, const QJsonArray& schedule);

// True when one of the schedule's daily times came within the windowSecs
// seconds up to now. The service settles its next upload time whenever its
// settings are read, so a read between a daily time and the scheduler's
// check of it passes that upload over; a caller that reads the settings
// again and again stays away from them in such a window.
bool recentlyDue(const QDateTime& now, const QJsonArray& schedule, int windowSecs);

} // namespace NextUpload

#endif
