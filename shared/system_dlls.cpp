#include "shared/system_dlls.h"

#include <delayimp.h>

#include <cstdlib>

namespace {

// Loaded by name by Windows' own code (the shell, WinHTTP's TLS and name resolution,
// the themes). Not all of that code keeps to the restricted search: where it cannot be
// restricted at all, and in Wine's own delay loads (crypt32 for WinHTTP's certificate
// checks) even where it can. So these are brought in from System32 before anything asks
// for them, and a load by name then finds them there. A name this Windows lacks is skipped.
// The program's own DLLs are not among them: each is loaded from System32 when first
// needed (LoadSystemLibrary).
constexpr const char* kLoadedByWindows[] = {
    "version.dll", "secur32.dll", "sspicli.dll", "dnsapi.dll", "iphlpapi.dll", "uxtheme.dll",
    "dwmapi.dll", "cryptbase.dll", "propsys.dll", "userenv.dll", "profapi.dll", "apphelp.dll",
    "crypt32.dll",
};

// Set where LoadLibraryExW can be told to look in System32 alone (Windows 8 and later,
// Vista and 7 with KB2533623).
bool g_searchSystem32 = false;

bool IsVista()
{
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    return GetVersionExW(&version) && version.dwMajorVersion == 6 && version.dwMinorVersion == 0;
}

}  // namespace

extern "C" IMAGE_DOS_HEADER __ImageBase;

// Called by the stub of a delay-loaded function at its first call: finds the function in
// System32's copy of its DLL and puts it into the program's table, so later calls go
// straight to it. The toolchain's own helper would load the DLL by its bare name, which
// searches the program's folder first wherever the search cannot be restricted. Every
// operation has made sure of its DLL beforehand (LoadSystemLibrary), and every function
// imported exists since Windows Vista, so a function that cannot be found is a fault of
// the build, never of the player's system.
extern "C" FARPROC WINAPI __delayLoadHelper2(PCImgDelayDescr descriptor, FARPROC* entry)
{
    auto* const base = reinterpret_cast<BYTE*>(&__ImageBase);
    auto* const module = reinterpret_cast<HMODULE*>(base + descriptor->rvaHmod);
    // Two threads may get here at once for one DLL; both store the same module.
    if (!*module)
        *module = LoadSystemLibrary(reinterpret_cast<const char*>(base + descriptor->rvaDLLName));

    const auto* const table = reinterpret_cast<FARPROC*>(base + descriptor->rvaIAT);
    const auto* const names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + descriptor->rvaINT);
    const IMAGE_THUNK_DATA& name = names[entry - table];
    const char* const procName =
        IMAGE_SNAP_BY_ORDINAL(name.u1.Ordinal)
            ? MAKEINTRESOURCEA(IMAGE_ORDINAL(name.u1.Ordinal))
            : reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name.u1.AddressOfData)->Name;
    const FARPROC proc = *module ? GetProcAddress(*module, procName) : nullptr;
    if (!proc)
        abort();
    *entry = proc;
    return proc;
}

void RestrictDllSearch()
{
    // Looked up, not imported: a Windows 7 without the update would refuse to start a
    // program that imports it.
    using SetDefaultDllDirectoriesProc = BOOL(WINAPI*)(DWORD);
    const auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesProc>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    g_searchSystem32 = setDefaultDllDirectories != nullptr;
    if (!setDefaultDllDirectories || IsVista() || !setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        SetDllDirectoryW(L"");
    for (const char* name : kLoadedByWindows)
        LoadSystemLibrary(name);
}

HMODULE LoadSystemLibrary(const char* name)
{
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    UINT end = length;
    path[end++] = L'\\';
    for (; *name; ++name) {
        if (end + 1 >= MAX_PATH)
            return nullptr;
        path[end++] = static_cast<unsigned char>(*name);
    }
    path[end] = L'\0';
    // What the DLL imports in turn is looked up in System32 alone where the system can
    // be told so; elsewhere the altered search order starts at the DLL's own folder,
    // System32, instead of the program's.
    return LoadLibraryExW(path, nullptr, g_searchSystem32 ? LOAD_LIBRARY_SEARCH_SYSTEM32 : LOAD_WITH_ALTERED_SEARCH_PATH);
}
