#include "phsystem.h"

#include <QFile>
#include <QList>

namespace {

QByteArray readSmall(const char* path)
{
    QFile f(QString::fromLatin1(path));
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    // These files hold one short line; a bound keeps a strange one harmless.
    return f.read(4096);
}

bool isPlaceholder(const QByteArray& serial)
{
    static const char* const known[] = {
        "to be filled by o.e.m.", "not specified", "default string", "system serial number",
        "not applicable", "none", "n/a", "0123456789", "serial",
    };
    const QByteArray lower = serial.toLower();
    for (const char* k : known) {
        if (lower == k)
            return true;
    }
    for (const char c : serial) {
        if (c != '0' && c != ' ' && c != '-' && c != 'f' && c != 'F')
            return false;
    }
    return true;
}

} // namespace

PHSystem::PHSystem(QObject* parent) : QObject(parent) {}
PHSystem::~PHSystem() = default;

QJsonObject PHSystem::parseUptime(const QByteArray& text)
{
    const QList<QByteArray> fields = text.simplified().split(' ');
    bool ok = false;
    const double up = fields.value(0).toDouble(&ok);
    if (!ok || up < 0 || up > 1e12)
        return QJsonObject();
    double idle = 0;
    if (fields.size() > 1) {
        idle = fields.at(1).toDouble(&ok);
        if (!ok || idle < 0)
            idle = 0;
    }
    const qint64 seconds = static_cast<qint64>(up);
    const qint64 days = seconds / 86400;
    const int h = static_cast<int>(seconds % 86400 / 3600);
    const int m = static_cast<int>(seconds % 3600 / 60);
    const int s = static_cast<int>(seconds % 60);
    QJsonObject out;
    out.insert(QStringLiteral("seconds"), seconds);
    out.insert(QStringLiteral("idle"), idle);
    out.insert(QStringLiteral("text"), QStringLiteral("%1 days %2:%3:%4")
                                           .arg(days)
                                           .arg(h, 2, 10, QLatin1Char('0'))
                                           .arg(m, 2, 10, QLatin1Char('0'))
                                           .arg(s, 2, 10, QLatin1Char('0')));
    return out;
}

QString PHSystem::pickSerial(const QByteArray& dmiSerial, const QByteArray& machineId)
{
    const QByteArray dmi = dmiSerial.trimmed();
    if (!dmi.isEmpty() && !isPlaceholder(dmi))
        return QString::fromLatin1(dmi);
    const QByteArray id = machineId.trimmed();
    if (!id.isEmpty() && !isPlaceholder(id))
        return QString::fromLatin1(id);
    return QString();
}

QJsonObject PHSystem::uptime() const
{
    return parseUptime(readSmall("/proc/uptime"));
}

QString PHSystem::serialNumber() const
{
    return pickSerial(readSmall("/sys/class/dmi/id/product_serial"), readSmall("/etc/machine-id"));
}
