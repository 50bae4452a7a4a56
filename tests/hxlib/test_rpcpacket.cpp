#include "hx2rpcpacket.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <cmath>

#include <string>
#include <vector>

namespace {

QByteArray bytes(std::initializer_list<int> list)
{
    QByteArray out;
    for (int b : list)
        out.append(static_cast<char>(b));
    return out;
}

QByteArray header(quint32 n, quint32 m)
{
    QByteArray h = bytes({0x00, 0x68, 0x78, 0x01, 0x01});
    for (int i = 0; i < 4; ++i)
        h.append(static_cast<char>((n >> (8 * i)) & 0xFF));
    for (int i = 0; i < 4; ++i)
        h.append(static_cast<char>((m >> (8 * i)) & 0xFF));
    h.append(bytes({0xFF, 0xFF, 0xFF}));
    return h;
}

QJsonObject obj(const char* json)
{
    return QJsonDocument::fromJson(QByteArray(json)).object();
}

std::string hex(const QByteArray& b)
{
    return b.toHex(' ').toStdString();
}

} // namespace

TEST(RpcPacketFrame, EncodesByteExact)
{
    struct Case {
        const char* name;
        const char* body;
        QByteArray attachment;
        QByteArray frame;
    };
    const std::vector<Case> cases = {
        {"cmd only", R"({"cmd":"a"})", {}, header(11, 0) + R"({"cmd":"a"})"},
        {"with attachment", R"({"cmd":"a"})", QByteArray("\x01\x00z", 3),
         header(11, 3) + R"({"cmd":"a"})" + QByteArray("\x01\x00z", 3)},
        {"utf-8 body counted in bytes", R"({"m":"缺"})", {}, header(11, 0) + QByteArray(R"({"m":"缺"})")},
        {"empty body is keep-alive", "{}", {}, bytes({0x00, 0x6B, 0x61, 0x00})},
        {"empty body drops the attachment", "{}", QByteArray("xyz"), bytes({0x00, 0x6B, 0x61, 0x00})},
    };
    for (const Case& c : cases) {
        HX2RpcPacket p(obj(c.body));
        p.attachment = c.attachment;
        EXPECT_EQ(hex(p.toDatagram()), hex(c.frame)) << c.name;
    }
    EXPECT_EQ(hex(HX2RpcPacket::keepAlive()), "00 6b 61 00");
    EXPECT_EQ(header(11, 0).size() + 11, HX2RpcPacket(obj(R"({"cmd":"a"})")).toDatagram().size());
}

TEST(RpcPacketFrame, DecodesTable)
{
    const QByteArray frameA = header(11, 0) + R"({"cmd":"a"})";
    const QByteArray frameB = header(11, 2) + R"({"cmd":"b"})" + "AT";
    struct Case {
        const char* name;
        QByteArray buffer;
        int code;
        int remaining;        // bytes left in the buffer
        const char* body;     // expected body on code 0/1; nullptr: the sentinel body stays
        QByteArray attachment;
        qint64 expected;
    };
    const std::vector<Case> cases = {
        {"one frame", frameA, 0, 0, R"({"cmd":"a"})", {}, 0},
        {"frame with attachment", frameB, 0, 0, R"({"cmd":"b"})", "AT", 0},
        {"frame then more bytes", frameA + QByteArray("\x00h", 2), 0, 2, R"({"cmd":"a"})", {}, 0},
        {"keep-alive", HX2RpcPacket::keepAlive() + frameA, 1, int(frameA.size()), "{}", {}, 0},
        {"empty buffer", {}, 2, 0, nullptr, {}, -1},
        {"first 10 bytes", frameA.left(10), 2, 10, nullptr, {}, -1},
        {"header only", frameA.left(16), 2, 16, nullptr, {}, 27},
        {"N=100 M=5, 50 bytes", header(100, 5) + QByteArray(34, 'x'), 2, 50, nullptr, {}, 121},
        {"huge announcement", header(0xFFFFFFFFu, 0xFFFFFFFFu), 2, 16, nullptr, {}, 16 + 2 * 4294967295LL},
        {"3 foreign bytes", "abc", 2, 3, nullptr, {}, -1},
        {"3 keep-alive bytes", bytes({0x00, 0x6B, 0x61}), 2, 3, nullptr, {}, -1},
        {"4 foreign bytes", "abcd", 4, 4, nullptr, {}, -1},
        {"near keep-alive", bytes({0x00, 0x6B, 0x61, 0x01}), 4, 4, nullptr, {}, -1},
        {"JSON does not parse", header(3, 0) + "{x}", 4, 19, nullptr, {}, 0},
        {"JSON array body reads as keep-alive", header(3, 0) + "[1]", 0, 0, "{}", {}, 0},
        {"unchecked version and trailer bytes", bytes({0x00, 0x68, 0x78, 0x07, 0x09}) + header(2, 0).mid(5, 8)
             + bytes({1, 2, 3}) + "{}",
         0, 0, "{}", {}, 0},
    };
    for (const Case& c : cases) {
        HX2RpcPacket p(obj(R"({"sentinel":1})"));
        p.attachment = "stale";
        p.expected = -1;
        QByteArray buffer = c.buffer;
        EXPECT_EQ(p.fromDatagram(buffer), c.code) << c.name;
        EXPECT_EQ(buffer.size(), c.remaining) << c.name;
        if (c.remaining > 0 && c.code >= 2) {
            EXPECT_EQ(buffer, c.buffer) << c.name << ": buffer must stay unchanged";
        }
        const QJsonObject body = c.body ? obj(c.body) : obj(R"({"sentinel":1})");
        EXPECT_EQ(QJsonObject(p), body) << c.name;
        EXPECT_EQ(p.attachment, c.attachment) << c.name;
        EXPECT_EQ(p.expected, c.expected) << c.name;
    }
}

TEST(RpcPacketFrame, StreamOfFramesAndBytewiseArrival)
{
    HX2RpcPacket a(obj(R"({"cmd":"a","seq":1})"));
    HX2RpcPacket b(obj(R"({"cmd":"b","params":{"x":[1,2]}})"));
    b.attachment = QByteArray(300, '\x7F');
    const QByteArray stream = a.toDatagram() + HX2RpcPacket().toDatagram() + b.toDatagram();

    // All at once: two frames and a keep-alive, in order, nothing left.
    QByteArray buffer = stream;
    HX2RpcPacket p;
    ASSERT_EQ(p.fromDatagram(buffer), 0);
    EXPECT_EQ(QJsonObject(p), QJsonObject(a));
    ASSERT_EQ(p.fromDatagram(buffer), 1);
    ASSERT_EQ(p.fromDatagram(buffer), 0);
    EXPECT_EQ(QJsonObject(p), QJsonObject(b));
    EXPECT_EQ(p.attachment, b.attachment);
    EXPECT_TRUE(buffer.isEmpty());

    // One byte at a time: each frame decodes exactly when its last byte arrives.
    buffer.clear();
    std::vector<int> codes;
    for (char ch : stream) {
        buffer.append(ch);
        for (;;) {
            HX2RpcPacket q;
            const int code = q.fromDatagram(buffer);
            ASSERT_NE(code, 4);
            if (code == 2)
                break;
            codes.push_back(code);
        }
    }
    EXPECT_EQ(codes, (std::vector<int>{0, 1, 0}));
    EXPECT_TRUE(buffer.isEmpty());
}

TEST(RpcPacketCompact, FromCompactAcceptsOnlyObjects)
{
    const std::vector<std::pair<QByteArray, int>> cases = {
        {R"({"a":1})", 0}, {"{}", 0}, {"[1]", 4}, {"", 4}, {"{", 4}, {"\"s\"", 4}, {"{\"a\":1}x", 4},
    };
    for (const auto& c : cases) {
        HX2RpcPacket p(obj(R"({"keep":true})"));
        EXPECT_EQ(p.fromCompact(c.first), c.second) << c.first.constData();
        if (c.second == 4) {
            EXPECT_EQ(QJsonObject(p), obj(R"({"keep":true})")) << c.first.constData();
        }
    }
    EXPECT_EQ(HX2RpcPacket(obj(R"({"b":[1,"x"],"a":true})")).toCompact(), QByteArray(R"({"a":true,"b":[1,"x"]})"));
}

// The frame's JSON text is the one Qt's writer makes, byte for byte, for
// every kind of value: numbers at the edges of the integer fast path,
// fractions, strings with escapes, non-ASCII and lone surrogates.
TEST(RpcPacketCompact, TextIsQtsCompactJson)
{
    QJsonArray numbers;
    for (double d : {0.0, -0.0, 1.0, -1.0, 7.5, 0.1, 1e6, 1e15, 1e16, 123456789012345.0, 9007199254740991.0,
                     9007199254740992.0, 9007199254740993.0, -9007199254740992.0, 1e21, 1e-7, 2.5e-300, 1.7e308,
                     3000000000.0, -4294967296.0, 65535.0})
        numbers.append(d);
    QJsonArray strings;
    for (const QString& t : {QString(), QStringLiteral("plain"), QStringLiteral("q\"b\\s/t\tn\nr\rb\bf\f"),
                             QString(QChar(1)) + QChar(0x1f) + QChar(0x7f), QStringLiteral("中文 ü é"),
                             QString::fromUtf16(u"\U0001F600 pair"), QString(QChar(0xD800)) + "lone" + QChar(0xDC00)})
        strings.append(t);
    QJsonObject object{{"numbers", numbers}, {"strings", strings}, {"null", QJsonValue()}, {"t", true},
                       {"f", false}, {"nested", QJsonObject{{"z", QJsonArray{QJsonArray{}, QJsonObject{}}}, {"a", 1}}}};
    for (const QString& key : {QStringLiteral("k\"ey"), QStringLiteral("ключ"), QStringLiteral("\n")})
        object.insert(key, key);
    EXPECT_EQ(HX2RpcPacket(object).toCompact(), QJsonDocument(object).toJson(QJsonDocument::Compact));
    for (int i = 0; i < 2000; ++i) {
        const double d = (i % 2 ? -1 : 1) * std::ldexp(double(i * 7919 % 1000 + 1) / 7.0, i % 70 - 20);
        const QJsonObject one{{"v", d}, {"i", double(qint64(d))}};
        ASSERT_EQ(HX2RpcPacket(one).toCompact(), QJsonDocument(one).toJson(QJsonDocument::Compact)) << d;
    }
}

TEST(RpcPacketCompact, ValueFormByteExact)
{
    const HX2RpcPacket p;
    const QJsonObject example = obj(R"({"a":true,"b":[1,"x"]})");
    const QByteArray exampleBytes = QByteArray::fromHex("3E613F7400623A3D31007C78000000");
    struct Case {
        const char* name;
        QJsonValue value;
        QByteArray encoded;
        bool roundTrips = true;
    };
    const std::vector<Case> cases = {
        {"the example object", example, exampleBytes},
        {"true", true, QByteArray("?t\0", 3)},
        {"false", false, QByteArray("?f\0", 3)},
        {"integer", 42, QByteArray("=42\0", 4)},
        {"15 significant digits", 0.1 + 0.2, QByteArray("=0.3\0", 5), false},
        {"large number", 1e20, QByteArray("=1e+20\0", 7)},
        {"negative fraction", -2.5, QByteArray("=-2.5\0", 6)},
        {"string", QStringLiteral("缺"), QByteArray("|\xE7\xBC\xBA\0", 5)},
        {"empty array", QJsonArray(), QByteArray(":\0", 2)},
        {"empty object", QJsonObject(), QByteArray(">\0", 2)},
        {"null", QJsonValue(), QByteArray()},
        {"nested", obj(R"({"o":{"k":"v"}})"), QByteArray(">o>k|v\0\0\0", 9)},
    };
    for (const Case& c : cases) {
        const QByteArray enc = p.toCompactValue(c.value);
        EXPECT_EQ(hex(enc), hex(c.encoded)) << c.name;
        if (enc.isEmpty() || !c.roundTrips)
            continue;
        // Every encoding above decodes back to its value and consumes itself.
        QByteArray rest = enc.mid(1) + "TAIL";
        QJsonValue back;
        ASSERT_TRUE(p.fromCompactValue(back, enc.at(0), rest)) << c.name;
        EXPECT_EQ(back, c.value) << c.name;
        EXPECT_EQ(rest, QByteArray("TAIL")) << c.name;
    }

    QByteArray members = exampleBytes.mid(1);
    ASSERT_EQ(members.size(), 14);
    EXPECT_EQ(p.fromCompactObject(members), example);
    EXPECT_TRUE(members.isEmpty());
}

TEST(RpcPacketCompact, DecodesLenientAndRefusesBadValues)
{
    const HX2RpcPacket p;
    struct Case {
        const char* name;
        char tag;
        QByteArray bytes;
        bool ok;
        QJsonValue value;
        int remaining;
    };
    const std::vector<Case> cases = {
        {"uppercase T is true", '?', QByteArray("T\0x", 3), true, true, 1},
        {"other letter is false", '?', QByteArray("yes\0", 4), true, false, 0},
        {"bool without terminator", '?', QByteArray("t"), true, true, 0},
        {"number text that is no number", '=', QByteArray("abc\0", 4), true, 0.0, 0},
        {"number without terminator", '=', QByteArray("12"), false, QJsonValue(), 2},
        {"empty number", '=', QByteArray("\0", 1), false, QJsonValue(), 1},
        {"empty string is refused", '|', QByteArray("\0", 1), false, QJsonValue(), 1},
        {"string without terminator", '|', QByteArray("abc"), false, QJsonValue(), 3},
        {"unterminated array", ':', QByteArray("=1\0", 3), false, QJsonValue(), 3},
        {"array with a non-tag byte", ':', QByteArray("x\0", 2), false, QJsonValue(), 2},
        {"array with a bad element", ':', QByteArray("=\0\0", 3), false, QJsonValue(), 3},
        {"unknown tag", '!', QByteArray("a\0", 2), false, QJsonValue(), 2},
        {"object up to the end of the bytes", '>', QByteArray("k|v\0", 4), true, obj(R"({"k":"v"})"), 0},
    };
    for (const Case& c : cases) {
        QByteArray rest = c.bytes;
        QJsonValue v;
        EXPECT_EQ(p.fromCompactValue(v, c.tag, rest), c.ok) << c.name;
        EXPECT_EQ(rest.size(), c.remaining) << c.name;
        if (c.ok)
            EXPECT_EQ(v, c.value) << c.name;
        else
            EXPECT_TRUE(v.isUndefined() || v.isNull()) << c.name;
    }
}

TEST(RpcPacketCompact, ObjectStopsAtFirstBadMemberAndNestingIsBounded)
{
    const HX2RpcPacket p;
    // Member b fails: a is kept, b's key and tag are consumed, the rest stays.
    QByteArray bytes("a=1\0b=\0c|z\0\0", 12);
    EXPECT_EQ(p.fromCompactObject(bytes), obj(R"({"a":1})"));
    EXPECT_EQ(bytes, QByteArray("\0c|z\0\0", 6));

    // A key is cut at a 00 met before the tag.
    QByteArray cut("ab\0cd|v\0\0", 9);
    EXPECT_EQ(p.fromCompactObject(cut), obj(R"({"ab":"v"})"));
    EXPECT_TRUE(cut.isEmpty());

    // Deep nesting is refused instead of recursing without bound.
    const int depth = 100000;
    QByteArray deep(depth, ':');
    QJsonValue v;
    EXPECT_FALSE(p.fromCompactValue(v, ':', deep));
    EXPECT_EQ(deep.size(), depth);
    QByteArray deepObjects;
    for (int i = 0; i < depth; ++i)
        deepObjects.append("k>");
    QByteArray copy = deepObjects;
    QJsonObject level = p.fromCompactObject(copy);
    int levels = 0;
    while (level.contains("k")) {
        level = level.value("k").toObject();
        ++levels;
    }
    EXPECT_EQ(levels, HX2RpcPacket::MaxCompactDepth);
    // Members past the limit are cut off level by level, without recursion.
    EXPECT_TRUE(copy.isEmpty());

    // Failures nested inside objects and arrays: each byte is decoded once
    // (decoding them again at every enclosing level took time exponential
    // in the depth and never finished here).
    QByteArray failing = QByteArray(":>").repeated(200) + "=";
    EXPECT_TRUE(p.fromCompactValue(v, '>', failing));
    EXPECT_EQ(v, QJsonValue(QJsonObject()));
    EXPECT_TRUE(failing.isEmpty());

    // Just inside the limit still decodes.
    const int ok = HX2RpcPacket::MaxCompactDepth - 1;
    QByteArray nested = QByteArray(ok, ':') + QByteArray(ok + 1, '\0');
    EXPECT_TRUE(p.fromCompactValue(v, ':', nested));
    EXPECT_EQ(nested.size(), 0);
}

TEST(RpcPacketModel, MakeAndCorrelationCopies)
{
    EXPECT_EQ(QJsonObject(HX2RpcPacket::make("x", 0, {})), obj(R"({"cmd":"x","err":0})"));
    EXPECT_EQ(QJsonObject(HX2RpcPacket::make("x", 7, obj(R"({"a":1})"))),
              obj(R"({"cmd":"x","err":7,"params":{"a":1}})"));

    const QJsonObject src = obj(R"({"seq":5,"_tag":"a","params":{"p":1},"cmd":"c","cno":"n",
        "routers":[{"fd":1,"session":2}],"Seq":9,"x_":1,"err":3,"token":"t"})");
    const QJsonObject corr = obj(R"({"seq":5,"_tag":"a","cmd":"c","cno":"n","routers":[{"fd":1,"session":2}]})");

    QJsonObject dst = obj(R"({"seq":1,"keep":true})");
    HX2RpcPacket::copyResponsed(dst, src);
    QJsonObject want = corr;
    want.insert("keep", true);
    EXPECT_EQ(dst, want);

    dst = obj(R"({"keep":true})");
    HX2RpcPacket::copyResponsed(dst, src, 12, QString());
    want.insert("err", 12);
    EXPECT_EQ(dst, want);
    HX2RpcPacket::copyResponsed(dst, src, 13, "m");
    want.insert("err", 13);
    want.insert("errmsg", "m");
    EXPECT_EQ(dst, want);

    EXPECT_EQ(QJsonObject(HX2RpcPacket::copyResponsed(src)), corr);
    QJsonObject withErr = corr;
    withErr.insert("err", 0);
    EXPECT_EQ(QJsonObject(HX2RpcPacket::copyResponsed(src, 0, QString())), withErr);
}

TEST(RpcPacketModel, ShrinkTakeRouterAndAssignment)
{
    const QJsonObject src = obj(R"({"cmd":"c","routers":[{"fd":1}],"params":{},"_x":1,"seq":2})");
    HX2RpcPacket p(src);
    p.shrink();
    EXPECT_EQ(QJsonObject(p), obj(R"({"cmd":"c","_x":1,"seq":2})"));
    HX2RpcPacket q(obj(R"({"other":1})"));
    q.shrink(src);
    EXPECT_EQ(QJsonObject(q), obj(R"({"cmd":"c","routers":[{"fd":1}],"_x":1,"seq":2})"));

    struct Case {
        const char* name;
        const char* in;
        bool ok;
        int fd;
        int session;
        const char* out;
    };
    const std::vector<Case> cases = {
        {"one hop", R"({"routers":[{"fd":3,"session":7}],"k":1})", true, 3, 7, R"({"k":1})"},
        {"two hops: the last is nearest", R"({"routers":[{"fd":1,"session":2},{"fd":3,"session":4}]})", true, 3, 4,
         R"({"routers":[{"fd":1,"session":2}]})"},
        {"hop without numbers", R"({"routers":[{"fd":"x"}]})", true, 0, 0, "{}"},
        {"no routers", R"({"k":1})", false, -1, -1, R"({"k":1})"},
        {"empty routers", R"({"routers":[]})", false, -1, -1, R"({"routers":[]})"},
        {"routers not an array", R"({"routers":5})", false, -1, -1, R"({"routers":5})"},
    };
    for (const Case& c : cases) {
        QJsonObject o = obj(c.in);
        int fd = -1;
        int session = -1;
        EXPECT_EQ(HX2RpcPacket::takeRouter(fd, session, o), c.ok) << c.name;
        EXPECT_EQ(fd, c.fd) << c.name;
        EXPECT_EQ(session, c.session) << c.name;
        EXPECT_EQ(o, obj(c.out)) << c.name;
    }

    HX2RpcPacket a(obj(R"({"a":1})"));
    a.attachment = "bin";
    a.expected = 5;
    a = obj(R"({"b":2})");
    EXPECT_EQ(QJsonObject(a), obj(R"({"b":2})"));
    EXPECT_EQ(a.attachment, QByteArray("bin"));
    EXPECT_EQ(a.expected, 5);
    HX2RpcPacket b;
    b = a;
    EXPECT_EQ(b.attachment, QByteArray("bin"));
    EXPECT_EQ(QJsonObject(b), obj(R"({"b":2})"));
    EXPECT_TRUE(HX2RpcPacket().isKeepAlive());
    EXPECT_FALSE(b.isKeepAlive());
}
