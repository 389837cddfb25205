// save_settings: starts a program whose settings dialog opens with no
// arguments, presses its Save button and answers the questions Save may ask
// ("create the folder?") with Yes, as a user would. The package test uses it
// to save settings from an installed copy, in another process than its own.
//   save_settings PROGRAM.EXE
// Exit code 0 when the program ended by itself after Save, 1 otherwise.
#include "makerlibs/pmwin.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kBoundMs = 60000;  // a missing window ends the tool, not a hang

struct Search {
    DWORD process;
    HWND owner;  // null: a top-level dialog without owner
    HWND found;
};

BOOL CALLBACK FindDialog(HWND w, LPARAM lp) {
    auto* s = reinterpret_cast<Search*>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    char cls[16] = "";
    GetClassNameA(w, cls, sizeof cls);
    if (pid != s->process || std::strcmp(cls, "#32770") != 0 || !IsWindowVisible(w)) return TRUE;
    if (GetWindow(w, GW_OWNER) != s->owner) return TRUE;
    s->found = w;
    return FALSE;
}

HWND DialogOf(DWORD process, HWND owner) {
    Search s{process, owner, nullptr};
    EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: save_settings PROGRAM.EXE\n");
        return 2;
    }
    char command[MAX_PATH + 3];
    std::snprintf(command, sizeof command, "\"%s\"", argv[1]);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        std::fprintf(stderr, "save_settings: cannot start %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    HWND dialog = nullptr;
    bool pressed = false;
    DWORD waited = 0;
    for (; waited < kBoundMs; waited += 100) {
        if (WaitForSingleObject(pi.hProcess, 100) == WAIT_OBJECT_0) break;
        if (!dialog) dialog = DialogOf(pi.dwProcessId, nullptr);
        if (!dialog) continue;
        if (!pressed) {
            PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            pressed = true;
            continue;
        }
        if (HWND box = DialogOf(pi.dwProcessId, dialog)) PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED), 0);
    }
    bool ended = WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0;
    if (!ended) {
        std::fprintf(stderr, "save_settings: %s did not end after Save (dialog %s)\n", argv[1],
                     dialog ? "found" : "never seen");
        TerminateProcess(pi.hProcess, 1);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return ended && pressed ? 0 : 1;
}
