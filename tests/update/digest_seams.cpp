// The seams of digest_seams.h: each passes the call on to Windows unless the test has
// chosen it to fail, and notes every handle opened and released.
#define DIGEST_SEAMS_CALL_WINDOWS
#include "tests/update/digest_seams.h"

namespace seams {

Fail failing = Fail::kNothing;
int readsBeforeFailure = 0;
bool vistaHashObjects = false;
std::vector<std::string> log;

void Reset()
{
    failing = Fail::kNothing;
    readsBeforeFailure = 0;
    vistaHashObjects = false;
    log.clear();
}

}  // namespace seams

using seams::Fail;

namespace {

const NTSTATUS kStatusUnsuccessful = static_cast<NTSTATUS>(0xC0000001);
const NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
const NTSTATUS kStatusBufferTooSmall = static_cast<NTSTATUS>(0xC0000023);

HANDLE g_file = INVALID_HANDLE_VALUE;

}  // namespace

HANDLE WINAPI SeamCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE templateFile)
{
    g_file = CreateFileW(name, access, share, security, disposition, flags, templateFile);
    if (g_file != INVALID_HANDLE_VALUE)
        seams::log.push_back("open file");
    return g_file;
}

BOOL WINAPI SeamReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped)
{
    if (seams::failing == Fail::kRead && seams::readsBeforeFailure-- == 0) {
        *read = 0;
        SetLastError(ERROR_CRC);  // what an unreadable sector gives
        return FALSE;
    }
    return ReadFile(file, buffer, size, read, overlapped);
}

BOOL WINAPI SeamCloseHandle(HANDLE handle)
{
    if (handle == g_file)
        seams::log.push_back("close file");
    return CloseHandle(handle);
}

NTSTATUS WINAPI SeamBCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* algorithm, LPCWSTR id, LPCWSTR implementation,
                                                ULONG flags)
{
    if (seams::failing == Fail::kOpenProvider)
        return kStatusUnsuccessful;
    const NTSTATUS status = BCryptOpenAlgorithmProvider(algorithm, id, implementation, flags);
    if (status == 0)
        seams::log.push_back("open provider");
    return status;
}

NTSTATUS WINAPI SeamBCryptGetProperty(BCRYPT_HANDLE object, LPCWSTR property, PUCHAR output, ULONG size,
                                      ULONG* result, ULONG flags)
{
    if (seams::failing == Fail::kGetObjectLength && wcscmp(property, BCRYPT_OBJECT_LENGTH) == 0)
        return kStatusUnsuccessful;
    return BCryptGetProperty(object, property, output, size, result, flags);
}

NTSTATUS WINAPI SeamBCryptCreateHash(BCRYPT_ALG_HANDLE algorithm, BCRYPT_HASH_HANDLE* hash, PUCHAR object,
                                     ULONG objectSize, PUCHAR secret, ULONG secretSize, ULONG flags)
{
    if (seams::failing == Fail::kCreateHash)
        return kStatusUnsuccessful;
    if (seams::vistaHashObjects) {
        // Before Windows 7 the caller must supply the hash object's memory.
        if (!object || objectSize == 0)
            return kStatusInvalidParameter;
        DWORD needed = 0;
        ULONG got = 0;
        BCryptGetProperty(algorithm, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&needed), sizeof needed, &got, 0);
        if (objectSize < needed)
            return kStatusBufferTooSmall;
    }
    const NTSTATUS status = BCryptCreateHash(algorithm, hash, object, objectSize, secret, secretSize, flags);
    if (status == 0)
        seams::log.push_back("create hash");
    return status;
}

NTSTATUS WINAPI SeamBCryptHashData(BCRYPT_HASH_HANDLE hash, PUCHAR input, ULONG size, ULONG flags)
{
    if (seams::failing == Fail::kHashData)
        return kStatusUnsuccessful;
    return BCryptHashData(hash, input, size, flags);
}

NTSTATUS WINAPI SeamBCryptFinishHash(BCRYPT_HASH_HANDLE hash, PUCHAR output, ULONG size, ULONG flags)
{
    if (seams::failing == Fail::kFinishHash)
        return kStatusUnsuccessful;
    return BCryptFinishHash(hash, output, size, flags);
}

NTSTATUS WINAPI SeamBCryptDestroyHash(BCRYPT_HASH_HANDLE hash)
{
    seams::log.push_back("destroy hash");
    return BCryptDestroyHash(hash);
}

NTSTATUS WINAPI SeamBCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE algorithm, ULONG flags)
{
    seams::log.push_back("close provider");
    return BCryptCloseAlgorithmProvider(algorithm, flags);
}
