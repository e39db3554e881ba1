#include "tests/app/message_boxes.h"

#include "config/config.h"
#include "tests/support/test_support.h"

#include <chrono>

namespace {

HWND FindBox()
{
    for (HWND box = FindWindowExW(nullptr, nullptr, L"#32770", nullptr); box;
         box = FindWindowExW(nullptr, box, L"#32770", nullptr)) {
        // Other programs on the same display may show boxes of their own.
        DWORD process = 0;
        GetWindowThreadProcessId(box, &process);
        const HWND owner = GetWindow(box, GW_OWNER);
        if (process == GetCurrentProcessId() && owner && ClassOf(owner) == kWindowClassName &&
            IsWindowVisible(box))
            return box;
    }
    return nullptr;
}

BOOL CALLBACK ReadControl(HWND control, LPARAM context)
{
    auto* seen = reinterpret_cast<SeenBox*>(context);
    const std::wstring className = ClassOf(control);
    if (lstrcmpiW(className.c_str(), L"Static") == 0) {
        if ((GetWindowLongW(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
            seen->icon = reinterpret_cast<HICON>(SendMessageW(control, STM_GETICON, 0, 0));
        else if (seen->text.empty())
            seen->text = TextOf(control);
    } else if (lstrcmpiW(className.c_str(), L"Button") == 0 && IsWindowVisible(control)) {
        const int id = GetDlgCtrlID(control);
        if (id >= IDOK && id <= IDNO)
            seen->buttons[id] = true;
        if ((GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON)
            seen->defaultButton = id;
    }
    return TRUE;
}

SeenBox ReadBox(HWND box)
{
    SeenBox seen;
    seen.owner = GetWindow(box, GW_OWNER);
    seen.caption = TextOf(box);
    EnumChildWindows(box, ReadControl, reinterpret_cast<LPARAM>(&seen));
    return seen;
}

void Press(HWND box, int button)
{
    if (button != kPressEnter) {
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
        return;
    }
    GUITHREADINFO thread{};
    thread.cbSize = sizeof(thread);
    GetGUIThreadInfo(GetWindowThreadProcessId(box, nullptr), &thread);
    PostMessageW(thread.hwndFocus, WM_KEYDOWN, VK_RETURN, 0x001C0001);
    PostMessageW(thread.hwndFocus, WM_KEYUP, VK_RETURN, 0xC01C0001);
}

}  // namespace

SeenBox AnswerBox(int button, DWORD timeoutMs, const std::function<void()>& whileOpen,
                  const std::atomic<bool>* stop)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!(stop && *stop) && std::chrono::steady_clock::now() < deadline) {
        const HWND box = FindBox();
        if (!box) {
            Sleep(10);
            continue;
        }
        const SeenBox seen = ReadBox(box);
        if (whileOpen)
            whileOpen();
        Press(box, button);
        return seen;
    }
    return {};
}

BoxAnswerer::BoxAnswerer(int button, std::function<void()> whileOpen, DWORD timeoutMs)
    : thread_([this, button, whileOpen, timeoutMs] { seen_ = AnswerBox(button, timeoutMs, whileOpen, &stop_); })
{
}

BoxAnswerer::~BoxAnswerer()
{
    Finish();
}

SeenBox BoxAnswerer::Finish()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    return seen_;
}
