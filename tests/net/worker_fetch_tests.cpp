// The update worker with the real fetch, against a server that follows
// worker_script.json: the digest file comes on the second request only, and the first
// package download is cut short. The digest check and the replacement are small
// stand-ins here; each has tests of its own.
#include "tests/net/fetch_support.h"

#include "config/config.h"
#include "net/https_fetch.h"
#include "update/launcher_check.h"
#include "update/replace_and_launch.h"
#include "update/status_messages.h"
#include "update/update_worker.h"

#include <bcrypt.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_events;
std::string g_replacedDownload;  // what tempPath held when the replacement began

// The window's side: statuses and the end, in the order posted.
void DrainMessages()
{
    MSG msg;
    while (PeekMessageW(&msg, g_hwndMain, 0, 0, PM_REMOVE)) {
        auto* text = reinterpret_cast<wchar_t*>(msg.lParam);
        if (msg.message == WM_UPDATER_STATUS)
            g_events.push_back("status " + std::to_string(static_cast<int>(msg.wParam)) + " " +
                               (text ? Utf8(text) : "(null)"));
        else if (msg.message == WM_UPDATER_DONE)
            g_events.push_back("done " + std::to_string(msg.wParam) + (text ? " " + Utf8(text) : ""));
        free(text);
    }
}

}  // namespace

void WINAPI SeamSleep(DWORD milliseconds)
{
    DrainMessages();
    g_events.push_back("sleep " + std::to_string(milliseconds));
}

std::string ParseExpectedDigest(const ByteBuffer& bytes)
{
    std::string digits;
    for (unsigned char c : bytes) {
        if (isxdigit(c))
            digits += static_cast<char>(tolower(c));
        else if (digits.size() >= 64)
            break;
    }
    return digits.size() >= 64 ? digits.substr(0, 64) : std::string();
}

std::string Sha256FileHex(const wchar_t* path)
{
    const std::string content = ReadWhole(path).value_or("");
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char digest[32];
    std::string hex;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
        BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0 &&
        BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(content.data())),
                       static_cast<ULONG>(content.size()), 0) == 0 &&
        BCryptFinishHash(hash, digest, sizeof digest, 0) == 0) {
        char pair[3];
        for (unsigned char byte : digest) {
            snprintf(pair, sizeof pair, "%02x", byte);
            hex += pair;
        }
    }
    if (hash)
        BCryptDestroyHash(hash);
    if (algorithm)
        BCryptCloseAlgorithmProvider(algorithm, 0);
    return hex;
}

// The packages here are no programs; what Windows can start is not what these tests are about.
bool IsStartableProgram(const wchar_t*)
{
    return true;
}

bool ReplaceAndLaunch(const wchar_t*, const wchar_t*, const wchar_t* tempPath)
{
    DrainMessages();
    g_events.push_back("replace");
    g_replacedDownload = ReadWhole(tempPath).value_or("");
    PostMessageW(g_hwndMain, WM_UPDATER_DONE, 1, 0);
    return true;
}

namespace {

std::string Label(int attempt)
{
    return "Descargando el launcher nuevo (intento " + std::to_string(attempt) + "/3)...";
}

TEST(WorkerWithFetch, RetriesTheDigestAndACutDownloadThenReplaces)
{
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    const std::wstring tempDir = std::wstring(dir) + L"worker_fetch_" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    ASSERT_TRUE(CreateDirectoryW(tempDir.c_str(), nullptr));
    SetEnvironmentVariableW(L"TMP", tempDir.c_str());
    SetEnvironmentVariableW(L"TEMP", tempDir.c_str());
    g_hwndMain = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(g_hwndMain, nullptr);

    EXPECT_EQ(UpdateThreadProc(nullptr), 0u);
    DrainMessages();

    // Progress statuses vary in number; fold each attempt's run of them into one line.
    std::vector<std::string> folded;
    for (const std::string& event : g_events) {
        std::string line = event;
        for (int attempt = 1; attempt <= 3; ++attempt) {
            const std::string lead = "status ";
            if (event.compare(0, lead.size(), lead) == 0 && event.find(Label(attempt) + "  ") != std::string::npos)
                line = "progress " + std::to_string(attempt);
        }
        if (folded.empty() || folded.back() != line)
            folded.push_back(line);
    }
    const std::string connecting = "status -1 Conectando con " UPDATER_SERVER_HOST "...";
    const std::vector<std::string> expected = {
        connecting, "sleep 2000", connecting, "progress 1", "sleep 2000", "progress 2",
        "status 100 Comprobando la descarga...", "replace", "done 1"};
    EXPECT_EQ(folded, expected);
    EXPECT_EQ(g_replacedDownload, PatternBody(3000000));

    // The cut attempt stopped at 40 % (1.2 of 3 MB); the second one went further.
    int lastPercent[3] = {-1, -1, -1};
    for (const std::string& event : g_events)
        for (int attempt = 1; attempt <= 2; ++attempt)
            if (event.find(Label(attempt)) != std::string::npos)
                lastPercent[attempt] = atoi(event.c_str() + 7);
    EXPECT_GE(lastPercent[1], 0);
    EXPECT_LE(lastPercent[1], 40);
    EXPECT_GT(lastPercent[2], 40);

    std::vector<std::string> requests;
    for (const LoggedRequest& request : ReadServerLog()) {
        EXPECT_EQ(request.method, "GET");
        EXPECT_EQ(request.userAgent, Utf8(kUserAgent));
        requests.push_back(request.path);
    }
    const std::string digestPath = Utf8(kDigestPath), packagePath = Utf8(kPackagePath);
    EXPECT_EQ(requests, (std::vector<std::string>{digestPath, digestPath, packagePath, packagePath}));

    DestroyWindow(g_hwndMain);
    DeleteFileW((tempDir + kTempFileName).c_str());
    RemoveDirectoryW(tempDir.c_str());
}

}  // namespace
