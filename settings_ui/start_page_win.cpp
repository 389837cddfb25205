// The start page: the system's web-browser control showing the help start
// page. The control is hosted through atl.dll, loaded at run time; where it
// or the browser engine is missing the page stays empty and nothing else
// depends on it.
#include "settings_ui/settings_pages.h"
#include "settings_ui/start_page_ids.h"

#include "resources/resource_ids.h"

#include <exdisp.h>
#include <ole2.h>

namespace {

using AtlAxWinInitFn = BOOL(WINAPI*)();
using AtlAxCreateDialogFn = HWND(WINAPI*)(HINSTANCE, LPCSTR, HWND, DLGPROC, LPARAM);
using AtlAxGetControlFn = HRESULT(WINAPI*)(HWND, IUnknown**);

struct AtlHost {
    bool Tried = false;
    AtlAxWinInitFn WinInit = nullptr;
    AtlAxCreateDialogFn CreateHosted = nullptr;
    AtlAxGetControlFn GetControl = nullptr;
};
// atl.dll stays loaded once loaded: the hosting window class it registers
// points into it, and a second dialog in the same process reuses it.
AtlHost g_atl;
// Open dialogs that initialised OLE on this thread and must undo it.
int g_oleStarts;

const AtlHost& Atl() {
    if (!g_atl.Tried) {
        g_atl.Tried = true;
        if (HMODULE atl = LoadLibraryA("atl.dll")) {
            g_atl.WinInit = reinterpret_cast<AtlAxWinInitFn>(
                reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxWinInit")));
            // The narrow entry: the page template and its texts are code page 932.
            g_atl.CreateHosted = reinterpret_cast<AtlAxCreateDialogFn>(
                reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxCreateDialogA")));
            g_atl.GetControl = reinterpret_cast<AtlAxGetControlFn>(
                reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxGetControl")));
            if (!g_atl.WinInit || !g_atl.CreateHosted || !g_atl.GetControl) g_atl = AtlHost{true};
        }
    }
    return g_atl;
}

void ReleaseBrowser(InitParamsDlgState* st) {
    if (st && st->Browser) {
        st->Browser->Release();
        st->Browser = nullptr;
    }
}

void OnInit(HWND page) {
    InitParamsDlgState* st = Page_ShellState(page);
    HWND host = GetDlgItem(page, IDC_START_BROWSER);
    if (!st || !host || !Atl().GetControl) return;
    IUnknown* control = nullptr;
    if (FAILED(Atl().GetControl(host, &control)) || !control) return;
    void* browser = nullptr;
    if (SUCCEEDED(control->QueryInterface(IID_IWebBrowser2, &browser)) && browser) {
        st->Browser = static_cast<IWebBrowser2*>(browser);
        st->Browser->GoHome();
    }
    control->Release();
}

INT_PTR OnLoad(HWND page, WPARAM first) {
    InitParamsDlgState* st = Page_ShellState(page);
    if (!st || !st->Browser) return Page_Answer(page, 0);
    const char* address = st->Args->Params.HelpPage;
    VARIANT url;
    VariantInit(&url);
    if (address) {
        int chars = MultiByteToWideChar(CP_ACP, 0, address, -1, nullptr, 0);
        if (chars > 0) {
            BSTR text = SysAllocStringLen(nullptr, chars - 1);
            if (text) {
                MultiByteToWideChar(CP_ACP, 0, address, -1, text, chars);
                url.vt = VT_BSTR;
                url.bstrVal = text;
            }
        }
    }
    VARIANT empty;
    VariantInit(&empty);
    st->Browser->Navigate2(&url, &empty, &empty, &empty, &empty);
    VariantClear(&url);
    Page_OfferFocus(page, static_cast<int>(first), IDC_START_BROWSER);
    return Page_Answer(page, 1);
}

INT_PTR Dispatch(HWND page, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        OnInit(page);
        return FALSE;
    case WM_PARAMS_LOAD:
        return OnLoad(page, wParam);
    case WM_DESTROY:
        ReleaseBrowser(Page_ShellState(page));
        return FALSE;
    }
    return FALSE;
}

}  // namespace

INT_PTR CALLBACK StartPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    return Page_Guard([&] { return Dispatch(page, message, wParam, lParam); });
}

bool StartPage_InitHosting() {
    // ActiveX controls need OLE on the thread that hosts them.
    HRESULT hr = OleInitialize(nullptr);
    if (SUCCEEDED(hr)) ++g_oleStarts;
    // Once per process: the hosting window class stays registered while
    // atl.dll stays loaded, and a second registration would fail.
    static const bool ready = Atl().WinInit && Atl().WinInit();
    return ready;
}

void StartPage_EndHosting() {
    if (g_oleStarts > 0) {
        --g_oleStarts;
        OleUninitialize();
    }
}

HWND StartPage_Create(HINSTANCE instance, HWND parent) {
    if (Atl().CreateHosted)
        if (HWND page = Atl().CreateHosted(instance, MAKEINTRESOURCEA(IDD_START_PAGE), parent, StartPageProc, 0))
            return page;
    // Without hosting the template still makes an (empty) page: it may fail
    // to create the browser control and carries on.
    return CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_START_PAGE), parent, StartPageProc, 0);
}
