// Stands in for the full launcher in the tests: writes how it was started (its own
// path, working directory and arguments) to the file named by the environment variable
// UPDATER_TEST_LAUNCH_RECORD, then exits.
#include <windows.h>
#include <shellapi.h>

#include <string>

namespace {

std::string Utf8(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), size, nullptr, nullptr);
    return out;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    wchar_t record[MAX_PATH];
    const DWORD recordLength = GetEnvironmentVariableW(L"UPDATER_TEST_LAUNCH_RECORD", record, MAX_PATH);
    if (recordLength == 0 || recordLength >= MAX_PATH)
        return 1;

    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t directory[MAX_PATH] = L"";
    GetCurrentDirectoryW(MAX_PATH, directory);
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    std::wstring arguments;
    for (int i = 1; argv && i < count; ++i)
        arguments += (i > 1 ? L"|" : L"") + std::wstring(argv[i]);
    LocalFree(argv);

    const std::string text = "path=" + Utf8(path) + "\ncwd=" + Utf8(directory) + "\nargs=" +
                             Utf8(arguments) + "\n";
    // Written beside the record and renamed into place, so a test that polls for the
    // record never reads it half written.
    const std::wstring part = std::wstring(record) + L".part";
    HANDLE file = CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || !MoveFileExW(part.c_str(), record, MOVEFILE_REPLACE_EXISTING))
        return 1;
    return 0;
}
