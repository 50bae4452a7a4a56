#ifndef LOCALZONE_H
#define LOCALZONE_H

#include <QByteArray>
#include <QtGlobal>

#include <ctime>

// The local zone of the process for one scope; Qt reads TZ afresh at
// every local conversion.
class LocalZone
{
public:
    explicit LocalZone(const char* zone) : m_old(qgetenv("TZ")), m_had(qEnvironmentVariableIsSet("TZ"))
    {
        qputenv("TZ", zone);
        tzset();
    }
    ~LocalZone()
    {
        if (m_had)
            qputenv("TZ", m_old);
        else
            qunsetenv("TZ");
        tzset();
    }

private:
    QByteArray m_old;
    bool m_had;
};

#endif
