#include "vxrclient.h"

#include "hx2file.h"
#include "hx2utils.h"
#include "phpaths.h"

#include <QFileInfo>

namespace {
const char* const kSettingsFile = "/kozu/etc/vxrclientisp/settings.json";
const char* const kLastBackupFile = "/kozu/etc/vxrclientisp/lastbackup.json";
const char* const kDefaultUploadLog = "/var/log/vxrclient.upload.log";
}

VxrClient::VxrClient(QObject* parent)
    : QObject(parent),
      m_settingsPath(PHPaths::resolve(QString::fromLatin1(kSettingsFile))),
      m_lastBackupPath(PHPaths::resolve(QString::fromLatin1(kLastBackupFile))),
      m_clock([] { return QDateTime::currentDateTime(); })
{
}

VxrClient::~VxrClient() = default;

void VxrClient::setClock(std::function<QDateTime()> clock)
{
    std::lock_guard<std::mutex> lock(m_clockMutex);
    m_clock = std::move(clock);
}

QDateTime VxrClient::now() const
{
    std::function<QDateTime()> clock;
    {
        std::lock_guard<std::mutex> lock(m_clockMutex);
        clock = m_clock;
    }
    return clock ? clock() : QDateTime::currentDateTime();
}

bool VxrClient::loadConfigure(HX2Journals& journal, const QJsonObject& config)
{
    Q_UNUSED(journal);
    const QString cvg = toString(config.value("vg")).trimmed();
    const QString clv = toString(config.value("lv")).trimmed();
    if (!cvg.isEmpty() && !clv.isEmpty()) {
        vg = cvg;
        lv = clv;
    } else {
        vg = QStringLiteral("vxr");
        lv = QStringLiteral("data");
    }
    datasetRoot = vg + QLatin1Char('/') + lv;
    snapPrefix = datasetRoot + QLatin1String("@vxr_");

    const QString url = toString(config.value("vxrserverurl"));
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        serverUrl = url;
    }
    const QString log = toString(config.value("uploadlog")).trimmed();
    uploadLogPath = log.isEmpty() ? PHPaths::resolve(QString::fromLatin1(kDefaultUploadLog)) : log;
    return true;
}

bool VxrClient::loadSettings(HX2Journals& journal, QJsonObject* view)
{
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        active = false;
    }

    const QJsonObject last = HX2File::readJsonObject(m_lastBackupPath);
    {
        std::lock_guard<std::mutex> lock(lastBackupMutex);
        lastBackup = last;
    }

    QJsonObject file;
    if (!HX2File::loadJson(file, m_settingsPath)) {
        journal.setErr(9991, QStringLiteral("读配置文件失败: ") + m_settingsPath);
        return true;
    }

    const QJsonObject report = file.value("report").toObject();
    const QJsonObject server = file.value("server").toObject();
    const int reportMinutes = std::max(1, toInt(report.value("interval")));
    const QString newHost = toString(server.value("host")).trimmed();
    const int readPort = toInt(server.value("port"));
    const int newPort = (readPort >= 1 && readPort <= 65535) ? readPort : 22;
    const QString newUid = toString(server.value("uid")).trimmed();
    const QString newPwd = toString(server.value("pwd")).trimmed();
    const int backupMinutes = std::max(5, toInt(server.value("interval")));
    const QJsonArray schedule = server.value("schedule").toArray();
    const QStringList newPaths = toStrings(file.value("dmpaths"), false);
    const bool newActive = toBool(file.value("active"));

    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        reportIntervalMs = qint64(reportMinutes) * 60000;
        host = newHost;
        port = newPort;
        uid = newUid;
        pwd = newPwd;
        backupIntervalMs = qint64(backupMinutes) * 60000;
    }
    {
        std::lock_guard<std::mutex> lock(dmpathsMutex);
        dmpaths = newPaths;
    }
    const QDateTime next = scheduleNext(schedule);
    {
        std::lock_guard<std::mutex> lock(scheduleMutex);
        nextSchedule = next;
        scheduleEntries = schedule;
    }
    if (newActive) {
        std::lock_guard<std::mutex> lock(settingsMutex);
        active = true;
    }

    if (view) {
        QJsonObject viewServer;
        viewServer.insert("host", newHost);
        viewServer.insert("port", newPort);
        viewServer.insert("uid", newUid);
        viewServer.insert("pwd", newPwd);
        viewServer.insert("interval", backupMinutes);
        viewServer.insert("schedule", schedule);
        QJsonObject viewReport;
        viewReport.insert("interval", reportMinutes);

        view->insert("active", newActive ? 1 : 0);
        view->insert("report", viewReport);
        view->insert("server", viewServer);
        if (file.contains("dmpaths"))
            view->insert("dmpaths", file.value("dmpaths"));
        view->insert("lastbackup", last);
        view->insert("uploading", uploading.load() ? 1 : 0);
    }
    return true;
}

bool VxrClient::settingsLoad(HX2Journals& journal, QJsonObject& view)
{
    return loadSettings(journal, &view);
}

bool VxrClient::settingsSave(HX2Journals& journal, const QJsonObject& newSettings)
{
    if (!HX2File::saveJson(m_settingsPath, newSettings, false))
        return false;
    loadSettings(journal, nullptr);
    startScheduler();
    return true;
}

bool VxrClient::start(HX2Journals& journal)
{
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        active = false;
    }
    const bool result = loadSettings(journal, nullptr);

    QByteArray log = HX2File::readAll(uploadLogPath);
    const int zero = log.indexOf('\0');
    if (zero >= 0)
        log.truncate(zero);
    const QStringList lines = QString::fromLatin1(log).split('\n', Qt::SkipEmptyParts);
    if (!lines.isEmpty()) {
        std::lock_guard<std::mutex> lock(settingsMutex);
        lastUploadTime = lines.last().left(19);
    }

    startScheduler();
    return result;
}

QDateTime VxrClient::scheduleNext(int hour, int minute) const
{
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59) {
        hour = 0;
        minute = 0;
    }
    const QDateTime current = now();
    QDateTime candidate(current.date(), QTime(hour, minute, 0, 0), Qt::LocalTime);
    if (!(current < candidate))
        candidate = candidate.addDays(1);
    return candidate;
}

QDateTime VxrClient::scheduleNext(const QJsonArray& schedule) const
{
    QDateTime result(QDate(2099, 12, 31), QTime(0, 0, 0), Qt::LocalTime);
    for (const QJsonValue& v : schedule) {
        const QJsonObject entry = v.toObject();
        const QDateTime next = scheduleNext(toInt(entry.value("hour")), toInt(entry.value("minute")));
        if (next < result)
            result = next;
    }
    return result;
}

VxrSettings VxrClient::settings() const
{
    std::lock_guard<std::mutex> lock(settingsMutex);
    VxrSettings s;
    s.active = active;
    s.reportIntervalMs = reportIntervalMs;
    s.backupIntervalMs = backupIntervalMs;
    s.host = host;
    s.port = port;
    s.uid = uid;
    s.pwd = pwd;
    s.serverUrl = serverUrl;
    return s;
}

QStringList VxrClient::dmpathsCopy() const
{
    std::lock_guard<std::mutex> lock(dmpathsMutex);
    return dmpaths;
}

QDateTime VxrClient::nextScheduleCopy() const
{
    std::lock_guard<std::mutex> lock(scheduleMutex);
    return nextSchedule;
}

QJsonObject VxrClient::lastBackupCopy() const
{
    std::lock_guard<std::mutex> lock(lastBackupMutex);
    return lastBackup;
}
