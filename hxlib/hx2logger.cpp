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
#include <thread>

class HX2LoggerPrivate
{
public:
    QString filePath;
    qint64 maxSize = 10485760;
    int backupCount = 10;
    bool output = true;
    bool immediate = true;
    HX2LFQueue<QByteArray> queue;
    std::atomic<bool> running{false};
    std::atomic<bool> writeFailed{false};
    // Writer threads that may still touch this object; the owner waits for
    // zero before freeing it.
    std::atomic<int> writers{0};

    static HX2Logger* g_instance;
    static QList<HX2Logger*> g_instances;

    QString slotPath(int n) const
    {
        const QFileInfo fi(filePath);
        return fi.absoluteDir().filePath(fi.completeBaseName() + QLatin1Char('.')
                                         + QString::number(n) + QLatin1Char('.') + fi.suffix());
    }

    bool ensureDir() const
    {
        const QDir dir = QFileInfo(filePath).absoluteDir();
        if (!dir.exists())
            QDir().mkpath(dir.absolutePath());
        return dir.exists();
    }

    void rotate()
    {
        if (backupCount < 1)
            backupCount = 1;
        for (int n = 1; n <= backupCount; ++n) {
            if (!QFile::exists(slotPath(n))) {
                QFile::rename(filePath, slotPath(n));
                return;
            }
        }
        QFile::remove(slotPath(1));
        for (int i = 1; i < backupCount; ++i)
            QFile::rename(slotPath(i + 1), slotPath(i));
        QFile::rename(filePath, slotPath(backupCount));
    }

    void writeImmediate(const QString& line)
    {
        if (!ensureDir())
            return;
        const QByteArray bytes = line.toUtf8();
        if (maxSize > 0 && QFileInfo(filePath).size() + bytes.size() > maxSize)
            rotate();
        QFile f(filePath);
        if (!f.open(QIODevice::Append | QIODevice::Text))
            return;
        QTextStream ts(&f);
        ts.setCodec("UTF-8");
        ts << line << '\n';
        ts.flush();
    }

    // One drain of the queue. False when the writer had to stop (directory
    // or file unusable); the lines left wait for the next queued write.
    bool drain()
    {
        writeFailed.store(false);
        QFile file;
        qint64 tracked = QFileInfo(filePath).size();
        QByteArray line;
        bool usable = true;
        while (!writeFailed.load() && queue.pop(line)) {
            if (!ensureDir()) {
                usable = false;
                break;
            }
            if (maxSize > 0 && tracked + line.size() > maxSize) {
                if (file.isOpen())
                    file.close();
                rotate();
                tracked = 0;
            }
            if (!file.isOpen()) {
                file.setFileName(filePath);
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

QString HX2Logger::filePath() const { return d->filePath; }
void HX2Logger::setFilePath(const QString& path) { d->filePath = path; }
qint64 HX2Logger::maxSize() const { return d->maxSize; }
void HX2Logger::setMaxSize(qint64 size) { d->maxSize = size; }
bool HX2Logger::output() const { return d->output; }
void HX2Logger::setOutput(bool on) { d->output = on; }
bool HX2Logger::immediate() const { return d->immediate; }
void HX2Logger::setImmediate(bool on) { d->immediate = on; }

QString HX2Logger::backupPath(int n) const { return d->slotPath(n); }

void HX2Logger::clean()
{
    if (d->filePath.isEmpty())
        return;
    QFile::remove(QFileInfo(d->filePath).absoluteFilePath());
    for (int n = 1; n <= d->backupCount; ++n)
        QFile::remove(d->slotPath(n));
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

    if (!d->output || d->filePath.isEmpty())
        return text;
    if (d->immediate) {
        d->writeImmediate(text);
    } else {
        d->queue.push(text.toUtf8());
        bool expected = false;
        if (d->running.compare_exchange_strong(expected, true)) {
            d->writers.fetch_add(1);
            HX2LoggerPrivate* p = d;
            std::thread([p] { p->run(); }).detach();
        }
    }
    return text;
}
