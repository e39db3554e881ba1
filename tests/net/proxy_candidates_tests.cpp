// Which ways to the server the player's settings give, and in which order: the pure part
// of the proxy resolution, fed records as the platform fills them.
#include "net/proxy_candidates.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winhttp.h>

#include <string>
#include <vector>

namespace {

constexpr DWORD kAutomatic = WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY;
constexpr DWORD kNamed = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
constexpr DWORD kDirect = WINHTTP_ACCESS_TYPE_NO_PROXY;

// A WinHTTP proxy record, or for script: whether it answered at all.
struct Record {
    bool present;
    DWORD accessType;
    const wchar_t* proxy;
    const wchar_t* bypass;
};

constexpr Record kNone = {false, 0, nullptr, nullptr};
constexpr Record kWinHttpUnset = {true, kDirect, nullptr, nullptr};

struct Way {
    DWORD accessType;
    std::wstring proxy;
    std::wstring bypass;
    bool operator==(const Way& other) const
    {
        return accessType == other.accessType && proxy == other.proxy && bypass == other.bypass;
    }
};

void PrintTo(const Way& way, std::ostream* out)
{
    *out << "{" << way.accessType << ", \"" << std::string(way.proxy.begin(), way.proxy.end()) << "\", \""
         << std::string(way.bypass.begin(), way.bypass.end()) << "\"}";
}

struct SettingsCase {
    const char* name;
    const wchar_t* fixedProxy;  // Internet Options
    const wchar_t* fixedBypass;
    Record script;
    Record winhttpDefault;
    std::vector<Way> expected;  // after the system's own resolver, which stays first
};

const SettingsCase kSettingsCases[] = {
    {"NothingSetLeavesDirect", nullptr, nullptr, kNone, kWinHttpUnset, {{kDirect, L"", L""}}},
    {"FixedProxyWithItsBypassListThenDirect", L"proxy.escuela:3128", L"<local>;*.escuela", kNone, kWinHttpUnset,
     {{kNamed, L"proxy.escuela:3128", L"<local>;*.escuela"}, {kDirect, L"", L""}}},
    {"EmptyTextsCountAsNone", L"", L"", kNone, {true, kNamed, L"", L""}, {{kDirect, L"", L""}}},
    {"ScriptsProxyOverridesTheFixedOne", L"proxy.escuela:3128", nullptr,
     {true, kNamed, L"pac-proxy:8080;otro:8080", nullptr}, kWinHttpUnset,
     {{kNamed, L"pac-proxy:8080;otro:8080", L""}, {kDirect, L"", L""}}},
    {"ScriptSayingDirectGoesDirectFirst", L"proxy.escuela:3128", nullptr, {true, kDirect, nullptr, nullptr},
     {true, kNamed, L"netsh-proxy:80", nullptr}, {{kDirect, L"", L""}, {kNamed, L"netsh-proxy:80", L""}}},
    {"FailedScriptFallsBackToTheFixedProxy", L"proxy.escuela:3128", nullptr, kNone, kWinHttpUnset,
     {{kNamed, L"proxy.escuela:3128", L""}, {kDirect, L"", L""}}},
    {"WinHttpsOwnSettingComesAfterInternetOptions", L"proxy.escuela:3128", nullptr, kNone,
     {true, kNamed, L"netsh-proxy:80", L"*.local"},
     {{kNamed, L"proxy.escuela:3128", L""}, {kNamed, L"netsh-proxy:80", L"*.local"}, {kDirect, L"", L""}}},
    {"TheSameProxyTwiceIsTriedOnce", L"proxy.escuela:3128", L"<local>", kNone,
     {true, kNamed, L"proxy.escuela:3128", L"<local>"},
     {{kNamed, L"proxy.escuela:3128", L"<local>"}, {kDirect, L"", L""}}},
    {"TheSameProxyWithAnotherBypassListIsAnotherWay", L"proxy.escuela:3128", L"<local>", kNone,
     {true, kNamed, L"proxy.escuela:3128", nullptr},
     {{kNamed, L"proxy.escuela:3128", L"<local>"}, {kNamed, L"proxy.escuela:3128", L""}, {kDirect, L"", L""}}},
};

void PrintTo(const SettingsCase& c, std::ostream* out) { *out << c.name; }

WINHTTP_PROXY_INFO Info(const Record& record)
{
    return {record.accessType, const_cast<wchar_t*>(record.proxy), const_cast<wchar_t*>(record.bypass)};
}

class ProxySettings : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(ProxySettings, GiveTheWaysInOrder)
{
    const SettingsCase& c = GetParam();
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG ie = {};
    ie.lpszProxy = const_cast<wchar_t*>(c.fixedProxy);
    ie.lpszProxyBypass = const_cast<wchar_t*>(c.fixedBypass);
    const WINHTTP_PROXY_INFO script = Info(c.script);
    const WINHTTP_PROXY_INFO winhttpDefault = Info(c.winhttpDefault);
    ProxyCandidates list = {{{kAutomatic, nullptr, nullptr}}, 1};

    AppendSettingCandidates(list, ie, c.script.present ? &script : nullptr, winhttpDefault);

    std::vector<Way> ways;
    for (size_t i = 0; i < list.count; ++i) {
        const ProxyCandidate& way = list.ways[i];
        // Null, never an empty text: WinHttpOpen takes only null as "none".
        EXPECT_TRUE(!way.proxy || *way.proxy) << i;
        EXPECT_TRUE(!way.bypass || *way.bypass) << i;
        ways.push_back({way.accessType, way.proxy ? way.proxy : L"", way.bypass ? way.bypass : L""});
    }
    std::vector<Way> expected{{kAutomatic, L"", L""}};
    expected.insert(expected.end(), c.expected.begin(), c.expected.end());
    EXPECT_EQ(ways, expected);
}

INSTANTIATE_TEST_SUITE_P(Resolution, ProxySettings, ::testing::ValuesIn(kSettingsCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
