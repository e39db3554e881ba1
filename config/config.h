// Compile-time settings. The program reads no command line, configuration file or
// registry: everything it needs to know is fixed here when it is built.
#pragma once

#ifndef UPDATER_SERVER_HOST
#error "UPDATER_SERVER_HOST must be defined by the build (the CMake cache variable of that name)"
#endif

// kCheckPublisherSignature and kPublisherKey, written from UPDATER_PUBLISHER_KEY.
#include "publisher_key.h"

#define UPDATER_WIDEN_(text) L##text
#define UPDATER_WIDEN(text) UPDATER_WIDEN_(text)

// Download server, reached over HTTPS on port 443.
constexpr const wchar_t* kServerHost = UPDATER_WIDEN(UPDATER_SERVER_HOST);
constexpr const wchar_t* kDigestPath = L"/descargas/launcher_full.sha256";
// The studio's signature of the digest file, asked for only when kCheckPublisherSignature.
constexpr const wchar_t* kSignaturePath = L"/descargas/launcher_full.sha256.sig";
constexpr const wchar_t* kPackagePath = L"/descargas/launcher_full.exe";
constexpr const wchar_t* kUserAgent = L"DravokOrvanneUpdater/1.0";

// Name of the download in the user's temporary directory.
constexpr const wchar_t* kTempFileName = L"DvOrvanneLauncher_full.exe";
// Appended to the executable's whole path to keep the previous launcher beside it.
constexpr const wchar_t* kOldSuffix = L".old";

constexpr const wchar_t* kWindowClassName = L"DvOrvanneUpdater";
