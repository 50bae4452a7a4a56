#ifndef VXRINVENTORY_H
#define VXRINVENTORY_H

#include "hx2journals.h"
#include "phstorage.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

struct VxrConfig;
class VxrSeams;
class VxrSettingsStore;

// What the appliance and the server hold: the ZFS mount points, the space
// of the root dataset and of the backed-up datasets, and the snapshot
// listings of both sides. Each call runs its program on the caller's
// thread and blocks it; none takes a lock of the engine's.
class VxrInventory
{
public:
    VxrInventory(const VxrConfig& config, VxrSeams& seams, const VxrSettingsStore& settings);

    // The mounted ZFS datasets as pool -> dataset -> mount-point object.
    void storageLoad(QJsonObject& output) const;
    // {"used", "all"} in bytes of the root dataset; empty when zfs fails.
    QJsonObject zfsInfo() const;
    // Sums "used" and "refer" over the datasets. False with the totals
    // untouched when there are no datasets; false with both 0 when zfs
    // fails (one missing dataset fails the whole query).
    bool allUsed(qint64& used, qint64& refer) const;
    // Every local snapshot name in zfs's order; empty when zfs fails.
    QStringList snapshots() const;

    // Listings; records already in the array stay; true when the listing
    // ran and exited with 0, even with no lines.
    //
    // The dataset's local snapshots: {"name", "used", "refer", "time"}.
    bool localSnapshots(QJsonArray& records, const QString& dataset) const;
    // Every snapshot the configured account sees on the server: {"name",
    // "used", "refer"}. Without a complete account: 9994 "缺少账号设置", and
    // with a user or host ssh would misread: 9994 "账号设置无效"; nothing
    // started in either case. A failing listing leaves the journal as it
    // was. A listing holding a name zfs would not make is refused: 9886
    // "操作失败，云机上的快照列表无效", records as they were. A positive
    // finishMs shortens the listing's time limit.
    bool remoteSnapshots(HX2Journals& journal, QJsonArray& records, int finishMs = -1) const;

private:
    const VxrConfig& m_config;
    VxrSeams& m_seams;
    const VxrSettingsStore& m_settings;
    PHStorage m_storage;
};

#endif
