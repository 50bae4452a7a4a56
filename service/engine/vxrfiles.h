#ifndef VXRFILES_H
#define VXRFILES_H

#include <QJsonObject>
#include <QString>

namespace VxrFiles {

// Replaces the file at path with the JSON document (compact or indented),
// atomically. The engine's files may hold the server's password: a new
// file is readable by its owner only (0600), an existing one keeps its mode
// unless that is wider, and folders made for it are 0700. The mode is set
// before any byte is written. False, the old file intact, when anything
// fails.
bool saveOwnerOnly(const QString& path, const QJsonObject& object, bool compact);

} // namespace VxrFiles

#endif
