// Forced into digest_check.cpp for its tests only: the file and BCrypt calls reach
// Windows as usual, but a test can make one of them fail, make hash creation as strict
// as on Windows Vista, and read back what was opened and released, in order.
#pragma once

#include <windows.h>
#include <bcrypt.h>

#include <string>
#include <vector>

namespace seams {

enum class Fail { kNothing, kOpenProvider, kGetObjectLength, kCreateHash, kRead, kHashData, kFinishHash };

extern Fail failing;
extern int readsBeforeFailure;      // with Fail::kRead: reads that succeed before one fails
extern bool vistaHashObjects;       // refuse a missing or too small hash-object buffer
extern std::vector<std::string> log;

void Reset();

}  // namespace seams

HANDLE WINAPI SeamCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL WINAPI SeamReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WINAPI SeamCloseHandle(HANDLE handle);
NTSTATUS WINAPI SeamBCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* algorithm, LPCWSTR id, LPCWSTR implementation,
                                                ULONG flags);
NTSTATUS WINAPI SeamBCryptGetProperty(BCRYPT_HANDLE object, LPCWSTR property, PUCHAR output, ULONG size,
                                      ULONG* result, ULONG flags);
NTSTATUS WINAPI SeamBCryptCreateHash(BCRYPT_ALG_HANDLE algorithm, BCRYPT_HASH_HANDLE* hash, PUCHAR object,
                                     ULONG objectSize, PUCHAR secret, ULONG secretSize, ULONG flags);
NTSTATUS WINAPI SeamBCryptHashData(BCRYPT_HASH_HANDLE hash, PUCHAR input, ULONG size, ULONG flags);
NTSTATUS WINAPI SeamBCryptFinishHash(BCRYPT_HASH_HANDLE hash, PUCHAR output, ULONG size, ULONG flags);
NTSTATUS WINAPI SeamBCryptDestroyHash(BCRYPT_HASH_HANDLE hash);
NTSTATUS WINAPI SeamBCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE algorithm, ULONG flags);

#ifndef DIGEST_SEAMS_CALL_WINDOWS
#define CreateFileW SeamCreateFileW
#define ReadFile SeamReadFile
#define CloseHandle SeamCloseHandle
#define BCryptOpenAlgorithmProvider SeamBCryptOpenAlgorithmProvider
#define BCryptGetProperty SeamBCryptGetProperty
#define BCryptCreateHash SeamBCryptCreateHash
#define BCryptHashData SeamBCryptHashData
#define BCryptFinishHash SeamBCryptFinishHash
#define BCryptDestroyHash SeamBCryptDestroyHash
#define BCryptCloseAlgorithmProvider SeamBCryptCloseAlgorithmProvider
#endif
