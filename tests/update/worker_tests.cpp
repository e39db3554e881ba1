// The update sequence, run synchronously on the test thread against the doubles of
// worker_doubles.cpp, read back as one ordered list of events.
#include "tests/update/worker_doubles.h"
#include "tests/support/test_support.h"

#include "config/config.h"
#include "update/status_messages.h"
#include "update/update_worker.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

using Events = std::vector<std::string>;

namespace {

const std::string kDigest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kOtherBytes = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdee";

const std::string kConnecting = "status -1 Conectando con " UPDATER_SERVER_HOST "...";
const std::string kFetchDigest = "fetch digest buffer max=65536";
const std::string kFetchSignature = "fetch signature buffer max=1024";
const std::string kSigned = "signed " + kDigest;
const std::string kChecking = "status 100 Comprobando la descarga...";
const std::string kConnectionFailure =
    "done 0 No se pudo conectar con " UPDATER_SERVER_HOST
    ".\nRevisa tu conexión o antivirus y vuelve a abrir el launcher para reintentar.";
const std::string kDownloadFailure =
    "done 0 No se pudo descargar el launcher nuevo.\nRevisa tu conexión o antivirus y vuelve a "
    "abrir el launcher para reintentar.\nSi sigue fallando, descárgalo en " UPDATER_SERVER_HOST;
const std::string kExePath = "C:\\Juegos\\Dravok Orvanne ñ\\DvOrvanneLauncher.exe";
const std::string kExeDir = "C:\\Juegos\\Dravok Orvanne ñ";

std::string FetchPackage(int attempt)
{
    return "fetch /descargas/launcher_full.exe file label=Descargando el launcher nuevo (intento " +
           std::to_string(attempt) + "/3)...";
}

std::string Progress(int attempt)
{
    return "status -1 Descargando el launcher nuevo (intento " + std::to_string(attempt) +
           "/3)...  0 / 0 MB";
}

Events operator+(Events a, const Events& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class Worker : public ::testing::Test {
protected:
    void SetUp() override
    {
        doubles::Reset();
        doubles::moduleFileName = Wide(kExePath);
        static const std::wstring originalTemp = [] {
            wchar_t dir[MAX_PATH];
            GetTempPathW(MAX_PATH, dir);
            return std::wstring(dir);
        }();
        tempDir_ = originalTemp + L"worker_tests_" + std::to_wstring(GetCurrentProcessId()) + L"\\";
        CreateDirectoryW(tempDir_.c_str(), nullptr);
        SetTemp(tempDir_);
        downloadPath_ = tempDir_ + L"DvOrvanneLauncher_full.exe";
        g_hwndMain = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(g_hwndMain, nullptr);
    }

    void TearDown() override
    {
        DestroyWindow(g_hwndMain);
        DeleteFileW(downloadPath_.c_str());
        RemoveDirectoryW(downloadPath_.c_str());
        RemoveDirectoryW(tempDir_.c_str());
    }

    static void SetTemp(const std::wstring& dir)
    {
        SetEnvironmentVariableW(L"TMP", dir.c_str());
        SetEnvironmentVariableW(L"TEMP", dir.c_str());
    }

    Events Run()
    {
        EXPECT_EQ(UpdateThreadProc(nullptr), 0u);
        doubles::DrainMessages();
        EXPECT_EQ(doubles::mallocSizeMismatches, 0) << "texts must arrive as malloc'd copies";
        return doubles::events;
    }

    Events Replaced() const
    {
        return {"replace " + kExePath + "|" + kExeDir + "|" + Utf8(downloadPath_) + " (download present)",
                "done 1 -"};
    }

    std::wstring tempDir_;
    std::wstring downloadPath_;
};

struct Scenario {
    const char* name;
    std::deque<FetchReply> digestReplies;
    std::deque<FetchReply> packageReplies;
    enum { kNone, kDownloadBlocked, kStaleDownload, kNotAProgram, kLaunchFails } setup;
    Events (*expected)(const Events& replaced);
    std::deque<FetchReply> signatureReplies = {};
};

const Scenario kScenarios[] = {
    {"DigestAndPackageAtFirstTry", {{true, kDigest}}, {{true, kDigest, true}}, Scenario::kNone,
     [](const Events& replaced) {
         return Events{kConnecting, kFetchDigest, "parse", FetchPackage(1), Progress(1), kChecking, "hash"} +
                replaced;
     }},
    {"DigestAtSecondTryThenPackageAtOnce", {{false, ""}, {true, kDigest}}, {{true, kDigest}}, Scenario::kNone,
     [](const Events& replaced) {
         return Events{kConnecting, kFetchDigest, "sleep 2000", kConnecting, kFetchDigest, "parse",
                       FetchPackage(1), kChecking, "hash"} +
                replaced;
     }},
    {"DigestFileWithoutDigestCountsAsFailedTry", {{true, "<html>not found</html>"}, {true, kDigest}},
     {{true, kDigest}}, Scenario::kNone,
     [](const Events& replaced) {
         return Events{kConnecting, kFetchDigest, "parse", "sleep 2000", kConnecting, kFetchDigest, "parse",
                       FetchPackage(1), kChecking, "hash"} +
                replaced;
     }},
    {"DigestNeverAvailable", {}, {}, Scenario::kNone,
     [](const Events&) {
         const Events attempt{kConnecting, kFetchDigest, "sleep 2000"};
         return attempt + attempt + attempt + Events{kConnectionFailure};
     }},
    {"PackageFailsOnceThenVerifies", {{true, kDigest}}, {{false, "cut sh", true}, {true, kDigest, true}},
     Scenario::kNone,
     [](const Events& replaced) {
         return Events{kConnecting, kFetchDigest, "parse", FetchPackage(1), Progress(1), "sleep 2000",
                       FetchPackage(2), Progress(2), kChecking, "hash"} +
                replaced;
     }},
    {"PackageNeverVerifiesAndIsDeletedAfterEachTry", {{true, kDigest}},
     {{true, kOtherBytes}, {true, kOtherBytes}, {true, kOtherBytes}}, Scenario::kNone,
     [](const Events&) {
         Events events{kConnecting, kFetchDigest, "parse"};
         for (int attempt = 1; attempt <= 3; ++attempt)
             events = events + Events{FetchPackage(attempt), kChecking, "hash", "sleep 2000"};
         return events + Events{kDownloadFailure};
     }},
    {"DownloadFileCannotBeCreated", {{true, kDigest}}, {{true, kDigest}}, Scenario::kDownloadBlocked,
     [](const Events&) {
         return Events{kConnecting, kFetchDigest, "parse", "sleep 1500", "sleep 1500", "sleep 1500",
                       kDownloadFailure};
     }},
    {"StaleDownloadIsOverwrittenWhole", {{true, kDigest}}, {{true, kDigest}}, Scenario::kStaleDownload,
     [](const Events& replaced) {
         return Events{kConnecting, kFetchDigest, "parse", FetchPackage(1), kChecking, "hash"} + replaced;
     }},
    {"VerifiedDownloadThatCannotStartCountsAsFailedTry", {{true, kDigest}},
     {{true, kDigest}, {true, kDigest}, {true, kDigest}}, Scenario::kNotAProgram,
     [](const Events&) {
         Events events{kConnecting, kFetchDigest, "parse"};
         for (int attempt = 1; attempt <= 3; ++attempt)
             events = events + Events{FetchPackage(attempt), kChecking, "hash", "sleep 2000"};
         return events + Events{kDownloadFailure};
     }},
    {"LauncherThatWindowsWillNotStartEndsInTheDownloadFailure", {{true, kDigest}}, {{true, kDigest}},
     Scenario::kLaunchFails,
     [](const Events& replaced) {
         return Events{kConnecting, kFetchDigest, "parse", FetchPackage(1), kChecking, "hash", replaced[0],
                       kDownloadFailure};
     }},
};

// In a build with a publisher key (signed_worker_tests) a digest file counts only with
// a valid signature, and the package is never asked for without one.
const Scenario kSignedScenarios[] = {
    {"SignedDigestFileIsTaken", {{true, kDigest}}, {{true, kDigest, true}}, Scenario::kNone,
     [](const Events& replaced) {
         return Events{kConnecting, kFetchDigest, kFetchSignature, "verify", "parse", FetchPackage(1), Progress(1),
                       kChecking, "hash"} +
                replaced;
     },
     {{true, kSigned}}},
    {"SignatureNeverAvailable", {{true, kDigest}, {true, kDigest}, {true, kDigest}}, {{true, kDigest}},
     Scenario::kNone,
     [](const Events&) {
         const Events attempt{kConnecting, kFetchDigest, kFetchSignature, "sleep 2000"};
         return attempt + attempt + attempt + Events{kConnectionFailure};
     }},
    {"SignatureNeverValid", {{true, kDigest}, {true, kDigest}, {true, kDigest}}, {{true, kDigest}},
     Scenario::kNone,
     [](const Events&) {
         const Events attempt{kConnecting, kFetchDigest, kFetchSignature, "verify", "sleep 2000"};
         return attempt + attempt + attempt + Events{kConnectionFailure};
     },
     {{true, "signed " + kOtherBytes}, {true, "signed " + kOtherBytes}, {true, "signed " + kOtherBytes}}},
    {"DigestThenSignatureFailThenBothArrive", {{false, ""}, {true, kDigest}, {true, kDigest}}, {{true, kDigest}},
     Scenario::kNone,
     [](const Events& replaced) {
         return Events{kConnecting, kFetchDigest, "sleep 2000", kConnecting, kFetchDigest, kFetchSignature,
                       "sleep 2000", kConnecting, kFetchDigest, kFetchSignature, "verify", "parse",
                       FetchPackage(1), kChecking, "hash"} +
                replaced;
     },
     {{false, kSigned}, {true, kSigned}}},
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

class WorkerScenario : public Worker, public ::testing::WithParamInterface<Scenario> {};

TEST_P(WorkerScenario, RunsTheUpdateAsExpected)
{
    const Scenario& scenario = GetParam();
    doubles::digestReplies = scenario.digestReplies;
    doubles::packageReplies = scenario.packageReplies;
    doubles::signatureReplies = scenario.signatureReplies;
    if (scenario.setup == Scenario::kDownloadBlocked) {
        // A directory where the download should go: CreateFileW cannot create it.
        ASSERT_TRUE(CreateDirectoryW(downloadPath_.c_str(), nullptr));
    } else if (scenario.setup == Scenario::kStaleDownload) {
        HANDLE stale = CreateFileW(downloadPath_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(stale, INVALID_HANDLE_VALUE);
        const std::string old = kDigest + " and the tail of a longer launcher from an earlier run";
        DWORD written = 0;
        WriteFile(stale, old.data(), static_cast<DWORD>(old.size()), &written, nullptr);
        CloseHandle(stale);
    }
    doubles::notAProgram = scenario.setup == Scenario::kNotAProgram;
    doubles::launchFails = scenario.setup == Scenario::kLaunchFails;

    EXPECT_EQ(Run(), scenario.expected(Replaced()));
}

INSTANTIATE_TEST_SUITE_P(Sequence, WorkerScenario,
                         kCheckPublisherSignature ? ::testing::ValuesIn(kSignedScenarios)
                                                  : ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

// Paths that cannot be had whole must stop the update before any file is touched.
struct PathCase {
    const char* name;
    std::wstring exePath;
    size_t tempDirLength;  // 0: the test's own temporary directory
    bool updates;
    const char* exeDir;
};

const PathCase kPathCases[] = {
    {"ExeInFolder", Wide(kExePath), 0, true, "C:\\Juegos\\Dravok Orvanne ñ"},
    {"ExeAtDriveRoot", L"C:\\DvOrvanneLauncher.exe", 0, true, "C:\\"},
    {"ExePathOfMaxPathMinusOne", L"C:\\" + std::wstring(234, L'd') + L"\\DvOrvanneLauncher.exe", 0, true, nullptr},
    {"ExePathCutShortAtMaxPath", L"C:\\" + std::wstring(235, L'd') + L"\\DvOrvanneLauncher.exe", 0, false, nullptr},
    {"ExePathFarTooLong", L"C:\\" + std::wstring(400, L'd') + L"\\DvOrvanneLauncher.exe", 0, false, nullptr},
    {"TempDirTooLong", Wide(kExePath), 300, false, nullptr},
    // The download's path would be MAX_PATH long, and the shell could not start it.
    {"TempPathOfMaxPath", Wide(kExePath), 230, false, nullptr},
};

void PrintTo(const PathCase& c, std::ostream* out) { *out << c.name; }

class WorkerPaths : public Worker, public ::testing::WithParamInterface<PathCase> {};

TEST_P(WorkerPaths, UpdatesOnlyWithWholePaths)
{
    const PathCase& c = GetParam();
    doubles::moduleFileName = c.exePath;
    if (c.tempDirLength)
        SetTemp(L"C:\\" + std::wstring(c.tempDirLength, L't') + L"\\");
    doubles::digestReplies = {{true, kDigest}};
    doubles::packageReplies = {{true, kDigest}};
    doubles::signatureReplies = {{true, kSigned}};

    const Events events = Run();
    SetTemp(tempDir_);
    if (!c.updates) {
        EXPECT_EQ(events, Events{kDownloadFailure});
        return;
    }
    ASSERT_FALSE(events.empty());
    const std::string expectedDir = c.exeDir ? c.exeDir : Utf8(c.exePath.substr(0, c.exePath.rfind(L'\\')));
    EXPECT_EQ(events[events.size() - 2],
              "replace " + Utf8(c.exePath) + "|" + expectedDir + "|" + Utf8(downloadPath_) + " (download present)");
}

INSTANTIATE_TEST_SUITE_P(Setup, WorkerPaths, ::testing::ValuesIn(kPathCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Once the window is gone nobody receives the copies; they must not pile up.
TEST(StatusMessages, TextOfAFailedPostIsFreed)
{
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    DestroyWindow(window);
    g_hwndMain = window;
    const std::wstring text(500, L'x');

    PostStatus(5, text.c_str());  // any first-use allocations happen here
    const size_t before = CrtHeapInUse();
    for (int i = 0; i < 1000; ++i) {
        PostStatus(5, text.c_str());
        PostFailure(text.c_str());
    }
    EXPECT_LT(CrtHeapInUse(), before + 64 * 1024) << "2000 copies of 1 KB were leaked";
}

}  // namespace
