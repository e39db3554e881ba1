#include "update/status_messages.h"

#include <cstdlib>
#include <cwchar>

HWND g_hwndMain = nullptr;

namespace {

// A malloc'd copy, as the receiver frees it with free(); null when memory ran out,
// which the receiver treats as "no text".
wchar_t* CopyText(const wchar_t* text)
{
    const size_t length = wcslen(text);
    auto* copy = static_cast<wchar_t*>(malloc((length + 1) * sizeof(wchar_t)));
    if (copy)
        wmemcpy(copy, text, length + 1);
    return copy;
}

void PostWithText(UINT message, WPARAM wParam, const wchar_t* text)
{
    wchar_t* copy = CopyText(text);
    // When the window is already gone (the player closed it and the process is
    // ending) nobody will ever free the copy, so free it here.
    if (!PostMessageW(g_hwndMain, message, wParam, reinterpret_cast<LPARAM>(copy)))
        free(copy);
}

}  // namespace

void PostStatus(int percent, const wchar_t* text)
{
    // Sign-extended, so the receiver reads a negative percent back as negative on
    // both 32- and 64-bit builds.
    PostWithText(WM_UPDATER_STATUS, static_cast<WPARAM>(static_cast<INT_PTR>(percent)), text);
}

void PostFailure(const wchar_t* text)
{
    PostWithText(WM_UPDATER_DONE, 0, text);
}
