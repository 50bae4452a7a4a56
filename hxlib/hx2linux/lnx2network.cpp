#include "lnx2network.h"

#include "hx2runner.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QJsonObject>
#include <QRegularExpression>

const char* const LNX2Network::kDefaultServer = "pool.ntp.org";

namespace {

QString readTrimmed(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(f.read(4096)).trimmed();
}

// A name fit to be joined to a sysfs directory.
bool interfaceName(const QString& name)
{
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && name != QLatin1String(".")
           && name != QLatin1String("..");
}

} // namespace

LNX2Network::LNX2Network(const QString& sysRoot) : m_root(sysRoot) {}

QStringList LNX2Network::names(const QString& dir) const
{
    // Directories only: "class/net" also holds the file "bonding_masters"
    // once bonding is loaded, which is no interface.
    return QDir(m_root + dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
}

QStringList LNX2Network::all() const { return names(QStringLiteral("/class/net")); }

QStringList LNX2Network::virtuals() const { return names(QStringLiteral("/devices/virtual/net")); }

QStringList LNX2Network::available() const
{
    const QStringList virt = virtuals();
    QStringList out;
    for (const QString& n : all()) {
        if (!virt.contains(n))
            out.append(n);
    }
    return out;
}

QString LNX2Network::mac(const QString& name) const
{
    if (!interfaceName(name))
        return QString();
    const QString dir = m_root + QStringLiteral("/class/net/") + name;
    const QString permanent = readTrimmed(dir + QStringLiteral("/bonding_slave/perm_hwaddr"));
    return permanent.isEmpty() ? readTrimmed(dir + QStringLiteral("/address")) : permanent;
}

QJsonArray LNX2Network::nics() const
{
    const QStringList virt = virtuals();
    QJsonArray out;
    for (const QString& n : all()) {
        out.append(QJsonObject{{QStringLiteral("name"), n},
                               {QStringLiteral("mac"), mac(n)},
                               {QStringLiteral("virtual"), virt.contains(n) ? 1 : 0}});
    }
    return out;
}

QJsonArray LNX2Network::nics(const QStringList& names) const
{
    QJsonArray out;
    for (const QString& n : names)
        out.append(QJsonObject{{QStringLiteral("name"), n}, {QStringLiteral("mac"), mac(n)}});
    return out;
}

bool LNX2Network::isTimeServer(const QString& server)
{
    if (server.isEmpty() || server.startsWith(QLatin1Char('-')) || server.size() > 253)
        return false;
    if (!QHostAddress(server).isNull())
        return true;
    static const QRegularExpression label(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
    const QStringList labels = server.endsWith(QLatin1Char('.')) ? server.chopped(1).split(QLatin1Char('.'))
                                                                 : server.split(QLatin1Char('.'));
    for (const QString& l : labels) {
        if (!label.match(l).hasMatch())
            return false;
    }
    return true;
}

bool LNX2Network::networkTimeProtocol(const QString& server) const
{
    QString host = server.trimmed();
    if (host.isEmpty())
        host = QLatin1String(kDefaultServer);
    if (!isTimeServer(host))
        return false;
    HX2RunOptions ntp;
    ntp.startMs = 5000;
    ntp.finishMs = 30000;
    if (!HX2Runner::run(QStringLiteral("ntpdate"), {host}, ntp).ok)
        return false;
    HX2RunOptions hw;
    hw.startMs = 5000;
    hw.finishMs = 5000;
    return HX2Runner::run(QStringLiteral("hwclock"), {QStringLiteral("--systohc")}, hw).ok;
}
