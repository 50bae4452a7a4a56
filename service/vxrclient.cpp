#include "vxrclient.h"

#include "hx2file.h"
#include "hx2utils.h"
#include "phpaths.h"
#include "vxrscheduler.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>

#include <cerrno>
#include <sys/stat.h>

namespace {
const char* const kSettingsFile = "/kozu/etc/vxrclientisp/settings.json";
const char* const kLastBackupFile = "/kozu/etc/vxrclientisp/lastbackup.json";
const char* const kRetentionFile = "/kozu/etc/vxrclientisp/retention.json";
const char* const kDefaultUploadLog = "/var/log/vxrclient.upload.log";

// Creates the missing folders of path, each readable by its owner only.
bool makeOwnerOnlyFolders(const QString& path)
{
    const QStringList parts = QDir::cleanPath(QFileInfo(path).absoluteFilePath()).split(QLatin1Char('/'));
    QString at;
    for (const QString& part : parts) {
        if (part.isEmpty())
            continue;
        at += QLatin1Char('/') + part;
        if (QFileInfo(at).isDir())
            continue;
        if (::mkdir(QFile::encodeName(at).constData(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return QFileInfo(path).isDir();
}

// Replaces the file at path with the JSON document, atomically. The
// settings hold the server's password: a new file is readable by its owner
// only (0600), an existing one keeps its mode unless that is wider, and
// folders made for it are 0700. The mode is set before any byte is
// written. False, the old file intact, when anything fails.
bool saveOwnerOnly(const QString& path, const QJsonObject& object, bool compact)
{
    const QFileInfo info(path);
    if (!makeOwnerOnlyFolders(info.absolutePath()))
        return false;
    const QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    const QFileDevice::Permissions mode = info.exists() ? (info.permissions() & ownerOnly) : ownerOnly;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(mode))
        return false;
    const QByteArray bytes = QJsonDocument(object).toJson(compact ? QJsonDocument::Compact : QJsonDocument::Indented);
    if (file.write(bytes) != bytes.size())
        return false;
    return file.commit();
}

} // namespace

VxrClient::VxrClient(QObject* parent)
    : QObject(parent),
      m_settingsPath(PHPaths::resolve(QString::fromLatin1(kSettingsFile))),
      m_lastBackupPath(PHPaths::resolve(QString::fromLatin1(kLastBackupFile))),
      m_retentionPath(PHPaths::resolve(QString::fromLatin1(kRetentionFile))),
      m_clock([] { return QDateTime::currentDateTime(); }),
      m_programs(std::make_shared<VxrPrograms>())
{
}

VxrClient::~VxrClient() = default;

void VxrClient::setClock(std::function<QDateTime()> clock)
{
    std::lock_guard<std::mutex> lock(m_seamMutex);
    m_clock = std::move(clock);
}

QDateTime VxrClient::now() const
{
    std::function<QDateTime()> clock;
    {
        std::lock_guard<std::mutex> lock(m_seamMutex);
        clock = m_clock;
    }
    return clock ? clock() : QDateTime::currentDateTime();
}

void VxrClient::setPrograms(std::shared_ptr<VxrPrograms> programs)
{
    std::lock_guard<std::mutex> lock(m_seamMutex);
    m_programs = programs ? std::move(programs) : std::make_shared<VxrPrograms>();
}

std::shared_ptr<VxrPrograms> VxrClient::programs() const
{
    std::lock_guard<std::mutex> lock(m_seamMutex);
    return m_programs;
}

bool VxrClient::loadConfigure(HX2Journals& journal, const QJsonObject& config)
{
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
        m_settings.serverUrl = url;
    }
    httpPool.setCaFile(toString(config.value("vxrservercafile")).trimmed());
    const QString log = toString(config.value("uploadlog")).trimmed();
    uploadLogPath = log.isEmpty() ? PHPaths::resolve(QString::fromLatin1(kDefaultUploadLog)) : log;

    // A policy that cannot be read is never guessed at: it would decide
    // which snapshots are destroyed.
    QString why;
    if (!VxrRetention::parsePolicy(config.value("retention"), &retention, &why)) {
        journal.setErr(9994, why);
        return false;
    }
    return true;
}

bool VxrClient::loadSettings(HX2Journals& journal, QJsonObject* view)
{
    readSettings(journal, view);
    return true;
}

bool VxrClient::readSettings(HX2Journals& journal, QJsonObject* view)
{
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        m_settings.active = false;
    }

    const QJsonObject last = HX2File::readJsonObject(m_lastBackupPath);
    {
        std::lock_guard<std::mutex> lock(lastBackupMutex);
        lastBackup = last;
    }

    QJsonObject file;
    if (!HX2File::loadJson(file, m_settingsPath)) {
        journal.setErr(9991, QStringLiteral("读配置文件失败: ") + m_settingsPath);
        return false;
    }
    VxrSettingsFile read = VxrSettingsRules::parse(file);
    {
        std::lock_guard<std::mutex> lock(dmpathsMutex);
        dmpaths = read.dmpaths;
    }
    const QDateTime next = scheduleNext(read.schedule);
    {
        std::lock_guard<std::mutex> lock(scheduleMutex);
        nextSchedule = next;
        scheduleEntries = read.schedule;
    }
    {
        // Switched on last, once everything it governs is in place.
        std::lock_guard<std::mutex> lock(settingsMutex);
        read.settings.serverUrl = m_settings.serverUrl;
        m_settings = read.settings;
    }
    if (view)
        *view = VxrSettingsRules::view(read, last, uploading.load());
    return true;
}

bool VxrClient::settingsLoad(HX2Journals& journal, QJsonObject& view)
{
    return readSettings(journal, &view);
}

bool VxrClient::settingsSave(HX2Journals& journal, const QJsonObject& newSettings)
{
    if (!saveOwnerOnly(m_settingsPath, newSettings, false))
        return false;
    loadSettings(journal, nullptr);
    startScheduler();
    return true;
}

bool VxrClient::start(HX2Journals& journal)
{
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        m_settings.active = false;
    }
    const bool result = loadSettings(journal, nullptr);

    QByteArray log = HX2File::readAll(uploadLogPath);
    const int zero = log.indexOf('\0');
    if (zero >= 0)
        log.truncate(zero);
    const QStringList lines = QString::fromLatin1(log).split('\n', Qt::SkipEmptyParts);
    if (!lines.isEmpty()) {
        std::lock_guard<std::mutex> lock(settingsMutex);
        m_lastUploadTime = lines.last().left(19);
    }

    startScheduler();
    return result;
}

QDateTime VxrClient::scheduleNext(int hour, int minute) const
{
    return VxrSchedule::nextOccurrence(now(), hour, minute);
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
    return m_settings;
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

QString VxrClient::lastUploadTimeCopy() const
{
    std::lock_guard<std::mutex> lock(settingsMutex);
    return m_lastUploadTime;
}

bool VxrClient::usableAccount(const VxrSettings& s, VxrSsh::Account* account, QString* why)
{
    if (!s.hasAccount()) {
        *why = QStringLiteral("no complete account");
        return false;
    }
    *account = s.account();
    *why = VxrSsh::destinationProblem(*account);
    return why->isEmpty();
}

QString VxrClient::recordedBase(const QString& dataset, QStringList* serverHeld) const
{
    QJsonObject entry;
    {
        std::lock_guard<std::mutex> lock(retentionMutex);
        entry = HX2File::readJsonObject(m_retentionPath).value(dataset).toObject();
    }
    if (serverHeld)
        *serverHeld = toStrings(entry.value("serverHeld"));
    return toString(entry.value("base"));
}

bool VxrClient::recordBase(const QString& dataset, const QString& base, const QStringList& serverHeld)
{
    std::lock_guard<std::mutex> lock(retentionMutex);
    QJsonObject all = HX2File::readJsonObject(m_retentionPath);
    all.insert(dataset, QJsonObject{{"base", base}, {"serverHeld", QJsonArray::fromStringList(serverHeld)}});
    return saveOwnerOnly(m_retentionPath, all, false);
}

void VxrClient::recordLastBackup(int state)
{
    const QString time = now().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    QJsonObject record;
    {
        std::lock_guard<std::mutex> lock(lastBackupMutex);
        lastBackup.insert("time", time);
        lastBackup.insert("result", state);
        record = lastBackup;
    }
    saveOwnerOnly(m_lastBackupPath, record, true);
}
