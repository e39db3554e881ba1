#include "update/replace_and_launch.h"

#include "config/config.h"
#include "shared/scoped_handle.h"
#include "update/status_messages.h"

#include <shellapi.h>

#include <string>

namespace {

constexpr int kRenameTries = 15;
constexpr int kInstallTries = 20;
constexpr DWORD kRetryWaitMs = 1000;

// exePath with suffix appended. exePath is shorter than MAX_PATH, but with the suffix
// it may not be, and Windows refuses such a path unless it is in the extended form
// (which it then takes as it is: exePath is already a full path).
std::wstring CompanionPath(const wchar_t* exePath, const wchar_t* suffix)
{
    std::wstring path = std::wstring(exePath) + suffix;
    if (path.size() < MAX_PATH || path.rfind(L"\\\\?\\", 0) == 0)
        return path;
    // \\server\share\... becomes \\?\UNC\server\share\...
    if (path.rfind(L"\\\\", 0) == 0)
        return path.replace(0, 1, L"\\\\?\\UNC");
    return path.insert(0, L"\\\\?\\");
}

// A copy only counts once it is on the disk: the renames that follow rely on it, and
// a power cut must not leave them a file that was still in the cache.
bool CopyToDisk(const wchar_t* from, const wchar_t* to)
{
    if (!CopyFileW(from, to, FALSE))
        return false;
    ScopedFile copy(CreateFileW(to, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return copy.valid() && FlushFileBuffers(copy.get());
}

// Puts the file at from in place of to, at most kInstallTries tries. The move copies
// across volumes and, with write-through, returns only once the copy is on disk; when
// the file cannot be moved (held open by a scanner), a copy can still succeed.
bool MoveOrCopy(const wchar_t* from, const wchar_t* to)
{
    for (int attempt = 1; attempt <= kInstallTries; ++attempt) {
        if (MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH))
            return true;
        if (CopyToDisk(from, to))
            return true;
        Sleep(kRetryWaitMs);
    }
    return false;
}

// Moves the running executable to oldPath. Windows lets a running image be renamed,
// but not while another program (typically an antivirus scanner) holds the file open
// without delete sharing, which usually passes within seconds.
bool MoveExecutableAside(const wchar_t* exePath, const std::wstring& oldPath)
{
    for (int attempt = 1; attempt <= kRenameTries; ++attempt) {
        // Removes the previous launcher kept by an earlier update.
        DeleteFileW(oldPath.c_str());
        if (MoveFileExW(exePath, oldPath.c_str(), MOVEFILE_REPLACE_EXISTING))
            return true;
        // The wait follows the last try too, so every failed try costs the same.
        Sleep(kRetryWaitMs);
    }
    return false;
}

// The staged download goes back to the temporary directory when it cannot be put in
// place; the file to start then, which is the staged one if even that fails.
const wchar_t* ReturnStagedDownload(const std::wstring& stagedPath, const wchar_t* tempPath)
{
    if (MoveFileExW(stagedPath.c_str(), tempPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
        return tempPath;
    return stagedPath.c_str();
}

}  // namespace

bool ReplaceAndLaunch(const wchar_t* exePath, const wchar_t* exeDir, const wchar_t* tempPath)
{
    // From here on the window must not close: a close between the rename and the
    // install would leave nothing at exePath, and the player's shortcut would fail.
    // No answer means the window is already gone and the process is ending under us;
    // starting to move files now could be cut off halfway.
    if (!SendMessageW(g_hwndMain, WM_UPDATER_INSTALLING, 0, 0))
        return true;

    PostStatus(100, L"Instalando...");
    const std::wstring oldPath = CompanionPath(exePath, kOldSuffix);
    const std::wstring stagedPath = CompanionPath(exePath, kStagedSuffix);

    // The download is first brought whole onto the executable's volume under a name of
    // its own (overwriting one left by a run that was ended here), so that the only
    // writes at exePath are two renames: whenever the process is ended, exePath holds
    // the previous launcher or the new one, except in the instant between them.
    const wchar_t* target = tempPath;
    if (MoveOrCopy(tempPath, stagedPath.c_str())) {
        if (!MoveExecutableAside(exePath, oldPath)) {
            target = ReturnStagedDownload(stagedPath, tempPath);
        } else if (MoveOrCopy(stagedPath.c_str(), exePath)) {
            // After a copy this removes the download; after a move there is nothing left.
            DeleteFileW(tempPath);
            target = exePath;
        } else {
            // The previous launcher goes back, so later starts from the player's
            // shortcut still find a program at exePath.
            MoveFileExW(oldPath.c_str(), exePath, MOVEFILE_REPLACE_EXISTING);
            target = ReturnStagedDownload(stagedPath, tempPath);
        }
    } else {
        // A copy cut short by the failed tries must not stay beside the executable.
        DeleteFileW(stagedPath.c_str());
    }

    // Without NO_UI the shell shows a failure in a box of its own, on this thread, behind
    // the always-on-top window that still refuses to close. NOASYNC: this process ends
    // right after, and the start must not be left to a thread of the shell's that ends
    // with it.
    SHELLEXECUTEINFOW start{};
    start.cbSize = sizeof start;
    start.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    start.lpVerb = L"open";
    start.lpFile = target;
    start.lpDirectory = exeDir;
    start.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&start))
        return false;
    PostMessageW(g_hwndMain, WM_UPDATER_DONE, 1, 0);
    return true;
}
