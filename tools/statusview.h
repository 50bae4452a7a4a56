#ifndef STATUSVIEW_H
#define STATUSVIEW_H

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// The pure side of the status view (vxrstatus): what the screen and the
// JSON form show, made from the service's replies; no socket, no terminal.
namespace StatusView {

// ---- Texts

// Binary units: "0 B", "1023 B", "1.0 KiB", "15.2 MiB", "2.0 GiB"; a
// negative count as "0 B".
QString bytesText(qint64 bytes);
// "0s", "59s", "1m05s", "3h07m", "2d05h"; a negative count as "0s".
QString durationText(qint64 seconds);
// A bar exactly width characters wide (at least 3): "[", one "#" per
// filled cell, "-" for the rest, "]". percent is clamped to 0..100; a cell
// is filled only once its whole share is reached.
QString bar(int percent, int width);
// Text from the service made safe for a terminal: every control character
// (C0, DEL, C1) becomes a blank, so no reply can move the cursor or change
// the terminal's state.
QString cleanText(const QString& text);
// An operation-log message as a person reads it: the marker around its
// fixed phrase removed, control characters made blanks.
QString logMessage(const QString& message);
// Columns the text takes on a terminal: East Asian wide characters take
// two, everything else one.
int displayWidth(const QString& text);
// The longest start of text that fits in columns (no character is split).
QString fitWidth(const QString& text, int columns);

// ---- Progress seen across polls

// What successive listings tell about one running task.
struct TaskTiming
{
    // Seconds since the task was first seen running; -1 when never seen.
    qint64 elapsedSecs = -1;
    // False when the task already ran when first seen: it then started
    // earlier than elapsedSecs says.
    bool elapsedExact = false;
    // Bytes a second: the slope of the line that fits best through the
    // points (time, "currsize") at which "currsize" was seen to change;
    // -1 until two changes were seen. The service moves "currsize" every
    // few seconds and each move is seen up to a poll late, so fitting all
    // of them evens those delays out; the time before the first move (the
    // pipeline starting) does not count.
    double bytesPerSec = -1;
    // Seconds until "totalsize" at that speed; -1 when not known.
    qint64 leftSecs = -1;
};

// Follows the running task (the queue's first entry once its "step" is 1)
// from one listing to the next. Used from one thread.
class ProgressTracker
{
public:
    // One poll of the queue at monotonic time ms. ok is false when the
    // listing did not come (no reply or a refusal); tasks is then ignored,
    // and a task first seen after such a poll counts as already running.
    void observe(qint64 ms, const QJsonArray& tasks, bool ok);
    // The timing of the task with this "index" as of monotonic time ms.
    TaskTiming timing(int index, qint64 ms) const;

private:
    struct Seen
    {
        qint64 firstMs = 0;
        bool exact = false;
        qint64 bytes = 0;
        qint64 total = 0;
        // The changes of "currsize": (ms, bytes), the newest kChanges.
        QList<QPair<qint64, qint64>> changes;
    };
    static constexpr int kChanges = 64;
    QHash<int, Seen> m_seen;
    bool m_lastOk = false;
};

// ---- One refresh

// The service's replies of one refresh. An empty object is a reply that
// did not come; a reply whose "err" is not 0 is a refusal.
struct Status
{
    QString socket;
    // The wall clock of the refresh: the header and the next upload.
    QDateTime now;
    // The monotonic time the tracker was last given.
    qint64 monoMs = 0;
    QJsonObject settings; // "vxrclient_settingload"
    QJsonObject tasks;    // "vxrclient_task_alload"
    QJsonObject log;      // "vxrclient_log_alload"; not asked with logCount 0
    int logCount = 5;
};

// The running task: the queue's first entry once started.
bool isRunning(const QJsonArray& tasks, int position);
// The "records" of a reply that came with "err" 0, else empty.
QJsonArray records(const QJsonObject& reply);

// The screen: the settings summary (server, account, schedule, next
// upload, last upload; never a password), the queue (each running task
// with its figures and a bar as wide as the screen, the waiting ones), and
// the newest log records. width is the screen's width in columns (at least
// 20 is used); rows, when positive, is how many lines may be shown: the
// log gives way first, then the waiting tasks. Lines are not cut to width
// here (fitWidth does that for a terminal).
QStringList screen(const Status& status, const ProgressTracker& tracker, int width, int rows);

// The same refresh for scripts: {"socket", "time", "settings", "tasks",
// "log", "nextupload"}: each reply as it came (null when it did not), with
// every "pwd" and "passwd" removed, the log cut to logCount records, each
// running task given "elapsed", "elapsedexact", "avgspeed" (bytes a
// second) and "left" (seconds; null when not known), "nextupload" the
// next upload time ("yyyy-MM-dd HH:mm:ss") or null when none is coming.
QJsonObject json(const Status& status, const ProgressTracker& tracker);

// The next upload the service will start, or invalid when it will start
// none (settings missing or inactive, no complete account, no datasets or
// no daily time); why says which, when asked.
QDateTime nextUpload(const QJsonObject& settingsView, const QDateTime& now, QString* why = nullptr);

// The replies with what changes at every poll removed ("elapsed",
// "journals"): equal keys mean the service showed nothing new.
QByteArray repliesKey(const Status& status);

// ---- The terminal

// Whether to draw in place with ANSI sequences: standard output is a
// terminal and TERM names one that is not "dumb".
bool ansiTerminal(bool isTty, const QString& term);
// The bytes that replace the frame drawn last (prevLines lines, drawn by
// this function) with lines, each cut to width: the cursor goes back up to
// the frame's first line, each line is erased and written, and what is
// left of a taller previous frame is cleared. clear first clears the
// whole screen and draws from its top (after a change of width, when the
// old frame's lines may have wrapped).
QByteArray redraw(const QStringList& lines, int prevLines, int width, bool clear);

} // namespace StatusView

#endif
