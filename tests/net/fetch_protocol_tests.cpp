// The TLS versions the fetch asks its session for, with the refusals of older Windows
// staged by fetch_seams.h; every fetch still goes to the test server for real.
#include "tests/net/fetch_support.h"

#include "net/https_fetch.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_calls;
// What the session answers when asked which protocols it offers; 0: it refuses to say.
DWORD g_offered = 0;
bool g_refuseTls13 = false;  // a system that does not know TLS 1.3 refuses any set with it
bool g_refuseAll = false;

// The handles the protocol option was asked of, to be matched with the connection's session.
std::vector<HINTERNET> g_optionHandles;

std::string Hex(DWORD value)
{
    char text[16];
    snprintf(text, sizeof text, "%#lx", static_cast<unsigned long>(value));
    return text;
}

}  // namespace

BOOL WINAPI SeamWinHttpQueryOption(HINTERNET handle, DWORD option, LPVOID buffer, LPDWORD length)
{
    if (option != WINHTTP_OPTION_SECURE_PROTOCOLS)
        return WinHttpQueryOption(handle, option, buffer, length);
    g_calls.push_back("query");
    g_optionHandles.push_back(handle);
    if (!g_offered) {
        SetLastError(ERROR_WINHTTP_INVALID_OPTION);
        return FALSE;
    }
    *static_cast<DWORD*>(buffer) = g_offered;
    *length = sizeof(DWORD);
    return TRUE;
}

BOOL WINAPI SeamWinHttpSetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length)
{
    if (option != WINHTTP_OPTION_SECURE_PROTOCOLS)
        return WinHttpSetOption(handle, option, buffer, length);
    const DWORD protocols = *static_cast<DWORD*>(buffer);
    g_calls.push_back("set " + Hex(protocols));
    g_optionHandles.push_back(handle);
    if (g_refuseAll || (g_refuseTls13 && (protocols & WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return WinHttpSetOption(handle, option, buffer, length);
}

HINTERNET WINAPI SeamWinHttpConnect(HINTERNET session, LPCWSTR server, INTERNET_PORT port, DWORD reserved)
{
    g_calls.push_back("connect");
    for (HINTERNET handle : g_optionHandles) {
        if (handle != session)
            g_calls.push_back("(an option above was not on this connection's session)");
    }
    return WinHttpConnect(session, server, port, reserved);
}

namespace {

struct ProtocolCase {
    const char* name;
    DWORD offered;
    bool refuseTls13;
    bool refuseAll;
    std::vector<std::string> calls;
};

// 0xa0: SSL 3.0 and TLS 1.0, what Windows 7 offers; 0x2a80: TLS 1.0 to 1.3.
const ProtocolCase kProtocolCases[] = {
    {"AllFourAccepted", 0, false, false, {"query", "set 0x2a80", "connect"}},
    {"WithoutTls13", 0, true, false, {"query", "set 0x2a80", "set 0xa80", "connect"}},
    {"NoneAcceptedKeepsTheDefaults", 0, false, true,
     {"query", "set 0x2a80", "set 0xa80", "connect"}},
    {"OfferedOnesAreKept", 0xa0, false, false, {"query", "set 0x2aa0", "connect"}},
    {"OfferedOnesAreKeptWithoutTls13", 0xa0, true, false,
     {"query", "set 0x2aa0", "set 0xaa0", "connect"}},
};

void PrintTo(const ProtocolCase& c, std::ostream* out) { *out << c.name; }

class FetchProtocols : public ::testing::TestWithParam<ProtocolCase> {};

TEST_P(FetchProtocols, AddsCurrentTlsToTheSessionBeforeConnecting)
{
    const ProtocolCase& c = GetParam();
    g_calls.clear();
    g_optionHandles.clear();
    g_offered = c.offered;
    g_refuseTls13 = c.refuseTls13;
    g_refuseAll = c.refuseAll;
    ByteBuffer buffer;

    EXPECT_TRUE(HttpsFetch(L"/scenario?size=1000", nullptr, &buffer, nullptr));

    g_offered = 0;
    g_refuseTls13 = g_refuseAll = false;
    EXPECT_EQ(g_calls, c.calls);
    EXPECT_EQ(buffer.size(), 1000u);
}

INSTANTIATE_TEST_SUITE_P(Session, FetchProtocols, ::testing::ValuesIn(kProtocolCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
