// Forced into update_worker.cpp for the end-to-end test only: the waits are recorded
// instead of slept.
#pragma once

#include <windows.h>

void WINAPI SeamSleep(DWORD milliseconds);

#define Sleep SeamSleep
