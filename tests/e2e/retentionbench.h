// The fixture of the retention flows on the bench: each engine step runs
// in a fresh driver process (tests/e2e/retentiondriver.cpp) inside the
// appliance, under a files root of the test's own, its clock set to the
// step's time.
#ifndef RETENTIONBENCH_H
#define RETENTIONBENCH_H

#include "zbenchtest.h"

#include "../printqt.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using zbench::Bench;
using zbench::Host;
using zbench::Result;

inline void writeJsonFile(const QString& path, const QJsonObject& o)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    f.write(QJsonDocument(o).toJson());
}

class RetentionBench : public zbench::BenchTest
{
protected:
    static inline const QString kDriver = QStringLiteral(RETENTION_DRIVER);
    // The records of the pruning passes, before the count and the dataset.
    static inline const QString kPruned = "##$@vxr@$##Snapshots pruned##$@vxr@$##: ";
    static inline const QString kServerPruned = "##$@vxr@$##Server snapshots pruned##$@vxr@$##: ";

    // The root is named after the suite, in lower case, and the test.
    void SetUp() override
    {
        zbench::BenchTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        m_root = bench().stateDir() + "/app/home/" + QString::fromLatin1(test->test_suite_name()).toLower() + "-"
                 + QString::fromLatin1(test->name());
    }

    void writeJson(const QString& underRoot, const QJsonObject& o) const
    {
        writeJsonFile(bench().hostPath(Host::Appliance, m_root + underRoot), o);
    }

    QJsonObject serverAccount() const
    {
        return {{"host", bench().serverHost()}, {"port", bench().port()}, {"uid", "root"}, {"pwd", bench().password()}};
    }

    // The configuration (with retention unless it is null) and settings
    // for the dataset, with the bench's account when account is set.
    void configure(const QString& dataset, const QJsonValue& retention, bool account = true)
    {
        QJsonObject config{{"vg", "tank"}, {"lv", "home"}};
        if (!retention.isNull())
            config.insert("retention", retention);
        writeJson("/config.json", config);
        QJsonObject settings{{"dmpaths", QJsonArray{dataset}}};
        if (account)
            settings.insert("server", serverAccount());
        writeJson("/kozu/etc/vxrclientisp/settings.json", settings);
    }

    // One driver run with the configuration at config under the root: its
    // RESULT object. Its clock stands at now (yyyyMMddHHmmss), or at the
    // machine's time where now is empty.
    QJsonObject runDriver(const QString& config, const QStringList& op, const QString& now = QString())
    {
        zbench::Env env{{"VXR_FILES_ROOT", m_root}};
        if (!now.isEmpty())
            env.insert("VXR_DRIVER_NOW", now);
        const Result r = bench().run(Host::Appliance, QStringList{kDriver, m_root + config} + op, 600000, env);
        return zbench::driverResult(r);
    }

    // One driver step at 2026-03-07 12:00 plus minute minutes.
    QJsonObject step(int minute, const QStringList& op) { return runDriver("/config.json", op, stamp(minute)); }

    // Destroys the dataset on both sides; creates it anew on the appliance.
    bool createFresh(const QString& dataset) const
    {
        destroyBoth(dataset);
        return bench().run(Host::Appliance, {"zfs", "create", dataset}).ok();
    }

    void destroyBoth(const QString& dataset) const
    {
        bench().destroy(Host::Appliance, dataset);
        bench().destroy(Host::Server, dataset);
    }

    // name -> hold count of the dataset's snapshots on a host, in order.
    QStringList holds(Host host, const QString& dataset) const
    {
        return bench().run(host, {"zfs", "list", "-t", "snapshot", "-H", "-o", "name,userrefs", dataset}).lines();
    }

    static QString stamp(int minute)
    {
        return QDateTime(QDate(2026, 3, 7), QTime(12, 0)).addSecs(60 * minute).toString("yyyyMMddHHmmss");
    }
    static QString vxr(const QString& ds, int minute) { return ds + "@vxr_" + stamp(minute); }

    QString m_root;
};

#endif
