#include "shared/system_dlls.h"

#include <delayimp.h>

#include <cstdlib>
#include <cstring>

namespace {

// The DLLs that Windows' own code loads by name during an update (a direct connection, a
// proxy, a PAC script, detection, the signature, the failure box, the final launch), and
// the program's own. A DLL loaded by name is searched for in the program's folder first,
// unless the search could be restricted to System32 or the DLL is already loaded: Windows
// looks at the loaded modules before any folder. So these are loaded from System32 at
// entry, and a later load by name finds them. One loaded by its full path takes its
// imports from System32 too, but what its start-up code loads by name is searched for as
// usual, so each comes after the ones its start-up code loads. Names are written without
// ".dll", each ended by '\0', the list by an empty name; a name this Windows lacks is
// skipped. '+' marks those loaded even where the search is restricted: Wine's own delay
// loads do not keep to it (crypt32 for WinHTTP's certificate checks). The rest are loaded
// there when first needed, from System32 all the same.
constexpr char kLoadedByWindows[] =
    // Cryptography: the signature, TLS, certificate checks.
    "+cryptbase\0"       // advapi32 loads it by name (Windows 7)
    "cryptsp\0"          // advapi32's CryptoAPI goes through it (Windows 7)
    "msasn1\0"           // crypt32's and schannel's ASN.1
    "bcryptprimitives\0" // bcrypt's algorithms, loaded by name (Windows 7)
    "bcrypt\0"           // the program's own: SHA-256, the signature; TLS
    "ncryptsslp\0"       // ncrypt's TLS provider, loaded by name (Windows 7)
    "ncrypt\0"           // schannel's keys
    "rsaenh\0"           // the CryptoAPI provider, loaded by name from the registry
    "gpapi\0"            // group policy, asked by crypt32's certificate stores
    "+profapi\0"         // userenv's profile folders (Windows 7)
    "+userenv\0"         // profile folders for crypt32 and the shell
    "+version\0"         // file versions for the shell and apphelp
    "+apphelp\0"         // CreateProcess's compatibility check at the final launch
    "wintrust\0"         // crypt32's trust functions, loaded by name
    "cryptnet\0"         // crypt32 fetching revocation lists
    "+crypt32\0"         // the program's own: the signature; WinHTTP's certificate checks
    // The network: names, proxy detection, Winsock's providers.
    "winnsi\0"           // iphlpapi's link to the network store (Windows 7)
    "+iphlpapi\0"        // dnsapi, detection
    "dhcpcsvc6\0"        // detection asks DHCPv6
    "dhcpcsvc\0"         // detection asks DHCP (option 252)
    "+dnsapi\0"          // name resolution, detection's DNS query
    "mswsock\0"          // Winsock's TCP/IP provider
    "wship6\0"           // Winsock's IPv6 helper
    "fwpuclnt\0"         // Winsock's secure sockets (Windows 7)
    "rasadhlp\0"         // Winsock's name provider for dial-up
    "rasman\0"           // rasapi32's connection manager
    "rasapi32\0"         // WinHTTP's proxy settings per dial-up connection
    "netutils\0"         // netapi32's helpers
    "netapi32\0"         // imported by the security packages
    "webio\0"            // WinHTTP's HTTP engine (Windows 7)
    "jscript\0"          // runs the PAC script
    "jsproxy\0"          // WinHTTP's PAC script host, loaded by name
    "winhttp\0"          // the program's own: every request
    // Security packages, loaded by name when TLS starts (by Wine's secur32 at its start).
    "schannel\0"         // TLS
    "kerberos\0"
    "msv1_0\0"
    "negoexts\0"         // (Windows 7)
    "pku2u\0"            // (Windows 7)
    "tspkg\0"
    "credssp\0"
    "wdigest\0"
    "+sspicli\0"         // loads the packages (Windows 7)
    "+secur32\0"         // the security interface TLS goes through
    // The window, the failure box and the final ShellExecuteExW.
    "+dwmapi\0"          // loaded by uxtheme
    "+uxtheme\0"         // themes, loaded by user32 and comctl32
    "comctl32\0"         // the program's own: the progress bar (version 6, by name)
    "oleacc\0"           // accessibility, loaded by user32 and comctl32
    "+propsys\0"         // the shell's property system
    "ntmarta\0"          // advapi32's security descriptors, for the shell
    "setupapi\0"         // the shell
    "clbcatq\0";         // COM's class catalogue: the shell, the PAC script's engine

// Set where LoadLibraryExW can be told to look in System32 alone (Windows 8 and later,
// Vista and 7 with KB2533623), whether or not the process's search is restricted.
bool g_searchSystem32 = false;

bool IsVista()
{
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    return GetVersionExW(&version) && version.dwMajorVersion == 6 && version.dwMinorVersion == 0;
}

// The named DLL of System32 by its full path (see LoadSystemLibrary).
HMODULE LoadFromSystem32(const char* name)
{
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    UINT end = length;
    path[end++] = L'\\';
    // ".dll" is added here rather than left to LoadLibraryExW: for a full path its
    // documentation promises nothing, and older Windows fail to add it where a folder's
    // name has a dot (KB324468).
    bool extension = false;
    for (const char* c = name;; ++c) {
        if (!*c) {
            if (extension)
                break;
            c = ".dll";
        }
        extension = extension || *c == '.';
        if (end + 1 >= MAX_PATH)
            return nullptr;
        path[end++] = static_cast<unsigned char>(*c);
    }
    path[end] = L'\0';
    // What the DLL imports in turn is looked up in System32 alone where the system can
    // be told so; elsewhere the altered search order starts at the DLL's own folder,
    // System32, instead of the program's.
    return LoadLibraryExW(path, nullptr, g_searchSystem32 ? LOAD_LIBRARY_SEARCH_SYSTEM32 : LOAD_WITH_ALTERED_SEARCH_PATH);
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
    const bool restricted =
        setDefaultDllDirectories && !IsVista() && setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!restricted)
        SetDllDirectoryW(L"");
    for (const char* name = kLoadedByWindows; *name;) {
        const bool everywhere = *name == '+';
        if (everywhere || !restricted)
            LoadSystemLibrary(name + everywhere);
        while (*name++) {
        }
    }
}

HMODULE LoadSystemLibrary(const char* name)
{
    // Windows keeps the common controls of version 6, which the program's manifest asks
    // for, in its side-by-side store, and gives them only to a load by name: a name
    // without a path is redirected there by the process's activation context before any
    // folder is searched, and before the DLLs already loaded are looked at ("Dynamic-link
    // library search order"; LoadLibraryEx, whose LOAD_LIBRARY_SEARCH_* flags only choose
    // the folders searched after that). System32's copy by its path is version 5.82,
    // whatever the manifest says. Where the search cannot be restricted this one is loaded
    // at entry too, so that a later load by name under another activation context finds
    // it loaded; Wine would answer the program's own load with System32's copy if that
    // one were loaded first.
    if (strncmp(name, "comctl32", 8) == 0 && (name[8] == '\0' || name[8] == '.'))
        return LoadLibraryExW(L"comctl32.dll", nullptr, g_searchSystem32 ? LOAD_LIBRARY_SEARCH_SYSTEM32 : 0);
    return LoadFromSystem32(name);
}
