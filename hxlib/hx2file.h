#ifndef HX2FILE_H
#define HX2FILE_H

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

// Whole-file reading and writing, and JSON files. No state; reentrant.
// Two threads writing the same path at once get no protection here.
class HX2File
{
public:
    // On success reads the whole file into out and returns true; on failure
    // returns false and leaves out unchanged.
    static bool loadBinary(QByteArray& out, const QString& path);
    // The whole file, or empty when it cannot be opened.
    static QByteArray readAll(const QString& path);
    // Creates the directory chain, then replaces the file atomically: the
    // data goes to a temporary file beside it, which is renamed over the
    // target only once it is completely written. Returns true only when the
    // new content is in place; on failure the old file is untouched.
    static bool saveBinary(const QByteArray& data, const QString& path);

    // False when the file cannot be read or does not parse (out unchanged);
    // a document that is an array gives an empty object and true.
    static bool loadJson(QJsonObject& out, const QString& path);
    static QJsonObject readJsonObject(const QString& path);
    static QJsonArray readJsonArray(const QString& path);
    // Saves an object or array as compact or indented (four blanks) JSON
    // through saveBinary; any other kind of value returns false and writes
    // nothing.
    static bool saveJson(const QString& path, const QJsonValue& value, bool compact);
};

#endif
