#include "hx2rpcpacket.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <cmath>
#include <cstring>

namespace {

const char kMark[3] = {'\x00', 'h', 'x'};
const char kKeepAlive[4] = {'\x00', 'k', 'a', '\x00'};
constexpr int kHeaderSize = HX2RpcPacket::HeaderSize;

bool inCorrelationSet(const QString& key)
{
    return key == QLatin1String("seq") || key == QLatin1String("cno")
        || key == QLatin1String("cmd") || key.startsWith(QLatin1Char('_'))
        || key == QLatin1String("routers");
}

void putU32(char* at, quint32 v)
{
    at[0] = static_cast<char>(v & 0xFF);
    at[1] = static_cast<char>((v >> 8) & 0xFF);
    at[2] = static_cast<char>((v >> 16) & 0xFF);
    at[3] = static_cast<char>((v >> 24) & 0xFF);
}

quint32 getU32(const char* at)
{
    const auto* u = reinterpret_cast<const unsigned char*>(at);
    return quint32(u[0]) | (quint32(u[1]) << 8) | (quint32(u[2]) << 16) | (quint32(u[3]) << 24);
}

bool isTag(char c)
{
    return c == ':' || c == '=' || c == '>' || c == '?' || c == '|';
}

// Decoder of the compact value form over a read position. Every byte is
// looked at once: a nested decode that fails leaves the position where it
// stopped. The public calls commit the position to the caller's bytes.
class CompactReader
{
public:
    CompactReader(const QByteArray& bytes, int pos) : m_data(bytes.constData()), m_size(bytes.size()), m_pos(pos) {}

    int pos() const { return m_pos; }

    bool value(QJsonValue& out, char tag, int depth)
    {
        switch (tag) {
        case '?': {
            const bool t = m_pos < m_size && (m_data[m_pos] == 't' || m_data[m_pos] == 'T');
            const int zero = findZero(m_pos);
            m_pos = zero < 0 ? m_size : zero + 1;
            out = QJsonValue(t);
            return true;
        }
        case '=': {
            const int zero = findZero(m_pos);
            if (zero <= m_pos)
                return false;
            const QByteArray text(m_data + m_pos, zero - m_pos);
            m_pos = zero + 1;
            bool ok = false;
            const double d = text.toDouble(&ok);
            out = QJsonValue(ok ? d : 0.0);
            return true;
        }
        case '|': {
            const int zero = findZero(m_pos);
            if (zero <= m_pos)
                return false;
            out = QJsonValue(QString::fromUtf8(m_data + m_pos, zero - m_pos));
            m_pos = zero + 1;
            return true;
        }
        case ':': {
            if (depth >= HX2RpcPacket::MaxCompactDepth)
                return false;
            QJsonArray arr;
            for (;;) {
                if (m_pos >= m_size)
                    return false;
                const char c = m_data[m_pos];
                if (c == '\x00') {
                    ++m_pos;
                    out = arr;
                    return true;
                }
                if (!isTag(c))
                    return false;
                ++m_pos;
                QJsonValue element;
                if (!value(element, c, depth + 1))
                    return false;
                arr.append(element);
            }
        }
        case '>':
            if (depth >= HX2RpcPacket::MaxCompactDepth)
                return false;
            out = object(depth + 1);
            return true;
        default:
            return false;
        }
    }

    QJsonObject object(int depth)
    {
        QJsonObject obj;
        for (;;) {
            if (m_pos >= m_size)
                return obj;
            if (m_data[m_pos] == '\x00') {
                ++m_pos;
                return obj;
            }
            int tagAt = m_pos;
            while (tagAt < m_size && !isTag(m_data[tagAt]))
                ++tagAt;
            if (tagAt >= m_size)
                return obj; // no further member: the bytes ran out
            int keyEnd = m_pos;
            while (keyEnd < tagAt && m_data[keyEnd] != '\x00')
                ++keyEnd;
            const QString key = QString::fromUtf8(m_data + m_pos, keyEnd - m_pos);
            const char tag = m_data[tagAt];
            m_pos = tagAt + 1;
            QJsonValue v;
            // What a failed member consumed stays consumed: backing up would
            // make every enclosing level decode the same bytes again, which
            // costs time exponential in the nesting.
            if (!value(v, tag, depth))
                return obj;
            obj.insert(key, v);
        }
    }

private:
    int findZero(int from) const
    {
        const void* z = from < m_size ? std::memchr(m_data + from, 0, size_t(m_size - from)) : nullptr;
        return z ? int(static_cast<const char*>(z) - m_data) : -1;
    }

    const char* m_data;
    int m_size;
    int m_pos;
};

void appendCompact(QByteArray& out, const QJsonValue& value)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        out.append('?').append(value.toBool() ? 't' : 'f').append('\x00');
        break;
    case QJsonValue::Double:
        out.append('=').append(QByteArray::number(value.toDouble(), 'g', 15)).append('\x00');
        break;
    case QJsonValue::String:
        out.append('|').append(value.toString().toUtf8()).append('\x00');
        break;
    case QJsonValue::Array: {
        out.append(':');
        const QJsonArray arr = value.toArray();
        for (const QJsonValue& v : arr)
            appendCompact(out, v);
        out.append('\x00');
        break;
    }
    case QJsonValue::Object: {
        out.append('>');
        const QJsonObject obj = value.toObject();
        for (auto it = obj.constBegin(); it != obj.constEnd(); ++it) {
            out.append(it.key().toUtf8());
            appendCompact(out, it.value());
        }
        out.append('\x00');
        break;
    }
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        break;
    }
}

} // namespace

HX2RpcPacket::HX2RpcPacket(const QJsonObject& obj) : QJsonObject(obj) {}

HX2RpcPacket& HX2RpcPacket::operator=(const QJsonObject& obj)
{
    QJsonObject::operator=(obj);
    return *this;
}

HX2RpcPacket HX2RpcPacket::make(const QString& cmd, int err, const QJsonObject& params)
{
    HX2RpcPacket p;
    p.insert(QStringLiteral("cmd"), cmd);
    p.insert(QStringLiteral("err"), err);
    if (!params.isEmpty())
        p.insert(QStringLiteral("params"), params);
    return p;
}

QByteArray HX2RpcPacket::keepAlive()
{
    return QByteArray(kKeepAlive, sizeof kKeepAlive);
}

void HX2RpcPacket::copyResponsed(QJsonObject& dst, const QJsonObject& src)
{
    for (auto it = src.constBegin(); it != src.constEnd(); ++it) {
        if (inCorrelationSet(it.key()))
            dst.insert(it.key(), it.value());
    }
}

void HX2RpcPacket::copyResponsed(QJsonObject& dst, const QJsonObject& src, int err,
                                 const QString& errmsg)
{
    copyResponsed(dst, src);
    dst.insert(QStringLiteral("err"), err);
    if (!errmsg.isEmpty())
        dst.insert(QStringLiteral("errmsg"), errmsg);
}

HX2RpcPacket HX2RpcPacket::copyResponsed(const QJsonObject& src)
{
    HX2RpcPacket p;
    copyResponsed(p, src);
    return p;
}

HX2RpcPacket HX2RpcPacket::copyResponsed(const QJsonObject& src, int err, const QString& errmsg)
{
    HX2RpcPacket p;
    copyResponsed(p, src, err, errmsg);
    return p;
}

bool HX2RpcPacket::takeRouter(int& fd, int& session, QJsonObject& obj)
{
    QJsonArray hops = obj.value(QStringLiteral("routers")).toArray();
    if (hops.isEmpty())
        return false;
    const QJsonObject hop = hops.takeAt(hops.size() - 1).toObject();
    fd = hop.value(QStringLiteral("fd")).toInt();
    session = hop.value(QStringLiteral("session")).toInt();
    if (hops.isEmpty())
        obj.remove(QStringLiteral("routers"));
    else
        obj.insert(QStringLiteral("routers"), hops);
    return true;
}

void HX2RpcPacket::shrink(const QJsonObject& src)
{
    QJsonObject::operator=(QJsonObject());
    copyResponsed(*this, src);
}

void HX2RpcPacket::shrink()
{
    QJsonObject kept;
    for (auto it = constBegin(); it != constEnd(); ++it) {
        if (inCorrelationSet(it.key()) && it.key() != QLatin1String("routers"))
            kept.insert(it.key(), it.value());
    }
    QJsonObject::operator=(kept);
}

QByteArray HX2RpcPacket::toDatagram() const
{
    if (isEmpty())
        return keepAlive();
    const QByteArray json = toCompact();
    QByteArray frame(kHeaderSize, '\x00');
    char* h = frame.data();
    std::memcpy(h, kMark, sizeof kMark);
    h[3] = '\x01';
    h[4] = '\x01';
    putU32(h + 5, quint32(json.size()));
    putU32(h + 9, quint32(attachment.size()));
    h[13] = h[14] = h[15] = '\xFF';
    frame.reserve(kHeaderSize + json.size() + attachment.size());
    frame.append(json);
    frame.append(attachment);
    return frame;
}

int HX2RpcPacket::fromDatagram(QByteArray& buffer)
{
    attachment.clear();
    if (buffer.size() >= 4 && std::memcmp(buffer.constData(), kKeepAlive, 4) == 0) {
        buffer.remove(0, 4);
        QJsonObject::operator=(QJsonObject());
        expected = 0;
        return KeepAlive;
    }
    if (buffer.size() < int(sizeof kMark) || std::memcmp(buffer.constData(), kMark, sizeof kMark) != 0) {
        // Fewer than four bytes could still become a keep-alive or a frame.
        return buffer.size() < 4 ? Incomplete : BadData;
    }
    if (buffer.size() < kHeaderSize)
        return Incomplete;
    const qint64 n = getU32(buffer.constData() + 5);
    const qint64 m = getU32(buffer.constData() + 9);
    const qint64 total = kHeaderSize + n + m;
    if (buffer.size() < total) {
        expected = total;
        return Incomplete;
    }
    expected = 0;
    QJsonParseError perr;
    const QJsonDocument doc = QJsonDocument::fromJson(
        QByteArray::fromRawData(buffer.constData() + kHeaderSize, int(n)), &perr);
    if (perr.error != QJsonParseError::NoError)
        return BadData;
    QJsonObject::operator=(doc.object());
    if (m > 0)
        attachment = buffer.mid(kHeaderSize + int(n), int(m));
    buffer.remove(0, int(total));
    return Decoded;
}

namespace {

// Compact JSON text, byte for byte what QJsonDocument::toJson(Compact)
// writes, but with integral numbers (the bulk of every listing) written
// without going through Qt's value conversions.
void writeCompact(QByteArray& out, const QJsonValue& v);

void writeString(QByteArray& out, const QString& s)
{
    static const char hex[] = "0123456789abcdef";
    // Plain ASCII, the usual text, is copied in one pass; anything else
    // continues character by character from where it was met.
    const int start = out.size();
    out.resize(start + s.size() + 2);
    char* w = out.data() + start;
    *w++ = '"';
    const QChar* p = s.constData();
    const QChar* const end = p + s.size();
    while (p != end) {
        const ushort u = p->unicode();
        if (u < 0x20 || u >= 0x80 || u == '"' || u == '\\')
            break;
        *w++ = char(u);
        ++p;
    }
    if (p == end) {
        *w = '"';
        return;
    }
    out.truncate(int(w - out.constData()));
    while (p != end) {
        const ushort u = p->unicode();
        if (u >= 0x20 && u < 0x80 && u != '"' && u != '\\') {
            out += char(u);
            ++p;
            continue;
        }
        if (u < 0x80) {
            out += '\\';
            switch (u) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case 0x8: out += 'b'; break;
            case 0xc: out += 'f'; break;
            case 0xa: out += 'n'; break;
            case 0xd: out += 'r'; break;
            case 0x9: out += 't'; break;
            default:
                out += "u00";
                out += hex[u >> 4];
                out += hex[u & 0xf];
            }
            ++p;
            continue;
        }
        if (QChar::isHighSurrogate(u) && p + 1 != end && QChar::isLowSurrogate(p[1].unicode())) {
            out += QString(p, 2).toUtf8();
            p += 2;
            continue;
        }
        if (QChar::isSurrogate(u)) {
            // A lone surrogate has no UTF-8 form: escaped as it stands.
            out += "\\u";
            out += hex[(u >> 12) & 0xf];
            out += hex[(u >> 8) & 0xf];
            out += hex[(u >> 4) & 0xf];
            out += hex[u & 0xf];
            ++p;
            continue;
        }
        out += QString(p, 1).toUtf8();
        ++p;
    }
    out += '"';
}

void writeNumber(QByteArray& out, double d)
{
    // Integers up to 2^53 are exact and Qt writes their digits; the rest
    // (fractions, larger magnitudes, where Qt's own rules decide between
    // integer and shortest-double forms) go through Qt's writer.
    if (d >= -9007199254740992.0 && d <= 9007199254740992.0 && d == std::floor(d)) {
        char buf[24];
        char* const e = buf + sizeof buf;
        char* b = e;
        const qint64 n = qint64(d);
        quint64 m = n < 0 ? quint64(-n) : quint64(n);
        do {
            *--b = char('0' + m % 10);
            m /= 10;
        } while (m);
        if (n < 0)
            *--b = '-';
        out.append(b, int(e - b));
        return;
    }
    const QByteArray one = QJsonDocument(QJsonArray{d}).toJson(QJsonDocument::Compact);
    out.append(one.constData() + 1, one.size() - 2);
}

void writeCompact(QByteArray& out, const QJsonValue& v)
{
    switch (v.type()) {
    case QJsonValue::Null:
        out += "null";
        break;
    case QJsonValue::Bool:
        out += v.toBool() ? "true" : "false";
        break;
    case QJsonValue::Double:
        writeNumber(out, v.toDouble());
        break;
    case QJsonValue::String:
        writeString(out, v.toString());
        break;
    case QJsonValue::Array: {
        out += '[';
        const QJsonArray a = v.toArray();
        bool first = true;
        for (const QJsonValue& e : a) {
            if (!first)
                out += ',';
            first = false;
            writeCompact(out, e);
        }
        out += ']';
        break;
    }
    case QJsonValue::Object: {
        out += '{';
        const QJsonObject o = v.toObject();
        bool first = true;
        for (auto it = o.constBegin(); it != o.constEnd(); ++it) {
            if (!first)
                out += ',';
            first = false;
            writeString(out, it.key());
            out += ':';
            writeCompact(out, it.value());
        }
        out += '}';
        break;
    }
    case QJsonValue::Undefined:
        break;
    }
}

} // namespace

QByteArray HX2RpcPacket::toCompact() const
{
    QByteArray out;
    writeCompact(out, QJsonValue(static_cast<const QJsonObject&>(*this)));
    return out;
}

int HX2RpcPacket::fromCompact(const QByteArray& bytes)
{
    QJsonParseError perr;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &perr);
    if (perr.error != QJsonParseError::NoError || !doc.isObject())
        return BadData;
    QJsonObject::operator=(doc.object());
    return Decoded;
}

QByteArray HX2RpcPacket::toCompactValue(const QJsonValue& value) const
{
    QByteArray out;
    appendCompact(out, value);
    return out;
}

bool HX2RpcPacket::fromCompactValue(QJsonValue& value, char tag, QByteArray& bytes) const
{
    CompactReader reader(bytes, 0);
    QJsonValue v;
    if (!reader.value(v, tag, 0))
        return false;
    bytes.remove(0, reader.pos());
    value = v;
    return true;
}

QJsonObject HX2RpcPacket::fromCompactObject(QByteArray& bytes) const
{
    CompactReader reader(bytes, 0);
    const QJsonObject obj = reader.object(0);
    bytes.remove(0, reader.pos());
    return obj;
}
