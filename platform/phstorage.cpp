#include "phstorage.h"

#include "hx2runner.h"

PHStorage::PHStorage(QObject* parent) : QObject(parent) {}
PHStorage::~PHStorage() = default;

QStringList PHStorage::listArgs()
{
    return {QStringLiteral("list"), QStringLiteral("-H"), QStringLiteral("-t"), QStringLiteral("filesystem"),
            QStringLiteral("-o"), QStringLiteral("name,mountpoint,mounted")};
}

QJsonObject PHStorage::parseList(const QStringList& lines)
{
    QJsonObject out;
    for (const QString& line : lines) {
        // zfs separates the columns by single tabs; a mount point may hold
        // blanks, so only tabs split here.
        const QStringList cols = line.split(QLatin1Char('\t'));
        if (cols.size() != 3)
            continue;
        const QString name = cols.at(0).trimmed();
        const QString mountpoint = cols.at(1);
        const QString mounted = cols.at(2).trimmed();
        if (mounted != QLatin1String("yes") || !mountpoint.startsWith(QLatin1Char('/')))
            continue;
        const int slash = name.indexOf(QLatin1Char('/'));
        if (slash <= 0 || slash == name.size() - 1)
            continue;
        QJsonObject entry;
        entry.insert(QStringLiteral("fstype"), QStringLiteral("zfs"));
        entry.insert(QStringLiteral("vg"), name.left(slash));
        entry.insert(QStringLiteral("lv"), name.mid(slash + 1));
        entry.insert(QStringLiteral("name"), name);
        entry.insert(QStringLiteral("mountpoint"), mountpoint);
        out.insert(mountpoint, entry);
    }
    return out;
}

QJsonObject PHStorage::mountpoints() const
{
    HX2RunOptions options;
    options.startMs = 10000;
    options.finishMs = 30000;
    const HX2RunResult r = HX2Runner::run(QStringLiteral("zfs"), listArgs(), options);
    if (!r.ok)
        return QJsonObject();
    return parseList(r.outLines(true));
}
