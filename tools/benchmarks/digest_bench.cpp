// Hashes one file with Sha256FileHex and prints, on one line, its size, the time taken,
// and the process's peak working set before and after, so that runs over files of very
// different sizes show whether hashing memory stays flat.
#include "update/digest_check.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>

namespace {

unsigned long long PeakWorkingSetBytes()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        return 0;
    return counters.PeakWorkingSetSize;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: digest_bench FILE\n");
        return 2;
    }
    LARGE_INTEGER size{};
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size)) {
        fprintf(stderr, "digest_bench: cannot open %ls\n", argv[1]);
        return 1;
    }
    CloseHandle(file);

    const unsigned long long peakBefore = PeakWorkingSetBytes();
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const std::string digest = Sha256FileHex(argv[1]);
    QueryPerformanceCounter(&end);
    const unsigned long long peakAfter = PeakWorkingSetBytes();

    const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
    printf("bytes=%lld seconds=%.3f peak_before=%llu peak_after=%llu digest=%s\n",
           static_cast<long long>(size.QuadPart), seconds, peakBefore, peakAfter,
           digest.empty() ? "-" : digest.c_str());
    return digest.empty() ? 1 : 0;
}
