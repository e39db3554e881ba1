// The expected digest published beside the launcher, and the digest of the download.
#pragma once

#include "shared/byte_buffer.h"

#include <windows.h>

#include <string>

// The first 64 hexadecimal digits of the digest file's body, in lower case, or an
// empty string when the body holds fewer than 64.
std::string ParseExpectedDigest(const ByteBuffer& bytes);

constexpr unsigned long kSha256Bytes = 32;

// SHA-256 of the whole file when file is not null (read from where it stands to its
// end), else of bytes, into digest. False when the file cannot be read to its end or
// the hash cannot be computed.
bool Sha256(HANDLE file, const ByteBuffer* bytes, unsigned char (&digest)[kSha256Bytes]);

// SHA-256 of the file's bytes as 64 lowercase hexadecimal digits, or an empty string
// when the file cannot be read or the hash cannot be computed.
std::string Sha256FileHex(const wchar_t* path);
