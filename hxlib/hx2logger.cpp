#include "hx2logger.h"

#include "hx2lfqueue.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QTextStream>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <mutex>
#include <thread>

class HX2LoggerPrivate
{
public:
    // The writer thread reads the path and the limit while the owner may
    // change them.
    mutable std::mutex settingsMutex;
    QString filePath;          // guarded by settingsMutex
    qint64 maxSize = 10485760; // guarded by settingsMutex
    int backupCount = 10;
    std::atomic<bool> output{true};
    std::atomic<bool> immediate{true};
    HX2LFQueue<QByteArray> queue;
    std::atomic<bool> running{false};
    std::atomic<bool> writeFailed{false};
    // Writer threads that may still touch this object; the owner waits for
    // zero before freeing it.
    std::atomic<int> writers{0};

    static HX2Logger* g_instance;
    static QList<HX2Logger*> g_instances;

    struct Settings {
        QString filePath;
        qint64 maxSize;
    };

    Settings settings() const
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        return {filePath, maxSize};
    }

    static QString slotPath(const QString& filePath, int n)
    {
        const QFileInfo fi(filePath);
        return fi.absoluteDir().filePath(fi.completeBaseName() + QLatin1Char('.')
                                         + QString::number(n) + QLatin1Char('.') + fi.suffix());
    }

    static bool ensureDir(const QString& filePath)
    {
        const QDir dir = QFileInfo(filePath).absoluteDir();
        if (!dir.exists())
            QDir().mkpath(dir.absolutePath());
        return dir.exists();
    }

    // Moves the log file into the first free backup slot, or, with every
    // slot taken, drops the oldest and shifts the others down.
    void backupFile(const QString& filePath)
    {
        if (backupCount < 1)
            backupCount = 1;
        for (int n = 1; n <= backupCount; ++n) {
            if (!QFile::exists(slotPath(filePath, n))) {
                QFile::rename(filePath, slotPath(filePath, n));
                return;
            }
        }
        QFile::remove(slotPath(filePath, 1));
        for (int i = 1; i < backupCount; ++i)
            QFile::rename(slotPath(filePath, i + 1), slotPath(filePath, i));
        QFile::rename(filePath, slotPath(filePath, backupCount));
    }

    void writeImmediate(const QString& line, const Settings& s)
    {
        if (!ensureDir(s.filePath))
            return;
        const QByteArray bytes = line.toUtf8();
        if (s.maxSize > 0 && QFileInfo(s.filePath).size() + bytes.size() > s.maxSize)
            backupFile(s.filePath);
        QFile f(s.filePath);
        if (!f.open(QIODevice::Append | QIODevice::Text))
            return;
        QTextStream ts(&f);
        ts.setCodec("UTF-8");
        ts << line << '\n';
        ts.flush();
    }

    // One drain of the queue. False when the writer had to stop (directory
    // or file unusable); the lines left wait for the next queued write.
    //
    // The settings are read afresh for each line; when the path changes in
    // the middle of a drain the next line goes to the new file.
    bool drain()
    {
        writeFailed.store(false);
        QFile file;
        qint64 tracked = QFileInfo(settings().filePath).size();
        QByteArray line;
        bool usable = true;
        while (!writeFailed.load() && queue.pop(line)) {
            const Settings s = settings();
            if (file.isOpen() && file.fileName() != s.filePath) {
                file.close();
                tracked = QFileInfo(s.filePath).size();
            }
            if (!ensureDir(s.filePath)) {
                usable = false;
                break;
            }
            if (s.maxSize > 0 && tracked + line.size() > s.maxSize) {
                if (file.isOpen())
                    file.close();
                backupFile(s.filePath);
                tracked = 0;
            }
            if (!file.isOpen()) {
                file.setFileName(s.filePath);
                if (file.open(QIODevice::Append | QIODevice::Text))
                    tracked = file.size();
            }
            if (file.isOpen()) {
                file.write(line);
                file.write("\n");
                file.flush();
                tracked += line.size() + 1;
            } else {
                writeFailed.store(true);
            }
        }
        if (file.isOpen())
            file.close();
        return usable && !writeFailed.load();
    }

    // Writer thread body. A producer that pushes while this thread is
    // finishing sees `running` still set and starts no writer, so after
    // clearing the flag the queue is checked once more and, if a line
    // arrived, this thread takes the flag back and drains again. Without
    // that a line could wait indefinitely for the next write.
    void run()
    {
        for (;;) {
            running.store(true);
            const bool usable = drain();
            running.store(false);
            if (!usable || queue.count.load() == 0)
                break;
            bool expected = false;
            if (!running.compare_exchange_strong(expected, true))
                break;
        }
        // Last access to this object: the destructor may free it from here on.
        writers.fetch_sub(1);
    }

    // Queues one line and starts a writer unless one is running; the check
    // and the start are one atomic step, so at most one writer runs.
    void pushLog(const QByteArray& line)
    {
        queue.push(line);
        bool expected = false;
        if (running.compare_exchange_strong(expected, true)) {
            writers.fetch_add(1);
            HX2LoggerPrivate* p = this;
            std::thread([p] { p->run(); }).detach();
        }
    }
};

HX2Logger* HX2LoggerPrivate::g_instance = nullptr;
QList<HX2Logger*> HX2LoggerPrivate::g_instances;

HX2Logger::HX2Logger(QObject* parent) : QObject(parent), d(new HX2LoggerPrivate)
{
    // Qt 5 sets up its date formatting lazily and not thread-safely: threads
    // that format their first time stamps at the same moment can get an
    // empty text. Formatting once here, on the constructing thread, makes
    // later concurrent write() calls safe.
    (void)QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss "));
    HX2LoggerPrivate::g_instance = this;
    HX2LoggerPrivate::g_instances.append(this);
}

HX2Logger::~HX2Logger()
{
    while (d->writers.load() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    HX2LoggerPrivate::g_instances.removeAll(this);
    HX2LoggerPrivate::g_instance =
        HX2LoggerPrivate::g_instances.isEmpty() ? nullptr : HX2LoggerPrivate::g_instances.last();
    delete d;
}

HX2Logger* HX2Logger::i() { return HX2LoggerPrivate::g_instance; }
void HX2Logger::setCurrentInstance() { HX2LoggerPrivate::g_instance = this; }

QString HX2Logger::filePath() const { return d->settings().filePath; }

void HX2Logger::setFilePath(const QString& path)
{
    std::lock_guard<std::mutex> lock(d->settingsMutex);
    d->filePath = path;
}

qint64 HX2Logger::maxSize() const { return d->settings().maxSize; }

void HX2Logger::setMaxSize(qint64 size)
{
    std::lock_guard<std::mutex> lock(d->settingsMutex);
    d->maxSize = size;
}

bool HX2Logger::output() const { return d->output.load(); }
void HX2Logger::setOutput(bool on) { d->output.store(on); }
bool HX2Logger::immediate() const { return d->immediate.load(); }
void HX2Logger::setImmediate(bool on) { d->immediate.store(on); }

QString HX2Logger::backupPath(int n) const { return HX2LoggerPrivate::slotPath(filePath(), n); }

void HX2Logger::clean()
{
    const QString path = filePath();
    if (path.isEmpty())
        return;
    QFile::remove(QFileInfo(path).absoluteFilePath());
    for (int n = 1; n <= d->backupCount; ++n)
        QFile::remove(HX2LoggerPrivate::slotPath(path, n));
}

QString HX2Logger::write(int level, const QString& file, const QString& func, int line,
                         const char* format, ...)
{
    QString message;
    if (format) {
        va_list ap;
        va_start(ap, format);
        message = QString::vasprintf(format, ap);
        va_end(ap);
    }
    const QMetaEnum levels = QMetaEnum::fromType<LogLevel>();
    const char* levelName = levels.valueToKey(level);

    QString text = QDateTime::currentDateTime().toString("yyyy-MM-dd HH:mm:ss ");
    text += QLatin1String(levelName ? levelName : "");
    if (!file.isEmpty())
        text += QLatin1Char(' ') + file;
    if (!func.isEmpty())
        text += QLatin1Char(' ') + func;
    if (line > 0)
        text += QLatin1String(" #") + QString::number(line);
    text += QLatin1Char(' ') + message;
    text = text.trimmed();

    if (!d->output.load())
        return text;
    const HX2LoggerPrivate::Settings s = d->settings();
    if (s.filePath.isEmpty())
        return text;
    if (d->immediate.load())
        d->writeImmediate(text, s);
    else
        d->pushLog(text.toUtf8());
    return text;
}
