// Forced into https_fetch.cpp for fetch_tests only: the session's protocol option and
// the connection pass through the test, which records them in order and can refuse
// what an older Windows refuses.
#pragma once

#include <windows.h>
#include <winhttp.h>

BOOL WINAPI SeamWinHttpQueryOption(HINTERNET handle, DWORD option, LPVOID buffer, LPDWORD length);
BOOL WINAPI SeamWinHttpSetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length);
HINTERNET WINAPI SeamWinHttpConnect(HINTERNET session, LPCWSTR server, INTERNET_PORT port, DWORD reserved);

#define WinHttpQueryOption SeamWinHttpQueryOption
#define WinHttpSetOption SeamWinHttpSetOption
#define WinHttpConnect SeamWinHttpConnect
