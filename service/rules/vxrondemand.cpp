#include "vxrondemand.h"

#include <QString>

namespace VxrOnDemand {

QByteArray logLine(const QDateTime& time, int code)
{
    QByteArray line = time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toUtf8() + ' ';
    if (code == 0)
        line += " success";
    else if (code < 0)
        line += " failed(" + QByteArray::number(code) + ")";
    return line + '\n';
}

} // namespace VxrOnDemand
