// Forced into replace_and_launch.cpp for its tests only: the waits are recorded
// instead of slept, and a test can act at a given wait or right after a copy (let go
// of a file it holds, as a scanner would), so every retry count is exact and fast.
#pragma once

#include <windows.h>

void WINAPI SeamSleep(DWORD milliseconds);
BOOL WINAPI SeamCopyFileW(LPCWSTR existingFile, LPCWSTR newFile, BOOL failIfExists);

#define Sleep SeamSleep
#define CopyFileW SeamCopyFileW
