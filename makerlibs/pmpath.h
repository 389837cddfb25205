// Code page 932 aware path text helpers. Pure: no system calls, so they are
// tested natively. A double-byte character is one unit; its trail byte may
// equal '\\' (0x5C), so no byte search may start inside one.
#pragma once
#include <cstddef>

// Lead bytes of code page 932 double-byte characters.
constexpr bool Cp932_IsLeadByte(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}
// Next character of `p` (stays at the terminating zero; a lead byte followed
// by the terminator counts as one byte).
const char* Cp932_Next(const char* p);

// First / last single-byte `ch` in `text`; null when none.
const char* PmPath_FindChar(const char* text, int ch);
const char* PmPath_FindLastChar(const char* text, int ch);
// True when the text's last character is a backslash or slash (a trail byte
// 0x5C does not count).
bool PmPath_EndsWithSeparator(const char* text);
// Start of the last component (after the last separator or drive colon).
const char* PmPath_NameStart(const char* path);
// Length of the root that starts `path`: "C:\\" (3), a bare drive "C:" (2),
// "\\server\share\" (through the separator after the share, or to the end),
// the same behind "\\?\" or "\\?\UNC\", a lone leading separator (1);
// 0 for a relative path.
size_t PmPath_RootLength(const char* path);
// True when `path` is exactly the root folder of a drive: "C:\\" or "C:/",
// also behind "\\?\". Such a path keeps its separator when others lose
// theirs: "C:" alone names the current folder of drive C, not its root.
bool PmPath_IsDriveRoot(const char* path);
// The extension of the last component, from its last '.', or the end of the
// text when it has none.
const char* PmPath_Extension(const char* path);
// Copies `src` into `dst` of `size` bytes. False (with `dst` left holding
// the empty text) when it does not fit: a cut path names another file.
bool PmPath_Copy(char* dst, size_t size, const char* src);
// Appends `src`; false (with `dst` unchanged) when it does not fit.
bool PmPath_Append(char* dst, size_t size, const char* src);
// Case-insensitive comparison of ASCII letters over `n` bytes, double-byte
// characters compared exactly.
int PmPath_CompareNoCase(const char* a, const char* b, size_t n);
