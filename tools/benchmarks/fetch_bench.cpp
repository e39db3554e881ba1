// fetch_bench PATH [ROUNDS]: downloads PATH from the download server in turns with
// HttpsFetch (into a file, with progress statuses to a window) and with a bare WinHTTP
// read loop (into a file, and reading only), one of each per round, and prints the best
// time of each, the median of the per-round ratios with their spread, and the statuses
// per second. Prints figures only; asserts nothing.
#include "config/config.h"
#include "net/https_fetch.h"
#include "update/status_messages.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / frequency.QuadPart;
}

HANDLE CreateTarget(const std::wstring& path)
{
    return CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The same exchange as the fetch with nothing around the read loop: the floor.
bool BareFetch(const wchar_t* path, HANDLE file, unsigned long long* bytes)
{
    HINTERNET session = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    HINTERNET connection = session ? WinHttpConnect(session, kServerHost, INTERNET_DEFAULT_HTTPS_PORT, 0) : nullptr;
    HINTERNET request = connection ? WinHttpOpenRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                                        WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE)
                                   : nullptr;
    bool ok = request && WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
              WinHttpReceiveResponse(request, nullptr);
    std::vector<unsigned char> chunk(65536);
    DWORD n = 0;
    *bytes = 0;
    while (ok && (ok = WinHttpReadData(request, chunk.data(), 65536, &n)) && n) {
        DWORD written = 0;
        if (file)
            ok = WriteFile(file, chunk.data(), n, &written, nullptr);
        *bytes += n;
    }
    if (request)
        WinHttpCloseHandle(request);
    if (connection)
        WinHttpCloseHandle(connection);
    if (session)
        WinHttpCloseHandle(session);
    return ok;
}

// Counts the statuses the fetch posted and the time from the first to the last (the
// message time is when it was posted).
int TakeStatuses(DWORD* spanMs)
{
    int count = 0;
    DWORD first = 0, last = 0;
    MSG msg;
    while (PeekMessageW(&msg, g_hwndMain, WM_UPDATER_STATUS, WM_UPDATER_STATUS, PM_REMOVE)) {
        free(reinterpret_cast<void*>(msg.lParam));
        if (count++ == 0)
            first = msg.time;
        last = msg.time;
    }
    *spanMs = last - first;
    return count;
}

void PrintRatios(const wchar_t* what, std::vector<double> ratios)
{
    std::sort(ratios.begin(), ratios.end());
    const size_t n = ratios.size();
    const double median = n % 2 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
    wprintf(L"  ratio %ls: median %.3f of %u rounds, spread %.3f to %.3f\n", what, median,
            static_cast<unsigned>(n), ratios.front(), ratios.back());
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        fwprintf(stderr, L"usage: fetch_bench PATH [ROUNDS]\n");
        return 2;
    }
    const wchar_t* path = argv[1];
    const int rounds = argc > 2 ? _wtoi(argv[2]) : 3;
    if (rounds < 1) {
        fwprintf(stderr, L"fetch_bench: ROUNDS must be at least 1\n");
        return 2;
    }
    g_hwndMain = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);

    wchar_t tempDir[MAX_PATH];
    GetTempPathW(MAX_PATH, tempDir);
    const std::wstring target = std::wstring(tempDir) + L"fetch_bench.bin";

    double fetchBest = 1e9, bareWriteBest = 1e9, bareReadBest = 1e9;
    // The machine is noisy; the contenders take turns, and a ratio is only ever taken
    // between runs of the same round.
    std::vector<double> writeRatios, readRatios;
    double statusesPerSecondWorst = 0, spacedRateWorst = 0;
    int statusesOfBest = 0;
    unsigned long long size = 0;
    for (int round = 0; round < rounds; ++round) {
        LARGE_INTEGER start, end;

        HANDLE file = CreateTarget(target);
        QueryPerformanceCounter(&start);
        const bool ok = HttpsFetch(path, file, nullptr, L"Descargando el launcher nuevo (intento 1/3)...");
        QueryPerformanceCounter(&end);
        CloseHandle(file);
        DWORD spanMs = 0;
        const int statuses = TakeStatuses(&spanMs);
        const double fetchTime = Seconds(start, end);
        if (!ok) {
            fwprintf(stderr, L"HttpsFetch failed\n");
            return 1;
        }
        statusesPerSecondWorst = std::max(statusesPerSecondWorst, statuses / fetchTime);
        if (statuses > 1 && spanMs > 0)
            spacedRateWorst = std::max(spacedRateWorst, (statuses - 1) * 1000.0 / spanMs);
        if (fetchTime < fetchBest) {
            fetchBest = fetchTime;
            statusesOfBest = statuses;
        }

        file = CreateTarget(target);
        QueryPerformanceCounter(&start);
        const bool bareOk = BareFetch(path, file, &size);
        QueryPerformanceCounter(&end);
        CloseHandle(file);
        const double bareWriteTime = Seconds(start, end);
        bareWriteBest = std::min(bareWriteBest, bareWriteTime);

        QueryPerformanceCounter(&start);
        const bool readOk = BareFetch(path, nullptr, &size);
        QueryPerformanceCounter(&end);
        const double bareReadTime = Seconds(start, end);
        bareReadBest = std::min(bareReadBest, bareReadTime);
        if (!bareOk || !readOk) {
            fwprintf(stderr, L"bare WinHTTP loop failed\n");
            return 1;
        }
        writeRatios.push_back(fetchTime / bareWriteTime);
        readRatios.push_back(fetchTime / bareReadTime);
    }
    DeleteFileW(target.c_str());

    const double mib = size / 1048576.0;
    wprintf(L"body: %.0f MiB, best of %d rounds each\n", mib, rounds);
    wprintf(L"  HttpsFetch into a file:       %7.3f s  %7.1f MiB/s  %d statuses\n", fetchBest, mib / fetchBest,
            statusesOfBest);
    wprintf(L"  bare WinHTTP loop, write:     %7.3f s  %7.1f MiB/s\n", bareWriteBest, mib / bareWriteBest);
    wprintf(L"  bare WinHTTP loop, read only: %7.3f s  %7.1f MiB/s\n", bareReadBest, mib / bareReadBest);
    PrintRatios(L"HttpsFetch / bare loop with write", writeRatios);
    PrintRatios(L"HttpsFetch / bare loop read only ", readRatios);
    wprintf(L"  progress statuses per second: %.2f (best round), %.2f (highest of all rounds)\n",
            statusesOfBest / fetchBest, statusesPerSecondWorst);
    // The first status comes with the first chunk, so a short download shows one more
    // than its length allows at the 150 ms spacing; between statuses the rate is:
    wprintf(L"  statuses per second between the first and the last: %.2f (highest of all rounds)\n",
            spacedRateWorst);
    return 0;
}
