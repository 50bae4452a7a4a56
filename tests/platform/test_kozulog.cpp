#include "phpaths.h"
#include "tjkozulog.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSet>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <thread>
#include <vector>

namespace {

class Kozulog : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    QString dbPath() const { return m_dir.path() + "/var/db/kozulog.db"; }
    QTemporaryDir m_dir;
};

TEST_F(Kozulog, DefaultDatabaseFollowsTheFilesRoot)
{
    PHPaths::setRoot(m_dir.path());
    TJKozulog log;
    EXPECT_EQ(log.databasePath(), m_dir.path() + "/kozu/var/db/kozulog.db");
    EXPECT_TRUE(log.write("Information", "m", QJsonObject(), "APP", "SYSTEM", "", ""));
    EXPECT_TRUE(QFile::exists(m_dir.path() + "/kozu/var/db/kozulog.db"));
    PHPaths::setRoot(QString());
}

TEST_F(Kozulog, RecordsListNewestFirstPerApplication)
{
    TJKozulog log(dbPath());
    struct Rec { const char* level; const char* message; QJsonObject details; const char* app; const char* s2; const char* s3; };
    const Rec recs[] = {
        {"Error", "##$@vxr@$##Backup failed##$@vxr@$##: cannot open 'x'", {{"action", 1}, {"state", 3}}, "A", "", ""},
        {"Information", "other app", {{"k", "v"}}, "B", "two", "three"},
        {"Warning", "名字 with 'quotes' and \"double\"", {{"action", 2}, {"state", 8}}, "A", "s2", "s3"},
        {"Information", "", QJsonObject(), "A", "", ""},
    };
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    for (const Rec& r : recs)
        ASSERT_TRUE(log.write(r.level, r.message, r.details, r.app, "SYSTEM", r.s2, r.s3));

    QJsonArray a{QStringLiteral("kept")};
    ASSERT_TRUE(log.loadByApp(a, "A"));
    ASSERT_EQ(a.size(), 4);
    EXPECT_EQ(a.at(0).toString(), "kept");
    const int order[] = {3, 2, 0};
    qint64 lastId = std::numeric_limits<qint64>::max();
    for (int i = 0; i < 3; ++i) {
        const Rec& want = recs[order[i]];
        const QJsonObject got = a.at(i + 1).toObject();
        SCOPED_TRACE(want.message);
        EXPECT_EQ(got.value("level").toString(), want.level);
        EXPECT_EQ(got.value("message").toString(), QString::fromUtf8(want.message));
        EXPECT_EQ(got.value("app").toString(), "A");
        EXPECT_EQ(got.value("user").toString(), "SYSTEM");
        EXPECT_EQ(QJsonDocument::fromJson(got.value("sparefield1").toString().toUtf8()).object(), want.details);
        EXPECT_EQ(got.value("sparefield2").toString(), want.s2);
        EXPECT_EQ(got.value("sparefield3").toString(), want.s3);
        const QDateTime t = QDateTime::fromString(got.value("time").toString(), "yyyy-MM-dd HH:mm:ss");
        EXPECT_TRUE(t.isValid());
        EXPECT_GE(t, before);
        const qint64 id = got.value("id").toVariant().toLongLong();
        EXPECT_LT(id, lastId);
        lastId = id;
    }
    QJsonArray b;
    ASSERT_TRUE(log.loadByApp(b, "B"));
    ASSERT_EQ(b.size(), 1);
    EXPECT_EQ(b.at(0).toObject().value("sparefield2").toString(), "two");
    QJsonArray none;
    ASSERT_TRUE(log.loadByApp(none, "NOBODY"));
    EXPECT_TRUE(none.isEmpty());
}

TEST_F(Kozulog, ConcurrentWritersLoseNothing)
{
    constexpr int kThreads = 6;
    constexpr int kEach = 40;
    // Half the threads share one object, the others have their own, as
    // separate engines or processes would.
    TJKozulog shared(dbPath());
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            TJKozulog own(dbPath());
            TJKozulog& log = t % 2 ? own : shared;
            for (int i = 0; i < kEach; ++i) {
                if (!log.write("Information", QStringLiteral("%1/%2").arg(t).arg(i), QJsonObject{{"t", t}, {"i", i}},
                               "APP", "SYSTEM", "", ""))
                    ++failures;
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
    QJsonArray all;
    ASSERT_TRUE(shared.loadByApp(all, "APP"));
    ASSERT_EQ(all.size(), kThreads * kEach);
    QSet<QString> messages;
    QVector<int> lastOfThread(kThreads, kEach);
    for (const QJsonValue& v : all) {
        const QJsonObject r = v.toObject();
        messages.insert(r.value("message").toString());
        // Newest first: each thread's records come in falling order.
        const QJsonObject d = QJsonDocument::fromJson(r.value("sparefield1").toString().toUtf8()).object();
        const int t = d.value("t").toInt();
        const int i = d.value("i").toInt();
        EXPECT_LT(i, lastOfThread[t]);
        lastOfThread[t] = i;
    }
    EXPECT_EQ(messages.size(), kThreads * kEach);

    // The file is in WAL mode.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(dbPath()).constData(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode;", -1, &st, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "wal");
    sqlite3_finalize(st);
    sqlite3_close(db);
}

TEST_F(Kozulog, SurvivesReopenAndClearsOneApplication)
{
    {
        TJKozulog log(dbPath());
        ASSERT_TRUE(log.write("Error", "a1", QJsonObject(), "A", "SYSTEM", "", ""));
        ASSERT_TRUE(log.write("Error", "b1", QJsonObject(), "B", "SYSTEM", "", ""));
    }
    TJKozulog reopened(dbPath());
    QJsonArray a;
    ASSERT_TRUE(reopened.loadByApp(a, "A"));
    ASSERT_EQ(a.size(), 1);
    EXPECT_EQ(a.at(0).toObject().value("message").toString(), "a1");

    EXPECT_NE(reopened.clearByApp("A"), 0);
    EXPECT_NE(reopened.clearByApp("A"), 0); // nothing left: still cleared
    QJsonArray after;
    ASSERT_TRUE(reopened.loadByApp(after, "A"));
    EXPECT_TRUE(after.isEmpty());
    QJsonArray b;
    ASSERT_TRUE(TJKozulog(dbPath()).loadByApp(b, "B"));
    EXPECT_EQ(b.size(), 1);
    // New records after a clear list as usual.
    ASSERT_TRUE(reopened.write("Information", "a2", QJsonObject(), "A", "SYSTEM", "", ""));
    QJsonArray again;
    ASSERT_TRUE(reopened.loadByApp(again, "A"));
    ASSERT_EQ(again.size(), 1);
    EXPECT_EQ(again.at(0).toObject().value("message").toString(), "a2");
}

TEST_F(Kozulog, KeptConnectionFollowsTheFileAndListingsCap)
{
    TJKozulog log(dbPath());
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(log.write("Information", QString::number(i), QJsonObject(), "A", "SYSTEM", "", ""));
    QJsonArray newest;
    ASSERT_TRUE(log.loadByApp(newest, "A", 2));
    ASSERT_EQ(newest.size(), 2);
    EXPECT_EQ(newest.at(0).toObject().value("message").toString(), "4");
    EXPECT_EQ(newest.at(1).toObject().value("message").toString(), "3");

    // The database removed (an operator's reset): the next record starts a
    // new file rather than going into the unlinked one.
    for (const char* tail : {"", "-wal", "-shm"})
        QFile::remove(dbPath() + tail);
    ASSERT_TRUE(log.write("Information", "after", QJsonObject(), "A", "SYSTEM", "", ""));
    QJsonArray after;
    ASSERT_TRUE(TJKozulog(dbPath()).loadByApp(after, "A"));
    ASSERT_EQ(after.size(), 1);
    EXPECT_EQ(after.at(0).toObject().value("message").toString(), "after");
}

TEST_F(Kozulog, UnusableDatabaseFailsCleanly)
{
    // Never written: no records, no failure, and no file is created by reading.
    TJKozulog fresh(dbPath());
    QJsonArray records{1};
    EXPECT_TRUE(fresh.loadByApp(records, "A"));
    EXPECT_EQ(records.size(), 1);
    EXPECT_FALSE(QFile::exists(dbPath()));

    // A file that is not a database.
    const QString junk = m_dir.path() + "/junk.db";
    QFile f(junk);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(8192, 'j'));
    f.close();
    TJKozulog bad(junk);
    EXPECT_FALSE(bad.write("Error", "m", QJsonObject(), "A", "SYSTEM", "", ""));
    EXPECT_FALSE(bad.loadByApp(records, "A"));
    EXPECT_EQ(records.size(), 1);
    EXPECT_EQ(bad.clearByApp("A"), 0);

    // A folder that cannot be made (a file stands in its way).
    TJKozulog blocked(junk + "/sub/kozulog.db");
    EXPECT_FALSE(blocked.write("Error", "m", QJsonObject(), "A", "SYSTEM", "", ""));
    EXPECT_EQ(blocked.clearByApp("A"), 0);
}

} // namespace
