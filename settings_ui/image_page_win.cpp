// The image conversion settings page: orientation, zoom method and output
// box, colour count, zoom quality, palette and tone filter. Each list item
// carries the value it stands for, and that value is what gets stored.
#include "settings_ui/image_page_ids.h"
#include "settings_ui/settings_pages.h"

#include "makerlibs/pmwinkit.h"

#include <cstdio>
#include <cstdlib>

namespace {

const char* const kDirections[] = {
    "変更しない",
    "横長なら縦長にする(時計周りに90度回転)",
    "横長なら縦長にする(反時計周りに90度回転)",
    "縦長なら横長にする(時計周りに90度回転)",
    "縦長なら横長にする(反時計周りに90度回転)",
    "反時計周りに90度回転する",
    "反時計周りに180度回転する",
    "反時計周りに270度回転する",
};
const char* const kZoomMethods[] = {
    "入力ｲﾒｰｼﾞｻｲｽﾞで出力(ｽﾞｰﾑしない)",
    "出力ｲﾒｰｼﾞBOXに入力の縦横比でｽﾞｰﾑ",
    "出力ｲﾒｰｼﾞBOXにｽﾄﾚｯﾁでｽﾞｰﾑ",
};
const char* const kZoomFilters[] = {
    "ﾊｰﾄﾞ(光沢感はあるが粗い)",
    "ｿﾌﾄ(滑らかな感じで高品質)",
};
const char* const kPalettes[] = {
    "使用中の色に合わせて割り付ける",
    "iモードパレット",
    "Webパレット",
    "Internet Explorerパレット",
};
const int kBitCounts[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 24};
constexpr int kFullColourPosition = 9;

struct ToneFilter {
    int Code;
    const char* Name;
};
// The filters in the order the list offers them; the code goes to the
// filter operation unchanged.
const ToneFilter kToneFilters[] = {
    {1, "ﾓﾉｸﾛ"},         {2, "冷たいﾓﾉｸﾛ"},    {3, "暖かいﾓﾉｸﾛ"},     {4, "ｾﾋﾟｱ"},
    {5, "ﾓﾉﾄｰﾝﾚｯﾄﾞ"},    {6, "ﾓﾉﾄｰﾝｸﾞﾘｰﾝ"},   {7, "ﾓﾉﾄｰﾝﾌﾞﾙｰ"},      {8, "ﾓﾉﾄｰﾝｼｱﾝ"},
    {9, "ﾓﾉﾄｰﾝﾏｾﾞﾝﾀﾞ"},  {10, "ﾓﾉﾄｰﾝｲｴﾛｰ"},    {20, "ｱｰﾄｶﾗｰﾊﾟﾝｸ"},    {21, "ｱｰﾄｶﾗｰﾒﾀﾙ"},
    {22, "ｱｰﾄｶﾗｰｱｰｽ"},   {12, "ｴﾝﾎﾞｽ"},        {13, "ｴﾝﾎﾞｽｺﾞｰﾙﾄﾞ"},   {14, "ｴﾝﾎﾞｽｼﾙﾊﾞｰ"},
    {15, "ｴﾝﾎﾞｽｺｯﾊﾟｰ"},  {25, "ｶﾝﾊﾞｽ(滑らか)"}, {26, "ｶﾝﾊﾞｽ(粗い)"},
};

// Never enlarging means nothing without a zoom either.
const int kSizeControls[] = {IDC_IMAGE_WIDTHLABEL, IDC_IMAGE_WIDTH,      IDC_IMAGE_WIDTHUNIT, IDC_IMAGE_HEIGHTLABEL,
                             IDC_IMAGE_HEIGHT,     IDC_IMAGE_HEIGHTUNIT, IDC_IMAGE_NOENLARGE};

const PageExtraBox kExtraBoxes[] = {
    {IDC_IMAGE_AUTOROTATE, &ImageConvertExtras::AutoRotate},
    {IDC_IMAGE_NOENLARGE, &ImageConvertExtras::NoEnlarge},
    {IDC_IMAGE_COLORMANAGE, &ImageConvertExtras::ColorManage},
};

// Setting the edits from the record makes them report a change; that echo
// must not write the record (a stored 0 would silently become 1).
bool g_loading;

template <size_t N>
void FillPositional(HWND combo, const char* const (&texts)[N]) {
    for (size_t i = 0; i < N; ++i) Page_AddComboItem(combo, texts[i], static_cast<LPARAM>(i));
}

void FillLists(HWND page) {
    FillPositional(GetDlgItem(page, IDC_IMAGE_DIRECTION), kDirections);
    FillPositional(GetDlgItem(page, IDC_IMAGE_RESIZE), kZoomMethods);
    HWND bits = GetDlgItem(page, IDC_IMAGE_BITCOUNT);
    for (int n : kBitCounts) {
        char text[40];
        if (n == 0)
            snprintf(text, sizeof text, "入力ｲﾒｰｼﾞと同じ色数");
        else if (n == 1)
            snprintf(text, sizeof text, "%dﾋﾞｯﾄ(ﾓﾉｸﾛ)", n);
        else
            snprintf(text, sizeof text, "%dﾋﾞｯﾄ(%lu色)", n, 1UL << n);
        Page_AddComboItem(bits, text, n);
    }
    FillPositional(GetDlgItem(page, IDC_IMAGE_ZOOMFILTER), kZoomFilters);
    FillPositional(GetDlgItem(page, IDC_IMAGE_PALETTE), kPalettes);
    HWND filters = GetDlgItem(page, IDC_IMAGE_FILTER);
    for (const ToneFilter& f : kToneFilters) Page_AddComboItem(filters, f.Name, f.Code);
    SendDlgItemMessageA(page, IDC_IMAGE_WIDTH, EM_LIMITTEXT, 4, 0);
    SendDlgItemMessageA(page, IDC_IMAGE_HEIGHT, EM_LIMITTEXT, 4, 0);
}

int32_t* FieldOfList(ImageConvertParams* p, int id) {
    switch (id) {
    case IDC_IMAGE_DIRECTION: return &p->Direction;
    case IDC_IMAGE_RESIZE: return &p->Resize;
    case IDC_IMAGE_BITCOUNT: return &p->BitCount;
    case IDC_IMAGE_ZOOMFILTER: return &p->ZoomFilter;
    case IDC_IMAGE_PALETTE: return &p->Palette;
    case IDC_IMAGE_FILTER: return &p->Filter;
    }
    return nullptr;
}

void OnCommand(HWND page, int id, int code) {
    ImageConvertParams* p = Page_Params(page);
    if (!p) return;
    switch (id) {
    case IDC_IMAGE_DIRECTION:
    case IDC_IMAGE_RESIZE:
    case IDC_IMAGE_BITCOUNT:
    case IDC_IMAGE_ZOOMFILTER:
    case IDC_IMAGE_PALETTE:
    case IDC_IMAGE_FILTER: {
        if (code != 0 && code != CBN_SELCHANGE) return;
        LPARAM data;
        if (!Page_SelectedComboData(GetDlgItem(page, id), &data)) return;
        *FieldOfList(p, id) = static_cast<int32_t>(data);
        if (id == IDC_IMAGE_RESIZE)
            for (int c : kSizeControls) EnableWindow(GetDlgItem(page, c), p->Resize != 0);
        Page_NotifyChanged(page);
        return;
    }
    case IDC_IMAGE_USEFILTER:
        p->UseFilter = IsDlgButtonChecked(page, id) == BST_CHECKED ? 1 : 0;
        EnableWindow(GetDlgItem(page, IDC_IMAGE_FILTER), p->UseFilter != 0);
        Page_NotifyChanged(page);
        return;
    case IDC_IMAGE_WIDTH:
    case IDC_IMAGE_HEIGHT: {
        if ((code != 0 && code != EN_CHANGE && code != EN_UPDATE) || g_loading) return;
        char text[50] = "";
        GetDlgItemTextA(page, id, text, sizeof text);
        long value = strtol(text, nullptr, 10);  // as atol, without overflow
        if (value < 1) value = 1;
        (id == IDC_IMAGE_WIDTH ? p->Size.cx : p->Size.cy) = value;
        Page_NotifyChanged(page);
        return;
    }
    default:
        if (ImageConvertExtras* x = Page_Extras(page); x && code == BN_CLICKED && Page_StoreExtra(page, id, x, kExtraBoxes))
            Page_NotifyChanged(page);
        return;
    }
}

INT_PTR OnLoad(HWND page, WPARAM first) {
    ImageConvertParams* p = Page_Params(page);
    if (!p) return Page_Answer(page, 0);
    if (first == 1) FillLists(page);
    Page_SelectComboPosition(GetDlgItem(page, IDC_IMAGE_DIRECTION), p->Direction);
    Page_SelectComboPosition(GetDlgItem(page, IDC_IMAGE_RESIZE), p->Resize);
    char number[16];
    g_loading = true;
    snprintf(number, sizeof number, "%ld", static_cast<long>(p->Size.cx));
    WinKit_SetText(GetDlgItem(page, IDC_IMAGE_WIDTH), number);
    snprintf(number, sizeof number, "%ld", static_cast<long>(p->Size.cy));
    WinKit_SetText(GetDlgItem(page, IDC_IMAGE_HEIGHT), number);
    g_loading = false;
    // Depths above 8 can only be written as full colour.
    Page_SelectComboPosition(GetDlgItem(page, IDC_IMAGE_BITCOUNT),
                             p->BitCount <= 8 ? p->BitCount : kFullColourPosition);
    Page_SelectComboPosition(GetDlgItem(page, IDC_IMAGE_ZOOMFILTER), p->ZoomFilter);
    Page_SelectComboPosition(GetDlgItem(page, IDC_IMAGE_PALETTE), p->Palette);
    CheckDlgButton(page, IDC_IMAGE_USEFILTER, p->UseFilter ? BST_CHECKED : BST_UNCHECKED);
    EnableWindow(GetDlgItem(page, IDC_IMAGE_FILTER), p->UseFilter != 0);
    Page_SelectComboData(GetDlgItem(page, IDC_IMAGE_FILTER), p->Filter);
    if (const ImageConvertExtras* x = Page_Extras(page)) Page_ShowExtras(page, *x, kExtraBoxes);
    Page_OfferFocus(page, static_cast<int>(first), IDC_IMAGE_DIRECTION);
    OnCommand(page, IDC_IMAGE_RESIZE, 0);
    return Page_Answer(page, 1);
}

INT_PTR Dispatch(HWND page, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return FALSE;
    case WM_PARAMS_LOAD:
        return OnLoad(page, wParam);
    case WM_COMMAND:
        OnCommand(page, LOWORD(wParam), HIWORD(wParam));
        return FALSE;
    }
    return FALSE;
}

}  // namespace

INT_PTR CALLBACK ImagePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    return Page_Guard([&] { return Dispatch(page, message, wParam, lParam); });
}
