// PMWINKIT message boxes and system error texts.
#include "makerlibs/pmwinkit.h"
#include "makerlibs/pmpath.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr char kErrorBoxCaption[] = "Vimoサムネイル";

// Copies at most `size - 1` bytes without leaving half of a double-byte
// character at the end.
int CopyWhole(char* out, int size, const char* text, int length) {
    int n = 0;
    while (n < length) {
        int step = (Cp932_IsLeadByte(static_cast<unsigned char>(text[n])) && n + 1 < length) ? 2 : 1;
        if (n + step > size - 1) break;
        n += step;
    }
    std::memcpy(out, text, static_cast<size_t>(n));
    out[n] = '\0';
    return n;
}

}  // namespace

int WinKit_MessageBox(HWND owner, const char* text, const char* caption, UINT type, int, int) {
    return MessageBoxA(owner, text ? text : "", caption, type);
}

int WinKit_GetErrorText(DWORD errorCode, int, int bufferSize, char* out) {
    if (!out || bufferSize <= 0) return 0;
    char* message = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, errorCode, 0, reinterpret_cast<char*>(&message), 0, nullptr);
    if (length == 0 || !message) {
        if (message) LocalFree(message);
        char fallback[48];
        int n = std::snprintf(fallback, sizeof fallback, "エラー番号 %lu", static_cast<unsigned long>(errorCode));
        return CopyWhole(out, bufferSize, fallback, n);
    }
    // The text goes into one log line: the line break that ends every system
    // message is dropped and inner breaks become one space each. CR and LF
    // are never trail bytes in code page 932, so a byte scan is safe.
    std::string line;
    line.reserve(length);
    bool pendingBreak = false;
    for (DWORD i = 0; i < length; ++i) {
        char c = message[i];
        if (c == '\r' || c == '\n') {
            pendingBreak = true;
            continue;
        }
        if (pendingBreak && !line.empty()) line += ' ';
        pendingBreak = false;
        line += c;
    }
    LocalFree(message);
    return CopyWhole(out, bufferSize, line.data(), static_cast<int>(line.size()));
}

int WinKit_ErrorBox(HWND owner, DWORD errorCode, const char* text, UINT type, int) {
    char description[512];
    WinKit_GetErrorText(errorCode, 2, sizeof description, description);
    std::string body = text ? text : "";
    body += "\r\n\r\n";
    body += description;
    return MessageBoxA(owner, body.c_str(), kErrorBoxCaption, type);
}
