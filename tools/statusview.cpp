#include "statusview.h"

#include "hx2utils.h"
#include "vxrschedule.h"

#include <QJsonDocument>

#include <algorithm>
#include <cmath>

namespace StatusView {

namespace {

const QString kMarker = QStringLiteral("##$@vxr@$##");
const QString kIndent = QStringLiteral("  ");
const int kMinWidth = 20;

bool replyOk(const QJsonObject& reply)
{
    return !reply.isEmpty() && toInt(reply.value("err"), -1) == 0;
}

// What the section shows when its reply did not come or was refused.
QString replyTrouble(const QJsonObject& reply)
{
    if (reply.isEmpty())
        return QStringLiteral("no reply");
    const QString msg = cleanText(toString(reply.value("errmsg")));
    return QStringLiteral("refused: %1%2").arg(toString(reply.value("err")), msg.isEmpty() ? QString() : " " + msg);
}

QString label(const char* name, const QString& text)
{
    return QStringLiteral("%1%2").arg(QLatin1String(name), -10).arg(text);
}

QString taskKind(const QJsonObject& task)
{
    switch (toInt(task.value("action"))) {
    case 2:
        return QStringLiteral("upload");
    case 3:
        return QStringLiteral("restore");
    default:
        return QStringLiteral("action %1").arg(toInt(task.value("action")));
    }
}

QString taskName(const QJsonObject& task)
{
    return QStringLiteral("#%1 %2 %3").arg(toInt(task.value("index"))).arg(taskKind(task), cleanText(toString(task.value("dmpath"))));
}

// A daily time as the service reads the entry.
QString dailyTime(const QJsonValue& entry)
{
    const QJsonObject e = entry.toObject();
    int hour = toInt(e.value("hour"));
    int minute = toInt(e.value("minute"));
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59)
        hour = minute = 0;
    return QStringLiteral("%1:%2").arg(hour, 2, 10, QLatin1Char('0')).arg(minute, 2, 10, QLatin1Char('0'));
}

QString lastUpload(const QJsonObject& last)
{
    if (last.value("time").toString().isEmpty())
        return QStringLiteral("no upload finished yet");
    QString outcome;
    switch (toInt(last.value("result"))) {
    case 9:
        outcome = QStringLiteral("succeeded");
        break;
    case 8:
        outcome = QStringLiteral("cancelled");
        break;
    case 3:
        outcome = QStringLiteral("failed");
        break;
    default:
        outcome = QStringLiteral("result %1").arg(toInt(last.value("result")));
    }
    return cleanText(last.value("time").toString()) + " " + outcome;
}

QStringList settingsLines(const QJsonObject& reply, const QDateTime& now)
{
    if (!replyOk(reply))
        return {label("settings", replyTrouble(reply))};
    const QJsonObject view = reply.value("results").toObject();
    const QJsonObject server = view.value("server").toObject();
    const QString host = cleanText(toString(server.value("host")));
    const QString uid = cleanText(toString(server.value("uid")));
    QString account = host.isEmpty() ? QStringLiteral("none set")
                                     : QStringLiteral("%1@%2:%3").arg(uid, host).arg(toInt(server.value("port")));
    account += toInt(view.value("active")) ? QStringLiteral(", active") : QStringLiteral(", inactive");
    account += QStringLiteral(", a snapshot every %1 min, a report every %2 min")
                   .arg(toInt(server.value("interval")))
                   .arg(toInt(view.value("report").toObject().value("interval")));

    QStringList datasets;
    for (const QString& d : toStrings(view.value("dmpaths")))
        datasets << cleanText(d);

    const QJsonArray schedule = server.value("schedule").toArray();
    QStringList times;
    for (const QJsonValue& entry : schedule)
        times << dailyTime(entry);
    QString upload = times.isEmpty() ? QStringLiteral("no daily time") : "daily at " + times.join(' ');
    QString why;
    const QDateTime next = nextUpload(view, now, &why);
    if (next.isValid())
        upload += QStringLiteral(", next %1 (in %2)")
                      .arg(next.toString(QStringLiteral("yyyy-MM-dd HH:mm")),
                           durationText((now.msecsTo(next) + 999) / 1000));
    else if (!times.isEmpty())
        upload += ", none coming: " + why;

    QString last = lastUpload(view.value("lastbackup").toObject());
    if (toInt(view.value("uploading")))
        last += QStringLiteral(", uploading now");
    return {label("server", account), label("datasets", datasets.isEmpty() ? QStringLiteral("none") : datasets.join(' ')),
            label("upload", upload), label("last", last)};
}

QStringList runningLines(const QJsonObject& task, const TaskTiming& t, int width)
{
    const int percent = std::clamp(toInt(task.value("rate")), 0, 100);
    const qint64 total = toInt64(task.value("totalsize"));
    QStringList parts{kIndent + taskName(task), QStringLiteral("%1%").arg(percent, 3)};
    parts << (total > 0 ? bytesText(toInt64(task.value("currsize"))) + " of " + bytesText(total)
                        : QStringLiteral("size not known yet"));
    const QString speed = cleanText(toString(task.value("speed")));
    if (!speed.isEmpty())
        parts << speed;
    if (t.bytesPerSec > 0)
        parts << "avg " + bytesText(qint64(std::llround(t.bytesPerSec))) + "/s";
    if (t.elapsedSecs >= 0)
        parts << "elapsed " + QString(t.elapsedExact ? "" : ">") + durationText(t.elapsedSecs);
    parts << "left " + (t.leftSecs >= 0 ? durationText(t.leftSecs) : QStringLiteral("-"));
    if (toInt(task.value("removed")))
        parts << QStringLiteral("cancelling");
    return {parts.join(QStringLiteral("  ")), kIndent + bar(percent, width - kIndent.size())};
}

void removeSecrets(QJsonValue& value);

void removeSecrets(QJsonObject& object)
{
    object.remove(QStringLiteral("pwd"));
    object.remove(QStringLiteral("passwd"));
    for (auto it = object.begin(); it != object.end(); ++it) {
        QJsonValue v = it.value();
        if (v.isObject() || v.isArray()) {
            removeSecrets(v);
            it.value() = v;
        }
    }
}

void removeSecrets(QJsonValue& value)
{
    if (value.isObject()) {
        QJsonObject o = value.toObject();
        removeSecrets(o);
        value = o;
    } else if (value.isArray()) {
        QJsonArray a = value.toArray();
        for (int i = 0; i < a.size(); ++i) {
            QJsonValue v = a.at(i);
            removeSecrets(v);
            a.replace(i, v);
        }
        value = a;
    }
}

QJsonValue replyValue(const QJsonObject& reply)
{
    if (reply.isEmpty())
        return QJsonValue(QJsonValue::Null);
    QJsonObject out = reply;
    removeSecrets(out);
    return out;
}

QJsonValue orNull(qint64 n)
{
    return n >= 0 ? QJsonValue(n) : QJsonValue(QJsonValue::Null);
}

QJsonObject withRecords(QJsonObject reply, const QJsonArray& records)
{
    QJsonObject results = reply.value("results").toObject();
    results.insert("records", records);
    reply.insert("results", results);
    return reply;
}

QJsonObject withoutNoise(QJsonObject reply)
{
    reply.remove(QStringLiteral("elapsed"));
    reply.remove(QStringLiteral("journals"));
    return reply;
}

bool isWide(uint c)
{
    static const uint ranges[][2] = {
        {0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},
        {0xA000, 0xA4CF},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE30, 0xFE4F},   {0xFF00, 0xFF60},
        {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x3FFFD},
    };
    for (const auto& r : ranges)
        if (c >= r[0] && c <= r[1])
            return true;
    return false;
}

} // namespace

QString bytesText(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(std::max<qint64>(bytes, 0));
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = double(bytes) / 1024;
    int unit = 0;
    // 1023.96 KiB would print as "1024.0 KiB".
    while (value >= 1023.95 && unit < 5) {
        value /= 1024;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

QString durationText(qint64 seconds)
{
    const qint64 s = std::max<qint64>(seconds, 0);
    const auto two = [](qint64 n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); };
    if (s < 60)
        return QStringLiteral("%1s").arg(s);
    if (s < 3600)
        return QStringLiteral("%1m%2s").arg(s / 60).arg(two(s % 60));
    if (s < 86400)
        return QStringLiteral("%1h%2m").arg(s / 3600).arg(two(s % 3600 / 60));
    return QStringLiteral("%1d%2h").arg(s / 86400).arg(two(s % 86400 / 3600));
}

QString bar(int percent, int width)
{
    const int inner = std::max(width, 3) - 2;
    const int filled = std::clamp(percent, 0, 100) * inner / 100;
    return '[' + QString(filled, '#') + QString(inner - filled, '-') + ']';
}

QString cleanText(const QString& text)
{
    QString out = text;
    for (QChar& c : out) {
        const ushort u = c.unicode();
        if (u < 0x20 || (u >= 0x7f && u <= 0x9f))
            c = ' ';
    }
    return out;
}

QString logMessage(const QString& message)
{
    return cleanText(QString(message).remove(kMarker));
}

int displayWidth(const QString& text)
{
    int columns = 0;
    for (const uint c : text.toUcs4())
        columns += isWide(c) ? 2 : 1;
    return columns;
}

QString fitWidth(const QString& text, int columns)
{
    int used = 0;
    int i = 0;
    while (i < text.size()) {
        const bool pair = text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate();
        const uint c = pair ? QChar::surrogateToUcs4(text.at(i), text.at(i + 1)) : text.at(i).unicode();
        const int w = isWide(c) ? 2 : 1;
        if (used + w > columns)
            break;
        used += w;
        i += pair ? 2 : 1;
    }
    return text.left(i);
}

void ProgressTracker::observe(qint64 ms, const QJsonArray& tasks, bool ok)
{
    if (!ok) {
        m_lastOk = false;
        return;
    }
    QHash<int, Seen> kept;
    if (isRunning(tasks, 0)) {
        const QJsonObject task = tasks.at(0).toObject();
        const int index = toInt(task.value("index"));
        const qint64 bytes = toInt64(task.value("currsize"));
        Seen s;
        if (m_seen.contains(index)) {
            s = m_seen.value(index);
            if (bytes != s.bytes) {
                s.changes.append(qMakePair(ms, bytes));
                if (s.changes.size() > kChanges)
                    s.changes.removeFirst();
            }
        } else {
            s.firstMs = ms;
            s.exact = m_lastOk;
        }
        s.bytes = bytes;
        s.total = toInt64(task.value("totalsize"));
        kept.insert(index, s);
    }
    m_seen = kept;
    m_lastOk = true;
}

TaskTiming ProgressTracker::timing(int index, qint64 ms) const
{
    TaskTiming t;
    const auto it = m_seen.constFind(index);
    if (it == m_seen.cend())
        return t;
    const Seen& s = it.value();
    t.elapsedSecs = std::max<qint64>(ms - s.firstMs, 0) / 1000;
    t.elapsedExact = s.exact;
    if (s.changes.size() < 2)
        return t;
    // Least squares, times taken from the first change for precision.
    const qint64 t0 = s.changes.first().first;
    double meanT = 0, meanB = 0;
    for (const auto& c : s.changes) {
        meanT += double(c.first - t0);
        meanB += double(c.second);
    }
    meanT /= s.changes.size();
    meanB /= s.changes.size();
    double sxy = 0, sxx = 0;
    for (const auto& c : s.changes) {
        const double dt = double(c.first - t0) - meanT;
        sxy += dt * (double(c.second) - meanB);
        sxx += dt * dt;
    }
    const double bps = sxx > 0 ? sxy / sxx * 1000.0 : 0;
    if (bps > 0) {
        const auto& last = s.changes.last();
        t.bytesPerSec = bps;
        const double left = double(std::max<qint64>(s.total - last.second, 0)) / bps - double(ms - last.first) / 1000.0;
        t.leftSecs = std::max<qint64>(std::llround(left), 0);
    }
    return t;
}

bool isRunning(const QJsonArray& tasks, int position)
{
    return position == 0 && !tasks.isEmpty() && toInt(tasks.at(0).toObject().value("step")) == 1;
}

QJsonArray records(const QJsonObject& reply)
{
    return replyOk(reply) ? reply.value("results").toObject().value("records").toArray() : QJsonArray();
}

QDateTime nextUpload(const QJsonObject& view, const QDateTime& now, QString* why)
{
    const auto none = [why](const char* reason) {
        if (why)
            *why = QLatin1String(reason);
        return QDateTime();
    };
    if (view.isEmpty())
        return none("no settings");
    if (!toInt(view.value("active")))
        return none("the settings are inactive");
    const QJsonObject server = view.value("server").toObject();
    // The password is only looked at, never shown: without it the service
    // queues no upload. The service gives it to root and its own user only;
    // withheld, it counts as set.
    if (toString(server.value("host")).isEmpty() || toString(server.value("uid")).isEmpty()
        || (server.contains("pwd") && toString(server.value("pwd")).isEmpty()))
        return none("the account is incomplete");
    if (toStrings(view.value("dmpaths")).isEmpty())
        return none("no datasets");
    const QJsonArray schedule = server.value("schedule").toArray();
    if (schedule.isEmpty())
        return none("no daily time");
    // The service's own rule, daylight-saving changes included.
    return VxrSchedule::nextOfSchedule(now, schedule);
}

namespace {

// The log's part of the screen: a heading (its trouble, "empty", or how
// many are shown) and the newest records. Cut away entirely, it has no
// heading.
struct LogSection
{
    bool asked = false;
    QString trouble;
    int total = 0;
    QStringList lines;

    int rows() const { return asked && (!trouble.isEmpty() || total == 0 || !lines.isEmpty()) ? lines.size() + 1 : 0; }
    QString heading() const
    {
        if (!trouble.isEmpty())
            return label("log", trouble);
        return label("log", total == 0 ? QStringLiteral("empty")
                                        : QStringLiteral("newest %1 of %2").arg(lines.size()).arg(total));
    }
};

LogSection logSection(const Status& status)
{
    LogSection log;
    log.asked = status.logCount > 0;
    if (!log.asked)
        return log;
    if (!replyOk(status.log))
        log.trouble = replyTrouble(status.log);
    const QJsonArray all = records(status.log);
    log.total = all.size();
    for (int i = 0; i < all.size() && i < status.logCount; ++i) {
        const QJsonObject r = all.at(i).toObject();
        log.lines << kIndent + cleanText(toString(r.value("time"))) + "  " + cleanText(toString(r.value("level"))) + "  "
                         + logMessage(toString(r.value("message")));
    }
    return log;
}

} // namespace

QStringList screen(const Status& status, const ProgressTracker& tracker, int width, int rows)
{
    width = std::max(width, kMinWidth);
    QStringList head{QStringLiteral("vxrclient  %1  %2").arg(cleanText(status.socket),
                                                             status.now.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))};
    head << settingsLines(status.settings, status.now);

    QStringList running;
    QStringList waiting;
    const QJsonArray tasks = records(status.tasks);
    for (int i = 0; i < tasks.size(); ++i) {
        const QJsonObject task = tasks.at(i).toObject();
        if (isRunning(tasks, i))
            running << runningLines(task, tracker.timing(toInt(task.value("index")), status.monoMs), width);
        else
            waiting << kIndent + taskName(task) + (i == 0 ? "  starting" : "  waiting");
    }
    if (!replyOk(status.tasks))
        head << label("tasks", replyTrouble(status.tasks));
    else
        head << label("tasks", tasks.isEmpty() ? QStringLiteral("none")
                                                : QStringLiteral("%1 running, %2 waiting").arg(running.size() / 2).arg(waiting.size()));
    head << running;

    // The log gives way first, then the waiting tasks.
    LogSection log = logSection(status);
    if (rows > 0) {
        const int room = rows - int(head.size()) - int(waiting.size());
        log.lines = log.lines.mid(0, std::clamp(room - 1, 0, int(log.lines.size())));
        const int left = rows - int(head.size()) - log.rows();
        if (left < waiting.size()) {
            const int shown = std::max(left - 1, 0);
            const int more = waiting.size() - shown;
            waiting = waiting.mid(0, shown);
            waiting << kIndent + QStringLiteral("... and %1 more waiting").arg(more);
        }
    }
    QStringList out = head + waiting;
    if (log.rows() > 0)
        out << log.heading() << log.lines;
    return rows > 0 ? out.mid(0, rows) : out;
}

QJsonObject json(const Status& status, const ProgressTracker& tracker)
{
    QJsonObject out{{"socket", status.socket}, {"time", status.now.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))}};
    out.insert("settings", replyValue(status.settings));
    const QDateTime next = nextUpload(replyOk(status.settings) ? status.settings.value("results").toObject() : QJsonObject(),
                                      status.now);
    out.insert("nextupload", next.isValid() ? QJsonValue(next.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
                                            : QJsonValue(QJsonValue::Null));
    QJsonValue tasks = replyValue(status.tasks);
    if (replyOk(status.tasks)) {
        QJsonArray list = records(status.tasks);
        if (isRunning(list, 0)) {
            QJsonObject head = list.at(0).toObject();
            const TaskTiming t = tracker.timing(toInt(head.value("index")), status.monoMs);
            head.insert("elapsed", orNull(t.elapsedSecs));
            head.insert("elapsedexact", t.elapsedExact);
            head.insert("avgspeed", t.bytesPerSec > 0 ? QJsonValue(std::llround(t.bytesPerSec)) : QJsonValue(QJsonValue::Null));
            head.insert("left", orNull(t.leftSecs));
            list.replace(0, head);
        }
        tasks = withRecords(tasks.toObject(), list);
        removeSecrets(tasks);
    }
    out.insert("tasks", tasks);
    if (status.logCount > 0) {
        QJsonValue log = replyValue(status.log);
        if (replyOk(status.log))
        {
            // Newest first, as the service lists them.
            QJsonArray newest;
            const QJsonArray all = records(status.log);
            for (int i = 0; i < all.size() && i < status.logCount; ++i)
                newest.append(all.at(i));
            log = withRecords(log.toObject(), newest);
        }
        out.insert("log", log);
    }
    return out;
}

QByteArray repliesKey(const Status& status)
{
    QByteArray key;
    for (const QJsonObject* reply : {&status.settings, &status.tasks, &status.log})
        key += QJsonDocument(withoutNoise(*reply)).toJson(QJsonDocument::Compact) + '\n';
    return key;
}

bool ansiTerminal(bool isTty, const QString& term)
{
    return isTty && !term.isEmpty() && term != QLatin1String("dumb");
}

QByteArray redraw(const QStringList& lines, int prevLines, int width, bool clear)
{
    QByteArray out;
    if (clear)
        out += "\x1b[2J\x1b[H";
    else if (prevLines > 0)
        out += "\r\x1b[" + QByteArray::number(prevLines) + 'A';
    for (const QString& line : lines)
        out += "\x1b[2K" + fitWidth(line, width).toUtf8() + '\n';
    out += "\x1b[J";
    return out;
}

} // namespace StatusView
