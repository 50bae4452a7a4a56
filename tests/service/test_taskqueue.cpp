// The rules on the task array: what cancel, progress and finish do to
// which task.
#include "vxrtaskqueue.h"

#include <gtest/gtest.h>

#include <QJsonDocument>

namespace {

QString json(const QJsonArray& a)
{
    return QString::fromUtf8(QJsonDocument(a).toJson(QJsonDocument::Compact));
}

QJsonArray arr(const char* text)
{
    return QJsonDocument::fromJson(QByteArray(text)).array();
}

TEST(VxrTasks, CancelRules)
{
    struct Case { const char* name; const char* tasks; int index; bool found; const char* after; };
    const Case cases[] = {
        {"running task is marked and stays", R"([{"index":1,"step":1},{"index":2}])", 1, true,
         R"([{"index":1,"step":1,"removed":1},{"index":2}])"},
        {"waiting task is removed", R"([{"index":1},{"index":2},{"index":3}])", 2, true,
         R"([{"index":1},{"index":3}])"},
        {"last waiting task is removed", R"([{"index":1},{"index":2},{"index":3}])", 3, true,
         R"([{"index":1},{"index":2}])"},
        {"unknown index", R"([{"index":1},{"index":2}])", 9, false, R"([{"index":1},{"index":2}])"},
        {"empty queue", "[]", 1, false, "[]"},
        {"index read as an integer", R"([{"index":"1"},{"index":2.0}])", 2, true, R"([{"index":"1"}])"},
        {"neighbouring duplicates all go", R"([{"index":1},{"index":2},{"index":2},{"index":3}])", 2, true,
         R"([{"index":1},{"index":3}])"},
        {"head and a waiting task with the same index", R"([{"index":5},{"index":5}])", 5, true,
         R"([{"index":5,"removed":1}])"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QJsonArray tasks = arr(c.tasks);
        EXPECT_EQ(VxrTasks::cancel(tasks, c.index), c.found);
        EXPECT_EQ(json(tasks), json(arr(c.after)));
    }
}

// Progress and finish touch the head only, and only when it is the task
// that asks; a cancelled head keeps its last progress.
TEST(VxrTasks, HeadUpdates)
{
    enum Op { Update, Finish };
    struct Case { const char* name; const char* tasks; Op op; int index; int rate; const char* after; };
    const Case cases[] = {
        {"progress of the head", R"([{"index":4},{"index":5}])", Update, 4, 30,
         R"([{"index":4,"speed":"2MiB/s","rate":30,"totalsize":1000,"currsize":300},{"index":5}])"},
        {"rate 0 shows nothing sent", R"([{"index":4}])", Update, 4, 0,
         R"([{"index":4,"speed":"2MiB/s","rate":0,"totalsize":1000,"currsize":0}])"},
        {"another task asks", R"([{"index":4},{"index":5}])", Update, 5, 30, R"([{"index":4},{"index":5}])"},
        {"empty queue", "[]", Update, 4, 30, "[]"},
        {"finish", R"([{"index":4,"rate":60}])", Finish, 4, 0,
         R"([{"index":4,"speed":"0B/s","rate":100,"totalsize":1000,"currsize":1000}])"},
        {"finish after a cancel", R"([{"index":4,"rate":60,"removed":1}])", Finish, 4, 0,
         R"([{"index":4,"rate":60,"removed":1}])"},
        {"finish of a task no longer the head", R"([{"index":5}])", Finish, 4, 0, R"([{"index":5}])"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QJsonArray tasks = arr(c.tasks);
        if (c.op == Update)
            VxrTasks::updateHead(tasks, c.index, VxrTasks::Progress{"2MiB/s", c.rate, 1000});
        else
            VxrTasks::finishHead(tasks, c.index, 1000);
        EXPECT_EQ(json(tasks), json(arr(c.after)));
    }
    EXPECT_TRUE(VxrTasks::headRemoved(arr(R"([{"index":4,"removed":1}])"), 4));
    EXPECT_FALSE(VxrTasks::headRemoved(arr(R"([{"index":4,"removed":0}])"), 4));
    EXPECT_FALSE(VxrTasks::headRemoved(arr(R"([{"index":3},{"index":4,"removed":1}])"), 4));
}

// Tasks of one request get consecutive indexes in their order; the listing
// never carries a restore task's password, the queue keeps it.
TEST(VxrTaskQueue, EnqueueAndListing)
{
    VxrTaskQueue queue;
    EXPECT_EQ(queue.enqueue({QJsonObject{{"action", 2}}}), QList<int>{1});
    EXPECT_EQ(queue.enqueue({QJsonObject{{"action", 3}, {"dmpath", "p/a"}, {"passwd", "s3cret"}},
                             QJsonObject{{"action", 3}, {"dmpath", "p/b"}, {"passwd", "s3cret"}}}),
              (QList<int>{2, 3}));
    EXPECT_EQ(json(queue.listing()),
              json(arr(R"([{"index":1,"action":2},{"index":2,"action":3,"dmpath":"p/a"},)"
                       R"({"index":3,"action":3,"dmpath":"p/b"}])")));
    std::atomic<bool> working{true};
    const std::atomic<bool> stop{false};
    queue.remove(1);
    EXPECT_EQ(queue.startHeadOrIdle(working, stop).value("passwd").toString(), "s3cret");
    queue.remove(2);
    queue.remove(3);
    EXPECT_TRUE(queue.startHeadOrIdle(working, stop).isEmpty());
    EXPECT_FALSE(working.load());
}

} // namespace
