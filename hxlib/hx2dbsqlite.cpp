#include "hx2dbsqlite.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QReadWriteLock>
#include <QRegularExpression>
#include <QVarLengthArray>
#include <QVector>

#include <sqlite3.h>

#include <cctype>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include <sys/stat.h>

namespace {

constexpr int kBusyTimeoutMs = 10000;
// Prepared single statements kept for reuse; the whole cache is dropped
// when it fills, so a caller that builds ever new SQL texts costs one
// prepare per statement, as without a cache.
constexpr int kCacheLimit = 64;

QJsonObject builtinEngine()
{
    const auto statement = [](const char* text, const QJsonObject& params) {
        return QJsonObject{{QStringLiteral("text"), QString::fromLatin1(text)},
                           {QStringLiteral("params"), params}};
    };
    const QString str = QStringLiteral("string");
    const QJsonObject key{{QStringLiteral("key"), str}};
    const QJsonObject keyValue{{QStringLiteral("key"), str}, {QStringLiteral("value"), str}};
    return QJsonObject{
        {QStringLiteral("configure_alload"),
         statement("SELECT CFG_Key AS key, CFG_Value AS value FROM SYS_Configure ORDER BY CFG_Key;", key)},
        {QStringLiteral("configure_get"),
         statement("SELECT CFG_Value AS value FROM SYS_Configure WHERE CFG_Key = :key LIMIT 1;", key)},
        {QStringLiteral("configure_change"),
         statement("UPDATE SYS_Configure SET CFG_Value = :value WHERE cfg_key = :key;", keyValue)},
        {QStringLiteral("configure_append"),
         statement("INSERT INTO SYS_Configure( CFG_Key, CFG_Value)VALUES( :key, :value);", keyValue)},
    };
}

// Cuts a "--" comment off line, but not one inside a quoted literal or
// identifier. quote is the open quote character carried from the previous
// line (null when none) and is left as it stands at the end of this one.
QString cutComment(const QString& line, QChar& quote)
{
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (!quote.isNull()) {
            if (c == (quote == QLatin1Char('[') ? QLatin1Char(']') : quote))
                quote = QChar();
        } else if (c == QLatin1Char('\'') || c == QLatin1Char('"') || c == QLatin1Char('`')
                   || c == QLatin1Char('[')) {
            quote = c;
        } else if (c == QLatin1Char('-') && i + 1 < line.size() && line.at(i + 1) == QLatin1Char('-')) {
            return line.left(i);
        }
    }
    return line;
}

QString trimLeft(const QString& s)
{
    int i = 0;
    while (i < s.size() && s.at(i).isSpace())
        ++i;
    return s.mid(i);
}

QString trimRight(const QString& s)
{
    int n = s.size();
    while (n > 0 && s.at(n - 1).isSpace())
        --n;
    return s.left(n);
}

// The statements of a statement file laid over base.
QJsonObject parseEngine(const QString& fileText, QJsonObject base)
{
    enum { Outside, Text, Params } part = Outside;
    QString id;
    QString text;
    QJsonObject params;
    QChar quote;
    const auto store = [&] {
        if (!id.isEmpty() && !text.isEmpty())
            base.insert(id, QJsonObject{{QStringLiteral("id"), id},
                                        {QStringLiteral("text"), text},
                                        {QStringLiteral("params"), params}});
    };
    for (QString raw : fileText.split(QLatin1Char('\n'))) {
        if (raw.endsWith(QLatin1Char('\r')))
            raw.chop(1);
        // Markers are found even inside an unclosed quote, so that a stray
        // quote spoils no more than its own statement.
        QChar none;
        const QString plain = cutComment(raw, none).trimmed();
        if (plain.startsWith(QLatin1String("SQL:"), Qt::CaseInsensitive)) {
            store();
            id = plain.mid(4).trimmed().toLower();
            text.clear();
            params = QJsonObject();
            quote = QChar();
            part = Text;
        } else if (part == Text && plain.startsWith(QLatin1String("Params:"), Qt::CaseInsensitive)) {
            part = Params;
        } else if (part == Params && !plain.isEmpty()) {
            const QStringList words = plain.split(QRegularExpression(QStringLiteral("\\s+")));
            QString name = words.at(0);
            if (name.startsWith(QLatin1Char('@')) || name.startsWith(QLatin1Char(':')))
                name.remove(0, 1);
            const QString type = words.size() > 1 ? words.at(1).toLower() : QStringLiteral("string");
            if (!name.isEmpty())
                params.insert(name, type);
        } else if (part == Text) {
            // A quoted literal may run over line ends; its blanks are kept.
            const bool inLiteral = !quote.isNull();
            QString line = cutComment(raw, quote);
            if (!inLiteral)
                line = trimLeft(line);
            if (quote.isNull())
                line = trimRight(line);
            if (inLiteral || !line.isEmpty())
                text += line + QLatin1Char('\n');
        }
    }
    store();
    return base;
}

// A statement of the table as call() needs it: the SQL as trimmed UTF-8
// and the parameter types.
struct Compiled
{
    QByteArray sql;
    QJsonObject params;
};

QHash<QString, Compiled> compile(const QJsonObject& engine)
{
    QHash<QString, Compiled> out;
    for (auto it = engine.constBegin(); it != engine.constEnd(); ++it) {
        const QJsonObject statement = it.value().toObject();
        out.insert(it.key(), Compiled{statement.value(QStringLiteral("text")).toString().trimmed().toUtf8(),
                                      statement.value(QStringLiteral("params")).toObject()});
    }
    return out;
}

// A prepared single statement with the names of its parameters (marker
// character removed; empty for unnamed ones), index 0 for parameter 1.
struct Prepared
{
    sqlite3_stmt* stmt = nullptr;
    QVector<QString> names;
};

QVector<QString> parameterNames(sqlite3_stmt* stmt)
{
    QVector<QString> names(sqlite3_bind_parameter_count(stmt));
    for (int i = 0; i < names.size(); ++i) {
        const char* name = sqlite3_bind_parameter_name(stmt, i + 1);
        if (name && name[0])
            names[i] = QString::fromUtf8(name + 1);
    }
    return names;
}

bool isBlank(const char* p, const char* end)
{
    for (; p < end; ++p) {
        if (!std::isspace(static_cast<unsigned char>(*p)))
            return false;
    }
    return true;
}

// Text bound without a copy lives here until the statement has run; every
// parameter is bound anew before each run, so a reused statement never
// sees a pointer from an earlier one.
using TextKeeper = QVarLengthArray<QByteArray, 8>;

void bindValue(sqlite3_stmt* stmt, int index, const QJsonValue& v, TextKeeper& texts)
{
    switch (v.type()) {
    case QJsonValue::Bool:
        sqlite3_bind_int(stmt, index, v.toBool() ? 1 : 0);
        break;
    case QJsonValue::Double: {
        // Integral values within the 64-bit range are integers to SQLite,
        // so that keys and counts compare and sum as integers.
        const double d = v.toDouble();
        if (std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0)
            sqlite3_bind_int64(stmt, index, static_cast<sqlite3_int64>(d));
        else
            sqlite3_bind_double(stmt, index, d);
        break;
    }
    case QJsonValue::String:
        texts.append(v.toString().toUtf8());
        sqlite3_bind_text(stmt, index, texts.last().constData(), texts.last().size(), SQLITE_STATIC);
        break;
    default:
        sqlite3_bind_null(stmt, index);
        break;
    }
}

void bindDefault(sqlite3_stmt* stmt, int index, const QString& type)
{
    if (type == QLatin1String("string") || type == QLatin1String("text"))
        sqlite3_bind_text(stmt, index, "", 0, SQLITE_STATIC);
    else if (type == QLatin1String("int") || type == QLatin1String("double"))
        sqlite3_bind_int(stmt, index, 0);
    else
        sqlite3_bind_null(stmt, index);
}

void bindAll(sqlite3_stmt* stmt, const QVector<QString>& names, const QJsonObject& values,
             const QJsonObject& types, TextKeeper& texts)
{
    for (int i = 0; i < names.size(); ++i) {
        const QString& name = names.at(i);
        const auto value = name.isEmpty() ? values.constEnd() : values.constFind(name);
        if (value != values.constEnd()) {
            bindValue(stmt, i + 1, value.value(), texts);
            continue;
        }
        const auto type = name.isEmpty() ? types.constEnd() : types.constFind(name);
        if (type != types.constEnd())
            bindDefault(stmt, i + 1, type.value().toString());
        else
            sqlite3_bind_null(stmt, i + 1);
    }
}

// Steps stmt to its end, appending its rows to rows when given.
int stepRows(sqlite3_stmt* stmt, QList<QJsonObject>* rows)
{
    const int count = sqlite3_column_count(stmt);
    QVector<QString> columns;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        if (!rows)
            continue;
        if (columns.isEmpty() && count > 0) {
            columns.resize(count);
            for (int c = 0; c < count; ++c)
                columns[c] = QString::fromUtf8(sqlite3_column_name(stmt, c)).toLower();
        }
        QJsonObject row;
        for (int c = 0; c < count; ++c) {
            switch (sqlite3_column_type(stmt, c)) {
            case SQLITE_INTEGER:
                row.insert(columns.at(c), qint64(sqlite3_column_int64(stmt, c)));
                break;
            case SQLITE_FLOAT:
                row.insert(columns.at(c), sqlite3_column_double(stmt, c));
                break;
            case SQLITE_TEXT: {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
                row.insert(columns.at(c), QString::fromUtf8(text, sqlite3_column_bytes(stmt, c)));
                break;
            }
            default:
                break;
            }
        }
        rows->append(row);
    }
    return rc;
}

} // namespace

class HX2DBSqlitePrivate
{
public:
    explicit HX2DBSqlitePrivate(HX2DBSqlite* q) : q(q), engine(builtinEngine()), compiled(compile(engine)) {}

    bool openAt(const QString& path, bool* created, const QString* enginePath,
                const QString* creatorPath);
    bool connect(const QString& path, bool create);
    // Closes the connection; conn held.
    void disconnect();
    bool build(const QString& path);
    // Runs text (trimmed UTF-8); conn held.
    bool execLocked(int& changes, qint64& lastId, QList<QJsonObject>* rows, const QByteArray& text,
                    const QJsonObject& values, const QJsonObject& types);
    bool simple(const char* sql);
    // Keeps one extra level of conn while the connection is inside a
    // transaction, so that only the thread which began it uses the
    // connection until it ends, however it ends (commit, rollback, an
    // error that rolls back, or SQL text holding BEGIN and COMMIT).
    void syncTransaction();
    void setError(const QString& text);
    void startDetached();
    void stopDetached();
    void work();

    HX2DBSqlite* const q;

    std::recursive_mutex conn;
    QString filePath;                  // guarded by conn
    sqlite3* db = nullptr;             // guarded by conn
    QHash<QByteArray, Prepared> cache; // guarded by conn
    bool holdsTransaction = false;     // guarded by conn

    mutable std::mutex info;
    QString lastError;                 // guarded by info
    QString lastSqlId;                 // guarded by info

    mutable QReadWriteLock engineLock;
    QJsonObject engine;                // guarded by engineLock
    QHash<QString, Compiled> compiled; // guarded by engineLock; engine, ready to run
    QString creatorDdl;                // guarded by engineLock
    QString engineText;                // guarded by engineLock

    std::mutex queueMutex;
    std::condition_variable queueWake;
    std::deque<std::pair<QString, QJsonObject>> queue; // guarded by queueMutex
    bool acceptDetached = false;       // guarded by queueMutex
    bool stopping = false;             // guarded by queueMutex
    std::thread worker;                // guarded by queueMutex
};

void HX2DBSqlitePrivate::setError(const QString& text)
{
    std::lock_guard<std::mutex> lock(info);
    lastError = text;
}

bool HX2DBSqlitePrivate::connect(const QString& path, bool create)
{
    std::lock_guard<std::recursive_mutex> lock(conn);
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, flags, nullptr) != SQLITE_OK) {
        setError(db ? QString::fromUtf8(sqlite3_errmsg(db)) : QStringLiteral("out of memory"));
        sqlite3_close_v2(db);
        db = nullptr;
        filePath.clear();
        return false;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    return true;
}

void HX2DBSqlitePrivate::disconnect()
{
    for (const Prepared& p : qAsConst(cache))
        sqlite3_finalize(p.stmt);
    cache.clear();
    if (db)
        sqlite3_close_v2(db);
    db = nullptr;
    filePath.clear();
    syncTransaction();
}

void HX2DBSqlitePrivate::syncTransaction()
{
    const bool open = db && !sqlite3_get_autocommit(db);
    if (open && !holdsTransaction) {
        conn.lock();
        holdsTransaction = true;
    } else if (!open && holdsTransaction) {
        holdsTransaction = false;
        conn.unlock();
    }
}

bool HX2DBSqlitePrivate::simple(const char* sql)
{
    int changes = 0;
    qint64 lastId = 0;
    return execLocked(changes, lastId, nullptr, QByteArray(sql), QJsonObject(), QJsonObject());
}

bool HX2DBSqlitePrivate::build(const QString& path)
{
    QString ddl;
    {
        QReadLocker lock(&engineLock);
        ddl = creatorDdl;
    }
    if (ddl.isEmpty()) {
        setError(QStringLiteral("Not found creator ddl"));
    } else {
        std::lock_guard<std::recursive_mutex> lock(conn);
        int changes = 0;
        qint64 lastId = 0;
        if (simple("begin transaction")) {
            if (execLocked(changes, lastId, nullptr, ddl.toUtf8(), QJsonObject(), QJsonObject())
                && simple("commit transaction"))
                return true;
            // The message of the failure, not of the rollback, is kept.
            const QString error = q->lastError();
            simple("rollback transaction");
            setError(error);
        }
    }
    {
        std::lock_guard<std::recursive_mutex> lock(conn);
        disconnect();
    }
    for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        QFile::remove(path + QLatin1String(suffix));
    return false;
}

bool HX2DBSqlitePrivate::openAt(const QString& path, bool* created, const QString* enginePath,
                                const QString* creatorPath)
{
    if (created)
        *created = false;
    q->close();
    const QFileInfo info(path);
    const bool existed = info.exists();
    if (!existed) {
        const QString dir = info.absolutePath();
        if (!QFileInfo::exists(dir) && QDir().mkpath(dir))
            ::chmod(QFile::encodeName(dir).constData(), 0755);
    }
    if (!connect(path, true))
        return false;
    if (!existed) {
        if (creatorPath)
            q->loadSqlCreator(*creatorPath);
        if (!build(path))
            return false;
        if (created)
            *created = true;
    }
    {
        std::lock_guard<std::recursive_mutex> lock(conn);
        filePath = path;
    }
    if (enginePath)
        q->loadSqlEngine(*enginePath);
    startDetached();
    return true;
}

bool HX2DBSqlitePrivate::execLocked(int& changes, qint64& lastId, QList<QJsonObject>* rows,
                                    const QByteArray& text, const QJsonObject& values,
                                    const QJsonObject& types)
{
    changes = 0;
    lastId = 0;
    if (!db) {
        setError(QStringLiteral("database not open"));
        return false;
    }
    const char* const begin = text.constData();
    const char* const end = begin + text.size();
    const char* next = begin;
    bool ran = false;
    bool ok = true;
    // Whether the text ran outside any transaction at some point, so that
    // one open when it fails was begun by the text itself.
    bool outside = sqlite3_get_autocommit(db) != 0;
    while (ok && next < end) {
        Prepared fresh;
        Prepared* prepared = nullptr;
        if (next == begin) {
            const auto hit = cache.find(text);
            if (hit != cache.end())
                prepared = &hit.value();
        }
        const char* tail = end;
        if (!prepared) {
            if (sqlite3_prepare_v2(db, next, int(end - next), &fresh.stmt, &tail) != SQLITE_OK) {
                setError(QString::fromUtf8(sqlite3_errmsg(db)));
                ok = false;
                break;
            }
            if (!fresh.stmt) { // only blanks or comments remain
                next = tail;
                break;
            }
            fresh.names = parameterNames(fresh.stmt);
            if (next == begin && isBlank(tail, end)) {
                if (cache.size() >= kCacheLimit) {
                    for (const Prepared& p : qAsConst(cache))
                        sqlite3_finalize(p.stmt);
                    cache.clear();
                }
                prepared = &cache.insert(text, fresh).value();
            } else {
                prepared = &fresh;
            }
        }
        TextKeeper texts;
        bindAll(prepared->stmt, prepared->names, values, types, texts);
        if (stepRows(prepared->stmt, rows) == SQLITE_DONE) {
            changes = sqlite3_changes(db);
            lastId = sqlite3_last_insert_rowid(db);
            ran = true;
            if (sqlite3_get_autocommit(db))
                outside = true;
        } else {
            setError(QString::fromUtf8(sqlite3_errmsg(db)));
            ok = false;
        }
        if (prepared == &fresh) {
            sqlite3_finalize(fresh.stmt);
        } else {
            sqlite3_reset(prepared->stmt);
        }
        next = tail;
    }
    if (ok && !ran)
        setError(QStringLiteral("no statement in the sql text"));
    // The rest of the text, its COMMIT included, will not run: a transaction
    // it began would hold the connection for good (a detached call's worker
    // never ends it). The caller's own transaction is the caller's to end.
    // lastError keeps the failure's message.
    if (!ok && outside && !sqlite3_get_autocommit(db))
        sqlite3_exec(db, "rollback transaction", nullptr, nullptr, nullptr);
    syncTransaction();
    return ok && ran;
}

void HX2DBSqlitePrivate::startDetached()
{
    std::lock_guard<std::mutex> lock(queueMutex);
    acceptDetached = true;
}

void HX2DBSqlitePrivate::stopDetached()
{
    std::thread running;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        acceptDetached = false;
        stopping = true;
        running = std::move(worker);
    }
    queueWake.notify_all();
    if (running.joinable())
        running.join();
    std::lock_guard<std::mutex> lock(queueMutex);
    stopping = false;
}

void HX2DBSqlitePrivate::work()
{
    std::unique_lock<std::mutex> lock(queueMutex);
    for (;;) {
        queueWake.wait(lock, [this] { return stopping || !queue.empty(); });
        if (queue.empty())
            return;
        const std::pair<QString, QJsonObject> job = std::move(queue.front());
        queue.pop_front();
        lock.unlock();
        q->call(job.first, job.second);
        lock.lock();
    }
}

HX2DBSqlite::HX2DBSqlite() : d(new HX2DBSqlitePrivate(this)) {}

HX2DBSqlite::~HX2DBSqlite()
{
    close();
}

bool HX2DBSqlite::open(const QString& path, bool* created)
{
    return d->openAt(path, created, nullptr, nullptr);
}

bool HX2DBSqlite::open(const QString& path, const QString& enginePath, const QString& creatorPath,
                       bool* created)
{
    if (path.isEmpty()) {
        if (created)
            *created = false;
        return false;
    }
    return d->openAt(path, created, &enginePath, &creatorPath);
}

bool HX2DBSqlite::openOnly(const QString& path)
{
    close();
    if (!QFileInfo(path).isFile() || !d->connect(path, false))
        return false;
    {
        std::lock_guard<std::recursive_mutex> lock(d->conn);
        d->filePath = path;
    }
    d->startDetached();
    return true;
}

void HX2DBSqlite::close()
{
    {
        // The calling thread's own transaction would stop the worker from
        // draining the queue; it ends here as closing would end it anyway.
        std::lock_guard<std::recursive_mutex> lock(d->conn);
        if (d->holdsTransaction)
            d->simple("rollback transaction");
        if (d->holdsTransaction) // still: the queued calls will find no database
            d->disconnect();
    }
    d->stopDetached();
    std::lock_guard<std::recursive_mutex> lock(d->conn);
    d->disconnect();
}

QString HX2DBSqlite::filePath() const
{
    std::lock_guard<std::recursive_mutex> lock(d->conn);
    return d->filePath;
}

bool HX2DBSqlite::transactionBegin()
{
    std::lock_guard<std::recursive_mutex> lock(d->conn);
    return d->simple("begin transaction");
}

bool HX2DBSqlite::transactionCommit()
{
    std::lock_guard<std::recursive_mutex> lock(d->conn);
    return d->simple("commit transaction");
}

bool HX2DBSqlite::transactionRollback()
{
    std::lock_guard<std::recursive_mutex> lock(d->conn);
    return d->simple("rollback transaction");
}

bool HX2DBSqlite::exec(int& changes, qint64& lastId, QList<QJsonObject>& rows, const QString& sql,
                       const QJsonObject& values, const QJsonObject& types)
{
    std::lock_guard<std::recursive_mutex> lock(d->conn);
    return d->execLocked(changes, lastId, &rows, sql.trimmed().toUtf8(), values, types);
}

bool HX2DBSqlite::exec(int& changes, qint64& lastId, const QString& sql, const QJsonObject& values,
                       const QJsonObject& types)
{
    std::lock_guard<std::recursive_mutex> lock(d->conn);
    return d->execLocked(changes, lastId, nullptr, sql.trimmed().toUtf8(), values, types);
}

bool HX2DBSqlite::call(int& changes, qint64& lastId, QList<QJsonObject>& rows, const QString& id,
                       const QJsonObject& values)
{
    {
        std::lock_guard<std::mutex> lock(d->info);
        d->lastSqlId = id;
    }
    Compiled statement;
    {
        QReadLocker lock(&d->engineLock);
        const auto found = d->compiled.constFind(id);
        if (found == d->compiled.constEnd()) {
            changes = 0;
            lastId = 0;
            d->setError(QStringLiteral("sqlid not found: ") + id);
            return false;
        }
        statement = found.value();
    }
    std::lock_guard<std::recursive_mutex> lock(d->conn);
    return d->execLocked(changes, lastId, &rows, statement.sql, values, statement.params);
}

bool HX2DBSqlite::call(const QString& id, const QJsonObject& values)
{
    int changes = 0;
    qint64 lastId = 0;
    return call(changes, lastId, id, values);
}

bool HX2DBSqlite::call(QList<QJsonObject>& rows, const QString& id, const QJsonObject& values)
{
    int changes = 0;
    qint64 lastId = 0;
    return call(changes, lastId, rows, id, values);
}

bool HX2DBSqlite::call(QJsonArray& rows, const QString& id, const QJsonObject& values)
{
    int changes = 0;
    qint64 lastId = 0;
    return call(changes, lastId, rows, id, values);
}

bool HX2DBSqlite::call(int& changes, qint64& lastId, QJsonArray& rows, const QString& id,
                       const QJsonObject& values)
{
    QList<QJsonObject> list;
    const bool ok = call(changes, lastId, list, id, values);
    rows = QJsonArray();
    for (const QJsonObject& row : qAsConst(list))
        rows.append(row);
    return ok;
}

bool HX2DBSqlite::call(int& changes, qint64& lastId, const QString& id, const QJsonObject& values)
{
    QList<QJsonObject> rows;
    return call(changes, lastId, rows, id, values);
}

void HX2DBSqlite::callDetach(const QString& id, const QJsonObject& values)
{
    {
        std::lock_guard<std::mutex> lock(d->queueMutex);
        if (!d->acceptDetached)
            return;
        d->queue.emplace_back(id, values);
        if (!d->worker.joinable())
            d->worker = std::thread([this] { d->work(); });
    }
    d->queueWake.notify_one();
}

void HX2DBSqlite::loadSqlCreator(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    const QString text = QString::fromUtf8(file.readAll()).trimmed();
    QWriteLocker lock(&d->engineLock);
    d->creatorDdl = text;
}

bool HX2DBSqlite::loadSqlEngine(const QString& path, bool)
{
    if (path.isEmpty()) {
        d->setError(QStringLiteral("Not found engine ddl."));
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QString text = QString::fromUtf8(file.readAll()).trimmed();
    const QJsonObject engine = parseEngine(text, builtinEngine());
    QHash<QString, Compiled> compiled = compile(engine);
    QWriteLocker lock(&d->engineLock);
    d->engineText = text;
    d->engine = engine;
    d->compiled.swap(compiled);
    return true;
}

QJsonObject HX2DBSqlite::sqlEngine() const
{
    QReadLocker lock(&d->engineLock);
    return d->engine;
}

QString HX2DBSqlite::lastError() const
{
    std::lock_guard<std::mutex> lock(d->info);
    return d->lastError;
}

QString HX2DBSqlite::lastSqlId() const
{
    std::lock_guard<std::mutex> lock(d->info);
    return d->lastSqlId;
}
