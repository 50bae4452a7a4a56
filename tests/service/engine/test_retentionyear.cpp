// A year of retention in the test's process: three datasets snapshotted
// every five minutes and uploaded daily, on the in-memory model of zfs on
// both sides, with the packaged policy's rules, through two daylight-
// saving changes and a clock set back an hour and later forward again.
// Every simulated day each side's count stays within its rule's bound and
// every upload succeeds; at the end the process's memory is where it was
// after the first week.
//
// By hand, a shorter span: VXR_YEAR_DAYS=30 test_retentionyear
#include "hx2file.h"
#include "hx2journals.h"
#include "phpaths.h"
#include "vxrclient.h"
#include "vxrengine.h"
#include "vxroplog.h"
#include "../zfsmodel.h"
#include "../localzone.h"

#include "../../printqt.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <cstdio>

namespace {

constexpr int kCycleSecs = 300;
constexpr int kDaySecs = 86400;
const QStringList kDatasets{"tank/home", "tank/data", "tank/vm"};

// Resident memory of the process in KiB, after malloc hands back what it
// can.
long residentKb()
{
    malloc_trim(0);
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// The most snapshots a side may hold under its rule: every five-minute
// snapshot of the "within" span, one per kept day, week and month, the
// incremental base and the old base the server still held at the last
// move, and slack for two hours of snapshots: the span from the base to
// now passes "within" by an hour on a 25-hour day, and after the clock is
// set back an hour the hour stamped ahead of it is kept as young.
struct Bound
{
    const char* side;
    ZfsModel::Side model;
    int withinHours, daily, weekly, monthly;
    int most() const { return withinHours * 3600 / kCycleSecs + daily + weekly + monthly + 2 + 2 * 3600 / kCycleSecs; }
};

const Bound kBounds[] = {
    {"appliance", ZfsModel::Appliance, 24, 30, 12, 12},
    {"server", ZfsModel::Server, 24, 30, 12, 24},
};

QJsonObject ruleOf(const Bound& b)
{
    return QJsonObject{{"within", QStringLiteral("%1h").arg(b.withinHours)},
                       {"daily", b.daily},
                       {"weekly", b.weekly},
                       {"monthly", b.monthly}};
}

class RetentionYear : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The operation log is a database: a file system in memory keeps
        // a year of it fast.
        m_root = std::make_unique<QTemporaryDir>(QDir("/dev/shm").exists() ? "/dev/shm/vxryear-XXXXXX"
                                                                              : QDir::tempPath() + "/vxryear-XXXXXX");
        ASSERT_TRUE(m_root->isValid());
        PHPaths::setRoot(m_root->path() + "/files");
        model = std::make_shared<ZfsModel>();
        for (const QString& d : kDatasets)
            model->createDataset(ZfsModel::Appliance, d);
        engine = std::make_unique<VxrClient>();
        engine->setPrograms(model);
        engine->setClock([this] { return QDateTime::fromSecsSinceEpoch(m_utc.load() + m_step.load()); });
        HX2Journals journal;
        ASSERT_TRUE(engine->loadConfigure(
            journal, QJsonObject{{"retention", QJsonObject{{"local", ruleOf(kBounds[0])}, {"remote", ruleOf(kBounds[1])}}}}));
        const QJsonObject settings{
            {"server", QJsonObject{{"host", "server"}, {"uid", "root"}, {"pwd", "secret"}}},
            {"dmpaths", QJsonArray::fromStringList(kDatasets)}};
        ASSERT_TRUE(HX2File::saveJson(engine->units().settings.settingsPath(), settings, false));
        engine->loadSettings(journal, nullptr);
    }

    void TearDown() override
    {
        engine.reset();
        PHPaths::setRoot(QString());
    }

    QDateTime now() const { return engine->units().seams.now(); }

    // Each dataset's upload as the worker runs it; the failures' names.
    QStringList uploadAll()
    {
        QStringList failed;
        VxrTaskQueue& queue = engine->units().worker.queue();
        for (const QString& d : kDatasets) {
            VxrTask task = VxrTask::upload(d);
            task.index = queue.enqueue({task}).value(0);
            if (!engine->vxrUpload(task))
                failed << d;
            queue.remove(task.index);
        }
        return failed;
    }

    // The day's records, counted by message, and the log emptied.
    void takeRecords()
    {
        QJsonArray records;
        EXPECT_TRUE(engine->units().log.list(records));
        engine->units().log.clear();
        for (const QJsonValue& v : records)
            ++m_records[v.toObject().value("message").toString().section(": ", 0, 0)];
    }

    // At the end of a simulated day: each side's counts against its bound,
    // and the day's records.
    void closeDay(const QDate& day)
    {
        for (const Bound& b : kBounds) {
            for (const QString& d : kDatasets) {
                const int n = model->count(b.model, d);
                if (n > b.most())
                    m_overBound << QStringLiteral("%1 %2 %3: %4 > %5")
                                       .arg(day.toString(Qt::ISODate), b.side, d)
                                       .arg(n)
                                       .arg(b.most());
            }
        }
        takeRecords();
    }

    void printCounts(const QString& when)
    {
        std::printf("%-8s", qPrintable(when));
        for (const QString& d : kDatasets) {
            const QString both =
                QStringLiteral("%1/%2").arg(model->count(ZfsModel::Appliance, d)).arg(model->count(ZfsModel::Server, d));
            std::printf(" %20s", qPrintable(both));
        }
        std::printf("\n");
        std::fflush(stdout);
    }

    // Runs days of five-minute cycles from the clock's time on, with an
    // upload of every dataset once a day after 01:00 and the clock's steps;
    // the resident memory after the first week in *weekKb.
    void simulate(int days, const QList<QPair<qint64, qint64>>& steps, long* weekKb)
    {
        const QDate first = now().date();
        QDate lastUpload;
        QDate current = first;
        const qint64 end = m_utc + qint64(days) * kDaySecs;
        for (; m_utc < end; m_utc += kCycleSecs) {
            for (const auto& step : steps) {
                if (m_utc == step.first)
                    m_step = step.second;
            }
            engine->backupRun();
            const QDateTime local = now();
            if (local.time().hour() >= 1 && local.date() != lastUpload) {
                lastUpload = local.date();
                for (const QString& d : uploadAll())
                    m_uploadFailures << lastUpload.toString(Qt::ISODate) + " " + d;
            }
            if (local.date() == current)
                continue;
            closeDay(current);
            if (local.date() == first.addDays(7))
                *weekKb = residentKb();
            if (local.date().month() != current.month())
                printCounts(current.toString("yyyy-MM"));
            current = local.date();
        }
        closeDay(current);
        printCounts(current.toString("yyyy-MM-dd"));
    }

    std::unique_ptr<QTemporaryDir> m_root;
    std::atomic<qint64> m_utc{0};
    std::atomic<qint64> m_step{0};
    std::shared_ptr<ZfsModel> model;
    std::unique_ptr<VxrClient> engine;
    QHash<QString, int> m_records;
    QStringList m_overBound;
    QStringList m_uploadFailures;
};

TEST_F(RetentionYear, CountsStayWithinTheRulesAllYear)
{
    const LocalZone berlin("Europe/Berlin");
    const int days = qEnvironmentVariableIsSet("VXR_YEAR_DAYS") ? qEnvironmentVariableIntValue("VXR_YEAR_DAYS") : 365;
    ASSERT_GT(days, 7);
    // From New Year: summer time begins on 29 March and ends on 25
    // October; on 15 June the clock is set back an hour, on 10 August
    // forward again.
    m_utc = QDateTime(QDate(2026, 1, 1), QTime(0, 0)).toSecsSinceEpoch();
    const QList<QPair<qint64, qint64>> steps{
        {QDateTime(QDate(2026, 6, 15), QTime(12, 0)).toSecsSinceEpoch(), -3600},
        {QDateTime(QDate(2026, 8, 10), QTime(12, 0)).toSecsSinceEpoch(), 0}};

    std::printf("%-8s", "month");
    for (const QString& d : kDatasets)
        std::printf(" %20s", qPrintable(d + " app/srv"));
    std::printf("\n");
    QElapsedTimer timer;
    timer.start();
    long weekKb = -1;
    simulate(days, steps, &weekKb);
    const long endKb = residentKb();
    std::printf("%d days, %d cycles in %.1f s; memory after a week %ld KiB, at the end %ld KiB\n", days,
                days * kDaySecs / kCycleSecs, timer.elapsed() / 1000.0, weekKb, endKb);
    for (auto it = m_records.begin(); it != m_records.end(); ++it)
        std::printf("records %7d %s\n", it.value(), qPrintable(QString(it.key()).remove("##$@vxr@$##")));
    std::fflush(stdout);

    EXPECT_EQ(model->unknown(), QStringList());
    EXPECT_EQ(m_overBound.mid(0, 10), QStringList()) << m_overBound.size() << " days over a bound";
    EXPECT_EQ(m_uploadFailures.mid(0, 10), QStringList()) << m_uploadFailures.size() << " uploads failed";
    EXPECT_EQ(m_records.value(VxrLog::kUploadSuccess), days * kDatasets.size());
    EXPECT_EQ(m_records.value(VxrLog::kPruningFailed) + m_records.value(VxrLog::kServerPruningFailed), 0);
    // Names are local time: in the hour repeated by the end of summer time,
    // and in the hour after the clock was set back, the cycle's names exist
    // already, and it takes the seconds after the latest.
    EXPECT_EQ(m_records.value(VxrLog::kBackupFailed), 0);
    for (const QString& d : kDatasets) {
        EXPECT_EQ(model->destroyedUnsent(d), 0) << qPrintable(d);
        EXPECT_EQ(model->held(ZfsModel::Appliance, d).size(), 1) << qPrintable(d);
        EXPECT_EQ(model->held(ZfsModel::Server, d).size(), 1) << qPrintable(d);
    }
    ASSERT_GT(weekKb, 0);
    EXPECT_LE(endKb, weekKb * 11 / 10);
}

} // namespace
