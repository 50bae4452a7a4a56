#ifndef LNX2PACKAGE_H
#define LNX2PACKAGE_H

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include "hx2runner.h"

// Queries and repairs of the system's Debian packages through dpkg and apt.
// No state; every call asks the tools afresh and blocks the caller while
// they run (up to 15 minutes a step for removals and repairs, two hours
// for a reinstall), so callers use a worker thread.
//
// A package record is a JSON object with "package" (name without
// architecture suffix), "version", "status" (dpkg's state letters, "ii"
// installed) and, in upgrade lists, "current" (the installed version).
//
// Nothing here deletes dpkg's lock files or its journal of pending changes,
// purges a package unasked, or touches the list of package sources: apt
// waits for a busy lock up to kLockWaitSeconds, and "dpkg --configure -a"
// replays the journal. Every name is checked by isPackageName (or
// isPackageFile for an install target) before any program sees it.
class LNX2Package
{
public:
    // Seconds apt waits for a lock held by another package manager.
    static constexpr int kLockWaitSeconds = 120;

    // One line of dpkg's listing; name as listed (architecture suffix kept).
    struct Entry
    {
        QString status;
        QString name;
        QString version;
    };

    // Debian's rules: lower-case letters, digits, "+", "-" and ".", at
    // least two characters, starting with a letter or digit; an
    // architecture suffix ":arch" is allowed.
    static bool isPackageName(const QString& name);
    // An absolute path to an existing regular file ending in ".deb".
    static bool isPackageFile(const QString& path);
    // The lines of "dpkg -l" after its "+++-===" separator.
    static QList<Entry> parseList(const QString& listing);
    // A package left half-way by dpkg: half-installed, unpacked,
    // half-configured, awaiting or pending triggers, or needing a
    // reinstall. Installed, held, not-installed and config-only ("rc")
    // packages are not broken.
    static bool isBroken(const QString& status);
    // The records of "apt list --upgradeable" (see upgradables()).
    static QJsonArray parseUpgradables(const QString& listing);
    // Whether a command-name listing (one name a line) holds a package
    // manager: "dpkg", "apt" or "apt-get", compared whole.
    static bool busyIn(const QString& commandNames);
    // Options for unattended apt runs: the lock wait, and dpkg keeping
    // changed configuration files without asking.
    static QStringList aptOptions();
    // The apt arguments that reinstall target (name or package file),
    // restoring missing configuration files.
    static QStringList reinstallArgs(const QString& target);
    // The maintainer script of package name that output reports as failed,
    // picked from scripts (suffixes ".prerm", ".postrm", ".preinst",
    // ".postinst", in that order of precedence); the suffix is removed
    // from scripts. Empty when none is named.
    static QString failedScript(const QString& name, const QString& output, QStringList& scripts);
    // Runs a package tool with DEBIAN_FRONTEND=noninteractive.
    static HX2RunResult runTool(const QString& program, const QStringList& args, HX2RunOptions options);
    // One repair step through runTool (start 30 s, finish 15 min); a
    // failure is traced with the end of its error output. True on success.
    static bool runStep(const QString& program, const QStringList& args);

    // The entry of name in entries (compared without architecture suffix);
    // null when it is not there.
    static const Entry* find(const QList<Entry>& entries, const QString& name);

    // A package manager runs now ("ps", limit 9999 ms); a failed "ps"
    // counts as not busy.
    bool isBusy() const;
    // dpkg's listing ("dpkg -l"). False, out empty, when dpkg fails: that
    // says nothing about the packages, unlike an empty listing.
    bool listing(QList<Entry>& out) const;
    // Status and version of name (compared without architecture suffix);
    // false when it is not listed or the listing fails.
    bool status(const QString& name, QString& status, QString& version) const;
    // Listed with status "ii"; *version receives its version.
    bool installed(const QString& name, QString* version = nullptr) const;
    QList<QJsonObject> packages() const;
    // Names of installed packages; details, when given, maps each to
    // {"version"}.
    QStringList installeds(QJsonObject* details = nullptr) const;
    // Installed packages: name as listed -> version.
    QHash<QString, QString> packageVersions() const;
    // The records whose status isBroken; none when the listing fails.
    QList<QJsonObject> brokens() const;
    // The same; false, out empty, when the listing fails.
    bool brokens(QList<QJsonObject>& out) const;

    // Packages with a newer version available, as records; "version-kozu"
    // is left out. False when a package manager is busy or the listing
    // fails.
    bool upgradables(QJsonArray& out) const;
    QJsonArray upgradables() const;
    // The newer version and the installed one of name; false when none.
    bool upgradable(QString& version, QString& current, const QString& name) const;

    // Purges name with "dpkg -P", up to 5 attempts; a failing post-removal
    // script is deleted before the next. True once purged.
    bool purge(const QString& name) const;
    // Purges each record's "package"; the number purged.
    int purge(const QList<QJsonObject>& records) const;
    // Reinstalls name (or a package file) with apt within two hours.
    bool reinstall(const QString& name) const;
    int reinstall(const QList<QJsonObject>& records) const;

    bool stepAutoRemove() const;
    // Reinstalls the broken packages; true when none is left broken. False
    // also when a listing fails, before or after.
    bool stepRepair() const;

    // Brings a damaged package system back: waits (with wait) one second
    // for a busy package manager, sets the clock, refreshes the package
    // lists, replays dpkg's pending changes, reinstalls broken packages and
    // lets apt fix what remains. False when busy, when the lists cannot be
    // refreshed, or when apt's final fix fails.
    bool repairAll(bool wait) const;

private:
    // The listing, empty when it fails.
    QList<Entry> listing() const;
};

#endif
