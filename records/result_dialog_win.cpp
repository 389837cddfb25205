// The result dialog: headline, the run's report, OK; it stretches the report
// with the window and keeps OK centred below it.
#include "records/result_dialog_ids.h"
#include "records/run_records.h"
#include "makerlibs/pmwinkit.h"

namespace {

// One result dialog at a time (it is modal on the batch worker), so its
// layout bookkeeping lives here rather than in the window.
struct ResultLayout {
    int clientWidth, clientHeight;
    SIZE report;      // size of the report text
    POINT headline;   // position of the headline
    POINT ok;         // position of OK
};
ResultLayout g_layout;

void Remember(HWND dialog) {
    RECT client, r;
    GetClientRect(dialog, &client);
    g_layout.clientWidth = client.right;
    g_layout.clientHeight = client.bottom;
    WinKit_GetChildRect(GetDlgItem(dialog, IDC_RESULT_REPORT), &r);
    g_layout.report = {r.right - r.left, r.bottom - r.top};
    WinKit_GetChildRect(GetDlgItem(dialog, IDC_RESULT_HEADLINE), &r);
    g_layout.headline = {r.left, r.top};
    WinKit_GetChildRect(GetDlgItem(dialog, IDC_RESULT_OK), &r);
    g_layout.ok = {r.left, r.top};
}

// Moved with repainting: invalidating the client area alone leaves the old
// frame of the report's sunken edge standing inside its grown area.
void Place(HWND control, int x, int y, int width, int height) {
    MoveWindow(control, x, y, width < 0 ? 0 : width, height < 0 ? 0 : height, TRUE);
    InvalidateRect(control, nullptr, TRUE);
    UpdateWindow(control);
}

void OnInit(HWND dialog, const ResultDlgArgs* args) {
    const ImageConvertParams* params = args->Params;
    if (HICON big = LoadIconA(params->Instance, "PIXMILUI"))
        SendMessageA(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    if (HANDLE small = LoadImageA(params->Instance, "PIXMILUI", IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                  GetSystemMetrics(SM_CYSMICON), LR_SHARED))
        SendMessageA(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
    Remember(dialog);
    WinKit_SetText(GetDlgItem(dialog, IDC_RESULT_HEADLINE),
                   params->StopRequested ? "処理がキャンセルされました。" : "処理が終了しました。");
    char* report = nullptr;
    BuildLogReport(0, params, &report);
    WinKit_SetText(GetDlgItem(dialog, IDC_RESULT_REPORT), report ? report : "");
    WinKit_Free(report);
    SetFocus(GetDlgItem(dialog, IDC_RESULT_OK));
}

void OnSize(HWND dialog, int width, int height) {
    int dw = width - g_layout.clientWidth, dh = height - g_layout.clientHeight;
    g_layout.report.cx += dw;
    g_layout.report.cy += dh;
    g_layout.ok.x += dw / 2;  // C++ division truncates toward zero
    g_layout.ok.y += dh;
    g_layout.clientWidth = width;
    g_layout.clientHeight = height;

    RECT r;
    HWND report = GetDlgItem(dialog, IDC_RESULT_REPORT);
    WinKit_GetChildRect(report, &r);
    Place(report, r.left, r.top, g_layout.report.cx, g_layout.report.cy);
    HWND headline = GetDlgItem(dialog, IDC_RESULT_HEADLINE);
    WinKit_GetChildRect(headline, &r);
    Place(headline, g_layout.headline.x, g_layout.headline.y, r.right - r.left, r.bottom - r.top);
    HWND ok = GetDlgItem(dialog, IDC_RESULT_OK);
    WinKit_GetChildRect(ok, &r);
    Place(ok, g_layout.ok.x, g_layout.ok.y, r.right - r.left, r.bottom - r.top);
}

}  // namespace

INT_PTR CALLBACK ResultDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) SetWindowLongPtrA(dialog, GWLP_USERDATA, lParam);
    auto* args = reinterpret_cast<const ResultDlgArgs*>(GetWindowLongPtrA(dialog, GWLP_USERDATA));
    if (!args || !args->Params) return FALSE;  // WM_SETFONT comes before WM_INITDIALOG
    // No exception may unwind through the dialog manager.
    try {
        switch (message) {
        case WM_INITDIALOG:
            OnInit(dialog, args);
            break;
        case WM_SIZE:
            OnSize(dialog, LOWORD(lParam), HIWORD(lParam));
            break;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) EndDialog(dialog, LOWORD(wParam));
            break;
        }
    } catch (...) {
    }
    return FALSE;
}
