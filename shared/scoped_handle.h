// A handle that closes itself when its scope ends. Declared in the order of opening,
// several of them close in the reverse order on every return path.
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>

// Closer supplies Valid(handle), which tells a handle from "none", and Close(handle).
template <typename Handle, typename Closer>
class ScopedHandle {
public:
    ScopedHandle() = default;
    explicit ScopedHandle(Handle handle) : handle_(handle) {}
    ~ScopedHandle()
    {
        if (Closer::Valid(handle_))
            Closer::Close(handle_);
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    Handle get() const { return handle_; }
    bool valid() const { return Closer::Valid(handle_); }
    // For APIs that hand a new handle back through a pointer; only on an empty holder.
    Handle* out() { return &handle_; }

private:
    Handle handle_ = Handle{};
};

// Kernel file handles, where INVALID_HANDLE_VALUE (not null) is what CreateFileW gives
// back on failure.
struct FileCloser {
    static bool Valid(HANDLE handle) { return handle && handle != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) { CloseHandle(handle); }
};
using ScopedFile = ScopedHandle<HANDLE, FileCloser>;

// CNG: the algorithm provider, and the hash and key made with it (released before it).
struct AlgorithmCloser {
    static bool Valid(BCRYPT_ALG_HANDLE handle) { return handle != nullptr; }
    static void Close(BCRYPT_ALG_HANDLE handle) { BCryptCloseAlgorithmProvider(handle, 0); }
};
using ScopedAlgorithm = ScopedHandle<BCRYPT_ALG_HANDLE, AlgorithmCloser>;

struct HashCloser {
    static bool Valid(BCRYPT_HASH_HANDLE handle) { return handle != nullptr; }
    static void Close(BCRYPT_HASH_HANDLE handle) { BCryptDestroyHash(handle); }
};
using ScopedHash = ScopedHandle<BCRYPT_HASH_HANDLE, HashCloser>;

struct KeyCloser {
    static bool Valid(BCRYPT_KEY_HANDLE handle) { return handle != nullptr; }
    static void Close(BCRYPT_KEY_HANDLE handle) { BCryptDestroyKey(handle); }
};
using ScopedKey = ScopedHandle<BCRYPT_KEY_HANDLE, KeyCloser>;

// WinHTTP: the session, connection and request of a fetch, and the session that runs a
// PAC script.
struct InternetCloser {
    static bool Valid(HINTERNET handle) { return handle != nullptr; }
    static void Close(HINTERNET handle) { WinHttpCloseHandle(handle); }
};
using ScopedInternet = ScopedHandle<HINTERNET, InternetCloser>;
