// The replacement phase run for real: a player folder with the previous executable, a
// verified download, files held open the way scanners hold them, and a test launcher
// started through the shell that records where it ran from. Only the waits are not
// slept (replace_seams.h).
#include "update/replace_and_launch.h"
#include "update/status_messages.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

// --- The seams: filled on the thread that runs the replacement, read after it ended.

std::vector<DWORD> waits;
int copies = 0;
HANDLE heldFile = INVALID_HANDLE_VALUE;  // a file the test holds open, like a scanner
int releaseAtWait = 0;                   // let go of heldFile at this wait (1-based); 0: never
bool releaseAfterCopy = false;           // let go of heldFile right after a successful copy
bool holdStagedAfterMove = false;        // take hold of the staged download once it is there

void ReleaseHeldFile()
{
    if (heldFile != INVALID_HANDLE_VALUE)
        CloseHandle(heldFile);
    heldFile = INVALID_HANDLE_VALUE;
}

const std::wstring kStagedSuffix = L".new";

bool EndsWith(const std::wstring& text, const std::wstring& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// What Windows does with a path too long for the plain form.
bool RefusedAsTooLong(LPCWSTR path)
{
    if (wcslen(path) < MAX_PATH || wcsncmp(path, L"\\\\?\\", 4) == 0)
        return false;
    SetLastError(ERROR_PATH_NOT_FOUND);
    return true;
}

}  // namespace

void WINAPI SeamSleep(DWORD milliseconds)
{
    waits.push_back(milliseconds);
    if (static_cast<int>(waits.size()) == releaseAtWait)
        ReleaseHeldFile();
}

BOOL WINAPI SeamCopyFileW(LPCWSTR existingFile, LPCWSTR newFile, BOOL failIfExists)
{
    ++copies;
    if (RefusedAsTooLong(existingFile) || RefusedAsTooLong(newFile))
        return FALSE;
    const BOOL copied = CopyFileW(existingFile, newFile, failIfExists);
    if (copied && releaseAfterCopy)
        ReleaseHeldFile();
    return copied;
}

BOOL WINAPI SeamMoveFileExW(LPCWSTR existingFile, LPCWSTR newFile, DWORD flags)
{
    if (RefusedAsTooLong(existingFile) || RefusedAsTooLong(newFile))
        return FALSE;
    const BOOL moved = MoveFileExW(existingFile, newFile, flags);
    if (moved && holdStagedAfterMove && EndsWith(newFile, kStagedSuffix)) {
        holdStagedAfterMove = false;
        heldFile = CreateFileW(newFile, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    return moved;
}

BOOL WINAPI SeamDeleteFileW(LPCWSTR file)
{
    if (RefusedAsTooLong(file))
        return FALSE;
    return DeleteFileW(file);
}

namespace {

// --- Files

void CreateDirectories(const std::wstring& path)
{
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1))
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    CreateDirectoryW(path.c_str(), nullptr);
}

void RemoveTree(const std::wstring& dir)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(dir + L"\\" + name);
            else
                DeleteFileW((dir + L"\\" + name).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(dir.c_str());
}

std::wstring ThisProgramsDirectory()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir = path;
    return dir.substr(0, dir.rfind(L'\\'));
}

std::wstring TempDirectory()
{
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    return dir;
}

// A tmpfs seen through Wine's drive for "/" is another volume than the prefix's C:.
std::wstring OtherVolumeDirectory()
{
    wchar_t dir[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"UPDATER_TEST_OTHER_VOLUME", dir, MAX_PATH);
    return length > 0 && length < MAX_PATH ? dir : L"Z:\\dev\\shm";
}

// --- The window the replacement talks to

struct WindowLog {
    std::vector<std::string> events;
    std::map<std::wstring, std::optional<std::string>> filesWhenInstalling;
    std::vector<std::wstring> watched;  // files to look at when the phase announces itself
};
WindowLog windowLog;

LRESULT CALLBACK TestWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_UPDATER_INSTALLING:
        windowLog.events.push_back("installing");
        for (const std::wstring& path : windowLog.watched)
            windowLog.filesWhenInstalling[path] = ReadWhole(path);
        return TRUE;
    case WM_UPDATER_STATUS: {
        auto* text = reinterpret_cast<wchar_t*>(lParam);
        windowLog.events.push_back("status " + std::to_string(static_cast<int>(wParam)) + " " +
                                   (text ? Utf8(text) : "(null)"));
        free(text);
        return 0;
    }
    case WM_UPDATER_DONE:
        windowLog.events.push_back("done " + std::to_string(wParam) + (lParam ? " with text" : ""));
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateTestWindow()
{
    static const ATOM windowClass = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = TestWindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"ReplaceTestsWindow";
        return RegisterClassW(&wc);
    }();
    return CreateWindowExW(0, MAKEINTATOM(windowClass), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}

struct PhaseArguments {
    std::wstring exePath, exeDir, tempPath;
};

DWORD WINAPI RunPhase(LPVOID parameter)
{
    const auto* arguments = static_cast<const PhaseArguments*>(parameter);
    ReplaceAndLaunch(arguments->exePath.c_str(), arguments->exeDir.c_str(), arguments->tempPath.c_str());
    return 0;
}

// Runs the phase on its own thread, as the worker does, while this thread serves the
// window. False when it did not end within a minute.
bool RunOnWorkerThread(const PhaseArguments& arguments)
{
    HANDLE thread = CreateThread(nullptr, 0, RunPhase, const_cast<PhaseArguments*>(&arguments), 0, nullptr);
    if (!thread)
        return false;
    const ULONGLONG deadline = GetTickCount64() + 60000;
    bool ended = false;
    while (!ended && GetTickCount64() < deadline) {
        ended = MsgWaitForMultipleObjects(1, &thread, FALSE, 100, QS_ALLINPUT) == WAIT_OBJECT_0;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    }
    CloseHandle(thread);
    return ended;
}

// --- The situations

const std::string kLauncher = [] {
    return ReadWhole(ThisProgramsDirectory() + L"\\replace_test_launcher.exe").value_or("");
}();
// Both runnable; the appended bytes tell them apart.
const std::string kNew = kLauncher + "-- launcher build 2 --";
const std::string kPrevious = kLauncher + "-- launcher build 1, the running executable --";
const std::string kStale = "the launcher kept by an earlier update";

enum class Hold {
    kNothing,
    kExeWithoutDeleteSharing,       // what an antivirus scanner does: rename refused
    kDownloadWithReadSharingOnly,   // move refused, copy allowed
    kDownloadWithoutSharing,        // move and copy refused
    kStaleStagedWithoutSharing,     // a staged file left by a crash, held: staging refused
    kStagedOnceItArrives,           // the staged download held at once: swap refused
};

enum class Folder {
    kUsual,
    kStaleStaged,    // a staged file left by an earlier run that was ended mid-install
    kExePathOf259,   // the longest executable path the set-up accepts
};

enum class Started { kExe, kDownload, kNothing };

struct Row {
    const char* name;
    bool staleOld;
    bool downloadOnOtherVolume;
    Hold hold;
    int releaseAtWait;
    bool releaseAfterCopy;
    // What the player's folder and the temporary directory hold afterwards.
    const std::string* atExe;
    const std::string* atOld;  // null: no file
    bool downloadLeft;
    Started started;
    int waits;
    int copies;
    Folder folder;
};

const Row kRows[] = {
    {"RenamedAndMovedAtFirstTry", false, false, Hold::kNothing, 0, false,
     &kNew, &kPrevious, false, Started::kExe, 0, 0, Folder::kUsual},
    {"StaleOldIsReplacedAtFirstTry", true, false, Hold::kNothing, 0, false,
     &kNew, &kPrevious, false, Started::kExe, 0, 0, Folder::kUsual},
    {"ExeHeldForThreeTriesIsRenamedAtTheFourth", true, false, Hold::kExeWithoutDeleteSharing, 3, false,
     &kNew, &kPrevious, false, Started::kExe, 3, 0, Folder::kUsual},
    {"ExeHeldThroughAllRenameTriesStartsTheDownload", true, false, Hold::kExeWithoutDeleteSharing, 0, false,
     &kPrevious, nullptr, true, Started::kDownload, 15, 0, Folder::kUsual},
    {"DownloadOnAnotherVolumeIsMovedAcross", false, true, Hold::kNothing, 0, false,
     &kNew, &kPrevious, false, Started::kExe, 0, 0, Folder::kUsual},
    {"DownloadThatOnlyCopiesIsCopiedThenDeleted", false, false, Hold::kDownloadWithReadSharingOnly, 0, true,
     &kNew, &kPrevious, false, Started::kExe, 0, 1, Folder::kUsual},
    {"DownloadStillHeldAfterTheCopyStaysAndTheCopyStarts", false, false, Hold::kDownloadWithReadSharingOnly, 0,
     false, &kNew, &kPrevious, true, Started::kExe, 0, 1, Folder::kUsual},
    {"DownloadHeldForNineteenInstallTriesIsMovedAtTheTwentieth", false, false, Hold::kDownloadWithoutSharing, 19,
     false, &kNew, &kPrevious, false, Started::kExe, 19, 19, Folder::kUsual},
    {"InstallFailingAllTriesRestoresTheExeAndStartsTheDownload", false, false, Hold::kDownloadWithoutSharing, 20,
     false, &kPrevious, nullptr, true, Started::kDownload, 20, 20, Folder::kUsual},
    {"StaleStagedFileIsOverwritten", false, false, Hold::kNothing, 0, false,
     &kNew, &kPrevious, false, Started::kExe, 0, 0, Folder::kStaleStaged},
    {"StaleStagedFileHeldThroughAllTriesLeavesTheExeAndStartsTheDownload", false, true,
     Hold::kStaleStagedWithoutSharing, 0, false, &kPrevious, nullptr, true, Started::kDownload, 20, 20,
     Folder::kStaleStaged},
    {"StagedFileHeldThroughAllSwapTriesRestoresTheExeAndStartsTheDownload", false, true,
     Hold::kStagedOnceItArrives, 20, false, &kPrevious, nullptr, true, Started::kDownload, 20, 20,
     Folder::kUsual},
    {"ExePathOf259CharactersIsReplaced", true, true, Hold::kNothing, 0, false,
     &kNew, &kPrevious, false, Started::kExe, 0, 0, Folder::kExePathOf259},
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

HANDLE HoldOpen(const std::wstring& path, DWORD sharing)
{
    return CreateFileW(path.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING, 0, nullptr);
}

class Replacement : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(kLauncher.empty()) << "replace_test_launcher.exe must be built beside this program";
        const std::wstring name = Wide(::testing::UnitTest::GetInstance()->current_test_info()->name());
        const std::wstring unique = L"replace_tests_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                                    name.substr(name.rfind(L'/') + 1);
        root_ = TempDirectory() + unique;
        exeDir_ = root_ + L"\\Juegos\\Dravok Orvanne ñ";
        exePath_ = exeDir_ + L"\\DvOrvanneLauncher.exe";
        oldPath_ = exePath_ + L".old";
        stagedPath_ = exePath_ + kStagedSuffix;
        tempDir_ = root_ + L"\\Temp";
        record_ = root_ + L"\\launch record.txt";
        CreateDirectories(exeDir_);
        CreateDirectories(tempDir_);
        ASSERT_TRUE(WriteWhole(exePath_, kPrevious));
        SetEnvironmentVariableW(L"UPDATER_TEST_LAUNCH_RECORD", record_.c_str());

        waits.clear();
        copies = 0;
        releaseAtWait = 0;
        releaseAfterCopy = false;
        holdStagedAfterMove = false;
        windowLog = WindowLog{};
        g_hwndMain = CreateTestWindow();
        ASSERT_NE(g_hwndMain, nullptr);
    }

    void TearDown() override
    {
        ReleaseHeldFile();
        DestroyWindow(g_hwndMain);
        RemoveTree(root_);
        if (!otherVolumeDir_.empty())
            RemoveTree(otherVolumeDir_);
    }

    void PutDownload(bool onOtherVolume)
    {
        std::wstring dir = tempDir_;
        if (onOtherVolume) {
            otherVolumeDir_ = OtherVolumeDirectory() + L"\\" + root_.substr(root_.rfind(L'\\') + 1);
            CreateDirectories(otherVolumeDir_);
            dir = otherVolumeDir_;
        }
        tempPath_ = dir + L"\\DvOrvanneLauncher_full.exe";
        ASSERT_TRUE(WriteWhole(tempPath_, kNew));
    }

    std::map<std::wstring, std::optional<std::string>> Files() const
    {
        return {{exePath_, ReadWhole(exePath_)},
                {oldPath_, ReadWhole(oldPath_)},
                {stagedPath_, ReadWhole(stagedPath_)},
                {tempPath_, ReadWhole(tempPath_)}};
    }

    // Moves the player's folder deeper, so that exePath has the given length.
    void UseExePathOfLength(size_t length)
    {
        const std::wstring name = L"\\DvOrvanneLauncher.exe";
        exeDir_ = root_ + L"\\Juegos\\" + std::wstring(length - root_.size() - 8 - name.size(), L'd');
        exePath_ = exeDir_ + name;
        oldPath_ = exePath_ + L".old";
        stagedPath_ = exePath_ + kStagedSuffix;
        CreateDirectories(exeDir_);
        ASSERT_TRUE(WriteWhole(exePath_, kPrevious));
    }

    // What the test launcher recorded, once it has; empty when nothing started in time.
    std::string WaitForLaunch(DWORD timeoutMs) const
    {
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        do {
            if (std::optional<std::string> record = ReadWhole(record_))
                return *record;
            ::Sleep(50);
        } while (GetTickCount64() < deadline);
        return {};
    }

    std::string LaunchRecord(const std::wstring& started) const
    {
        return "path=" + Utf8(started) + "\ncwd=" + Utf8(exeDir_) + "\nargs=\n";
    }

    PhaseArguments Arguments() const { return {exePath_, exeDir_, tempPath_}; }

    std::wstring root_, exeDir_, exePath_, oldPath_, stagedPath_, tempDir_, tempPath_, record_, otherVolumeDir_;
};

class ReplacementRow : public Replacement, public ::testing::WithParamInterface<Row> {};

TEST_P(ReplacementRow, LeavesAWorkingLauncherAndStartsIt)
{
    const Row& row = GetParam();
    if (row.folder == Folder::kExePathOf259) {
        UseExePathOfLength(259);
    }
    PutDownload(row.downloadOnOtherVolume);
    if (row.staleOld) {
        ASSERT_TRUE(WriteWhole(oldPath_, kStale));
    }
    if (row.folder == Folder::kStaleStaged) {
        ASSERT_TRUE(WriteWhole(stagedPath_, kStale));
    }
    switch (row.hold) {
    case Hold::kNothing:
        break;
    case Hold::kExeWithoutDeleteSharing:
        heldFile = HoldOpen(exePath_, FILE_SHARE_READ);
        break;
    case Hold::kDownloadWithReadSharingOnly:
        heldFile = HoldOpen(tempPath_, FILE_SHARE_READ);
        break;
    case Hold::kDownloadWithoutSharing:
        heldFile = HoldOpen(tempPath_, 0);
        break;
    case Hold::kStaleStagedWithoutSharing:
        heldFile = HoldOpen(stagedPath_, 0);
        break;
    case Hold::kStagedOnceItArrives:
        holdStagedAfterMove = true;
        break;
    }
    if (row.hold != Hold::kNothing && row.hold != Hold::kStagedOnceItArrives) {
        ASSERT_NE(heldFile, INVALID_HANDLE_VALUE);
    }
    releaseAtWait = row.releaseAtWait;
    releaseAfterCopy = row.releaseAfterCopy;
    const auto before = Files();
    windowLog.watched = {exePath_, oldPath_, stagedPath_, tempPath_};

    ASSERT_TRUE(RunOnWorkerThread(Arguments()));
    const std::string launch = WaitForLaunch(15000);
    ReleaseHeldFile();

    // The window heard of the phase before any file was touched, and closes at the end.
    EXPECT_EQ(windowLog.events, (std::vector<std::string>{"installing", "status 100 Instalando...", "done 1"}));
    EXPECT_EQ(windowLog.filesWhenInstalling, before);

    EXPECT_EQ(ReadWhole(exePath_), std::optional<std::string>(*row.atExe));
    EXPECT_EQ(ReadWhole(oldPath_), row.atOld ? std::optional<std::string>(*row.atOld) : std::nullopt);
    EXPECT_EQ(ReadWhole(tempPath_), row.downloadLeft ? std::optional<std::string>(kNew) : std::nullopt);
    // Only a staged file that could never be replaced stays beside the executable.
    EXPECT_EQ(ReadWhole(stagedPath_), row.hold == Hold::kStaleStagedWithoutSharing
                                          ? std::optional<std::string>(kStale)
                                          : std::nullopt);
    EXPECT_EQ(waits, std::vector<DWORD>(row.waits, 1000));
    EXPECT_EQ(copies, row.copies);
    EXPECT_EQ(launch, LaunchRecord(row.started == Started::kExe ? exePath_ : tempPath_));
}

INSTANTIATE_TEST_SUITE_P(Phase, ReplacementRow, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// The player confirmed a close and the window is gone: the process is ending, and a
// half-done replacement must not be started.
TEST_F(Replacement, WindowGoneTouchesNothingAndStartsNothing)
{
    PutDownload(false);
    ASSERT_TRUE(WriteWhole(oldPath_, kStale));
    const auto before = Files();
    DestroyWindow(g_hwndMain);

    ASSERT_TRUE(RunOnWorkerThread(Arguments()));

    EXPECT_EQ(WaitForLaunch(2000), "");
    EXPECT_EQ(Files(), before);
    EXPECT_TRUE(waits.empty());
    EXPECT_TRUE(windowLog.events.empty());
}

// The rows above stand on these: what a held file allows under this platform must be
// what it allows on Windows, and the other volume must really be another one.
TEST_F(Replacement, HeldFilesAndVolumesBehaveAsTheRowsAssume)
{
    PutDownload(false);
    const std::wstring probe = root_ + L"\\probe";
    struct Case {
        DWORD sharing;
        bool renames, copies;
    };
    for (const Case c : {Case{FILE_SHARE_READ, false, true}, Case{0, false, false},
                         Case{FILE_SHARE_READ | FILE_SHARE_DELETE, true, true}}) {
        SCOPED_TRACE("sharing " + std::to_string(c.sharing));
        HANDLE held = HoldOpen(tempPath_, c.sharing);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        EXPECT_EQ(CopyFileW(tempPath_.c_str(), probe.c_str(), FALSE) != FALSE, c.copies);
        DeleteFileW(probe.c_str());
        const bool renamed = MoveFileExW(tempPath_.c_str(), probe.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
        EXPECT_EQ(renamed, c.renames);
        if (renamed) {
            MoveFileExW(probe.c_str(), tempPath_.c_str(), 0);
        } else {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        }
        CloseHandle(held);
    }

    const std::wstring otherDir = OtherVolumeDirectory() + L"\\" + root_.substr(root_.rfind(L'\\') + 1) + L"_probe";
    CreateDirectories(otherDir);
    const std::wstring across = otherDir + L"\\probe";
    ASSERT_TRUE(WriteWhole(across, "x"));
    EXPECT_FALSE(MoveFileExW(across.c_str(), probe.c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SAME_DEVICE))
        << Utf8(OtherVolumeDirectory()) << " must be on another volume than " << Utf8(TempDirectory());
    RemoveTree(otherDir);
}

}  // namespace
