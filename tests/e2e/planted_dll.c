/* A DLL that a web page could drop beside the updater under one of Windows' names. It
 * does nothing but record, in the file that UPDATER_PLANTED_LOG names, which process
 * loaded it under which name: a line there means foreign code ran inside that process. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    wchar_t log[MAX_PATH], exe[MAX_PATH], dll[MAX_PATH], line[3 * MAX_PATH];
    if (!GetEnvironmentVariableW(L"UPDATER_PLANTED_LOG", log, MAX_PATH))
        return TRUE;
    GetModuleFileNameW(NULL, exe, MAX_PATH);
    GetModuleFileNameW(self, dll, MAX_PATH);
    const int length = wsprintfW(line, L"%s loaded %s\n", exe, dll);
    char utf8[9 * MAX_PATH];
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, line, length, utf8, sizeof utf8, NULL, NULL);
    HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written;
        WriteFile(file, utf8, (DWORD)bytes, &written, NULL);
        CloseHandle(file);
    }
    return TRUE;
}
