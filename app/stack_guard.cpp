// The value the compiler's stack checks (-fstack-protector-strong) compare against, and
// what a failed check does. The toolchain's own library would set the guard from a crypto
// provider it loads in a constructor, before the entry restricts where DLLs come from; so
// the program has its own, seeded from the clock and the ids of this process and thread,
// as Microsoft's C runtime does, with the stack's random address, all from kernel32,
// loading nothing.
#include <windows.h>

#include <cstdint>

extern "C" {

// Never zero, so that a guard left unseeded is still not what a string overrun writes.
uintptr_t __stack_chk_guard = 0x2F5E1C0D;

// A protected function whose stack was overrun: the process ends at once, with the code
// Windows uses for that, running nothing of the program's and loading nothing.
[[noreturn]] void __stack_chk_fail()
{
    TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
    __builtin_unreachable();
}

}  // extern "C"

namespace {

// The first constructor to run, before any protected function is entered; it is not
// protected itself, since the guard changes under it.
__attribute__((constructor(101), no_stack_protector)) void SeedStackGuard()
{
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uintptr_t seed = time.dwLowDateTime ^ time.dwHighDateTime ^ GetCurrentProcessId() ^
                     (static_cast<uintptr_t>(GetCurrentThreadId()) << 16) ^ GetTickCount64() ^
                     static_cast<uintptr_t>(counter.QuadPart) ^ (counter.QuadPart >> 32 << 8) ^
                     reinterpret_cast<uintptr_t>(&time);
    if (seed != 0)
        __stack_chk_guard = seed;
}

}  // namespace
