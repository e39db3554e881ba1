// Stands in for the window's message channel in the fetch tests: every status is kept
// with the time the fetch posted it.
#include "tests/net/fetch_support.h"

#include "update/status_messages.h"

std::vector<PostedStatus> g_postedStatuses;
HWND g_hwndMain = nullptr;

void PostStatus(int percent, const wchar_t* text)
{
    g_postedStatuses.push_back({percent, text, GetTickCount64()});
}

void PostFailure(const wchar_t*) {}
