#include "phpaths.h"

#include <QDir>
#include <mutex>

namespace {
std::mutex g_rootMutex;
QString g_override;
bool g_overridden = false;
}

QString PHPaths::root()
{
    {
        std::lock_guard<std::mutex> lock(g_rootMutex);
        if (g_overridden)
            return g_override;
    }
    return QString::fromLocal8Bit(qgetenv("VXR_FILES_ROOT"));
}

void PHPaths::setRoot(const QString& root)
{
    std::lock_guard<std::mutex> lock(g_rootMutex);
    g_override = root;
    g_overridden = !root.isEmpty();
}

QString PHPaths::resolve(const QString& absolutePath)
{
    const QString base = root();
    if (base.isEmpty() || !absolutePath.startsWith(QLatin1Char('/')))
        return absolutePath;
    return QDir::cleanPath(base + absolutePath);
}
