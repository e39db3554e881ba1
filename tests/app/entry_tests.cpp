// The whole entry procedure, with a scripted worker in place of the real one: it runs
// on the thread wWinMain starts and talks to the window only through the real messages.
#include "app/progress_window.h"
#include "config/config.h"
#include "tests/app/message_boxes.h"
#include "update/status_messages.h"
#include "update/update_worker.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace {

std::function<void()> g_workerScript;
std::atomic<bool> g_workerRan{false};
std::atomic<bool> g_workerEnded{false};
std::atomic<bool> g_workerHadNoParameter{false};
std::atomic<DWORD> g_workerThread{0};

// The single-update mutex of the run before, which its process would have let go of.
HANDLE g_previousRunsMutex = nullptr;

}  // namespace

HANDLE WINAPI SeamCreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name)
{
    if (g_previousRunsMutex)
        CloseHandle(g_previousRunsMutex);
    g_previousRunsMutex = CreateMutexW(attributes, initialOwner, name);
    return g_previousRunsMutex;
}

DWORD WINAPI UpdateThreadProc(LPVOID parameter)
{
    g_workerHadNoParameter = parameter == nullptr;
    g_workerThread = GetCurrentThreadId();
    g_workerRan = true;
    g_workerScript();
    g_workerEnded = true;
    return 0;
}

namespace {

const std::wstring kDownloadFailure =
    L"No se pudo descargar el launcher nuevo.\nRevisa tu conexi\u00f3n o antivirus y vuelve a abrir el "
    L"launcher para reintentar.\nSi sigue fallando, desc\u00e1rgalo en " UPDATER_WIDEN(UPDATER_SERVER_HOST);

// Signals between the scripted worker and the test's player thread.
class Signal {
public:
    Signal() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Signal() { CloseHandle(event_); }
    void Set() { SetEvent(event_); }
    bool Wait(DWORD timeoutMs = 10000) { return WaitForSingleObject(event_, timeoutMs) == WAIT_OBJECT_0; }

private:
    HANDLE event_;
};

class Entry : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_workerRan = false;
        g_workerEnded = false;
        g_workerHadNoParameter = false;
        g_workerThread = 0;
    }

    void TearDown() override
    {
        // A worker still waiting would outlive the test otherwise.
        release_.Set();
        for (int i = 0; i < 500 && g_workerRan && !g_workerEnded; ++i)
            Sleep(10);
    }

    // Runs the entry procedure on this thread, with a command line and show state it
    // must ignore.
    static int RunProgram()
    {
        wchar_t commandLine[] = L"--no-window";
        return wWinMain(GetModuleHandleW(nullptr), nullptr, commandLine, SW_HIDE);
    }

    Signal started_;
    Signal release_;
};

TEST_F(Entry, RunsTheWorkerBehindTheShownWindowAndClosesAtItsEnd)
{
    bool shownAndTopmost = false;
    HWND window = nullptr;
    g_workerScript = [&] {
        window = g_hwndMain;
        shownAndTopmost = IsWindowVisible(window) && (GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST);
        PostStatus(-1, L"Conectando...");
        PostStatus(42, L"Descargando...");
        PostMessageW(g_hwndMain, WM_UPDATER_DONE, 1, 0);
    };
    BoxAnswerer answerer(IDOK);

    EXPECT_EQ(RunProgram(), 0);

    EXPECT_EQ(answerer.Finish().owner, nullptr) << "a box was shown at a successful end";
    EXPECT_TRUE(g_workerRan);
    EXPECT_TRUE(g_workerHadNoParameter);
    EXPECT_NE(g_workerThread, GetCurrentThreadId());
    EXPECT_TRUE(shownAndTopmost) << "the window must be showing before the worker starts";
    EXPECT_NE(window, nullptr);
    EXPECT_FALSE(IsWindow(window));
}

TEST_F(Entry, FailureIsShownBeforeTheProgramEnds)
{
    g_workerScript = [] { PostFailure(kDownloadFailure.c_str()); };
    bool openDuringBox = false;
    BoxAnswerer answerer(IDOK, [&] { openDuringBox = IsWindow(g_hwndMain) != FALSE; });

    EXPECT_EQ(RunProgram(), 0);

    const SeenBox box = answerer.Finish();
    EXPECT_EQ(box.text, kDownloadFailure);
    EXPECT_EQ(box.caption, L"Dravok Orvanne - actualizaci\u00f3n");
    EXPECT_TRUE(openDuringBox);
    EXPECT_FALSE(IsWindow(box.owner));
}

// The player answers the question with Enter (No), then Yes; the program ends while the worker is still busy.
TEST_F(Entry, ConfirmedCloseEndsTheProgramMidUpdate)
{
    g_workerScript = [this] {
        started_.Set();
        release_.Wait(30000);
    };
    bool keptAfterNo = false;
    SeenBox firstQuestion;
    SeenBox secondQuestion;
    std::thread player([&] {
        if (!started_.Wait())
            return;
        const HWND window = g_hwndMain;
        PostMessageW(window, WM_CLOSE, 0, 0);
        firstQuestion = AnswerBox(kPressEnter, 5000);
        Sleep(200);
        keptAfterNo = IsWindow(window) && !g_workerEnded;
        PostMessageW(window, WM_CLOSE, 0, 0);
        secondQuestion = AnswerBox(IDYES, 5000);
        if (!secondQuestion.owner)
            PostMessageW(window, WM_UPDATER_DONE, 1, 0);  // end the program all the same
    });

    EXPECT_EQ(RunProgram(), 0);
    player.join();

    EXPECT_NE(firstQuestion.owner, nullptr);
    EXPECT_EQ(firstQuestion.defaultButton, IDNO);
    EXPECT_TRUE(keptAfterNo) << "No must leave the window and the worker running";
    EXPECT_EQ(secondQuestion.owner, firstQuestion.owner);
    EXPECT_FALSE(g_workerEnded) << "the program ended only after the worker";
}

// The real worker announces the replacement by a message sent from its own thread.
TEST_F(Entry, CloseIsDeclinedOnceTheWorkerIsInstalling)
{
    std::atomic<LRESULT> installingAnswer{0};
    Signal installing;
    g_workerScript = [&] {
        installingAnswer = SendMessageW(g_hwndMain, WM_UPDATER_INSTALLING, 0, 0);
        installing.Set();
        release_.Wait(30000);
        PostMessageW(g_hwndMain, WM_UPDATER_DONE, 1, 0);
    };
    SeenBox question;
    bool keptAfterClose = false;
    std::thread player([&] {
        if (!installing.Wait())
            return;
        const HWND window = g_hwndMain;
        PostMessageW(window, WM_CLOSE, 0, 0);
        question = AnswerBox(IDYES, 1000);
        keptAfterClose = IsWindow(window) != FALSE;
        release_.Set();
    });

    EXPECT_EQ(RunProgram(), 0);
    player.join();

    EXPECT_EQ(installingAnswer, TRUE);
    EXPECT_EQ(question.owner, nullptr) << "asked although the replacement had begun";
    EXPECT_TRUE(keptAfterClose);
}

// A class of the same name whose windows refuse to be created stands in for a desktop
// that cannot give the program its window.
LRESULT CALLBACK RefusingWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE)
        return FALSE;
    return DefWindowProcW(window, message, wParam, lParam);
}

TEST_F(Entry, WithoutItsWindowTheProgramEndsAtOnceAndStartsNoWorker)
{
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    UnregisterClassW(kWindowClassName, instance);
    WNDCLASSW refusing{};
    refusing.lpfnWndProc = RefusingWndProc;
    refusing.hInstance = instance;
    refusing.lpszClassName = kWindowClassName;
    ASSERT_NE(RegisterClassW(&refusing), 0);
    g_workerScript = [] {};

    // Run on a thread of its own, so a program that waits forever fails the test
    // instead of hanging it.
    std::atomic<bool> returned{false};
    std::atomic<int> result{-1};
    std::atomic<DWORD> programThread{0};
    std::thread program([&] {
        programThread = GetCurrentThreadId();
        result = RunProgram();
        returned = true;
    });
    for (int i = 0; i < 500 && !returned; ++i)
        Sleep(10);
    const bool endedByItself = returned;
    if (!endedByItself)
        PostThreadMessageW(programThread, WM_QUIT, 0, 0);
    program.join();
    UnregisterClassW(kWindowClassName, instance);

    EXPECT_TRUE(endedByItself) << "the program kept waiting without a window";
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(g_workerRan) << "no update may run without the window that guards it";
}

}  // namespace
