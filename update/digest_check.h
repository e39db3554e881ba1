// The expected digest published beside the launcher, and the digest of the download.
#pragma once

#include "shared/byte_buffer.h"

#include <string>

// The first 64 hexadecimal digits of the digest file's body, in lower case, or an
// empty string when the body holds fewer than 64.
std::string ParseExpectedDigest(const ByteBuffer& bytes);

// SHA-256 of the file's bytes as 64 lowercase hexadecimal digits, or an empty string
// when the file cannot be read or the hash cannot be computed.
std::string Sha256FileHex(const wchar_t* path);
