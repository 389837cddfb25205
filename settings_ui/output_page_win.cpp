// The output file type page and its save option sub-pages. The page keeps
// one sub-page per writable format inside its "保存オプション" frame and
// shows the one of the chosen type; every sub-page edits the one SaveOptions
// block of the live record (WebP its own record among the extras), so
// switching types loses nothing.
#include "settings_ui/output_page_ids.h"
#include "settings_ui/settings_pages.h"

#include "makerlibs/pmimgkit.h"
#include "makerlibs/pmwinkit.h"
#include "resources/resource_ids.h"

#include <commctrl.h>

namespace {

constexpr int kTypeNameDisplay = 1;

// GIF and PNG store "interlaced", JPEG stores "progressive": the first two
// items mean opposite values for them.
constexpr PageComboItem kInterlaceScans[] = {
    {"ﾌﾟﾛｸﾞﾚｯｼﾌﾞ(ﾉﾝｲﾝﾀｰﾚｰｽ)", 0},
    {"ｲﾝﾀｰﾚｰｽ", 1},
    {"入力ｲﾒｰｼﾞの走査方法を適用", 2},
};
constexpr PageComboItem kProgressiveScans[] = {
    {"ﾌﾟﾛｸﾞﾚｯｼﾌﾞ(ﾉﾝｲﾝﾀｰﾚｰｽ)", 1},
    {"ｲﾝﾀｰﾚｰｽ", 0},
    {"入力ｲﾒｰｼﾞの走査方法を適用", 2},
};

// The lists of each sub-page, over the SaveOptions block.
const PageCombo kGifCombos[] = {
    {IDC_OPT_SCAN, PAGE_FIELD(SaveOptions, Gif_Interlace), kInterlaceScans},
};
const PageCombo kPngCombos[] = {
    {IDC_OPT_SCAN, PAGE_FIELD(SaveOptions, Png_Interlace), kInterlaceScans},
};
const PageCombo kJpegCombos[] = {
    {IDC_OPT_JPEGSCAN, PAGE_FIELD(SaveOptions, Jpeg_Progressive), kProgressiveScans},
};

struct SubPageKind {
    int ImageType;
    WORD Template;
    std::span<const PageCombo> Combos;
};
const SubPageKind kSubPages[] = {
    {kTypeGif, IDD_OPT_GIF, kGifCombos},
    {kTypePng, IDD_OPT_PNG, kPngCombos},
    {kTypeBmp, IDD_OPT_BMP, {}},
    {kTypeTiff, IDD_OPT_TIFF, {}},
    {kTypeJpeg, IDD_OPT_JPEG, kJpegCombos},
    {kTypeWebp, IDD_OPT_WEBP, {}},
};

const SubPageKind* KindOf(int type) {
    for (const SubPageKind& k : kSubPages)
        if (k.ImageType == type) return &k;
    return nullptr;
}

// --- sub-pages ---------------------------------------------------------

SaveOptionPage* SlotOf(HWND sub) {
    return reinterpret_cast<SaveOptionPage*>(GetWindowLongPtrA(sub, DWLP_USER));
}

// A sub-page's parent is the output page, whose frame holds the extras.
ImageConvertExtras* SubPageExtras(HWND sub) { return Page_Extras(GetParent(sub)); }

void SetUpQualityBar(HWND sub) {
    HWND quality = GetDlgItem(sub, IDC_OPT_QUALITY);
    SendMessageA(quality, TBM_SETRANGE, FALSE, MAKELPARAM(0, 100));
    SendMessageA(quality, TBM_SETPAGESIZE, 0, 10);
    SendMessageA(quality, TBM_SETTICFREQ, 10, 0);
}

int QualityBarValue(HWND sub) {
    LRESULT pos = SendDlgItemMessageA(sub, IDC_OPT_QUALITY, TBM_GETPOS, 0, 0);
    return pos < 0 ? 0 : pos > 100 ? 100 : int(pos);
}

// Lossless has no quality: the bar is shown but cannot be moved then.
void LoadWebpPage(HWND sub, bool first) {
    const ImageConvertExtras* x = SubPageExtras(sub);
    if (!x) return;
    if (first) SetUpQualityBar(sub);
    SendDlgItemMessageA(sub, IDC_OPT_QUALITY, TBM_SETPOS, TRUE, x->Webp.Quality);
    CheckDlgButton(sub, IDC_OPT_LOSSLESS, x->Webp.Lossless ? BST_CHECKED : BST_UNCHECKED);
    EnableWindow(GetDlgItem(sub, IDC_OPT_QUALITY), !x->Webp.Lossless);
}

void LoadSubPage(HWND sub, SaveOptionPage* slot, bool first) {
    const SubPageKind* kind = KindOf(slot->ImageType);
    if (!kind) return;
    if (slot->ImageType == kTypeWebp) {
        LoadWebpPage(sub, first);
        return;
    }
    SaveOptions& o = *slot->Options;
    if (first) Page_FillCombos(sub, kind->Combos);
    Page_ShowCombos(sub, &o, kind->Combos);
    // The two controls that are no list: only 1 means RLE; the quality bar.
    if (slot->ImageType == kTypeBmp)
        CheckDlgButton(sub, IDC_OPT_RLE, o.Bmp_Comp == 1 ? BST_CHECKED : BST_UNCHECKED);
    if (slot->ImageType == kTypeJpeg) {
        if (first) SetUpQualityBar(sub);
        SendDlgItemMessageA(sub, IDC_OPT_QUALITY, TBM_SETPOS, TRUE, o.Jpeg_Quality);
    }
}

void SubPageCommand(HWND sub, SaveOptionPage* slot, int id, int code) {
    const SubPageKind* kind = KindOf(slot->ImageType);
    if (!kind) return;
    SaveOptions& o = *slot->Options;
    if (slot->ImageType == kTypeWebp) {
        ImageConvertExtras* x = SubPageExtras(sub);
        if (!x || id != IDC_OPT_LOSSLESS || code != BN_CLICKED) return;
        x->Webp.Lossless = IsDlgButtonChecked(sub, id) == BST_CHECKED ? 1 : 0;
        EnableWindow(GetDlgItem(sub, IDC_OPT_QUALITY), !x->Webp.Lossless);
    } else if (slot->ImageType == kTypeBmp && id == IDC_OPT_RLE)
        o.Bmp_Comp = IsDlgButtonChecked(sub, id) == BST_CHECKED ? 1 : 0;
    else if (!Page_StoreCombo(sub, id, code, &o, kind->Combos))
        return;
    Page_NotifyChanged(sub);
}

// Only the end of a drag or of a key press stores the quality, so a drag in
// progress does not count as a change.
void SubPageScroll(HWND sub, SaveOptionPage* slot, int code) {
    if (code != TB_ENDTRACK) return;
    if (slot->ImageType == kTypeJpeg) {
        slot->Options->Jpeg_Quality = static_cast<uint8_t>(QualityBarValue(sub));
    } else if (ImageConvertExtras* x = SubPageExtras(sub); x && slot->ImageType == kTypeWebp) {
        x->Webp.Quality = QualityBarValue(sub);
    } else {
        return;
    }
    Page_NotifyChanged(sub);
}

INT_PTR SubPageDispatch(HWND sub, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrA(sub, DWLP_USER, lParam);
        SendMessageA(sub, WM_PARAMS_LOAD, 1, 0);
        return FALSE;
    }
    SaveOptionPage* slot = SlotOf(sub);
    if (!slot || !slot->Options) return FALSE;
    switch (message) {
    case WM_PARAMS_LOAD:
        LoadSubPage(sub, slot, wParam == 1);
        return Page_Answer(sub, 1);
    case WM_COMMAND:
        SubPageCommand(sub, slot, LOWORD(wParam), HIWORD(wParam));
        return FALSE;
    case WM_HSCROLL:
        SubPageScroll(sub, slot, LOWORD(wParam));
        return FALSE;
    }
    return FALSE;
}

// --- the page ------------------------------------------------------------

// The outputs whose writers store the camera's data (the others are written
// without it): the check box promises nothing for the rest, and keeps its
// state for when such a type is chosen again.
bool CarriesMetadata(int type) {
    return type == kTypeJpeg || type == kTypePng || type == kTypeTiff || type == kTypeWebp;
}

void OnTypeCommand(HWND page, int code) {
    if (code != 0 && code != CBN_SELCHANGE) return;
    ImageConvertParams* p = Page_Params(page);
    InitParamsDlgState* st = Page_ShellState(page);
    LPARAM data;
    if (!p || !st || !Page_SelectedComboData(GetDlgItem(page, IDC_OUTPUT_TYPE), &data)) return;
    auto* chosen = reinterpret_cast<SaveOptionPage*>(data);
    p->WriteImageType = chosen->ImageType;
    for (SaveOptionPage& slot : st->SaveOptionPages)
        if (slot.Window && &slot != chosen) ShowWindow(slot.Window, SW_HIDE);
    if (chosen->Window) ShowWindow(chosen->Window, SW_SHOW);
    EnableWindow(GetDlgItem(page, IDC_OUTPUT_KEEPMETA), CarriesMetadata(chosen->ImageType));
    Page_NotifyChanged(page);
}

// The inside of the "保存オプション" group box, where the sub-pages live, in
// page coordinates; empty when the page has no group box.
RECT InsideOptionFrame(HWND page) {
    RECT inside{};
    for (HWND child = GetWindow(page, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        char cls[16] = "";
        GetClassNameA(child, cls, sizeof cls);
        if (lstrcmpiA(cls, "Button") != 0 || (GetWindowLongA(child, GWL_STYLE) & BS_TYPEMASK) != BS_GROUPBOX)
            continue;
        WinKit_GetChildRect(child, &inside);
        InflateRect(&inside, -2, -2);
        break;
    }
    return inside;
}

void CreateSubPages(HWND page, InitParamsDlgState* st) {
    HWND area = GetDlgItem(page, IDC_OUTPUT_OPTIONAREA);
    RECT rect{};
    WinKit_GetChildRect(area, &rect);
    ShowWindow(area, SW_HIDE);
    RECT frame = InsideOptionFrame(page);
    HWND list = GetDlgItem(page, IDC_OUTPUT_TYPE);
    for (SaveOptionPage& slot : st->SaveOptionPages) {
        const char* name = ImgKit_GetTypeName(slot.ImageType, kTypeNameDisplay);
        Page_AddComboItem(list, name ? name : "", reinterpret_cast<LPARAM>(&slot));
        const SubPageKind* kind = KindOf(slot.ImageType);
        if (!kind) continue;
        slot.Window = CreateDialogParamA(st->Args->Params.Instance, MAKEINTRESOURCEA(kind->Template),
                                         page, SaveOptionPageProc, reinterpret_cast<LPARAM>(&slot));
        if (!slot.Window) continue;
        SetWindowPos(slot.Window, nullptr, rect.left, rect.top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOREDRAW | SWP_NOACTIVATE);
        if (frame.right > frame.left) {
            // Some templates reach beyond the frame; their empty margin
            // must not paint over its border.
            if (HRGN visible = CreateRectRgn(frame.left - rect.left, frame.top - rect.top,
                                             frame.right - rect.left, frame.bottom - rect.top))
                if (!SetWindowRgn(slot.Window, visible, FALSE)) DeleteObject(visible);
        }
    }
}

// Off by default: a thumbnail usually should not carry the camera's data,
// where the picture was taken included.
const PageExtraBox kExtraBoxes[] = {
    {IDC_OUTPUT_KEEPMETA, &ImageConvertExtras::KeepMetadata},
};

INT_PTR OnLoad(HWND page, WPARAM first) {
    ImageConvertParams* p = Page_Params(page);
    InitParamsDlgState* st = Page_ShellState(page);
    if (!p || !st) return Page_Answer(page, 0);
    if (first == 1) {
        CreateSubPages(page, st);
    } else {
        for (SaveOptionPage& slot : st->SaveOptionPages)
            if (slot.Window) SendMessageA(slot.Window, WM_PARAMS_LOAD, 0, 0);
    }
    HWND list = GetDlgItem(page, IDC_OUTPUT_TYPE);
    LRESULT count = SendMessageA(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        auto* slot = reinterpret_cast<SaveOptionPage*>(SendMessageA(list, CB_GETITEMDATA, i, 0));
        if (slot && slot->ImageType == p->WriteImageType) {
            SendMessageA(list, CB_SETCURSEL, i, 0);
            break;
        }
    }
    OnTypeCommand(page, 0);
    if (const ImageConvertExtras* x = Page_Extras(page)) Page_ShowExtras(page, *x, kExtraBoxes);
    Page_OfferFocus(page, static_cast<int>(first), IDC_OUTPUT_TYPE);
    return Page_Answer(page, 1);
}

INT_PTR Dispatch(HWND page, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return FALSE;
    case WM_PARAMS_LOAD:
        return OnLoad(page, wParam);
    case WM_PARAMS_CHANGED:
        WinKit_SendToParent(page, WM_PARAMS_CHANGED, 0, 0);
        return FALSE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_OUTPUT_TYPE) {
            OnTypeCommand(page, HIWORD(wParam));
        } else if (ImageConvertExtras* x = Page_Extras(page);
                   x && HIWORD(wParam) == BN_CLICKED && Page_StoreExtra(page, LOWORD(wParam), x, kExtraBoxes)) {
            Page_NotifyChanged(page);
        }
        return FALSE;
    }
    return FALSE;
}

}  // namespace

INT_PTR CALLBACK OutputPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    return Page_Guard([&] { return Dispatch(page, message, wParam, lParam); });
}

INT_PTR CALLBACK SaveOptionPageProc(HWND sub, UINT message, WPARAM wParam, LPARAM lParam) {
    return Page_Guard([&] { return SubPageDispatch(sub, message, wParam, lParam); });
}
