#ifndef VXROPERATIONLOG_H
#define VXROPERATIONLOG_H

#include "tjkozulog.h"

#include <QJsonArray>
#include <QString>

// The engine's records in the platform's operation log: written by every
// worker thread, listed and cleared by the commands. Any thread: the
// platform's log takes concurrent writers.
class VxrOperationLog
{
public:
    // One record: level, message and details {"action", "state"}, for the
    // engine's application and user.
    void write(const QString& level, const QString& message, int action, int state);
    void write(const char* level, const char* message, int action, int state);
    // A fixed message followed by ": " and detail.
    void write(const char* level, const char* message, const QString& detail, int action, int state);

    // The newest records a listing holds, at most: a reply stays a few
    // megabytes however long the log has grown.
    static constexpr int kMaxListed = 10000;

    // Appends the engine's records, newest first (kMaxListed at most), with
    // their details merged in; false, records unchanged, when the log cannot
    // be read.
    bool list(QJsonArray& records) const;
    // True when the platform cleared the engine's records.
    bool clear();

private:
    TJKozulog kozulog;
};

#endif
