#include "tjkozulog.h"

#include "phpaths.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>

#include <sqlite3.h>
#include <sys/stat.h>

#include <memory>
#include <mutex>

namespace {

const char* const kDefaultDb = "/kozu/var/db/kozulog.db";

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS kozulog ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " time TEXT NOT NULL,"
    " level TEXT NOT NULL,"
    " message TEXT NOT NULL,"
    " app TEXT NOT NULL,"
    " user TEXT NOT NULL,"
    " sparefield1 TEXT NOT NULL DEFAULT '',"
    " sparefield2 TEXT NOT NULL DEFAULT '',"
    " sparefield3 TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX IF NOT EXISTS kozulog_app ON kozulog(app, id);";

// One connection for the length of one call.
class Connection
{
public:
    // create: make the folder, the file and the table when missing.
    Connection(const QString& path, bool create)
    {
        if (create) {
            const QString dir = QFileInfo(path).absolutePath();
            if (!QDir().mkpath(dir))
                return;
        } else if (!QFileInfo::exists(path)) {
            m_missing = true;
            return;
        }
        const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
        if (sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, flags, nullptr) != SQLITE_OK) {
            close();
            return;
        }
        sqlite3_busy_timeout(m_db, TJKozulog::kBusyTimeoutMs);
        // WAL lets readers go on while one writer appends; the mode is a
        // property of the file and stays once set.
        if (!exec("PRAGMA journal_mode=WAL;") || !exec("PRAGMA synchronous=NORMAL;") || !exec(kSchema))
            close();
    }
    ~Connection() { close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    sqlite3* db() const { return m_db; }
    // The file does not exist (only when opened without create).
    bool missing() const { return m_missing; }

    bool exec(const char* sql)
    {
        // sqlite3_exec gives up at once on SQLITE_BUSY for the journal mode
        // switch of a fresh file; one more try after others settle is enough.
        for (int attempt = 0; attempt < 2; ++attempt) {
            const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
            if (rc == SQLITE_OK)
                return true;
            if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED)
                return false;
            sqlite3_sleep(50);
        }
        return false;
    }

private:
    void close()
    {
        if (m_db)
            sqlite3_close_v2(m_db);
        m_db = nullptr;
    }

    sqlite3* m_db = nullptr;
    bool m_missing = false;
};

// A prepared statement, finalized on scope exit.
class Statement
{
public:
    Statement(sqlite3* db, const char* sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK)
            m_stmt = nullptr;
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    sqlite3_stmt* get() const { return m_stmt; }

    bool bind(int index, const QString& text)
    {
        const QByteArray utf8 = text.toUtf8();
        return sqlite3_bind_text(m_stmt, index, utf8.constData(), utf8.size(), SQLITE_TRANSIENT) == SQLITE_OK;
    }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

QString columnText(sqlite3_stmt* stmt, int col)
{
    const unsigned char* text = sqlite3_column_text(stmt, col);
    const int bytes = sqlite3_column_bytes(stmt, col);
    return text ? QString::fromUtf8(reinterpret_cast<const char*>(text), bytes) : QString();
}

} // namespace

// The connection writes and clears share: a fresh one per record made the
// log the busiest thing of a retention pass.
class TJKozulog::Writer
{
public:
    explicit Writer(const QString& path) : m_path(path) {}

    // Under the lock of the caller; null when the database cannot be
    // opened.
    Connection* connection()
    {
        struct stat now;
        const QByteArray file = QFile::encodeName(m_path);
        if (m_connection && (::stat(file.constData(), &now) != 0 || now.st_dev != m_dev || now.st_ino != m_ino))
            m_connection.reset();
        if (m_connection)
            return m_connection.get();
        auto opened = std::make_unique<Connection>(m_path, true);
        if (!opened->db() || ::stat(file.constData(), &now) != 0)
            return nullptr;
        m_dev = now.st_dev;
        m_ino = now.st_ino;
        m_connection = std::move(opened);
        return m_connection.get();
    }

    std::mutex mutex;

private:
    const QString m_path;
    std::unique_ptr<Connection> m_connection;
    dev_t m_dev = 0;
    ino_t m_ino = 0;
};

TJKozulog::TJKozulog(QObject* parent)
    : TJKozulog(PHPaths::resolve(QString::fromLatin1(kDefaultDb)), parent)
{
}

TJKozulog::TJKozulog(const QString& dbPath, QObject* parent)
    : QObject(parent), m_path(dbPath), m_writer(std::make_unique<Writer>(dbPath))
{
}

TJKozulog::~TJKozulog() = default;

bool TJKozulog::write(const QString& level, const QString& message, const QJsonObject& details,
                      const QString& app, const QString& user, const QString& spare2, const QString& spare3)
{
    const std::lock_guard<std::mutex> lock(m_writer->mutex);
    Connection* c = m_writer->connection();
    if (!c)
        return false;
    Statement st(c->db(),
                 "INSERT INTO kozulog (time, level, message, app, user, sparefield1, sparefield2, sparefield3)"
                 " VALUES (?, ?, ?, ?, ?, ?, ?, ?);");
    if (!st.get())
        return false;
    const QString time = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const QString detailsText = QString::fromUtf8(QJsonDocument(details).toJson(QJsonDocument::Compact));
    const bool bound = st.bind(1, time) && st.bind(2, level) && st.bind(3, message) && st.bind(4, app)
                       && st.bind(5, user) && st.bind(6, detailsText) && st.bind(7, spare2) && st.bind(8, spare3);
    // A single INSERT in autocommit mode waits through the busy handler.
    return bound && sqlite3_step(st.get()) == SQLITE_DONE;
}

bool TJKozulog::loadByApp(QJsonArray& records, const QString& app) const
{
    return loadByApp(records, app, -1);
}

bool TJKozulog::loadByApp(QJsonArray& records, const QString& app, int limit) const
{
    Connection c(m_path, false);
    if (c.missing())
        return true;
    if (!c.db())
        return false;
    Statement st(c.db(),
                 "SELECT id, time, level, message, app, user, sparefield1, sparefield2, sparefield3"
                 " FROM kozulog WHERE app = ? ORDER BY id DESC LIMIT ?;");
    // A negative limit is none.
    if (!st.get() || !st.bind(1, app) || sqlite3_bind_int(st.get(), 2, limit < 0 ? -1 : limit) != SQLITE_OK)
        return false;
    static const QString keys[] = {QStringLiteral("time"),        QStringLiteral("level"),
                                   QStringLiteral("message"),     QStringLiteral("app"),
                                   QStringLiteral("user"),        QStringLiteral("sparefield1"),
                                   QStringLiteral("sparefield2"), QStringLiteral("sparefield3")};
    static const QString idKey = QStringLiteral("id");
    // Replacing the values of a ready object costs far less in Qt's JSON
    // than inserting nine keys into an empty one, row after row.
    static const QJsonObject shape = [] {
        QJsonObject o{{idKey, 0}};
        for (const QString& k : keys)
            o.insert(k, QString());
        return o;
    }();
    QJsonArray found;
    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
        QJsonObject record = shape;
        record[idKey] = static_cast<qint64>(sqlite3_column_int64(st.get(), 0));
        for (int i = 0; i < 8; ++i)
            record[keys[i]] = columnText(st.get(), i + 1);
        found.append(record);
    }
    if (rc != SQLITE_DONE)
        return false;
    if (records.isEmpty()) {
        records = found;
        return true;
    }
    for (const QJsonValue& v : found)
        records.append(v);
    return true;
}

int TJKozulog::clearByApp(const QString& app)
{
    const std::lock_guard<std::mutex> lock(m_writer->mutex);
    Connection* c = m_writer->connection();
    if (!c)
        return 0;
    Statement st(c->db(), "DELETE FROM kozulog WHERE app = ?;");
    if (!st.get() || !st.bind(1, app))
        return 0;
    return sqlite3_step(st.get()) == SQLITE_DONE ? 1 : 0;
}
