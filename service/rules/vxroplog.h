#ifndef VXROPLOG_H
#define VXROPLOG_H

#include <QJsonArray>
#include <QJsonObject>

// The operation log as the engine writes and lists it: the texts and
// numbers of its records. A fixed
// phrase stands between two markers; variable text follows after ": ".
namespace VxrLog {

constexpr const char* kApplication = "VXRCLIENT-ISP";
constexpr const char* kUser = "SYSTEM";

constexpr const char* kInformation = "Information";
constexpr const char* kWarning = "Warning";
constexpr const char* kError = "Error";

constexpr const char* kBackupFailed = "##$@vxr@$##Backup failed##$@vxr@$##";
constexpr const char* kUploadSuccess = "##$@vxr@$##Upload Success##$@vxr@$##";
constexpr const char* kCancelUpload = "##$@vxr@$##Cancel Upload##$@vxr@$##";
constexpr const char* kUploadFail = "##$@vxr@$##Upload Fail##$@vxr@$##";
constexpr const char* kCloudInfoFailed =
    "##$@vxr@$##Failed to obtain cloud information, please check the account and password of the server##$@vxr@$##";
constexpr const char* kRestoreSuccess = "##$@vxr@$##Restore Success##$@vxr@$##";
constexpr const char* kCancelRestore = "##$@vxr@$##Cancel Restore##$@vxr@$##";
constexpr const char* kRestoreFail = "##$@vxr@$##Restore Fail##$@vxr@$##";
// Retention passes: the count removed, or zfs's reason, follows after ": ".
constexpr const char* kSnapshotsPruned = "##$@vxr@$##Snapshots pruned##$@vxr@$##";
constexpr const char* kPruningFailed = "##$@vxr@$##Snapshot pruning failed##$@vxr@$##";
constexpr const char* kServerSnapshotsPruned = "##$@vxr@$##Server snapshots pruned##$@vxr@$##";
constexpr const char* kServerPruningFailed = "##$@vxr@$##Server snapshot pruning failed##$@vxr@$##";
// The snapshots' stamps and the clock disagree (a clock stepped by more
// than a day): pruning goes by creation order. The dataset follows.
constexpr const char* kClockDisagrees = "##$@vxr@$##Snapshot times disagree with the clock##$@vxr@$##";

// Details "action".
constexpr int kActionSnapshot = 1;
constexpr int kActionUpload = 2;
constexpr int kActionRestore = 3;
// Details "state" (also the last-backup "result").
constexpr int kStateFailed = 3;
constexpr int kStateCancelled = 8;
constexpr int kStateSucceeded = 9;

// A platform log record as listed: the keys of the JSON object in its
// "sparefield1" merged in (they win over the record's own), and the three
// spare fields removed. Unreadable "sparefield1" adds nothing.
QJsonObject listedRecord(const QJsonObject& record);
// The same for every record of a listing, in order. The details texts of a
// log repeat (one per kind of outcome), so each is read once.
QJsonArray listedRecords(const QJsonArray& records);

} // namespace VxrLog

#endif
