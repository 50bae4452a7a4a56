#ifndef VXRZFS_H
#define VXRZFS_H

#include <QString>
#include <QStringList>

// Programs, argument lists and limits of the engine's zfs queries and of
// the snapshot command. Pure: nothing here starts a program.
namespace VxrZfs {

// The program the listings and the space totals run by absolute path;
// the other queries find "zfs" on the search path.
constexpr const char* kZfsPath = "/usr/sbin/zfs";
constexpr const char* kZfs = "zfs";

constexpr int kStartMs = 10000;
constexpr int kHourMs = 3600000;
constexpr int kShortMs = 30000;

// "list" "-H" "-p" "-o" "name,used,reservation" root.
QStringList infoArgs(const QString& datasetRoot);
// "list" "-H" "-o" "used,refer" and the datasets; empty without datasets.
QStringList usedArgs(const QStringList& datasets);
// "list" "-H" "-o" "name" "-t" "snapshot".
QStringList snapshotNamesArgs();
// "snapshot" name.
QStringList snapshotArgs(const QString& snapshotName);
// "list" "-t" "snapshot" dataset "-H" "-o" "name,used,refer".
QStringList localListArgs(const QString& dataset);
// The command the server runs for the remote listing, one shell text.
QString remoteListCommand();

} // namespace VxrZfs

#endif
