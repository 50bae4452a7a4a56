#ifndef HX2CORE_H
#define HX2CORE_H

#include "hx2logger.h"

#include <QDir>
#include <QJsonObject>
#include <QString>

// The framework's core: the process logger, the configuration object and
// the application's directories. An application object derives from it
// beside QObject.
class HX2Core
{
public:
    HX2Core();
    virtual ~HX2Core();

    HX2Logger logger;
    bool debugging = false;
    QString text1;
    QString text2;
    // The parsed configuration file once the application has loaded it.
    QJsonObject configure;
    // Directory of the running executable.
    QDir appDir;
    // "etc" beside the executable when it exists, else the application's
    // writable data location; applications may override it.
    QDir cfgDir;
    QDir dir1;
    QDir dir2;
};

#endif
