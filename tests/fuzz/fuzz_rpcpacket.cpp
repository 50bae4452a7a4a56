// libFuzzer target for the decoders that read bytes from peers: the
// datagram frame decoder and the compact value decoders. Besides crashes
// and sanitizer reports it stops on broken contracts: a decode that does
// not consume what it reports, a buffer changed by an incomplete or bad
// decode, or a decoded frame that does not survive re-encoding.
#include "hx2rpcpacket.h"

#include <QJsonValue>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

void fuzzDatagrams(QByteArray buffer)
{
    for (int rounds = 0; rounds < 10000; ++rounds) {
        const QByteArray before = buffer;
        HX2RpcPacket p;
        p.attachment = "stale";
        const int code = p.fromDatagram(buffer);
        switch (code) {
        case HX2RpcPacket::Decoded: {
            check(buffer.size() < before.size());
            check(p.expected == 0);
            if (p.isEmpty())
                break;
            QByteArray frame = p.toDatagram();
            HX2RpcPacket q;
            check(q.fromDatagram(frame) == HX2RpcPacket::Decoded);
            check(frame.isEmpty());
            check(q.toCompact() == p.toCompact());
            check(q.attachment == p.attachment);
            break;
        }
        case HX2RpcPacket::KeepAlive:
            check(buffer.size() == before.size() - 4);
            check(p.isEmpty() && p.attachment.isEmpty());
            break;
        case HX2RpcPacket::Incomplete:
        case HX2RpcPacket::BadData:
            check(buffer == before);
            check(p.attachment.isEmpty());
            if (code == HX2RpcPacket::Incomplete && p.expected != 0)
                check(p.expected > before.size());
            return;
        default:
            check(false);
        }
    }
}

void fuzzCompactObject(QByteArray bytes)
{
    const HX2RpcPacket p;
    const int size = bytes.size();
    const QJsonObject obj = p.fromCompactObject(bytes);
    check(bytes.size() <= size);
    // The encoder must take whatever the decoder produced, and its output
    // must decode again without trouble.
    QByteArray again = p.toCompactValue(obj).mid(1);
    p.fromCompactObject(again);
}

void fuzzCompactValue(QByteArray bytes)
{
    if (bytes.isEmpty())
        return;
    const HX2RpcPacket p;
    const char tag = bytes.at(0);
    bytes.remove(0, 1);
    const QByteArray before = bytes;
    QJsonValue v;
    if (p.fromCompactValue(v, tag, bytes)) {
        check(bytes.size() <= before.size());
        p.toCompactValue(v);
    } else {
        check(bytes == before);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char*>(data + 1), int(size - 1));
    switch (data[0] % 3) {
    case 0:
        fuzzDatagrams(bytes);
        break;
    case 1:
        fuzzCompactObject(bytes);
        break;
    default:
        fuzzCompactValue(bytes);
        break;
    }
    return 0;
}
