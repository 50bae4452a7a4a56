// The status view's pure pieces: texts, the progress seen across polls, the
// screen and the JSON form made from the service's replies, and the
// terminal's redraw.
#include "statusview.h"

#include "../printqt.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace StatusView;

namespace {

QJsonObject obj(const char* json)
{
    return QJsonDocument::fromJson(json).object();
}

QJsonArray arr(const char* json)
{
    return QJsonDocument::fromJson(json).array();
}

// The screen's clock reads UTC whatever the machine's zone.
class StatusViewTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

const char* const kSettings = R"({"err": 0, "results": {"active": 1, "report": {"interval": 1},
    "server": {"host": "backup.example.net", "port": 22, "uid": "backup", "pwd": "s3cret-pw", "interval": 60,
               "schedule": [{"hour": 2, "minute": 30}, {"hour": 14, "minute": 0}]},
    "dmpaths": ["tank/home", "tank/data"], "lastbackup": {"time": "2025-03-01 02:31:12", "result": 9},
    "uploading": 1}})";

const char* const kQueue = R"({"err": 0, "results": {"records": [
    {"index": 7, "action": 2, "dmpath": "tank/home", "step": 1, "rate": 41, "speed": "3.91MiB/s",
     "currsize": 440401920, "totalsize": 1073741824},
    {"index": 8, "action": 2, "dmpath": "tank/data", "step": 0, "rate": 0},
    {"index": 9, "action": 3, "dmpath": "tank/old", "step": 0, "rate": 0, "passwd": "s3cret-pw"}]}})";

const char* const kLog = R"({"err": 0, "results": {"records": [
    {"time": "2025-03-01 02:31:12", "level": "Information", "message": "##$@vxr@$##Upload Success##$@vxr@$##"},
    {"time": "2025-03-01 02:05:00", "level": "Error",
     "message": "##$@vxr@$##Upload Fail##$@vxr@$##: ssh:\tconnect\n\u001b[31mrefused"},
    {"time": "2025-02-28 02:31:00", "level": "Information", "message": "##$@vxr@$##Upload Success##$@vxr@$##"}]}})";

// The listings before kQueue's: the queue empty, then task 7 starting at
// 0 bytes, then at half its final size.
ProgressTracker trackedUpload()
{
    ProgressTracker t;
    t.observe(0, QJsonArray(), true);
    t.observe(1000, arr(R"([{"index": 7, "step": 1, "currsize": 0, "totalsize": 1073741824}])"), true);
    t.observe(3000, arr(R"([{"index": 7, "step": 1, "currsize": 220200960, "totalsize": 1073741824}])"), true);
    t.observe(5000, records(obj(kQueue)), true);
    return t;
}

} // namespace

TEST(StatusViewTexts, SizesDurationsBarsAndTerminalSafeText)
{
    const struct { qint64 bytes; const char* text; } sizes[] = {
        {-5, "0 B"}, {0, "0 B"}, {1023, "1023 B"}, {1024, "1.0 KiB"}, {1048524, "1023.9 KiB"},
        {1048575, "1.0 MiB"}, {15938355, "15.2 MiB"}, {1073741824, "1.0 GiB"}, {Q_INT64_C(5) << 50, "5.0 PiB"},
    };
    for (const auto& c : sizes)
        EXPECT_EQ(bytesText(c.bytes), QString(c.text)) << c.bytes;

    const struct { qint64 secs; const char* text; } durations[] = {
        {-1, "0s"}, {0, "0s"}, {59, "59s"}, {60, "1m00s"}, {65, "1m05s"}, {3599, "59m59s"},
        {3600, "1h00m"}, {11220, "3h07m"}, {86399, "23h59m"}, {190800, "2d05h"},
    };
    for (const auto& c : durations)
        EXPECT_EQ(durationText(c.secs), QString(c.text)) << c.secs;

    const struct { int percent; int width; const char* text; } bars[] = {
        {0, 12, "[----------]"}, {9, 12, "[----------]"}, {10, 12, "[#---------]"}, {55, 12, "[#####-----]"},
        {100, 12, "[##########]"}, {140, 12, "[##########]"}, {-3, 5, "[---]"}, {50, 1, "[-]"}, {100, 1, "[#]"},
    };
    for (const auto& c : bars)
        EXPECT_EQ(bar(c.percent, c.width), QString(c.text)) << c.percent << " " << c.width;

    const struct { QString text; QString clean; int columns; int fitTo; QString fitted; } texts[] = {
        {"tank/home", "tank/home", 9, 4, "tank"},
        {"a\tb\nc\x1b[2Jd\x7f", "a b c [2Jd ", 11, 20, "a\tb\nc\x1b[2Jd\x7f"},
        {QString::fromUtf8("x\xc2\x9b" "1m"), "x 1m", 4, 2, QString::fromUtf8("x\xc2\x9b")},
        {QString::fromUtf8("读配置文件失败"), QString::fromUtf8("读配置文件失败"), 14, 5, QString::fromUtf8("读配")},
        {QString::fromUtf8("ok \xf0\x9f\x98\x80!"), QString::fromUtf8("ok \xf0\x9f\x98\x80!"), 6, 4, "ok "},
    };
    for (const auto& c : texts) {
        EXPECT_EQ(cleanText(c.text), c.clean) << qPrintable(c.text);
        EXPECT_EQ(displayWidth(c.text), c.columns) << qPrintable(c.text);
        EXPECT_EQ(fitWidth(c.text, c.fitTo), c.fitted) << qPrintable(c.text);
    }
    EXPECT_EQ(logMessage("##$@vxr@$##Backup failed##$@vxr@$##: cannot\nopen"), "Backup failed: cannot open");
}

TEST(StatusViewProgress, ElapsedSpeedAndTimeLeftFromSuccessivePolls)
{
    struct Poll { qint64 ms; bool ok; const char* tasks; };
    const char* const empty = "[]";
    const char* const at0 = R"([{"index": 3, "step": 1, "currsize": 0, "totalsize": 1000000}])";
    const char* const at10 = R"([{"index": 3, "step": 1, "currsize": 100000, "totalsize": 1000000}])";
    const char* const at30 = R"([{"index": 3, "step": 1, "currsize": 300000, "totalsize": 1000000}])";
    const char* const at50 = R"([{"index": 3, "step": 1, "currsize": 500000, "totalsize": 1000000}])";
    const char* const queued = R"([{"index": 3, "step": 0, "currsize": 0}])";
    const char* const next = R"([{"index": 4, "step": 1, "currsize": 0, "totalsize": 10}])";
    const struct {
        const char* why;
        QList<Poll> polls;
        qint64 askedMs;
        TaskTiming want;
    } cases[] = {
        {"seen from its start: 200000 bytes in 2 s between the first and the latest change", {{0, true, empty}, {1000, true, at0}, {3000, true, at10}, {5000, true, at30}}, 5000, {4, true, 100000, 7}},
        {"three changes, seen late by unequal delays: the line through them",
         {{0, true, empty}, {500, true, at0}, {1000, true, at10}, {3000, true, at30}, {4000, true, at50}}, 4000, {3, true, 128571.428571, 4}},
        {"time since the latest change counts against the time left", {{0, true, empty}, {1000, true, at0}, {3000, true, at10}, {5000, true, at30}}, 6500, {5, true, 100000, 6}},
        {"waiting first, then started: exact", {{0, true, queued}, {2000, true, at0}}, 2000, {0, true, -1, -1}},
        {"already running on the view's first poll", {{0, true, at10}, {2000, true, at30}, {4000, true, at50}}, 4000, {4, false, 100000, 5}},
        {"first seen after a failed poll", {{0, true, empty}, {2000, false, ""}, {4000, true, at10}}, 5000, {1, false, -1, -1}},
        {"a failed poll keeps what was seen", {{0, true, empty}, {1000, true, at0}, {3000, false, ""}, {5000, true, at10}, {7000, true, at30}}, 7000, {6, true, 100000, 7}},
        {"one change gives no speed", {{0, true, empty}, {1000, true, at0}, {3000, true, at10}}, 3000, {2, true, -1, -1}},
        {"the next task replaces a finished one", {{0, true, at0}, {2000, true, at10}, {4000, true, next}}, 4000, {}},
        {"a queued head is not running", {{0, true, empty}, {2000, true, queued}}, 2000, {}},
    };
    for (const auto& c : cases) {
        ProgressTracker t;
        for (const Poll& p : c.polls)
            t.observe(p.ms, arr(p.tasks), p.ok);
        const TaskTiming got = t.timing(3, c.askedMs);
        EXPECT_EQ(got.elapsedSecs, c.want.elapsedSecs) << c.why;
        EXPECT_EQ(got.elapsedExact, c.want.elapsedExact) << c.why;
        EXPECT_NEAR(got.bytesPerSec, c.want.bytesPerSec, 0.001) << c.why;
        EXPECT_EQ(got.leftSecs, c.want.leftSecs) << c.why;
    }
}

TEST_F(StatusViewTest, ScreenFromTheReplies)
{
    const QString bar = "  [" + QString(22, '#') + QString(34, '-') + "]";
    const QString running = "  #7 upload tank/home   41%  420.0 MiB of 1.0 GiB  3.91MiB/s  avg 105.0 MiB/s  elapsed 4s  left 6s";
    const char* const inactive = R"({"err": 0, "results": {"active": 0, "report": {"interval": 1},
        "server": {"host": "h", "port": 22, "uid": "u", "pwd": "p", "interval": 5, "schedule": [{"hour": 2, "minute": 30}]},
        "dmpaths": ["tank/a\u001b]0;x"], "lastbackup": {"time": "2025-02-28 02:30:40", "result": 3}, "uploading": 0}})";
    const char* const noPassword = R"({"err": 0, "results": {"active": 1, "report": {"interval": 1},
        "server": {"host": "h", "port": 22, "uid": "u", "pwd": "", "interval": 5, "schedule": [{"hour": 2, "minute": 30}]},
        "dmpaths": [], "lastbackup": {}, "uploading": 0}})";
    const char* const refused = R"({"err": 9991, "errmsg": "读配置文件失败: /kozu/etc/vxrclientisp/settings.json"})";
    const char* const fourQueued = R"({"err": 0, "results": {"records": [{"index": 1, "action": 2, "dmpath": "a", "step": 0},
        {"index": 2, "action": 2, "dmpath": "b"}, {"index": 3, "action": 2, "dmpath": "c"}, {"index": 4, "action": 2, "dmpath": "d"}]}})";
    const char* const emptyList = R"({"err": 0, "results": {"records": []}})";
    const struct {
        const char* why;
        const char* settings;
        const char* tasks;
        const char* log;
        int logCount;
        int rows;
        QStringList lines;
    } cases[] = {
        {"everything, the log cut to its count", kSettings, kQueue, kLog, 2, 0,
         {"vxrclient  /run/s  2025-03-01 10:31:07",
          "server    backup@backup.example.net:22, active, a snapshot every 60 min, a report every 1 min",
          "datasets  tank/home tank/data", "upload    daily at 02:30 14:00, next 2025-03-01 14:00 (in 3h28m)",
          "last      2025-03-01 02:31:12 succeeded, uploading now", "tasks     1 running, 2 waiting", running, bar,
          "  #8 upload tank/data  waiting", "  #9 restore tank/old  waiting", "log       newest 2 of 3",
          "  2025-03-01 02:31:12  Information  Upload Success",
          "  2025-03-01 02:05:00  Error  Upload Fail: ssh: connect  [31mrefused"}},
        {"no reply at all", "", "", "", 5, 0,
         {"vxrclient  /run/s  2025-03-01 10:31:07", "settings  no reply", "tasks     no reply", "log       no reply"}},
        {"refused settings, empty queue and log; no log asked", refused, emptyList, emptyList, 0, 0,
         {"vxrclient  /run/s  2025-03-01 10:31:07",
          QString::fromUtf8("settings  refused: 9991 读配置文件失败: /kozu/etc/vxrclientisp/settings.json"), "tasks     none"}},
        {"inactive settings: no upload coming; control characters blanked", inactive, emptyList, emptyList, 5, 0,
         {"vxrclient  /run/s  2025-03-01 10:31:07", "server    u@h:22, inactive, a snapshot every 5 min, a report every 1 min",
          "datasets  tank/a ]0;x", "upload    daily at 02:30, none coming: the settings are inactive",
          "last      2025-02-28 02:30:40 failed", "tasks     none", "log       empty"}},
        {"no password: no upload coming", noPassword, emptyList, emptyList, 0, 0,
         {"vxrclient  /run/s  2025-03-01 10:31:07", "server    u@h:22, active, a snapshot every 5 min, a report every 1 min",
          "datasets  none", "upload    daily at 02:30, none coming: the account is incomplete",
          "last      no upload finished yet", "tasks     none"}},
        {"nine rows: the log gives way first", "", fourQueued, kLog, 5, 9,
         {"vxrclient  /run/s  2025-03-01 10:31:07", "settings  no reply", "tasks     0 running, 4 waiting",
          "  #1 upload a  starting", "  #2 upload b  waiting", "  #3 upload c  waiting", "  #4 upload d  waiting",
          "log       newest 1 of 3", "  2025-03-01 02:31:12  Information  Upload Success"}},
        {"six rows: then the waiting tasks", "", fourQueued, kLog, 5, 6,
         {"vxrclient  /run/s  2025-03-01 10:31:07", "settings  no reply", "tasks     0 running, 4 waiting",
          "  #1 upload a  starting", "  #2 upload b  waiting", "  ... and 2 more waiting"}},
    };
    const ProgressTracker tracker = trackedUpload();
    for (const auto& c : cases) {
        Status s;
        s.socket = "/run/s";
        s.now = QDateTime(QDate(2025, 3, 1), QTime(10, 31, 7), Qt::LocalTime);
        s.monoMs = 5000;
        s.settings = obj(c.settings);
        s.tasks = obj(c.tasks);
        s.log = obj(c.log);
        s.logCount = c.logCount;
        const QStringList lines = screen(s, tracker, 60, c.rows);
        EXPECT_EQ(lines, c.lines) << c.why;
        EXPECT_FALSE(lines.join('\n').contains("s3cret")) << c.why;
    }
}

TEST_F(StatusViewTest, JsonFormKeepsNoPasswordAndAddsWhatThePollsShow)
{
    Status s;
    s.socket = "/run/s";
    s.now = QDateTime(QDate(2025, 3, 1), QTime(10, 31, 7), Qt::LocalTime);
    s.monoMs = 5000;
    s.settings = obj(kSettings);
    s.tasks = obj(kQueue);
    s.log = obj(kLog);
    s.logCount = 1;
    const QJsonObject j = json(s, trackedUpload());
    EXPECT_FALSE(QJsonDocument(j).toJson().contains("s3cret")) << QJsonDocument(j).toJson().constData();
    EXPECT_EQ(j.value("settings").toObject().value("results").toObject().value("server").toObject().value("uid"), "backup");
    EXPECT_EQ(j.value("nextupload"), "2025-03-01 14:00:00");
    const QJsonArray tasks = j.value("tasks").toObject().value("results").toObject().value("records").toArray();
    ASSERT_EQ(tasks.size(), 3);
    EXPECT_EQ(tasks.at(0).toObject(), obj(R"({"index": 7, "action": 2, "dmpath": "tank/home", "step": 1, "rate": 41,
        "speed": "3.91MiB/s", "currsize": 440401920, "totalsize": 1073741824,
        "elapsed": 4, "elapsedexact": true, "avgspeed": 110100480, "left": 6})"));
    EXPECT_EQ(tasks.at(1).toObject().value("elapsed"), QJsonValue(QJsonValue::Undefined));
    EXPECT_EQ(j.value("log").toObject().value("results").toObject().value("records").toArray().size(), 1);

    s.settings = QJsonObject();
    s.tasks = QJsonObject();
    s.logCount = 0;
    const QJsonObject none = json(s, ProgressTracker());
    EXPECT_EQ(none.value("settings"), QJsonValue(QJsonValue::Null));
    EXPECT_EQ(none.value("tasks"), QJsonValue(QJsonValue::Null));
    EXPECT_EQ(none.value("nextupload"), QJsonValue(QJsonValue::Null));
    EXPECT_FALSE(none.contains("log"));
}

TEST(StatusViewTerminal, DrawsInPlaceOnlyOnARealTerminal)
{
    const struct { bool tty; const char* term; bool ansi; } terms[] = {
        {true, "xterm-256color", true}, {true, "linux", true}, {true, "dumb", false}, {true, "", false},
        {false, "xterm", false},
    };
    for (const auto& c : terms)
        EXPECT_EQ(ansiTerminal(c.tty, c.term), c.ansi) << c.tty << " " << c.term;

    const struct { QStringList lines; int prev; int width; bool clear; QByteArray bytes; } frames[] = {
        {{"ab", "cd"}, 0, 10, false, "\x1b[2Kab\n\x1b[2Kcd\n\x1b[J"},
        {{"abcdef"}, 3, 4, false, "\r\x1b[3A\x1b[2Kabcd\n\x1b[J"},
        {{QString::fromUtf8("读配置")}, 1, 5, true, "\x1b[2J\x1b[H\x1b[2K" + QByteArray("读配") + "\n\x1b[J"},
    };
    for (const auto& c : frames)
        EXPECT_EQ(redraw(c.lines, c.prev, c.width, c.clear), c.bytes) << c.lines.join('|').toStdString();
}
