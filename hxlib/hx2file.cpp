#include "hx2file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>

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
