// The progress window: a small centred, always-on-top window that shows what the
// update is doing, and its window procedure.
#pragma once

#include <windows.h>

// The three controls the window procedure changes. Written on the UI thread before
// the worker starts.
extern HWND g_hwndStatus;
extern HWND g_hwndProgress;
extern HWND g_hwndPercent;

// Initialises the progress bar class, registers the window class, creates the window
// (hidden), its two fonts and its five controls, and stores the window in g_hwndMain
// and the kept controls in the globals above. Returns the window (null when it could
// not be created). Results of the individual platform calls are not looked at.
HWND CreateProgressWindow(HINSTANCE instance);

// Shows the statuses and the end posted by the worker (update/status_messages.h) and
// frees their texts; asks before the player closes the window, and refuses to close it
// at all once the worker has announced that it is installing.
LRESULT CALLBACK UpdaterWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
