// The image conversion settings page: orientation, zoom method and output
// box, colour count, zoom quality, palette and tone filter. Each list item
// carries the value it stands for, and that value is what gets stored.
#include "settings_ui/image_page_ids.h"
#include "settings_ui/settings_pages.h"

#include "makerlibs/pmwinkit.h"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr PageComboItem kDirections[] = {
    {"変更しない", 0},
    {"横長なら縦長にする(時計周りに90度回転)", 1},
    {"横長なら縦長にする(反時計周りに90度回転)", 2},
    {"縦長なら横長にする(時計周りに90度回転)", 3},
    {"縦長なら横長にする(反時計周りに90度回転)", 4},
    {"反時計周りに90度回転する", 5},
    {"反時計周りに180度回転する", 6},
    {"反時計周りに270度回転する", 7},
};
constexpr PageComboItem kZoomMethods[] = {
    {"入力ｲﾒｰｼﾞｻｲｽﾞで出力(ｽﾞｰﾑしない)", 0},
    {"出力ｲﾒｰｼﾞBOXに入力の縦横比でｽﾞｰﾑ", 1},
    {"出力ｲﾒｰｼﾞBOXにｽﾄﾚｯﾁでｽﾞｰﾑ", 2},
};
constexpr PageComboItem kBitCounts[] = {
    {"入力ｲﾒｰｼﾞと同じ色数", 0}, {"1ﾋﾞｯﾄ(ﾓﾉｸﾛ)", 1},     {"2ﾋﾞｯﾄ(4色)", 2},
    {"3ﾋﾞｯﾄ(8色)", 3},          {"4ﾋﾞｯﾄ(16色)", 4},     {"5ﾋﾞｯﾄ(32色)", 5},
    {"6ﾋﾞｯﾄ(64色)", 6},         {"7ﾋﾞｯﾄ(128色)", 7},    {"8ﾋﾞｯﾄ(256色)", 8},
    {"24ﾋﾞｯﾄ(16777216色)", 24},
};
constexpr PageComboItem kZoomFilters[] = {
    {"ﾊｰﾄﾞ(光沢感はあるが粗い)", 0},
    {"ｿﾌﾄ(滑らかな感じで高品質)", 1},
};
constexpr PageComboItem kPalettes[] = {
    {"使用中の色に合わせて割り付ける", 0},
    {"iモードパレット", 1},
    {"Webパレット", 2},
    {"Internet Explorerパレット", 3},
};
// The filters in the order the list offers them; the code goes to the
// filter operation unchanged.
constexpr PageComboItem kToneFilters[] = {
    {"ﾓﾉｸﾛ", 1},         {"冷たいﾓﾉｸﾛ", 2},    {"暖かいﾓﾉｸﾛ", 3},     {"ｾﾋﾟｱ", 4},
    {"ﾓﾉﾄｰﾝﾚｯﾄﾞ", 5},    {"ﾓﾉﾄｰﾝｸﾞﾘｰﾝ", 6},   {"ﾓﾉﾄｰﾝﾌﾞﾙｰ", 7},      {"ﾓﾉﾄｰﾝｼｱﾝ", 8},
    {"ﾓﾉﾄｰﾝﾏｾﾞﾝﾀﾞ", 9},  {"ﾓﾉﾄｰﾝｲｴﾛｰ", 10},    {"ｱｰﾄｶﾗｰﾊﾟﾝｸ", 20},    {"ｱｰﾄｶﾗｰﾒﾀﾙ", 21},
    {"ｱｰﾄｶﾗｰｱｰｽ", 22},   {"ｴﾝﾎﾞｽ", 12},        {"ｴﾝﾎﾞｽｺﾞｰﾙﾄﾞ", 13},   {"ｴﾝﾎﾞｽｼﾙﾊﾞｰ", 14},
    {"ｴﾝﾎﾞｽｺｯﾊﾟｰ", 15},  {"ｶﾝﾊﾞｽ(滑らか)", 25}, {"ｶﾝﾊﾞｽ(粗い)", 26},
};

// Files converted at once; other counts from a hand-edited file show as no
// selection and stay.
constexpr PageComboItem kThreadCounts[] = {
    {"自動", 0}, {"1", 1}, {"2", 2}, {"4", 4}, {"8", 8}, {"16", 16}, {"32", 32}, {"64", 64},
};

// Depths above 8 can only be written as full colour.
long ShownDepth(long stored) { return stored > 8 ? 24 : stored; }

const PageCombo kCombos[] = {
    {IDC_IMAGE_DIRECTION, PAGE_FIELD(ImageConvertParams, Direction), kDirections},
    {IDC_IMAGE_RESIZE, PAGE_FIELD(ImageConvertParams, Resize), kZoomMethods},
    {IDC_IMAGE_BITCOUNT, PAGE_FIELD(ImageConvertParams, BitCount), kBitCounts, ShownDepth},
    {IDC_IMAGE_ZOOMFILTER, PAGE_FIELD(ImageConvertParams, ZoomFilter), kZoomFilters},
    {IDC_IMAGE_PALETTE, PAGE_FIELD(ImageConvertParams, Palette), kPalettes},
    {IDC_IMAGE_FILTER, PAGE_FIELD(ImageConvertParams, Filter), kToneFilters},
};

// Never enlarging means nothing without a zoom either.
const int kSizeControls[] = {IDC_IMAGE_WIDTHLABEL, IDC_IMAGE_WIDTH,      IDC_IMAGE_WIDTHUNIT, IDC_IMAGE_HEIGHTLABEL,
                             IDC_IMAGE_HEIGHT,     IDC_IMAGE_HEIGHTUNIT, IDC_IMAGE_NOENLARGE};

const PageCombo kExtraCombos[] = {
    {IDC_IMAGE_THREADS, PAGE_FIELD(ImageConvertExtras, Threads), kThreadCounts},
};

const PageExtraBox kExtraBoxes[] = {
    {IDC_IMAGE_AUTOROTATE, &ImageConvertExtras::AutoRotate},
    {IDC_IMAGE_NOENLARGE, &ImageConvertExtras::NoEnlarge},
    {IDC_IMAGE_COLORMANAGE, &ImageConvertExtras::ColorManage},
};

// Setting the edits from the record makes them report a change; that echo
// must not write the record (a stored 0 would silently become 1).
bool g_loading;

// The box size means nothing without zooming, the filter list nothing
// without the filter; their values stay as they were.
void ShowDependents(HWND page, const ImageConvertParams* p) {
    for (int c : kSizeControls) EnableWindow(GetDlgItem(page, c), p->Resize != 0);
    EnableWindow(GetDlgItem(page, IDC_IMAGE_FILTER), p->UseFilter != 0);
}

void StoreSize(HWND page, int id, ImageConvertParams* p) {
    char text[50] = "";
    GetDlgItemTextA(page, id, text, sizeof text);
    long value = strtol(text, nullptr, 10);  // as atol, without overflow
    if (value < 1) value = 1;
    (id == IDC_IMAGE_WIDTH ? p->Size.cx : p->Size.cy) = value;
}

void OnCommand(HWND page, int id, int code) {
    ImageConvertParams* p = Page_Params(page);
    if (!p) return;
    switch (id) {
    case IDC_IMAGE_USEFILTER:
        p->UseFilter = IsDlgButtonChecked(page, id) == BST_CHECKED ? 1 : 0;
        break;
    case IDC_IMAGE_WIDTH:
    case IDC_IMAGE_HEIGHT:
        if ((code != 0 && code != EN_CHANGE && code != EN_UPDATE) || g_loading) return;
        StoreSize(page, id, p);
        break;
    default:
        if (ImageConvertExtras* x = Page_Extras(page); x && code == BN_CLICKED && Page_StoreExtra(page, id, x, kExtraBoxes)) {
            Page_NotifyChanged(page);
            return;
        }
        if (ImageConvertExtras* x = Page_Extras(page); x && Page_StoreCombo(page, id, code, x, kExtraCombos)) {
            Page_NotifyChanged(page);
            return;
        }
        if (!Page_StoreCombo(page, id, code, p, kCombos)) return;
        break;
    }
    ShowDependents(page, p);
    Page_NotifyChanged(page);
}

void SetNumber(HWND page, int id, long value) {
    char number[16];
    snprintf(number, sizeof number, "%ld", value);
    WinKit_SetText(GetDlgItem(page, id), number);
}

INT_PTR OnLoad(HWND page, WPARAM first) {
    ImageConvertParams* p = Page_Params(page);
    if (!p) return Page_Answer(page, 0);
    if (first == 1) {
        Page_FillCombos(page, kCombos);
        Page_FillCombos(page, kExtraCombos);
        SendDlgItemMessageA(page, IDC_IMAGE_WIDTH, EM_LIMITTEXT, 4, 0);
        SendDlgItemMessageA(page, IDC_IMAGE_HEIGHT, EM_LIMITTEXT, 4, 0);
    }
    Page_ShowCombos(page, p, kCombos);
    g_loading = true;
    SetNumber(page, IDC_IMAGE_WIDTH, p->Size.cx);
    SetNumber(page, IDC_IMAGE_HEIGHT, p->Size.cy);
    g_loading = false;
    CheckDlgButton(page, IDC_IMAGE_USEFILTER, p->UseFilter ? BST_CHECKED : BST_UNCHECKED);
    ShowDependents(page, p);
    const ImageConvertExtras* x = Page_Extras(page);
    if (x) {
        Page_ShowExtras(page, *x, kExtraBoxes);
        Page_ShowCombos(page, x, kExtraCombos);
    }
    EnableWindow(GetDlgItem(page, IDC_IMAGE_THREADS), x != nullptr);
    Page_OfferFocus(page, static_cast<int>(first), IDC_IMAGE_DIRECTION);
    return Page_Answer(page, 1);
}

}  // namespace

INT_PTR CALLBACK ImagePageProc(HWND page, UINT message, WPARAM wParam, LPARAM) {
    return Page_Dispatch(page, message, wParam, OnLoad, OnCommand);
}
