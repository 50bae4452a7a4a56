#ifndef VXRINVENTORY_H
#define VXRINVENTORY_H

#include <QJsonObject>

namespace VxrInventory {

// The storage map of mount points: pool -> dataset -> mount-point object,
// for the entries whose "fstype" is exactly "zfs", in key order; a later
// entry of the same pool and dataset replaces an earlier one.
QJsonObject groupMountpoints(const QJsonObject& mountpoints);

} // namespace VxrInventory

#endif
