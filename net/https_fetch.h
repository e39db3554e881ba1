// One synchronous HTTPS GET from the download server.
#pragma once

#include "shared/byte_buffer.h"

#include <windows.h>

#include <cstdint>

// GET path on kServerHost (port 443, TLS, the platform's certificate checks), through
// the player's proxy where they have one (net/proxy_candidates.h). The body
// is written to file when file is not null and appended to buffer when buffer is not
// null. With a non-null label, progress statuses ("<label>  <MB so far> / <MB in all>
// MB") are posted, at most one per 150 ms. Returns true only for status 200 and a body
// that ended normally, of exactly the announced length when a Content-Length came.
// A body announced or found to be longer than maxBytes fails at once, unread. Never
// retries; a partly written file is left for the caller, who closes it.
bool HttpsFetch(const wchar_t* path, HANDLE file, ByteBuffer* buffer, const wchar_t* label,
                DWORD maxBytes = UINT32_MAX);
