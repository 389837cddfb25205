// The version information page: logo, name and version, and a button that
// opens the web page whose address it shows.
#include "settings_ui/settings_pages.h"
#include "settings_ui/version_page_ids.h"

#include <shellapi.h>

namespace {

void OpenAddress(HWND page) {
    char address[256] = "";
    GetDlgItemTextA(page, IDC_VERSION_URL, address, sizeof address);
    if (address[0]) ShellExecuteA(page, "open", address, nullptr, nullptr, SW_SHOWNORMAL);
}

INT_PTR Dispatch(HWND page, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return FALSE;
    case WM_PARAMS_LOAD:
        Page_OfferFocus(page, static_cast<int>(wParam), IDC_VERSION_URL);
        return Page_Answer(page, 1);
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_VERSION_URL) OpenAddress(page);
        return FALSE;
    }
    return FALSE;
}

}  // namespace

INT_PTR CALLBACK VersionPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    return Page_Guard([&] { return Dispatch(page, message, wParam, lParam); });
}
