// The ways a fetch may take to the download server, in the order it tries them: the
// system's own proxy resolver, then the player's Internet Options, then WinHTTP's own
// setting, then a direct connection.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstddef>

// How to open a WinHTTP session: WinHttpOpen's access type and, for
// WINHTTP_ACCESS_TYPE_NAMED_PROXY, its proxy and bypass lists (null for none).
struct ProxyCandidate {
    DWORD accessType;
    const wchar_t* proxy;
    const wchar_t* bypass;
};

// The system's resolver and the three that AppendSettingCandidates adds at most: one
// way from the settings, WinHTTP's own setting, direct.
constexpr size_t kMaxProxyCandidates = 4;

struct ProxyCandidates {
    ProxyCandidate ways[kMaxProxyCandidates];
    size_t count;
};

// Appends to list what the player's settings name, each way once: the answer of their
// PAC script or of detection (script; null when neither was asked for or it failed),
// else the fixed proxy of their Internet Options (ie); then WinHTTP's own setting
// (winhttpDefault) when it names a proxy; then a direct connection. The ways point into
// the records. Calls nothing of the platform's.
void AppendSettingCandidates(ProxyCandidates& list, const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG& ie,
                             const WINHTTP_PROXY_INFO* script, const WINHTTP_PROXY_INFO& winhttpDefault);

// The way that last got an answer in this process, where a fetch starts.
extern size_t g_answeredProxyCandidate;
// The way at index, null past the last. The player's settings are read, and their
// script run, only when a fetch asks past the system's own resolver, and then once for
// the process. Not for two threads at a time.
const ProxyCandidate* ProxyCandidateAt(size_t index);
