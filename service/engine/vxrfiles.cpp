#include "vxrfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>

#include <cerrno>
#include <sys/stat.h>

namespace VxrFiles {

namespace {

// Creates the missing folders of path, each readable by its owner only.
bool makeOwnerOnlyFolders(const QString& path)
{
    const QStringList parts = QDir::cleanPath(QFileInfo(path).absoluteFilePath()).split(QLatin1Char('/'));
    QString at;
    for (const QString& part : parts) {
        if (part.isEmpty())
            continue;
        at += QLatin1Char('/') + part;
        if (QFileInfo(at).isDir())
            continue;
        if (::mkdir(QFile::encodeName(at).constData(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return QFileInfo(path).isDir();
}

} // namespace

bool saveOwnerOnly(const QString& path, const QJsonObject& object, bool compact)
{
    const QFileInfo info(path);
    if (!makeOwnerOnlyFolders(info.absolutePath()))
        return false;
    const QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    const QFileDevice::Permissions mode = info.exists() ? (info.permissions() & ownerOnly) : ownerOnly;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(mode))
        return false;
    const QByteArray bytes = QJsonDocument(object).toJson(compact ? QJsonDocument::Compact : QJsonDocument::Indented);
    if (file.write(bytes) != bytes.size())
        return false;
    return file.commit();
}


} // namespace VxrFiles
