// The settings dialog frame: a tree of pages on the left, the visible page
// on the right, and Save, Cancel, Apply and Help. Pages write every change
// straight into Args->Params; the frame compares the live record with its
// snapshot to decide whether Apply has anything to do.
#include "entry/dialog_procs.h"
#include "entry/known_types.h"
#include "entry/params.h"
#include "entry/settings_ini.h"
#include "makerlibs/pmcore.h"
#include "makerlibs/pmimgkit_win.h"
#include "makerlibs/pmpath.h"
#include "makerlibs/pmwinkit.h"
#include "resources/resource_ids.h"
#include "settings_ui/settings_dlg_ids.h"
#include "settings_ui/settings_pages.h"

#include <commctrl.h>

#include <cstdio>
#include <initializer_list>
#include <cstring>

namespace {

constexpr int kHelpContextSettings = 7;
constexpr char kNoInputTypeText[] =
    "入力ファイルタイプが選択されていません。\n\n"
    "変換するファイルの種類を「入力ファイルタイプ」で1つ以上選択してください。";

// The number the wheel drivers of old mice send instead of WM_MOUSEWHEEL.
UINT g_wheelRollMessage;
// A wheel message the focused control does not use travels back up to the
// frame; it must not be sent down again.
bool g_forwardingWheel;

InitParamsDlgState* StateOf(HWND dialog) {
    return reinterpret_cast<InitParamsDlgState*>(GetWindowLongPtrA(dialog, DWLP_USER));
}

INT_PTR Answer(HWND dialog, LRESULT result) {
    SetWindowLongPtrA(dialog, DWLP_MSGRESULT, result);
    return TRUE;
}

const PageTable& Pages(HINSTANCE instance) {
    static PageTemplate table[8] = {
        {IDD_START_PAGE, nullptr, StartPageProc, "Vimoサムネイル", 1, 0, nullptr},
        {IDD_IMAGE_SETTINGS, nullptr, ImagePageProc, "イメージ変換設定", 2, 0, nullptr},
        {IDD_INPUT_TYPES, nullptr, InputPageProc, "入力ファイルタイプ", 0, 0, nullptr},
        {IDD_OUTPUT_TYPE, nullptr, OutputPageProc, "出力ファイルタイプ", 0, 0, nullptr},
        {IDD_OUTPUT_FOLDER, nullptr, FolderPageProc, "出力フォルダ", 0, 0, nullptr},
        {IDD_RESULT_PAGE, nullptr, ResultPageProc, "処理結果", 0, 0, nullptr},
        {IDD_SETTINGS_FILE, nullptr, IniFilePageProc, "設定ファイル", 2, 0, nullptr},
        {IDD_VERSION, nullptr, VersionPageProc, "バージョン情報", 2, 0, nullptr},
    };
    static PageTable pages = {8, table};
    // LoadIcon hands out a shared icon that lives as long as the module.
    if (!table[0].Icon) table[0].Icon = LoadIconA(instance, "PIXMILUI");
    return pages;
}

bool SameText(const char* a, const char* b) {
    return strncmp(a, b, kPathBuffer) == 0;
}

int ClampedTypeCount(int count) {
    return count < 0 ? 0 : (count > kMaxImageTypes ? kMaxImageTypes : count);
}

// The persisted settings, without the page position, in the order the
// Apply test looks at them.
bool SettingsDiffer(const ImageConvertParams& a, const ImageConvertParams& b) {
    if (a.Direction != b.Direction || a.Resize != b.Resize || a.Size.cx != b.Size.cx ||
        a.Size.cy != b.Size.cy || a.BitCount != b.BitCount || a.Palette != b.Palette ||
        a.ZoomFilter != b.ZoomFilter || a.UseFilter != b.UseFilter || a.Filter != b.Filter ||
        a.ImageTypeCount != b.ImageTypeCount)
        return true;
    // A settings file may carry any count; only the array is there to compare.
    int n = ClampedTypeCount(a.ImageTypeCount);
    for (int i = 0; i < n; ++i)
        if (a.ImageType[i] != b.ImageType[i]) return true;
    if (a.FileMode != b.FileMode || !SameText(a.WritePath, b.WritePath) ||
        !SameText(a.LogFile, b.LogFile) || a.WriteImageType != b.WriteImageType ||
        a.ImageCount != b.ImageCount)
        return true;
    return memcmp(&a.SaveOptions, &b.SaveOptions, sizeof a.SaveOptions) != 0;
}

void LoadPages(InitParamsDlgState* st, WPARAM wParam, LPARAM lParam) {
    for (int i = 0; i < st->PageCount; ++i)
        if (st->Pages[i].Window) SendMessageA(st->Pages[i].Window, WM_PARAMS_LOAD, wParam, lParam);
}

void BuildPages(HWND dialog, InitParamsDlgState* st) {
    HINSTANCE instance = st->Args->Params.Instance;
    HWND tree = GetDlgItem(dialog, IDC_SETTINGS_TREE);

    // Image 0 is never shown as a state image; the module icon fills it so
    // that the page icons start at 1.
    HIMAGELIST images = ImageList_Create(16, 16, ILC_MASK | ILC_COLOR8, 0, 1);
    if (images) {
        HICON small = static_cast<HICON>(LoadImageA(instance, "PIXMILUI", IMAGE_ICON, 16, 16, 0));
        if (small) {
            ImageList_AddIcon(images, small);
            DestroyIcon(small);
        }
        TreeView_SetImageList(tree, images, TVSIL_STATE);
    }
    TreeView_SetItemHeight(tree, TreeView_GetItemHeight(tree) + 2);

    RECT area{};
    HWND placeholder = GetDlgItem(dialog, IDC_SETTINGS_PAGEAREA);
    WinKit_GetChildRect(placeholder, &area);
    ShowWindow(placeholder, SW_HIDE);

    PageTable table{};
    SendMessageA(dialog, WM_PARAMS_GETPAGES, 0, reinterpret_cast<LPARAM>(&table));

    HTREEITEM lastTop = nullptr, lastNonZero = nullptr, toSelect = nullptr;
    for (int node = 0; node < table.Count && st->PageCount < kMaxPages; ++node) {
        const PageTemplate& t = table.Pages[node];
        HWND page = t.TemplateId == IDD_START_PAGE
                        ? StartPage_Create(instance, dialog)
                        : CreateDialogParamA(instance, MAKEINTRESOURCEA(t.TemplateId), dialog, t.Procedure, 0);
        PageEntry* entry = &st->Pages[st->PageCount++];
        *entry = {page, node, 0};

        TVINSERTSTRUCTA insert{};
        insert.hParent = t.Kind == 1 ? TVI_ROOT : (t.Kind == 2 ? lastTop : lastNonZero);
        if (!insert.hParent) insert.hParent = TVI_ROOT;
        insert.hInsertAfter = TVI_LAST;
        insert.item.mask = TVIF_TEXT | TVIF_PARAM;
        insert.item.pszText = const_cast<char*>(t.Caption);
        insert.item.lParam = reinterpret_cast<LPARAM>(entry);
        if (t.Icon && images) {
            int index = ImageList_AddIcon(images, t.Icon);
            if (index > 0) {
                insert.item.mask |= TVIF_STATE;
                insert.item.state = INDEXTOSTATEIMAGEMASK(index);
                insert.item.stateMask = TVIS_STATEIMAGEMASK;
            }
        }
        HTREEITEM item = reinterpret_cast<HTREEITEM>(
            SendMessageA(tree, TVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&insert)));
        if (t.Kind == 1) lastTop = item;
        if (t.Kind != 0) lastNonZero = item;

        if (page) {
            SetWindowPos(page, nullptr, area.left, area.top, 0, 0,
                         SWP_NOSIZE | SWP_NOZORDER | SWP_NOREDRAW | SWP_NOACTIVATE);
            bool current = entry->Node == st->Args->CurNode && entry->Leaf == st->Args->CurLeaf;
            ShowWindow(page, current ? SW_SHOW : SW_HIDE);
        }
        if (entry->Node == st->Args->CurNode && entry->Leaf == st->Args->CurLeaf) toSelect = item;

        for (HTREEITEM open : {item, lastNonZero, lastTop})
            if (open) TreeView_Expand(tree, open, TVE_EXPAND);
    }
    if (!toSelect) {
        st->Args->CurNode = 0;
        st->Args->CurLeaf = 0;
        toSelect = lastTop;
    }
    TreeView_SelectItem(tree, toSelect);
}

INT_PTR OnLoad(HWND dialog, InitParamsDlgState* st, WPARAM wParam, LPARAM lParam) {
    if (wParam == 1) BuildPages(dialog, st);
    LoadPages(st, wParam, lParam);
    if (wParam == 1) *st->FocusSlot = GetDlgItem(dialog, IDC_SETTINGS_TREE);
    SendMessageA(dialog, WM_PARAMS_CHANGED, 0, 0);
    return Answer(dialog, 1);
}

void ShowFolderMessage(HWND dialog, const char* caption, const char* lead, const char* folder) {
    char text[400];
    snprintf(text, sizeof text, "%s%s", lead, folder);
    WinKit_MessageBox(dialog, text, caption, MB_ICONEXCLAMATION | MB_OK, 0, 0);
}

// Creates the output folder; on failure tells the user why and answers false.
bool CreateFolderOrExplain(HWND dialog, const char* folder) {
    int made = Core_CreateFolder(0, folder, 0);
    // Read at once: the message box below resets it. A refusal (0) comes
    // without a system error, so it gets the reason it stands for.
    DWORD error = GetLastError();
    if (made == 1) return true;
    if (made == 0) error = Core_GetPathKind(folder) == 1 ? ERROR_ALREADY_EXISTS : ERROR_DIRECTORY;
    char message[300];
    snprintf(message, sizeof message, "ﾌｫﾙﾀﾞ作成ｴﾗｰ: %s", folder);
    WinKit_ErrorBox(dialog, error, message, MB_ICONEXCLAMATION, 0);
    return false;
}

// Checks and normalises the output folder before the settings are written.
void OnValidate(HWND dialog, InitParamsDlgState* st, WPARAM wParam) {
    ImageConvertParams& p = st->Args->Params;
    char caption[50] = "";
    GetWindowTextA(dialog, caption, sizeof caption);
    st->SaveBlocked = 1;

    p.WritePath[kPathBuffer - 1] = '\0';
    // A drive root keeps its backslash: the full path of "C:" is the
    // current folder of drive C, which would silently become the output.
    if (!PmPath_IsDriveRoot(p.WritePath)) Core_SetTrailingSeparator(p.WritePath, 0);
    if (!Core_GetFullPath(p.WritePath, 0, kPathBuffer, p.WritePath, nullptr)) {
        ShowFolderMessage(dialog, caption, "フォルダーが無効です。\n\n", p.WritePath);
        return;
    }
    LoadPages(st, 0, 0);

    // Saved without a type, every run would end at once with nothing done
    // and nothing said.
    int offered[kMaxImageTypes];
    int offeredCount = ImgKit_ListImageTypes(16, kMaxImageTypes, offered);
    if (!SelectsAnyOf(p.ImageType, p.ImageTypeCount, kMaxImageTypes, offered, offeredCount)) {
        WinKit_MessageBox(dialog, kNoInputTypeText, caption, MB_ICONEXCLAMATION | MB_OK, 0, 0);
        return;
    }

    // Room for what a run appends to the folder.
    size_t limit = 260;
    if (p.FileMode & FILEMODE_PRODUCTFOLDER) limit = 260 - strlen(kProductFolderName) - 1;
    if (p.FileMode & FILEMODE_TIMEFOLDER) limit = 244;
    if (strlen(p.WritePath) >= limit) {
        ShowFolderMessage(dialog, caption, "フォルダー名が長過ぎます。\n\n", p.WritePath);
        return;
    }

    if (wParam == 0 && Core_GetPathKind(p.WritePath) != 2) {
        char text[400];
        snprintf(text, sizeof text, "出力先フォルダーが存在しません。\n\n%s\n\nフォルダーを作成しますか？", p.WritePath);
        int answer = WinKit_MessageBox(dialog, text, caption,
                                       MB_YESNOCANCEL | MB_ICONEXCLAMATION | MB_DEFBUTTON2, 0, 0);
        if (answer == IDCANCEL) return;
        if (answer == IDYES && !CreateFolderOrExplain(dialog, p.WritePath)) return;
    }
    st->SaveBlocked = 0;
}

void ShowHelp(HWND dialog, UINT command, ULONG_PTR data) {
    if (const char* file = ImgKit_GetHelpFile()) WinHelpA(dialog, file, command, data);
}

void OnCommand(HWND dialog, InitParamsDlgState* st, int id) {
    InitParamsDlgArgs* args = st->Args;
    ImageConvertParams& p = args->Params;
    switch (id) {
    case IDC_SETTINGS_SAVE:
    case IDC_SETTINGS_APPLY:
        SendMessageA(dialog, WM_PARAMS_VALIDATE, 0, 0);
        if (st->SaveBlocked) return;
        p.CurNode = args->CurNode;
        p.CurLeaf = args->CurLeaf;
        // Without a settings file the caller keeps the record itself.
        if (p.IniFile && !Page_WriteSettingsFile(dialog, p.IniFile, p)) return;
        args->Saved = 1;
        if (id == IDC_SETTINGS_SAVE) {
            EndDialog(dialog, 1);
            return;
        }
        st->Snapshot = p;
        st->ExtrasSnapshot = *st->Extras;
        SendMessageA(dialog, WM_PARAMS_LOAD, 0, 0);
        SetFocus(GetDlgItem(dialog, IDC_SETTINGS_TREE));
        return;
    case IDC_SETTINGS_CANCEL:
        p.CurNode = args->CurNode;
        p.CurLeaf = args->CurLeaf;
        if (p.IniFile) WritePrivateIniFileEx(&p, p.IniFile, 1);
        EndDialog(dialog, 2);
        return;
    case IDC_SETTINGS_HELP:
        ShowHelp(dialog, HELP_CONTEXT, kHelpContextSettings);
        return;
    }
}

void OnSelChanged(InitParamsDlgState* st, const NMTREEVIEWA* change) {
    auto* oldEntry = reinterpret_cast<PageEntry*>(change->itemOld.lParam);
    auto* newEntry = reinterpret_cast<PageEntry*>(change->itemNew.lParam);
    if (change->itemOld.hItem && oldEntry && oldEntry->Window) ShowWindow(oldEntry->Window, SW_HIDE);
    if (!newEntry) return;
    if (newEntry->Window) ShowWindow(newEntry->Window, SW_SHOW);
    st->Args->CurNode = newEntry->Node;
    st->Args->CurLeaf = newEntry->Leaf;
}

INT_PTR OnInit(HWND dialog, InitParamsDlgArgs* args) {
    if (!args) {
        EndDialog(dialog, 2);
        return FALSE;
    }
    void* block = nullptr;
    if (!WinKit_Alloc(dialog, sizeof(InitParamsDlgState), &block)) {
        EndDialog(dialog, 2);
        return FALSE;
    }
    auto* st = static_cast<InitParamsDlgState*>(block);
    memset(st, 0, sizeof *st);
    StartPage_InitHosting();
    // The pages use the type list box and the track bar; registering twice
    // is harmless, and the dialog then works whoever opened it.
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TREEVIEW_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    ImgKit_RegisterClasses(args->Params.Instance);

    HICON icon = LoadIconA(args->Params.Instance, "PIXMILUI");
    SendMessageA(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    SendMessageA(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    g_wheelRollMessage = RegisterWindowMessageA("MSWHEEL_ROLLMSG");

    st->Args = args;
    args->CurNode = args->Params.CurNode;
    args->CurLeaf = args->Params.CurLeaf;
    args->Saved = 0;
    st->Snapshot = args->Params;
    st->Extras = Pm_ExtrasOf(&args->Params);
    if (!st->Extras) {
        st->OwnExtras = kDefaultExtras;
        st->OwnExtrasBound = Pm_BindExtras(&args->Params, &st->OwnExtras) ? 1 : 0;
        st->Extras = &st->OwnExtras;
    }
    st->ExtrasSnapshot = *st->Extras;
    st->FocusSlot = &args->FocusWindow;
    st->SaveBlocked = 0;
    static const int kOptionTypes[kSaveOptionPageCount] = {kTypeGif, kTypePng, kTypeBmp, kTypeTiff, kTypeJpeg,
                                                                  kTypeWebp};
    for (int i = 0; i < kSaveOptionPageCount; ++i)
        st->SaveOptionPages[i] = {nullptr, kOptionTypes[i], &args->Params.SaveOptions};
    SetWindowLongPtrA(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(st));

    WinKit_PlaceWindow(dialog, GetParent(dialog), 5, 0);
    SendMessageA(dialog, WM_PARAMS_LOAD, 1, 0);
    st->Snapshot = args->Params;
    st->ExtrasSnapshot = *st->Extras;
    SendMessageA(dialog, WM_PARAMS_CHANGED, 0, 0);
    if (*st->FocusSlot) SetFocus(*st->FocusSlot);
    return FALSE;  // the focus is set
}

void OnFinalDestroy(HWND dialog) {
    InitParamsDlgState* st = StateOf(dialog);
    if (!st) return;
    // The start page released its browser during its own destruction, which
    // came before this last message of the frame.
    SetWindowLongPtrA(dialog, DWLP_USER, 0);
    if (st->OwnExtrasBound) Pm_UnbindExtras(&st->Args->Params);
    WinKit_Free(st);
    StartPage_EndHosting();
}

INT_PTR Dispatch(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) return OnInit(dialog, reinterpret_cast<InitParamsDlgArgs*>(lParam));

    if (message == WM_MOUSEWHEEL || (g_wheelRollMessage && message == g_wheelRollMessage)) {
        HWND focus = GetFocus();
        if (!focus || focus == dialog || g_forwardingWheel) return FALSE;
        g_forwardingWheel = true;
        LRESULT result = SendMessageA(focus, message, wParam, lParam);
        g_forwardingWheel = false;
        return Answer(dialog, result);
    }

    InitParamsDlgState* st = StateOf(dialog);
    if (!st) return FALSE;
    switch (message) {
    case WM_PARAMS_LOAD:
        return OnLoad(dialog, st, wParam, lParam);
    case WM_PARAMS_CHANGED:
        EnableWindow(GetDlgItem(dialog, IDC_SETTINGS_APPLY),
                     SettingsDiffer(st->Args->Params, st->Snapshot) || !(*st->Extras == st->ExtrasSnapshot));
        return FALSE;
    case WM_PARAMS_GETPAGES: {
        auto* out = reinterpret_cast<PageTable*>(lParam);
        if (out) *out = Pages(st->Args->Params.Instance);
        return FALSE;
    }
    case WM_PARAMS_VALIDATE:
        OnValidate(dialog, st, wParam);
        return FALSE;
    case WM_COMMAND:
        OnCommand(dialog, st, LOWORD(wParam));
        return FALSE;
    case WM_NOTIFY: {
        auto* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->idFrom == IDC_SETTINGS_TREE &&
            (header->code == TVN_SELCHANGEDA || header->code == TVN_SELCHANGEDW))
            OnSelChanged(st, reinterpret_cast<const NMTREEVIEWA*>(lParam));
        return FALSE;
    }
    case WM_HELP: {
        auto* info = reinterpret_cast<const HELPINFO*>(lParam);
        if (info && info->dwContextId) ShowHelp(dialog, HELP_CONTEXTPOPUP, info->dwContextId);
        return FALSE;
    }
    case WM_DESTROY:
        if (HIMAGELIST images = TreeView_GetImageList(GetDlgItem(dialog, IDC_SETTINGS_TREE), TVSIL_STATE)) {
            TreeView_SetImageList(GetDlgItem(dialog, IDC_SETTINGS_TREE), nullptr, TVSIL_STATE);
            ImageList_Destroy(images);
        }
        return FALSE;
    case WM_NCDESTROY:
        OnFinalDestroy(dialog);
        return FALSE;
    }
    return FALSE;
}

}  // namespace

extern "C" INT_PTR PM_API pmImageConvert_InitParamsDlg(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    return Page_Guard([&] { return Dispatch(dialog, message, wParam, lParam); });
}
