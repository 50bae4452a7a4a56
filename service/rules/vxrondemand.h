#ifndef VXRONDEMAND_H
#define VXRONDEMAND_H

#include <QByteArray>
#include <QDateTime>

// The on-demand upload pass of the root dataset (the "upload" mode): its
// result codes and its line in the upload log.
namespace VxrOnDemand {

// The pass's result; the process exits with it (as its low byte: -1 is
// 255, -22 is 234).
enum Code {
    // The last transfer attempted succeeded.
    Sent = 0,
    // No local snapshot of the root dataset carries the engine's prefix.
    NothingLocal = 1,
    // The server holds a prefixed snapshot and nothing newer is to be sent.
    NothingNew = -1,
    // Server host, user or password not set (or not usable by ssh).
    NoAccount = -3,
    // The server's snapshot list could not be read.
    ListFailed = -4,
    FullNotStarted = -11,
    FullFailed = -12,
    IncrementalNotStarted = -21,
    IncrementalFailed = -22,
};

// The upload-log line of a pass: time, a blank, then " success" for 0,
// " failed(CODE)" for a negative code, nothing for a positive one; with
// the line feed.
QByteArray logLine(const QDateTime& time, int code);

} // namespace VxrOnDemand

#endif
