#include "hx2file.h"
#include "hx2journals.h"
#include "phpaths.h"
#include "vxrclient.h"
#include "vxrengine.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include "../../printqt.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>

namespace {

QJsonObject parse(const char* text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

QDateTime local(int y, int mo, int d, int h, int mi, int s = 0, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::LocalTime);
}

// Engine with its files under a fresh temporary root. The scheduler counts
// as running so that saving settings never starts a thread that would
// outlive the engine of one test.
class SettingsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid());
        PHPaths::setRoot(m_root.path());
        engine = std::make_unique<VxrClient>();
        engine->units().scheduler.running() = true;
        settingsFile = m_root.path() + "/kozu/etc/vxrclientisp/settings.json";
        lastBackupFile = m_root.path() + "/kozu/etc/vxrclientisp/lastbackup.json";
        ASSERT_EQ(engine->units().settings.settingsPath(), settingsFile);
        ASSERT_EQ(engine->units().settings.lastBackupPath(), lastBackupFile);
    }
    void TearDown() override
    {
        engine.reset();
        PHPaths::setRoot(QString());
    }

    void writeSettings(const QByteArray& text)
    {
        QDir().mkpath(QFileInfo(settingsFile).path());
        QFile f(settingsFile);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    }
    void writeLastBackup(const QJsonObject& obj)
    {
        ASSERT_TRUE(HX2File::saveJson(lastBackupFile, obj, true));
    }
    QJsonObject load(HX2Journals& j)
    {
        QJsonObject view;
        EXPECT_TRUE(engine->settingsLoad(j, view));
        return view;
    }

    QTemporaryDir m_root;
    std::unique_ptr<VxrClient> engine;
    QString settingsFile;
    QString lastBackupFile;
};

} // namespace

TEST_F(SettingsTest, ConfigurationDefaultsAndFallbacks)
{
    const QString defaultLog = m_root.path() + "/var/log/vxrclient.upload.log";
    struct Case
    {
        const char* config;
        const char* vg;
        const char* lv;
        const char* serverUrl;
        QString uploadLog;
    };
    const Case cases[] = {
        {"{}", "vxr", "data", "", defaultLog},
        {R"({"vg": "tank"})", "vxr", "data", "", defaultLog},
        {R"({"lv": "home"})", "vxr", "data", "", defaultLog},
        {R"({"vg": "  ", "lv": "home"})", "vxr", "data", "", defaultLog},
        {R"({"vg": 5, "lv": "home"})", "5", "home", "", defaultLog},
        {R"({"vg": " tank ", "lv": " home\t", "vxrserverurl": " http://m/x ", "uploadlog": "   "})", "tank", "home",
         " http://m/x ", defaultLog},
        {R"({"vg": "p", "lv": "d", "uploadlog": " /tmp/up.log "})", "p", "d", "", "/tmp/up.log"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config);
        HX2Journals j;
        EXPECT_TRUE(engine->loadConfigure(j, parse(c.config)));
        EXPECT_EQ(j.err(), 9999); // the journal is left alone
        EXPECT_EQ(engine->units().config.vg, c.vg);
        EXPECT_EQ(engine->units().config.lv, c.lv);
        EXPECT_EQ(engine->units().config.datasetRoot, QString(c.vg) + "/" + c.lv);
        EXPECT_EQ(engine->units().config.snapPrefix, QString(c.vg) + "/" + c.lv + "@vxr_");
        EXPECT_EQ(engine->units().config.serverUrl, QString(c.serverUrl));
        EXPECT_EQ(engine->units().config.uploadLogPath, c.uploadLog);
    }
}

TEST_F(SettingsTest, SettingsBoundsAndDefaults)
{
    struct Case
    {
        const char* settings;
        bool active;
        qint64 reportMs;
        qint64 backupMs;
        int port;
        const char* host;
        const char* uid;
        const char* pwd;
    };
    const Case cases[] = {
        {"{}", false, 60000, 300000, 22, "", "", ""},
        {R"({"active": true, "report": {"interval": 0}, "server": {"interval": 3}})", true, 60000, 300000, 22, "",
         "", ""},
        {R"({"active": "yes", "report": {"interval": 7}, "server": {"interval": 10, "port": 65535}})", true,
         420000, 600000, 65535, "", "", ""},
        {R"({"active": 1, "server": {"port": 1, "interval": 5}})", true, 60000, 300000, 1, "", "", ""},
        {R"({"active": 0, "server": {"port": 0}})", false, 60000, 300000, 22, "", "", ""},
        {R"({"active": "0", "server": {"port": 65536}})", false, 60000, 300000, 22, "", "", ""},
        {R"({"active": "no", "server": {"port": "ssh"}})", false, 60000, 300000, 22, "", "", ""},
        {R"({"server": {"port": "2222"}})", false, 60000, 300000, 2222, "", "", ""},
        {R"({"server": {"port": "0x50"}})", false, 60000, 300000, 80, "", "", ""},
        {R"({"server": {"port": -22}})", false, 60000, 300000, 22, "", "", ""},
        {R"({"report": {"interval": "15"}, "server": {"interval": 4.9}})", false, 900000, 300000, 22, "", "", ""},
        {R"({"report": 5, "server": "x"})", false, 60000, 300000, 22, "", "", ""},
        {R"({"server": {"host": " backup.example ", "uid": " user ", "pwd": " p w "}})", false, 60000, 300000, 22,
         "backup.example", "user", "p w"},
        {"[1, 2]", false, 60000, 300000, 22, "", "", ""}, // an array reads as an empty object
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        writeSettings(c.settings);
        HX2Journals j;
        const QJsonObject view = load(j);
        EXPECT_EQ(j.err(), 9999);
        const VxrSettings s = engine->units().settings.settings();
        EXPECT_EQ(s.active, c.active);
        EXPECT_EQ(s.reportIntervalMs, c.reportMs);
        EXPECT_EQ(s.backupIntervalMs, c.backupMs);
        EXPECT_EQ(s.port, c.port);
        EXPECT_EQ(s.host, c.host);
        EXPECT_EQ(s.uid, c.uid);
        EXPECT_EQ(s.pwd, c.pwd);
        // The view shows the same values, the periods in minutes.
        EXPECT_EQ(view.value("active").toInt(-1), c.active ? 1 : 0);
        EXPECT_EQ(view.value("report").toObject().value("interval").toInt(), c.reportMs / 60000);
        const QJsonObject server = view.value("server").toObject();
        EXPECT_EQ(server.value("interval").toInt(), c.backupMs / 60000);
        EXPECT_EQ(server.value("port").toInt(), c.port);
        EXPECT_EQ(server.value("host").toString(), c.host);
        EXPECT_EQ(server.value("uid").toString(), c.uid);
        EXPECT_EQ(server.value("pwd").toString(), c.pwd);
        EXPECT_TRUE(server.value("schedule").isArray());
    }
}

TEST_F(SettingsTest, UnreadableSettingsSwitchBackupOffAndKeepTheRest)
{
    writeSettings(R"({"active": true, "report": {"interval": 3},
                      "server": {"host": "h", "port": 2022, "uid": "u", "pwd": "p", "interval": 9,
                                 "schedule": [{"hour": 2, "minute": 30}]},
                      "dmpaths": ["tank/a"]})");
    HX2Journals first;
    load(first);
    ASSERT_TRUE(engine->units().settings.settings().active);
    const QDateTime scheduled = engine->units().scheduler.nextSchedule();

    const QByteArray broken[] = {"{\"active\": true,", "", "not json"};
    for (const QByteArray& text : broken) {
        SCOPED_TRACE(text.toStdString());
        writeSettings(text);
        writeLastBackup(QJsonObject{{"time", "2024-05-01 03:00:00"}, {"result", 9}});
        HX2Journals j;
        QJsonObject view{{"untouched", true}};
        engine->loadSettings(j, &view);
        EXPECT_EQ(j.err(), 9991);
        EXPECT_EQ(j.errmsg(), QString::fromUtf8("读配置文件失败: ") + settingsFile);
        EXPECT_EQ(view, (QJsonObject{{"untouched", true}}));
        const VxrSettings s = engine->units().settings.settings();
        EXPECT_FALSE(s.active);
        EXPECT_EQ(s.host, "h");
        EXPECT_EQ(s.port, 2022);
        EXPECT_EQ(s.pwd, "p");
        EXPECT_EQ(s.reportIntervalMs, 180000);
        EXPECT_EQ(s.backupIntervalMs, 540000);
        EXPECT_EQ(engine->units().settings.dmpaths(), QStringList{"tank/a"});
        EXPECT_EQ(engine->units().scheduler.nextSchedule(), scheduled);
        // The last-backup record is read whatever happens to the settings.
        EXPECT_EQ(engine->units().settings.lastBackup().value("result").toInt(), 9);
        // The settings command reports the failure instead of an empty view.
        HX2Journals command;
        QJsonObject shown;
        EXPECT_FALSE(engine->settingsLoad(command, shown));
        EXPECT_EQ(command.err(), 9991);
        EXPECT_TRUE(shown.isEmpty());
    }

    QFile::remove(settingsFile);
    HX2Journals j;
    engine->loadSettings(j, nullptr);
    EXPECT_EQ(j.err(), 9991);
    EXPECT_FALSE(engine->units().settings.settings().active);
}

TEST_F(SettingsTest, ViewContents)
{
    const QByteArray text = R"({"active": true, "extra": "ignored",
        "report": {"interval": 2},
        "server": {"host": "h", "port": 22, "uid": "u", "pwd": "p", "interval": 6,
                   "schedule": [{"hour": 2, "minute": 30}, {"hour": 14, "minute": 0}]},
        "dmpaths": ["tank/a", "", "tank/b"]})";
    writeSettings(text);

    HX2Journals j;
    QJsonObject view = load(j);
    const QJsonObject expected{
        {"active", 1},
        {"report", QJsonObject{{"interval", 2}}},
        {"server", QJsonObject{{"host", "h"},
                               {"port", 22},
                               {"uid", "u"},
                               {"pwd", "p"},
                               {"interval", 6},
                               {"schedule", QJsonArray{QJsonObject{{"hour", 2}, {"minute", 30}},
                                                       QJsonObject{{"hour", 14}, {"minute", 0}}}}}},
        {"dmpaths", QJsonArray{"tank/a", "", "tank/b"}},
        {"lastbackup", QJsonObject()},
        {"uploading", 0},
    };
    EXPECT_EQ(view, expected);
    EXPECT_EQ(engine->units().settings.dmpaths(), (QStringList{"tank/a", "", "tank/b"})); // empty entries kept

    // An upload in progress and a last-backup record show in the view.
    const QJsonObject last{{"time", "2024-05-01 02:45:10"}, {"result", 8}};
    writeLastBackup(last);
    engine->units().worker.uploading() = true;
    view = load(j);
    EXPECT_EQ(view.value("uploading").toInt(), 1);
    EXPECT_EQ(view.value("lastbackup").toObject(), last);
    EXPECT_EQ(engine->units().settings.lastBackup(), last);
    engine->units().worker.uploading() = false;

    // Without "dmpaths" the key is absent and the list empties; a value of
    // another kind is shown as stored and gives no datasets.
    writeSettings(R"({"server": {}})");
    view = load(j);
    EXPECT_FALSE(view.contains("dmpaths"));
    EXPECT_TRUE(engine->units().settings.dmpaths().isEmpty());
    EXPECT_EQ(view.value("server").toObject().value("schedule").toArray(), QJsonArray());
    EXPECT_EQ(view.value("lastbackup").toObject(), last);

    writeSettings(R"({"dmpaths": "tank/a"})");
    view = load(j);
    EXPECT_EQ(view.value("dmpaths").toString(), "tank/a");
    EXPECT_TRUE(engine->units().settings.dmpaths().isEmpty());

    // An unreadable last-backup file reads as an empty record.
    QFile f(lastBackupFile);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("{broken");
    f.close();
    view = load(j);
    EXPECT_EQ(view.value("lastbackup").toObject(), QJsonObject());
    EXPECT_TRUE(engine->units().settings.lastBackup().isEmpty());
}

TEST_F(SettingsTest, SaveWritesWholeIndentedFileAndReloads)
{
    writeSettings(R"({"active": false, "old": 1, "dmpaths": ["tank/a"]})");
    HX2Journals first;
    load(first);
    ASSERT_EQ(engine->units().settings.dmpaths(), QStringList{"tank/a"});

    const QJsonObject next = parse(R"({"active": true, "server": {"host": " h2 ", "port": 99999, "interval": 1}})");
    HX2Journals j;
    ASSERT_TRUE(engine->settingsSave(j, next));
    EXPECT_EQ(j.err(), 9999);
    // Stored as given (no merge, no repair), indented.
    EXPECT_EQ(HX2File::readAll(settingsFile), QJsonDocument(next).toJson(QJsonDocument::Indented));
    EXPECT_EQ(HX2File::readJsonObject(settingsFile), next);
    // Read back with the bounds applied.
    const VxrSettings s = engine->units().settings.settings();
    EXPECT_TRUE(s.active);
    EXPECT_EQ(s.host, "h2");
    EXPECT_EQ(s.port, 22);
    EXPECT_EQ(s.backupIntervalMs, 300000);
    EXPECT_TRUE(engine->units().settings.dmpaths().isEmpty()); // saved without "dmpaths"
    EXPECT_TRUE(engine->units().scheduler.running().load());
    EXPECT_EQ(QDir(QFileInfo(settingsFile).path()).entryList(QDir::Files | QDir::Hidden),
              QStringList{"settings.json"});
}

// The settings hold the server's password: whatever the umask, the files
// the service writes there are its owner's alone, and so are the folders
// it makes; an existing file keeps a mode that is narrower already.
TEST_F(SettingsTest, SavedFilesAreTheOwnersOnly)
{
    const mode_t oldMask = ::umask(022);
    const QString dir = QFileInfo(settingsFile).path();
    ASSERT_FALSE(QFileInfo::exists(dir));
    HX2Journals j;
    ASSERT_TRUE(engine->settingsSave(j, parse(R"({"active": true, "dmpaths": ["x/y"]})")));
    EXPECT_EQ(engine->units().settings.dmpaths(), QStringList{"x/y"});
    EXPECT_TRUE(engine->units().settings.settings().active);
    auto mode = [](const QString& path) {
        struct stat st {};
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
    };
    EXPECT_EQ(mode(settingsFile), 0600);
    EXPECT_EQ(mode(dir), 0700);
    EXPECT_EQ(mode(QFileInfo(dir).path()), 0700) << "every folder made for it";

    struct Case { int before; int after; };
    const Case cases[] = {{0644, 0600}, {0666, 0600}, {0640, 0600}, {0600, 0600}, {0400, 0400}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before);
        ASSERT_EQ(::chmod(QFile::encodeName(settingsFile).constData(), c.before), 0);
        ASSERT_TRUE(engine->settingsSave(j, parse(R"({"active": true})")));
        EXPECT_EQ(mode(settingsFile), c.after);
    }
    ::umask(oldMask);
}

TEST_F(SettingsTest, FailedSaveKeepsFileSettingsAndJournal)
{
    const QByteArray old = R"({"active": true, "server": {"host": "old"}, "dmpaths": ["tank/a"]})";
    writeSettings(old);
    HX2Journals first;
    load(first);

    // The disk fills up part-way through the new file.
    const QJsonObject big{{"active", false}, {"pad", QString(512 * 1024, 'x')}};
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit lim = saved;
    lim.rlim_cur = 4096;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    HX2Journals j;
    j.setErr(1234, "before");
    const bool ok = engine->settingsSave(j, big);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(ok);
    EXPECT_EQ(j.err(), 1234);
    EXPECT_EQ(j.errmsg(), "before");
    EXPECT_EQ(HX2File::readAll(settingsFile), old);
    EXPECT_TRUE(engine->units().settings.settings().active);
    EXPECT_EQ(engine->units().settings.settings().host, "old");
    EXPECT_EQ(QDir(QFileInfo(settingsFile).path()).entryList(QDir::Files | QDir::Hidden),
              QStringList{"settings.json"});

    // A reload afterwards still finds the old settings.
    HX2Journals again;
    const QJsonObject view = load(again);
    EXPECT_EQ(again.err(), 9999);
    EXPECT_EQ(view.value("server").toObject().value("host").toString(), "old");
}

TEST_F(SettingsTest, SnapshotNeverMixesTwoLoads)
{
    const QJsonObject a = parse(R"({"active": true, "report": {"interval": 2},
        "server": {"host": "ha", "port": 1001, "uid": "ua", "pwd": "pa", "interval": 6}})");
    const QJsonObject b = parse(R"({"active": true, "report": {"interval": 3},
        "server": {"host": "hb", "port": 1002, "uid": "ub", "pwd": "pb", "interval": 7}})");
    std::atomic<bool> done{false};
    std::atomic<int> mixed{0};
    std::atomic<int> reads{0};
    std::thread loader([&] {
        for (int i = 0; i < 300; ++i) {
            ASSERT_TRUE(HX2File::saveJson(settingsFile, i % 2 ? a : b, false));
            HX2Journals j;
            engine->loadSettings(j, nullptr);
        }
        done = true;
    });
    std::thread reader([&] {
        while (!done.load()) {
            const VxrSettings s = engine->units().settings.settings();
            ++reads;
            if (s.host.isEmpty())
                continue; // before the first load
            const QString tag = s.host.mid(1);
            const bool same = s.uid == "u" + tag && s.pwd == "p" + tag
                              && s.port == (tag == "a" ? 1001 : 1002)
                              && s.reportIntervalMs == (tag == "a" ? 120000 : 180000)
                              && s.backupIntervalMs == (tag == "a" ? 360000 : 420000);
            if (!same)
                ++mixed;
        }
    });
    loader.join();
    reader.join();
    EXPECT_EQ(mixed.load(), 0);
    EXPECT_GT(reads.load(), 0);
}

TEST_F(SettingsTest, ScheduleNextWithInjectedClock)
{
    struct Case
    {
        const char* name;
        QDateTime now;
        const char* schedule;
        QDateTime expected;
    };
    const Case cases[] = {
        {"later today", local(2024, 5, 1, 1, 0), R"([{"hour": 2, "minute": 30}])", local(2024, 5, 1, 2, 30)},
        {"earliest of two", local(2024, 5, 1, 10, 0), R"([{"hour": 2, "minute": 30}, {"hour": 14, "minute": 0}])",
         local(2024, 5, 1, 14, 0)},
        {"order does not matter", local(2024, 5, 1, 10, 0),
         R"([{"hour": 14, "minute": 0}, {"hour": 2, "minute": 30}])", local(2024, 5, 1, 14, 0)},
        {"both passed", local(2024, 5, 1, 15, 0), R"([{"hour": 2, "minute": 30}, {"hour": 14, "minute": 0}])",
         local(2024, 5, 2, 2, 30)},
        {"empty schedule", local(2024, 5, 1, 1, 0), "[]", local(2099, 12, 31, 0, 0)},
        {"hour 24 is midnight", local(2024, 5, 1, 1, 0), R"([{"hour": 24, "minute": 0}])", local(2024, 5, 2, 0, 0)},
        {"minute 60 is midnight", local(2024, 5, 1, 1, 0), R"([{"hour": 5, "minute": 60}])",
         local(2024, 5, 2, 0, 0)},
        {"negative hour is midnight", local(2024, 5, 1, 1, 0), R"([{"hour": -1, "minute": 10}])",
         local(2024, 5, 2, 0, 0)},
        {"missing keys are midnight", local(2024, 5, 1, 1, 0), R"([{}])", local(2024, 5, 2, 0, 0)},
        {"exactly now rolls to tomorrow", local(2024, 5, 1, 2, 30), R"([{"hour": 2, "minute": 30}])",
         local(2024, 5, 2, 2, 30)},
        {"one millisecond before", local(2024, 5, 1, 2, 29, 59, 999), R"([{"hour": 2, "minute": 30}])",
         local(2024, 5, 1, 2, 30)},
        {"text numbers", local(2024, 5, 1, 1, 0), R"([{"hour": "3", "minute": "15"}])", local(2024, 5, 1, 3, 15)},
        {"year end", local(2024, 12, 31, 23, 30), R"([{"hour": 1, "minute": 0}])", local(2025, 1, 1, 1, 0)},
        {"midnight at midnight", local(2024, 5, 1, 0, 0), R"([{"hour": 0, "minute": 0}])",
         local(2024, 5, 2, 0, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QDateTime now = c.now;
        engine->setClock([now] { return now; });
        const QJsonArray schedule = QJsonDocument::fromJson(c.schedule).array();
        EXPECT_EQ(engine->scheduleNext(schedule), c.expected);

        // A settings load sets nextSchedule the same way.
        writeSettings("{\"server\": {\"schedule\": " + QByteArray(c.schedule) + "}}");
        HX2Journals j;
        engine->loadSettings(j, nullptr);
        EXPECT_EQ(engine->units().scheduler.nextSchedule(), c.expected);
    }

    engine->setClock([] { return local(2024, 5, 1, 1, 0); });
    EXPECT_EQ(engine->scheduleNext(2, 30), local(2024, 5, 1, 2, 30));
    EXPECT_EQ(engine->scheduleNext(0, 59), local(2024, 5, 2, 0, 59));
    EXPECT_EQ(engine->scheduleNext(23, 60), local(2024, 5, 2, 0, 0));
}

TEST_F(SettingsTest, StartLoadsSettingsAndTheLastUploadTime)
{
    HX2Journals cj;
    engine->loadConfigure(cj, QJsonObject{{"uploadlog", m_root.filePath("up.log")}});
    writeSettings(R"({"active": true})");
    QFile log(m_root.filePath("up.log"));
    ASSERT_TRUE(log.open(QIODevice::WriteOnly));
    log.write("2024-05-01 02:30:05 first\n2024-05-02 02:30:07 second line\n\n");
    log.write(QByteArray("2024-05-03 02:30:09 after a zero byte\n").prepend('\0'));
    log.close();

    HX2Journals j;
    engine->start(j);
    EXPECT_EQ(j.err(), 9999);
    EXPECT_TRUE(engine->units().settings.settings().active);
    EXPECT_EQ(engine->units().settings.lastUploadTime(), "2024-05-02 02:30:07");

    // Without a settings file the service still starts, with backup off.
    QFile::remove(settingsFile);
    HX2Journals j2;
    engine->start(j2);
    EXPECT_EQ(j2.err(), 9991);
    EXPECT_FALSE(engine->units().settings.settings().active);
}
