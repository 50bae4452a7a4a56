#ifndef HX2RPCPACKET_H
#define HX2RPCPACKET_H

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QMetaType>
#include <QString>

// The unit of the local RPC: a JSON object (request or reply) plus an
// optional attachment of raw bytes that travels after the JSON in a
// datagram frame.
//
// Frame: 00 68 78 01 01, N (u32 LE, JSON length), M (u32 LE, attachment
// length), FF FF FF, N bytes of compact JSON, M attachment bytes. The four
// bytes 00 6B 61 00 are the keep-alive frame and stand for an empty packet.
//
// Requests name their command in "cmd"; replies carry "err" and "errmsg".
// The correlation set {"seq", "cno", "cmd", keys beginning with "_",
// "routers"} is what the copyResponsed() family carries from a request into
// its reply (exact, case-sensitive match).
//
// A packet is a plain value: copyable, no shared state, no lock.
class HX2RpcPacket : public QJsonObject
{
public:
    // Largest JSON text plus attachment a receiver accepts from a peer. A
    // header announcing more is refused by the socket layer before any of
    // the body is buffered; fromDatagram() itself does not limit it.
    static constexpr qint64 MaxPeerPayload = 16 * 1024 * 1024;
    // Bytes of a frame's header, before its JSON text.
    static constexpr int HeaderSize = 16;
    // A frame of this many bytes in all (as fromDatagram() sets expected
    // for an incomplete one) carries no more than MaxPeerPayload.
    static bool acceptableFromPeer(qint64 frameBytes) { return frameBytes - HeaderSize <= MaxPeerPayload; }

    // Result codes of fromDatagram() and fromCompact().
    enum Decode {
        Decoded = 0,    // one frame cut off the buffer
        KeepAlive = 1,  // a keep-alive frame cut off the buffer
        Incomplete = 2, // more bytes needed; buffer unchanged
        BadData = 4     // the front of the buffer is no frame; buffer unchanged
    };

    HX2RpcPacket() = default;
    HX2RpcPacket(const QJsonObject& obj);
    HX2RpcPacket(const HX2RpcPacket& other) = default;
    HX2RpcPacket& operator=(const HX2RpcPacket& other) = default;
    // Replaces the body only; attachment and expected stay.
    HX2RpcPacket& operator=(const QJsonObject& obj);

    // {"cmd": cmd, "err": err} plus "params" when params is non-empty.
    static HX2RpcPacket make(const QString& cmd, int err,
                             const QJsonObject& params = QJsonObject());
    // The four keep-alive bytes.
    static QByteArray keepAlive();

    // Copies the correlation keys of src into dst, replacing existing ones.
    static void copyResponsed(QJsonObject& dst, const QJsonObject& src);
    // As above, then "err" = err and, when errmsg is non-empty, "errmsg".
    static void copyResponsed(QJsonObject& dst, const QJsonObject& src, int err,
                              const QString& errmsg);
    // A packet holding exactly the correlation keys of src.
    static HX2RpcPacket copyResponsed(const QJsonObject& src);
    static HX2RpcPacket copyResponsed(const QJsonObject& src, int err, const QString& errmsg);

    // Pops the nearest hop (the last element) of obj's "routers" into fd and
    // session (0 when a field is missing or not a number); removes "routers"
    // when it becomes empty. Returns false, changing nothing, when there is
    // no hop.
    static bool takeRouter(int& fd, int& session, QJsonObject& obj);

    // A decoded keep-alive leaves the body empty.
    bool isKeepAlive() const { return isEmpty(); }

    // The body becomes exactly the correlation keys of src.
    void shrink(const QJsonObject& src);
    // Keeps only "seq", "cno", "cmd" and "_"-keys ("routers" goes too).
    void shrink();

    // The frame of this packet; an empty body gives the keep-alive frame and
    // the attachment is then not sent.
    QByteArray toDatagram() const;
    // Decodes the frame at the front of buffer and returns a Decode code.
    // Decoded: the frame is removed from buffer, body and attachment replaced,
    // expected 0. KeepAlive: 4 bytes removed, body emptied, expected 0. Incomplete:
    // buffer unchanged; when the header is complete, expected = the whole
    // frame's length. BadData: buffer and body unchanged. The attachment is
    // cleared in every case. Never copies more than one complete frame.
    int fromDatagram(QByteArray& buffer);

    // The body as compact JSON text.
    QByteArray toCompact() const;
    // Decoded (0) and the body replaced when bytes is a JSON object;
    // BadData (4), body unchanged, otherwise.
    int fromCompact(const QByteArray& bytes);

    // The tagged compact value form: "?" t|f 00, "=" number 00, "|" text 00,
    // ":" elements 00, ">" key value ... 00; null gives no bytes.
    QByteArray toCompactValue(const QJsonValue& value) const;
    // Decodes one value whose tag byte has already been taken off the front
    // of bytes, and removes what it decoded. False when the bytes form no
    // value of that tag (or nest deeper than MaxCompactDepth); bytes are then
    // left unchanged.
    bool fromCompactValue(QJsonValue& value, char tag, QByteArray& bytes) const;
    // Decodes object members from the front of bytes (the ">" tag already
    // taken) until the closing 00, the end of the bytes or the first member
    // that does not decode; removes what it consumed and returns the members
    // decoded so far.
    QJsonObject fromCompactObject(QByteArray& bytes) const;

    // Nesting of arrays and objects the compact value decoder follows before
    // it refuses, so that hostile input cannot exhaust the stack.
    static constexpr int MaxCompactDepth = 128;

    QByteArray attachment;
    // Whole frame length awaited after an Incomplete decode with a complete
    // header, else 0. 64 bits: a peer's header may announce up to 8 GiB.
    qint64 expected = 0;
};

Q_DECLARE_METATYPE(HX2RpcPacket)

#endif
