// Answers the program's message boxes from a second thread, the way a player would,
// while the window's thread sits inside MessageBoxW.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

// What a message box showed, as read from another thread.
struct SeenBox {
    HWND owner = nullptr;  // null: no box appeared
    std::wstring text;
    std::wstring caption;
    int defaultButton = 0;  // the push button drawn as default; 0: none
    bool buttons[IDNO + 1] = {};  // indexed by IDOK .. IDNO
    HICON icon = nullptr;
};

// As a button to press: Enter on the button that has the focus, which is what a
// player's Enter key does. (Wine's message box answers DM_GETDEFID with IDOK whatever
// the default is, so the key itself is the honest test of the default.)
constexpr int kPressEnter = 0;

// Answers, on a thread of its own, the first box that appears while it lives; for calls
// that block in MessageBoxW on the window's thread.
class BoxAnswerer {
public:
    explicit BoxAnswerer(int button, std::function<void()> whileOpen = {}, DWORD timeoutMs = 10000);
    ~BoxAnswerer();
    BoxAnswerer(const BoxAnswerer&) = delete;
    BoxAnswerer& operator=(const BoxAnswerer&) = delete;

    // Stops watching (a box that was already answered stays recorded) and returns what
    // was seen.
    SeenBox Finish();

private:
    std::atomic<bool> stop_{false};
    SeenBox seen_;
    std::thread thread_;
};

// On the calling thread: waits up to timeoutMs for a box of this process owned by a
// progress window, reads it, runs whileOpen (if any) and presses button. Gives up early
// once *stop is set. Returns what was seen (owner null when no box appeared).
SeenBox AnswerBox(int button, DWORD timeoutMs, const std::function<void()>& whileOpen = {},
                  const std::atomic<bool>* stop = nullptr);
