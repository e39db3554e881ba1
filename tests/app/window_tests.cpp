// The real progress window, built on the test thread and driven through its window
// procedure with the messages the worker sends. Message boxes are answered from a
// second thread while this one sits inside MessageBoxW.
#include "app/progress_window.h"
#include "config/config.h"
#include "tests/app/message_boxes.h"
#include "tests/support/test_support.h"
#include "update/status_messages.h"

#include <commctrl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

namespace {

// What the window told Windows about session ends, in order.
std::vector<std::wstring> g_blockReasons;

}  // namespace

BOOL WINAPI SeamShutdownBlockReasonCreate(HWND window, LPCWSTR reason)
{
    g_blockReasons.push_back(std::wstring(L"create ") + reason + (IsWindow(window) ? L"" : L" without a window"));
    return TRUE;
}

BOOL WINAPI SeamShutdownBlockReasonDestroy(HWND window)
{
    g_blockReasons.push_back(IsWindow(window) ? L"destroy" : L"destroy without a window");
    return TRUE;
}

namespace {

// Texts written with escapes, so a source read in the wrong character set cannot make
// the program and its tests agree on the same wrong characters.
const std::wstring kTitle = L"Dravok Orvanne - Actualizando el launcher";
const std::wstring kPreparing = L"Preparando la actualizaci\u00f3n del launcher...";
const std::wstring kHint = L"No cierres esta ventana: el launcher se abrir\u00e1 solo al terminar.";
const std::wstring kCloseQuestion =
    L"El launcher se est\u00e1 actualizando. Si cierras ahora tendr\u00e1s que volver a empezar.\n"
    L"\u00bfCerrar de todas formas?";
const std::wstring kFailureCaption = L"Dravok Orvanne - actualizaci\u00f3n";
const std::wstring kConnectionFailure =
    L"No se pudo conectar con " UPDATER_WIDEN(UPDATER_SERVER_HOST)
    L".\nRevisa tu conexi\u00f3n o antivirus y vuelve a abrir el launcher para reintentar.";

constexpr size_t kCopyBlock = 32 * 1024;

// A text copy as the worker hands it over, but in a large block, so that a copy the
// window procedure forgets to free shows in the heap figures.
LPARAM Copy(const wchar_t* text)
{
    if (!text)
        return 0;
    auto* copy = static_cast<wchar_t*>(malloc(kCopyBlock));
    wcscpy(copy, text);
    return reinterpret_cast<LPARAM>(copy);
}


WPARAM Percent(int percent)
{
    return static_cast<WPARAM>(static_cast<INT_PTR>(percent));
}

RECT ClientRectOf(HWND control)
{
    RECT rect;
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

class ProgressWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        window_ = CreateProgressWindow(GetModuleHandleW(nullptr));
        ASSERT_NE(window_, nullptr);
    }

    void TearDown() override
    {
        if (IsWindow(window_))
            DestroyWindow(window_);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
    }

    // Whether the window procedure has asked the message loop to end.
    static bool QuitPosted()
    {
        MSG message;
        return PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0;
    }

    HWND window_ = nullptr;
};

TEST_F(ProgressWindow, IsACentredTopmostWindowThatCannotBeResized)
{
    EXPECT_EQ(g_hwndMain, window_);
    EXPECT_EQ(ClassOf(window_), kWindowClassName);
    EXPECT_EQ(TextOf(window_), kTitle);
    EXPECT_FALSE(IsWindowVisible(window_)) << "shown only by the entry procedure";

    const LONG style = GetWindowLongW(window_, GWL_STYLE);
    const LONG frame = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME | WS_POPUP | WS_CHILD;
    EXPECT_EQ(style & frame, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
    EXPECT_TRUE(GetWindowLongW(window_, GWL_EXSTYLE) & WS_EX_TOPMOST);

    RECT rect;
    GetWindowRect(window_, &rect);
    EXPECT_EQ(rect.right - rect.left, 520);
    EXPECT_EQ(rect.bottom - rect.top, 190);
    EXPECT_EQ(rect.left, (GetSystemMetrics(SM_CXSCREEN) - 520) / 2);
    EXPECT_EQ(rect.top, (GetSystemMetrics(SM_CYSCREEN) - 190) / 2);

    EXPECT_EQ(GetClassLongPtrW(window_, GCL_STYLE), 0u);
    EXPECT_EQ(GetClassLongPtrW(window_, GCLP_HBRBACKGROUND), reinterpret_cast<ULONG_PTR>(GetStockObject(BLACK_BRUSH)));
    EXPECT_EQ(GetClassLongPtrW(window_, GCLP_HICON), reinterpret_cast<ULONG_PTR>(LoadIconW(nullptr, IDI_APPLICATION)));
    EXPECT_EQ(GetWindowLongPtrW(window_, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(UpdaterWndProc));
}

struct ControlRow {
    const wchar_t* className;
    std::wstring text;
    LONG style;
    RECT rect;
    int fontHeight;  // 0: no font of its own
    int fontWeight;
    const wchar_t* face;
    HWND* kept;
};

TEST_F(ProgressWindow, HasItsFiveControlsInOrder)
{
    const ControlRow expected[] = {
        {L"Static", L"DRAVOK ORVANNE", SS_CENTER, {20, 12, 484, 44}, 26, FW_BOLD, L"Georgia", nullptr},
        {L"Static", kPreparing, SS_LEFT, {20, 56, 484, 78}, 16, FW_NORMAL, L"Segoe UI", &g_hwndStatus},
        {PROGRESS_CLASSW, L"", PBS_SMOOTH, {20, 86, 430, 108}, 0, 0, nullptr, &g_hwndProgress},
        {L"Static", L"", SS_RIGHT, {436, 88, 484, 110}, 16, FW_NORMAL, L"Segoe UI", &g_hwndPercent},
        {L"Static", kHint, SS_LEFT, {20, 120, 484, 142}, 16, FW_NORMAL, L"Segoe UI", nullptr},
    };

    std::vector<HWND> controls;
    for (HWND child = GetWindow(window_, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        controls.push_back(child);
    ASSERT_EQ(controls.size(), std::size(expected));

    for (size_t i = 0; i < controls.size(); ++i) {
        SCOPED_TRACE("control " + std::to_string(i + 1));
        const ControlRow& row = expected[i];
        const HWND control = controls[i];
        EXPECT_EQ(lstrcmpiW(ClassOf(control).c_str(), row.className), 0);
        EXPECT_EQ(TextOf(control), row.text);
        EXPECT_EQ(GetWindowLongW(control, GWL_STYLE), WS_CHILD | WS_VISIBLE | row.style);
        EXPECT_EQ(GetWindowLongW(control, GWL_EXSTYLE) & ~WS_EX_NOPARENTNOTIFY, 0);
        EXPECT_EQ(GetDlgCtrlID(control), 0);
        const RECT rect = ClientRectOf(control);
        EXPECT_EQ(rect.left, row.rect.left);
        EXPECT_EQ(rect.top, row.rect.top);
        EXPECT_EQ(rect.right, row.rect.right);
        EXPECT_EQ(rect.bottom, row.rect.bottom);
        if (row.kept) {
            EXPECT_EQ(*row.kept, control);
        }
        if (row.fontHeight) {
            LOGFONTW font{};
            ASSERT_TRUE(GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof(font),
                                   &font));
            EXPECT_EQ(font.lfHeight, row.fontHeight);
            EXPECT_EQ(font.lfWeight, row.fontWeight);
            EXPECT_EQ(font.lfCharSet, DEFAULT_CHARSET);
            EXPECT_EQ(font.lfQuality, CLEARTYPE_QUALITY);
            EXPECT_STREQ(font.lfFaceName, row.face);
        }
    }

    EXPECT_EQ(SendMessageW(g_hwndProgress, PBM_GETRANGE, TRUE, 0), 0);
    EXPECT_EQ(SendMessageW(g_hwndProgress, PBM_GETRANGE, FALSE, 0), 100);
    EXPECT_EQ(SendMessageW(g_hwndProgress, PBM_GETPOS, 0, 0), 0);
}

TEST_F(ProgressWindow, LabelsAreGoldOnBlack)
{
    const HDC dc = CreateCompatibleDC(nullptr);
    SetBkMode(dc, OPAQUE);
    const LRESULT brush = SendMessageW(window_, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                       reinterpret_cast<LPARAM>(g_hwndStatus));
    EXPECT_EQ(brush, reinterpret_cast<LRESULT>(GetStockObject(BLACK_BRUSH)));
    EXPECT_EQ(GetTextColor(dc), RGB(232, 184, 75));
    EXPECT_EQ(GetBkMode(dc), TRANSPARENT);
    DeleteDC(dc);
}

struct StatusStep {
    const char* name;
    WPARAM wParam;
    const wchar_t* text;  // null: none sent
    std::wstring status;
    bool marquee;
    int position;  // checked only without marquee
    std::wstring percent;
};

// One run of statuses, in order: each step starts from the state the previous one left.
TEST_F(ProgressWindow, ShowsEveryStatusAndFreesItsText)
{
    const std::wstring connecting = L"Conectando con " UPDATER_WIDEN(UPDATER_SERVER_HOST) L"...";
    const std::wstring downloading = L"Descargando el launcher nuevo (intento 1/3)...  1 / 3 MB";
    const StatusStep steps[] = {
        {"ConnectingRunsTheMarquee", Percent(-1), connecting.c_str(), connecting, true, 0, L""},
        {"ProgressStopsTheMarquee", Percent(37), downloading.c_str(), downloading, false, 37, L"37%"},
        {"NoTextKeepsTheStatus", Percent(55), nullptr, downloading, false, 55, L"55%"},
        {"NoTextAndNoPercent", Percent(-1), nullptr, downloading, true, 0, L""},
        {"Zero", Percent(0), L"a", L"a", false, 0, L"0%"},
        {"AboveHundredShowsItsOwnNumber", Percent(120), nullptr, L"a", false, 100, L"120%"},
        {"MinusOneWithoutSignExtension", WPARAM{0xFFFFFFFFu}, L"b", L"b", true, 0, L""},
        {"LargestPercentFitsTheLabel", Percent(2147483647), nullptr, L"b", false, 100, L"2147483647%"},
        {"Checking", Percent(100), L"Comprobando la descarga...", L"Comprobando la descarga...", false, 100,
         L"100%"},
    };

    SendMessageW(window_, WM_UPDATER_STATUS, Percent(1), Copy(L"first use"));
    const size_t heapBefore = CrtHeapInUse();
    for (const StatusStep& step : steps) {
        SCOPED_TRACE(step.name);
        EXPECT_EQ(SendMessageW(window_, WM_UPDATER_STATUS, step.wParam, Copy(step.text)), 0);
        EXPECT_EQ(TextOf(g_hwndStatus), step.status);
        EXPECT_EQ((GetWindowLongW(g_hwndProgress, GWL_STYLE) & PBS_MARQUEE) != 0, step.marquee);
        if (!step.marquee) {
            EXPECT_EQ(SendMessageW(g_hwndProgress, PBM_GETPOS, 0, 0), step.position);
        }
        EXPECT_EQ(TextOf(g_hwndPercent), step.percent);
    }
    EXPECT_LT(CrtHeapInUse(), heapBefore + kCopyBlock / 2) << "status texts were not freed";
    EXPECT_TRUE(IsWindow(window_));
}

TEST_F(ProgressWindow, SuccessfulEndClosesWithoutABox)
{
    BoxAnswerer answerer(IDOK);
    EXPECT_EQ(SendMessageW(window_, WM_UPDATER_DONE, 1, 0), 0);
    EXPECT_EQ(answerer.Finish().owner, nullptr) << "a box was shown";
    EXPECT_FALSE(IsWindow(window_));
    EXPECT_TRUE(QuitPosted());
}

struct FailureCase {
    const char* name;
    const wchar_t* text;
    std::wstring shown;
};

class FailureEnd : public ProgressWindow, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailureEnd, ShowsTheWarningThenCloses)
{
    const FailureCase& c = GetParam();
    SendMessageW(window_, WM_UPDATER_STATUS, Percent(1), Copy(L"first use"));
    const size_t heapBefore = CrtHeapInUse();
    bool openDuringBox = false;
    BoxAnswerer answerer(IDOK, [&] { openDuringBox = IsWindow(window_) != FALSE; });

    EXPECT_EQ(SendMessageW(window_, WM_UPDATER_DONE, 0, Copy(c.text)), 0);
    const SeenBox box = answerer.Finish();

    EXPECT_EQ(box.owner, window_);
    EXPECT_EQ(box.text, c.shown);
    EXPECT_EQ(box.caption, kFailureCaption);
    EXPECT_EQ(box.icon, LoadIconW(nullptr, IDI_WARNING));
    for (int id = IDOK; id <= IDNO; ++id) {
        EXPECT_EQ(box.buttons[id], id == IDOK) << "button " << id;
    }
    EXPECT_TRUE(openDuringBox) << "the window closed before the box was dismissed";
    EXPECT_FALSE(IsWindow(window_));
    EXPECT_TRUE(QuitPosted());
    EXPECT_LT(CrtHeapInUse(), heapBefore + kCopyBlock / 2) << "the failure text was not freed";
}

const FailureCase kFailureCases[] = {
    {"WorkersText", kConnectionFailure.c_str(), kConnectionFailure},
    {"NoText", nullptr, L"Error"},
};

INSTANTIATE_TEST_SUITE_P(Window, FailureEnd, ::testing::ValuesIn(kFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct CloseCase {
    const char* name;
    UINT message;
    WPARAM wParam;
    bool installingBefore;     // the worker announced the replacement before the request
    bool installingWhileOpen;  // ... while the question was open
    int answer;
    bool asked;
    bool closes;
};

class CloseRequest : public ProgressWindow, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseRequest, AsksFirstAndNeverDuringTheReplacement)
{
    const CloseCase& c = GetParam();
    if (c.installingBefore) {
        EXPECT_EQ(SendMessageW(window_, WM_UPDATER_INSTALLING, 0, 0), TRUE);
    }

    LRESULT installingAnswer = 0;
    std::wstring percentBehindQuestion;
    BoxAnswerer answerer(c.answer, [&] {
        // The worker's messages still get through while the question is open.
        PostStatus(64, L"sigue");
        for (int i = 0; i < 200 && percentBehindQuestion != L"64%"; ++i) {
            Sleep(10);
            percentBehindQuestion = TextOf(g_hwndPercent);
        }
        if (c.installingWhileOpen)
            installingAnswer = SendMessageW(window_, WM_UPDATER_INSTALLING, 0, 0);
    });
    EXPECT_EQ(SendMessageW(window_, c.message, c.wParam, 0), 0);
    const SeenBox box = answerer.Finish();

    if (c.asked) {
        EXPECT_EQ(box.owner, window_);
        EXPECT_EQ(box.text, kCloseQuestion);
        EXPECT_EQ(box.caption, L"Dravok Orvanne");
        EXPECT_EQ(box.defaultButton, IDNO);
        EXPECT_EQ(box.icon, LoadIconW(nullptr, IDI_QUESTION));
        for (int id = IDOK; id <= IDNO; ++id) {
            EXPECT_EQ(box.buttons[id], id == IDYES || id == IDNO) << "button " << id;
        }
        EXPECT_EQ(percentBehindQuestion, L"64%");
    } else {
        EXPECT_EQ(box.owner, nullptr) << "asked although the replacement had begun";
    }
    if (c.installingWhileOpen) {
        EXPECT_EQ(installingAnswer, TRUE);
    }
    EXPECT_EQ(IsWindow(window_), !c.closes);
    EXPECT_EQ(QuitPosted(), c.closes);

    if (!c.closes && (c.installingBefore || c.installingWhileOpen)) {
        BoxAnswerer again(IDYES);
        SendMessageW(window_, WM_CLOSE, 0, 0);
        EXPECT_EQ(again.Finish().owner, nullptr) << "asked again during the replacement";
        EXPECT_TRUE(IsWindow(window_));
        SendMessageW(window_, WM_UPDATER_DONE, 1, 0);
        EXPECT_FALSE(IsWindow(window_)) << "the end of the update must still close the window";
    }
}

const CloseCase kCloseCases[] = {
    {"CloseAnsweredNoKeepsTheWindow", WM_CLOSE, 0, false, false, IDNO, true, false},
    {"EnterAnswersNo", WM_CLOSE, 0, false, false, kPressEnter, true, false},
    {"CloseAnsweredYesDestroysIt", WM_CLOSE, 0, false, false, IDYES, true, true},
    {"SystemMenuCloseAsksToo", WM_SYSCOMMAND, SC_CLOSE, false, false, IDYES, true, true},
    {"CloseDuringTheReplacementIsDeclined", WM_CLOSE, 0, true, false, IDYES, false, false},
    {"ReplacementBegunWhileAskingWins", WM_CLOSE, 0, false, true, IDYES, true, false},
};

INSTANTIATE_TEST_SUITE_P(Window, CloseRequest, ::testing::ValuesIn(kCloseCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A logoff or shutdown may not end the program while no launcher stands at the
// executable's path; at any other time it goes ahead as for any window.
struct SessionEndCase {
    const char* name;
    bool installing;
    LRESULT answer;
    std::vector<std::wstring> reasonsWhileAsked;
    std::vector<std::wstring> reasonsAtTheEnd;
};

const SessionEndCase kSessionEndCases[] = {
    {"AllowedBeforeTheReplacement", false, TRUE, {}, {}},
    {"RefusedDuringTheReplacementWithItsReason", true, FALSE, {L"create Instalando..."},
     {L"create Instalando...", L"destroy"}},
};

void PrintTo(const SessionEndCase& c, std::ostream* out) { *out << c.name; }

class SessionEnd : public ProgressWindow, public ::testing::WithParamInterface<SessionEndCase> {};

TEST_P(SessionEnd, IsRefusedOnlyDuringTheReplacement)
{
    const SessionEndCase& c = GetParam();
    g_blockReasons.clear();
    if (c.installing) {
        EXPECT_EQ(SendMessageW(window_, WM_UPDATER_INSTALLING, 0, 0), TRUE);
    }

    EXPECT_EQ(SendMessageW(window_, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), c.answer);
    EXPECT_EQ(g_blockReasons, c.reasonsWhileAsked);

    SendMessageW(window_, WM_UPDATER_DONE, 1, 0);
    EXPECT_FALSE(IsWindow(window_));
    EXPECT_EQ(g_blockReasons, c.reasonsAtTheEnd);
}

INSTANTIATE_TEST_SUITE_P(Window, SessionEnd, ::testing::ValuesIn(kSessionEndCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
