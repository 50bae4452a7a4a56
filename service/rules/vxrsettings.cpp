#include "vxrsettings.h"

#include "hx2utils.h"

#include <algorithm>

namespace VxrSettingsRules {

VxrSettingsFile parse(const QJsonObject& file)
{
    const QJsonObject report = file.value("report").toObject();
    const QJsonObject server = file.value("server").toObject();
    VxrSettingsFile out;
    out.reportMinutes = std::max(1, toInt(report.value("interval")));
    out.backupMinutes = std::max(5, toInt(server.value("interval")));
    VxrSettings& s = out.settings;
    s.active = toBool(file.value("active"));
    s.reportIntervalMs = qint64(out.reportMinutes) * 60000;
    s.backupIntervalMs = qint64(out.backupMinutes) * 60000;
    s.host = toString(server.value("host")).trimmed();
    s.port = VxrSsh::validPort(toInt(server.value("port")));
    s.uid = toString(server.value("uid")).trimmed();
    s.pwd = toString(server.value("pwd")).trimmed();
    out.schedule = server.value("schedule").toArray();
    out.dmpaths = toStrings(file.value("dmpaths"), false);
    out.dmpathsValue = file.contains("dmpaths") ? file.value("dmpaths") : QJsonValue(QJsonValue::Undefined);
    return out;
}

QJsonObject view(const VxrSettingsFile& file, const QJsonObject& lastBackup, bool uploading)
{
    const VxrSettings& s = file.settings;
    QJsonObject server;
    server.insert("host", s.host);
    server.insert("port", s.port);
    server.insert("uid", s.uid);
    server.insert("pwd", s.pwd);
    server.insert("interval", file.backupMinutes);
    server.insert("schedule", file.schedule);
    QJsonObject report;
    report.insert("interval", file.reportMinutes);

    QJsonObject out;
    out.insert("active", s.active ? 1 : 0);
    out.insert("report", report);
    out.insert("server", server);
    if (!file.dmpathsValue.isUndefined())
        out.insert("dmpaths", file.dmpathsValue);
    out.insert("lastbackup", lastBackup);
    out.insert("uploading", uploading ? 1 : 0);
    return out;
}

bool usableAccount(const VxrSettings& s, VxrSsh::Account* account, QString* why)
{
    if (!s.hasAccount()) {
        *why = QStringLiteral("no complete account");
        return false;
    }
    *account = s.account();
    *why = VxrSsh::destinationProblem(*account);
    return why->isEmpty();
}

} // namespace VxrSettingsRules
