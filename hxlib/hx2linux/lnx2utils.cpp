#include "lnx2utils.h"

#include "hx2runner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <apt-pkg/debversion.h>

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

int cmpVersion(const QString& a, const QString& b)
{
    const QByteArray x = a.toUtf8();
    const QByteArray y = b.toUtf8();
    return debVS.CmpVersion(x.constData(), y.constData());
}

qint64 diskFree(const QString& path)
{
    struct statvfs st {};
    if (path.isEmpty() || ::statvfs(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return static_cast<qint64>(st.f_bfree) * static_cast<qint64>(st.f_frsize);
}

int mvpath(const QString& src, const QString& dst)
{
    if (src.isEmpty() || dst.isEmpty())
        return 9995;
    const QFileInfo from(src);
    if (!from.isDir())
        return 9994;
    const QFileInfo to(dst);
    if (to.exists() || to.isSymLink())
        return 9993;
    HX2RunOptions options;
    options.startMs = 30000;
    options.finishMs = -1;
    // -T: should dst appear as a directory meanwhile, mv refuses instead of
    // moving src into it.
    const HX2RunResult r = HX2Runner::run(
        QStringLiteral("/usr/bin/sudo"),
        {QStringLiteral("mv"), QStringLiteral("-f"), QStringLiteral("-T"), QStringLiteral("--"),
         from.absoluteFilePath(), to.absoluteFilePath()},
        options);
    return r.ok ? 0 : 9999;
}

qint64 asUnitSpeed(const QString& unit)
{
    static const char* const units[] = {"b/s", "k/s", "m/s", "g/s", "t/s", "p/s"};
    const QString u = unit.toLower();
    qint64 factor = 1;
    for (const char* known : units) {
        if (u == QLatin1String(known))
            return factor;
        factor *= 1024;
    }
    return 1;
}

QString toCapacity(qint64 bytes)
{
    const quint64 u = static_cast<quint64>(bytes);
    const double v = static_cast<double>(bytes);
    const double k = 1024.0;
    if (u < 1024ULL)
        return QString::number(bytes) + QStringLiteral(" b");
    if (u < (1ULL << 20))
        return QString::number(v / k, 'f', 2) + QStringLiteral("kb");
    if (u < (1ULL << 30))
        return QString::number(v / (k * k), 'f', 2) + QStringLiteral("mb");
    if (u < (1ULL << 40))
        return QString::number(v / (k * k * k), 'f', 2) + QStringLiteral("gb");
    return QString::number(v / (k * k * k * k), 'f', 2) + QStringLiteral("tb");
}

double toCapacityMb(qint64 bytes)
{
    return QString::number(static_cast<double>(bytes) / (1024.0 * 1024.0), 'f', 2).toDouble();
}

namespace {

bool plainName(const QString& piece)
{
    return !piece.isEmpty() && !piece.contains(QLatin1Char('/')) && piece != QLatin1String(".")
           && piece != QLatin1String("..");
}

bool sharedVolume(const QString& vg)
{
    return vg == QLatin1String("ftp") || vg == QLatin1String("webdav");
}

QByteArray readSmall(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.read(64 * 1024);
}

QJsonObject processRecord(const QString& pid, const QByteArray& cmdline)
{
    QJsonArray args;
    for (const QByteArray& piece : cmdline.split('\0')) {
        if (!piece.isEmpty())
            args.append(QString::fromUtf8(piece));
    }
    QByteArray joined = cmdline;
    joined.replace('\0', ' ');
    return QJsonObject{{QStringLiteral("pid"), pid.toInt()},
                       {QStringLiteral("cmdargs"), args},
                       {QStringLiteral("cmdline"), QString::fromUtf8(joined).trimmed()}};
}

enum class PathMatch { Executable, Argument };

QJsonArray scanProcesses(const QString& name, PathMatch byPath)
{
    QJsonArray out;
    if (name.isEmpty())
        return out;
    const bool isPath = name.contains(QLatin1Char('/'));
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& e : entries) {
        bool numeric = false;
        e.toLongLong(&numeric);
        if (!numeric)
            continue;
        const QString dir = QStringLiteral("/proc/") + e;
        bool match = false;
        QByteArray cmdline;
        if (!isPath) {
            match = QString::fromUtf8(readSmall(dir + QStringLiteral("/comm"))).trimmed() == name;
        } else if (byPath == PathMatch::Executable) {
            char buf[4096];
            const QByteArray link = QFile::encodeName(dir + QStringLiteral("/exe"));
            const ssize_t n = ::readlink(link.constData(), buf, sizeof buf);
            match = n > 0 && QFile::decodeName(QByteArray(buf, static_cast<int>(n))) == name;
        } else {
            cmdline = readSmall(dir + QStringLiteral("/cmdline"));
            for (const QByteArray& piece : cmdline.split('\0'))
                match = match || (!piece.isEmpty() && QString::fromUtf8(piece) == name);
        }
        if (!match)
            continue;
        if (cmdline.isEmpty())
            cmdline = readSmall(dir + QStringLiteral("/cmdline"));
        out.append(processRecord(e, cmdline));
    }
    return out;
}

} // namespace

bool vglvExists(const QString& vg, const QString& lv)
{
    if (!plainName(vg) || !plainName(lv) || sharedVolume(vg))
        return false;
    return QFileInfo(QStringLiteral("/mnt/") + vg + QLatin1Char('/') + lv).isDir();
}

bool vglvExists(const QString& path)
{
    const QStringList pieces = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (pieces.size() <= 2 || pieces.at(0) != QLatin1String("mnt"))
        return false;
    return vglvExists(pieces.at(1), pieces.at(2));
}

QJsonArray findProcess(const QString& name) { return scanProcesses(name, PathMatch::Executable); }

QJsonArray findProcessWith(const QString& name) { return scanProcesses(name, PathMatch::Argument); }

QStringList stringSplit(const QString& text)
{
    QStringList out;
    QString piece;
    for (const QChar c : text) {
        if (c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\r')) {
            if (!piece.isEmpty())
                out.append(piece);
            piece.clear();
        } else {
            piece.append(c);
        }
    }
    if (!piece.isEmpty())
        out.append(piece);
    return out;
}

bool writeFile(const QString& path, const QByteArray& data)
{
    if (path.isEmpty())
        return false;
    QFileInfo info(path);
    QString target = info.absoluteFilePath();
    if (info.isSymLink() && info.exists())
        target = info.canonicalFilePath();
    const QFileInfo targetInfo(target);
    const QString dir = targetInfo.absolutePath();
    if (!QDir().mkpath(dir))
        return false;

    const QByteArray targetName = QFile::encodeName(target);
    struct stat st {};
    mode_t mode = 0644;
    uid_t uid = ::geteuid();
    gid_t gid = ::getegid();
    if (::stat(targetName.constData(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return false;
        mode = st.st_mode & 07777;
        uid = st.st_uid;
        gid = st.st_gid;
    }

    // The new content is made complete, with its final owner and mode, in a
    // private file beside the target; only then does it replace the target.
    QByteArray temp = QFile::encodeName(dir + QStringLiteral("/.") + targetInfo.fileName()) + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::fchown(fd, uid, gid) == 0 && ::fchmod(fd, mode) == 0;
    const char* p = data.constData();
    qint64 left = data.size();
    while (ok && left > 0) {
        const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok) {
            p += n;
            left -= n;
        }
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.constData(), targetName.constData()) == 0;
    if (!ok) {
        ::unlink(temp.constData());
        return false;
    }
    const int dirFd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

bool writeFile(const QString& path, const QString& text) { return writeFile(path, text.toUtf8()); }

bool writeFile(const QString& path, const QStringList& lines)
{
    return writeFile(path, lines.join(QLatin1Char('\n')).toUtf8());
}

bool writeFile(const QString& path, const QJsonObject& obj)
{
    return writeFile(path, QJsonDocument(obj).toJson(QJsonDocument::Indented));
}
