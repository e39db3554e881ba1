// Forced into the window and the entry procedure for window_tests only: the session-end
// reasons are recorded (this platform only pretends to keep them), and every run of the
// entry procedure in this one process takes the single-update mutex as a new process
// would, the previous run's hold ending as its process would have.
#pragma once

#include <windows.h>

BOOL WINAPI SeamShutdownBlockReasonCreate(HWND window, LPCWSTR reason);
BOOL WINAPI SeamShutdownBlockReasonDestroy(HWND window);
HANDLE WINAPI SeamCreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);

#define ShutdownBlockReasonCreate SeamShutdownBlockReasonCreate
#define ShutdownBlockReasonDestroy SeamShutdownBlockReasonDestroy
#define CreateMutexW SeamCreateMutexW
