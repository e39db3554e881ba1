// The studio's signature of the digest file, in builds made with a publisher key.
#pragma once

#include "shared/byte_buffer.h"

#include <windows.h>

// A P-256 signature in DER takes at most 72 bytes; anything much longer is not one and
// is not read.
constexpr DWORD kMaxSignatureBytes = 1024;

// True only when signature is the DER form (as openssl writes it, and no other
// encoding of the same numbers) of a valid ECDSA P-256 signature by publicKey (0x04, X,
// Y) over the SHA-256 of signedBytes. False for anything else, including a signature
// that cannot be checked.
bool VerifyPublisherSignature(const ByteBuffer& signedBytes, const ByteBuffer& signature,
                              const unsigned char (&publicKey)[65]);
