#ifndef LNX2NETWORK_H
#define LNX2NETWORK_H

#include <QJsonArray>
#include <QString>
#include <QStringList>

// The machine's network interfaces as the kernel's sysfs tree shows them,
// and setting the clock from a time server. Holds only the sysfs root;
// every call reads afresh and is reentrant.
//
// Interfaces are the directories of "class/net" under the root, virtual
// ones (loopback, bridges, tunnels, veth, tap) those of
// "devices/virtual/net", both sorted by name ignoring case. A missing
// directory gives an empty list.
class LNX2Network
{
public:
    // Used when networkTimeProtocol is given no server.
    static const char* const kDefaultServer;

    explicit LNX2Network(const QString& sysRoot = QStringLiteral("/sys"));

    QStringList all() const;
    QStringList virtuals() const;
    // all() without the virtual ones, in the order of all().
    QStringList available() const;
    // {"name", "mac", "virtual" 1 or 0} for every interface.
    QJsonArray nics() const;
    // {"name", "mac"} for each name, in the order given; a name that is not
    // an interface gets an empty "mac".
    QJsonArray nics(const QStringList& names) const;
    // The hardware address of an interface: a bonding member's permanent
    // address (not the one its bond imposes), else its current one;
    // empty when neither can be read.
    QString mac(const QString& name) const;

    // Whether server is a host name or an address ("-" may not lead).
    static bool isTimeServer(const QString& server);
    // Sets the system clock from server (trimmed; kDefaultServer when
    // blank) with "ntpdate" (30 s), then writes it to the hardware clock
    // with "hwclock --systohc" (5 s). True only when both succeed; a
    // server that is not a valid name runs nothing and gives false.
    bool networkTimeProtocol(const QString& server) const;

private:
    QStringList names(const QString& dir) const;
    QString m_root;
};

#endif
