// Identifiers, random codes, digests, gzip, shell quoting, shared memory.
#include "hx2runner.h"
#include "hx2utils.h"

#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include "../printqt.h"

#include <gtest/gtest.h>

#include <unistd.h>

TEST(UtilsIdentTest, DigestVectors)
{
    // CRC-32 (IEEE 802.3).
    EXPECT_EQ(crc32(""), 0u);
    EXPECT_EQ(crc32("123456789"), 0xCBF43926u);
    EXPECT_EQ(crc32("The quick brown fox jumps over the lazy dog"), 0x414FA339u);

    // MD5 (RFC 1321 suite).
    EXPECT_EQ(md5hex(QByteArray("")), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5hex(QByteArray("a")), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5hex(QByteArray("message digest")), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5hex(QString::fromUtf8("中文")), md5hex(QByteArray("\xe4\xb8\xad\xe6\x96\x87")));

    // HMAC-SHA1 (RFC 2202 test cases 1-7).
    QByteArray key4;
    for (char c = 1; c <= 25; ++c)
        key4.append(c);
    const struct
    {
        QByteArray key;
        QByteArray data;
        const char* mac;
    } hmac[] = {
        {QByteArray(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
        {"Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {QByteArray(20, '\xaa'), QByteArray(50, '\xdd'), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {key4, QByteArray(50, '\xcd'), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {QByteArray(20, '\x0c'), "Test With Truncation", "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {QByteArray(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {QByteArray(80, '\xaa'), "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
    };
    for (const auto& c : hmac)
        EXPECT_EQ(hmacSha1(c.data, c.key), c.mac);
}

TEST(UtilsIdentTest, GzipIsReadByTheRealGzip)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QByteArray noise(256 * 1024, Qt::Uninitialized);
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<char>((i * 2654435761u) >> 11);
    const QByteArray repetitive = QByteArray("0123456789abcdef").repeated(65536);
    for (const QByteArray& data : {QByteArray(), QByteArray("hello gzip\n"), repetitive, noise}) {
        SCOPED_TRACE(data.size());
        const QByteArray gz = gnuzip(data);
        // Fixed header: deflate, no flags, time 0, extra flags 0, system 11.
        EXPECT_EQ(gz.left(10).toHex(), "1f8b08000000000000" "0b");
        const QString file = dir.filePath(QString("%1.gz").arg(data.size()));
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(gz) == gz.size());
        f.close();
        EXPECT_TRUE(HX2Runner::run("gzip", {"-t", file}).ok);
        const HX2RunResult out = HX2Runner::run("gzip", {"-dc", file});
        ASSERT_TRUE(out.ok) << out.errText().toStdString();
        EXPECT_TRUE(out.out == data);
    }
    EXPECT_LT(gnuzip(repetitive).size(), repetitive.size() / 100);
}

TEST(UtilsIdentTest, IdentifiersAndCodes)
{
    // (97 * 10 + 98) * 10 + 99 = 10779 = "8bf" in base 36, "2NR" in base 62.
    EXPECT_EQ(HX2Uuid("{a-b}c"), "8bf");
    EXPECT_EQ(HX2Uuid62("abc"), "2NR");
    EXPECT_EQ(HX2ToBase62(" 9-9{9} "), "Bj"); // 99 gives "B" carrying 1; 19 gives "j"
    EXPECT_NE(HX2Uuid(), HX2Uuid());

    EXPECT_EQ(randCode(0), "");
    QSet<QChar> seen;
    QSet<QString> codes;
    for (int i = 0; i < 50; ++i) {
        const QString code = randCode(64);
        ASSERT_TRUE(QRegularExpression("^[0-9A-Za-z]{64}$").match(code).hasMatch()) << code.toStdString();
        codes.insert(code);
        for (const QChar c : code)
            seen.insert(c);
    }
    EXPECT_EQ(codes.size(), 50);
    EXPECT_EQ(seen.size(), 62); // 3200 draws reach every character
}

TEST(UtilsIdentTest, ShellQuotingSurvivesARealShell)
{
    const char* values[] = {"", "plain", "it's", "''", "'", "a b  c", "$(id)", "`id`", "$HOME", "\\", "\"",
                            "new\nline", "*", "--", "-n", "a;b|c&d>e<f", "中文", "!x", "~"};
    for (const char* v : values) {
        const QString value = QString::fromUtf8(v);
        const HX2RunResult r = HX2Runner::run("sh", {"-c", "printf %s " + toShellArgEscaped(value)});
        ASSERT_TRUE(r.ok) << v;
        EXPECT_EQ(QString::fromUtf8(r.out), value) << v;
    }
    EXPECT_EQ(toShellArgEscaped("it's"), R"('it'\''s')");
}

TEST(UtilsShmTest, SavedSegmentIsReadByAnotherProcess)
{
    const QString key = QStringLiteral("hxlib-test-%1").arg(getpid());
    auto childReads = [&key]() {
        const HX2RunResult r = HX2Runner::run(HXLIB_PROBE, {"shmload", key});
        return r.ok ? QByteArray::fromHex(r.out.trimmed()) : QByteArray("<failed>");
    };
    QByteArray out("kept");
    EXPECT_FALSE(shareMemoryLoad(key, out));
    EXPECT_EQ(out, "kept");
    EXPECT_EQ(childReads(), "<failed>");
    EXPECT_FALSE(shareMemorySave(key, QByteArray()));

    const QByteArray first("first\0value", 11);
    ASSERT_TRUE(shareMemorySave(key, first));
    EXPECT_EQ(childReads(), first);
    ASSERT_TRUE(shareMemoryLoad(key, out));
    EXPECT_EQ(out, first);

    // Saving again replaces the segment, also with another size.
    const QByteArray second(100000, 's');
    ASSERT_TRUE(shareMemorySave(key, second));
    EXPECT_EQ(childReads(), second);
}
