// The rules on the task queue: what cancel, progress and finish do to
// which task, and what the listing shows of each.
#include "vxrtaskqueue.h"

#include <gtest/gtest.h>

#include <QJsonDocument>

namespace {

// Upload tasks of dataset "d" with the indexes given; a negative index
// stands for the head already taken by the worker (step 1).
QList<VxrTask> tasks(std::initializer_list<int> indexes)
{
    QList<VxrTask> out;
    for (const int i : indexes) {
        VxrTask t = VxrTask::upload("d");
        t.index = std::abs(i);
        t.step = i < 0 ? 1 : 0;
        out << t;
    }
    return out;
}

// The listing with the keys every task has left out: "index" and what
// else it shows.
QString shown(const QList<VxrTask>& list)
{
    QStringList out;
    for (const QJsonValue& v : VxrTasks::listing(list)) {
        QJsonObject o = v.toObject();
        for (const char* key : {"action", "dmpath"})
            o.remove(key);
        if (o.value("step").toInt() == 0)
            o.remove("step");
        if (o.value("rate").toInt() == 0 && !o.contains("speed"))
            o.remove("rate");
        out << QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
    }
    return out.join(' ');
}

TEST(VxrTasks, CancelRules)
{
    struct Case { const char* name; QList<VxrTask> tasks; int index; bool found; const char* after; };
    const Case cases[] = {
        {"running task is marked and stays", tasks({-1, 2}), 1, true, R"({"index":1,"removed":1,"step":1} {"index":2})"},
        {"waiting task is removed", tasks({1, 2, 3}), 2, true, R"({"index":1} {"index":3})"},
        {"last waiting task is removed", tasks({1, 2, 3}), 3, true, R"({"index":1} {"index":2})"},
        {"unknown index", tasks({1, 2}), 9, false, R"({"index":1} {"index":2})"},
        {"empty queue", {}, 1, false, ""},
        {"neighbouring duplicates all go", tasks({1, 2, 2, 3}), 2, true, R"({"index":1} {"index":3})"},
        {"head and a waiting task with the same index", tasks({5, 5}), 5, true, R"({"index":5,"removed":1})"},
    };
    for (Case c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(VxrTasks::cancel(c.tasks, c.index), c.found);
        EXPECT_EQ(shown(c.tasks), c.after);
    }
}

// Progress and finish touch the head only, and only when it is the task
// that asks; a cancelled head keeps its last progress.
TEST(VxrTasks, HeadUpdates)
{
    enum Op { Update, Finish };
    QList<VxrTask> sixty = tasks({4});
    sixty.first().rate = 60;
    QList<VxrTask> cancelled = sixty;
    cancelled.first().removed = true;
    struct Case { const char* name; QList<VxrTask> tasks; Op op; int index; int rate; const char* after; };
    const Case cases[] = {
        {"progress of the head", tasks({4, 5}), Update, 4, 30,
         R"({"currsize":300,"index":4,"rate":30,"speed":"2MiB/s","totalsize":1000} {"index":5})"},
        {"rate 0 shows nothing sent", tasks({4}), Update, 4, 0,
         R"({"currsize":0,"index":4,"rate":0,"speed":"2MiB/s","totalsize":1000})"},
        {"another task asks", tasks({4, 5}), Update, 5, 30, R"({"index":4} {"index":5})"},
        {"empty queue", {}, Update, 4, 30, ""},
        {"finish", sixty, Finish, 4, 0, R"({"currsize":1000,"index":4,"rate":100,"speed":"0B/s","totalsize":1000})"},
        {"finish after a cancel", cancelled, Finish, 4, 0, R"({"index":4,"rate":60,"removed":1})"},
        {"finish of a task no longer the head", tasks({5}), Finish, 4, 0, R"({"index":5})"},
    };
    for (Case c : cases) {
        SCOPED_TRACE(c.name);
        if (c.op == Update)
            VxrTasks::updateHead(c.tasks, c.index, VxrTasks::Progress{"2MiB/s", c.rate, 1000});
        else
            VxrTasks::finishHead(c.tasks, c.index, 1000);
        EXPECT_EQ(shown(c.tasks), c.after);
    }
    EXPECT_TRUE(VxrTasks::headRemoved(cancelled, 4));
    EXPECT_FALSE(VxrTasks::headRemoved(sixty, 4));
    QList<VxrTask> second = tasks({3, 4});
    second.last().removed = true;
    EXPECT_FALSE(VxrTasks::headRemoved(second, 4));
}

// Tasks of one request get consecutive indexes in their order; the listing
// never carries a restore task's password, the queue keeps it.
TEST(VxrTaskQueue, EnqueueAndListing)
{
    VxrTaskQueue queue;
    const VxrSsh::Account account{"h", 22, "u", "s3cret"};
    EXPECT_EQ(queue.enqueue({VxrTask::upload("p/u")}), QList<int>{1});
    EXPECT_EQ(queue.enqueue({VxrTask::restore("p/a", account), VxrTask::restore("p/b", account)}),
              (QList<int>{2, 3}));
    EXPECT_EQ(QString::fromUtf8(QJsonDocument(queue.listing()).toJson(QJsonDocument::Compact)),
              R"([{"action":2,"dmpath":"p/u","index":1,"rate":0,"step":0},)"
              R"({"action":3,"dmpath":"p/a","index":2,"port":22,"rate":0,"server":"h","step":0,"userid":"u"},)"
              R"({"action":3,"dmpath":"p/b","index":3,"port":22,"rate":0,"server":"h","step":0,"userid":"u"}])");
    std::atomic<bool> working{true};
    const std::atomic<bool> stop{false};
    queue.remove(1);
    VxrTask head;
    ASSERT_TRUE(queue.startHeadOrIdle(&head, working, stop));
    EXPECT_EQ(head.account.password, "s3cret");
    queue.remove(2);
    queue.remove(3);
    EXPECT_FALSE(queue.startHeadOrIdle(&head, working, stop));
    EXPECT_FALSE(working.load());
}

} // namespace
