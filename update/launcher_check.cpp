#include "update/launcher_check.h"

#include "shared/scoped_handle.h"

#include <cstddef>

namespace {

// Exactly size bytes from offset; false when the file ends first.
bool ReadAt(HANDLE file, DWORD offset, void* buffer, DWORD size)
{
    OVERLAPPED at{};
    at.Offset = offset;
    DWORD read = 0;
    return ReadFile(file, buffer, size, &read, &at) && read == size;
}

// The processor of the system itself, also from a 32-bit process on 64-bit Windows.
// IsWow64Process2 (Windows 10 1709 and later, looked up so that older systems still start
// the program) is the only one that tells ARM64 from x86 to an emulated x86 process;
// GetNativeSystemInfo, on every older system, cannot be asked from one there.
USHORT NativeMachine(HMODULE kernel32)
{
    using IsWow64Process2Proc = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
    const auto isWow64Process2 =
        reinterpret_cast<IsWow64Process2Proc>(reinterpret_cast<void*>(GetProcAddress(kernel32, "IsWow64Process2")));
    USHORT process = 0;
    USHORT native = 0;
    if (isWow64Process2 && isWow64Process2(GetCurrentProcess(), &process, &native))
        return native;

    SYSTEM_INFO system;
    GetNativeSystemInfo(&system);
    if (system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64)
        return IMAGE_FILE_MACHINE_AMD64;
    if (system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64)
        return IMAGE_FILE_MACHINE_ARM64;
    return IMAGE_FILE_MACHINE_I386;
}

// ARM64 Windows runs x64 programs from Windows 11 on, which alone has
// GetMachineTypeAttributes (build 22000) to say so.
bool EmulatesX64(HMODULE kernel32)
{
    using GetMachineTypeAttributesProc = HRESULT(WINAPI*)(USHORT, MACHINE_ATTRIBUTES*);
    const auto getMachineTypeAttributes = reinterpret_cast<GetMachineTypeAttributesProc>(
        reinterpret_cast<void*>(GetProcAddress(kernel32, "GetMachineTypeAttributes")));
    MACHINE_ATTRIBUTES attributes{};
    return getMachineTypeAttributes && getMachineTypeAttributes(IMAGE_FILE_MACHINE_AMD64, &attributes) == S_OK &&
           (attributes & UserEnabled);
}

// x86 programs run on every Windows, x64 ones on x64 and where ARM64 Windows emulates
// them, ARM64 ones on ARM64 alone.
bool RunsHere(WORD machine)
{
    if (machine == IMAGE_FILE_MACHINE_I386)
        return true;
    const HMODULE kernel32 = GetModuleHandleA("kernel32");
    const USHORT native = NativeMachine(kernel32);
    if (machine == IMAGE_FILE_MACHINE_ARM64)
        return native == IMAGE_FILE_MACHINE_ARM64;
    return machine == IMAGE_FILE_MACHINE_AMD64 &&
           (native == IMAGE_FILE_MACHINE_AMD64 || (native == IMAGE_FILE_MACHINE_ARM64 && EmulatesX64(kernel32)));
}

// What the headers must say, up to the subsystem, which stands at the same place in both
// kinds of optional header.
struct ProgramHeaders {
    DWORD signature;
    IMAGE_FILE_HEADER file;
    WORD magic;
    BYTE upToSubsystem[offsetof(IMAGE_OPTIONAL_HEADER32, Subsystem) - sizeof(WORD)];
    WORD subsystem;
};
static_assert(offsetof(IMAGE_OPTIONAL_HEADER32, Subsystem) == offsetof(IMAGE_OPTIONAL_HEADER64, Subsystem));
// Without the structure's padding at its end.
constexpr DWORD kHeadersSize = offsetof(ProgramHeaders, subsystem) + sizeof(WORD);

// What the file's headers say, read from where they stand.
bool HeadersAreStartable(HANDLE file)
{
    IMAGE_DOS_HEADER dos;
    if (!ReadAt(file, 0, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE)
        return false;

    // A header beyond the end of the file (or at a negative offset, which reads as one
    // past 2 GB) cannot be read whole.
    ProgramHeaders headers;
    if (!ReadAt(file, static_cast<DWORD>(dos.e_lfanew), &headers, kHeadersSize) ||
        headers.signature != IMAGE_NT_SIGNATURE)
        return false;
    // The optional header of the machine's own kind, long enough to hold the subsystem.
    const bool is64 = headers.file.Machine != IMAGE_FILE_MACHINE_I386;
    if (headers.magic != (is64 ? IMAGE_NT_OPTIONAL_HDR64_MAGIC : IMAGE_NT_OPTIONAL_HDR32_MAGIC) ||
        headers.file.SizeOfOptionalHeader < kHeadersSize - offsetof(ProgramHeaders, magic))
        return false;
    // A program, not a DLL, and for a subsystem that the shell starts.
    if ((headers.file.Characteristics & (IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_DLL)) != IMAGE_FILE_EXECUTABLE_IMAGE ||
        (headers.subsystem != IMAGE_SUBSYSTEM_WINDOWS_GUI && headers.subsystem != IMAGE_SUBSYSTEM_WINDOWS_CUI))
        return false;
    return RunsHere(headers.file.Machine);
}

}  // namespace

bool IsStartableProgram(const wchar_t* path)
{
    ScopedFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    return file.valid() && HeadersAreStartable(file.get());
}
