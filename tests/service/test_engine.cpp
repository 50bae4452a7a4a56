// Engine operations driven through the real runner against stand-in "zfs"
// and "sshpass" programs placed first on the search path. The operations
// that run /usr/sbin/zfs by absolute path are covered on the ZFS bench.
#include "phpaths.h"
#include "vxrclient.h"
#include "vxrmarkers.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>

namespace {

const char* const kFakeZfs = R"(#!/bin/sh
printf '%s|' "$@" >> "$FAKE_DIR/zfs.calls"; echo >> "$FAKE_DIR/zfs.calls"
case "$1" in
snapshot)
  case "$2" in
  missing@*) echo "cannot open 'missing': dataset does not exist" >&2; exit 1;;
  esac
  exit 0;;
list)
  case "$*" in
  *name,used,reservation*)
    if [ "$6" = "vxr/data" ]; then printf 'vxr/data\t1234\t5678\n'; exit 0; fi
    echo "cannot open '$6': dataset does not exist" >&2; exit 1;;
  *name,mountpoint,mounted*)
    printf 'p\t/p\tyes\np/a\t/p/a\tyes\np/b b\t/mnt/b b\tyes\np/c\t/p/c\tno\nq/x\tnone\tno\n'; exit 0;;
  *"-o name -t snapshot"*)
    printf 'p/a@vxr_20240102030405\np/a@s2\n'; exit 0;;
  esac;;
esac
exit 2
)";

const char* const kFakeSshpass = R"(#!/bin/sh
printf '%s\n' "$@" > "$FAKE_DIR/sshpass.args"
printf '%s' "$SSHPASS" > "$FAKE_DIR/sshpass.env"
if [ "$FAKE_SSHPASS_FAIL" = 1 ]; then echo "Permission denied, please try again." >&2; exit 5; fi
printf 'pool/a@vxr_20240102030405\t1.5G\t2M\npool/b@s1 10K 20K\nshort\n'
)";

QString json(const QJsonArray& a) { return QString::fromUtf8(QJsonDocument(a).toJson(QJsonDocument::Compact)); }
QJsonArray arr(const char* text) { return QJsonDocument::fromJson(QByteArray(text)).array(); }

class EngineOps : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid());
        PHPaths::setRoot(m_root.path());
        m_bin = m_root.path() + "/bin";
        ASSERT_TRUE(QDir().mkpath(m_bin));
        writeProgram("zfs", kFakeZfs);
        writeProgram("sshpass", kFakeSshpass);
        m_oldPath = qgetenv("PATH");
        qputenv("PATH", m_bin.toLocal8Bit() + ":" + m_oldPath);
        qputenv("FAKE_DIR", m_root.path().toLocal8Bit());
        qunsetenv("FAKE_SSHPASS_FAIL");
        ASSERT_TRUE(QDir().mkpath(m_root.path() + "/kozu/etc/vxrclientisp"));
    }

    void TearDown() override
    {
        qputenv("PATH", m_oldPath);
        qunsetenv("FAKE_DIR");
        qunsetenv("FAKE_SSHPASS_FAIL");
        PHPaths::setRoot(QString());
    }

    void writeProgram(const QString& name, const char* text)
    {
        QFile f(m_bin + "/" + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    // Writes the settings file and loads it into the engine.
    void settle(VxrClient& engine, const QJsonObject& settings)
    {
        QFile f(engine.settingsPath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QJsonDocument(settings).toJson());
        f.close();
        HX2Journals journal;
        engine.loadSettings(journal, nullptr);
        ASSERT_EQ(journal.err(), 9999);
    }

    static QJsonObject account(const QString& host, int port, const QString& uid, const QString& pwd)
    {
        return QJsonObject{{"server", QJsonObject{{"host", host}, {"port", port}, {"uid", uid}, {"pwd", pwd}}}};
    }

    QString readFake(const QString& name) const
    {
        QFile f(m_root.path() + "/" + name);
        if (!f.open(QIODevice::ReadOnly))
            return QString();
        return QString::fromUtf8(f.readAll());
    }

    bool fakeRan(const QString& name) const { return QFile::exists(m_root.path() + "/" + name); }

    QTemporaryDir m_root;
    QString m_bin;
    QByteArray m_oldPath;
};

TEST_F(EngineOps, TaskListingAndCancel)
{
    struct Case { const char* name; int index; bool ok; int err; QString errmsg; const char* after; };
    const Case cases[] = {
        {"running task", 11, true, 9999, "", R"([{"index":11,"action":2,"step":1,"removed":1},{"index":12,"action":2},{"index":13,"action":3,"passwd":"p"}])"},
        {"queued task", 12, true, 9999, "", R"([{"index":11,"action":2,"step":1},{"index":13,"action":3,"passwd":"p"}])"},
        {"unknown index", 99, false, 9994, QStringLiteral("index 不存在"), R"([{"index":11,"action":2,"step":1},{"index":12,"action":2},{"index":13,"action":3,"passwd":"p"}])"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VxrClient engine;
        engine.tasks = arr(R"([{"index":11,"action":2,"step":1},{"index":12,"action":2},{"index":13,"action":3,"passwd":"p"}])");
        HX2Journals journal;
        EXPECT_EQ(engine.taskCancel(journal, c.index), c.ok);
        EXPECT_EQ(journal.err(), c.err);
        EXPECT_EQ(journal.errmsg(), c.errmsg);
        QJsonArray listed{QJsonObject{{"stale", 1}}};
        EXPECT_TRUE(engine.taskAlload(journal, listed));
        EXPECT_EQ(json(listed), json(arr(c.after)));
    }
    VxrClient empty;
    HX2Journals journal;
    QJsonArray listed{1, 2};
    EXPECT_TRUE(empty.taskAlload(journal, listed));
    EXPECT_TRUE(listed.isEmpty());
}

TEST_F(EngineOps, OperationLogListsNewestFirstSurvivesRestartAndClears)
{
    {
        VxrClient engine;
        engine.writeLog(VxrLog::kError, QString(VxrLog::kBackupFailed) + ": oops", VxrLog::kActionSnapshot, VxrLog::kStateFailed);
        engine.writeLog(VxrLog::kInformation, VxrLog::kUploadSuccess, VxrLog::kActionUpload, VxrLog::kStateSucceeded);
        // Another application's record in the same log.
        engine.kozulog.write("Information", "other", QJsonObject{{"action", 7}}, "OTHER-APP", "admin", "", "");
    }
    VxrClient engine; // a restarted service
    HX2Journals journal;
    QJsonArray records{QJsonObject{{"kept", true}}};
    ASSERT_TRUE(engine.logAlload(journal, records));
    EXPECT_EQ(journal.err(), 9999);
    ASSERT_EQ(records.size(), 3);
    EXPECT_TRUE(records.at(0).toObject().value("kept").toBool());
    struct Want { const char* level; QString message; int action; int state; };
    const Want want[] = {
        {"Information", VxrLog::kUploadSuccess, 2, 9},
        {"Error", QString(VxrLog::kBackupFailed) + ": oops", 1, 3},
    };
    for (int i = 0; i < 2; ++i) {
        const QJsonObject r = records.at(i + 1).toObject();
        EXPECT_EQ(r.value("level").toString(), want[i].level);
        EXPECT_EQ(r.value("message").toString(), want[i].message);
        EXPECT_EQ(r.value("action").toInt(), want[i].action);
        EXPECT_EQ(r.value("state").toInt(), want[i].state);
        EXPECT_EQ(r.value("app").toString(), "VXRCLIENT-ISP");
        EXPECT_EQ(r.value("user").toString(), "SYSTEM");
        EXPECT_FALSE(r.contains("sparefield1") || r.contains("sparefield2") || r.contains("sparefield3"));
    }

    EXPECT_TRUE(engine.logClear(journal));
    QJsonArray after;
    ASSERT_TRUE(engine.logAlload(journal, after));
    EXPECT_TRUE(after.isEmpty());
    QJsonArray other;
    ASSERT_TRUE(engine.kozulog.loadByApp(other, "OTHER-APP"));
    EXPECT_EQ(other.size(), 1);
    EXPECT_EQ(journal.err(), 9999);
}

TEST_F(EngineOps, RemoteListingNeedsACompleteAccount)
{
    struct Case { const char* name; QJsonObject settings; };
    const Case cases[] = {
        {"no server", QJsonObject()},
        {"no host", account("", 22, "backup", "secret")},
        {"blank host", account("   ", 22, "backup", "secret")},
        {"no user", account("server", 22, "", "secret")},
        {"no password", account("server", 22, "backup", "")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VxrClient engine;
        settle(engine, c.settings);
        HX2Journals journal;
        QJsonArray records;
        EXPECT_FALSE(engine.remoteAllSnapshots(journal, records));
        EXPECT_EQ(journal.err(), 9994);
        EXPECT_EQ(journal.errmsg(), QStringLiteral("缺少账号设置"));
        HX2Journals other;
        EXPECT_FALSE(engine.remoteSnapshots(other, records, "pool/a"));
        EXPECT_EQ(other.err(), 9994);
        EXPECT_TRUE(records.isEmpty());
        EXPECT_FALSE(fakeRan("sshpass.args"));
    }
}

TEST_F(EngineOps, RemoteListingHandsThePasswordOnlyThroughTheEnvironment)
{
    struct Case { int port; QString portArg; };
    const Case cases[] = {{2222, "2222"}, {70000, "22"}, {0, "22"}, {65535, "65535"}};
    const QString password = "pa ss'word$(x)";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        VxrClient engine;
        settle(engine, account("server.example", c.port, "backup", password));
        HX2Journals journal;
        QJsonArray records;
        ASSERT_TRUE(engine.remoteSnapshots(journal, records, "ignored/dataset"));
        EXPECT_EQ(journal.err(), 9999);
        EXPECT_EQ(json(records), json(arr(R"([{"name":"pool/a@vxr_20240102030405","used":1610612736,"refer":2097152},)"
                                          R"({"name":"pool/b@s1","used":10240,"refer":20480}])")));
        const QStringList args = readFake("sshpass.args").split('\n', Qt::SkipEmptyParts);
        const QStringList expected{"-e", "ssh", "-p", c.portArg, "-o", "StrictHostKeyChecking no",
                                   "-o", "ServerAliveInterval=15", "-o", "ServerAliveCountMax=4",
                                   "backup@server.example", "/usr/sbin/zfs list -H -o name,used,refer -t snapshot "};
        EXPECT_EQ(args, expected);
        EXPECT_FALSE(readFake("sshpass.args").contains("word"));
        EXPECT_EQ(readFake("sshpass.env"), password);
    }
}

TEST_F(EngineOps, FailedRemoteListingLeavesJournalAndRecords)
{
    qputenv("FAKE_SSHPASS_FAIL", "1");
    VxrClient engine;
    settle(engine, account("server", 22, "backup", "wrong"));
    HX2Journals journal;
    journal.setErr(1234, "earlier");
    QJsonArray records{QJsonObject{{"name", "kept"}}};
    EXPECT_FALSE(engine.remoteAllSnapshots(journal, records));
    EXPECT_EQ(journal.err(), 1234);
    EXPECT_EQ(journal.errmsg(), "earlier");
    EXPECT_EQ(records.size(), 1);
    EXPECT_TRUE(fakeRan("sshpass.args"));
    QJsonArray log;
    ASSERT_TRUE(engine.logAlload(journal, log));
    EXPECT_TRUE(log.isEmpty());
}

TEST_F(EngineOps, SnapshotCycleRecordsTheFailureAndGoesOn)
{
    struct Case { const char* name; QStringList dmpaths; QString calls; int records; };
    const Case cases[] = {
        {"first missing", {"missing", "p/b"},
         "snapshot|missing@vxr_20260307140509|\nsnapshot|p/b@vxr_20260307140509|\n", 1},
        {"all there", {"p/a", "p/b c"}, "snapshot|p/a@vxr_20260307140509|\nsnapshot|p/b c@vxr_20260307140509|\n", 0},
        {"nothing configured", {}, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(m_root.path() + "/zfs.calls");
        VxrClient engine;
        HX2Journals journal;
        engine.logClear(journal);
        settle(engine, QJsonObject{{"dmpaths", QJsonArray::fromStringList(c.dmpaths)}});
        engine.setClock([] { return QDateTime(QDate(2026, 3, 7), QTime(14, 5, 9)); });
        engine.backupRunning.store(true);
        engine.backupRun();
        EXPECT_FALSE(engine.backupRunning.load());
        EXPECT_EQ(readFake("zfs.calls"), c.calls);
        QJsonArray log;
        ASSERT_TRUE(engine.logAlload(journal, log));
        ASSERT_EQ(log.size(), c.records);
        if (c.records == 1) {
            const QJsonObject r = log.at(0).toObject();
            EXPECT_EQ(r.value("level").toString(), "Error");
            EXPECT_EQ(r.value("message").toString(), "##$@vxr@$##Backup failed##$@vxr@$##: "
                                                     "cannot open 'missing': dataset does not exist\n");
            EXPECT_EQ(r.value("action").toInt(), 1);
            EXPECT_EQ(r.value("state").toInt(), 3);
        }
    }
}

TEST_F(EngineOps, SnapshotThatCannotStartLeavesAnEmptyErrorText)
{
    // No zfs at all on the search path.
    qputenv("PATH", QByteArray("/nonexistent"));
    VxrClient engine;
    engine.vxrSnap("p/a");
    qputenv("PATH", m_bin.toLocal8Bit() + ":" + m_oldPath);
    HX2Journals journal;
    QJsonArray log;
    ASSERT_TRUE(engine.logAlload(journal, log));
    ASSERT_EQ(log.size(), 1);
    EXPECT_EQ(log.at(0).toObject().value("message").toString(), "##$@vxr@$##Backup failed##$@vxr@$##: ");
}

TEST_F(EngineOps, InventoryQueries)
{
    VxrClient engine;
    HX2Journals journal;
    engine.loadConfigure(journal, QJsonObject());
    EXPECT_EQ(QString::fromUtf8(QJsonDocument(engine.zfsInfo()).toJson(QJsonDocument::Compact)),
              R"({"all":5678,"used":1234})");
    EXPECT_EQ(engine.snapshots(), QStringList({"p/a@vxr_20240102030405", "p/a@s2"}));

    QJsonObject map{{"stale", 1}};
    EXPECT_TRUE(engine.storageLoad(journal, map));
    EXPECT_EQ(QString::fromUtf8(QJsonDocument(map).toJson(QJsonDocument::Compact)),
              R"({"p":{"a":{"fstype":"zfs","lv":"a","mountpoint":"/p/a","name":"p/a","vg":"p"},)"
              R"("b b":{"fstype":"zfs","lv":"b b","mountpoint":"/mnt/b b","name":"p/b b","vg":"p"}}})");
    EXPECT_EQ(journal.err(), 9999);

    VxrClient other;
    other.loadConfigure(journal, QJsonObject{{"vg", "nope"}, {"lv", "x"}});
    EXPECT_TRUE(other.zfsInfo().isEmpty());

    // No datasets: nothing runs and the totals stay as they were.
    qint64 used = 7;
    qint64 refer = 8;
    EXPECT_FALSE(engine.allUsed(used, refer));
    EXPECT_EQ(used, 7);
    EXPECT_EQ(refer, 8);
}

} // namespace
