// A stand-in for the studio's full launcher, for trying the updater end to end: it shows
// a window saying it is the full launcher and, when DVORVANNE_SAMPLE_RECORD names a
// file, appends one line there with its own path, working directory and command line,
// so a script can tell that it was started and how.
#include <windows.h>

#include <cwchar>

namespace {

void RecordStart()
{
    wchar_t recordPath[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"DVORVANNE_SAMPLE_RECORD", recordPath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;

    wchar_t exePath[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, exePath, MAX_PATH);
    wchar_t workDir[MAX_PATH] = L"";
    GetCurrentDirectoryW(MAX_PATH, workDir);

    wchar_t line[4 * MAX_PATH + 64];
    swprintf(line, sizeof line / sizeof line[0], L"started exe=%ls cwd=%ls cmdline=%ls\n", exePath, workDir,
             GetCommandLineW());
    char utf8[sizeof line];
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8, sizeof utf8, nullptr, nullptr);
    if (bytes <= 1)
        return;

    HANDLE file = CreateFileW(recordPath, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, utf8, static_cast<DWORD>(bytes - 1), &written, nullptr);
    CloseHandle(file);
}

LRESULT CALLBACK SampleWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CTLCOLORSTATIC:
        SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
        SetTextColor(reinterpret_cast<HDC>(wParam), RGB(232, 184, 75));
        return reinterpret_cast<LRESULT>(GetStockObject(BLACK_BRUSH));
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    RecordStart();

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = SampleWndProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    windowClass.lpszClassName = L"DvOrvanneSampleLauncher";
    RegisterClassW(&windowClass);

    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"Dravok Orvanne - Launcher completo",
                                  WS_OVERLAPPEDWINDOW, 120, 120, 560, 220, nullptr, nullptr, instance, nullptr);
    CreateWindowExW(0, L"STATIC",
                    L"Este es el launcher completo de Dravok Orvanne.\n"
                    L"El actualizador lo ha descargado, comprobado e iniciado.",
                    WS_CHILD | WS_VISIBLE | SS_CENTER, 20, 60, 500, 60, window, nullptr, instance, nullptr);
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
