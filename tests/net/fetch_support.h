// What the fetch tests share: the statuses the fetch posted, the test server's request
// log, and the bodies the server generates.
#pragma once

#include "tests/support/test_support.h"

#include <windows.h>

#include <string>
#include <vector>

struct PostedStatus {
    int percent;
    std::wstring text;
    ULONGLONG tick;  // GetTickCount64() when it was posted
};

// Filled by the PostStatus of status_recorder.cpp (the fetch tests' stand-in).
extern std::vector<PostedStatus> g_postedStatuses;

struct LoggedRequest {
    std::string method;
    std::string path;
    std::string userAgent;
};

// The requests in the server's log (UPDATER_SERVER_LOG), in order; TLS failures are not
// requests and are left out.
std::vector<LoggedRequest> ReadServerLog();

// The body the test server generates for /scenario?size=N: byte i is i % 251.
std::string PatternBody(size_t size);

// value, %-encoded for a query string.
std::string QueryEncode(const std::string& value);
