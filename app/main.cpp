// The program's entry: the progress window on this thread, the update on a second one.
#include "app/progress_window.h"
#include "config/config.h"
#include "shared/system_dlls.h"
#include "update/status_messages.h"
#include "update/update_worker.h"

#include <windows.h>

namespace {

// True when this is the only update running in the session. The mutex is never closed:
// the system lets go of it when the process ends, however it ends, so neither a crash
// nor a confirmed close can leave anything that blocks the next start.
bool IsOnlyUpdate()
{
    CreateMutexW(nullptr, FALSE, kSingleUpdateMutexName);
    return GetLastError() != ERROR_ALREADY_EXISTS;
}

// A second click while an update runs: the player is shown the one that is running.
void BringRunningUpdateForward()
{
    const HWND running = FindWindowW(kWindowClassName, nullptr);
    if (!running)
        return;
    if (IsIconic(running))
        ShowWindow(running, SW_RESTORE);
    SetForegroundWindow(running);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    // Before anything else: the program's folder is wherever the browser saved it, and
    // a DLL dropped there must never be taken for one of Windows'.
    RestrictDllSearch();

    // Two updates at once would download over each other's temporary file and fight
    // over the executable's path; the second touches nothing.
    if (!IsOnlyUpdate()) {
        BringRunningUpdateForward();
        return 0;
    }

    // Without its window the program could show the player nothing, could not guard the
    // replacement against a close, and would wait unseen forever: posts to a null window
    // never reach this thread. Ending at once touches no file; starting again retries.
    if (!CreateProgressWindow(instance))
        return 0;
    ShowWindow(g_hwndMain, SW_SHOWNORMAL);
    UpdateWindow(g_hwndMain);

    // Nothing ever waits for the worker or stops it: it ends with the process, so its
    // handle is neither kept nor closed.
    CreateThread(nullptr, 0, UpdateThreadProc, nullptr, 0, nullptr);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
