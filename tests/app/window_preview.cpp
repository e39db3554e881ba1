// Shows the real progress window in the middle of a download, for screenshots. Closes
// by itself after a minute.
#include "app/progress_window.h"
#include "update/status_messages.h"

#include <windows.h>

#include <cstdlib>
#include <cwchar>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    const HWND window = CreateProgressWindow(instance);
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);

    const wchar_t* status = L"Descargando el launcher nuevo (intento 1/3)...  5 / 12 MB";
    auto* copy = static_cast<wchar_t*>(malloc((wcslen(status) + 1) * sizeof(wchar_t)));
    wcscpy(copy, status);
    PostMessageW(window, WM_UPDATER_STATUS, 42, reinterpret_cast<LPARAM>(copy));
    SetTimer(window, 1, 60000, [](HWND timerWindow, UINT, UINT_PTR, DWORD) { DestroyWindow(timerWindow); });

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
