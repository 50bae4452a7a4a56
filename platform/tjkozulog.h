#ifndef TJKOZULOG_H
#define TJKOZULOG_H

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <memory>

// The appliance's per-application operation log, kept in an SQLite
// database (WAL mode) so that it outlives the service.
//
// Writes and clears share one connection, opened at the first and kept
// while the file stays the same (a file removed or replaced is opened
// afresh); listings open their own. One object may be used from any number
// of threads at once, and several processes may share the database file; a
// writer that meets a lock waits up to the busy timeout before the call
// fails.
class TJKozulog : public QObject
{
    Q_OBJECT
public:
    // The database the appliance keeps, "/kozu/var/db/kozulog.db" under the
    // files root.
    explicit TJKozulog(QObject* parent = nullptr);
    // A database at the given path (its folder is created when missing).
    explicit TJKozulog(const QString& dbPath, QObject* parent = nullptr);
    ~TJKozulog() override;

    QString databasePath() const { return m_path; }

    // Appends one record stamped with the local time: level, message,
    // details (stored as compact JSON text in "sparefield1"), application,
    // user and the two spare texts "sparefield2" and "sparefield3". True
    // when the record was stored.
    bool write(const QString& level, const QString& message, const QJsonObject& details,
               const QString& app, const QString& user, const QString& spare2, const QString& spare3);

    // Appends the application's records to records, newest first, each
    // {"id", "time" ("yyyy-MM-dd HH:mm:ss"), "level", "message", "app",
    // "user", "sparefield1", "sparefield2", "sparefield3"}. False, records
    // unchanged, when the database cannot be read. A database that does not
    // exist yet holds no records.
    bool loadByApp(QJsonArray& records, const QString& app) const;
    // The same, the newest limit records at most.
    bool loadByApp(QJsonArray& records, const QString& app, int limit) const;

    // Deletes the application's records. Non-zero when that succeeded
    // (also when there was nothing to delete), 0 on failure.
    int clearByApp(const QString& app);

    // Milliseconds a call waits for another writer's lock.
    static constexpr int kBusyTimeoutMs = 10000;

private:
    class Writer;

    QString m_path;
    std::unique_ptr<Writer> m_writer;
};

#endif
