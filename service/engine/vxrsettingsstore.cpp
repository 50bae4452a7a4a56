#include "vxrsettingsstore.h"

#include "hx2file.h"
#include "hx2utils.h"
#include "phpaths.h"
#include "vxrfiles.h"

namespace {
const char* const kSettingsFile = "/kozu/etc/vxrclientisp/settings.json";
const char* const kLastBackupFile = "/kozu/etc/vxrclientisp/lastbackup.json";
} // namespace

VxrSettingsStore::VxrSettingsStore()
    : m_settingsPath(PHPaths::resolve(QString::fromLatin1(kSettingsFile))),
      m_lastBackupPath(PHPaths::resolve(QString::fromLatin1(kLastBackupFile)))
{
}

bool VxrSettingsStore::read(HX2Journals& journal, VxrSettingsFile* file)
{
    {
        HX2MutexLock lock(settingsMutex);
        m_settings.active = false;
    }
    const QJsonObject last = HX2File::readJsonObject(m_lastBackupPath);
    {
        HX2MutexLock lock(lastBackupMutex);
        m_lastBackup = last;
    }
    QJsonObject object;
    if (!HX2File::loadJson(object, m_settingsPath)) {
        journal.setErr(9991, QStringLiteral("读配置文件失败: ") + m_settingsPath);
        return false;
    }
    *file = VxrSettingsRules::parse(object);
    return true;
}

void VxrSettingsStore::apply(const VxrSettingsFile& file)
{
    {
        HX2MutexLock lock(dmpathsMutex);
        m_dmpaths = file.dmpaths;
    }
    HX2MutexLock lock(settingsMutex);
    m_settings = file.settings;
}

bool VxrSettingsStore::save(const QJsonObject& settings)
{
    return VxrFiles::saveOwnerOnly(m_settingsPath, settings, false);
}

VxrSettings VxrSettingsStore::settings() const
{
    HX2MutexLock lock(settingsMutex);
    return m_settings;
}

QStringList VxrSettingsStore::dmpaths() const
{
    HX2MutexLock lock(dmpathsMutex);
    return m_dmpaths;
}

QJsonObject VxrSettingsStore::lastBackup() const
{
    HX2MutexLock lock(lastBackupMutex);
    return m_lastBackup;
}

void VxrSettingsStore::recordLastBackup(int state, const QDateTime& time)
{
    QJsonObject record;
    {
        HX2MutexLock lock(lastBackupMutex);
        m_lastBackup.insert("time", time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
        m_lastBackup.insert("result", state);
        record = m_lastBackup;
    }
    VxrFiles::saveOwnerOnly(m_lastBackupPath, record, true);
}

QString VxrSettingsStore::lastUploadTime() const
{
    HX2MutexLock lock(settingsMutex);
    return m_lastUploadTime;
}

void VxrSettingsStore::setLastUploadTime(const QString& time)
{
    HX2MutexLock lock(settingsMutex);
    m_lastUploadTime = time;
}

void VxrSettingsStore::readUploadLog(const QString& path)
{
    const QString log = QString::fromLatin1(beforeZero(HX2File::readAll(path)));
    const QStringList lines = log.split('\n', Qt::SkipEmptyParts);
    if (!lines.isEmpty())
        setLastUploadTime(lines.last().left(19));
}
