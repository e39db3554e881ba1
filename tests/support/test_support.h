// Small helpers that the Windows test programs share: text conversions, whole-file
// reads and writes, window class and text, and the C runtime's heap use.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& text);

// The file's bytes, or nothing when it cannot be opened. Opens with full sharing, so it
// reads files that the program under test still holds.
std::optional<std::string> ReadWhole(const std::wstring& path);
bool WriteWhole(const std::wstring& path, const std::string& content);

// A window's class name and text.
std::wstring ClassOf(HWND window);
std::wstring TextOf(HWND window);

// Bytes in use on the heap that malloc and free work on.
size_t CrtHeapInUse();
