// The growable array of bytes that a downloaded body is appended to, shared by the
// fetch that fills it and the digest check that reads it.
#pragma once

#include <vector>

using ByteBuffer = std::vector<unsigned char>;
