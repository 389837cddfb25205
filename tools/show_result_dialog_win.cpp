// Opens the result dialog over a sample run record: a few failed files, one
// with a system error, and a folder creation error. Arguments:
//   stopped        the run was stopped by the user
//   close=MS       press OK after MS milliseconds (for screenshots)
#include "records/result_dialog_ids.h"
#include "records/run_records.h"
#include "resources/resource_ids.h"

#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

BOOL CALLBACK FindDialog(HWND w, LPARAM lp) {
    char cls[16];
    GetClassNameA(w, cls, sizeof cls);
    if (std::strcmp(cls, "#32770") != 0) return TRUE;
    *reinterpret_cast<HWND*>(lp) = w;
    return FALSE;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    bool stopped = false;
    int closeAfter = 0;
    for (int i = 1; i < __argc; ++i) {
        if (std::strcmp(__argv[i], "stopped") == 0) stopped = true;
        if (std::strncmp(__argv[i], "close=", 6) == 0) closeAfter = std::atoi(__argv[i] + 6);
    }

    static ImageConvertParams params;
    params.Instance = instance;
    params.StartTime = {2026, 12, 1, 7, 9, 5, 7, 120};
    params.EndTime = {2026, 12, 1, 7, 9, 6, 31, 480};
    params.ProcessedCount = 128;
    params.SucceededCount = 125;
    params.StopRequested = stopped;
    pmImageConvert_LogOperate(&params, kLogAddError, "C:\\写真\\2026\\旅行\\表紙.jpg", kErrRead, 0);
    pmImageConvert_LogOperate(&params, kLogAddError, "C:\\写真\\2026\\ソフト\\画面.png", kErrOpenInput, ERROR_ACCESS_DENIED);
    pmImageConvert_LogOperate(&params, kLogAddError, "C:\\写真\\2026\\アニメ.gif", kErrStopped, 0);
    pmImageConvert_LogOperate(&params, kLogAddError, "D:\\出力\\Vimoｻﾑﾈｲﾙ", kErrCreateFolder, ERROR_DISK_FULL);

    if (closeAfter > 0) {
        DWORD mainThread = GetCurrentThreadId();
        std::thread([mainThread, closeAfter] {
            Sleep(closeAfter);
            HWND dlg = nullptr;
            EnumThreadWindows(mainThread, FindDialog, reinterpret_cast<LPARAM>(&dlg));
            if (dlg) PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(IDC_RESULT_OK, BN_CLICKED), 0);
        }).detach();
    }
    ResultDlgArgs args{kResultDlgArgsSize, &params};
    INT_PTR result = DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_RESULT_DIALOG), nullptr, ResultDlgProc,
                                     reinterpret_cast<LPARAM>(&args));
    return static_cast<int>(result);
}
