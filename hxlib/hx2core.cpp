#include "hx2core.h"

#include <QCoreApplication>
#include <QStandardPaths>

HX2Core::HX2Core()
    : appDir(QCoreApplication::applicationDirPath()),
      dir1(QString()),
      dir2(QString())
{
    if (appDir.exists(QStringLiteral("etc")))
        cfgDir = QDir(appDir.filePath(QStringLiteral("etc")));
    else
        cfgDir = QDir(QStandardPaths::writableLocation(QStandardPaths::DataLocation));
}

HX2Core::~HX2Core() = default;
