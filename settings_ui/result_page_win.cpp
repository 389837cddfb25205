// The processing result page: the log file and what happens when a run
// ends. All but the log path are FileMode bits.
#include "settings_ui/result_page_ids.h"
#include "settings_ui/settings_pages.h"

#include "makerlibs/pmwinkit.h"

#include <cstring>

namespace {

constexpr int kEditLimit = 260;

constexpr PageFlagBox kFlags[] = {
    {IDC_RESULT_LOGINOUTPUT, FILEMODE_LOGINOUTPUT, false},
    {IDC_RESULT_ERRORSONLY, FILEMODE_LOGERRORSONLY, false},
    {IDC_RESULT_OVERWRITE, FILEMODE_LOGAPPEND, true},  // the box says "overwrite", the bit "append"
    {IDC_RESULT_ENDMESSAGE, FILEMODE_ENDMESSAGE, false},
    {IDC_RESULT_OPENFOLDER, FILEMODE_OPENFOLDER, false},
};

void StoreLogFile(HWND page, ImageConvertParams* p) {
    GetDlgItemTextA(page, IDC_RESULT_LOGFILE, p->LogFile, kPathBuffer);
    Page_NotifyChanged(page);
}

// While the log goes into the output folder the path is kept but unused.
void ShowLogInOutput(HWND page, const ImageConvertParams* p) {
    bool inOutput = (p->FileMode & FILEMODE_LOGINOUTPUT) != 0;
    SendDlgItemMessageA(page, IDC_RESULT_LOGFILE, EM_SETREADONLY, inOutput, 0);
    EnableWindow(GetDlgItem(page, IDC_RESULT_BROWSE), !inOutput);
}

void Browse(HWND page, ImageConvertParams* p) {
    char file[kPathBuffer];
    memcpy(file, p->LogFile, sizeof file);
    file[kPathBuffer - 1] = '\0';
    if (!Page_ChooseFile(page, "ﾃｷｽﾄﾌｧｲﾙ(*.txt)\0*.txt\0", "txt", file, true)) return;
    SetDlgItemTextA(page, IDC_RESULT_LOGFILE, file);
    StoreLogFile(page, p);
}

void OnCommand(HWND page, int id, int code) {
    ImageConvertParams* p = Page_Params(page);
    if (!p) return;
    switch (id) {
    case IDC_RESULT_LOGFILE:
        if (code == 0 || code == EN_CHANGE || code == EN_UPDATE) StoreLogFile(page, p);
        return;
    case IDC_RESULT_BROWSE:
        Browse(page, p);
        return;
    default:
        if (!Page_StoreFlag(page, id, &p->FileMode, kFlags)) return;
        ShowLogInOutput(page, p);
        break;
    }
    Page_NotifyChanged(page);
}

INT_PTR OnLoad(HWND page, WPARAM first) {
    ImageConvertParams* p = Page_Params(page);
    if (!p) return Page_Answer(page, 0);
    if (first == 1) SendDlgItemMessageA(page, IDC_RESULT_LOGFILE, EM_LIMITTEXT, kEditLimit, 0);
    p->LogFile[kPathBuffer - 1] = '\0';
    WinKit_SetText(GetDlgItem(page, IDC_RESULT_LOGFILE), p->LogFile);
    Page_ShowFlags(page, p->FileMode, kFlags);
    ShowLogInOutput(page, p);
    Page_OfferFocus(page, static_cast<int>(first), IDC_RESULT_LOGFILE);
    return Page_Answer(page, 1);
}

}  // namespace

INT_PTR CALLBACK ResultPageProc(HWND page, UINT message, WPARAM wParam, LPARAM) {
    return Page_Dispatch(page, message, wParam, OnLoad, OnCommand);
}
