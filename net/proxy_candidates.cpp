#include "net/proxy_candidates.h"

#include "config/config.h"
#include "shared/scoped_handle.h"

#include <cwchar>

namespace {

// Looking for a PAC script and fetching it take what the network gives them: detection
// waits on DHCP and DNS, and the download keeps timeouts of its own (Wine's ignore the
// session's). The fetch waits this long, then goes on with the ways after the script and
// leaves that thread to end alone.
constexpr DWORD kScriptWaitMs = 10000;

// Windows 8.1 and later work out the proxy themselves, from the same settings and with
// their cache of scripts; older ones refuse this access type, and the fetch moves on.
ProxyCandidates g_candidates = {{{WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, nullptr, nullptr}}, 1};
// What the settings' ways point into, kept for the process.
WINHTTP_CURRENT_USER_IE_PROXY_CONFIG g_internetOptions;
WINHTTP_PROXY_INFO g_winhttpDefault;
// The script's thread writes these; they are read only once it has ended in time. Both
// of its runs (the second with the player's logon) share the one wait.
WINHTTP_AUTOPROXY_OPTIONS g_scriptOptions;
WINHTTP_PROXY_INFO g_scriptAnswer;
bool g_scriptAnswered = false;

const wchar_t* Named(const wchar_t* text) { return text && *text ? text : nullptr; }

// The ways hold null for "none", never an empty text.
bool SameText(const wchar_t* a, const wchar_t* b) { return wcscmp(a ? a : L"", b ? b : L"") == 0; }

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

bool GetScriptAnswer(HINTERNET resolver)
{
    return WinHttpGetProxyForUrl(resolver, L"https://" UPDATER_WIDEN(UPDATER_SERVER_HOST) L"/", &g_scriptOptions,
                                 &g_scriptAnswer);
}

DWORD WINAPI RunScript(LPVOID)
{
    ScopedInternet resolver(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                        WINHTTP_NO_PROXY_BYPASS, 0));
    if (!resolver.valid())
        return 0;
    // The script's server is first asked without the player's logon: detection takes
    // whatever server the local network names, on a café's network anyone's. Only the
    // script the player's settings name gets it, and only once its server asked for it.
    g_scriptAnswered = GetScriptAnswer(resolver.get());
    if (!g_scriptAnswered && GetLastError() == ERROR_WINHTTP_LOGIN_FAILURE && g_scriptOptions.lpszAutoConfigUrl) {
        g_scriptOptions.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        g_scriptOptions.fAutoLogonIfChallenged = TRUE;
        g_scriptAnswered = GetScriptAnswer(resolver.get());
    }
    return 0;
}

void ReadPlayerSettings()
{
    // A call that fails leaves its record empty, and then only the direct way is added.
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG& ie = g_internetOptions;
    WinHttpGetIEProxyConfigForCurrentUser(&ie);

    // Each part of the options is looked at only with its flag; an empty URL fails as a
    // script that cannot be fetched.
    g_scriptOptions.dwFlags = (ie.lpszAutoConfigUrl ? WINHTTP_AUTOPROXY_CONFIG_URL : 0) |
                              (ie.fAutoDetect ? WINHTTP_AUTOPROXY_AUTO_DETECT : 0);
    g_scriptOptions.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    g_scriptOptions.lpszAutoConfigUrl = ie.lpszAutoConfigUrl;
    bool scriptAnswered = false;
    if (g_scriptOptions.dwFlags) {
        // No thread (null) fails the wait as well.
        HANDLE thread = CreateThread(nullptr, 0, RunScript, nullptr, 0, nullptr);
        scriptAnswered = WaitForSingleObject(thread, kScriptWaitMs) == WAIT_OBJECT_0 && g_scriptAnswered;
        CloseHandle(thread);
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
    // Reading the settings always adds at least the direct way.
    if (index >= g_candidates.count && g_candidates.count == 1)
        ReadPlayerSettings();
    return index < g_candidates.count ? &g_candidates.ways[index] : nullptr;
}
