#include "hx2aes.h"

#include "../printqt.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>

namespace {

const EVP_CIPHER* cipherFor(int keyLen)
{
    return keyLen == 32 ? EVP_aes_256_ecb() : keyLen == 24 ? EVP_aes_192_ecb() : EVP_aes_128_ecb();
}

// Key bytes as the cipher uses them: cut to 32, 24 or 16, or zero-filled to 16.
QByteArray normalKey(const QByteArray& key)
{
    const int k = key.size() >= 32 ? 32 : key.size() >= 24 ? 24 : 16;
    return (key + QByteArray(16, '\0')).left(k);
}

// Bare ECB over whole blocks, straight from libcrypto.
QByteArray ecb(const QByteArray& normal, const QByteArray& blocks, bool encrypt)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    QByteArray out(blocks.size(), '\0');
    int n = 0;
    const auto* key = reinterpret_cast<const unsigned char*>(normal.constData());
    EXPECT_EQ(EVP_CipherInit_ex(ctx, cipherFor(normal.size()), nullptr, key, nullptr, encrypt ? 1 : 0), 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EXPECT_EQ(EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &n,
                               reinterpret_cast<const unsigned char*>(blocks.constData()), blocks.size()),
              1);
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

// The stored format built by hand: p bytes of value p up to a multiple of
// the key length, zero bytes up to a multiple of 16, each block enciphered.
QByteArray referenceCiphertext(const QByteArray& key, const QByteArray& data)
{
    const QByteArray normal = normalKey(key);
    const int p = normal.size() - data.size() % normal.size();
    QByteArray padded = data + QByteArray(p, char(p));
    padded += QByteArray((16 - padded.size() % 16) % 16, '\0');
    return ecb(normal, padded, true);
}

QByteArray randomBytes(std::mt19937& gen, int n)
{
    QByteArray b(n, '\0');
    for (char& c : b)
        c = char(gen() & 0xff);
    return b;
}

} // namespace

TEST(AesTest, FipsVectors)
{
    const struct
    {
        const char* key;
        const char* cipher;
    } cases[] = {
        {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
         "8ea2b7ca516745bfeafc49904b496089"},
    };
    const QByteArray plain = QByteArray::fromHex("00112233445566778899aabbccddeeff");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        HX2Aes aes;
        aes.setKey(QByteArray::fromHex(c.key));
        const QByteArray out = aes.encrypt(plain);
        // 16 bytes of data and K - 16 (or K) bytes of padding.
        EXPECT_EQ(out.size(), 32);
        EXPECT_EQ(out.left(16).toHex(), QByteArray(c.cipher));
        EXPECT_EQ(aes.decrypt(out), plain);
    }
}

// Every key length (zero-filled, 16, 24 and 32, and longer keys cut) and
// every data length 0..100 against the format built by hand; with 24-byte
// keys this includes the odd multiples of 24 that carry 8 filler bytes.
TEST(AesTest, MatchesLibcryptoForEveryKeyAndDataLength)
{
    std::mt19937 gen(18);
    for (int keyLen = 1; keyLen <= 40; ++keyLen) {
        QByteArray key = randomBytes(gen, keyLen);
        key[0] = 'k'; // never blank
        HX2Aes aes;
        aes.setKey(key);
        ASSERT_TRUE(aes.hasKey());
        EXPECT_EQ(aes.key(), key);
        for (int len = 0; len <= 100; ++len) {
            SCOPED_TRACE(testing::Message() << "key " << keyLen << " data " << len);
            const QByteArray data = randomBytes(gen, len);
            const QByteArray cipher = aes.encrypt(data);
            ASSERT_EQ(cipher, referenceCiphertext(key, data));
            bool ok = false;
            EXPECT_EQ(aes.decrypt(cipher, &ok), data);
            EXPECT_TRUE(ok);
        }
    }
}

TEST(AesTest, BlankKeyPassesDataThrough)
{
    HX2Aes aes;
    aes.setKey(" key ");
    EXPECT_EQ(aes.key(), QByteArray(" key "));
    aes.setKey(" \t\n");
    EXPECT_FALSE(aes.hasKey());
    EXPECT_EQ(aes.encrypt("plain"), QByteArray("plain"));
    bool ok = false;
    EXPECT_EQ(aes.decrypt("plain", &ok), QByteArray("plain"));
    EXPECT_TRUE(ok);
}

// Deciphered blocks that no encryption produces: each must give an empty
// result and a failure, whatever the padding byte claims.
TEST(AesTest, BadPaddingAndLengthsFail)
{
    const auto block = [](const QByteArray& head, int fill) {
        return head + QByteArray(16 - head.size() % 16, char(fill));
    };
    const struct
    {
        const char* what;
        int keyLen;
        QByteArray plain; // enciphered as it is
    } cases[] = {
        {"padding byte 0", 16, QByteArray(16, '\0')},
        {"padding byte over K", 16, QByteArray(32, char(17))},
        {"padding byte 255", 16, QByteArray(16, char(255))},
        {"padding bytes differ", 16, QByteArray(12, 'x') + QByteArray("\x03\x04\x03\x03", 4)},
        {"whole block of 16 but one", 16, block("y", 16)},
        {"24-byte key filler not zero", 24, QByteArray(23, 'x') + char(1) + QByteArray(8, 'z')},
        {"24-byte key length 64", 24, QByteArray(63, 'x') + char(1)},
        {"32-byte key length 48", 32, QByteArray(47, 'x') + char(1)},
        {"32-byte key padding 33", 32, QByteArray(64, char(33))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const QByteArray key(c.keyLen, 'K');
        HX2Aes aes;
        aes.setKey(key);
        bool ok = true;
        EXPECT_TRUE(aes.decrypt(ecb(key, c.plain, true), &ok).isEmpty());
        EXPECT_FALSE(ok);
    }

    HX2Aes aes;
    aes.setKey("short key");
    for (int len : {0, 15, 17, 31}) {
        bool ok = true;
        EXPECT_TRUE(aes.decrypt(QByteArray(len, 'c'), &ok).isEmpty()) << len;
        EXPECT_FALSE(ok) << len;
    }
}
