#ifndef HX2DBSQLITE_H
#define HX2DBSQLITE_H

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <memory>

class HX2DBSqlitePrivate;

// One SQLite database connection with a table of named statements (the
// statement engine): callers execute statements by id, with parameters as
// a JSON object, and get rows back as JSON objects.
//
// Statements and parameters. SQL text may hold several statements; named
// parameters are written ":name", "@name" or "$name" and are bound from
// the values object by name (without the marker):
//   - a Bool binds 0 or 1; a Double binds as a 64-bit integer when it is
//     integral and within range, else as a double; a String binds as text;
//     any other kind binds NULL;
//   - a name missing from the values but listed in the types object binds
//     "" for "string" and "text", 0 for "int" and "double", NULL otherwise;
//   - any other parameter stays NULL.
// A row is an object keyed by the lower-cased column name: INTEGER columns
// as 64-bit integers, FLOAT as doubles, TEXT as strings; BLOB and NULL
// columns are left out. A Qt 5 JSON object keeps every number as a double,
// so integers in values and rows are exact up to 2^53 in magnitude; lastId
// is exact over the whole 64-bit range.
//
// Built-in statements, present unless a statement file defines the same id:
// "configure_alload", "configure_get", "configure_change" and
// "configure_append" on the table SYS_Configure (CFG_Key, CFG_Value), which
// the creator script is expected to make.
//
// Statement file (loadSqlEngine), UTF-8, line by line:
//   - "--" outside quotes starts a comment to the end of the line; lines are
//     trimmed (except inside a quoted literal); empty lines are skipped;
//   - "SQL: id" opens a statement (the prefix in any case, the id trimmed and
//     lower-cased); the lines that follow, up to "Params:" (any case), are its
//     text, each followed by a line feed;
//   - after "Params:" one parameter per line: the name (a leading "@" or ":"
//     dropped), then optionally a blank and a type (lower-cased; "string"
//     when absent);
//   - a statement is kept when its id and text are non-empty;
//   - "SQL:" and "Params:" lines are recognised even inside an unclosed
//     quote, so a stray quote spoils only its own statement.
//
// Threads. Any thread may call any member. The connection is used under one
// lock for a whole exec (every statement of the text and its row reads), so
// changes, lastId and rows always belong to the caller's own statement. A
// transaction, whether begun by transactionBegin() or by SQL text, keeps
// that lock with the thread that began it until the transaction ends:
// other threads' statements, detached ones included, wait and never land
// inside it. The thread that begins a transaction must therefore end it.
// callDetach queues work for one worker thread, which runs the queue in
// order; close() runs what is queued, then joins the worker. A busy
// time-out lets other connections to the same file finish before a
// statement gives up.
//
// Failures return false and leave a message in lastError(): SQLite's own,
// "sqlid not found: " + id, "Not found creator ddl", "Not found engine
// ddl.", "database not open" or "no statement in the sql text".
// lastError() and lastSqlId() describe the most recent call on any thread.
// Nothing throws.
class HX2DBSqlite
{
public:
    HX2DBSqlite();
    // Closes (running queued detached calls first).
    ~HX2DBSqlite();
    HX2DBSqlite(const HX2DBSqlite&) = delete;
    HX2DBSqlite& operator=(const HX2DBSqlite&) = delete;

    // Closes any open database, then opens path. A file that exists is opened
    // as it is. A missing one (and its folder, made with mode 755 when
    // missing) is created and built by running the creator script already
    // loaded, inside one transaction (so the script holds no transaction
    // statements of its own); *created (when given) is set true. With
    // no creator script ("Not found creator ddl") or a failing one the new
    // file is removed and nothing is left open. False when the database
    // could not be opened or built; filePath() is then empty.
    bool open(const QString& path, bool* created = nullptr);
    // The same, loading the creator script from creatorPath when the file is
    // new, and the statement file enginePath once the database is open (its
    // outcome does not change the result). An empty path returns false.
    bool open(const QString& path, const QString& enginePath, const QString& creatorPath,
              bool* created = nullptr);
    // Closes, then opens path only when the file exists; nothing is created
    // and no statement file is loaded.
    bool openOnly(const QString& path);
    // Runs the detached calls still queued, then closes the connection. An
    // open transaction of the calling thread is rolled back; one of another
    // thread is waited for.
    void close();
    // Path of the open database; empty when none is open.
    QString filePath() const;

    // "begin transaction", "commit transaction" and "rollback transaction".
    // False when no database is open or SQLite refuses. See Threads above.
    bool transactionBegin();
    bool transactionCommit();
    bool transactionRollback();

    // Runs every statement of sql in order, appending the rows of all of them
    // to rows (which is not cleared first). Stops at the first statement that fails and returns false;
    // statements before it keep their effect, except that a transaction
    // begun by sql itself and still open is rolled back (its end would
    // never run), so a failing text never leaves the connection held. A
    // transaction the caller began stays open. changes and lastId are those of
    // the last statement that finished (0 when none did). Text without any
    // statement returns false.
    bool exec(int& changes, qint64& lastId, QList<QJsonObject>& rows, const QString& sql,
              const QJsonObject& values = QJsonObject(), const QJsonObject& types = QJsonObject());
    bool exec(int& changes, qint64& lastId, const QString& sql,
              const QJsonObject& values = QJsonObject(), const QJsonObject& types = QJsonObject());

    // exec of the statement with this id (matched exactly), its parameter
    // types as the types object. A missing id sets "sqlid not found: " + id.
    bool call(int& changes, qint64& lastId, QList<QJsonObject>& rows, const QString& id,
              const QJsonObject& values);
    bool call(const QString& id, const QJsonObject& values);
    bool call(QList<QJsonObject>& rows, const QString& id, const QJsonObject& values);
    bool call(QJsonArray& rows, const QString& id, const QJsonObject& values);
    bool call(int& changes, qint64& lastId, QJsonArray& rows, const QString& id,
              const QJsonObject& values);
    bool call(int& changes, qint64& lastId, const QString& id, const QJsonObject& values);
    // Queues call(id, values) for the worker thread when a database is open;
    // no result is reported. Returns at once.
    void callDetach(const QString& id, const QJsonObject& values);

    // Keeps the trimmed content of the file as the creator script; a missing
    // or unreadable file keeps the previous one.
    void loadSqlCreator(const QString& path);
    // Replaces the statement table by the built-ins overlaid with the
    // statements of the file. An empty path ("Not found engine ddl.") or an
    // unreadable file returns false and keeps the table. The flag is unused.
    bool loadSqlEngine(const QString& path, bool reserved = false);
    // A copy of the statement table: id -> {"text", "params"[, "id"]}.
    QJsonObject sqlEngine() const;

    QString lastError() const;
    QString lastSqlId() const;

private:
    std::unique_ptr<HX2DBSqlitePrivate> d;
};

#endif
