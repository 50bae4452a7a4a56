#ifndef PHSTORAGE_H
#define PHSTORAGE_H

#include <QJsonObject>
#include <QObject>
#include <QStringList>

// The appliance's storage as ZFS reports it.
class PHStorage : public QObject
{
    Q_OBJECT
public:
    explicit PHStorage(QObject* parent = nullptr);
    ~PHStorage() override;

    // One entry per mounted ZFS dataset below a pool, keyed by its mount
    // point: {"fstype": "zfs", "vg": pool, "lv": dataset path under the
    // pool, "name": full dataset name, "mountpoint": path}. Pool root
    // datasets are not volumes and are left out. Empty when zfs cannot be
    // asked (not installed, no daemon, no pool). Blocks for as long as
    // "zfs list" takes, at most about 40 seconds.
    QJsonObject mountpoints() const;

    // The arguments of the "zfs" query mountpoints() runs.
    static QStringList listArgs();
    // mountpoints() from the lines of that query ("name mountpoint mounted",
    // tab-separated; blanks inside a mount point are kept). Lines of other
    // shapes, unmounted datasets and those without a mount point path are
    // skipped.
    static QJsonObject parseList(const QStringList& lines);
};

#endif
