#ifndef PHSYSTEM_H
#define PHSYSTEM_H

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

// Facts about the running system. Every call reads the system afresh.
class PHSystem : public QObject
{
    Q_OBJECT
public:
    explicit PHSystem(QObject* parent = nullptr);
    ~PHSystem() override;

    // Time since boot from /proc/uptime, as parseUptime() gives it; empty
    // when /proc is not readable.
    QJsonObject uptime() const;
    // The appliance's serial number: the DMI product serial when the
    // firmware sets a real one, else the machine id; empty when neither is
    // available.
    QString serialNumber() const;

    // {"seconds": whole seconds up, "idle": idle seconds summed over all
    // processors, "text": "D days HH:MM:SS"} from the text of /proc/uptime;
    // empty when the text does not start with a non-negative number.
    static QJsonObject parseUptime(const QByteArray& text);
    // The serial number from the contents of the DMI product serial and of
    // the machine-id file. Firmware placeholders ("To be filled by O.E.M.",
    // "Not Specified", "Default string", all zeros, ...) do not count.
    static QString pickSerial(const QByteArray& dmiSerial, const QByteArray& machineId);
};

#endif
