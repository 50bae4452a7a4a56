#ifndef HX2LOGGER_H
#define HX2LOGGER_H

#include <QObject>
#include <QString>

class HX2LoggerPrivate;

// A file logger: one formatted line per write(), appended at once on the
// caller's thread (immediate mode) or handed through a lock-free queue to a
// short-lived writer thread, with size rotation into numbered backups.
// The most recently constructed live logger is the current one (i()).
// Loggers are created and destroyed on the main thread; write() and the
// setters may be called from any thread. In queued mode a line is held in
// memory only until the writer has taken it.
class HX2Logger : public QObject
{
    Q_OBJECT
public:
    enum LogLevel {
        Trace = 0,
        Debug = 1,
        Info = 2,
        Warn = 3,
        Error = 4,
        Fatal = 5,
        MemTrace = 11,
        Script = 12,
        DB = 13,
    };
    Q_ENUM(LogLevel)

    explicit HX2Logger(QObject* parent = nullptr);
    // Waits for a running writer thread before freeing its state.
    ~HX2Logger() override;

    static HX2Logger* i();
    void setCurrentInstance();

    QString filePath() const;
    void setFilePath(const QString& path);
    qint64 maxSize() const;
    void setMaxSize(qint64 size);
    bool output() const;
    void setOutput(bool on);
    bool immediate() const;
    void setImmediate(bool on);

    // Deletes the log file and its backups.
    void clean();

    // Formats "yyyy-MM-dd HH:mm:ss LEVEL [file] [func] [#line] message",
    // writes or queues it, and returns it. Nothing is written with an empty
    // file path or output off.
    QString write(int level, const QString& file, const QString& func, int line,
                  const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 6, 7)))
#endif
        ;

    // Path of backup slot n ("dir/base.n.suffix").
    QString backupPath(int n) const;

private:
    HX2LoggerPrivate* d;
};

#endif
