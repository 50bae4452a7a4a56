// AES benchmark. In one run, on the same 100 MB of random data:
//   baseline: libcrypto's EVP in ECB mode without padding, straight from
//             the input into a new output buffer;
//   cipher:   HX2Aes::encrypt and HX2Aes::decrypt (padding added, checked
//             and removed).
// Printed: MB/s for each and the ratio cipher/baseline (goal: at least 0.8),
// for 16- and 32-byte keys. Each figure is the best of five rounds in
// thread CPU time.
#include "cputime.h"
#include "hx2aes.h"

#include <openssl/evp.h>

#include <cstdio>
#include <random>

namespace {

constexpr int kBytes = 100 * 1000 * 1000;

QByteArray evp(const QByteArray& key, const QByteArray& in, bool encrypt)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const EVP_CIPHER* cipher = key.size() == 32 ? EVP_aes_256_ecb() : EVP_aes_128_ecb();
    EVP_CipherInit_ex(ctx, cipher, nullptr, reinterpret_cast<const unsigned char*>(key.constData()), nullptr,
                      encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    QByteArray out(in.size(), Qt::Uninitialized);
    int n = 0;
    EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &n,
                     reinterpret_cast<const unsigned char*>(in.constData()), in.size());
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

void report(const char* what, double baseline, double cipher)
{
    const double mb = kBytes / 1e6;
    std::printf("%-14s baseline %7.0f MB/s  cipher %7.0f MB/s  ratio %.2f\n", what, mb / baseline, mb / cipher,
                baseline / cipher);
}

} // namespace

int main()
{
    std::mt19937 gen(100);
    QByteArray data(kBytes, Qt::Uninitialized);
    for (char& c : data)
        c = char(gen());

    long long check = 0;
    for (int keyLen : {16, 32}) {
        const QByteArray key(keyLen, 'k');
        HX2Aes aes;
        aes.setKey(key);

        QByteArray cipherText;
        const double baseEnc = cpuSeconds([&] { check += evp(key, data, true).size(); });
        const double ownEnc = cpuSeconds([&] { cipherText = aes.encrypt(data); });
        const QByteArray blocks = cipherText.left(kBytes);
        const double baseDec = cpuSeconds([&] { check += evp(key, blocks, false).size(); });
        bool ok = false;
        const double ownDec = cpuSeconds([&] { check += aes.decrypt(cipherText, &ok).size(); });
        if (!ok || aes.decrypt(cipherText) != data) {
            std::fprintf(stderr, "round trip failed\n");
            return 1;
        }
        char label[32];
        std::snprintf(label, sizeof label, "encrypt %d", keyLen * 8);
        report(label, baseEnc, ownEnc);
        std::snprintf(label, sizeof label, "decrypt %d", keyLen * 8);
        report(label, baseDec, ownDec);
    }
    std::printf("(check %lld)\n", check);
    return 0;
}
