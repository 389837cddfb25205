// Every static text of every dialog and page fits its control in the
// dialog's own font (on this machine, the Japanese font's substitute), so no
// label loses its last characters or its second line. Texts that the
// program sets at run time are measured with a long text of their kind.
#include "batch/progress_ids.h"
#include "resources/resource_ids.h"
#include "makerlibs/pmimgkit_win.h"
#include "makerlibs/pmpreview.h"
#include "makerlibs/pmwin.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct RunTimeText {
    int dialog, control;
    const char* text;
};
// The preview caption: the size, the colours, and the written file.
const RunTimeText kRunTimeTexts[] = {
    {IDD_PROGRESS, IDC_PROGRESS_DESCRIPTION, "1024 x 768 ﾋﾟｸｾﾙ, 16777216色(24ﾋﾞｯﾄ)\n24ﾋﾞｯﾄbitmapﾌｧｲﾙ"},
};

BOOL CALLBACK CollectDialog(HMODULE, LPCSTR, LPSTR name, LONG_PTR list) {
    if (IS_INTRESOURCE(name)) reinterpret_cast<std::vector<int>*>(list)->push_back(int(reinterpret_cast<ULONG_PTR>(name)));
    return TRUE;
}

INT_PTR CALLBACK Inert(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// Why a static's text does not fit its control, or "".
std::string Overflow(HWND control, const char* text) {
    RECT client;
    GetClientRect(control, &client);
    const LONG style = GetWindowLongA(control, GWL_STYLE);
    const LONG kind = style & SS_TYPEMASK;
    UINT format = DT_CALCRECT | DT_EXPANDTABS;
    if (style & SS_NOPREFIX) format |= DT_NOPREFIX;
    if (kind == SS_LEFTNOWORDWRAP || kind == SS_SIMPLE) format |= DT_SINGLELINE;
    else format |= DT_WORDBREAK;
    HDC dc = GetDC(control);
    HFONT font = reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0));
    HGDIOBJ old = SelectObject(dc, font ? font : GetStockObject(DEFAULT_GUI_FONT));
    RECT need{0, 0, client.right, 0};
    DrawTextA(dc, text, -1, &need, format);
    RECT line{0, 0, 0, 0};  // for the message: the width the text's longest line takes
    DrawTextA(dc, text, -1, &line, (format & ~UINT(DT_WORDBREAK)) | DT_CALCRECT);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    std::string why;
    if (need.right > client.right)
        why += "needs " + std::to_string(need.right) + " px across, has " + std::to_string(client.right) + "; ";
    if (need.bottom > client.bottom)
        why += "needs " + std::to_string(need.bottom) + " px down, has " + std::to_string(client.bottom) +
               " (its longest line is " + std::to_string(line.right) + " px, " + std::to_string(client.right) +
               " across)";
    return why;
}

}  // namespace

TEST(Labels, EveryStaticTextFitsItsControlInTheDialogsFont) {
    HINSTANCE module = GetModuleHandleA(nullptr);
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_TREEVIEW_CLASSES | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    ImgKit_RegisterClasses(module);
    Preview_RegisterClasses(module);
    std::vector<int> dialogs;
    EnumResourceNamesA(module, MAKEINTRESOURCEA(5), CollectDialog, reinterpret_cast<LONG_PTR>(&dialogs));  // RT_DIALOG
    ASSERT_GE(dialogs.size(), 10u);
    // Pages are child windows: they are made inside a hidden frame.
    HWND frame = CreateWindowA("STATIC", "", WS_POPUP, 0, 0, 800, 800, nullptr, nullptr, module, nullptr);
    ASSERT_NE(frame, nullptr);
    int measured = 0;
    for (int id : dialogs) {
        HWND dialog = CreateDialogParamA(module, MAKEINTRESOURCEA(id), frame, Inert, 0);
        if (!dialog) {
            ADD_FAILURE() << "dialog " << id << " could not be made: " << GetLastError();
            continue;
        }
        for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
            char cls[32] = "";
            GetClassNameA(c, cls, sizeof cls);
            LONG kind = GetWindowLongA(c, GWL_STYLE) & SS_TYPEMASK;
            if (lstrcmpiA(cls, "Static") != 0 || (kind > SS_RIGHT && kind != SS_SIMPLE && kind != SS_LEFTNOWORDWRAP))
                continue;
            std::string text(1024, '\0');
            text.resize(size_t(GetWindowTextA(c, text.data(), int(text.size()))));
            for (const RunTimeText& r : kRunTimeTexts)
                if (r.dialog == id && r.control == GetDlgCtrlID(c)) text = r.text;
            if (text.empty()) continue;
            ++measured;
            std::string why = Overflow(c, text.c_str());
            EXPECT_EQ(why, "") << "dialog " << id << ", control " << GetDlgCtrlID(c) << ": \"" << text << "\"";
        }
        DestroyWindow(dialog);
    }
    DestroyWindow(frame);
    EXPECT_GT(measured, 30);
}
