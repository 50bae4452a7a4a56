#include "hx2error.h"
#include "hx2journals.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>

#include "../printqt.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

// Lets at least ms milliseconds pass on the monotonic clock the journals use.
void letTimePass(qint64 ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

QJsonObject stepRecord(const char* place)
{
    return QJsonObject{{"place", place}, {"action", "a"}, {"times", 0}, {"success", true}};
}

struct ReplyCase
{
    const char* name;
    bool setOutcome; // false: the fresh journal's 9999
    int err;
    const char* errmsg;
    bool withSegments;
    bool detail;
    bool expectErrmsg;
    bool expectElapsed;
    bool expectJournals;
};

const ReplyCase kReplyCases[] = {
    {"fresh journal", false, 9999, "", false, false, false, false, false},
    {"fresh journal with detail", false, 9999, "", false, true, false, true, false},
    {"success hides its message", true, 0, "done", false, false, false, false, false},
    {"code 10000 hides its message", true, 10000, "internal", false, true, false, true, false},
    {"not found without a message", true, 9885, "", false, false, false, false, false},
    {"not found with a message", true, 9885, "被调用的方法不存在: x", false, false, true, false, false},
    {"detail without segments", true, 9991, "读配置文件失败: /x", false, true, true, true, false},
    {"detail with segments", true, 9995, "缺少参数: index", true, true, true, true, true},
    {"segments need detail", true, 9995, "缺少参数: index", true, false, true, false, false},
};

} // namespace

TEST(JournalsTest, ReplyKeysFollowCodeMessageAndDetail)
{
    for (const ReplyCase& c : kReplyCases) {
        SCOPED_TRACE(c.name);
        HX2Journals j;
        if (c.setOutcome)
            j.setErr(c.err, QString::fromUtf8(c.errmsg));
        if (c.withSegments)
            j.add(stepRecord("p"));

        // A handler's own keys stay; an earlier "err" is replaced.
        QJsonObject ret{{"data", 5}, {"err", 1}};
        j.toRetObject(ret, c.detail);

        EXPECT_EQ(ret.value("err").toInt(-1), c.err);
        EXPECT_EQ(ret.value("data").toInt(), 5);
        EXPECT_EQ(ret.contains("errmsg"), c.expectErrmsg);
        if (c.expectErrmsg) {
            EXPECT_EQ(ret.value("errmsg").toString(), QString::fromUtf8(c.errmsg));
        }
        EXPECT_EQ(ret.contains("elapsed"), c.expectElapsed);
        EXPECT_EQ(ret.contains("journals"), c.expectJournals);
        if (c.expectJournals) {
            EXPECT_EQ(ret.value("journals").toArray(), j.segments());
        }
        EXPECT_EQ(ret.size(), 2 + int(c.expectErrmsg) + int(c.expectElapsed) + int(c.expectJournals));

        // toObject applies the same message rule but always carries "elapsed".
        const QJsonObject obj = j.toObject();
        EXPECT_EQ(obj.value("err").toInt(-1), c.err);
        EXPECT_TRUE(obj.contains("elapsed"));
        EXPECT_EQ(obj.contains("errmsg"), c.expectErrmsg);
        EXPECT_EQ(obj.contains("journals"), c.withSegments);
    }
}

TEST(JournalsTest, ReplyWriterAdvancesTheStopwatchAndToObjectDoesNot)
{
    HX2Journals j;
    letTimePass(3);
    QJsonObject first;
    j.toRetObject(&first, true);
    EXPECT_GE(first.value("elapsed").toInt(), 3);
    EXPECT_EQ(j.times(), first.value("elapsed").toInt());

    letTimePass(2);
    const qint64 before = j.times();
    EXPECT_EQ(j.toObject().value("elapsed").toInt(), before);
    EXPECT_EQ(j.times(), before);

    QJsonObject second;
    j.toRetObject(second, true);
    EXPECT_GE(second.value("elapsed").toInt(), first.value("elapsed").toInt() + 2);

    // A null reply still closes the step and writes nothing.
    letTimePass(2);
    j.toRetObject(nullptr, true);
    EXPECT_GE(j.times(), second.value("elapsed").toInt() + 2);
}

TEST(JournalsTest, StopwatchBeginStepEndAndReset)
{
    HX2Journals j;
    letTimePass(4);
    const qint64 s1 = j.step();
    EXPECT_GE(s1, 4);
    letTimePass(2);
    const qint64 total = j.end();
    EXPECT_GE(total, s1 + 2);
    EXPECT_EQ(j.times(), total);

    j.begin();
    EXPECT_EQ(j.times(), 0);

    // reset zeroes the total but leaves the timer running: the time before
    // it still counts for the next step.
    j.setErr(1, "x");
    letTimePass(30);
    j.reset(9885, "gone", QJsonArray{stepRecord("r")});
    EXPECT_EQ(j.times(), 0);
    EXPECT_EQ(j.err(), 9885);
    EXPECT_EQ(j.errmsg(), "gone");
    EXPECT_EQ(j.segments().size(), 1);
    EXPECT_GE(j.step(), 30);

    // HX2Error's reset restarts the timer.
    HX2Error e(0, QString());
    letTimePass(100);
    e.reset(3, "r");
    EXPECT_LT(e.step(), 100);
    EXPECT_EQ(e.err(), 3);
}

TEST(JournalsTest, StepRecordMessageRules)
{
    struct Case
    {
        const char* name;
        const char* current; // errmsg before the step
        const char* msg;     // caller's message
        bool journalHasMsg;
        const char* journalMsg;
        const char* errorMsg; // HX2Error always writes "msg"
    };
    const Case cases[] = {
        {"caller's message wins", "old", "new", true, "new", "new"},
        {"falls back to errmsg", "old", "", true, "old", "old"},
        {"nothing to say", "", "", false, "", ""},
        {"caller's message alone", "", "only", true, "only", "only"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HX2Journals j;
        j.setErrmsg(c.current);
        letTimePass(2);
        const QJsonObject rec = j.add("place", "action", false, c.msg);
        EXPECT_EQ(rec.value("place").toString(), "place");
        EXPECT_EQ(rec.value("action").toString(), "action");
        EXPECT_EQ(rec.value("success").toBool(true), false);
        EXPECT_GE(rec.value("times").toInt(), 2);
        EXPECT_EQ(rec.contains("msg"), c.journalHasMsg);
        EXPECT_EQ(rec.value("msg").toString(), QString(c.journalMsg));
        ASSERT_EQ(j.segments().size(), 1);
        EXPECT_EQ(j.segments().at(0).toObject(), rec);
        EXPECT_EQ(j.times(), rec.value("times").toInt());

        HX2Error e(0, c.current);
        const QJsonObject erec = e.add("place", "action", true, c.msg);
        ASSERT_TRUE(erec.contains("msg"));
        EXPECT_TRUE(erec.value("msg").isString());
        EXPECT_EQ(erec.value("msg").toString(), QString(c.errorMsg));
        EXPECT_EQ(e.journals().size(), 1);
    }
}

TEST(JournalsTest, StepsAppendInOrderAndArraysStayOneElement)
{
    HX2Journals j;
    j.add(stepRecord("first"));
    j.add(QJsonArray{stepRecord("a"), stepRecord("b")});
    j.add("third", "act", true);
    const QJsonArray s = j.segments();
    ASSERT_EQ(s.size(), 3);
    EXPECT_EQ(s.at(0).toObject().value("place").toString(), "first");
    ASSERT_TRUE(s.at(1).isArray());
    EXPECT_EQ(s.at(1).toArray().size(), 2);
    EXPECT_EQ(s.at(2).toObject().value("place").toString(), "third");

    j.setSegments(QJsonArray());
    EXPECT_TRUE(j.segments().isEmpty());
}

TEST(JournalsTest, CopiesAreIndependent)
{
    HX2Journals a;
    a.setErr(5, "five");
    HX2Journals b(a);
    b.setErr(6, "six");
    b.add(stepRecord("b"));
    EXPECT_EQ(a.err(), 5);
    EXPECT_EQ(a.errmsg(), "five");
    EXPECT_TRUE(a.segments().isEmpty());

    HX2Journals c;
    c = b;
    b.setErr(7, "seven");
    EXPECT_EQ(c.err(), 6);
    EXPECT_EQ(c.segments().size(), 1);

    HX2Error e1(1, "one");
    HX2Error e2(e1);
    e2.setErr(2, "two");
    EXPECT_EQ(e1.err(), 1);
    EXPECT_EQ(e1.errmsg(), "one");
}

TEST(ErrorTest, MessagesAndFormatting)
{
    HX2Error e(42, "  given  ");
    EXPECT_EQ(e.err(), 42);
    EXPECT_EQ(e.errmsg(), "  given  "); // the constructor keeps the text

    e.setErrmsg("  padded \n");
    EXPECT_EQ(e.errmsg(), "padded");
    e.setErr(3, " kept ");
    EXPECT_EQ(e.errmsg(), " kept ");

    const QString text = e.setError(9886, " %s has %d items ", "queue", 3);
    EXPECT_EQ(text, " queue has 3 items ");
    EXPECT_EQ(e.err(), 9886);
    EXPECT_EQ(e.errmsg(), "queue has 3 items");

    EXPECT_EQ(e.setError(1, "100%% done"), "100% done");
    EXPECT_EQ(e.errmsg(), "100% done");
    EXPECT_EQ(e.setError(2, "%d%%", 50), "50%");

    // The format is taken as UTF-8.
    EXPECT_EQ(e.setError(3, "失败: %s", "x"), QString::fromUtf8("失败: x"));
}

TEST(ErrorTest, WriteFollowsTheReplyMessageRule)
{
    struct Case
    {
        int err;
        const char* msg;
        bool expectErrmsg;
    };
    const Case cases[] = {
        {0, "ok", false}, {10000, "hidden", false}, {9885, "", false}, {9885, "shown", true}, {1, "x", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        HX2Error e(c.err, c.msg);
        QJsonObject obj{{"keep", true}};
        e.write(obj);
        EXPECT_EQ(obj.value("err").toInt(-1), c.err);
        EXPECT_TRUE(obj.value("keep").toBool());
        EXPECT_EQ(obj.contains("errmsg"), c.expectErrmsg);
        EXPECT_FALSE(obj.contains("elapsed"));

        const QJsonObject o = e.toObject();
        EXPECT_EQ(o.contains("errmsg"), c.expectErrmsg);
        EXPECT_TRUE(o.contains("elapsed"));
        EXPECT_FALSE(o.contains("journals"));
        e.write(nullptr); // writes nothing and does not crash
    }
}
