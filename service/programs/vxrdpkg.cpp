#include "vxrdpkg.h"

#include "vxrparse.h"

namespace VxrDpkg {

VxrCommand listPackage(const QString& package)
{
    HX2RunOptions options;
    options.startMs = 10000;
    options.finishMs = 10000;
    return VxrCommand{QStringLiteral("dpkg"), {QStringLiteral("-l"), package}, options};
}

QString installedVersion(const QStringList& lines, const QString& package)
{
    for (const QString& line : lines) {
        const QStringList fields = VxrParse::columns(line);
        if (fields.size() >= 3 && fields.at(0) == QLatin1String("ii") && fields.at(1) == package)
            return fields.at(2);
    }
    return QString();
}

} // namespace VxrDpkg
