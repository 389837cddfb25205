// PMDLGKIT: the shell's folder browser.
#include "makerlibs/pmdlgkit.h"
#include "makerlibs/pmcore.h"
#include "makerlibs/pmpath.h"

#include <cwchar>
#include <string>

#include <objbase.h>
#include <shlobj.h>

namespace {

constexpr size_t kFolderBytes = MAX_PATH + 1;  // the callers' buffer

int CALLBACK BrowseCallback(HWND window, UINT msg, LPARAM, LPARAM data) {
    if (msg == BFFM_INITIALIZED && data) SendMessageA(window, BFFM_SETSELECTIONA, TRUE, data);
    return 0;
}

}  // namespace

int DlgKit_ChooseFolder(HWND owner, const char* title, const char* initial, char* folder) {
    if (!folder) return 0;
    // `folder` may be `initial`; nothing is written to it before the choice.
    char start[kFolderBytes] = "";
    if (initial && !PmPath_Copy(start, sizeof start, initial)) start[0] = '\0';

    // The new dialog style hosts shell views that need a single-threaded
    // apartment; on a thread already in another apartment the classic style
    // still works.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    UINT flags = BIF_RETURNONLYFSDIRS;
    if (SUCCEEDED(com)) flags |= BIF_NEWDIALOGSTYLE;

    char display[MAX_PATH] = "";
    BROWSEINFOA info = {};
    info.hwndOwner = owner;
    info.pszDisplayName = display;
    info.lpszTitle = title;
    info.ulFlags = flags;
    info.lpfn = BrowseCallback;
    info.lParam = start[0] ? reinterpret_cast<LPARAM>(start) : 0;

    int chosen = 0;
    DWORD reason = 0;
    if (PIDLIST_ABSOLUTE item = SHBrowseForFolderA(&info)) {
        wchar_t path[MAX_PATH] = L"";
        std::string narrow;
        // Places outside the file system (a printer, the network root) give no
        // path; that counts as no choice. The narrow path of a folder whose
        // name code page 932 cannot hold would be a look-alike naming
        // another folder or none: refused, with the reason.
        if (SHGetPathFromIDListW(item, path) && path[0]) {
            if (!Core_NarrowExact(path, std::wcslen(path), &narrow))
                reason = ERROR_NO_UNICODE_TRANSLATION;
            else if (PmPath_Copy(folder, kFolderBytes, narrow.c_str()))
                chosen = 1;
        }
        CoTaskMemFree(item);
    }
    if (SUCCEEDED(com)) CoUninitialize();
    SetLastError(reason);
    return chosen;
}
