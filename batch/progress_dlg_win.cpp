// The progress dialog of a batch run and its worker thread. The dialog owns
// the user interface (texts, counters, indicator, preview, Cancel); the
// worker does the run and tells the dialog when it is over. They share only
// the run-state fields of the settings record, and the run (see DialogRun).
#include "batch/batch_run.h"
#include "batch/progress_ids.h"
#include "makerlibs/pmcore.h"
#include "makerlibs/pmfilelist.h"
#include "makerlibs/pmpreview.h"
#include "makerlibs/pmwinkit.h"
#include "records/run_records.h"

#include <process.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr int kPreviewCaptionLine = 20;
// What a worker still converting gets to end when the dialog goes; after
// it the dialog returns and the worker ends on its own (see DialogRun).
constexpr DWORD kStopWaitMs = 3000;
// A worker that told the dialog its result is only returning, but a bound
// keeps a host from hanging on a machine that has stopped scheduling it.
constexpr DWORD kEndedWorkerWaitMs = 30000;
constexpr char kRunProp[] = "PmBatchRun";
// Posted by the dialog to itself: once it arrives the dialog has opened and
// every handler of its first message has returned, so the worker may start.
constexpr UINT kOpenedMessage = WM_APP + 0x52;
// Posted by the worker when the run is over, with the dialog's result: the
// dialog ends itself on its own thread.
constexpr UINT kRunOverMessage = WM_APP + 0x53;

// One run, shared by the dialog that starts it and its worker, and freed by
// whichever of the two lets go last: a worker may outlive its dialog (a
// conversion that does not end when asked), so it reads nothing the host
// owns (the host frees its file list once the dialog has returned) and
// holds the module that holds its code.
struct DialogRun {
    std::atomic<int> holders{2};
    std::atomic<bool> stop{false};  // the dialog went mid-run; written by the dialog only
    std::atomic<bool> over{false};  // the worker has posted its result
    HANDLE go = nullptr;            // set when the dialog has opened, or went first
    HWND dialog = nullptr;
    ImageConvertParams* params = nullptr;
    std::vector<std::string> paths;
    std::vector<char*> pathPointers;
    FileList files{};
    bool ownsFiles = false;  // a list of the real (wide) names, made for the run
    HMODULE pinned = nullptr;

    void Release() {
        if (holders.fetch_sub(1) != 1) return;
        if (go) CloseHandle(go);
        if (ownsFiles) FileList_Free(&files);
        delete this;
    }
};

thread_local const std::atomic<bool>* t_runStop = nullptr;

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
std::atomic_ref<HWND> SharedWindow(HWND& field) { return std::atomic_ref<HWND>(field); }

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

std::string NarrowForDisplay(const wchar_t* wide) { return Core_NarrowForDisplay(wide); }

DialogRun* RunOf(HWND dialog) { return static_cast<DialogRun*>(GetPropA(dialog, kRunProp)); }

// The module this code lives in, with a reference of its own; null when it
// is built into the program, whose image never goes.
HMODULE PinOwnModule() {
    HMODULE self = nullptr;
    auto address = reinterpret_cast<LPCWSTR>(&ConvertWorker);
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            address, &self) ||
        self == GetModuleHandleW(nullptr))
        return nullptr;
    HMODULE pinned = nullptr;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, address, &pinned) ? pinned : nullptr;
}

// The run with its own copy of the file list, and its worker started; the
// worker waits until the dialog has opened. Null when either could not be
// made.
DialogRun* StartWorker(HWND dialog, ProgressDlgArgs* args) {
    auto* run = new (std::nothrow) DialogRun;
    if (!run) return nullptr;
    run->dialog = dialog;
    run->params = args->Params;
    // A list of real names keeps each entry's wide text where only its own
    // block holds it: the copy must be such a list too, or the walk would
    // reach the files through their narrow texts (or read past the copy).
    const int count = args->Files.Paths ? args->Files.Count : 0;
    if (count > 0 && FileList_WidePath(&args->Files, 0)) {
        std::vector<const wchar_t*> wide;
        try {
            for (int i = 0; i < count; ++i) wide.push_back(FileList_WidePath(&args->Files, i));
        } catch (...) {
            delete run;
            return nullptr;
        }
        if (FileList_FromWideItems(count, wide.data(), &run->files, NarrowForDisplay) != count) {
            FileList_Free(&run->files);
            delete run;
            return nullptr;
        }
        run->ownsFiles = true;
    } else try {
        for (int i = 0; i < count; ++i) run->paths.emplace_back(args->Files.Paths[i] ? args->Files.Paths[i] : "");
        for (int i = 0; i < count; ++i)
            run->pathPointers.push_back(args->Files.Paths[i] ? run->paths[size_t(i)].data() : nullptr);
    } catch (...) {
        delete run;
        return nullptr;
    }
    if (!run->ownsFiles) {
        run->files = FileList{};
        run->files.Count = args->Files.Count;
        run->files.Paths = args->Files.Paths ? run->pathPointers.data() : nullptr;
    }
    run->go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!run->go || !SetPropA(dialog, kRunProp, run)) {
        if (run->go) CloseHandle(run->go);
        if (run->ownsFiles) FileList_Free(&run->files);
        delete run;
        return nullptr;
    }
    // Taken here, before the thread exists: a host that unloads the
    // library as soon as the dialog returns finds it still held.
    run->pinned = PinOwnModule();
    auto thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ConvertWorker, run, 0, nullptr));
    if (!thread) {
        RemovePropA(dialog, kRunProp);
        if (run->pinned) FreeLibrary(run->pinned);
        CloseHandle(run->go);
        if (run->ownsFiles) FileList_Free(&run->files);
        delete run;
        return nullptr;
    }
    SharedHandle(args->WorkerThread).store(thread);
    return run;
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

    DialogRun* run = StartWorker(dialog, args);
    if (!run) {
        // Without a worker nothing would ever end the dialog.
        EndDialog(dialog, 2);
        return 0;
    }
    PostMessageA(dialog, kOpenedMessage, 0, 0);
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

// The dialog returns its result once its worker has ended, so a host may
// unload the library at once. A worker that posted the result is only
// returning. When the dialog goes while the run is on, the run is asked to
// stop (it looks at every entry, frame and wait) and gets a bounded time;
// nothing ends a thread from outside, which could leave a lock held for
// good. A worker still converting after it ends on its own: it holds the
// module and its own copy of the run, and touches the dialog no more.
void OnDestroy(HWND dialog, ProgressDlgArgs* args) {
    auto* run = static_cast<DialogRun*>(RemovePropA(dialog, kRunProp));
    HANDLE thread = SharedHandle(args->WorkerThread).exchange(nullptr);
    bool over = !run || run->over.load();
    if (run && !over) {
        run->stop.store(true);
        SharedWindow(args->Params->ProgressWindow).store(nullptr);
    }
    // A dialog gone before it finished opening releases its worker too.
    if (run) SetEvent(run->go);
    if (thread) {
        WaitForWorker(thread, over ? kEndedWorkerWaitMs : kStopWaitMs);
        CloseHandle(thread);
    }
    if (run) run->Release();
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
        // A dialog on its way out asks nothing: its run is stopping.
        SetWindowLongPtrA(dialog, DWLP_MSGRESULT, RunOf(dialog) ? Batch_ShowStopQuestion(dialog) : IDYES);
        return TRUE;
    case kOpenedMessage:
        if (DialogRun* run = RunOf(dialog)) SetEvent(run->go);
        break;
    case kRunOverMessage:
        if (DialogRun* run = RunOf(dialog)) {
            run->over.store(true);
            EndDialog(dialog, INT_PTR(wp));
        }
        break;
    }
    return 0;
}

}  // namespace

unsigned __stdcall ConvertWorker(void* param) {
    auto* run = static_cast<DialogRun*>(param);
    // The dialog sets it once it has opened, or when it goes first; either
    // way it comes.
    WaitForSingleObject(run->go, INFINITE);
    ImageConvertParams* p = run->params;
    if (!run->stop.load()) {
        Batch_SetRunStop(&run->stop);
        HWND indicator = GetDlgItem(run->dialog, IDC_PROGRESS_INDICATOR);
        pmImageConvert_LogOperate(p, kLogBegin, nullptr, 0, 0);
        pmImageConvert_CreateFile(&run->files, p);
        SendMessageA(indicator, PPM_HOLD, 0, 0);
        pmImageConvert_LogOperate(p, kLogEnd, nullptr, 0, 0);
        SendMessageA(indicator, PPM_RESUME, 0, 0);
        Batch_SetRunStop(nullptr);
        PostMessageA(run->dialog, kRunOverMessage, Shared(p->StopRequested).load() ? 2 : 1, 0);
    }
    HMODULE pinned = run->pinned;
    run->Release();
    // Returning would run on in code a host may have unloaded meanwhile.
    if (pinned) FreeLibraryAndExitThread(pinned, 0);
    return 0;
}

void Batch_SetRunStop(const std::atomic<bool>* stop) { t_runStop = stop; }

bool Batch_RunStopRequested() {
    const std::atomic<bool>* stop = t_runStop;
    return stop && stop->load();
}

extern "C" INT_PTR PM_API pmImageConvert_ProgressDlg(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        return Dispatch(dialog, message, wParam, lParam);
    } catch (...) {
        return 0;
    }
}
