#include "update/update_worker.h"

#include "config/config.h"
#include "net/https_fetch.h"
#include "update/digest_check.h"
#include "update/launcher_check.h"
#include "update/replace_and_launch.h"
#include "update/signature_check.h"
#include "update/status_messages.h"

#include <shlwapi.h>

#include <cwchar>
#include <string>

namespace {

constexpr int kAttempts = 3;
constexpr DWORD kRetryWaitMs = 2000;
constexpr DWORD kCreateFileWaitMs = 1500;
// A digest file is one line of under 100 bytes; anything far longer is a wrong file or a
// server that means harm, and is not read on.
constexpr DWORD kMaxDigestFileBytes = 64 * 1024;

std::wstring ConnectionFailureText()
{
    return std::wstring(L"No se pudo conectar con ") + kServerHost +
           L".\nRevisa tu conexión o antivirus y vuelve a abrir el launcher para reintentar.";
}

std::wstring DownloadFailureText()
{
    return std::wstring(L"No se pudo descargar el launcher nuevo.\n"
                        L"Revisa tu conexión o antivirus y vuelve a abrir el launcher para reintentar.\n"
                        L"Si sigue fallando, descárgalo en ") +
           kServerHost;
}

// The executable's path and directory and the download's path. False when any of them
// cannot be had whole: a path cut short at MAX_PATH would name some other file, and the
// update renames, moves and starts files by these names.
bool GetUpdatePaths(wchar_t (&exePath)[MAX_PATH], wchar_t (&exeDir)[MAX_PATH], std::wstring& tempPath)
{
    const DWORD exeLength = GetModuleFileNameW(nullptr, exePath, MAX_PATH);
    if (exeLength == 0 || exeLength >= MAX_PATH)
        return false;

    wmemcpy(exeDir, exePath, exeLength + 1);
    if (!PathRemoveFileSpecW(exeDir))
        return false;

    // GetTempPathW returns the length without the terminator when the path fits, and
    // the size it would need (more than the buffer) when it does not.
    wchar_t tempDir[MAX_PATH];
    const DWORD tempLength = GetTempPathW(MAX_PATH, tempDir);
    if (tempLength == 0 || tempLength >= MAX_PATH)
        return false;

    tempPath.assign(tempDir, tempLength);
    tempPath += kTempFileName;
    // The download may be started from here through the shell, which takes no
    // extended-length path; so it must fit in MAX_PATH as it is.
    return tempPath.size() < MAX_PATH;
}

// True when the digest file may be taken as it came. With a publisher key that needs
// the studio's signature over exactly these bytes: whoever controls the server can
// change the digest file, but cannot sign it.
bool DigestFileIsSigned(const ByteBuffer& digestBytes)
{
    if constexpr (!kCheckPublisherSignature) {
        return true;
    } else {
        ByteBuffer signature;
        return HttpsFetch(kSignaturePath, nullptr, &signature, nullptr, kMaxSignatureBytes) &&
               VerifyPublisherSignature(digestBytes, signature, kPublisherKey);
    }
}

// Up to three tries at the digest file; empty when none gave a digest.
std::string FetchExpectedDigest()
{
    const std::wstring connecting = std::wstring(L"Conectando con ") + kServerHost + L"...";
    ByteBuffer digestBytes;
    std::string expected;
    for (int attempt = 1; attempt <= kAttempts && expected.empty(); ++attempt) {
        digestBytes.clear();
        PostStatus(-1, connecting.c_str());
        if (HttpsFetch(kDigestPath, nullptr, &digestBytes, nullptr, kMaxDigestFileBytes) && DigestFileIsSigned(digestBytes))
            expected = ParseExpectedDigest(digestBytes);
        // The wait follows the third failed try too, so the last "connecting" status
        // stays up as long as the earlier ones before the failure box replaces it.
        if (expected.empty())
            Sleep(kRetryWaitMs);
    }
    return expected;
}

// Up to three tries at downloading the package into tempPath and verifying it against
// expected. True when tempPath holds a verified download that this Windows can start:
// the digest proves only that the file is the one published, and a file put in the
// executable's place that cannot start would leave the player without any launcher.
bool DownloadVerifiedPackage(const std::wstring& tempPath, const std::string& expected)
{
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        // CREATE_ALWAYS: a download left by an interrupted earlier run is overwritten.
        HANDLE file = CreateFileW(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            Sleep(kCreateFileWaitMs);
            continue;
        }

        wchar_t label[64];
        // msvcrt's formatter: the C99 one that C++ mode picks for swprintf outweighs the program.
        _snwprintf(label, 64, L"Descargando el launcher nuevo (intento %d/3)...", attempt);
        const bool downloaded = HttpsFetch(kPackagePath, file, nullptr, label);
        CloseHandle(file);

        if (downloaded) {
            PostStatus(100, L"Comprobando la descarga...");
            if (Sha256FileHex(tempPath.c_str()) == expected && IsStartableProgram(tempPath.c_str()))
                return true;
        }

        // A broken or altered download must never be left where it could be taken for
        // the launcher.
        DeleteFileW(tempPath.c_str());
        Sleep(kRetryWaitMs);
    }
    return false;
}

}  // namespace

DWORD WINAPI UpdateThreadProc(LPVOID)
{
    wchar_t exePath[MAX_PATH];
    wchar_t exeDir[MAX_PATH];
    std::wstring tempPath;
    if (!GetUpdatePaths(exePath, exeDir, tempPath)) {
        // Without trustworthy paths no file may be touched; the player is told to try
        // again, and the download link in the text still gets them the launcher.
        PostFailure(DownloadFailureText().c_str());
        return 0;
    }

    const std::string expected = FetchExpectedDigest();
    if (expected.empty()) {
        PostFailure(ConnectionFailureText().c_str());
        return 0;
    }

    if (!DownloadVerifiedPackage(tempPath, expected)) {
        PostFailure(DownloadFailureText().c_str());
        return 0;
    }

    // A launcher that was put in place but could not be started (a scanner took it, a
    // policy refuses it) stays where it is, since the next start may well succeed; the
    // player is told where to get it meanwhile.
    if (!ReplaceAndLaunch(exePath, exeDir, tempPath.c_str()))
        PostFailure(DownloadFailureText().c_str());
    return 0;
}
