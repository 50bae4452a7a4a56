#ifndef VXRSETTINGS_H
#define VXRSETTINGS_H

#include "vxrssh.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// The backup settings as the engine uses them: the server account and the
// periods, read together so that a worker never mixes values of two loads.
struct VxrSettings
{
    bool active = false;
    qint64 reportIntervalMs = 60;
    qint64 backupIntervalMs = 5;
    QString host;
    // Already in 1..65535 (22 otherwise).
    int port = 22;
    QString uid;
    QString pwd;

    // Host, user and password are all set.
    bool hasAccount() const { return !host.isEmpty() && !uid.isEmpty() && !pwd.isEmpty(); }
    VxrSsh::Account account() const { return VxrSsh::Account{host, port, uid, pwd}; }
};

// Everything the engine takes from the settings file.
struct VxrSettingsFile
{
    VxrSettings settings;
    int reportMinutes = 1;
    int backupMinutes = 5;
    QStringList dmpaths;
    // The daily upload times: {"hour", "minute"} objects.
    QJsonArray schedule;
    // The file's "dmpaths" as it stands, for the settings view; undefined
    // when absent.
    QJsonValue dmpathsValue;
};

namespace VxrSettingsRules {

// Reads the settings file's object: "active"; "report"."interval" in
// minutes, at least 1; "server": "host", "uid", "pwd" trimmed, "port" in
// 1..65535 else 22, "interval" in minutes, at least 5, "schedule";
// "dmpaths" as strings. A value of the wrong kind reads as 0 or empty.
VxrSettingsFile parse(const QJsonObject& file);

// The settings view of the listing command: "active" 1/0, "report",
// "server" (with the values as read, bounds applied), "dmpaths" when the
// file has it, "lastbackup" and "uploading" 1/0.
QJsonObject view(const VxrSettingsFile& file, const QJsonObject& lastBackup, bool uploading);

// The account ready for ssh, or false with the reason in *why (nothing may
// be started then): incomplete, or a user or host ssh would misread.
bool usableAccount(const VxrSettings& settings, VxrSsh::Account* account, QString* why);

} // namespace VxrSettingsRules

#endif
