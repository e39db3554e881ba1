// The worker thread that carries out the whole update without any input.
#pragma once

#include <windows.h>

// Thread procedure: works out the paths, fetches the expected digest, downloads and
// verifies the launcher (three attempts each), then replaces and launches it. Reports
// only through the messages of update/status_messages.h. The parameter is unused;
// always returns 0.
DWORD WINAPI UpdateThreadProc(LPVOID parameter);
