#include "hx2file.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QResource>
#include <QSaveFile>
#include <QTemporaryFile>
#include <QTextCodec>
#include <QTextStream>

#include <cerrno>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool HX2File::loadBinary(QByteArray& out, const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    out = f.readAll();
    return true;
}

QByteArray HX2File::readAll(const QString& path)
{
    QByteArray out;
    loadBinary(out, path);
    return out;
}

static bool ensureParentDir(const QString& path)
{
    const QDir dir = QFileInfo(path).absoluteDir();
    if (dir.exists())
        return true;
    QDir().mkpath(dir.absolutePath());
    return dir.exists();
}

bool HX2File::saveBinary(const QByteArray& data, const QString& path)
{
    if (!ensureParentDir(path))
        return false;
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    if (f.write(data) != data.size()) {
        f.cancelWriting();
        return false;
    }
    return f.commit();
}

bool HX2File::loadJson(QJsonObject& out, const QString& path)
{
    QByteArray bytes;
    if (!loadBinary(bytes, path))
        return false;
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &err);
    if (err.error != QJsonParseError::NoError)
        return false;
    out = doc.object();
    return true;
}

QJsonObject HX2File::readJsonObject(const QString& path)
{
    QJsonObject out;
    loadJson(out, path);
    return out;
}

QJsonArray HX2File::readJsonArray(const QString& path)
{
    QByteArray bytes;
    if (!loadBinary(bytes, path))
        return QJsonArray();
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &err);
    if (err.error != QJsonParseError::NoError || !doc.isArray())
        return QJsonArray();
    return doc.array();
}

bool HX2File::saveJson(const QString& path, const QJsonValue& value, bool compact)
{
    if (!ensureParentDir(path))
        return false;
    QJsonDocument doc;
    if (value.isObject())
        doc = QJsonDocument(value.toObject());
    else if (value.isArray())
        doc = QJsonDocument(value.toArray());
    else
        return false;
    return saveBinary(doc.toJson(compact ? QJsonDocument::Compact : QJsonDocument::Indented), path);
}

// ---- Text files

// False for an unknown codec name; *codec stays null for the default.
static bool findCodec(const QString& name, QTextCodec** codec)
{
    *codec = nullptr;
    if (name.isEmpty())
        return true;
    *codec = QTextCodec::codecForName(name.toLatin1());
    return *codec != nullptr;
}

bool HX2File::loadText(QString& out, const QString& path, const QString& codec)
{
    QTextCodec* c = nullptr;
    if (!findCodec(codec, &c))
        return false;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    QTextStream ts(&f);
    if (c)
        ts.setCodec(c);
    out = ts.readAll();
    return true;
}

bool HX2File::saveText(const QString& text, const QString& path, const QString& codec)
{
    QTextCodec* c = nullptr;
    if (!findCodec(codec, &c) || !ensureParentDir(path))
        return false;
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    QTextStream ts(&f);
    if (c)
        ts.setCodec(c);
    ts << text;
    ts.flush();
    if (ts.status() != QTextStream::Ok) {
        f.cancelWriting();
        return false;
    }
    return f.commit();
}

// ---- Directory trees

static void searchInto(QStringList& out, qint64* totalSize, const QString& dir,
                       const QStringList& filters, bool recursive)
{
    const QDir d(dir);
    if (recursive) {
        // Links to directories are not entered: a link to an ancestor would
        // never end.
        const QStringList subdirs =
            d.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name);
        for (const QString& name : subdirs)
            searchInto(out, totalSize, d.filePath(name), filters, recursive);
    }
    static const QStringList all{QStringLiteral("*.*"), QStringLiteral("*")};
    const QFileInfoList files = d.entryInfoList(filters.isEmpty() ? all : filters, QDir::Files, QDir::Name);
    for (const QFileInfo& fi : files) {
        out.append(fi.absoluteFilePath());
        if (totalSize)
            *totalSize += fi.size();
    }
}

QStringList HX2File::search(const QString& dir, const QStringList& filters, bool recursive)
{
    QStringList out;
    searchInto(out, nullptr, dir, filters, recursive);
    return out;
}

QStringList HX2File::search(qint64& totalSize, const QString& dir, const QStringList& filters,
                            bool recursive)
{
    QStringList out;
    searchInto(out, &totalSize, dir, filters, recursive);
    return out;
}

// Removes what the process may remove below the open directory dirFd,
// working on raw names relative to open descriptors, so that neither a name
// of any bytes nor a link swapped in meanwhile leads it outside the tree.
// True when everything inside is gone.
static bool emptyDirectory(int dirFd)
{
    const int listFd = fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    DIR* d = listFd >= 0 ? fdopendir(listFd) : nullptr;
    if (!d) {
        if (listFd >= 0)
            close(listFd);
        return false;
    }
    std::vector<std::string> names;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(d);

    bool emptied = true;
    for (const std::string& name : names) {
        const char* n = name.c_str();
        struct stat st {};
        if (fstatat(dirFd, n, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            emptied = emptied && errno == ENOENT;
            continue;
        }
        if (S_ISLNK(st.st_mode)) {
            emptied = unlinkat(dirFd, n, 0) == 0 && emptied;
            continue;
        }
        if (faccessat(dirFd, n, R_OK | W_OK, AT_EACCESS) != 0) {
            emptied = false;
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            const int sub = openat(dirFd, n, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0) {
                emptied = false;
                continue;
            }
            const bool subEmptied = emptyDirectory(sub);
            close(sub);
            emptied = subEmptied && unlinkat(dirFd, n, AT_REMOVEDIR) == 0 && emptied;
        } else {
            emptied = unlinkat(dirFd, n, 0) == 0 && emptied;
        }
    }
    return emptied;
}

static bool entryExists(const QByteArray& path)
{
    struct stat st {};
    return lstat(path.constData(), &st) == 0 || errno != ENOENT;
}

bool HX2File::removeDirs(const QString& dir, bool removeSelf)
{
    const QByteArray path = QFile::encodeName(dir);
    struct stat st {};
    if (lstat(path.constData(), &st) != 0)
        return errno == ENOENT;
    if (S_ISLNK(st.st_mode)) {
        if (removeSelf)
            unlink(path.constData());
    } else if (S_ISDIR(st.st_mode)) {
        const int fd = open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            emptyDirectory(fd);
            close(fd);
        }
        if (removeSelf)
            rmdir(path.constData());
    }
    return !entryExists(path);
}

// ---- Names

static bool nameTaken(const QString& path)
{
    return entryExists(QFile::encodeName(path));
}

QString HX2File::autoRename(const QString& path)
{
    const QFileInfo fi(path);
    if (!nameTaken(path))
        return fi.absoluteFilePath();
    const QDir dir = fi.absoluteDir();
    const QString base = fi.completeBaseName();
    const QString suffix = fi.suffix().isEmpty() ? QString() : QLatin1Char('.') + fi.suffix();
    for (int n = 2;; ++n) {
        const QString candidate = dir.absoluteFilePath(base + QLatin1Char('(') + QString::number(n)
                                                       + QLatin1Char(')') + suffix);
        if (!nameTaken(candidate))
            return candidate;
    }
}

QString HX2File::tempFileName(const QString& prefix, const QString& suffix)
{
    const QDir dir(QDir::tempPath());
    const QString tail = suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix;
    qint32 k = static_cast<qint32>(QRandomGenerator::global()->generate64() & 0xffffffffu);
    for (;;) {
        const QString candidate = dir.absoluteFilePath(prefix + QString::number(k) + tail);
        if (!nameTaken(candidate))
            return candidate;
        k = static_cast<qint32>(static_cast<quint32>(k) + 1u);
    }
}

QString HX2File::createTempFile(const QString& prefix, const QString& suffix)
{
    const QString tail = suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix;
    QTemporaryFile f(QDir(QDir::tempPath()).absoluteFilePath(prefix + QLatin1String("XXXXXX") + tail));
    f.setAutoRemove(false);
    if (!f.open())
        return QString();
    return QFileInfo(f.fileName()).absoluteFilePath();
}

// ---- Encoding tests

bool HX2File::isUtf8(const char* text)
{
    if (!text)
        return true;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        const unsigned char c = *p++;
        int more = 0;
        if (c < 0x80)
            continue;
        if (c >= 0xC0 && c <= 0xDF)
            more = 1;
        else if (c >= 0xE0 && c <= 0xEF)
            more = 2;
        else if (c >= 0xF0 && c <= 0xF7)
            more = 3;
        else if (c >= 0xF8 && c <= 0xFB)
            more = 4;
        else if (c >= 0xFC && c <= 0xFD)
            more = 5;
        else
            return false;
        for (; more > 0; --more) {
            // The terminating zero fails this test too.
            if ((*p++ & 0xC0) != 0x80)
                return false;
        }
    }
    return true;
}

bool HX2File::isGbk(const char* text)
{
    if (!text)
        return true;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        const unsigned char c = *p++;
        if (c < 0x80)
            continue;
        if (c < 0x81 || c > 0xFE)
            return false;
        const unsigned char trail = *p++;
        if (trail < 0x40 || trail > 0xFE)
            return false;
    }
    return true;
}

// ---- Digests

QString HX2File::toMd5(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray buffer(1 << 16, Qt::Uninitialized);
    for (;;) {
        const qint64 n = f.read(buffer.data(), buffer.size());
        if (n < 0)
            return QString();
        if (n == 0)
            break;
        hash.addData(buffer.constData(), static_cast<int>(n));
    }
    return QString::fromLatin1(hash.result().toHex());
}

QString HX2File::fileMd5(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Md5);
    char buffer[4096];
    for (qint64 left = f.size(); left > 0;) {
        const qint64 n = f.read(buffer, qMin<qint64>(left, sizeof buffer));
        if (n < 0)
            return QString();
        if (n == 0)
            break; // the file shrank meanwhile
        hash.addData(buffer, static_cast<int>(n));
        left -= n;
    }
    return QString::fromLatin1(hash.result().toHex());
}

QString HX2File::toBase64(const QString& path, QString* md5)
{
    QByteArray content;
    if (!loadBinary(content, path))
        return QString();
    if (md5)
        *md5 = QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
    return QString::fromLatin1(content.toBase64());
}

// ---- Other

static QString programDir()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    // Without an application object the program's own file still tells.
    return QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath()).absolutePath();
}

bool HX2File::loadResource(const QString& path)
{
    QString file = path;
    if (path.trimmed().isEmpty() || !QFileInfo(path).isFile())
        file = programDir() + QLatin1Char('/') + path;
    if (!QFileInfo(file).isFile())
        return false;
    return QResource::registerResource(file);
}

QString HX2File::version(const QString&, int*, int*, int*, int*)
{
    return QString();
}

bool HX2File::setTime(const QString& path, const QDateTime& time)
{
    if (!time.isValid())
        return false;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    return f.setFileTime(time, QFileDevice::FileModificationTime);
}
