#ifndef HX2FILE_H
#define HX2FILE_H

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

// Whole-file reading and writing, JSON and text files, directory search and
// removal, unique and temporary names, encoding tests, file digests and
// resource registration. No state; reentrant. Failures are reported by the
// result (false or empty), never thrown, logged or printed. Two threads
// writing the same path at once get no protection here.
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

    // ---- Text files. codec names a text codec ("UTF-8", "GBK"); empty means
    // the locale's encoding. An unknown codec name is refused (false) rather
    // than silently replaced by another encoding.

    // Reads the whole file as text into out; false (out unchanged) when the
    // file cannot be opened or the codec is unknown.
    static bool loadText(QString& out, const QString& path, const QString& codec = QString());
    // Creates the directory chain, then replaces the file atomically as
    // saveBinary does. True only when the new text is in place.
    static bool saveText(const QString& text, const QString& path, const QString& codec = QString());

    // ---- Directory trees.

    // Absolute paths of the regular files in dir matching any of the
    // wildcard filters (empty: every file), in name order, hidden entries
    // left out. With recursive, the files of each subdirectory (in name
    // order) come before dir's own. Names that cannot be represented in the
    // file-name encoding (bytes that are not UTF-8) are left out, since the
    // returned text could not open them.
    static QStringList search(const QString& dir, const QStringList& filters, bool recursive);
    // The same, adding each found file's size to totalSize (which the caller
    // initialises).
    static QStringList search(qint64& totalSize, const QString& dir, const QStringList& filters,
                              bool recursive);
    // Deletes dir's content, and dir itself with removeSelf. Only entries
    // the process may both read and write are removed; others (and the
    // directories holding them) stay. A symbolic link is deleted as a link:
    // nothing is ever removed through one, also when dir itself is a link.
    // Any file name is handled, whatever its bytes. True when dir no longer
    // exists (also when it never did), so with removeSelf false the result
    // is false whenever dir existed.
    static bool removeDirs(const QString& dir, bool removeSelf);

    // ---- Names.

    // path made absolute when no entry of that name exists; otherwise the
    // first free "base(n).suffix" (n = 2, 3, ...) in the same directory.
    // Nothing is created, so another process may take the name first.
    static QString autoRename(const QString& path);
    // An absolute path "prefix<number>[.suffix]" in the system temporary
    // directory at which no file existed when checked. The file is not
    // created and the name is predictable: never use it where another user
    // could plant a file first; use createTempFile there.
    static QString tempFileName(const QString& prefix, const QString& suffix = QString());
    // Creates a new empty file "prefix<random>[.suffix]" in the system
    // temporary directory, exclusively and readable only by its owner, and
    // returns its absolute path; the caller deletes it. Empty on failure.
    static QString createTempFile(const QString& prefix, const QString& suffix = QString());

    // ---- Encoding tests on zero-terminated bytes (null counts as empty;
    // the empty text passes both).

    // Well-formed lead/continuation structure (overlong forms and
    // surrogates are not checked).
    static bool isUtf8(const char* text);
    // Every byte from 0x80 up is a lead byte 81-FE followed by a trail byte
    // 40-FE.
    static bool isGbk(const char* text);

    // ---- Digests. All give 32 lower-case hexadecimal digits, or empty when
    // the file cannot be opened. Memory use does not grow with the file.

    // MD5 of the whole file.
    static QString toMd5(const QString& path);
    // MD5 of the file up to the size it had when opened (later growth is
    // not read), read in pieces of 4096 bytes.
    static QString fileMd5(const QString& path);
    // The whole content in standard Base64 (held in memory), and, when md5
    // is not null, its MD5 there. Empty when the file cannot be opened.
    static QString toBase64(const QString& path, QString* md5 = nullptr);

    // ---- Other.

    // Registers a compiled resource file at the resource root: path as
    // given, or, when that does not exist, relative to the program's
    // directory. False when neither exists or registration fails.
    static bool loadResource(const QString& path);
    // Executables of this platform carry no version resource: always empty,
    // and the numbers are left untouched.
    static QString version(const QString& path, int* major = nullptr, int* minor = nullptr,
                           int* patch = nullptr, int* build = nullptr);
    // Sets the file's modification time; false when the time is invalid or
    // the file cannot be opened or changed.
    static bool setTime(const QString& path, const QDateTime& time);
};

#endif
