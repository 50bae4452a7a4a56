#ifndef LNX2APT_H
#define LNX2APT_H

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

// Turns apt's terminal output into a progress figure, fed a piece at a
// time: each feed scans only the new piece and the unfinished line before
// it, so a poll costs the same after hours of output.
//
// The figure passes four phases: counting (1 until apt's summary line
// gives the number of packages to upgrade or install), downloading (up to
// 30, from apt's download percentage), unpacking (30 to 60 by "Unpacking "
// lines) and setting up (60 onwards by "Setting up " lines). With nothing
// to download or unpack it moves straight through. It never falls, and
// stops at kMaxParsed: output alone cannot tell that apt succeeded (a
// package can fail after "Setting up"), so 100 is its exit code's to give.
class LNX2AptProgress
{
public:
    // Takes the next piece of output; returns the figure.
    int feed(const QByteArray& chunk);
    int percent() const { return m_percent; }
    // Packages apt announced; -1 before its summary line.
    int packageCount() const { return m_count; }
    // The last complete lines of output (at most kTailBytes), to explain a
    // failure.
    QString tail() const;

    static constexpr int kTailBytes = 2048;
    static constexpr int kMaxParsed = 99;

private:
    enum class Phase { Counting, Downloading, Unpacking, SettingUp };

    void scanLine(const QByteArray& line);
    void advance();
    void raise(int to);

    Phase m_phase = Phase::Counting;
    int m_percent = 0;
    int m_count = -1;
    int m_download = 0;
    bool m_fetched = false;
    int m_unpacked = 0;
    int m_setUp = 0;
    QByteArray m_carry;
    QByteArray m_tail;
};

// Runs one apt install, reinstall or removal and reports its progress, and
// repairs the package system in steps. Calls block the calling thread, on
// which progress is emitted; names are checked as LNX2Package checks them.
class LNX2Apt : public QObject
{
    Q_OBJECT
public:
    // Limit for one whole install, reinstall or removal.
    static constexpr int kExecuteMs = 7200000;

    explicit LNX2Apt(QObject* parent = nullptr);

    bool isBusy() const;
    // The name of a package file path ".../name_version_arch.deb", or the
    // text after the last "/" as it is.
    static QString takePackageName(const QString& package);

    // Runs the request's "exec" (3 reinstall, 4 purge, anything else
    // install) on its "package" (a name, or a package file for install and
    // reinstall) under a terminal so that apt prints its progress. True
    // when apt exited with 0 within kExecuteMs; then progress ends at 100.
    // result gets "package", "filepath" (for a file), "action", "times"
    // (ms), the empty "oldstatus", "oldversion", "newstatus", "newversion",
    // and on failure "errmsg" (the last lines apt wrote, or why nothing
    // ran).
    bool aptExecute(QJsonObject& result, const QJsonObject& request);

    // Purges name with apt. When a maintainer script fails, that script is
    // deleted and the purge tried again, once per kind of script; true
    // once dpkg no longer lists the package (configuration included); false
    // when dpkg's listing fails, as that cannot show it gone.
    bool aptPurge(const QString& name);
    int aptPurge(const QList<QJsonObject>& records);
    bool aptReinstall(const QString& name);
    int aptReinstall(const QList<QJsonObject>& records);

    QList<QJsonObject> dpkgPackages() const;
    QList<QJsonObject> dpkgBrokens() const;
    bool dpkgStatus(const QString& name, QString& status, QString& version) const;

    // Cleans apt's cache, writes the system clock to the hardware clock,
    // replays dpkg's pending changes, removes packages nothing needs and
    // lets apt fix broken ones, emitting progress from 0 to 100. False when
    // a package manager is busy or apt's final fix fails.
    bool aptRepair();

signals:
    void progress(int percent);
};

#endif
