#ifndef HX2AES_H
#define HX2AES_H

#include <QByteArray>

#include <memory>

class HX2AesPrivate;

// AES in electronic-codebook mode with this program's own padding, kept so
// that data written by earlier releases stays readable.
//
// The format has NO initialisation vector and NO authentication: equal
// 16-byte blocks of plaintext under one key give equal ciphertext blocks,
// and a changed ciphertext is noticed only when it happens to break the
// padding. Do not choose it for new data that needs confidentiality or
// integrity.
//
// Key: the bytes passed to setKey, cut to 32 (32 or more bytes given), to
// 24 (24..31) or to 16 (16..23); shorter keys are filled with zero bytes up
// to 16. K below is that normalised length.
//
// Format: the plaintext, then p = K - (length mod K) bytes of value p
// (1..K), then zero bytes up to a multiple of 16; each 16-byte block is
// enciphered on its own. With a 24-byte key the padded length is a multiple
// of 24, so an odd multiple carries 8 zero bytes beyond the padding.
//
// An object is used by one thread at a time; separate objects are
// independent.
class HX2Aes
{
public:
    HX2Aes();
    ~HX2Aes();
    HX2Aes(const HX2Aes&) = delete;
    HX2Aes& operator=(const HX2Aes&) = delete;

    // Discards any previous key. A key that is empty after trimming white
    // space sets none; otherwise the untrimmed bytes are normalised as above.
    void setKey(const QByteArray& key);
    bool hasKey() const;
    // The bytes exactly as given to setKey, or empty when no key is set.
    QByteArray key() const;

    // The ciphertext of data in the format above. Without a key the data is
    // returned unchanged. Data too large to be padded within a QByteArray
    // gives an empty array.
    QByteArray encrypt(const QByteArray& data);

    // The plaintext of a ciphertext in the format above; *ok (when given)
    // says whether it was one. Without a key the data is returned unchanged
    // and *ok is true. A length the format cannot produce (not a whole number
    // of blocks, shorter than one block, or, for K = 24 and K = 32, a length
    // no padded length rounds up to) or padding that does not verify (last
    // byte outside 1..K, padding bytes of another value, non-zero filler
    // after a 24-byte-key padding) gives an empty array and *ok false. A wrong
    // key almost always shows as bad padding, but not always.
    QByteArray decrypt(const QByteArray& data, bool* ok = nullptr);

private:
    std::unique_ptr<HX2AesPrivate> d;
};

#endif
