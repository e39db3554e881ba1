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
// Appended to the executable's whole path for the verified download while it is brought
// onto the executable's volume. As long as kOldSuffix, so one length rule serves both
// companions; not a runnable extension, so a copy cut short is never started by a click.
constexpr const wchar_t* kStagedSuffix = L".new";

constexpr const wchar_t* kWindowClassName = L"DvOrvanneUpdater";
// Held by the running update for as long as its process lives. In the session's own
// namespace: one update per user session, as the temporary download and the window it
// brings to the front belong to one session.
constexpr const wchar_t* kSingleUpdateMutexName = L"Local\\DvOrvanneUpdater.SingleUpdate";
