// Identifiers, random codes, digests and gzip.
#include "hx2utils.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QUuid>

#include <zlib.h>

namespace {

const char kBase62[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

QString withoutBraces(QString s)
{
    s.remove(QLatin1Char('{'));
    s.remove(QLatin1Char('-'));
    s.remove(QLatin1Char('}'));
    return s;
}

// Folds the bytes into 64 bits (acc * 10 + byte, wrapping) and writes the
// result in the first `base` digits of kBase62.
QString foldedId(const QString& text, int base)
{
    const QString source = text.isEmpty() ? QUuid::createUuid().toString() : text;
    quint64 acc = 0;
    for (const char c : withoutBraces(source).toUtf8())
        acc = acc * 10 + static_cast<unsigned char>(c);
    QString out;
    for (; acc != 0; acc /= static_cast<quint64>(base))
        out.prepend(QLatin1Char(kBase62[acc % static_cast<quint64>(base)]));
    return out;
}

} // namespace

QString HX2Uuid(const QString& text) { return foldedId(text, 36); }
QString HX2Uuid62(const QString& text) { return foldedId(text, 62); }

QString HX2ToBase62(const QString& text)
{
    const QLatin1String alphabet(kBase62);
    QString out;
    quint64 value = 0;
    bool any = false;
    for (const QChar c : withoutBraces(text.trimmed())) {
        const int digit = alphabet.indexOf(c);
        if (digit < 0)
            continue;
        any = true;
        value = value * 10 + static_cast<quint64>(digit);
        while (value >= 62) {
            out += QLatin1Char(kBase62[value % 62]);
            value /= 62;
        }
    }
    if (any)
        out += QLatin1Char(kBase62[value]);
    return out;
}

QString randCode(int n)
{
    static const char alphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    QString out;
    if (n <= 0)
        return out;
    out.reserve(n);
    QRandomGenerator* rng = QRandomGenerator::system();
    for (int i = 0; i < n; ++i)
        out += QLatin1Char(alphabet[rng->bounded(62)]);
    return out;
}

QString md5hex(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

QString md5hex(const QString& text) { return md5hex(text.toUtf8()); }

QString hmacSha1(const QByteArray& data, const QByteArray& key)
{
    return QString::fromLatin1(
        QMessageAuthenticationCode::hash(data, key, QCryptographicHash::Sha1).toHex());
}

quint32 crc32(const QByteArray& data)
{
    uLong crc = ::crc32(0L, Z_NULL, 0);
    crc = ::crc32(crc, reinterpret_cast<const Bytef*>(data.constData()), static_cast<uInt>(data.size()));
    return static_cast<quint32>(crc);
}

QByteArray gnuzip(const QByteArray& data)
{
    z_stream zs{};
    // Window bits 15 + 16: a gzip wrapper around the deflate stream.
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return QByteArray();
    gz_header header{};
    header.os = 11;
    header.time = 0;
    QByteArray out;
    if (deflateSetHeader(&zs, &header) == Z_OK) {
        out.resize(static_cast<int>(deflateBound(&zs, static_cast<uLong>(data.size()))));
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
        zs.avail_in = static_cast<uInt>(data.size());
        zs.next_out = reinterpret_cast<Bytef*>(out.data());
        zs.avail_out = static_cast<uInt>(out.size());
        if (deflate(&zs, Z_FINISH) == Z_STREAM_END)
            out.resize(static_cast<int>(zs.total_out));
        else
            out.clear();
    }
    deflateEnd(&zs);
    return out;
}
