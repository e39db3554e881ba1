// Starts the updater the way a player does and watches its window from outside, for the
// end-to-end tests. Prints what it saw as "key: value" lines in UTF-8 (a line feed
// inside a text is written as \n):
//   window_probe run EXE          which comctl32 the updater has loaded once its window
//                                 shows ("comctl32: winsxs" for Windows' side-by-side
//                                 store, else the folder's name), then every distinct
//                                 state of the window until it closes
//   window_probe failure EXE      the states until the failure box appears, the box and
//                                 whether it is in front of the window, then OK pressed
//                                 and the window closing
//   window_probe close-guard EXE  holds EXE open the way a scanner does (no delete
//                                 sharing), so the rename has to wait; once the window
//                                 shows "Instalando..." asks it to close as the title-bar
//                                 button does, reports what happened, then lets go of EXE
//   window_probe crash-install MS TEMPDIR EXE
//                                 with TEMPDIR as the temporary directory, ends the updater
//                                 with TerminateProcess MS milliseconds after the window
//                                 shows "Instalando...", as a power cut or a crash would
//   window_probe twice EXE        starts EXE, and again once its window shows; reports
//                                 whether the second start showed a window of its own, its exit code
//                                 and whether the first window was then in front, then
//                                 watches the first as "run" does
//   window_probe windows          every top-level window of this Wine server: its process,
//                                 class, visibility and caption, and the state of an
//                                 updater window (for a test that timed out)
// Every mode first reports "program: 32-bit|64-bit", how the updater runs (under WoW64 or
// natively), and ends with "exit code: N" of the updater ("none" when it did not end in
// time) and "download left: yes|no", whether the temporary directory still holds a
// download. Each line also goes to stderr after the time it was seen (seconds of the
// tick count, the clock of WINEDEBUG=+timestamp), beside a few steps that stdout leaves out,
// so a test that hangs can tell where the time went.
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr const wchar_t* kUpdaterClass = L"DvOrvanneUpdater";

std::string Utf8(const std::wstring& text)
{
    std::string out(text.size() * 3 + 1, '\0');
    out.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                                   static_cast<int>(out.size()), nullptr, nullptr));
    std::string escaped;
    for (char c : out)
        escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    return escaped;
}

void Trace(const std::string& line)
{
    const ULONGLONG now = GetTickCount64();
    fprintf(stderr, "%llu.%03llu: probe: %s", now / 1000, now % 1000, line.c_str());
    fflush(stderr);
}

void Print(const std::string& key, const std::wstring& value)
{
    const std::string line = key + ": " + Utf8(value) + "\n";
    fwrite(line.data(), 1, line.size(), stdout);
    fflush(stdout);
    Trace(line);
}

std::wstring TextOf(HWND window)
{
    wchar_t text[1024] = L"";
    GetWindowTextW(window, text, 1024);
    return text;
}

BOOL CALLBACK Collect(HWND window, LPARAM list)
{
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

// The top-level windows (parent null) or the children of parent, in Z order. Never
// FindWindowExW with a window to start after: Wine 10's server walks on from that window
// without checking it is still in the list, and in the instant the updater's closing has
// unlinked it (while it handles WM_NCDESTROY) that walk never ends, which freezes every
// program of the prefix. Enumerating starts from the list's head, which is always safe.
std::vector<HWND> ListWindows(HWND parent)
{
    std::vector<HWND> windows;
    if (parent)
        EnumChildWindows(parent, Collect, reinterpret_cast<LPARAM>(&windows));
    else
        EnumWindows(Collect, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

bool IsClass(HWND window, const wchar_t* name)
{
    wchar_t className[64] = L"";
    GetClassNameW(window, className, 64);
    return lstrcmpiW(className, name) == 0;
}

// The status label is the second static control, the percentage the third.
std::wstring State(HWND main)
{
    std::vector<HWND> statics;
    HWND bar = nullptr;
    for (HWND child : ListWindows(main)) {
        if (IsClass(child, L"Static"))
            statics.push_back(child);
        else if (IsClass(child, PROGRESS_CLASSW))
            bar = child;
    }
    const HWND status = statics.size() > 1 ? statics[1] : nullptr;
    const HWND percent = statics.size() > 2 ? statics[2] : nullptr;
    const bool marquee = (GetWindowLongW(bar, GWL_STYLE) & PBS_MARQUEE) != 0;
    return std::wstring(L"marquee=") + (marquee ? L"1" : L"0") + L" percent=" + TextOf(percent) +
           L" status=" + TextOf(status);
}

HWND FindBox(HWND owner)
{
    for (HWND box : ListWindows(nullptr)) {
        if (IsClass(box, L"#32770") && GetWindow(box, GW_OWNER) == owner && IsWindowVisible(box))
            return box;
    }
    return nullptr;
}

BOOL CALLBACK FirstStaticText(HWND control, LPARAM context)
{
    wchar_t className[32] = L"";
    GetClassNameW(control, className, 32);
    auto* text = reinterpret_cast<std::wstring*>(context);
    if (lstrcmpiW(className, L"Static") != 0 || (GetWindowLongW(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
        return TRUE;
    *text = TextOf(control);
    return FALSE;
}

void ReportBox(HWND box)
{
    std::wstring text;
    EnumChildWindows(box, FirstStaticText, reinterpret_cast<LPARAM>(&text));
    Print("box caption", TextOf(box));
    Print("box text", text);
}

// Whether the box stands above the updater's window, where the player sees it: before it
// in the Z order of the top-level windows.
bool InFront(HWND box, HWND main)
{
    for (HWND window : ListWindows(nullptr)) {
        if (window == box)
            return true;
        if (window == main)
            return false;
    }
    return false;
}

void Press(HWND box, int button)
{
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
}

// Wine starts its desktop process with the first window of a fresh prefix and waits for
// it only so long; on a busy machine a program started before it is ready can fail to
// create its window. A window of the probe's own coming up means the desktop is there.
bool WaitForDesktop()
{
    for (int i = 0; i < 600; ++i) {
        const HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
        if (window) {
            DestroyWindow(window);
            return true;
        }
        Sleep(100);
    }
    return false;
}

// The updater window of that process, if it has one: only a window of the process we
// started counts.
HWND WindowOf(HANDLE process)
{
    for (HWND main : ListWindows(nullptr)) {
        if (!IsClass(main, kUpdaterClass))
            continue;
        DWORD owner = 0;
        GetWindowThreadProcessId(main, &owner);
        if (owner == GetProcessId(process))
            return main;
    }
    return nullptr;
}

// Looks every 10 ms, so that the trace's time of "window: shown" is good to that much
// (tools/bench-window measures with it).
HWND WaitForWindow(HANDLE process)
{
    for (int i = 0; i < 3000; ++i) {
        if (const HWND main = WindowOf(process))
            return main;
        if (WaitForSingleObject(process, 10) == WAIT_OBJECT_0)
            return nullptr;
    }
    return nullptr;
}

// Prints every state change until done(main) is true, the window is gone, or timeoutMs.
template <typename Done>
void Watch(HWND main, DWORD timeoutMs, Done done)
{
    std::wstring last;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (IsWindow(main) && GetTickCount64() < deadline) {
        const std::wstring state = State(main);
        if (IsWindow(main) && state != last)
            Print("state", state);
        last = state;
        if (done(main, state))
            return;
        Sleep(20);
    }
}

bool WaitUntilGone(HWND main, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (IsWindow(main) && GetTickCount64() < deadline)
        Sleep(20);
    return !IsWindow(main);
}

// In this probe's working directory, not the executable's (a shortcut may start it
// anywhere): the launcher's working directory must come from the updater itself.
HANDLE Start(const std::wstring& exe)
{
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

// Where each comctl32 of the process comes from: "winsxs" for a copy in Windows'
// side-by-side store (version 6), else the name of its folder (version 5 in system32, or
// syswow64 for a 32-bit process), in the order loaded.
std::wstring CommonControlsOf(HANDLE process)
{
    // Wine's module snapshot of a 32-bit process holds only its executable; this list
    // holds its DLLs too.
    HMODULE modules[1024];
    DWORD bytes = 0;
    if (!EnumProcessModulesEx(process, modules, sizeof modules, &bytes, LIST_MODULES_ALL))
        return L"unknown";
    std::wstring folders;
    for (DWORD i = 0; i < bytes / sizeof(HMODULE) && i < 1024; ++i) {
        wchar_t name[MAX_PATH] = L"";
        GetModuleFileNameExW(process, modules[i], name, MAX_PATH);
        std::wstring path = name;
        CharLowerW(path.data());
        const size_t slash = path.rfind(L'\\');
        if (slash == std::wstring::npos || path.substr(slash + 1) != L"comctl32.dll")
            continue;
        path.resize(slash);
        const bool sideBySide = path.find(L"\\winsxs\\") != std::wstring::npos;
        folders += (folders.empty() ? L"" : L", ") + (sideBySide ? L"winsxs" : path.substr(path.rfind(L'\\') + 1));
    }
    return folders.empty() ? L"none" : folders;
}

BOOL CALLBACK PrintTopLevel(HWND window, LPARAM)
{
    wchar_t className[64] = L"";
    GetClassNameW(window, className, 64);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    // The process in hexadecimal, as WINEDEBUG=+pid shows it.
    wchar_t process[16];
    _snwprintf(process, 16, L"%04lx", owner);
    std::wstring line = std::wstring(L"pid ") + process + L" class " + className +
                        (IsWindowVisible(window) ? L" visible" : L" hidden") + L" caption " + TextOf(window);
    if (lstrcmpW(className, kUpdaterClass) == 0)
        line += L" state " + State(window);
    Print("top-level", line);
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"windows" && argc == 2)
        return EnumWindows(PrintTopLevel, 0) ? 0 : 1;
    if (argc != (mode == L"crash-install" ? 5 : 3)) {
        fputs("usage: window_probe run|failure|close-guard|twice EXE | crash-install MS TEMPDIR EXE | windows\n",
              stderr);
        return 2;
    }
    const std::wstring exe = argv[argc - 1];
    if (mode == L"crash-install") {
        SetEnvironmentVariableW(L"TMP", argv[3]);
        SetEnvironmentVariableW(L"TEMP", argv[3]);
    }

    HANDLE held = INVALID_HANDLE_VALUE;
    if (mode == L"close-guard") {
        held = CreateFileW(exe.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        Print("holding", held != INVALID_HANDLE_VALUE ? L"yes" : L"no");
    }

    Trace("waiting for the desktop\n");
    if (!WaitForDesktop())
        Print("desktop", L"none");
    Trace("starting the updater\n");
    PROCESS_INFORMATION process{};
    process.hProcess = Start(exe);
    if (!process.hProcess) {
        Print("started", L"no");
        return 1;
    }
    BOOL wow64 = FALSE;
    IsWow64Process(process.hProcess, &wow64);
    Print("program", wow64 ? L"32-bit" : L"64-bit");

    const HWND main = WaitForWindow(process.hProcess);
    Print("window", main ? L"shown" : L"none");
    // Once the first has its window, and so holds the session's update: a fixed wait
    // would be too short for the first start on a slow machine.
    HANDLE second = nullptr;
    if (mode == L"twice" && main)
        second = Start(exe);
    if (main && mode == L"run")
        Print("comctl32", CommonControlsOf(process.hProcess));
    if (second) {
        bool shown = false;
        for (int i = 0; i < 1500 && WaitForSingleObject(second, 20) == WAIT_TIMEOUT; ++i)
            shown = shown || WindowOf(second) != nullptr;
        DWORD secondExit = 0;
        const bool ended = WaitForSingleObject(second, 0) == WAIT_OBJECT_0 && GetExitCodeProcess(second, &secondExit);
        Print("second window", shown || WindowOf(second) != nullptr ? L"shown" : L"none");
        Print("second exit code", ended ? std::to_wstring(secondExit) : L"none");
        // The window manager brings the window forward after the second start has ended,
        // later the slower the machine (seconds under emulation): wait for it, within bounds.
        bool inFront = false;
        for (int i = 0; i < 1500 && main && !(inFront = GetForegroundWindow() == main); ++i)
            Sleep(20);
        Print("in front", inFront ? L"first window" : L"other");
        CloseHandle(second);
    }
    if (main && (mode == L"run" || mode == L"twice")) {
        Watch(main, 120000, [](HWND, const std::wstring&) { return false; });
    } else if (main && mode == L"failure") {
        HWND box = nullptr;
        Watch(main, 120000, [&](HWND window, const std::wstring&) { return (box = FindBox(window)) != nullptr; });
        if (box) {
            ReportBox(box);
            Print("box in front", InFront(box, main) ? L"yes" : L"no");
            Sleep(300);
            Print("window while the box is open", IsWindow(main) ? L"present" : L"gone");
            Press(box, IDOK);
        } else {
            Print("box", L"none");
        }
    } else if (main && mode == L"close-guard") {
        Watch(main, 120000, [](HWND, const std::wstring& state) {
            return state.find(L"status=Instalando...") != std::wstring::npos;
        });
        // A rename try or two fail against the hold meanwhile.
        Sleep(1500);
        PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
        HWND question = nullptr;
        for (int i = 0; i < 75 && !question; ++i) {
            Sleep(20);
            question = FindBox(main);
        }
        if (question) {
            ReportBox(question);
            Press(question, IDNO);
        } else {
            Print("question", L"none");
        }
        Print("window after the close request", IsWindow(main) ? L"present" : L"gone");
        Print("executable while held", GetFileAttributesW(exe.c_str()) != INVALID_FILE_ATTRIBUTES ? L"present"
                                                                                                  : L"missing");
        CloseHandle(held);
        held = INVALID_HANDLE_VALUE;
        Print("holding", L"released");
        Watch(main, 60000, [](HWND, const std::wstring&) { return false; });
    } else if (main && mode == L"crash-install") {
        Watch(main, 120000, [](HWND, const std::wstring& state) {
            return state.find(L"status=Instalando...") != std::wstring::npos;
        });
        Sleep(static_cast<DWORD>(_wtoi(argv[2])));
        Print("terminated", TerminateProcess(process.hProcess, 1) ? L"yes" : L"no");
    }
    Trace("waiting for the window to go\n");
    if (main)
        Print("window", WaitUntilGone(main, 30000) ? L"closed" : L"still open");
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);

    DWORD exitCode = 0;
    if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0 && GetExitCodeProcess(process.hProcess, &exitCode))
        Print("exit code", std::to_wstring(exitCode));
    else
        Print("exit code", L"none");
    CloseHandle(process.hProcess);

    // The updater sees the same temporary directory, as it inherits this environment.
    wchar_t temp[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, temp);
    const std::wstring download = std::wstring(temp) + L"DvOrvanneLauncher_full.exe";
    Print("download left", GetFileAttributesW(download.c_str()) != INVALID_FILE_ATTRIBUTES ? L"yes" : L"no");
    return 0;
}
