#include "tests/update/worker_doubles.h"
#include "tests/support/test_support.h"

#include "config/config.h"
#include "net/https_fetch.h"
#include "update/digest_check.h"
#include "update/launcher_check.h"
#include "update/replace_and_launch.h"
#include "update/signature_check.h"
#include "update/status_messages.h"

#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace doubles {

std::vector<std::string> events;
std::deque<FetchReply> digestReplies;
std::deque<FetchReply> packageReplies;
std::deque<FetchReply> signatureReplies;
std::wstring moduleFileName;
int mallocSizeMismatches = 0;
bool notAProgram = false;
bool launchFails = false;

void Reset()
{
    events.clear();
    digestReplies.clear();
    packageReplies.clear();
    signatureReplies.clear();
    moduleFileName.clear();
    mallocSizeMismatches = 0;
    notAProgram = false;
    launchFails = false;
}

// The receiver's side of the message contract: a text is a malloc'd copy of exactly
// its length plus the terminator, and it is freed here.
static std::string TakeText(LPARAM lParam)
{
    auto* text = reinterpret_cast<wchar_t*>(lParam);
    if (!text)
        return "(null)";
    if (_msize(text) != (wcslen(text) + 1) * sizeof(wchar_t))
        ++mallocSizeMismatches;
    std::string out = Utf8(text);
    free(text);
    return out;
}

void DrainMessages()
{
    MSG msg;
    while (PeekMessageW(&msg, g_hwndMain, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_UPDATER_STATUS) {
            events.push_back("status " + std::to_string(static_cast<int>(msg.wParam)) + " " +
                             TakeText(msg.lParam));
        } else if (msg.message == WM_UPDATER_DONE) {
            events.push_back("done " + std::to_string(msg.wParam) + " " +
                             (msg.wParam ? std::string("-") : TakeText(msg.lParam)));
        }
    }
}

static bool FileExists(const wchar_t* path)
{
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

static std::wstring TempDownloadPath()
{
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    return std::wstring(dir) + L"DvOrvanneLauncher_full.exe";
}

}  // namespace doubles

using namespace doubles;

bool HttpsFetch(const wchar_t* path, HANDLE file, ByteBuffer* buffer, const wchar_t* label, DWORD maxBytes)
{
    DrainMessages();
    const bool isDigest = wcscmp(path, L"/descargas/launcher_full.sha256") == 0;
    const bool isSignature = wcscmp(path, L"/descargas/launcher_full.sha256.sig") == 0;
    events.push_back(std::string("fetch ") + (isDigest ? "digest" : isSignature ? "signature" : Utf8(path)) +
                     (file ? " file" : "") + (buffer ? " buffer" : "") +
                     (label ? " label=" + Utf8(label) : "") +
                     (maxBytes != UINT32_MAX ? " max=" + std::to_string(maxBytes) : ""));
    auto& replies = isDigest ? digestReplies : isSignature ? signatureReplies : packageReplies;
    if (replies.empty())
        return false;
    const FetchReply reply = replies.front();
    replies.pop_front();
    if (file) {
        DWORD written = 0;
        WriteFile(file, reply.body.data(), static_cast<DWORD>(reply.body.size()), &written, nullptr);
    }
    if (buffer)
        buffer->insert(buffer->end(), reply.body.begin(), reply.body.end());
    if (label && reply.progress)
        PostStatus(-1, (std::wstring(label) + L"  0 / 0 MB").c_str());
    return reply.ok;
}

// Contract only: a body that starts with 64 lowercase hexadecimal digits yields them.
std::string ParseExpectedDigest(const ByteBuffer& bytes)
{
    DrainMessages();
    events.push_back("parse");
    std::string body(bytes.begin(), bytes.end());
    if (body.size() < 64 || body.find_first_not_of("0123456789abcdef") < 64)
        return {};
    return body.substr(0, 64);
}

// Contract only: the signature of a digest file by the built-in key is "signed " and the
// file's bytes here.
bool VerifyPublisherSignature(const ByteBuffer& signedBytes, const ByteBuffer& signature,
                              const unsigned char (&publicKey)[65])
{
    DrainMessages();
    events.push_back("verify");
    return memcmp(publicKey, kPublisherKey, sizeof kPublisherKey) == 0 &&
           std::string(signature.begin(), signature.end()) == "signed " + std::string(signedBytes.begin(), signedBytes.end());
}

// The "digest" of a file is its content here, so a test chooses matching and
// mismatching downloads by what it serves.
std::string Sha256FileHex(const wchar_t* path)
{
    DrainMessages();
    events.push_back("hash");
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {};
    std::string content;
    char chunk[4096];
    DWORD n = 0;
    while (ReadFile(file, chunk, sizeof chunk, &n, nullptr) && n > 0)
        content.append(chunk, n);
    CloseHandle(file);
    return content;
}

// Contract only: the test decides.
bool IsStartableProgram(const wchar_t*)
{
    return !notAProgram;
}

bool ReplaceAndLaunch(const wchar_t* exePath, const wchar_t* exeDir, const wchar_t* tempPath)
{
    DrainMessages();
    events.push_back("replace " + Utf8(exePath) + "|" + Utf8(exeDir) + "|" + Utf8(tempPath) +
                     (FileExists(tempPath) ? " (download present)" : " (download missing)"));
    if (launchFails)
        return false;
    PostMessageW(g_hwndMain, WM_UPDATER_DONE, 1, 0);
    return true;
}

void WINAPI SeamSleep(DWORD milliseconds)
{
    DrainMessages();
    events.push_back("sleep " + std::to_string(milliseconds) +
                     (FileExists(TempDownloadPath().c_str()) ? " (download present)" : ""));
}

DWORD WINAPI SeamGetModuleFileNameW(HMODULE module, LPWSTR path, DWORD size)
{
    if (moduleFileName.empty())
        return GetModuleFileNameW(module, path, size);
    // As Windows does: a path that does not fit is cut short, terminated, and the
    // full buffer size is returned.
    if (moduleFileName.size() >= size) {
        wmemcpy(path, moduleFileName.c_str(), size - 1);
        path[size - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    wmemcpy(path, moduleFileName.c_str(), moduleFileName.size() + 1);
    return static_cast<DWORD>(moduleFileName.size());
}
