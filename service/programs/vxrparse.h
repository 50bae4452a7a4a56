#ifndef VXRPARSE_H
#define VXRPARSE_H

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QStringView>

// Pure parsers of what zfs prints. Nothing here starts a program or takes
// a lock.
namespace VxrParse {

// The columns of one output line, empty columns dropped. A line with tabs
// (zfs -H output) is split at its tabs only, each column trimmed of
// blanks, so that names holding blanks stay whole; a line without tabs is
// split at runs of blanks.
QStringList columns(const QString& line);

// asCapacity of the text (the same result for every text), read without
// detours for the forms zfs prints.
qint64 sizeBytes(QStringView text);

// "yyyy-MM-dd HH:mm:ss" of the last 14 characters of a snapshot name when
// they are a valid "yyyyMMddHHmmss" stamp; otherwise empty.
QString snapshotTime(const QString& name);
QString snapshotTime(QStringView name);

// Appends one record per "name used refer" line to records, in order:
// {"name", "used", "refer"} with the sizes through asCapacity, and with
// withTime also "time" (snapshotTime of the name). Lines of fewer than
// three columns are skipped; columns after the third are ignored. Returns
// the number of records appended.
int appendSnapshotRecords(const QStringList& lines, bool withTime, QJsonArray& records);

// The "name used reservation" line of "zfs list -H -p": {"used", "all"} as
// 64-bit numbers (a column that is not a decimal integer reads as 0).
// False, out untouched, when the line has fewer than three columns.
bool parseZfsInfo(const QString& line, QJsonObject& out);

// Adds asCapacity of the first two columns of every "used refer" line to
// used and refer. Lines of fewer than two columns are skipped.
void sumUsedRefer(const QStringList& lines, qint64& used, qint64& refer);

// The byte count of a `zfs send -nv` estimate: the second field of the
// first line whose first column is "size" (columns as columns() reads them);
// 0 when there is none or it is not a decimal number.
qint64 parseEstimateSize(const QByteArray& output);

// A dataset's snapshots as "zfs list -H -o name,userrefs,clones" prints
// them: the names in order, those that carry a hold and those that are the
// origin of a clone. A line whose hold count is not a decimal number
// counts as held, and one without the clones column (or with anything but
// blanks or "-" in it) as cloned, so that neither is ever destroyed.
struct SnapshotHolds
{
    QStringList names;
    QSet<QString> held;
    QSet<QString> cloned;
};
SnapshotHolds parseSnapshotHolds(const QStringList& lines);

// The snapshots of tried that zfs refused to destroy, by the lines of its
// standard error: "cannot destroy snapshot NAME: REASON" (a list destroy)
// or "cannot destroy 'NAME': REASON". Only names among tried count; as a
// name may hold ": " itself, a line may give more than one.
QSet<QString> refusedSnapshots(const QStringList& errLines, const QStringList& tried);

// The storage map of the platform's mount points: pool -> dataset ->
// mount-point object, for the entries whose "fstype" is exactly "zfs", in
// key order; a later entry of the same pool and dataset replaces an
// earlier one.
QJsonObject groupMountpoints(const QJsonObject& mountpoints);

} // namespace VxrParse

#endif
