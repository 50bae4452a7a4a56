// Statement engine benchmark. In one run, on files in one temporary folder:
//   baseline: prepared statements driven with sqlite3_bind, sqlite3_step and
//             sqlite3_reset, reading the columns into Qt values;
//   engine:   HX2DBSqlite::call of the same statements by id, with the
//             parameters in a JSON object and the rows as JSON objects.
// Printed: calls per second for an insert (inside one transaction) and a
// select by key, and the ratio engine/baseline (goal: at least 0.7). Each
// figure is the best of five rounds in thread CPU time. The parameters of
// both sides are made before the clock starts.
#include "cputime.h"
#include "hx2dbsqlite.h"

#include <QFile>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <cstdio>
#include <vector>

namespace {

constexpr int kRows = 100000;
const char* const kTable = "CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, num INTEGER);";
const char* const kInsert = "INSERT INTO t (id, name, num) VALUES (:id, :name, :num);";
const char* const kSelect = "SELECT name, num FROM t WHERE id = :id;";

void report(const char* what, double baseline, double engine)
{
    std::printf("%-8s baseline %9.0f calls/s  engine %9.0f calls/s  ratio %.2f\n", what, kRows / baseline,
                kRows / engine, baseline / engine);
}

} // namespace

int main()
{
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    {
        QFile creator(dir.filePath("creator.sql"));
        QFile engine(dir.filePath("engine.sql"));
        if (!creator.open(QIODevice::WriteOnly) || !engine.open(QIODevice::WriteOnly))
            return 1;
        creator.write(kTable);
        engine.write(QByteArray("SQL: t_add\n") + kInsert + "\nParams:\nid int\nname\nnum int\n"
                     + "SQL: t_get\n" + kSelect + "\nParams:\nid int\n");
    }

    sqlite3* raw = nullptr;
    if (sqlite3_open(QFile::encodeName(dir.filePath("raw.db")).constData(), &raw) != SQLITE_OK
        || sqlite3_exec(raw, kTable, nullptr, nullptr, nullptr) != SQLITE_OK)
        return 1;
    sqlite3_stmt* insert = nullptr;
    sqlite3_stmt* select = nullptr;
    sqlite3_prepare_v2(raw, kInsert, -1, &insert, nullptr);
    sqlite3_prepare_v2(raw, kSelect, -1, &select, nullptr);

    HX2DBSqlite db;
    if (!db.open(dir.filePath("engine.db"), dir.filePath("engine.sql"), dir.filePath("creator.sql"))) {
        std::fprintf(stderr, "open: %s\n", qPrintable(db.lastError()));
        return 1;
    }

    qint64 check = 0;
    // Parameters are made before the clock starts, on both sides: the figure
    // is the cost of the engine, not of building JSON objects.
    std::vector<QByteArray> names;
    std::vector<QJsonObject> rowValues;
    std::vector<QJsonObject> keys;
    for (int i = 0; i < kRows; ++i) {
        names.push_back(QString::number(i).toUtf8());
        rowValues.push_back({{"id", i}, {"name", QString::number(i)}, {"num", i * 3}});
        keys.push_back({{"id", i}});
    }
    const QString add = QStringLiteral("t_add");
    const QString get = QStringLiteral("t_get");
    const double rawInsert = cpuSeconds([&] {
        sqlite3_exec(raw, "DELETE FROM t; BEGIN", nullptr, nullptr, nullptr);
        for (int i = 0; i < kRows; ++i) {
            const QByteArray& name = names[size_t(i)];
            sqlite3_bind_int64(insert, 1, i);
            sqlite3_bind_text(insert, 2, name.constData(), name.size(), SQLITE_TRANSIENT);
            sqlite3_bind_int64(insert, 3, i * 3);
            check += sqlite3_step(insert) == SQLITE_DONE;
            check += sqlite3_last_insert_rowid(raw);
            sqlite3_reset(insert);
        }
        sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr);
    });
    const double engineInsert = cpuSeconds([&] {
        int changes = 0;
        qint64 lastId = 0;
        db.exec(changes, lastId, "DELETE FROM t");
        db.transactionBegin();
        for (int i = 0; i < kRows; ++i) {
            check += db.call(changes, lastId, add, rowValues[size_t(i)]);
            check += lastId;
        }
        db.transactionCommit();
    });
    report("insert", rawInsert, engineInsert);

    const double rawSelect = cpuSeconds([&] {
        for (int i = 0; i < kRows; ++i) {
            sqlite3_bind_int64(select, 1, i);
            if (sqlite3_step(select) == SQLITE_ROW) {
                const QString name = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(select, 0)),
                                                       sqlite3_column_bytes(select, 0));
                check += name.size() + sqlite3_column_int64(select, 1);
            }
            sqlite3_reset(select);
        }
    });
    const double engineSelect = cpuSeconds([&] {
        QList<QJsonObject> rows;
        for (int i = 0; i < kRows; ++i) {
            rows.clear();
            if (db.call(rows, get, keys[size_t(i)]) && !rows.isEmpty())
                check += rows.at(0).value("name").toString().size()
                         + qint64(rows.at(0).value("num").toDouble());
        }
    });
    report("select", rawSelect, engineSelect);

    sqlite3_finalize(insert);
    sqlite3_finalize(select);
    sqlite3_close(raw);
    std::printf("(check %lld)\n", static_cast<long long>(check));
    return 0;
}
