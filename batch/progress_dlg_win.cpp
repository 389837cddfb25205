// The progress dialog of a batch run and its worker thread. The dialog owns
// the user interface (texts, counters, indicator, preview, Cancel); the
// worker does the run and ends the dialog. They share only the run-state
// fields of the settings record.
#include "batch/batch_run.h"
#include "batch/conversion_pool.h"
#include "batch/progress_ids.h"
#include "makerlibs/pmpreview.h"
#include "makerlibs/pmwinkit.h"
#include "records/run_records.h"

#include <process.h>

#include <atomic>
#include <cstring>

namespace {

constexpr int kPreviewCaptionLine = 20;
constexpr DWORD kStopWaitMs = 3000;
// What the conversions in flight get after the worker was ended.
constexpr DWORD kPoolGraceMs = 1000;
constexpr DWORD kEndedThreadWaitMs = 1000;
constexpr DWORD kEndedWorkerWaitMs = 30000;
// Set on the dialog by the worker before it ends the dialog: its run is over.
constexpr char kWorkerEndedProp[] = "PmWorkerEnded";
constexpr DWORD kWorkerStartDelayMs = 500;

// Layout bookkeeping of the one progress dialog: the last client size, and
// per tracked control either its size (input, folder, preview) or its
// position (description).
struct Tracked {
    int id;
    bool keepsPosition;
    int a, b;  // width and height, or left and top
};
struct Layout {
    int width, height;
    Tracked controls[4];
};
Layout g_layout = {0, 0,
                   {{IDC_PROGRESS_INPUT, false, 0, 0},
                    {IDC_PROGRESS_FOLDER, false, 0, 0},
                    {IDC_PROGRESS_PREVIEW, false, 0, 0},
                    {IDC_PROGRESS_DESCRIPTION, true, 0, 0}}};

std::atomic_ref<LONG> Shared(LONG& field) { return std::atomic_ref<LONG>(field); }
std::atomic_ref<HANDLE> SharedHandle(HANDLE& field) { return std::atomic_ref<HANDLE>(field); }

ProgressDlgArgs* ArgsOf(HWND dialog) {
    return reinterpret_cast<ProgressDlgArgs*>(GetWindowLongPtrA(dialog, GWLP_USERDATA));
}

// Lays the preview's image area and box out for a preview of w x h pixels.
void LayoutPreview(HWND preview, const ImageConvertParams* p, int w, int h) {
    int areaW = w, areaH = h - kPreviewCaptionLine;
    int left = 0, top = 0, right = areaW, bottom = areaH;
    if (p->Resize != 0) {
        left = (areaW - p->Size.cx) / 2;
        top = (areaH - p->Size.cy) / 2;
        right = left + p->Size.cx;
        bottom = top + p->Size.cy;
    }
    PreviewSettings s;
    std::memset(&s, 0, sizeof s);
    s.Size = kPreviewSettingsSize;
    SendMessageA(preview, PVM_GETSETTINGS, 0, reinterpret_cast<LPARAM>(&s));
    s.Size = kPreviewSettingsSize;
    s.Version = kPreviewSettingsVersion;
    s.FitMode = 2;
    s.Flags = 0;
    s.AreaWidth = areaW;
    s.AreaHeight = areaH;
    s.BoxLeft = left;
    s.BoxTop = top;
    s.BoxRight = right;
    s.BoxBottom = bottom;
    s.BoxWidth = right - left;
    s.BoxHeight = bottom - top;
    std::memset(reinterpret_cast<uint8_t*>(&s) + 308, 0, 332 - 308);
    s.Background = GetSysColor(COLOR_BTNFACE);
    s.BorderFlags = 0;
    s.FrameColor = GetSysColor(COLOR_BTNFACE);
    SendMessageA(preview, PVM_SETSETTINGS, 0, reinterpret_cast<LPARAM>(&s));
}

void RecordLayout(HWND dialog) {
    RECT client;
    GetClientRect(dialog, &client);
    g_layout.width = client.right;
    g_layout.height = client.bottom;
    for (Tracked& t : g_layout.controls) {
        RECT r;
        WinKit_GetChildRect(GetDlgItem(dialog, t.id), &r);
        if (t.keepsPosition) {
            t.a = r.left;
            t.b = r.top;
        } else {
            t.a = r.right - r.left;
            t.b = r.bottom - r.top;
        }
    }
}

INT_PTR OnInit(HWND dialog, ProgressDlgArgs* args) {
    ImageConvertParams* p = args->Params;
    RecordLayout(dialog);

    HICON big = static_cast<HICON>(LoadImageA(p->Instance, "PIXMILUI", IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                              GetSystemMetrics(SM_CYICON), LR_SHARED));
    HICON small = static_cast<HICON>(LoadImageA(p->Instance, "PIXMILUI", IMAGE_ICON,
                                                GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                                LR_SHARED));
    SendMessageA(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
    SendMessageA(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    if (args->StartMinimized) ShowWindow(dialog, SW_SHOWMINNOACTIVE);

    p->ProgressWindow = dialog;
    Shared(p->SucceededCount).store(0);
    Shared(p->ProcessedCount).store(0);
    Shared(p->StopRequested).store(0);
    Shared(p->PreviewEnabled).store(1);
    SharedHandle(args->WorkerThread).store(nullptr);
    CheckDlgButton(dialog, IDC_PROGRESS_PREVIEW_ON, BST_CHECKED);
    Shared(p->CancelRequested).store(0);

    HWND preview = GetDlgItem(dialog, IDC_PROGRESS_PREVIEW);
    SendDlgItemMessageA(dialog, IDC_PROGRESS_PREVIEW, PVM_RESET, 0, 0);
    SendDlgItemMessageA(dialog, IDC_PROGRESS_PREVIEW, PVM_SETFRAME, 4, 0);
    RECT pc;
    GetClientRect(preview, &pc);
    LayoutPreview(preview, p, pc.right, pc.bottom);
    SendDlgItemMessageA(dialog, IDC_PROGRESS_PREVIEW, PVM_SETZOOMLIMIT, 1, 0x20000);
    SendDlgItemMessageA(dialog, IDC_PROGRESS_PREVIEW, PVM_SETCAPTION, 1, 0);
    SendDlgItemMessageA(dialog, IDC_PROGRESS_PREVIEW, PVM_SETSMOOTH, 1, 0);

    SendDlgItemMessageA(dialog, IDC_PROGRESS_INDICATOR, PPM_START, 1, 0);

    unsigned threadId = 0;
    auto thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ConvertWorker, args, 0, &threadId));
    if (!thread) {
        // Without a worker nothing would ever end the dialog.
        EndDialog(dialog, 2);
        return 0;
    }
    SharedHandle(args->WorkerThread).store(thread);
    SetFocus(GetDlgItem(dialog, IDC_PROGRESS_INPUT));
    return 0;
}

void OnCommand(HWND dialog, ProgressDlgArgs* args, int id) {
    ImageConvertParams* p = args->Params;
    if (id == IDCANCEL) {
        // Only a request: the worker asks the stop question at its next check.
        Shared(p->CancelRequested).store(1);
    } else if (id == IDC_PROGRESS_PREVIEW_ON) {
        Shared(p->PreviewEnabled).store(IsDlgButtonChecked(dialog, IDC_PROGRESS_PREVIEW_ON) == BST_CHECKED ? 1 : 0);
    }
}

void OnSize(HWND dialog, ProgressDlgArgs* args, int w, int h) {
    int dw = w - g_layout.width, dh = h - g_layout.height;
    for (Tracked& t : g_layout.controls) {
        switch (t.id) {
        case IDC_PROGRESS_DESCRIPTION: t.b += dh; break;
        case IDC_PROGRESS_PREVIEW: t.a += dw; t.b += dh; break;
        default: t.a += dw; break;
        }
    }
    if (dw == 0 && dh == 0) return;
    g_layout.width = w;
    g_layout.height = h;

    HWND preview = GetDlgItem(dialog, IDC_PROGRESS_PREVIEW);
    for (const Tracked& t : g_layout.controls) {
        HWND control = GetDlgItem(dialog, t.id);
        RECT r;
        WinKit_GetChildRect(control, &r);
        int left = r.left, top = r.top, cw = t.a, ch = t.b;
        if (t.keepsPosition) {
            RECT pr;
            WinKit_GetChildRect(preview, &pr);
            left = pr.left;
            top = t.b;
            cw = pr.right - pr.left;
            ch = r.bottom - r.top;
        }
        if (cw < 0) cw = 0;
        if (ch < 0) ch = 0;
        if (t.id == IDC_PROGRESS_PREVIEW && cw > 0 && ch > kPreviewCaptionLine) {
            LayoutPreview(control, args->Params, cw, ch);
            MoveWindow(control, left, top, cw, ch, TRUE);
        } else {
            MoveWindow(control, left, top, cw, ch, TRUE);
            InvalidateRect(control, nullptr, TRUE);
        }
        UpdateWindow(control);
    }
}

// Waits for the worker to end, serving the messages it sends meanwhile (or
// it could never get to its next check, nor through its last EndDialog).
// False when it is still running after `ms`.
bool WaitForWorker(HANDLE thread, DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        DWORD waited = GetTickCount() - start;
        if (waited >= ms) return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
        DWORD r = MsgWaitForMultipleObjects(1, &thread, FALSE, ms - waited, QS_SENDMESSAGE);
        if (r == WAIT_OBJECT_0) return true;
        if (r == WAIT_FAILED) return false;
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    }
}

// The dialog returns its result only after the worker has ended, so the
// host may unload the library at once: no thread runs its code any more.
// A worker that ended the dialog itself is past its run and only returning;
// when the dialog goes while the run is still on, the worker is asked to
// stop and given a bounded time.
void OnDestroy(HWND dialog, ProgressDlgArgs* args) {
    bool ended = RemovePropA(dialog, kWorkerEndedProp) != nullptr;
    HANDLE thread = SharedHandle(args->WorkerThread).exchange(nullptr);
    if (!thread) return;
    if (!ended) Shared(args->Params->StopRequested).store(1);
    if (!WaitForWorker(thread, ended ? kEndedWorkerWaitMs : kStopWaitMs)) {
        // Last resort: it may hold a lock, but it would run on in a library
        // about to go. So would the threads converting files for it, which
        // it can no longer end.
        TerminateThread(thread, 0);
        // Ending is asynchronous: its pools are ended once it is gone.
        WaitForSingleObject(thread, kEndedThreadWaitMs);
        Batch_EndPoolThreadsOf(args->Params, kPoolGraceMs);
    }
    CloseHandle(thread);
}

INT_PTR Dispatch(HWND dialog, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_INITDIALOG) {
        auto* args = reinterpret_cast<ProgressDlgArgs*>(lp);
        SetWindowLongPtrA(dialog, GWLP_USERDATA, lp);
        if (!args || !args->Params) {
            EndDialog(dialog, 2);
            return 0;
        }
        return OnInit(dialog, args);
    }
    ProgressDlgArgs* args = ArgsOf(dialog);
    if (!args || !args->Params) return 0;  // WM_SETFONT and friends come first
    switch (msg) {
    case WM_COMMAND:
        OnCommand(dialog, args, LOWORD(wp));
        break;
    case WM_SIZE:
        OnSize(dialog, args, LOWORD(lp), HIWORD(lp));
        break;
    case WM_DESTROY:
        OnDestroy(dialog, args);
        break;
    case kAskStopMessage:
        SetWindowLongPtrA(dialog, DWLP_MSGRESULT, Batch_ShowStopQuestion(dialog));
        return TRUE;
    }
    return 0;
}

}  // namespace

unsigned __stdcall ConvertWorker(void* param) {
    // The dialog finishes opening meanwhile.
    Sleep(kWorkerStartDelayMs);
    auto* args = static_cast<ProgressDlgArgs*>(param);
    if (!args || !args->Params) return 0;
    ImageConvertParams* p = args->Params;
    HWND dialog = p->ProgressWindow;
    HWND indicator = GetDlgItem(dialog, IDC_PROGRESS_INDICATOR);

    pmImageConvert_LogOperate(p, kLogBegin, nullptr, 0, 0);
    pmImageConvert_CreateFile(&args->Files, p);
    SendMessageA(indicator, PPM_HOLD, 0, 0);
    pmImageConvert_LogOperate(p, kLogEnd, nullptr, 0, 0);
    SendMessageA(indicator, PPM_RESUME, 0, 0);

    // The dialog waits for this thread when it goes (see OnDestroy) and
    // closes its handle; nothing here may touch `args` after EndDialog.
    SetPropA(dialog, kWorkerEndedProp, reinterpret_cast<HANDLE>(1));
    EndDialog(dialog, Shared(p->StopRequested).load() ? 2 : 1);
    return 0;
}

extern "C" INT_PTR PM_API pmImageConvert_ProgressDlg(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        return Dispatch(dialog, message, wParam, lParam);
    } catch (...) {
        return 0;
    }
}
