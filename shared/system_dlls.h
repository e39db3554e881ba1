// Where the program's code comes from: Windows' own folder, never the program's.
#pragma once

#include <windows.h>

// Called first at entry, before anything can load a DLL. From then on a DLL loaded by
// name comes from System32 alone, on systems that can say so (Windows 8 and later, Vista
// and 7 with KB2533623; not Vista, whose COM objects fail after it); elsewhere the
// current directory leaves the search, and every DLL that Windows' own code loads by name
// during an update, the program's own among them, is loaded first from System32 (the
// common controls from the side-by-side store, see LoadSystemLibrary), so a later load by
// name finds it there.
void RestrictDllSearch();

// The named DLL of System32 (a bare file name such as "winhttp.dll"; ".dll" is added to
// a name without an extension), loaded by its full path, with its own dependencies
// looked up from there; "comctl32.dll" is the exception, loaded by name so that the
// program's manifest gives it version 6 from Windows' side-by-side store (a name the
// manifest redirects is never looked for in the program's folder). Null when it cannot
// be had; calling into a delay-loaded DLL after that would end the process, so every
// operation that needs one asks here first and fails as a whole instead.
HMODULE LoadSystemLibrary(const char* name);
