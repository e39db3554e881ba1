// Whether a verified download is a program that this Windows can start at all.
#pragma once

// True when the file at path is a Windows program (not a DLL) for the GUI or the console
// whose processor this Windows runs: x86 everywhere, x64 where the system is x64 and on
// ARM64 Windows that emulates it, ARM64 on ARM64. False for anything else, and when the
// file cannot be read.
bool IsStartableProgram(const wchar_t* path);
