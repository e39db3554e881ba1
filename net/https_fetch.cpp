#include "net/https_fetch.h"

#include "config/config.h"
#include "net/proxy_candidates.h"
#include "shared/scoped_handle.h"
#include "shared/system_dlls.h"
#include "update/status_messages.h"

#include <winhttp.h>

#include <cstdint>
#include <cwchar>

namespace {

constexpr DWORD kResolveTimeoutMs = 15000;
constexpr DWORD kConnectTimeoutMs = 15000;
constexpr DWORD kSendTimeoutMs = 30000;
constexpr DWORD kReceiveTimeoutMs = 60000;
constexpr DWORD kChunkSize = 65536;
constexpr ULONGLONG kReportIntervalMs = 150;
constexpr size_t kProgressTextLength = 256;
// A request is sent at most this often when WinHTTP asks for it again.
constexpr int kSends = 3;
// WINHTTP_AUTOLOGON_SECURITY_LEVEL_PROXY_ONLY of newer SDK headers.
constexpr DWORD kAutologonProxyOnly = 3;
constexpr DWORD kTlsUpTo12 =
    WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;

// WinHTTP on Windows 7 and 8.0 offers only SSL 3.0 and TLS 1.0 unless asked for more,
// and no current server accepts those. The newer versions are added to what the session
// already offers (when it says); a system that does not know TLS 1.3 refuses the whole
// set, and one that refuses TLS 1.1 and 1.2 too keeps its own defaults.
void OfferCurrentTls(HINTERNET session)
{
    DWORD offered = 0;
    DWORD size = sizeof offered;
    if (!WinHttpQueryOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &offered, &size))
        offered = 0;
    const DWORD additions[] = {kTlsUpTo12 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3, kTlsUpTo12};
    for (const DWORD added : additions) {
        DWORD protocols = offered | added;
        if (WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols))
            return;
    }
}

DWORD QueryNumber(HINTERNET request, DWORD query)
{
    DWORD value = 0;
    DWORD size = sizeof value;
    if (!WinHttpQueryHeaders(request, query | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                             &value, &size, WINHTTP_NO_HEADER_INDEX))
        return 0;
    return value;
}

void PostProgress(const wchar_t* label, DWORD received, DWORD total)
{
    // In double, which holds 100 times any 32-bit count exactly and whose quotient truncates
    // to the same whole percent: a 64-bit integer division would bring the toolchain's
    // division routine, 288 bytes of the 32-bit file.
    const int percent = total ? static_cast<int>(received * 100.0 / total) : -1;
    wchar_t text[kProgressTextLength];
    // msvcrt's formatter: the C99 one that C++ mode picks for swprintf outweighs the program.
    _snwprintf(text, kProgressTextLength, L"%ls  %u / %u MB", label, static_cast<unsigned>(received >> 20),
               static_cast<unsigned>(total >> 20));
    // An over-long label must still leave a terminated (cut) text: msvcrt's formatter
    // writes no terminator when the text fills the buffer.
    text[kProgressTextLength - 1] = L'\0';
    PostStatus(percent, text);
}

// Sends the request until a response comes, as often as WinHTTP asks for it again
// (ERROR_WINHTTP_RESEND_REQUEST, in the midst of an exchange of logons), but no more
// than kSends times in all. Fails with the last error.
bool SendAndReceive(HINTERNET request)
{
    for (int sends = kSends; sends; --sends) {
        if (WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
            WinHttpReceiveResponse(request, nullptr))
            return true;
        if (GetLastError() != ERROR_WINHTTP_RESEND_REQUEST)
            return false;
    }
    return false;
}

// What the request's status callback saw of the way being tried.
struct WayProgress {
    bool proxy;      // the way goes through a proxy
    bool connected;  // a connection was made, to the server or to the proxy
};
WayProgress g_way;

// A name other than the server's being looked up is the proxy's: the system's own
// resolver does not say beforehand whether it chose one. A request being sent means a
// connection too: one kept from an earlier request brings no notice of connecting.
void CALLBACK NoteWayProgress(HINTERNET, DWORD_PTR, DWORD status, LPVOID information, DWORD)
{
    if (status & (WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER | WINHTTP_CALLBACK_STATUS_SENDING_REQUEST))
        g_way.connected = true;
    if (status == WINHTTP_CALLBACK_STATUS_RESOLVING_NAME && wcscmp(static_cast<wchar_t*>(information), kServerHost))
        g_way.proxy = true;
}

// A proxy that asks who is there (407) gets, once, the logged-on user's own logon where
// it takes one that Windows gives without asking (NTLM, Negotiate); never a prompt, never
// a password of ours. True when an answer came back to that.
bool AnswerProxyChallenge(HINTERNET request)
{
    // Asked only after a 407, which names the proxy as the target; the scheme the proxy
    // lists first does not matter here.
    DWORD schemes;
    DWORD ignored;
    if (!WinHttpQueryAuthSchemes(request, &schemes, &ignored, &ignored))
        return false;
    // Negotiate where offered, else NTLM, else none (0).
    const DWORD scheme = (schemes & WINHTTP_AUTH_SCHEME_NEGOTIATE) ? WINHTTP_AUTH_SCHEME_NEGOTIATE
                                                                   : schemes & WINHTTP_AUTH_SCHEME_NTLM;
    if (!scheme)
        return false;
    // The policy holds for the whole request, which goes on through the tunnel to the
    // server, and the server (or whoever stands in its place) may ask for a logon too:
    // the proxy alone may have it. A system that does not know "proxy only" refuses it
    // and keeps the default, MEDIUM, which gives the logon only to servers on the
    // bypass list, and a request the proxy carries is not for one of those.
    DWORD policy = kAutologonProxyOnly;
    WinHttpSetOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY, &policy, sizeof policy);
    return WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr, nullptr) &&
           SendAndReceive(request);
}

// The rest of the exchange once a response has come: its status and body.
bool ReceiveBody(HINTERNET request, HANDLE file, ByteBuffer* buffer, const wchar_t* label, DWORD maxBytes)
{
    DWORD status = QueryNumber(request, WINHTTP_QUERY_STATUS_CODE);
    if (status == HTTP_STATUS_PROXY_AUTH_REQ && AnswerProxyChallenge(request))
        status = QueryNumber(request, WINHTTP_QUERY_STATUS_CODE);
    // Anything else (an error page, a redirect that was not followed, a proxy that still
    // wants credentials, a server asking for a logon, which never gets one) is not the file.
    if (status != 200)
        return false;
    const DWORD total = QueryNumber(request, WINHTTP_QUERY_CONTENT_LENGTH);
    if (total > maxBytes)
        return false;

    ByteBuffer chunk(kChunkSize);
    DWORD received = 0;
    ULONGLONG lastReport = 0;
    DWORD n = 0;
    if (!WinHttpReadData(request, chunk.data(), kChunkSize, &n))
        return false;

    while (n != 0) {
        // The counts are 32-bit; a body of 4 GiB or more would wrap them and could
        // pass the length check by accident. A caller's lower limit ends it the same way.
        if (n > maxBytes - received)
            return false;
        if (file) {
            DWORD written = 0;
            if (!WriteFile(file, chunk.data(), n, &written, nullptr) || written != n)
                return false;
        }
        if (buffer)
            buffer->insert(buffer->end(), chunk.begin(), chunk.begin() + n);
        received += n;

        // Taken after storing, so a status never reports bytes that are not yet kept.
        const ULONGLONG now = GetTickCount64();
        if (label && now - lastReport > kReportIntervalMs) {
            lastReport = now;
            PostProgress(label, received, total);
        }

        if (!WinHttpReadData(request, chunk.data(), kChunkSize, &n))
            return false;
    }

    // The platform ends a body cut short as if it were whole; only the count tells.
    return total == 0 || received == total;
}

}  // namespace

bool HttpsFetch(const wchar_t* path, HANDLE file, ByteBuffer* buffer, const wchar_t* label, DWORD maxBytes)
{
    if (!LoadSystemLibrary("winhttp.dll"))
        return false;
    // One request; the ways to the server are tried in turn only until one of them brings
    // an answer, so nothing of a body is ever handled twice.
    for (size_t index = g_answeredProxyCandidate;; ++index) {
        const ProxyCandidate* way = ProxyCandidateAt(index);
        if (!way)
            return false;
        // Declared in the order of opening, so every return closes request, connection
        // and session in that order.
        ScopedInternet session(WinHttpOpen(kUserAgent, way->accessType, way->proxy, way->bypass, 0));
        if (!session.valid())
            continue;
        WinHttpSetTimeouts(session.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs);
        OfferCurrentTls(session.get());

        // Through a proxy this is the CONNECT tunnel's far end: TLS and the certificate
        // check stay between the program and the server.
        ScopedInternet connection(WinHttpConnect(session.get(), kServerHost, INTERNET_DEFAULT_HTTPS_PORT, 0));
        if (!connection.valid())
            return false;

        ScopedInternet request(WinHttpOpenRequest(connection.get(), L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                                  WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
        if (!request.valid())
            return false;
        // Some WinHTTP implementations wait for the response headers without any limit of
        // their own; a server that takes the request and never answers must cost no more
        // than the receive timeout.
        DWORD responseTimeoutMs = kReceiveTimeoutMs;
        WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeoutMs,
                         sizeof responseTimeoutMs);

        g_way = {way->accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY, false};
        WinHttpSetStatusCallback(request.get(), NoteWayProgress,
                                 WINHTTP_CALLBACK_FLAG_RESOLVE_NAME | WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER |
                                     WINHTTP_CALLBACK_FLAG_SEND_REQUEST,
                                 0);

        if (SendAndReceive(request.get())) {
            g_answeredProxyCandidate = index;
            return ReceiveBody(request.get(), file, buffer, label, maxBytes);
        }
        // Only a way that led nowhere gives the next one its turn: a name that does not
        // resolve, a refused or reset connection (a proxy that is down, a network that
        // lets nothing out directly), a proxy that never took the connection (a firewall
        // that drops it, a proxy on another network). Anything else came from the server
        // or stands for it: a redirect refused, a certificate, a timeout once connected or
        // without a proxy, which is the server's own silence as often as the way's, and
        // trying again would double the wait the player had.
        const DWORD error = GetLastError();
        if (error != ERROR_WINHTTP_NAME_NOT_RESOLVED && error != ERROR_WINHTTP_CANNOT_CONNECT &&
            error != ERROR_WINHTTP_CONNECTION_ERROR &&
            !(error == ERROR_WINHTTP_TIMEOUT && g_way.proxy && !g_way.connected))
            return false;
    }
}
