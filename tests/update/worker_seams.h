// Forced into update_worker.cpp for its tests only: the waits are recorded instead of
// slept, and the executable's path can be set by a test.
#pragma once

#include <windows.h>

void WINAPI SeamSleep(DWORD milliseconds);
DWORD WINAPI SeamGetModuleFileNameW(HMODULE module, LPWSTR path, DWORD size);

#define Sleep SeamSleep
#define GetModuleFileNameW SeamGetModuleFileNameW
