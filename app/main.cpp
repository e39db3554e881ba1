// The program's entry: the progress window on this thread, the update on a second one.
#include "app/progress_window.h"
#include "update/status_messages.h"
#include "update/update_worker.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
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
