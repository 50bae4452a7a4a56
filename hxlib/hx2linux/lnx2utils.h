#ifndef LNX2UTILS_H
#define LNX2UTILS_H

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// Linux probes and privileged file operations. No state; every function is
// reentrant. Those that start programs do it through HX2Runner and block
// the caller until it ends.

// Debian version order of a against b: negative when a sorts before b, 0
// when equal, positive after (epochs, revisions and "~" included).
int cmpVersion(const QString& a, const QString& b);

// Free bytes of the file system holding path, blocks reserved for the
// superuser included; 0 when it cannot be queried.
qint64 diskFree(const QString& path);

// Moves the directory src to dst as the superuser ("sudo mv"), each path
// one argument. 0 moved; 9993 dst already exists; 9994 src is not an
// existing directory; 9995 src or dst empty; 9999 the move failed. A dst
// that appears meanwhile is never moved into: the move then fails. No
// finish limit: a move across file systems copies everything.
int mvpath(const QString& src, const QString& dst);

// Factor of a speed unit, any case: "b/s" 1, "k/s" 1024 ... "p/s" 1024^5;
// anything else 1.
qint64 asUnitSpeed(const QString& unit);
// "100 b", "1.50kb", "2.00mb", "gb", "tb": two decimals, trailing zeros
// kept. A negative count is compared as unsigned and falls in "tb".
QString toCapacity(qint64 bytes);
// Megabytes rounded to two decimals.
double toCapacityMb(qint64 bytes);

// True when "/mnt/VG/LV" is an existing directory and vg is neither "ftp"
// nor "webdav". Names holding "/" or being "." or ".." are refused.
bool vglvExists(const QString& vg, const QString& lv);
// The same for the volume mount point a path lies under ("/mnt/VG/LV/...").
bool vglvExists(const QString& path);

// Processes whose command name ("comm") equals name; a name holding "/"
// instead matches the full path of the executable. Each record has "pid",
// "cmdargs" (the command-line arguments, empty ones dropped) and "cmdline"
// (them joined by blanks). Ordered by /proc entry name.
QJsonArray findProcess(const QString& name);
// As findProcess, but a name holding "/" matches any command-line argument
// equal to it (a script run by an interpreter is found by its path).
QJsonArray findProcessWith(const QString& name);

// Splits at blanks, tabs and carriage returns (not line feeds), dropping
// empty pieces.
QStringList stringSplit(const QString& text);

// Replaces the file's content atomically: a reader sees the old or the new
// file, never a part. An existing file keeps its mode, owner and group; a
// new one gets mode 0644 and the writer's user and group (root for the
// service), and missing directories are created. A path that is a symbolic
// link writes the file it points to. True only when the new content is in
// place; on failure the old file is untouched.
bool writeFile(const QString& path, const QByteArray& data);
bool writeFile(const QString& path, const QString& text);
// The lines joined with "\n", no final line feed.
bool writeFile(const QString& path, const QStringList& lines);
// Indented JSON.
bool writeFile(const QString& path, const QJsonObject& obj);

#endif
