#ifndef VXRDPKG_H
#define VXRDPKG_H

#include "vxrprograms.h"

#include <QString>
#include <QStringList>

// dpkg as the engine asks it which version of its own package is
// installed. Pure: nothing here starts a program.
namespace VxrDpkg {

// The package the service is installed from.
constexpr const char* kPackage = "kozu-vxrclient-isp";

// dpkg -l PACKAGE (10 s to start, 10 s to finish).
VxrCommand listPackage(const QString& package);

// The version of package in the lines `dpkg -l` printed: the third field
// of the first line whose first field is "ii" (wanted and installed) and
// whose second is the package, in columns as VxrParse::columns reads them.
// Empty when no line qualifies (not installed, only its configuration
// left, another package).
QString installedVersion(const QStringList& lines, const QString& package);

} // namespace VxrDpkg

#endif
