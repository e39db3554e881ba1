#include "update/digest_check.h"

#include "shared/scoped_handle.h"
#include "shared/system_dlls.h"

#include <bcrypt.h>

#include <cctype>
#include <cstdio>
#include <vector>

namespace {

constexpr size_t kDigestDigits = 64;
constexpr DWORD kReadChunkBytes = 65536;

bool Succeeded(NTSTATUS status) { return status == 0; }

}  // namespace

std::string ParseExpectedDigest(const ByteBuffer& bytes)
{
    // Non-hex bytes before the 64th digit are skipped rather than ending the digest, so
    // "digest  name", a trailing line break and UTF-16 text all read the same. Once 64
    // digits are in, any further digits could only be cut off again, so the walk ends.
    std::string digits;
    for (const unsigned char byte : bytes) {
        if (isxdigit(byte)) {
            digits.push_back(static_cast<char>(tolower(byte)));
            if (digits.size() == kDigestDigits)
                return digits;
        }
    }
    return {};
}

bool Sha256(HANDLE file, const ByteBuffer* bytes, unsigned char (&digest)[kSha256Bytes])
{
    if (!LoadSystemLibrary("bcrypt.dll"))
        return false;
    ScopedAlgorithm algorithm;
    if (!Succeeded(BCryptOpenAlgorithmProvider(algorithm.out(), BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return false;

    // Windows Vista has no provider-allocated hash objects: the caller must supply the
    // memory, sized as the provider asks. It has to outlive the hash, so it is declared
    // before it and released after BCryptDestroyHash.
    DWORD objectLength = 0;
    ULONG lengthBytes = 0;
    if (!Succeeded(BCryptGetProperty(algorithm.get(), BCRYPT_OBJECT_LENGTH,
                                     reinterpret_cast<PUCHAR>(&objectLength), sizeof objectLength,
                                     &lengthBytes, 0)))
        return false;
    std::vector<UCHAR> hashObject(objectLength);

    ScopedHash hash;
    if (!Succeeded(BCryptCreateHash(algorithm.get(), hash.out(), hashObject.data(), objectLength,
                                    nullptr, 0, 0)))
        return false;

    if (!file) {
        // BCryptHashData takes a non-const pointer but only reads the input.
        if (!Succeeded(BCryptHashData(hash.get(), const_cast<PUCHAR>(bytes->data()),
                                      static_cast<ULONG>(bytes->size()), 0)))
            return false;
    } else {
        // One buffer for the whole file keeps memory flat however large the download is.
        std::vector<UCHAR> chunk(kReadChunkBytes);
        for (;;) {
            DWORD bytesRead = 0;
            // A file that cannot be read to its end has no digest: the hash of a prefix
            // is not the file's digest and must not be handed out as one.
            if (!ReadFile(file, chunk.data(), kReadChunkBytes, &bytesRead, nullptr))
                return false;
            if (bytesRead == 0)
                break;
            if (!Succeeded(BCryptHashData(hash.get(), chunk.data(), bytesRead, 0)))
                return false;
        }
    }

    return Succeeded(BCryptFinishHash(hash.get(), digest, kSha256Bytes, 0));
}

std::string Sha256FileHex(const wchar_t* path)
{
    ScopedFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.valid())
        return {};

    unsigned char digest[kSha256Bytes];
    if (!Sha256(file.get(), nullptr, digest))
        return {};

    char hex[kDigestDigits + 1];
    for (ULONG i = 0; i < kSha256Bytes; ++i)
        // msvcrt's formatter: the C99 one that C++ mode picks for snprintf outweighs the program.
        _snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return std::string(hex, kDigestDigits);
}
