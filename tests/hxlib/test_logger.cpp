#include "hx2lfqueue.h"
#include "hx2logger.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include "../printqt.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList fileLines(const QString& path)
{
    return QString::fromUtf8(readFile(path)).split('\n', Qt::SkipEmptyParts);
}

QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

const QRegularExpression kStamp("^(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d) (.*)$");

// Splits a line into its time stamp, checked to be close to now, and the rest.
QString afterStamp(const QString& line)
{
    const QRegularExpressionMatch m = kStamp.match(line);
    if (!m.hasMatch())
        return QStringLiteral("<no time stamp: %1>").arg(line);
    const QDateTime t = QDateTime::fromString(m.captured(1), "yyyy-MM-dd HH:mm:ss");
    if (qAbs(t.secsTo(QDateTime::currentDateTime())) > 5)
        return QStringLiteral("<time stamp not now: %1>").arg(line);
    return m.captured(2);
}

class LoggerTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    QString path(const QString& name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
};

} // namespace

TEST_F(LoggerTest, LineFormat)
{
    struct Case
    {
        int level;
        const char* file;
        const char* func;
        int line;
        const char* message;
        const char* expected; // the line after "yyyy-MM-dd HH:mm:ss "
    };
    const Case cases[] = {
        {HX2Logger::Warn, "engine", "upload", 812, "no space left", "Warn engine upload #812 no space left"},
        {HX2Logger::Info, "", "", 0, "hello", "Info hello"},
        {HX2Logger::Trace, "", "", 0, "", "Trace"},
        {HX2Logger::Debug, "", "func", -4, "m", "Debug func m"},
        {HX2Logger::Error, "file", "", 3, "  padded  ", "Error file #3   padded"},
        {HX2Logger::Fatal, "f", "g", 1, "x", "Fatal f g #1 x"},
        {HX2Logger::MemTrace, "", "", 0, "mem", "MemTrace mem"},
        {HX2Logger::Script, "", "", 0, "sh", "Script sh"},
        {HX2Logger::DB, "", "", 0, "sql", "DB sql"},
        {7, "", "", 0, "unnamed", " unnamed"}, // no name: an empty level name
        {99, "src", "", 0, "z", " src z"},
        {HX2Logger::Info, "", "", 0, "中文 text", "Info 中文 text"},
    };
    HX2Logger logger;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        const QString line = logger.write(c.level, c.file, c.func, c.line, "%s", c.message);
        EXPECT_EQ(afterStamp(line), QString::fromUtf8(c.expected));
    }
    EXPECT_EQ(afterStamp(logger.write(HX2Logger::Info, "", "", 0, "%d of %s, %05.1f%%", 3, "ten", 2.5)),
              "Info 3 of ten, 002.5%");
}

TEST_F(LoggerTest, WritesOnlyWithPathAndOutput)
{
    {
        HX2Logger logger;
        EXPECT_FALSE(logger.write(HX2Logger::Info, "", "", 0, "no path").isEmpty());
        logger.setFilePath(path("sub/log.txt"));
        logger.setOutput(false);
        EXPECT_TRUE(logger.write(HX2Logger::Info, "", "", 0, "off").endsWith("Info off"));
        logger.setImmediate(false);
        EXPECT_TRUE(logger.write(HX2Logger::Info, "", "", 0, "off").endsWith("Info off"));
    }
    EXPECT_FALSE(QFileInfo::exists(path("sub")));

    HX2Logger logger;
    logger.setFilePath(path("a/b/log.txt")); // the directory chain is created
    const QString l1 = logger.write(HX2Logger::Info, "", "", 0, "one");
    const QString l2 = logger.write(HX2Logger::Warn, "", "", 0, "two");
    EXPECT_EQ(readFile(path("a/b/log.txt")), (l1 + "\n" + l2 + "\n").toUtf8());
}

TEST_F(LoggerTest, BackupSlotNames)
{
    HX2Logger logger;
    const struct
    {
        const char* file;
        int slot;
        const char* expected;
    } cases[] = {
        {"/var/log/vxrclient.upload.log", 3, "/var/log/vxrclient.upload.3.log"},
        {"/var/log/app.log", 10, "/var/log/app.10.log"},
        {"/tmp/trace", 1, "/tmp/trace.1."},
    };
    for (const auto& c : cases) {
        logger.setFilePath(c.file);
        EXPECT_EQ(logger.backupPath(c.slot), QString(c.expected));
    }
}

TEST_F(LoggerTest, RotationFillsTheFirstFreeSlotOrShiftsAll)
{
    struct Case
    {
        const char* name;
        const char* logName;
        QList<int> present; // slots that exist before
        QList<int> expectedContent; // per slot 1..10 after: 0 absent, -1 the old log, n "slot n"
    };
    const Case cases[] = {
        {"first free slot", "app.log", {1, 2}, {1, 2, -1, 0, 0, 0, 0, 0, 0, 0}},
        {"gap is filled", "app.log", {1, 3}, {1, -1, 3, 0, 0, 0, 0, 0, 0, 0}},
        {"no backups yet", "app.log", {}, {-1, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"all slots present", "app.log", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, {2, 3, 4, 5, 6, 7, 8, 9, 10, -1}},
        {"no suffix", "trace", {}, {-1, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString log = dir.filePath(c.logName);
        HX2Logger logger;
        logger.setFilePath(log);
        logger.setMaxSize(64);
        for (int n : c.present)
            writeFile(logger.backupPath(n), "slot " + QByteArray::number(n));
        writeFile(log, QByteArray(60, 'o'));

        const QString line = logger.write(HX2Logger::Info, "", "", 0, "new line");
        EXPECT_EQ(readFile(log), (line + "\n").toUtf8());
        for (int n = 1; n <= 10; ++n) {
            const int want = c.expectedContent.at(n - 1);
            const QString slot = logger.backupPath(n);
            if (want == 0)
                EXPECT_FALSE(QFile::exists(slot)) << n;
            else if (want < 0)
                EXPECT_EQ(readFile(slot), QByteArray(60, 'o')) << n;
            else
                EXPECT_EQ(readFile(slot), "slot " + QByteArray::number(want)) << n;
        }
        if (QString(c.logName) == "trace") {
            EXPECT_EQ(entries(dir.path()), (QStringList{"trace", "trace.1."}));
        }
    }
}

TEST_F(LoggerTest, RotationThresholdAndDisabling)
{
    const QString log = path("app.log");
    HX2Logger logger;
    logger.setFilePath(log);
    const QString probe = logger.write(HX2Logger::Info, "", "", 0, "x");
    const qint64 lineBytes = probe.toUtf8().size();
    QFile::remove(log);

    // Exactly at the limit stays; one byte over rotates.
    writeFile(log, QByteArray(10, 'a'));
    logger.setMaxSize(10 + lineBytes);
    logger.write(HX2Logger::Info, "", "", 0, "x");
    EXPECT_FALSE(QFile::exists(logger.backupPath(1)));
    logger.setMaxSize(10 + lineBytes + lineBytes);
    logger.write(HX2Logger::Info, "", "", 0, "y");
    EXPECT_TRUE(QFile::exists(logger.backupPath(1)));
    EXPECT_EQ(fileLines(log).size(), 1);

    // maxSize 0 or less never rotates.
    for (qint64 size : {qint64(0), qint64(-1)}) {
        logger.setMaxSize(size);
        writeFile(log, QByteArray(100000, 'b'));
        logger.write(HX2Logger::Info, "", "", 0, "z");
        EXPECT_FALSE(QFile::exists(logger.backupPath(2)));
    }
}

TEST_F(LoggerTest, CleanRemovesLogAndAllSlots)
{
    HX2Logger logger;
    logger.setFilePath(path("app.log"));
    writeFile(path("app.log"), "log");
    for (int n = 1; n <= 10; ++n)
        writeFile(logger.backupPath(n), "slot");
    writeFile(path("app.11.log"), "not a slot");
    writeFile(path("other.log"), "other");
    logger.clean();
    EXPECT_EQ(entries(m_dir.path()), (QStringList{"app.11.log", "other.log"}));
}

TEST_F(LoggerTest, RegistryFollowsConstructionAndDestruction)
{
    ASSERT_EQ(HX2Logger::i(), nullptr);
    auto a = std::make_unique<HX2Logger>();
    EXPECT_EQ(HX2Logger::i(), a.get());
    auto b = std::make_unique<HX2Logger>();
    auto c = std::make_unique<HX2Logger>();
    EXPECT_EQ(HX2Logger::i(), c.get());
    a->setCurrentInstance();
    EXPECT_EQ(HX2Logger::i(), a.get());
    b.reset(); // the last live logger in construction order becomes current
    EXPECT_EQ(HX2Logger::i(), c.get());
    c.reset();
    EXPECT_EQ(HX2Logger::i(), a.get());
    a.reset();
    EXPECT_EQ(HX2Logger::i(), nullptr);
}

TEST(LFQueueTest, FifoAndCount)
{
    HX2LFQueue<QByteArray> q;
    QByteArray out("kept");
    EXPECT_FALSE(q.pop(out));
    EXPECT_EQ(out, "kept");
    EXPECT_EQ(q.count.load(), 0);

    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 100; ++i)
            q.push(QByteArray::number(i));
        EXPECT_EQ(q.count.load(), 100);
        for (int i = 0; i < 100; ++i) {
            ASSERT_TRUE(q.pop(out));
            EXPECT_EQ(out, QByteArray::number(i));
        }
        EXPECT_EQ(q.count.load(), 0);
        EXPECT_FALSE(q.pop(out));
        EXPECT_EQ(q.size(), 0);
    }
}

TEST(LFQueueTest, ConcurrentProducersAndConsumersLoseNothing)
{
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 20000;
    constexpr int kConsumers = 3;
    HX2LFQueue<int> q;
    std::atomic<int> produced{0};
    std::vector<std::vector<int>> got(kConsumers);
    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&q, &produced, p] {
            for (int i = 0; i < kPerProducer; ++i)
                q.push(p * kPerProducer + i);
            produced.fetch_add(1);
        });
    }
    for (int c = 0; c < kConsumers; ++c) {
        threads.emplace_back([&q, &produced, &got, c] {
            int v = 0;
            for (;;) {
                if (q.pop(v))
                    got[c].push_back(v);
                else if (produced.load() == kProducers && q.count.load() == 0)
                    break;
            }
        });
    }
    for (std::thread& t : threads)
        t.join();

    std::vector<int> seen(kProducers * kPerProducer, 0);
    for (const std::vector<int>& list : got) {
        // Each consumer sees every producer's values in the order pushed.
        std::vector<int> last(kProducers, -1);
        for (int v : list) {
            ++seen[v];
            const int p = v / kPerProducer;
            EXPECT_GT(v, last[p]);
            last[p] = v;
        }
    }
    for (int v = 0; v < kProducers * kPerProducer; ++v)
        ASSERT_EQ(seen[v], 1) << v;
    EXPECT_EQ(q.count.load(), 0);
}

TEST_F(LoggerTest, QueuedModeWritesEveryLineFromSeveralThreads)
{
    constexpr int kThreads = 4;
    constexpr int kLines = 2000;
    const QString log = path("q/queued.log");
    QStringList returned;
    {
        HX2Logger logger;
        logger.setFilePath(log);
        logger.setImmediate(false);
        logger.setMaxSize(0);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&logger, t] {
                for (int i = 0; i < kLines; ++i)
                    logger.write(HX2Logger::Info, "", "", 0, "thread %d line %d", t, i);
            });
        }
        for (std::thread& th : threads)
            th.join();
        returned.append(logger.write(HX2Logger::Warn, "", "", 0, "last"));
        // Destruction waits for the writer to finish.
    }
    const QStringList lines = fileLines(log);
    ASSERT_EQ(lines.size(), kThreads * kLines + 1);
    QSet<QString> unique;
    std::vector<int> next(kThreads, 0);
    const QRegularExpression re("^Info thread (\\d) line (\\d+)$");
    for (const QString& line : lines) {
        const QString rest = afterStamp(line);
        if (rest == "Warn last")
            continue;
        const QRegularExpressionMatch m = re.match(rest);
        ASSERT_TRUE(m.hasMatch()) << line.toStdString();
        const int t = m.captured(1).toInt();
        const int i = m.captured(2).toInt();
        EXPECT_EQ(i, next[t]) << "lines of one thread keep their order";
        next[t] = i + 1;
        unique.insert(rest);
    }
    EXPECT_EQ(unique.size(), kThreads * kLines);
}

TEST_F(LoggerTest, QueuedModeRotatesByTrackedSize)
{
    const QString log = path("rot.log");
    QStringList written;
    {
        HX2Logger logger;
        logger.setFilePath(log);
        logger.setImmediate(false);
        logger.setMaxSize(200);
        for (int i = 0; i < 20; ++i)
            written.append(logger.write(HX2Logger::Info, "", "", 0, "queued line %02d", i));
    }
    QStringList all;
    for (int n = 1; n <= 10; ++n) {
        const QString slot = path(QString("rot.%1.log").arg(n));
        if (QFile::exists(slot)) {
            EXPECT_LE(QFileInfo(slot).size(), 200) << n;
            all += fileLines(slot);
        }
    }
    EXPECT_LE(QFileInfo(log).size(), 200);
    all += fileLines(log);
    EXPECT_GE(entries(m_dir.path()).size(), 4);
    EXPECT_EQ(all, written); // oldest slot first, nothing lost or repeated
}

namespace {
// A value that counts its live instances, so a test can see what the queue
// still holds.
struct Counted
{
    static std::atomic<int> live;
    Counted() { live.fetch_add(1); }
    explicit Counted(int v) : value(v) { live.fetch_add(1); }
    Counted(const Counted& o) : value(o.value) { live.fetch_add(1); }
    Counted& operator=(const Counted&) = default;
    ~Counted() { live.fetch_sub(1); }
    int value = 0;
};
std::atomic<int> Counted::live{0};
} // namespace

TEST(LFQueueTest, PoppedValuesAndRetiredNodesAreFreed)
{
    HX2LFQueue<Counted> q;
    const int base = Counted::live.load(); // the dummy node's value
    for (int i = 0; i < 1000; ++i)
        q.push(Counted(i));
    Counted out;
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(q.pop(out));
        EXPECT_EQ(out.value, i);
    }
    EXPECT_FALSE(q.pop(out));
    // Only the current dummy and `out` remain: no retired node lingers.
    EXPECT_EQ(Counted::live.load(), base + 1);
}

TEST_F(LoggerTest, QueuedLinesAreNotKeptAfterWriting)
{
    constexpr int kLines = 100000;
    const QByteArray payload(1000, 'p');
    const QString log = path("mem.log");
    HX2Logger logger;
    logger.setFilePath(log);
    logger.setMaxSize(0);
    const qint64 lineBytes = logger.write(HX2Logger::Info, "", "", 0, "%s", payload.constData()).toUtf8().size() + 1;
    QFile::remove(log);
    logger.setImmediate(false);

    const size_t before = mallinfo2().uordblks;
    for (int i = 0; i < kLines; ++i)
        logger.write(HX2Logger::Info, "", "", 0, "%s", payload.constData());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (QFileInfo(log).size() < kLines * lineBytes && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(QFileInfo(log).size(), kLines * lineBytes);

    // 100 MB of text went through; what stays behind once the writer has
    // finished its last pop must be a small fraction of it.
    const size_t bound = size_t(8) << 20;
    auto held = [before] {
        const size_t now = mallinfo2().uordblks;
        return now > before ? now - before : 0;
    };
    const auto quiet = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (held() >= bound && std::chrono::steady_clock::now() < quiet)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_LT(held(), bound);
}
