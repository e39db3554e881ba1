#include "update/signature_check.h"

#include "update/digest_check.h"
#include "shared/scoped_handle.h"
#include "shared/system_dlls.h"

#include <bcrypt.h>
#include <wincrypt.h>

#include <cstring>
#include <vector>

namespace {

constexpr DWORD kFieldBytes = 32;  // r, s, X and Y of P-256

bool Succeeded(NTSTATUS status) { return status == 0; }

// Puts one decoded integer (little-endian, as the decoder gives it) into field, 32
// bytes most significant first, and appends its DER form to der. False for zero or for
// a number too long for P-256.
bool TakeInteger(const CRYPT_UINT_BLOB& number, UCHAR* field, ByteBuffer& der)
{
    DWORD length = number.cbData;
    while (length > 0 && number.pbData[length - 1] == 0)
        --length;
    if (length == 0 || length > kFieldBytes)
        return false;

    // DER integers are signed: a top bit set needs a zero byte in front.
    const bool padded = (number.pbData[length - 1] & 0x80) != 0;
    der.push_back(0x02);
    der.push_back(static_cast<UCHAR>(length + padded));
    if (padded)
        der.push_back(0);
    for (DWORD i = 0; i < length; ++i) {
        field[kFieldBytes - 1 - i] = number.pbData[i];
        der.push_back(number.pbData[length - 1 - i]);
    }
    return true;
}

// r and s of a DER signature, each 32 bytes most significant first, as
// BCryptVerifySignature takes them. The platform's decoder is lenient (trailing bytes,
// superfluous or missing zero bytes); only a signature that is exactly the DER form of
// what it decoded is taken, so every number has one accepted encoding.
bool DecodeSignature(const ByteBuffer& signature, UCHAR (&numbers)[2 * kFieldBytes])
{
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ECC_SIGNATURE, signature.data(),
                             static_cast<DWORD>(signature.size()), 0, nullptr, nullptr, &size))
        return false;
    std::vector<BYTE> decoded(size);
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ECC_SIGNATURE, signature.data(),
                             static_cast<DWORD>(signature.size()), 0, nullptr, decoded.data(), &size))
        return false;
    const auto* rs = reinterpret_cast<const CERT_ECC_SIGNATURE*>(decoded.data());

    ByteBuffer der{0x30, 0};
    if (!TakeInteger(rs->r, numbers, der) || !TakeInteger(rs->s, numbers + kFieldBytes, der))
        return false;
    der[1] = static_cast<UCHAR>(der.size() - 2);
    return der == signature;
}

}  // namespace

bool VerifyPublisherSignature(const ByteBuffer& signedBytes, const ByteBuffer& signature,
                              const unsigned char (&publicKey)[65])
{
    // CNG is loaded by the hash below, before the key is imported.
    if (!LoadSystemLibrary("crypt32.dll"))
        return false;
    UCHAR numbers[2 * kFieldBytes] = {};
    if (!DecodeSignature(signature, numbers))
        return false;

    unsigned char digest[kSha256Bytes];
    if (!Sha256(nullptr, &signedBytes, digest))
        return false;

    ScopedAlgorithm algorithm;
    if (!Succeeded(BCryptOpenAlgorithmProvider(algorithm.out(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0)))
        return false;

    // BCRYPT_ECCPUBLIC_BLOB: the header, then X and Y without the point's leading 0x04.
    const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, kFieldBytes};
    UCHAR blob[sizeof header + 2 * kFieldBytes];
    memcpy(blob, &header, sizeof header);
    memcpy(blob + sizeof header, publicKey + 1, 2 * kFieldBytes);

    ScopedKey key;
    if (!Succeeded(BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.out(), blob,
                                       sizeof blob, 0)))
        return false;
    return Succeeded(BCryptVerifySignature(key.get(), nullptr, digest, kSha256Bytes, numbers,
                                           sizeof numbers, 0));
}
