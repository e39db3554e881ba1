// The update worker with the real digest check: the digest file and the package are
// served by a double of HttpsFetch, and only a package whose SHA-256 matches is handed
// on for replacement.
#include "net/https_fetch.h"
#include "tests/support/test_support.h"
#include "tests/update/worker_seams.h"
#include "update/launcher_check.h"
#include "update/replace_and_launch.h"
#include "update/status_messages.h"
#include "update/update_worker.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <deque>
#include <string>
#include <vector>

// Only the seams' declarations are wanted here; their definitions below call Windows.
#undef Sleep
#undef GetModuleFileNameW

namespace {

// SHA-256 of "abc" (FIPS 180-4).
const std::string kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

std::vector<std::string> g_events;
std::string g_digestBody;
std::deque<std::string> g_packages;

// The end of the run as the window would see it; the texts are freed here.
void DrainDone()
{
    MSG msg;
    while (PeekMessageW(&msg, g_hwndMain, 0, 0, PM_REMOVE)) {
        auto* text = reinterpret_cast<wchar_t*>(msg.lParam);
        if (msg.message == WM_UPDATER_DONE)
            g_events.push_back(msg.wParam ? "done" : "failed");
        if (text && !(msg.message == WM_UPDATER_DONE && msg.wParam))
            free(text);
    }
}

}  // namespace

bool HttpsFetch(const wchar_t* path, HANDLE file, ByteBuffer* buffer, const wchar_t*, DWORD)
{
    if (wcscmp(path, L"/descargas/launcher_full.sha256") == 0) {
        g_events.push_back("fetch digest");
        buffer->insert(buffer->end(), g_digestBody.begin(), g_digestBody.end());
        return true;
    }
    g_events.push_back("fetch package");
    if (g_packages.empty())
        return false;
    const std::string body = g_packages.front();
    g_packages.pop_front();
    DWORD written = 0;
    WriteFile(file, body.data(), static_cast<DWORD>(body.size()), &written, nullptr);
    return true;
}

// The packages here are no programs; what Windows can start is not what these tests are about.
bool IsStartableProgram(const wchar_t*)
{
    return true;
}

bool ReplaceAndLaunch(const wchar_t*, const wchar_t*, const wchar_t* tempPath)
{
    g_events.push_back("replace " + ReadWhole(tempPath).value_or("(missing)"));
    PostMessageW(g_hwndMain, WM_UPDATER_DONE, 1, 0);
    return true;
}

void WINAPI SeamSleep(DWORD milliseconds) { g_events.push_back("sleep " + std::to_string(milliseconds)); }

DWORD WINAPI SeamGetModuleFileNameW(HMODULE module, LPWSTR path, DWORD size)
{
    return GetModuleFileNameW(module, path, size);
}

namespace {

using Events = std::vector<std::string>;

struct VerifyCase {
    const char* name;
    std::string digestBody;
    std::deque<std::string> packages;
    Events expected;
};

const Events kPackageFails = {"fetch package", "sleep 2000"};

Events Repeat(const Events& events, int times)
{
    Events out;
    for (int i = 0; i < times; ++i)
        out.insert(out.end(), events.begin(), events.end());
    return out;
}

Events operator+(Events a, const Events& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const VerifyCase kVerifyCases[] = {
    {"MatchingPackageIsAccepted", kAbcDigest + "  launcher_full.exe\n", {"abc"},
     {"fetch digest", "fetch package", "replace abc", "done"}},
    {"UppercaseDigestFileAgreesToo", "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD\r\n", {"abc"},
     {"fetch digest", "fetch package", "replace abc", "done"}},
    {"ByteChangedFailsAllThreeAttempts", kAbcDigest + "\n", {"abd", "abd", "abd"},
     Events{"fetch digest"} + Repeat(kPackageFails, 3) + Events{"failed"}},
    {"ByteAddedFailsAllThreeAttempts", kAbcDigest + "\n", {"abc\n", "abc\n", "abc\n"},
     Events{"fetch digest"} + Repeat(kPackageFails, 3) + Events{"failed"}},
    {"ChangedOnceThenGood", kAbcDigest + "\n", {"abd", "abc"},
     Events{"fetch digest"} + kPackageFails + Events{"fetch package", "replace abc", "done"}},
    {"LabelledDigestFileNeverMatches", "sha256:" + kAbcDigest + "\n", {"abc", "abc", "abc"},
     Events{"fetch digest"} + Repeat(kPackageFails, 3) + Events{"failed"}},
};

void PrintTo(const VerifyCase& c, std::ostream* out) { *out << c.name; }

class Verification : public ::testing::TestWithParam<VerifyCase> {
protected:
    void SetUp() override
    {
        g_events.clear();
        wchar_t dir[MAX_PATH];
        GetTempPathW(MAX_PATH, dir);
        originalTemp_ = dir;
        tempDir_ = originalTemp_ + L"digest_worker_tests_" + std::to_wstring(GetCurrentProcessId()) + L"\\";
        CreateDirectoryW(tempDir_.c_str(), nullptr);
        SetEnvironmentVariableW(L"TMP", tempDir_.c_str());
        SetEnvironmentVariableW(L"TEMP", tempDir_.c_str());
        g_hwndMain = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(g_hwndMain, nullptr);
    }

    void TearDown() override
    {
        DestroyWindow(g_hwndMain);
        DeleteFileW(DownloadPath().c_str());
        RemoveDirectoryW(tempDir_.c_str());
        SetEnvironmentVariableW(L"TMP", originalTemp_.c_str());
        SetEnvironmentVariableW(L"TEMP", originalTemp_.c_str());
    }

    std::wstring DownloadPath() const { return tempDir_ + L"DvOrvanneLauncher_full.exe"; }

    std::wstring originalTemp_;
    std::wstring tempDir_;
};

TEST_P(Verification, AcceptsOnlyAMatchingPackage)
{
    const VerifyCase& c = GetParam();
    g_digestBody = c.digestBody;
    g_packages = c.packages;

    EXPECT_EQ(UpdateThreadProc(nullptr), 0u);
    DrainDone();

    EXPECT_EQ(g_events, c.expected);
    if (g_events.back() == "failed") {
        EXPECT_EQ(ReadWhole(DownloadPath()).value_or("(missing)"), "(missing)") << "a rejected download must not stay";
    }
}

INSTANTIATE_TEST_SUITE_P(Worker, Verification, ::testing::ValuesIn(kVerifyCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
