// What the settings dialog frame and its pages share: the private messages
// of the page protocol, the frame's per-window block (pages find it in their
// parent's DWLP_USER slot) and the page dialog procedures.
#pragma once
#include "entry/extras.h"
#include "entry/params.h"

#include <cstddef>
#include <span>

// Frame -> pages (wParam 1 = first load, 0 = reload) and page -> frame
// (wParam 0: reload every page).
constexpr UINT WM_PARAMS_LOAD = 0x6F30;
// Page -> frame after a value went into the live record.
constexpr UINT WM_PARAMS_CHANGED = 0x6F32;
// Frame -> itself: lParam points to a PageTable to fill.
constexpr UINT WM_PARAMS_GETPAGES = 0x6F33;
// Before a save: checks and normalises WritePath (wParam 0 also offers to
// create a missing folder); the verdict lands in SaveBlocked.
constexpr UINT WM_PARAMS_VALIDATE = 0x6F34;

constexpr int kMaxPages = 10;
constexpr int kSaveOptionPageCount = 6;

struct PageEntry {
    HWND Window;
    int32_t Node;
    int32_t Leaf;
};

// One save option sub-page of the output file type page; every slot points
// at the same SaveOptions block of the live record (formats added later keep
// their options in the record's extras).
struct SaveOptionPage {
    HWND Window;
    int32_t ImageType;
    ::SaveOptions* Options;
};

struct PageSubTemplate {
    WORD TemplateId;
    HICON Icon;
    DLGPROC Procedure;
    const char* Caption;
};

struct PageTemplate {
    WORD TemplateId;
    HICON Icon;
    DLGPROC Procedure;
    const char* Caption;
    int32_t Kind;  // 1 top level; 2 child of the last top-level item; 0 child of the last non-0 item
    int32_t SubPageCount;
    const PageSubTemplate* SubPages;
};

struct PageTable {
    int32_t Count;
    const PageTemplate* Pages;
};

struct InitParamsDlgState {
    InitParamsDlgArgs* Args;
    ImageConvertParams Snapshot;  // as last loaded or saved; Apply compares against it
    HWND* FocusSlot;              // &Args->FocusWindow
    int32_t PageCount;
    PageEntry Pages[kMaxPages];
    SaveOptionPage SaveOptionPages[kSaveOptionPageCount];
    int32_t SaveBlocked;
    struct IWebBrowser2* Browser;  // owned by the start page
    // The newer settings of the live record: the record's own extras, or,
    // for a caller whose record has none, the dialog's (bound while it is
    // open, so that Save writes them too).
    ImageConvertExtras* Extras;
    ImageConvertExtras ExtrasSnapshot;
    ImageConvertExtras OwnExtras;
    int32_t OwnExtrasBound;
};

// The frame's block as a page sees it; null before the frame set it up.
InitParamsDlgState* Page_ShellState(HWND page);
// The live record, or null.
ImageConvertParams* Page_Params(HWND page);
// The live record's newer settings, or null.
ImageConvertExtras* Page_Extras(HWND page);
// A check box standing for one 0/1 setting of ImageConvertExtras.
struct PageExtraBox {
    int Control;
    int32_t ImageConvertExtras::*Field;
};
template <size_t N>
void Page_ShowExtras(HWND page, const ImageConvertExtras& x, const PageExtraBox (&boxes)[N]) {
    for (const PageExtraBox& b : boxes) CheckDlgButton(page, b.Control, x.*b.Field ? BST_CHECKED : BST_UNCHECKED);
}
// When `control` is one of `boxes`, stores its state and answers true.
template <size_t N>
bool Page_StoreExtra(HWND page, int control, ImageConvertExtras* x, const PageExtraBox (&boxes)[N]) {
    for (const PageExtraBox& b : boxes)
        if (b.Control == control) {
            x->*b.Field = IsDlgButtonChecked(page, control) == BST_CHECKED ? 1 : 0;
            return true;
        }
    return false;
}
// Tells the frame (through the parent) that the live record changed.
void Page_NotifyChanged(HWND page);
// On the first load a page offers its first control for the initial focus.
void Page_OfferFocus(HWND page, int wParam, int controlId);
// A page describes its check boxes and lists as tables; these routines move
// the values between the controls and the record both ways, so a page reads
// as its table and a new setting is one more row. What a control changes
// beyond its own value (enabling another control) stays in the page.

// A check box standing for one bit of a flag word (FileMode).
struct PageFlagBox {
    int Control;
    uint32_t Bit;
    bool Inverted;  // ticked means the bit is clear
};
void Page_ShowFlags(HWND page, uint32_t bits, std::span<const PageFlagBox> boxes);
// When `control` is one of `boxes`, puts its state into its own bit of
// *bits, leaving every other bit alone, and answers true.
bool Page_StoreFlag(HWND page, int control, uint32_t* bits, std::span<const PageFlagBox> boxes);

// An integer field of a record, by place and width, so that one table can
// serve fields of any integer type.
struct PageField {
    size_t Offset;
    size_t Bytes;  // 1, 2 or 4
};
#define PAGE_FIELD(record, member) (PageField{offsetof(record, member), sizeof(record::member)})
long Page_ReadField(const void* record, PageField field);
void Page_WriteField(void* record, PageField field, long value);

struct PageComboItem {
    const char* Text;
    long Value;  // what the item stores
};
// A drop-down list standing for one field: choosing an item stores its
// value. A stored value no item has shows as no selection and stays as it is.
struct PageCombo {
    int Control;
    PageField Field;
    std::span<const PageComboItem> Items;
    long (*ShownAs)(long stored) = nullptr;  // the item a stored value shows as, when not its own
};
// Adds the items (first load only).
void Page_FillCombos(HWND page, std::span<const PageCombo> combos);
void Page_ShowCombos(HWND page, const void* record, std::span<const PageCombo> combos);
// When `control` is one of `combos` and `code` is a change of selection (or
// 0), stores the chosen item's value and answers true.
bool Page_StoreCombo(HWND page, int control, int code, void* record, std::span<const PageCombo> combos);

// Appends an item with its value as item data.
void Page_AddComboItem(HWND combo, const char* text, LPARAM data);
// Selects the first item whose data equals `data`; without one the list
// is left without a selection and the answer is false.
bool Page_SelectComboData(HWND combo, LPARAM data);
// The selected item's data; false without a selection.
bool Page_SelectedComboData(HWND combo, LPARAM* data);
// A dialog procedure's answer to a message with a result (private messages).
INT_PTR Page_Answer(HWND page, LRESULT result);

// The common open or save dialog over one file type (`filter` as the dialog
// takes it, `extension` added when the user types none). `file` holds the
// initial name and receives the choice; it has room for 261 bytes at least.
// True when a file was chosen.
bool Page_ChooseFile(HWND page, const char* filter, const char* extension, char* file, bool save);
// Writes the whole settings record to `file`; when the file does not take
// it, tells the user with the file name and the system's reason (a box owned
// by `owner`) and answers false.
bool Page_WriteSettingsFile(HWND owner, const char* file, const ImageConvertParams& params);
// Runs `call`, turning any exception into `fallback`: nothing may unwind
// through the dialog manager.
template <class F>
INT_PTR Page_Guard(F call, INT_PTR fallback = FALSE) {
    try {
        return call();
    } catch (...) {
        return fallback;
    }
}

// The messages a plain settings page answers: the shell asks it to show the
// record (WM_PARAMS_LOAD, `load` answers it) and its controls report
// (`command` gets the control and notification); everything else goes to the
// dialog manager's defaults. Exceptions are turned away as by Page_Guard.
using PageLoad = INT_PTR (*)(HWND page, WPARAM first);
using PageCommand = void (*)(HWND page, int control, int code);
INT_PTR Page_Dispatch(HWND page, UINT message, WPARAM wParam, PageLoad load, PageCommand command);

INT_PTR CALLBACK StartPageProc(HWND, UINT, WPARAM, LPARAM);
INT_PTR CALLBACK ImagePageProc(HWND, UINT, WPARAM, LPARAM);
INT_PTR CALLBACK InputPageProc(HWND, UINT, WPARAM, LPARAM);
INT_PTR CALLBACK OutputPageProc(HWND, UINT, WPARAM, LPARAM);
INT_PTR CALLBACK SaveOptionPageProc(HWND, UINT, WPARAM, LPARAM);
INT_PTR CALLBACK FolderPageProc(HWND, UINT, WPARAM, LPARAM);
INT_PTR CALLBACK ResultPageProc(HWND, UINT, WPARAM, LPARAM);
INT_PTR CALLBACK IniFilePageProc(HWND, UINT, WPARAM, LPARAM);
INT_PTR CALLBACK VersionPageProc(HWND, UINT, WPARAM, LPARAM);

// The start page's hosting: loads atl.dll once and starts its control
// hosting; the dialog creation that turns class-id controls into hosted
// ActiveX controls, or null when hosting is unavailable.
bool StartPage_InitHosting();
void StartPage_EndHosting();
HWND StartPage_Create(HINSTANCE instance, HWND parent);
