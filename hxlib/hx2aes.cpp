#include "hx2aes.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <climits>
#include <cstring>

namespace {

constexpr int kBlock = 16;
// EVP takes int lengths; larger inputs go through in slices of this size.
constexpr int kSlice = 1 << 30;
// Head room under INT_MAX that QByteArray needs for its own header.
constexpr qint64 kMaxBytes = INT_MAX - 64;

} // namespace

class HX2AesPrivate
{
public:
    explicit HX2AesPrivate(const QByteArray& k) : key(k)
    {
        const int given = k.size();
        keyLen = given >= 32 ? 32 : given >= 24 ? 24 : 16;
        std::memset(normal, 0, sizeof normal);
        std::memcpy(normal, k.constData(), size_t(qMin(given, keyLen)));
        const EVP_CIPHER* cipher = keyLen == 32 ? EVP_aes_256_ecb()
                                   : keyLen == 24 ? EVP_aes_192_ecb()
                                                  : EVP_aes_128_ecb();
        enc = EVP_CIPHER_CTX_new();
        dec = EVP_CIPHER_CTX_new();
        ready = enc && dec && EVP_EncryptInit_ex(enc, cipher, nullptr, normal, nullptr) == 1
                && EVP_DecryptInit_ex(dec, cipher, nullptr, normal, nullptr) == 1
                && EVP_CIPHER_CTX_set_padding(enc, 0) == 1 && EVP_CIPHER_CTX_set_padding(dec, 0) == 1;
    }
    ~HX2AesPrivate()
    {
        OPENSSL_cleanse(normal, sizeof normal);
        EVP_CIPHER_CTX_free(enc);
        EVP_CIPHER_CTX_free(dec);
    }
    HX2AesPrivate(const HX2AesPrivate&) = delete;
    HX2AesPrivate& operator=(const HX2AesPrivate&) = delete;

    // Enciphers or deciphers n bytes (a multiple of the block) from in to
    // out; in and out may be the same buffer. The contexts keep no state
    // between whole blocks in this mode, so they serve every call.
    bool run(EVP_CIPHER_CTX* ctx, char* out, const char* in, qint64 n) const
    {
        if (!ready)
            return false;
        while (n > 0) {
            const int slice = int(qMin<qint64>(n, kSlice));
            int written = 0;
            if (EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char*>(out), &written,
                                 reinterpret_cast<const unsigned char*>(in), slice) != 1
                || written != slice)
                return false;
            out += slice;
            in += slice;
            n -= slice;
        }
        return true;
    }

    QByteArray key;
    unsigned char normal[32];
    int keyLen = 16;
    EVP_CIPHER_CTX* enc = nullptr;
    EVP_CIPHER_CTX* dec = nullptr;
    bool ready = false;
};

HX2Aes::HX2Aes() = default;
HX2Aes::~HX2Aes() = default;

void HX2Aes::setKey(const QByteArray& key)
{
    d.reset();
    if (!key.trimmed().isEmpty())
        d.reset(new HX2AesPrivate(key));
}

bool HX2Aes::hasKey() const
{
    return d != nullptr;
}

QByteArray HX2Aes::key() const
{
    return d ? d->key : QByteArray();
}

QByteArray HX2Aes::encrypt(const QByteArray& data)
{
    if (!d)
        return data;
    const qint64 length = data.size();
    const int pad = d->keyLen - int(length % d->keyLen);
    const qint64 total = (length + pad + kBlock - 1) / kBlock * kBlock;
    if (total > kMaxBytes)
        return QByteArray();

    // Whole blocks go straight from the input; the last partial block, the
    // padding and the zero filler (at most three blocks) are built apart.
    const qint64 whole = length / kBlock * kBlock;
    QByteArray out(int(total), Qt::Uninitialized);
    char tail[3 * kBlock] = {};
    const int rest = int(length - whole);
    std::memcpy(tail, data.constData() + whole, size_t(rest));
    std::memset(tail + rest, pad, size_t(pad));
    const bool ok = d->run(d->enc, out.data(), data.constData(), whole)
                    && d->run(d->enc, out.data() + whole, tail, total - whole);
    OPENSSL_cleanse(tail, sizeof tail);
    return ok ? out : QByteArray();
}

QByteArray HX2Aes::decrypt(const QByteArray& data, bool* ok)
{
    if (ok)
        *ok = false;
    if (!d) {
        if (ok)
            *ok = true;
        return data;
    }
    const int total = data.size();
    const int k = d->keyLen;
    if (total < kBlock || total % kBlock != 0)
        return QByteArray();
    // The padded length is the multiple of K that rounds up to this length:
    // the length itself, or for K = 24 and an odd multiple of 24, 8 less.
    int padded = total;
    if (k == 24) {
        const int r = total % 48;
        if (r == 16)
            return QByteArray();
        if (r == 32)
            padded = total - 8;
    } else if (k == 32 && total % 32 != 0) {
        return QByteArray();
    }

    QByteArray out(total, Qt::Uninitialized);
    if (!d->run(d->dec, out.data(), data.constData(), total))
        return QByteArray();
    const auto* bytes = reinterpret_cast<const unsigned char*>(out.constData());
    bool good = true;
    for (int i = padded; i < total; ++i)
        good = good && bytes[i] == 0;
    const int pad = bytes[padded - 1];
    good = good && pad >= 1 && pad <= k && pad <= padded;
    for (int i = padded - pad; good && i < padded; ++i)
        good = bytes[i] == pad;
    if (!good) {
        OPENSSL_cleanse(out.data(), size_t(total));
        return QByteArray();
    }
    out.resize(padded - pad);
    if (ok)
        *ok = true;
    return out;
}
