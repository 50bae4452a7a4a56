#ifndef RECOVERPLAN_H
#define RECOVERPLAN_H

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

// Pure pieces of dsrecover: the reading of its arguments, the checks of
// names, the texts it prints, the command lines and shell text it runs and
// the reading of what those programs print. Nothing here starts a program.
namespace Recover {

// What the operator asked for on the command line.
struct Request
{
    QString server;
    QString userid;
    QString passwd;
    QString vg = QStringLiteral("vxr");
    QString lv = QStringLiteral("data");
    // --snapshot: the server's snapshot of vg/lv to restore up to (its full
    // name or the part after "@"); empty for the newest.
    QString snapshot;
    // --target: the dataset to receive into; empty for vg/lv itself.
    QString target;
    // --help was given: print helpLines() and nothing else.
    bool help = false;
    // The stream's compressor, "zstd" or "lz4" (run on the server and
    // undone here); empty for a plain stream.
    QString compress;

    // The server's dataset, vg "/" lv.
    QString vglv() const { return vg + QLatin1Char('/') + lv; }
    // The dataset received into.
    QString into() const { return target.isEmpty() ? vglv() : target; }
    // The full name of the chosen snapshot; empty for the newest.
    QString snapshotName() const;
};

// Reads "[--snapshot NAME] [--target DATASET] [--compress NAME] server
// userid passwd [vg lv]" from the arguments that follow the program name;
// the options (also as --snapshot=NAME, --target=DATASET, --compress=NAME)
// may stand anywhere, and --help or -h alone is enough; "--" ends the
// options. vg and lv replace the defaults only when both are given;
// positional arguments after the fifth are ignored. Returns false (leaving
// *request partly filled) when fewer than three positional arguments are
// given, an option lacks its value, or a value could steer a program
// instead of naming something: an empty, blank-holding or dash-leading
// server or userid, a userid holding "@", a dataset or target that is not
// a dataset name below a pool, a snapshot that is not one of vg/lv's; also
// for a compressor other than "none", "zstd" or "lz4".
bool parseArguments(const QStringList& args, Request* request);
// The position in args of the password (the third positional argument),
// or -1 when there is none.
int passwordPosition(const QStringList& args);

// True for a dataset name zfs produces: components of ASCII letters,
// digits and "_-.: " joined by "/", none empty, "." or "..", no "@", not
// starting with "-", at most 255 characters.
bool isDatasetName(const QString& name);
// True when name is dataset "@" a snapshot component of those characters,
// the whole being at most 255 characters.
bool isSnapshotOf(const QString& name, const QString& dataset);

// ---- Messages, each printed as one line on standard output

QString usageLine();
// What --help prints.
QStringList helpLines();
// The target's parent dataset is missing: the message and the example
// that creates it.
QStringList parentMissingLines(const QString& parent);
extern const char* const kSnapshotMissing;
extern const char* const kResuming;
// The target exists: the message and the example that removes it.
QStringList targetExistsLines(const QString& vglv);
// The pool is missing: the message and the example that creates it.
QStringList poolMissingLines(const QString& vg);
extern const char* const kQueryFailed;
extern const char* const kNoBackup;
extern const char* const kRestoringFirst;
extern const char* const kRestoringAll;
extern const char* const kRestoreFailed;
extern const char* const kRestoreDone;

// ---- Local state

// "zfs" arguments listing every local dataset name.
QStringList localListArgs();
// Whether the pool and the target appear in that listing: only a line
// equal to the name counts.
struct LocalState
{
    bool poolExists = false;
    bool targetExists = false;
    bool parentExists = false;
};
LocalState readLocalState(const QByteArray& listing, const QString& vg, const QString& vglv);

// ---- Unfinished restores

// The user property a restore sets on the dataset it receives, the
// server's dataset as its value, until its last phase is in.
extern const char* const kRestoreMark;
// "zfs" arguments reading the mark of dataset with where it comes from.
QStringList markArgs(const QString& dataset);
// The mark was set on the dataset itself for a restore of source.
bool markedBy(const QByteArray& output, const QString& source);
// "zfs" arguments clearing the mark: the restore is finished.
QStringList clearMarkArgs(const QString& dataset);
// "zfs" arguments printing the bytes written since the newest snapshot.
QStringList writtenArgs(const QString& dataset);
// "zfs" arguments listing the dataset's own snapshots, oldest first.
QStringList snapshotListArgs(const QString& dataset);
// Where an unfinished restore goes on: the target's snapshots (oldest
// first) must be the lineage's first ones, compared by the part after "@";
// from is then the lineage's snapshot the increments start at (empty when
// the target holds the whole lineage). False when it cannot go on.
bool resumeFrom(const QStringList& targetSnapshots, const QStringList& lineage, QString* from);

// ---- The server

// The remote command listing every snapshot the account holds.
extern const char* const kRemoteListCommand;

// Arguments for the program "sshpass" that run remoteCommand on the server
// as one argument: "-e" "ssh", the ssh options, USERID@SERVER and the
// command. The password is not among them; it travels in the SSHPASS
// variable of sshpassEnv().
QStringList sshpassArgs(const Request& request, const QString& remoteCommand);
QHash<QString, QString> sshpassEnv(const Request& request);

// The snapshots of dataset in the server's listing, in the listing's
// order; lines of other datasets (another backup of the account, or a
// child of dataset) are left out. Returns false when a line that names a
// snapshot of dataset is not a name zfs would produce: such a listing is
// not trusted at all.
bool snapshotsOf(const QByteArray& listing, const QString& dataset, QStringList* snapshots);

// ---- Compression

// The server's check that it runs request.compress: prints
// kCompressorPresent when it does.
QString compressorProbe(const Request& request);
extern const char* const kCompressorPresent;
// The line printed when the stream goes plain although compression was
// asked for: the appliance or the server lacks the program.
QString uncompressedLine(const QString& program, bool onServer);

// ---- Transfers

// Printed by the transfer text once every stage succeeded. script -e
// passes on the pipeline's status, but a script that is itself ended by a
// signal can still exit 0; only the marker shows a finished stream.
extern const char* const kDoneMarker;

// Bash text of the full receive: the server's `zfs send -R first` through
// `sshpass -e ssh` into `zfs recv -u` of the target (not forced: the target
// was found absent) with readonly=off, sharenfs=off and sharesmb=off,
// whatever the server's copy has, then the marker. With progressTerminal (a terminal's
// device path) the stream passes through pv, which draws bytes, rate and
// elapsed time there. With request.compress the server compresses after
// its send and the stream is decompressed before pv. Every value is quoted
// for the local shell, and the snapshot once more for the server's.
// The target is marked as an unfinished restore of vg/lv (kRestoreMark).
QString fullTransfer(const Request& request, const QString& first, const QString& progressTerminal);
// The same with `zfs send -RI first last` into `zfs recv -Fu`: every
// snapshot after first up to last, on top of the full receive.
QString incrementalTransfer(const Request& request, const QString& first, const QString& last,
                            const QString& progressTerminal);

// Arguments for the program "script" that run text under a pseudo-terminal
// (sshpass needs one), pass on its exit status (-e), print no banner (-q)
// and keep no typescript file (/dev/null).
QStringList scriptArgs(const QString& text);
// The environment of that run: bash as the shell, for pipefail, and the
// password for `sshpass -e`.
QHash<QString, QString> scriptEnv(const Request& request);

// True when a transfer's output (its tail suffices) shows the marker.
bool transferCompleted(const QByteArray& output);

// The last lines (at most maxLines, empty ones dropped) of what a program
// wrote, for the lines after a failure message. The pseudo-terminal's
// line ends and lines rewritten in place after a carriage return both end
// a line; invalid UTF-8 is replaced.
QStringList tailLines(const QByteArray& output, int maxLines);

// "/usr/sbin/zfs" arguments that mount the target.
QStringList mountArgs(const QString& vglv);

// ---- Mount points the server chose

// A dataset and its mount point property.
struct Mountpoint
{
    QString dataset;
    QString path;

    bool operator==(const Mountpoint& other) const
    {
        return dataset == other.dataset && path == other.path;
    }
};

// "/usr/sbin/zfs" arguments that list the mount point of dataset, and with
// withChildren of every dataset below it too, as "name<TAB>value" lines.
QStringList mountpointListArgs(const QString& dataset, bool withChildren);
// Reads that listing; lines without a tab are left out.
QList<Mountpoint> readMountpoints(const QByteArray& listing);
// The datasets whose mount point the replication stream must not keep: a
// path outside the tree of poolMountpoint (the pool's own mount point is
// not inside it), or one not in its plain form (".", "..", "//", a
// trailing "/"), which could lead anywhere. "none" and "legacy" mount
// nothing and are kept, as are "-" and other values that are no path.
// Parents come before their children, so that resetting them in this
// order never lets a child inherit a path that is still to be reset.
QList<Mountpoint> mountpointResets(const QList<Mountpoint>& mountpoints, const QString& poolMountpoint);
// "/usr/sbin/zfs" arguments that make dataset inherit its mount point.
QStringList inheritMountpointArgs(const QString& dataset);
// The line printed for a dataset whose mount point was reset.
QString mountpointResetLine(const Mountpoint& reset);

// The text quoted for a POSIX shell: between single quotes, each single
// quote written as '\''. The shell reads it back unchanged.
QString shellQuote(const QString& value);

} // namespace Recover

#endif
