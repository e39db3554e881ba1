// Forced into replace_and_launch.cpp for its tests only: the waits are recorded
// instead of slept, and a test can act at a given wait or right after a copy or a move
// (let go of a file it holds, or take hold of one, as a scanner would), so every retry
// count is exact and fast. The file calls also refuse, as Windows does and this
// platform does not, a path of MAX_PATH characters or more that is not in the
// extended-length form.
#pragma once

#include <windows.h>

void WINAPI SeamSleep(DWORD milliseconds);
BOOL WINAPI SeamCopyFileW(LPCWSTR existingFile, LPCWSTR newFile, BOOL failIfExists);
BOOL WINAPI SeamMoveFileExW(LPCWSTR existingFile, LPCWSTR newFile, DWORD flags);
BOOL WINAPI SeamDeleteFileW(LPCWSTR file);

#define Sleep SeamSleep
#define CopyFileW SeamCopyFileW
#define MoveFileExW SeamMoveFileExW
#define DeleteFileW SeamDeleteFileW
