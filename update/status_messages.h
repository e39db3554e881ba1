// The only channel from the update sequence to the window: private messages posted
// to g_hwndMain. The worker side never touches a window itself.
#pragma once

#include <windows.h>

// wParam: percent, read as a signed 32-bit integer; negative means "no percentage"
// (marquee). lParam: a malloc'd UTF-16 copy of the new status text, owned by the
// receiver, or null to keep the current text.
constexpr UINT WM_UPDATER_STATUS = WM_APP + 1;
// wParam non-zero: the update has ended, close without a word (lParam is null).
// wParam 0: the update failed; lParam is a malloc'd copy of the failure text owned by
// the receiver, or null (the receiver then shows "Error").
constexpr UINT WM_UPDATER_DONE = WM_APP + 2;

// Sent (not posted) by the replacement phase before it touches any file. The window
// answers TRUE and from then on declines every close request until WM_UPDATER_DONE,
// because a close between renaming the executable and installing the download would
// leave no launcher at the executable's path. A zero answer means the window is gone
// (the player closed it and the process is ending): then no file may be touched.
constexpr UINT WM_UPDATER_INSTALLING = WM_APP + 3;

// The progress window. Written on the UI thread before the worker starts, only read
// afterwards.
extern HWND g_hwndMain;

// Copy text and post WM_UPDATER_STATUS(percent, copy). Never waits for the window.
void PostStatus(int percent, const wchar_t* text);
// Copy text and post WM_UPDATER_DONE(0, copy). Never waits for the window.
void PostFailure(const wchar_t* text);
