// The scheduler's rules with an injected clock: period timers, the minute
// change, a snapshot cycle deferring the daily check, and the daily check
// itself (tasks, task numbers, the next time, a failed settings reload).
#include "../../printqt.h"
#include "hx2file.h"
#include "hx2journals.h"
#include "phpaths.h"
#include "vxrclient.h"
#include "vxrengine.h"
#include "vxrschedule.h"
#include "vxrscheduler.h"
#include "../localzone.h"

#include <QJsonDocument>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace {

TEST(SchedulerState, PeriodTimersRestartWhenSpent)
{
    // Each row: monotonic ms of a pass -> whether each period is due.
    struct { qint64 ms; bool report; bool cycle; } passes[] = {
        {0, false, false},     {5000, false, false},   {60000, false, false},
        {60001, true, false},  {120001, false, false}, {120002, true, false},
        {300001, true, true},  {305000, false, false}, {600001, true, false},
        {600002, false, true},
    };
    VxrSchedulerState state(0, 0);
    for (const auto& p : passes) {
        EXPECT_EQ(state.reportDue(p.ms, 60000), p.report) << p.ms;
        EXPECT_EQ(state.cycleDue(p.ms, 300000), p.cycle) << p.ms;
    }
}

TEST(SchedulerState, LongIdleMakesBothPeriodsDueAtOnce)
{
    VxrSchedulerState state(1000, 0);
    EXPECT_TRUE(state.reportDue(3600000, 60000));
    EXPECT_TRUE(state.cycleDue(3600000, 300000));
    EXPECT_FALSE(state.reportDue(3605000, 60000));
    EXPECT_FALSE(state.cycleDue(3605000, 300000));
}

TEST(SchedulerState, MinuteChangeAndBusyCycle)
{
    // Passes every 5 s across minutes 29..32 of the hour; a cycle runs
    // from the last pass of 29 into 31.
    struct { int minute; bool backupRunning; bool check; } passes[] = {
        {29, false, false}, {29, false, false}, {29, true, false},
        {30, true, false},  {30, true, false},  {31, true, false},
        {31, false, true},  {31, false, false}, {32, false, true},
        {32, false, false}, {33, true, false},  {33, false, true},
        {0, false, true},   {0, false, false},
    };
    VxrSchedulerState state(0, 29);
    int row = 0;
    for (const auto& p : passes) {
        EXPECT_EQ(state.dailyCheckDue(p.minute, p.backupRunning), p.check) << "row " << row;
        ++row;
    }
}

TEST(SchedulerRules, CycleStartAndDueTime)
{
    EXPECT_TRUE(VxrSchedule::cycleMayStart(false, false));
    EXPECT_FALSE(VxrSchedule::cycleMayStart(true, false));
    EXPECT_FALSE(VxrSchedule::cycleMayStart(false, true));

    const QDateTime at(QDate(2026, 3, 7), QTime(2, 30), Qt::LocalTime);
    struct { QDateTime now; QDateTime next; bool due; } cases[] = {
        {at.addSecs(-1), at, false},
        {at, at, true},
        {at.addSecs(5), at, true},
        {at.addDays(3), at, true},
        {at, QDateTime(), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(VxrSchedule::due(c.now, c.next), c.due) << qPrintable(c.now.toString());
}

// An engine on files of its own, with a settable clock. The task worker is
// marked running so the daily check only queues.
class DailyCheck : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid());
        PHPaths::setRoot(m_root.path());
        engine = std::make_unique<VxrClient>();
        engine->setClock([this] { return m_now; });
        engine->units().worker.running().store(true);
    }

    void TearDown() override { PHPaths::setRoot(QString()); }

    void writeSettings(const QJsonArray& schedule, bool account = true)
    {
        QJsonObject server{{"interval", 5}, {"schedule", schedule}};
        if (account) {
            server.insert("host", "h");
            server.insert("uid", "u");
            server.insert("pwd", "p");
        }
        const QJsonObject file{{"active", 1}, {"server", server}, {"dmpaths", QJsonArray{"t/a", "t/b"}}};
        ASSERT_TRUE(HX2File::saveJson(engine->units().settings.settingsPath(), file, false));
        HX2Journals journal;
        engine->loadSettings(journal, nullptr);
    }

    void breakSettings()
    {
        ASSERT_TRUE(HX2File::saveBinary("{ not json", engine->units().settings.settingsPath()));
    }

    static QDateTime at(int day, int hour, int minute, int second = 0)
    {
        return QDateTime(QDate(2026, 3, day), QTime(hour, minute, second), Qt::LocalTime);
    }

    QList<int> queuedIndexes() const
    {
        QList<int> out;
        HX2Journals journal;
        QJsonArray tasks;
        engine->taskAlload(journal, tasks);
        for (const QJsonValue& v : tasks)
            out << v.toObject().value("index").toInt();
        return out;
    }

    QTemporaryDir m_root;
    QDateTime m_now = at(7, 1, 0);
    std::unique_ptr<VxrClient> engine;
};

TEST_F(DailyCheck, NextTimeFromSchedule)
{
    struct { const char* name; QJsonArray schedule; QDateTime now; QDateTime next; } cases[] = {
        {"later today", {QJsonObject{{"hour", 2}, {"minute", 30}}}, at(7, 1, 0), at(7, 2, 30)},
        {"earliest coming of two", {QJsonObject{{"hour", 2}, {"minute", 30}}, QJsonObject{{"hour", 14}, {"minute", 0}}},
         at(7, 10, 0), at(7, 14, 0)},
        {"time reached goes to tomorrow", {QJsonObject{{"hour", 2}, {"minute", 30}}}, at(7, 2, 30), at(8, 2, 30)},
        {"empty schedule never comes", {}, at(7, 10, 0),
         QDateTime(QDate(2099, 12, 31), QTime(0, 0), Qt::LocalTime)},
        {"hour 24 is midnight", {QJsonObject{{"hour", 24}, {"minute", 0}}}, at(7, 10, 0), at(8, 0, 0)},
        {"minute 60 is midnight", {QJsonObject{{"hour", 5}, {"minute", 60}}}, at(7, 10, 0), at(8, 0, 0)},
        {"missing keys read as 00:00", {QJsonObject{}}, at(7, 10, 0), at(8, 0, 0)},
    };
    for (const auto& c : cases) {
        m_now = c.now;
        writeSettings(c.schedule);
        EXPECT_EQ(engine->units().scheduler.nextSchedule(), c.next) << c.name;
    }
}

TEST_F(DailyCheck, QueuesEachDatasetOnceAtTheTime)
{
    writeSettings({QJsonObject{{"hour", 2}, {"minute", 30}}});
    // Indexes go on from earlier tasks.
    engine->units().worker.queue().enqueue({VxrTask::upload("t/x"), VxrTask::upload("t/y")});
    engine->units().worker.queue().remove(1);
    engine->units().worker.queue().remove(2);

    m_now = at(7, 2, 29, 59);
    engine->units().scheduler.dailyCheck();
    EXPECT_TRUE(queuedIndexes().isEmpty());

    m_now = at(7, 2, 30, 5);
    engine->units().scheduler.dailyCheck();
    ASSERT_EQ(queuedIndexes(), (QList<int>{3, 4}));
    {
        HX2Journals journal;
        QJsonArray tasks;
        engine->taskAlload(journal, tasks);
        const QJsonObject first = tasks.at(0).toObject();
        EXPECT_EQ(first, (QJsonObject{{"index", 3}, {"action", 2}, {"dmpath", "t/a"}, {"step", 0}, {"rate", 0}}));
        EXPECT_EQ(tasks.at(1).toObject().value("dmpath").toString(), QStringLiteral("t/b"));
    }
    EXPECT_EQ(engine->units().scheduler.nextSchedule(), at(8, 2, 30));

    m_now = at(7, 2, 31);
    engine->units().scheduler.dailyCheck();
    EXPECT_EQ(queuedIndexes().size(), 2);
}

// The settings file is unreadable when the time comes: the datasets are
// still queued once, and the next time follows from the schedule loaded
// before, so the following minutes queue nothing.
TEST_F(DailyCheck, UnreadableSettingsStillAdvanceOnce)
{
    writeSettings({QJsonObject{{"hour", 2}, {"minute", 30}}, QJsonObject{{"hour", 14}, {"minute", 0}}});
    breakSettings();

    m_now = at(7, 2, 30, 5);
    engine->units().scheduler.dailyCheck();
    EXPECT_EQ(queuedIndexes(), (QList<int>{1, 2}));
    EXPECT_EQ(engine->units().scheduler.nextSchedule(), at(7, 14, 0));
    for (int minute = 31; minute < 40; ++minute) {
        m_now = at(7, 2, minute, 5);
        engine->units().scheduler.dailyCheck();
    }
    EXPECT_EQ(queuedIndexes().size(), 2);

    m_now = at(7, 14, 0, 5);
    engine->units().scheduler.dailyCheck();
    EXPECT_EQ(queuedIndexes(), (QList<int>{1, 2, 3, 4}));
    EXPECT_EQ(engine->units().scheduler.nextSchedule(), at(8, 2, 30));
}

TEST_F(DailyCheck, ReloadTakesNewSchedule)
{
    writeSettings({QJsonObject{{"hour", 2}, {"minute", 30}}});
    QJsonObject file = HX2File::readJsonObject(engine->units().settings.settingsPath());
    QJsonObject server = file.value("server").toObject();
    server.insert("schedule", QJsonArray{QJsonObject{{"hour", 6}, {"minute", 15}}});
    file.insert("server", server);
    ASSERT_TRUE(HX2File::saveJson(engine->units().settings.settingsPath(), file, false));

    m_now = at(7, 2, 30, 1);
    engine->units().scheduler.dailyCheck();
    EXPECT_EQ(engine->units().scheduler.nextSchedule(), at(7, 6, 15));
}

// Reading the settings between a daily time and its check keeps the time
// (the settings command may come at any moment); a changed schedule, or a
// time long past, does not.
TEST_F(DailyCheck, ReloadBeforeTheCheckKeepsTheTimeThatCame)
{
    struct Case { const char* name; QJsonArray reloaded; QDateTime reloadAt; bool queued; };
    const QJsonArray same{QJsonObject{{"hour", 2}, {"minute", 30}}};
    const Case cases[] = {
        {"same schedule, seconds after", same, at(7, 2, 30, 2), true},
        {"same schedule, an hour after", same, at(7, 3, 31), false},
        {"schedule changed", {QJsonObject{{"hour", 5}, {"minute", 0}}}, at(7, 2, 30, 2), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engine = std::make_unique<VxrClient>();
        engine->setClock([this] { return m_now; });
        engine->units().worker.running().store(true);
        m_now = at(7, 1, 0);
        writeSettings(same);
        m_now = c.reloadAt;
        writeSettings(c.reloaded);
        engine->units().scheduler.dailyCheck();
        EXPECT_EQ(!queuedIndexes().isEmpty(), c.queued);
    }
}

TEST_F(DailyCheck, MissingAccountPassesTheTime)
{
    writeSettings({QJsonObject{{"hour", 2}, {"minute", 30}}}, false);
    m_now = at(7, 2, 30, 5);
    engine->units().scheduler.dailyCheck();
    EXPECT_TRUE(queuedIndexes().isEmpty());
    EXPECT_EQ(engine->units().scheduler.nextSchedule(), at(8, 2, 30));
}

// Minute by minute across both daylight-saving changes of two zones, one
// entry in the hour that is skipped or repeated and one outside it: each
// fires once a day, the skipped time as the clock jumps past it, the
// repeated one at its first showing.
TEST_F(DailyCheck, DaylightSavingChangesFireEachEntryOncePerDay)
{
    struct Case {
        const char* zone;
        QDate from;
        int hour;
        int minute;
        QStringList fired;
    } cases[] = {
        {"Europe/Berlin", QDate(2026, 3, 28), 2, 30,
         {"03-28 02:30 +01", "03-28 04:00 +01", "03-29 03:00 +02", "03-29 04:00 +02", "03-30 02:30 +02",
          "03-30 04:00 +02"}},
        {"Europe/Berlin", QDate(2026, 10, 24), 2, 30,
         {"10-24 02:30 +02", "10-24 04:00 +02", "10-25 02:30 +02", "10-25 04:00 +01", "10-26 02:30 +01",
          "10-26 04:00 +01"}},
        {"America/New_York", QDate(2026, 3, 7), 2, 30,
         {"03-07 02:30 -05", "03-07 04:00 -05", "03-08 03:00 -04", "03-08 04:00 -04", "03-09 02:30 -04",
          "03-09 04:00 -04"}},
        {"America/New_York", QDate(2026, 10, 31), 1, 30,
         {"10-31 01:30 -04", "10-31 04:00 -04", "11-01 01:30 -04", "11-01 04:00 -05", "11-02 01:30 -05",
          "11-02 04:00 -05"}},
    };
    for (const Case& c : cases) {
        const LocalZone zone(c.zone);
        engine = std::make_unique<VxrClient>();
        engine->setClock([this] { return m_now; });
        engine->units().worker.running().store(true);
        m_now = QDateTime(c.from, QTime(0, 0, 5), Qt::LocalTime);
        writeSettings({QJsonObject{{"hour", c.hour}, {"minute", c.minute}}, QJsonObject{{"hour", 4}, {"minute", 0}}});
        QStringList fired;
        const qint64 start = m_now.toMSecsSinceEpoch();
        for (qint64 minute = 0; minute < 3 * 24 * 60; ++minute) {
            m_now = QDateTime::fromMSecsSinceEpoch(start + minute * 60000, Qt::LocalTime);
            const int before = queuedIndexes().size();
            engine->units().scheduler.dailyCheck();
            ASSERT_TRUE(engine->units().scheduler.nextSchedule().isValid()) << c.zone << " " << qPrintable(m_now.toString());
            if (queuedIndexes().size() != before)
                fired << m_now.toString(QStringLiteral("MM-dd HH:mm "))
                             + QString::asprintf("%+03d", m_now.offsetFromUtc() / 3600);
        }
        EXPECT_EQ(fired, c.fired) << c.zone << " from " << qPrintable(c.from.toString(Qt::ISODate));
    }
}

} // namespace
