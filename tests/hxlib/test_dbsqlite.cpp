#include "hx2dbsqlite.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QVariant>

#include "../printqt.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include <sys/stat.h>

namespace {

const char* const kCreator =
    "CREATE TABLE SYS_Configure (CFG_Key TEXT PRIMARY KEY, CFG_Value TEXT);\n"
    "CREATE TABLE items (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT, num INTEGER, note TEXT);\n";

// Ids in mixed case, comments after code, quotes holding "@" and "--", a
// literal over two lines, a stray quote and a last statement without
// "Params:".
const char* const kEngine =
    "-- test statements\n"
    "ignored line before any statement\n"
    "SQL: Item_Add   -- the id is lower-cased\n"
    "  INSERT INTO items (name, num, note)\n"
    "  VALUES (@name, @num, @note);  -- bound by SQLite\n"
    "Params:\n"
    "  @name\n"
    "  :num INT\n"
    "  note date\n"
    "\n"
    "sql: item_mail\n"
    "SELECT name FROM items WHERE name = 'a@b.c' OR note = 'x -- y' -- cut 'here\n"
    "ORDER BY id;\n"
    "PARAMS:\n"
    "SQL: item_multiline\n"
    "INSERT INTO items (name) VALUES ('first\n"
    "  -- kept');\n"
    "Params:\n"
    "SQL: broken\n"
    "SELECT 'unclosed;\n"
    "SQL: item_half\n"
    "BEGIN;\n"
    "INSERT INTO items (name) VALUES (@name);\n"
    "INSERT INTO nowhere VALUES (1);\n"
    "COMMIT;\n"
    "Params:\n"
    "name\n"
    "SQL: item_all\n"
    "SELECT id, name, num, note FROM items ORDER BY id;\n";

qint64 exact(const QJsonValue& v)
{
    return v.toVariant().toLongLong();
}

// Whether work, run on a thread of its own, ends within a few seconds. A
// thread still blocked then is left behind detached, so whatever work uses
// must outlive the test program.
bool endsInTime(std::function<void()> work)
{
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ended = done->get_future();
    std::thread([work = std::move(work), done] {
        work();
        done->set_value();
    }).detach();
    return ended.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
}

class DbSqliteTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        write("creator.sql", kCreator);
        write("engine.sql", kEngine);
    }
    QString path(const QString& name) const { return m_dir.filePath(name); }
    void write(const QString& name, const QByteArray& text)
    {
        QFile f(path(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    }
    // Without waiting for the disk: the tests write a row per transaction.
    bool openDb(HX2DBSqlite& db, bool* created = nullptr)
    {
        int changes = 0;
        qint64 lastId = 0;
        return db.open(path("db/test.db"), path("engine.sql"), path("creator.sql"), created)
               && db.exec(changes, lastId, "PRAGMA synchronous = OFF");
    }
    QList<QJsonObject> all(HX2DBSqlite& db)
    {
        QList<QJsonObject> rows;
        EXPECT_TRUE(db.call(rows, "item_all", {}));
        return rows;
    }

    QTemporaryDir m_dir;
};

} // namespace

TEST_F(DbSqliteTest, BuiltinStatementsOnANewDatabase)
{
    HX2DBSqlite db;
    bool created = false;
    const mode_t umaskWas = umask(077);
    const bool opened = openDb(db, &created);
    umask(umaskWas);
    ASSERT_TRUE(opened) << db.lastError().toStdString();
    EXPECT_TRUE(created);
    struct stat st = {};
    ASSERT_EQ(stat(QFile::encodeName(path("db")).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);

    EXPECT_TRUE(db.call("configure_append", {{"key", "b"}, {"value", "2"}}));
    EXPECT_TRUE(db.call("configure_append", {{"key", "a"}, {"value", "1"}}));
    int changes = 0;
    qint64 lastId = 0;
    EXPECT_TRUE(db.call(changes, lastId, "configure_change", {{"key", "a"}, {"value", "9"}}));
    EXPECT_EQ(changes, 1);
    QJsonArray rows;
    EXPECT_TRUE(db.call(rows, "configure_get", {{"key", "a"}}));
    EXPECT_EQ(rows, QJsonArray({QJsonObject{{"value", "9"}}}));
    EXPECT_TRUE(db.call(rows, "configure_alload", {}));
    EXPECT_EQ(rows, QJsonArray({QJsonObject{{"key", "a"}, {"value", "9"}},
                                QJsonObject{{"key", "b"}, {"value", "2"}}}));

    EXPECT_FALSE(db.call("CONFIGURE_GET", {}));
    EXPECT_EQ(db.lastError(), QString("sqlid not found: CONFIGURE_GET"));
    EXPECT_EQ(db.lastSqlId(), QString("CONFIGURE_GET"));

    // An existing file is opened as it is.
    db.close();
    ASSERT_TRUE(openDb(db, &created));
    EXPECT_FALSE(created);
}

TEST_F(DbSqliteTest, StatementFileKeepsQuotedTextAndBindsByName)
{
    HX2DBSqlite db;
    ASSERT_TRUE(openDb(db));
    const QJsonObject engine = db.sqlEngine();
    EXPECT_TRUE(engine.contains("configure_get"));
    EXPECT_EQ(engine.value("item_add").toObject().value("params").toObject(),
              (QJsonObject{{"name", "string"}, {"num", "int"}, {"note", "date"}}));
    EXPECT_EQ(engine.value("item_all").toObject().value("params").toObject(), QJsonObject());
    EXPECT_FALSE(db.call("Item_Add", {}));

    EXPECT_TRUE(db.call("item_add", {{"name", "a@b.c"}}));
    EXPECT_TRUE(db.call("item_add", {{"name", "other"}, {"note", "x -- y"}, {"num", 7}}));
    EXPECT_TRUE(db.call("item_add", {{"name", "nobody"}}));
    EXPECT_TRUE(db.call("item_multiline", {}));
    QList<QJsonObject> rows;
    EXPECT_TRUE(db.call(rows, "item_mail", {}));
    EXPECT_EQ(rows, (QList<QJsonObject>{{{"name", "a@b.c"}}, {{"name", "other"}}}));

    rows = all(db);
    ASSERT_EQ(rows.size(), 4);
    // "num" declared int and missing binds 0; "note" declared date stays
    // NULL and is left out of the row.
    EXPECT_EQ(rows.at(0), (QJsonObject{{"id", 1}, {"name", "a@b.c"}, {"num", 0}}));
    EXPECT_EQ(rows.at(3).value("name").toString(), QString("first\n  -- kept"));

    EXPECT_FALSE(db.loadSqlEngine(""));
    EXPECT_EQ(db.lastError(), QString("Not found engine ddl."));
    EXPECT_FALSE(db.loadSqlEngine(path("missing.sql")));
    EXPECT_TRUE(db.sqlEngine().contains("item_add"));
}

TEST_F(DbSqliteTest, NumbersBeyond32BitsBothWays)
{
    HX2DBSqlite db;
    ASSERT_TRUE(openDb(db));
    int changes = 0;
    qint64 lastId = 0;
    ASSERT_TRUE(db.exec(changes, lastId, "CREATE TABLE n (v)"));
    const struct
    {
        QJsonValue in;
        const char* type;
        qint64 asInt;
        double asReal;
    } cases[] = {
        {3000000000.0, "integer", 3000000000LL, 0},
        {-5000000000.0, "integer", -5000000000LL, 0},
        {9007199254740991.0, "integer", 9007199254740991LL, 0},
        {3.0, "integer", 3, 0},
        {3.5, "real", 0, 3.5},
        {1e300, "real", 0, 1e300},
        {true, "integer", 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        ASSERT_TRUE(db.exec(changes, lastId, "DELETE FROM n; INSERT INTO n VALUES (:v)", {{"v", c.in}}));
        QList<QJsonObject> rows;
        ASSERT_TRUE(db.exec(changes, lastId, rows, "SELECT v, typeof(v) AS t FROM n"));
        ASSERT_EQ(rows.size(), 1);
        EXPECT_EQ(rows.at(0).value("t").toString(), QString(c.type));
        if (c.asReal != 0)
            EXPECT_EQ(rows.at(0).value("v").toDouble(), c.asReal);
        else
            EXPECT_EQ(exact(rows.at(0).value("v")), c.asInt);
    }

    ASSERT_TRUE(db.exec(changes, lastId, "INSERT INTO items (id, name) VALUES (5000000000, 'big')"));
    EXPECT_EQ(lastId, 5000000000LL);
    ASSERT_TRUE(db.call(changes, lastId, "item_add", {{"name", "next"}}));
    EXPECT_EQ(lastId, 5000000001LL);
    EXPECT_EQ(changes, 1);
}

TEST_F(DbSqliteTest, ExecStopsAtTheFirstFailure)
{
    HX2DBSqlite db;
    ASSERT_TRUE(openDb(db));
    int changes = 0;
    qint64 lastId = 0;
    EXPECT_FALSE(db.exec(changes, lastId,
                         "INSERT INTO items (name) VALUES ('one');"
                         "INSERT INTO nowhere VALUES (1);"
                         "INSERT INTO items (name) VALUES ('three');"));
    EXPECT_EQ(db.lastError(), QString("no such table: nowhere"));
    EXPECT_FALSE(db.exec(changes, lastId,
                         "INSERT INTO items (name) VALUES ('two');"
                         "INSERT INTO items (id, name) VALUES (1, 'clash');"
                         "INSERT INTO items (name) VALUES ('three');"));
    EXPECT_TRUE(db.lastError().contains("UNIQUE constraint failed")) << db.lastError().toStdString();
    // A transaction the caller began stays open for the caller to end.
    ASSERT_TRUE(db.transactionBegin());
    EXPECT_FALSE(db.exec(changes, lastId,
                         "INSERT INTO items (name) VALUES ('kept');"
                         "INSERT INTO nowhere VALUES (1);"));
    EXPECT_TRUE(db.transactionCommit()) << db.lastError().toStdString();
    QStringList names;
    for (const QJsonObject& row : all(db))
        names << row.value("name").toString();
    EXPECT_EQ(names, QStringList({"one", "two", "kept"}));
}

// A failure inside a transaction that the failing text began rolls it back:
// nothing of the text is kept, and the connection is free at once for other
// threads and for close(), also when a detached call failed.
TEST_F(DbSqliteTest, FailureInsideItsOwnTransactionRollsItBack)
{
    const auto execHalf = [](HX2DBSqlite& db) {
        int changes = 0;
        qint64 lastId = 0;
        EXPECT_FALSE(db.exec(changes, lastId,
                             "BEGIN; INSERT INTO items (name) VALUES ('lost'); INSERT INTO; COMMIT;"));
    };
    const struct
    {
        const char* what;
        std::function<void(HX2DBSqlite&)> fail;
    } cases[] = {
        {"statement fails to run", [](HX2DBSqlite& db) { EXPECT_FALSE(db.call("item_half", {{"name", "lost"}})); }},
        {"statement fails to prepare", execHalf},
        {"detached", [](HX2DBSqlite& db) { db.callDetach("item_half", {{"name", "lost"}}); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(path("db/test.db"));
        // Left alive on failure: a blocked thread may still be using it.
        auto db = std::make_unique<HX2DBSqlite>();
        HX2DBSqlite* const raw = db.get();
        ASSERT_TRUE(openDb(*db));
        c.fail(*db);
        for (int i = 0; i < 500 && db->lastError().isEmpty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_FALSE(db->lastError().isEmpty());
        const bool freed = endsInTime([raw] { EXPECT_TRUE(raw->call("item_add", {{"name", "after"}})); })
                           && endsInTime([raw] { raw->close(); });
        if (!freed) {
            ADD_FAILURE() << "the connection stays locked after the failure";
            db.release();
            continue;
        }
        ASSERT_TRUE(db->openOnly(path("db/test.db")));
        QStringList names;
        for (const QJsonObject& row : all(*db))
            names << row.value("name").toString();
        EXPECT_EQ(names, QStringList({"after"}));
    }
}

TEST_F(DbSqliteTest, FailedCreatorLeavesNoDatabase)
{
    const struct
    {
        QByteArray creator;
        const char* error;
    } cases[] = {
        {"CREATE TABLE a (x); INSERT INTO a VALUES (1); CREATE TABLE a (y);", "table a already exists"},
        {"  \n", "Not found creator ddl"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        write("bad.sql", c.creator);
        HX2DBSqlite db;
        bool created = true;
        EXPECT_FALSE(db.open(path("new/bad.db"), path("engine.sql"), path("bad.sql"), &created));
        EXPECT_FALSE(created);
        EXPECT_EQ(db.lastError(), QString(c.error));
        EXPECT_TRUE(db.filePath().isEmpty());
        EXPECT_FALSE(QFile::exists(path("new/bad.db")));
        EXPECT_FALSE(QFile::exists(path("new/bad.db-journal")));
    }
}

// Threads mixing call, callDetach and transactions on one connection: every
// lastId is the caller's own row and every detached row arrives.
TEST_F(DbSqliteTest, ConcurrentCallsAndDetachedCalls)
{
    constexpr int kThreads = 4;
    constexpr int kCalls = 150;
    HX2DBSqlite db;
    ASSERT_TRUE(openDb(db));
    std::vector<std::map<qint64, QString>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&db, &seen, t] {
            for (int i = 0; i < kCalls; ++i) {
                const QString name = QString("t%1-%2").arg(t).arg(i);
                int changes = 0;
                qint64 lastId = 0;
                if (i % 10 == 0)
                    db.transactionBegin();
                if (db.call(changes, lastId, "item_add", {{"name", name}}) && changes == 1)
                    seen[t][lastId] = name;
                db.callDetach("item_add", {{"name", "detached-" + name}});
                if (i % 10 == 0)
                    db.transactionCommit();
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    db.close();

    ASSERT_TRUE(openDb(db));
    std::map<qint64, QString> stored;
    int detached = 0;
    for (const QJsonObject& row : all(db)) {
        const QString name = row.value("name").toString();
        if (name.startsWith("detached-"))
            ++detached;
        else
            stored[exact(row.value("id"))] = name;
    }
    EXPECT_EQ(detached, kThreads * kCalls);
    EXPECT_EQ(int(stored.size()), kThreads * kCalls);
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(int(seen[t].size()), kCalls);
        for (const auto& [id, name] : seen[t])
            EXPECT_EQ(stored[id], name);
    }
}

// A detached call waits for another thread's transaction instead of landing
// in it, and close() runs every queued call before it returns.
TEST_F(DbSqliteTest, DetachedCallsWaitForTransactionsAndRunBeforeClose)
{
    constexpr int kQueued = 500;
    HX2DBSqlite db;
    ASSERT_TRUE(openDb(db));
    ASSERT_TRUE(db.transactionBegin());
    EXPECT_TRUE(db.call("item_add", {{"name", "rolled back"}}));
    db.callDetach("item_add", {{"name", "detached"}});
    // Room for a worker that ignored the transaction to write into it.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(db.transactionRollback());
    for (int i = 0; i < kQueued; ++i)
        db.callDetach("item_add", {{"name", QString::number(i)}});
    db.close();
    db.callDetach("item_add", {{"name", "after close"}});

    ASSERT_TRUE(db.openOnly(path("db/test.db")));
    const QList<QJsonObject> rows = all(db);
    ASSERT_EQ(rows.size(), 1 + kQueued);
    EXPECT_EQ(rows.at(0).value("name").toString(), QString("detached"));
    EXPECT_EQ(rows.at(kQueued).value("name").toString(), QString::number(kQueued - 1));
}
