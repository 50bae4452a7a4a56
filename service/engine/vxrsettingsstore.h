#ifndef VXRSETTINGSSTORE_H
#define VXRSETTINGSSTORE_H

#include "hx2journals.h"
#include "hx2mutex.h"
#include "vxrsettings.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// The backup settings and the records the engine keeps beside them: the
// settings file and what was last read from it, the last-backup file and
// the time of the last on-demand pass. Each has its lock; no call holds two.
// Any thread.
class VxrSettingsStore
{
public:
    VxrSettingsStore();

    // Switches backup off, then reloads the last-backup record (an
    // unreadable file gives an empty one) and reads the settings file into
    // *file. False, with 9991 "读配置文件失败: " and the path in the journal,
    // when the settings file cannot be read; backup then stays off.
    bool read(HX2Journals& journal, VxrSettingsFile* file);
    // Makes what read() gave the engine's: the datasets first, the account,
    // periods and switch last, so that a worker that sees backup on finds
    // everything it governs in place.
    void apply(const VxrSettingsFile& file);
    // Writes the settings file whole (indented, readable by its owner
    // only); false, nothing changed, when it cannot be written.
    bool save(const QJsonObject& settings);

    VxrSettings settings() const;
    QStringList dmpaths() const;
    QJsonObject lastBackup() const;
    // Records an upload task's outcome (a state of the operation log) at
    // time, in memory and in the last-backup file.
    void recordLastBackup(int state, const QDateTime& time);

    // "yyyy-MM-dd HH:mm:ss" of the last on-demand pass; empty before any.
    QString lastUploadTime() const;
    void setLastUploadTime(const QString& time);
    // Takes the last upload time from the upload log at path: the first 19
    // characters of its last non-empty line (text up to a zero byte, read
    // as Latin-1). A missing or empty log changes nothing.
    void readUploadLog(const QString& path);

    // The files, re-rooted as every production path.
    QString settingsPath() const { return m_settingsPath; }
    QString lastBackupPath() const { return m_lastBackupPath; }

private:
    const QString m_settingsPath;
    const QString m_lastBackupPath;

    mutable HX2Mutex settingsMutex;
    VxrSettings m_settings HX2_GUARDED_BY(settingsMutex);
    QString m_lastUploadTime HX2_GUARDED_BY(settingsMutex);

    mutable HX2Mutex dmpathsMutex;
    QStringList m_dmpaths HX2_GUARDED_BY(dmpathsMutex);

    mutable HX2Mutex lastBackupMutex;
    QJsonObject m_lastBackup HX2_GUARDED_BY(lastBackupMutex);
};

#endif
