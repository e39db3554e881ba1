// Servers the fetch must give up on. Each group runs under its own server: FetchTls
// with a certificate that must not be trusted, FetchTimeout with one that never answers.
#include "tests/net/fetch_support.h"

#include "net/https_fetch.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

namespace {

const wchar_t* const kLabel = L"Descargando el launcher nuevo (intento 1/3)...";

std::wstring TempFilePath(const wchar_t* name)
{
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    return std::wstring(dir) + name + std::to_wstring(GetCurrentProcessId()) + L".bin";
}

// Fetches into a fresh file and gives back what the file holds afterwards.
std::string FetchIntoFile(const wchar_t* path, bool* ok, ByteBuffer* buffer, const wchar_t* label)
{
    static volatile LONG serial = 0;
    const std::wstring filePath = TempFilePath(L"refusal_") + std::to_wstring(InterlockedIncrement(&serial));
    HANDLE file = CreateFileW(filePath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    *ok = HttpsFetch(path, file, buffer, label);
    CloseHandle(file);
    const std::string written = ReadWhole(filePath).value_or("");
    DeleteFileW(filePath.c_str());
    return written;
}

// Run with the server presenting a certificate for another name, or one no trusted CA
// signed: the request must never be sent.
TEST(FetchTls, RefusesTheServerBeforeSendingTheRequest)
{
    g_postedStatuses.clear();
    ByteBuffer buffer;
    bool ok = true;
    const std::string written = FetchIntoFile(L"/scenario?size=70000", &ok, &buffer, kLabel);

    EXPECT_FALSE(ok);
    EXPECT_EQ(written, "");
    EXPECT_TRUE(buffer.empty());
    EXPECT_TRUE(g_postedStatuses.empty());
    EXPECT_TRUE(ReadServerLog().empty()) << "the server got a request over an untrusted connection";
}

struct Silence {
    explicit Silence(const wchar_t* p) : path(p) {}
    const wchar_t* path;
    bool ok = true;
    std::string written;
    ULONGLONG elapsed = 0;
};

// Three kinds of silence, waited for side by side so the suite pays for one minute:
// the server accepts the connection and never starts TLS (the server stalls its first
// connection), reads the request and never answers, or sends the headers and never the
// body.
TEST(FetchTimeout, GivesUpOnASilentServerAfterTheReceiveTimeout)
{
    Silence cases[] = {Silence(L"/scenario?size=1000&first=handshake"),
                       Silence(L"/scenario?stall_before=150&size=1000"),
                       Silence(L"/scenario?stall_after_headers=150&size=1000")};
    std::vector<std::thread> threads;
    for (Silence& c : cases) {
        threads.emplace_back([&c] {
            const ULONGLONG start = GetTickCount64();
            c.written = FetchIntoFile(c.path, &c.ok, nullptr, nullptr);
            c.elapsed = GetTickCount64() - start;
        });
        // The first connection must be the one the server stalls.
        Sleep(1000);
    }
    for (std::thread& thread : threads)
        thread.join();

    for (const Silence& c : cases) {
        SCOPED_TRACE(Utf8(c.path));
        EXPECT_FALSE(c.ok);
        EXPECT_EQ(c.written, "");
        EXPECT_GE(c.elapsed, 59000u);
        EXPECT_LT(c.elapsed, 90000u);
    }
}

}  // namespace
