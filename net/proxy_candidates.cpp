#include "net/proxy_candidates.h"

#include "config/config.h"
#include "shared/scoped_handle.h"

#include <cwchar>

namespace {

// Fetching a PAC script, or looking for one, must not hold the player up for long: past
// these the script counts as failed and the ways after it are tried.
constexpr DWORD kScriptTimeoutMs = 5000;

// Windows 8.1 and later work out the proxy themselves, from the same settings and with
// their cache of scripts; older ones refuse this access type, and the fetch moves on.
ProxyCandidates g_candidates = {{{WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, nullptr, nullptr}}, 1};
bool g_settingsRead = false;
// What the settings' ways point into, kept for the process.
WINHTTP_CURRENT_USER_IE_PROXY_CONFIG g_internetOptions;
WINHTTP_PROXY_INFO g_scriptAnswer;
WINHTTP_PROXY_INFO g_winhttpDefault;

const wchar_t* Named(const wchar_t* text) { return text && *text ? text : nullptr; }

bool SameText(const wchar_t* a, const wchar_t* b) { return a == b || (a && b && wcscmp(a, b) == 0); }

void Append(ProxyCandidates& list, DWORD accessType, const wchar_t* proxy, const wchar_t* bypass)
{
    const ProxyCandidate candidate{accessType, Named(proxy), Named(bypass)};
    for (size_t i = 0; i < list.count; ++i) {
        const ProxyCandidate& known = list.ways[i];
        if (known.accessType == accessType && SameText(known.proxy, candidate.proxy) &&
            SameText(known.bypass, candidate.bypass))
            return;
    }
    list.ways[list.count++] = candidate;
}

void ReadPlayerSettings()
{
    // A call that fails leaves its record empty, and then only the direct way is added.
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG& ie = g_internetOptions;
    WinHttpGetIEProxyConfigForCurrentUser(&ie);

    // Each part of the options is looked at only with its flag.
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    options.dwFlags = (Named(ie.lpszAutoConfigUrl) ? WINHTTP_AUTOPROXY_CONFIG_URL : 0) |
                      (ie.fAutoDetect ? WINHTTP_AUTOPROXY_AUTO_DETECT : 0);
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    options.lpszAutoConfigUrl = ie.lpszAutoConfigUrl;
    // A script on an intranet server that asks who is there gets the player's logon.
    options.fAutoLogonIfChallenged = TRUE;
    bool scriptAnswered = false;
    if (options.dwFlags) {
        ScopedInternet resolver(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                            WINHTTP_NO_PROXY_BYPASS, 0));
        WinHttpSetTimeouts(resolver.get(), kScriptTimeoutMs, kScriptTimeoutMs, kScriptTimeoutMs, kScriptTimeoutMs);
        scriptAnswered = resolver.valid() &&
                         WinHttpGetProxyForUrl(resolver.get(), L"https://" UPDATER_WIDEN(UPDATER_SERVER_HOST) L"/",
                                               &options, &g_scriptAnswer);
    }

    WinHttpGetDefaultProxyConfiguration(&g_winhttpDefault);

    AppendSettingCandidates(g_candidates, ie, scriptAnswered ? &g_scriptAnswer : nullptr, g_winhttpDefault);
}

}  // namespace

size_t g_answeredProxyCandidate = 0;

void AppendSettingCandidates(ProxyCandidates& list, const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG& ie,
                             const WINHTTP_PROXY_INFO* script, const WINHTTP_PROXY_INFO& winhttpDefault)
{
    // Where the script answers, Windows ignores the fixed proxy; it is what is left when
    // the script cannot be had or fails. A script's answer without a proxy is DIRECT.
    if (script && script->dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && Named(script->lpszProxy))
        Append(list, WINHTTP_ACCESS_TYPE_NAMED_PROXY, script->lpszProxy, script->lpszProxyBypass);
    else if (script)
        Append(list, WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr);
    else if (Named(ie.lpszProxy))
        Append(list, WINHTTP_ACCESS_TYPE_NAMED_PROXY, ie.lpszProxy, ie.lpszProxyBypass);

    if (winhttpDefault.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && Named(winhttpDefault.lpszProxy))
        Append(list, WINHTTP_ACCESS_TYPE_NAMED_PROXY, winhttpDefault.lpszProxy, winhttpDefault.lpszProxyBypass);

    Append(list, WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr);
}

const ProxyCandidate* ProxyCandidateAt(size_t index)
{
    if (index >= g_candidates.count && !g_settingsRead) {
        g_settingsRead = true;
        ReadPlayerSettings();
    }
    return index < g_candidates.count ? &g_candidates.ways[index] : nullptr;
}
