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
    // The counter's fast-moving low bits are spread over the whole value; in a 32-bit
    // program the upper half is folded into the lower.
    const uint64_t ticks = counter.QuadPart;
    const uint64_t mixed = (static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime) ^ ticks ^
                           ticks << 24 ^ GetTickCount64() ^ GetCurrentProcessId() ^
                           static_cast<uint64_t>(GetCurrentThreadId()) << 16 ^ reinterpret_cast<uintptr_t>(&time);
    const uintptr_t seed = static_cast<uintptr_t>(mixed) ^ static_cast<uintptr_t>(mixed >> 32);
    if (seed != 0)
        __stack_chk_guard = seed;
}

}  // namespace
