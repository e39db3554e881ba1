#include "update/replace_and_launch.h"

#include "config/config.h"
#include "update/status_messages.h"

#include <shellapi.h>

#include <string>

namespace {

constexpr int kRenameTries = 15;
constexpr int kInstallTries = 20;
constexpr DWORD kRetryWaitMs = 1000;

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

// Puts the download at exePath. The move copies across volumes when the temporary
// directory lies on another drive; when the download itself cannot be moved (held
// open by a scanner), a copy can still succeed.
bool InstallDownload(const wchar_t* tempPath, const wchar_t* exePath)
{
    for (int attempt = 1; attempt <= kInstallTries; ++attempt) {
        if (MoveFileExW(tempPath, exePath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
            return true;
        if (CopyFileW(tempPath, exePath, FALSE))
            return true;
        Sleep(kRetryWaitMs);
    }
    return false;
}

}  // namespace

void ReplaceAndLaunch(const wchar_t* exePath, const wchar_t* exeDir, const wchar_t* tempPath)
{
    // From here on the window must not close: a close between the rename and the
    // install would leave nothing at exePath, and the player's shortcut would fail.
    // No answer means the window is already gone and the process is ending under us;
    // starting to move files now could be cut off halfway.
    if (!SendMessageW(g_hwndMain, WM_UPDATER_INSTALLING, 0, 0))
        return;

    PostStatus(100, L"Instalando...");
    const std::wstring oldPath = std::wstring(exePath) + kOldSuffix;

    // The download stays where it was verified unless it can be put in place; either
    // way the player gets the verified launcher started.
    const wchar_t* target = tempPath;
    if (MoveExecutableAside(exePath, oldPath)) {
        if (InstallDownload(tempPath, exePath)) {
            // After a copy this removes the download; after a move there is nothing left.
            DeleteFileW(tempPath);
            target = exePath;
        } else {
            // The previous launcher goes back, so later starts from the player's
            // shortcut still find a program at exePath.
            MoveFileExW(oldPath.c_str(), exePath, MOVEFILE_REPLACE_EXISTING);
        }
    }

    ShellExecuteW(nullptr, L"open", target, nullptr, exeDir, SW_SHOWNORMAL);
    PostMessageW(g_hwndMain, WM_UPDATER_DONE, 1, 0);
}
