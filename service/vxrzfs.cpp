#include "vxrzfs.h"

namespace VxrZfs {

QStringList infoArgs(const QString& datasetRoot)
{
    return {QStringLiteral("list"), QStringLiteral("-H"), QStringLiteral("-p"), QStringLiteral("-o"),
            QStringLiteral("name,used,reservation"), datasetRoot};
}

QStringList usedArgs(const QStringList& datasets)
{
    if (datasets.isEmpty())
        return QStringList();
    QStringList args{QStringLiteral("list"), QStringLiteral("-H"), QStringLiteral("-o"), QStringLiteral("used,refer")};
    args << datasets;
    return args;
}

QStringList snapshotNamesArgs()
{
    return {QStringLiteral("list"), QStringLiteral("-H"), QStringLiteral("-o"), QStringLiteral("name"),
            QStringLiteral("-t"), QStringLiteral("snapshot")};
}

QStringList snapshotArgs(const QString& snapshotName)
{
    return {QStringLiteral("snapshot"), snapshotName};
}

QStringList localListArgs(const QString& dataset)
{
    return {QStringLiteral("list"), QStringLiteral("-t"), QStringLiteral("snapshot"), dataset,
            QStringLiteral("-H"), QStringLiteral("-o"), QStringLiteral("name,used,refer")};
}

QString remoteListCommand()
{
    return QStringLiteral("/usr/sbin/zfs list -H -o name,used,refer -t snapshot ");
}

} // namespace VxrZfs
