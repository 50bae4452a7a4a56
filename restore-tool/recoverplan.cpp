#include "recoverplan.h"

#include <algorithm>

namespace Recover {

const char* const kQueryFailed = "云机查询失败，请确认地址和账号、密码是否正确!";
const char* const kNoBackup = "云机操作失败，或没有备份信息";
const char* const kRestoringFirst = "正在恢复第一个备份数据...";
const char* const kRestoringAll = "正在恢复全部备份数据...";
const char* const kRestoreFailed = "恢复失败，可能是网络故障:";
const char* const kRestoreDone = "备份数据恢复完成!";
const char* const kRemoteListCommand = "/usr/sbin/zfs list -t snapshot -H -o name";
const char* const kDoneMarker = "vxr-stream-complete";
const char* const kSnapshotMissing = "云机上没有这个快照: ";
const char* const kResuming = "正在继续未完成的恢复...";
const char* const kRestoreMark = "vxr:restore";
const char* const kCompressorPresent = "vxr-codec-present";

namespace {

constexpr int kMaxNameLength = 255;

bool isNameChar(QChar c)
{
    const ushort u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_'
        || u == '-' || u == '.' || u == ':' || u == ' ';
}

bool isComponent(const QString& part)
{
    if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
        return false;
    for (const QChar c : part) {
        if (!isNameChar(c))
            return false;
    }
    return true;
}

// A value that ssh would read as an option, or that would split or bend
// the USERID@SERVER argument.
bool isLoginPart(const QString& value)
{
    if (value.isEmpty() || value.startsWith(QLatin1Char('-')))
        return false;
    for (const QChar c : value) {
        if (c.isSpace() || c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

// An absolute path without ".", ".." or empty components: one that names
// the folder it reads as.
bool isPlainPath(const QString& path)
{
    if (path == QLatin1String("/"))
        return true;
    if (!path.startsWith(QLatin1Char('/')))
        return false;
    const QStringList parts = path.mid(1).split(QLatin1Char('/'));
    for (const QString& part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return true;
}

QString joinQuoted(const QString& program, const QStringList& args)
{
    QString text = program;
    for (const QString& a : args) {
        text += QLatin1Char(' ');
        text += shellQuote(a);
    }
    return text;
}

// The receive's overrides of what the stream carries: the server keeps its
// copies read-only, and what it shares, and how, is no business of the
// appliance's; the restored dataset is the appliance's own again.
QStringList receivedProperties()
{
    return {QStringLiteral("-o"), QStringLiteral("readonly=off"), QStringLiteral("-o"),
            QStringLiteral("sharenfs=off"), QStringLiteral("-o"), QStringLiteral("sharesmb=off")};
}

// The compressor at its fastest levels keeps up with links far faster than
// those it is meant for.
QString compressor(const QString& program)
{
    return program == QLatin1String("zstd") ? QStringLiteral("zstd -1 -T1 -q -c") : program + QStringLiteral(" -1 -q -c");
}

// sshpass/ssh running sendCommand on the server (compressed when asked),
// its stream decompressed and through pv when asked, into recvArgs of
// /usr/sbin/zfs; then the marker.
QString transfer(const Request& request, const QString& sendCommand, const QStringList& recvArgs,
                 const QString& progressTerminal)
{
    QString text = QStringLiteral("set -o pipefail; ");
    // The server's shell fails the pipeline with any stage where it knows
    // pipefail; elsewhere zfs recv still refuses a stream cut short.
    const QString send = request.compress.isEmpty()
        ? sendCommand
        : QStringLiteral("(set -o pipefail) 2>/dev/null && set -o pipefail; ") + sendCommand + QStringLiteral(" | ")
            + compressor(request.compress);
    // ssh reads nothing from the session: the remote command takes no input.
    text += joinQuoted(QStringLiteral("sshpass"), sshpassArgs(request, send));
    text += QStringLiteral(" </dev/null");
    if (!request.compress.isEmpty())
        text += QStringLiteral(" | ") + request.compress + QStringLiteral(" -d -q -c");
    if (!progressTerminal.isEmpty()) {
        // pv draws nothing on a terminal whose foreground is not its own
        // process group, and this one belongs to another session: hand it
        // a pipe instead. Should the terminal go away, the rest of the
        // progress is drained so that pv, and the stream, carry on.
        text += QStringLiteral(" | pv -f -b -r -t 2> >(cat >") + shellQuote(progressTerminal)
            + QStringLiteral(" 2>/dev/null; cat >/dev/null)");
    }
    text += QStringLiteral(" | ");
    text += joinQuoted(QStringLiteral("/usr/sbin/zfs"), recvArgs);
    text += QStringLiteral(" && echo ");
    text += QLatin1String(kDoneMarker);
    return text;
}

} // namespace

QString Request::snapshotName() const
{
    if (snapshot.isEmpty() || snapshot.contains(QLatin1Char('@')))
        return snapshot;
    return vglv() + QLatin1Char('@') + snapshot;
}

namespace {

// Walks the arguments: options with their values, then positionals. False
// on an unknown option or one without its value.
bool scan(const QStringList& args, Request* request, QStringList* positional, QList<int>* positions)
{
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args.at(i);
        if (a == QLatin1String("-h") || a == QLatin1String("--help")) {
            request->help = true;
            continue;
        }
        QString* value = nullptr;
        QString name = a.section(QLatin1Char('='), 0, 0);
        if (name == QLatin1String("--snapshot"))
            value = &request->snapshot;
        else if (name == QLatin1String("--target"))
            value = &request->target;
        else if (name == QLatin1String("--compress"))
            value = &request->compress;
        if (!value) {
            // "--" ends the options: a password may begin with dashes.
            if (a == QLatin1String("--")) {
                for (int j = i + 1; j < args.size(); ++j) {
                    *positional << args.at(j);
                    *positions << j;
                }
                return true;
            }
            *positional << a;
            *positions << i;
            continue;
        }
        if (a.contains(QLatin1Char('='))) {
            *value = a.section(QLatin1Char('='), 1);
        } else if (i + 1 < args.size()) {
            *value = args.at(++i);
        } else {
            return false;
        }
        if (value->isEmpty())
            return false;
    }
    return true;
}

} // namespace

bool parseArguments(const QStringList& args, Request* request)
{
    QStringList positional;
    QList<int> positions;
    if (!scan(args, request, &positional, &positions))
        return false;
    if (request->help)
        return true;
    if (request->compress == QLatin1String("none"))
        request->compress.clear();
    if (positional.size() < 3
        || !(request->compress.isEmpty() || request->compress == QLatin1String("zstd")
             || request->compress == QLatin1String("lz4")))
        return false;
    request->server = positional.at(0);
    request->userid = positional.at(1);
    request->passwd = positional.at(2);
    if (positional.size() >= 5) {
        request->vg = positional.at(3);
        request->lv = positional.at(4);
    }
    const bool targetOk = request->target.isEmpty()
        || (isDatasetName(request->target) && request->target.contains(QLatin1Char('/')));
    const bool snapshotOk = request->snapshot.isEmpty() || isSnapshotOf(request->snapshotName(), request->vglv());
    return isLoginPart(request->server) && isLoginPart(request->userid)
        && !request->userid.contains(QLatin1Char('@')) && !request->vg.contains(QLatin1Char('/'))
        && isDatasetName(request->vglv()) && targetOk && snapshotOk;
}

int passwordPosition(const QStringList& args)
{
    Request scratch;
    QStringList positional;
    QList<int> positions;
    scan(args, &scratch, &positional, &positions);
    return positions.value(2, -1);
}

bool isDatasetName(const QString& name)
{
    if (name.isEmpty() || name.size() > kMaxNameLength || name.startsWith(QLatin1Char('-')))
        return false;
    const QStringList parts = name.split(QLatin1Char('/'));
    for (const QString& part : parts) {
        if (!isComponent(part))
            return false;
    }
    return true;
}

bool isSnapshotOf(const QString& name, const QString& dataset)
{
    if (name.size() > kMaxNameLength || !name.startsWith(dataset + QLatin1Char('@')))
        return false;
    return isDatasetName(dataset) && isComponent(name.mid(dataset.size() + 1));
}

QString usageLine()
{
    return QStringLiteral("USAGE: dsrecover server userid passwd");
}

QStringList helpLines()
{
    return {QStringLiteral("USAGE: dsrecover [--snapshot NAME] [--target DATASET] server userid passwd [vg lv]"),
            QStringLiteral(""),
            QStringLiteral("Restores the server's dataset vg/lv (default vxr/data) from the backup server."),
            QStringLiteral("  --snapshot NAME    restore up to this snapshot of vg/lv (NAME or vg/lv@NAME),"),
            QStringLiteral("                     not the newest"),
            QStringLiteral("  --target DATASET   receive into this new dataset, beside vg/lv, which is not"),
            QStringLiteral("                     touched; its pool and parent must exist"),
            QStringLiteral("  -h, --help         print this text"),
            QStringLiteral(""),
            QStringLiteral("A restore that was cut off goes on from where it stopped when asked again, as"),
            QStringLiteral("long as nothing was written to the target since."),
            QStringLiteral("Exit status: 0 when the dataset was restored, 255 otherwise.")};
}

QStringList parentMissingLines(const QString& parent)
{
    return {QStringLiteral("zfs: ") + parent + QStringLiteral(" 不存在, 请先创建 !"),
            QStringLiteral("Example: /usr/sbin/zfs create -p ") + parent};
}

QStringList targetExistsLines(const QString& vglv)
{
    return {QStringLiteral("zfs: ") + vglv + QStringLiteral(" 已经存在，请先手动删除 !"),
            QStringLiteral("Example: /usr/sbin/zfs destroy -r ") + vglv};
}

QStringList poolMissingLines(const QString& vg)
{
    return {QStringLiteral("zpool: ") + vg + QStringLiteral(" 不存在, 请先创建 !"),
            QStringLiteral("Example: /usr/sbin/zpool create -f -m /mnt/") + vg + QLatin1Char(' ') + vg
                + QStringLiteral(" devices...")};
}

QStringList localListArgs()
{
    return {QStringLiteral("list"), QStringLiteral("-H"), QStringLiteral("-o"), QStringLiteral("name")};
}

LocalState readLocalState(const QByteArray& listing, const QString& vg, const QString& vglv)
{
    LocalState state;
    const QString parent = vglv.section(QLatin1Char('/'), 0, -2);
    const QStringList lines = QString::fromUtf8(listing).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        state.poolExists = state.poolExists || line == vg;
        state.targetExists = state.targetExists || line == vglv;
        state.parentExists = state.parentExists || line == parent;
    }
    return state;
}

QStringList markArgs(const QString& dataset)
{
    return {QStringLiteral("get"), QStringLiteral("-H"), QStringLiteral("-o"), QStringLiteral("value,source"),
            QString::fromLatin1(kRestoreMark), dataset};
}

bool markedBy(const QByteArray& output, const QString& source)
{
    const QStringList fields = QString::fromUtf8(output).trimmed().split(QLatin1Char('\t'));
    return fields.size() == 2 && fields.at(0) == source && fields.at(1) == QLatin1String("local");
}

QStringList clearMarkArgs(const QString& dataset)
{
    return {QStringLiteral("inherit"), QString::fromLatin1(kRestoreMark), dataset};
}

QStringList writtenArgs(const QString& dataset)
{
    return {QStringLiteral("get"), QStringLiteral("-Hp"), QStringLiteral("-o"), QStringLiteral("value"),
            QStringLiteral("written"), dataset};
}

QStringList snapshotListArgs(const QString& dataset)
{
    return {QStringLiteral("list"), QStringLiteral("-t"), QStringLiteral("snapshot"), QStringLiteral("-H"),
            QStringLiteral("-o"), QStringLiteral("name"), dataset};
}

bool resumeFrom(const QStringList& targetSnapshots, const QStringList& lineage, QString* from)
{
    if (targetSnapshots.isEmpty() || targetSnapshots.size() > lineage.size())
        return false;
    auto part = [](const QString& name) { return name.mid(name.indexOf(QLatin1Char('@')) + 1); };
    for (int i = 0; i < targetSnapshots.size(); ++i) {
        if (part(targetSnapshots.at(i)) != part(lineage.at(i)))
            return false;
    }
    *from = targetSnapshots.size() == lineage.size() ? QString() : lineage.at(targetSnapshots.size() - 1);
    return true;
}

QStringList sshpassArgs(const Request& request, const QString& remoteCommand)
{
    // Keep-alives end a transfer over a dead link within about a minute.
    return {QStringLiteral("-e"),
            QStringLiteral("ssh"),
            QStringLiteral("-o"),
            QStringLiteral("StrictHostKeyChecking no"),
            QStringLiteral("-o"),
            QStringLiteral("ServerAliveInterval=15"),
            QStringLiteral("-o"),
            QStringLiteral("ServerAliveCountMax=4"),
            request.userid + QLatin1Char('@') + request.server,
            remoteCommand};
}

QHash<QString, QString> sshpassEnv(const Request& request)
{
    return {{QStringLiteral("SSHPASS"), request.passwd}};
}

bool snapshotsOf(const QByteArray& listing, const QString& dataset, QStringList* snapshots)
{
    snapshots->clear();
    const QString prefix = dataset + QLatin1Char('@');
    const QStringList lines = QString::fromUtf8(listing).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        if (!line.startsWith(prefix))
            continue;
        if (!isSnapshotOf(line, dataset)) {
            snapshots->clear();
            return false;
        }
        snapshots->append(line);
    }
    return true;
}

QString compressorProbe(const Request& request)
{
    return QStringLiteral("if ") + request.compress + QStringLiteral(" -V >/dev/null 2>&1; then echo ")
        + QLatin1String(kCompressorPresent) + QStringLiteral("; fi");
}

QString uncompressedLine(const QString& program, bool onServer)
{
    return (onServer ? QStringLiteral("云机上无法运行 ") : QStringLiteral("本机没有 ")) + program
        + QStringLiteral("，改为不压缩传输");
}

QString fullTransfer(const Request& request, const QString& first, const QString& progressTerminal)
{
    const QString send = QStringLiteral("/usr/sbin/zfs send -R ") + shellQuote(first);
    return transfer(request, send,
                    QStringList{QStringLiteral("recv"), QStringLiteral("-u")} + receivedProperties()
                        + QStringList{QStringLiteral("-o"), QLatin1String(kRestoreMark) + QLatin1Char('=') + request.vglv(),
                                      request.into()},
                    progressTerminal);
}

QString incrementalTransfer(const Request& request, const QString& first, const QString& last,
                            const QString& progressTerminal)
{
    const QString send =
        QStringLiteral("/usr/sbin/zfs send -RI ") + shellQuote(first) + QLatin1Char(' ') + shellQuote(last);
    return transfer(request, send, QStringList{QStringLiteral("recv"), QStringLiteral("-Fu")} + receivedProperties()
                        + QStringList{request.into()},
                    progressTerminal);
}

QStringList scriptArgs(const QString& text)
{
    return {QStringLiteral("-e"), QStringLiteral("-q"), QStringLiteral("-c"), text, QStringLiteral("/dev/null")};
}

QHash<QString, QString> scriptEnv(const Request& request)
{
    QHash<QString, QString> env = sshpassEnv(request);
    env.insert(QStringLiteral("SHELL"), QStringLiteral("/bin/bash"));
    return env;
}

bool transferCompleted(const QByteArray& output)
{
    return output.contains(kDoneMarker);
}

QStringList tailLines(const QByteArray& output, int maxLines)
{
    QString text = QString::fromUtf8(output);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (lines.size() > maxLines)
        lines = lines.mid(lines.size() - maxLines);
    return lines;
}

QStringList mountArgs(const QString& vglv)
{
    return {QStringLiteral("mount"), vglv};
}

QStringList mountpointListArgs(const QString& dataset, bool withChildren)
{
    QStringList args = {QStringLiteral("get"), QStringLiteral("-H"), QStringLiteral("-o"),
                        QStringLiteral("name,value")};
    if (withChildren)
        args << QStringLiteral("-r");
    return args << QStringLiteral("mountpoint") << dataset;
}

QList<Mountpoint> readMountpoints(const QByteArray& listing)
{
    QList<Mountpoint> mountpoints;
    const QStringList lines = QString::fromUtf8(listing).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const int tab = line.indexOf(QLatin1Char('\t'));
        if (tab > 0)
            mountpoints.append({line.left(tab), line.mid(tab + 1)});
    }
    return mountpoints;
}

QList<Mountpoint> mountpointResets(const QList<Mountpoint>& mountpoints, const QString& poolMountpoint)
{
    // Only a plain absolute path has a tree; a pool mounted nowhere has
    // none, and nothing is inside it.
    const bool poolHasTree = isPlainPath(poolMountpoint);
    const QString poolPrefix =
        poolMountpoint == QLatin1String("/") ? poolMountpoint : poolMountpoint + QLatin1Char('/');
    QList<Mountpoint> resets;
    for (const Mountpoint& m : mountpoints) {
        if (!m.path.startsWith(QLatin1Char('/')))
            continue;
        const bool inside = poolHasTree && isPlainPath(m.path) && m.path.size() > poolPrefix.size()
            && m.path.startsWith(poolPrefix);
        if (!inside)
            resets.append(m);
    }
    std::stable_sort(resets.begin(), resets.end(), [](const Mountpoint& a, const Mountpoint& b) {
        return a.dataset.count(QLatin1Char('/')) < b.dataset.count(QLatin1Char('/'));
    });
    return resets;
}

QStringList inheritMountpointArgs(const QString& dataset)
{
    return {QStringLiteral("inherit"), QStringLiteral("mountpoint"), dataset};
}

QString mountpointResetLine(const Mountpoint& reset)
{
    return QStringLiteral("挂载点已重置: ") + reset.dataset + QStringLiteral(" (") + reset.path
        + QLatin1Char(')');
}

QString shellQuote(const QString& value)
{
    QString out = value;
    out.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + out + QLatin1Char('\'');
}

} // namespace Recover
