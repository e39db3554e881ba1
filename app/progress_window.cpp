#include "app/progress_window.h"

#include "config/config.h"
#include "shared/system_dlls.h"
#include "update/status_messages.h"

#include <commctrl.h>

#include <cstdlib>
#include <cwchar>

HWND g_hwndStatus = nullptr;
HWND g_hwndProgress = nullptr;
HWND g_hwndPercent = nullptr;

namespace {

constexpr int kWindowWidth = 520;
constexpr int kWindowHeight = 190;
constexpr COLORREF kGold = RGB(232, 184, 75);
constexpr const wchar_t* kFailureCaption = L"Dravok Orvanne - actualización";
constexpr const wchar_t* kCloseCaption = L"Dravok Orvanne";
constexpr const wchar_t* kCloseQuestion =
    L"El launcher se está actualizando. Si cierras ahora tendrás que volver a empezar.\n"
    L"¿Cerrar de todas formas?";

// Set once the worker has announced that it is replacing the executable; only the UI
// thread reads or writes it.
bool g_installing = false;

HFONT CreateUiFont(int height, int weight, const wchar_t* face)
{
    return CreateFontW(height, 0, 0, 0, weight, 0, 0, 0, DEFAULT_CHARSET, 0, 0, CLEARTYPE_QUALITY, 0, face);
}

HWND CreateControl(HWND parent, HINSTANCE instance, const wchar_t* className, const wchar_t* text, DWORD style,
                   int x, int y, int width, int height)
{
    return CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height, parent,
                           nullptr, instance, nullptr);
}

void SetControlFont(HWND control, HFONT font)
{
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

void ShowStatus(WPARAM wParam, LPARAM lParam)
{
    auto* text = reinterpret_cast<wchar_t*>(lParam);
    if (text) {
        SetWindowTextW(g_hwndStatus, text);
        free(text);
    }

    // Only the low 32 bits carry the percent, so -1 reads as -1 whether or not the
    // sender sign-extended it to a 64-bit WPARAM.
    const int percent = static_cast<int>(static_cast<DWORD>(wParam));
    if (percent < 0) {
        SetWindowLongW(g_hwndProgress, GWL_STYLE, GetWindowLongW(g_hwndProgress, GWL_STYLE) | PBS_MARQUEE);
        SendMessageW(g_hwndProgress, PBM_SETMARQUEE, TRUE, 30);
        SetWindowTextW(g_hwndPercent, L"");
        return;
    }
    SendMessageW(g_hwndProgress, PBM_SETMARQUEE, FALSE, 0);
    SetWindowLongW(g_hwndProgress, GWL_STYLE, GetWindowLongW(g_hwndProgress, GWL_STYLE) & ~PBS_MARQUEE);
    SendMessageW(g_hwndProgress, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
    wchar_t label[16];
    // msvcrt's formatter: the C99 one that C++ mode picks for swprintf outweighs the program.
    _snwprintf(label, 16, L"%d%%", percent);
    SetWindowTextW(g_hwndPercent, label);
}

// Windows may end the session while no file stands at the executable's path; while
// installing, the session end waits, and the player is told why.
void BeginInstalling(HWND window)
{
    g_installing = true;
    ShutdownBlockReasonCreate(window, L"Instalando...");
}

void EndUpdate(HWND window, WPARAM wParam, LPARAM lParam)
{
    if (g_installing) {
        ShutdownBlockReasonDestroy(window);
        g_installing = false;
    }
    if (wParam == 0) {
        auto* text = reinterpret_cast<wchar_t*>(lParam);
        MessageBoxW(window, text ? text : L"Error", kFailureCaption, MB_OK | MB_ICONWARNING);
        free(text);
    }
    DestroyWindow(window);
}

void AskToClose(HWND window)
{
    // Between renaming the executable and putting the download in its place there is
    // no launcher at the executable's path; only the worker may end that phase.
    if (g_installing)
        return;
    const int answer =
        MessageBoxW(window, kCloseQuestion, kCloseCaption, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
    // The question runs its own message loop, so the worker may have begun installing
    // while it was open.
    if (answer == IDYES && !g_installing)
        DestroyWindow(window);
}

}  // namespace

HWND CreateProgressWindow(HINSTANCE instance)
{
    g_installing = false;

    // Without the common controls the window still shows every text; only the bar is missing.
    if (LoadSystemLibrary("comctl32.dll")) {
        INITCOMMONCONTROLSEX controls{};
        controls.dwSize = sizeof(controls);
        controls.dwICC = ICC_PROGRESS_CLASS;
        InitCommonControlsEx(&controls);
    }

    WNDCLASSW windowClass{};
    windowClass.style = 0;
    windowClass.lpfnWndProc = UpdaterWndProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    windowClass.lpszMenuName = nullptr;
    windowClass.lpszClassName = kWindowClassName;
    RegisterClassW(&windowClass);

    const int x = (GetSystemMetrics(SM_CXSCREEN) - kWindowWidth) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - kWindowHeight) / 2;
    g_hwndMain = CreateWindowExW(WS_EX_TOPMOST, kWindowClassName, L"Dravok Orvanne - Actualizando el launcher",
                                 WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, x, y, kWindowWidth, kWindowHeight,
                                 nullptr, nullptr, instance, nullptr);

    // Both fonts stay in use by the controls until the process ends.
    const HFONT titleFont = CreateUiFont(26, FW_BOLD, L"Georgia");
    const HFONT bodyFont = CreateUiFont(16, FW_NORMAL, L"Segoe UI");

    const HWND title =
        CreateControl(g_hwndMain, instance, L"STATIC", L"DRAVOK ORVANNE", SS_CENTER, 20, 12, 464, 32);
    SetControlFont(title, titleFont);

    g_hwndStatus = CreateControl(g_hwndMain, instance, L"STATIC", L"Preparando la actualización del launcher...",
                                 SS_LEFT, 20, 56, 464, 22);
    SetControlFont(g_hwndStatus, bodyFont);

    g_hwndProgress = CreateControl(g_hwndMain, instance, PROGRESS_CLASSW, nullptr, PBS_SMOOTH, 20, 86, 410, 22);
    SendMessageW(g_hwndProgress, PBM_SETRANGE, 0, MAKELPARAM(0, 100));

    g_hwndPercent = CreateControl(g_hwndMain, instance, L"STATIC", L"", SS_RIGHT, 436, 88, 48, 22);
    SetControlFont(g_hwndPercent, bodyFont);

    const HWND hint =
        CreateControl(g_hwndMain, instance, L"STATIC",
                      L"No cierres esta ventana: el launcher se abrirá solo al terminar.", SS_LEFT, 20, 120, 464, 22);
    SetControlFont(hint, bodyFont);

    return g_hwndMain;
}

LRESULT CALLBACK UpdaterWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CLOSE:
        AskToClose(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_CTLCOLORSTATIC: {
        const HDC dc = reinterpret_cast<HDC>(wParam);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, kGold);
        return reinterpret_cast<LRESULT>(GetStockObject(BLACK_BRUSH));
    }
    case WM_UPDATER_STATUS:
        ShowStatus(wParam, lParam);
        return 0;
    case WM_UPDATER_DONE:
        EndUpdate(window, wParam, lParam);
        return 0;
    case WM_UPDATER_INSTALLING:
        BeginInstalling(window);
        return TRUE;
    case WM_QUERYENDSESSION:
        if (g_installing)
            return FALSE;
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
