// Opens the settings dialog of PIXMILUI.DLL (beside this program) on one
// page and saves a picture of it as a BMP file, then closes it without
// saving anything. Used to look at the dialog's layout under Xvfb.
//   settings_shot NODE OUTPUTTYPE OUT.BMP
// NODE is the page's position in the tree's page table (0 to 7); OUTPUTTYPE
// the output image type code whose save options the output page shows.
#include "entry/params.h"
#include "makerlibs/pmwin.h"
#include "resources/resource_ids.h"

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using GetIniFn = int(WINAPI*)(ImageConvertParams*, const char*);

DLGPROC g_settingsProc;
const char* g_outFile;
int g_exitCode = 1;
constexpr UINT_PTR kShotTimer = 77;

bool SaveWindowPicture(HWND window, const char* path) {
    RECT rc;
    GetWindowRect(window, &rc);
    int w = rc.right - rc.left, h = rc.bottom - rc.top;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (bitmap) {
        HGDIOBJ old = SelectObject(mem, bitmap);
        BitBlt(mem, 0, 0, w, h, screen, rc.left, rc.top, SRCCOPY);
        SelectObject(mem, old);
        GdiFlush();
        DWORD stride = (static_cast<DWORD>(w) * 3 + 3) & ~3u;
        BITMAPFILEHEADER file{};
        file.bfType = 0x4D42;
        file.bfOffBits = sizeof file + sizeof info.bmiHeader;
        file.bfSize = file.bfOffBits + stride * h;
        if (FILE* f = fopen(path, "wb")) {
            ok = fwrite(&file, sizeof file, 1, f) == 1 && fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, f) == 1 &&
                 fwrite(bits, stride, h, f) == static_cast<size_t>(h);
            ok = fclose(f) == 0 && ok;
        }
        DeleteObject(bitmap);
    }
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return ok;
}

INT_PTR CALLBACK ShotProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER && wParam == kShotTimer) {
        KillTimer(dialog, kShotTimer);
        g_exitCode = SaveWindowPicture(dialog, g_outFile) ? 0 : 1;
        // Ends without Save or Cancel: nothing is written.
        EndDialog(dialog, 0);
        return TRUE;
    }
    INT_PTR result = g_settingsProc(dialog, message, wParam, lParam);
    // The pages paint after the dialog shows; give them time.
    if (message == WM_INITDIALOG) {
        char delay[16] = "";
        GetEnvironmentVariableA("PM_SHOT_DELAY_MS", delay, sizeof delay);
        SetTimer(dialog, kShotTimer, delay[0] ? static_cast<UINT>(atoi(delay)) : 1500, nullptr);
    }
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: settings_shot NODE OUTPUTTYPE OUT.BMP\n");
        return 2;
    }
    g_outFile = argv[3];
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TREEVIEW_CLASSES | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    HMODULE ui = LoadLibraryA("PIXMILUI.DLL");
    if (!ui) {
        fprintf(stderr, "settings_shot: PIXMILUI.DLL not found\n");
        return 1;
    }
    g_settingsProc = reinterpret_cast<DLGPROC>(
        reinterpret_cast<void*>(GetProcAddress(ui, "pmImageConvert_InitParamsDlg")));
    auto getIni = reinterpret_cast<GetIniFn>(
        reinterpret_cast<void*>(GetProcAddress(ui, "pmImageConvert_GetPrivateIniFile")));
    if (!g_settingsProc || !getIni) {
        fprintf(stderr, "settings_shot: exports missing\n");
        return 1;
    }
    static InitParamsDlgArgs args;
    args.Size = kInitParamsDlgArgsSize;
    getIni(&args.Params, nullptr);
    args.Params.CurNode = atoi(argv[1]);
    args.Params.WriteImageType = atoi(argv[2]);
    args.Params.Instance = ui;
    static char iniFile[] = "C:\\PIXMILL-SHOT.INI";
    static char helpPage[] = "C:\\HELP\\topics.htm";
    args.Params.IniFile = iniFile;
    args.Params.HelpPage = helpPage;
    DialogBoxParamA(ui, MAKEINTRESOURCEA(IDD_SETTINGS), nullptr, ShotProc, reinterpret_cast<LPARAM>(&args));
    return g_exitCode;
}
