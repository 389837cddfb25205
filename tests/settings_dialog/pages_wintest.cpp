// The settings pages on the real dialog: what each control stores, the
// enabling rules, and the reloads between pages.
#include "common/testsupport.h"
#include "dialog_driver.h"
#include "settings_ui/folder_page_ids.h"
#include "settings_ui/image_page_ids.h"
#include "settings_ui/inifile_page_ids.h"
#include "settings_ui/input_page_ids.h"
#include "settings_ui/output_page_ids.h"
#include "settings_ui/result_page_ids.h"

#include <vector>

using namespace dlgtest;

namespace {

std::vector<int> StoredTypes(const ImageConvertParams& p) {
    return std::vector<int>(p.ImageType, p.ImageType + p.ImageTypeCount);
}

std::vector<int> ListedTypes(HWND list) {
    std::vector<int> types;
    int n = static_cast<int>(SendMessageA(list, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < n; ++i) types.push_back(ImgKit_ListBoxGetType(list, i));
    return types;
}

// Shown by its own style, whether or not its page is.
bool Shown(HWND w) {
    return w && (GetWindowLongA(w, GWL_STYLE) & WS_VISIBLE);
}

// A click on an item of the multiple-selection list.
void ToggleItem(const Driver& d, HWND list, int index) {
    BOOL selected = SendMessageA(list, LB_GETSEL, index, 0) > 0;
    SendMessageA(list, LB_SETSEL, !selected, index);
    SendMessageA(GetParent(list), WM_COMMAND, MAKEWPARAM(IDC_INPUT_TYPES, LBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
}

}  // namespace

TEST(ImagePage, ShowsOddValuesWithoutChangingThem) {
    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    ImageConvertParams& p = setup.params();
    p.BitCount = 16;
    p.Filter = 11;
    p.UseFilter = 1;
    p.Resize = 0;
    p.Size.cx = 0;
    p.Direction = 12;
    setup.run([&](Driver& d) {
        EXPECT_EQ(d.selection(d.control(kImage, IDC_IMAGE_BITCOUNT)), 9);
        EXPECT_EQ(d.text(d.control(kImage, IDC_IMAGE_BITCOUNT)), "24ﾋﾞｯﾄ(16777216色)");
        EXPECT_EQ(d.selection(d.control(kImage, IDC_IMAGE_FILTER)), CB_ERR);
        EXPECT_EQ(d.selection(d.control(kImage, IDC_IMAGE_DIRECTION)), CB_ERR);
        for (int id : {IDC_IMAGE_WIDTH, IDC_IMAGE_HEIGHT, IDC_IMAGE_WIDTHLABEL, IDC_IMAGE_HEIGHTUNIT})
            EXPECT_FALSE(IsWindowEnabled(d.control(kImage, id))) << id;
        EXPECT_TRUE(IsWindowEnabled(d.control(kImage, IDC_IMAGE_SIZEGROUP)));
        EXPECT_EQ(d.params().BitCount, 16);
        EXPECT_EQ(d.params().Filter, 11);
        EXPECT_EQ(d.params().Size.cx, 0);
        EXPECT_EQ(d.params().Direction, 12);
        EXPECT_FALSE(d.applyEnabled());

        d.choose(d.control(kImage, IDC_IMAGE_RESIZE), 2);
        EXPECT_EQ(d.params().Resize, 2);
        EXPECT_TRUE(IsWindowEnabled(d.control(kImage, IDC_IMAGE_WIDTH)));
        d.choose(d.control(kImage, IDC_IMAGE_BITCOUNT), 9);
        EXPECT_EQ(d.params().BitCount, 24);
        d.choose(d.control(kImage, IDC_IMAGE_FILTER), 13);
        EXPECT_EQ(d.params().Filter, 12) << "item data, not the position";
        d.click(d.control(kImage, IDC_IMAGE_USEFILTER));
        EXPECT_EQ(d.params().UseFilter, 0);
        EXPECT_FALSE(IsWindowEnabled(d.control(kImage, IDC_IMAGE_FILTER)));
        EXPECT_EQ(d.params().Filter, 12);
    });
}

TEST(ImagePage, SizeEditsStoreAtLeastOne) {
    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    setup.run([&](Driver& d) {
        HWND width = d.control(kImage, IDC_IMAGE_WIDTH);
        HWND height = d.control(kImage, IDC_IMAGE_HEIGHT);
        d.type(width, "");
        EXPECT_EQ(d.params().Size.cx, 1);
        d.type(height, "0");
        EXPECT_EQ(d.params().Size.cy, 1);
        d.type(width, "9999");
        EXPECT_EQ(d.params().Size.cx, 9999);
        EXPECT_EQ(SendMessageA(width, EM_GETLIMITTEXT, 0, 0), 4);
        EXPECT_EQ(d.text(height), "0") << "the text is not rewritten";
    });
}

TEST(InputPage, StoresTheSelectionInListOrder) {
    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    setup.run([&](Driver& d) {
        HWND list = d.control(kInput, IDC_INPUT_TYPES);
        std::vector<int> listed = ListedTypes(list);
        ASSERT_GE(listed.size(), 3u);
        EXPECT_EQ(StoredTypes(d.params()), listed) << "all offered types selected by default";

        for (size_t i = 0; i < listed.size(); ++i) ToggleItem(d, list, static_cast<int>(i));
        EXPECT_EQ(d.params().ImageTypeCount, 0);
        EXPECT_TRUE(d.applyEnabled());

        int last = static_cast<int>(listed.size()) - 1;
        ToggleItem(d, list, last);
        ToggleItem(d, list, 0);
        EXPECT_EQ(StoredTypes(d.params()), (std::vector<int>{listed[0], listed[last]}));

        d.click(d.control(kInput, IDC_INPUT_SELECTALL));
        EXPECT_EQ(StoredTypes(d.params()), listed);
        EXPECT_FALSE(d.applyEnabled());
    });
}

TEST(InputPage, NoTypeTickedRefusesApplyAndSaveWithAReason) {
    pmtest::TempDir dir;
    std::string ini = dir / "PIXMILL.INI";
    DialogSetup setup(ini);
    setup.run([&](Driver& d) {
        HWND list = d.control(kInput, IDC_INPUT_TYPES);
        int n = static_cast<int>(SendMessageA(list, LB_GETCOUNT, 0, 0));
        for (int i = 0; i < n; ++i) ToggleItem(d, list, i);
        ASSERT_EQ(d.params().ImageTypeCount, 0);
        for (int button : {IDC_SETTINGS_APPLY, IDC_SETTINGS_SAVE}) {
            d.press(button);
            HWND box = d.waitOwnedDialog();
            ASSERT_NE(box, nullptr) << button;
            EXPECT_NE(d.boxText(box).find("入力ファイルタイプ"), std::string::npos) << d.boxText(box);
            EXPECT_TRUE(d.answer(box, IDOK));
            EXPECT_TRUE(IsWindow(d.dialog()));
            EXPECT_FALSE(pmtest::FileExists(ini)) << button;
        }
        ToggleItem(d, list, 0);
        d.press(IDC_SETTINGS_APPLY);
        EXPECT_TRUE(WaitFor([&] { return pmtest::FileExists(ini); }));
    });
}

TEST(InputPage, SubFolderToggleReloadsOtherPagesKeepingTheirEdits) {
    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    setup.run([&](Driver& d) {
        d.type(d.control(kFolder, IDC_FOLDER_PATH), "C:\\edited");
        d.choose(d.control(kImage, IDC_IMAGE_PALETTE), 2);
        // A value written behind the page's back shows only after a reload.
        d.params().Size.cx = 321;
        uint32_t before = d.params().FileMode;
        d.click(d.control(kInput, IDC_INPUT_SUBFOLDERS));
        EXPECT_EQ(d.params().FileMode, before ^ FILEMODE_SUBFOLDERS);
        EXPECT_EQ(d.text(d.control(kImage, IDC_IMAGE_WIDTH)), "321");
        EXPECT_EQ(d.text(d.control(kFolder, IDC_FOLDER_PATH)), "C:\\edited");
        EXPECT_EQ(d.selection(d.control(kImage, IDC_IMAGE_PALETTE)), 2);
        EXPECT_STREQ(d.params().WritePath, "C:\\edited");
        d.click(d.control(kInput, IDC_INPUT_EXTONLY));
        EXPECT_EQ(d.params().FileMode, before ^ FILEMODE_SUBFOLDERS ^ FILEMODE_EXTONLY);
    });
}

TEST(OutputPage, ScanMethodValuesDependOnTheFormat) {
    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    setup.params().SaveOptions.Bmp_Comp = 2;
    setup.params().WriteImageType = kTypeGif;
    setup.run([&](Driver& d) {
        HWND type = d.control(kOutput, IDC_OUTPUT_TYPE);
        EXPECT_EQ(SendMessageA(type, CB_GETCOUNT, 0, 0), 6);
        EXPECT_EQ(d.selection(type), 0);
        EXPECT_TRUE(Shown(d.subPage(kTypeGif)));
        EXPECT_FALSE(Shown(d.subPage(kTypeJpeg)));

        d.choose(GetDlgItem(d.subPage(kTypeGif), IDC_OPT_SCAN), 1);
        EXPECT_EQ(d.params().SaveOptions.Gif_Interlace, 1);
        d.choose(GetDlgItem(d.subPage(kTypePng), IDC_OPT_SCAN), 0);
        EXPECT_EQ(d.params().SaveOptions.Png_Interlace, 0);
        HWND jpegScan = GetDlgItem(d.subPage(kTypeJpeg), IDC_OPT_JPEGSCAN);
        d.choose(jpegScan, 1);
        EXPECT_EQ(d.params().SaveOptions.Jpeg_Progressive, 0);
        d.choose(jpegScan, 0);
        EXPECT_EQ(d.params().SaveOptions.Jpeg_Progressive, 1);

        HWND rle = GetDlgItem(d.subPage(kTypeBmp), IDC_OPT_RLE);
        EXPECT_FALSE(d.checked(rle)) << "only 1 means RLE";
        d.click(rle);
        d.click(rle);
        EXPECT_EQ(d.params().SaveOptions.Bmp_Comp, 0);

        d.choose(type, 4);
        EXPECT_EQ(d.params().WriteImageType, kTypeJpeg);
        EXPECT_TRUE(Shown(d.subPage(kTypeJpeg)));
        EXPECT_FALSE(Shown(d.subPage(kTypeGif)));
        EXPECT_FALSE(Shown(d.subPage(kTypeTiff)));
        d.choose(type, 5);
        EXPECT_EQ(d.params().WriteImageType, kTypeWebp);
        EXPECT_TRUE(Shown(d.subPage(kTypeWebp)));
        EXPECT_FALSE(Shown(d.subPage(kTypeJpeg)));
    });
}

TEST(OutputPage, KeepMetadataIsOfferedOnlyForTypesThatCarryItAndKeepsItsState) {
    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    setup.run([&](Driver& d) {
        HWND type = d.control(kOutput, IDC_OUTPUT_TYPE);
        HWND keep = d.control(kOutput, IDC_OUTPUT_KEEPMETA);
        d.choose(type, 4);
        ASSERT_EQ(d.params().WriteImageType, kTypeJpeg);
        d.click(keep);
        const bool ticked = d.checked(keep);
        int count = static_cast<int>(SendMessageA(type, CB_GETCOUNT, 0, 0));
        for (int i = 0; i < count; ++i) {
            d.choose(type, i);
            int t = d.params().WriteImageType;
            EXPECT_EQ(IsWindowEnabled(keep) != FALSE, t == kTypeJpeg || t == kTypePng || t == kTypeTiff || t == kTypeWebp)
                << t;
            EXPECT_EQ(d.checked(keep), ticked) << t;
        }
    });
}

TEST(OutputPage, QualityIsStoredWhenTheTrackEnds) {
    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    setup.params().SaveOptions.Jpeg_Quality = 75;
    setup.run([&](Driver& d) {
        HWND sub = d.subPage(kTypeJpeg);
        HWND bar = GetDlgItem(sub, IDC_OPT_QUALITY);
        EXPECT_EQ(SendMessageA(bar, TBM_GETPOS, 0, 0), 75);
        SendMessageA(bar, TBM_SETPOS, TRUE, 40);
        SendMessageA(sub, WM_HSCROLL, MAKEWPARAM(TB_THUMBTRACK, 40), reinterpret_cast<LPARAM>(bar));
        EXPECT_EQ(d.params().SaveOptions.Jpeg_Quality, 75);
        SendMessageA(sub, WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0), reinterpret_cast<LPARAM>(bar));
        EXPECT_EQ(d.params().SaveOptions.Jpeg_Quality, 40);
        EXPECT_TRUE(d.applyEnabled());
    });
}

TEST(FolderPage, TimeFolderBoxGovernsItsDependentBox) {
    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    setup.run([&](Driver& d) {
        HWND time = d.control(kFolder, IDC_FOLDER_TIME);
        HWND noEmpty = d.control(kFolder, IDC_FOLDER_NOEMPTY);
        ASSERT_TRUE(d.params().FileMode & FILEMODE_NOEMPTYFOLDER);
        d.click(time);
        EXPECT_FALSE(d.params().FileMode & FILEMODE_TIMEFOLDER);
        EXPECT_FALSE(IsWindowEnabled(noEmpty));
        EXPECT_TRUE(d.params().FileMode & FILEMODE_NOEMPTYFOLDER);
        d.click(time);
        EXPECT_TRUE(IsWindowEnabled(noEmpty));
        EXPECT_TRUE(d.checked(noEmpty));
        d.click(d.control(kFolder, IDC_FOLDER_OVERWRITE));
        EXPECT_EQ(d.params().FileMode, kDefaultFileMode | FILEMODE_OVERWRITE);
        d.type(d.control(kFolder, IDC_FOLDER_PATH), "D:\\out");
        EXPECT_STREQ(d.params().WritePath, "D:\\out");
    });
}

TEST(ResultPage, OverwriteBoxIsTheInverseOfAppend) {
    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    setup.run([&](Driver& d) {
        HWND overwrite = d.control(kResult, IDC_RESULT_OVERWRITE);
        EXPECT_TRUE(d.checked(overwrite));
        d.click(overwrite);
        EXPECT_TRUE(d.params().FileMode & FILEMODE_LOGAPPEND);
        d.click(overwrite);
        EXPECT_FALSE(d.params().FileMode & FILEMODE_LOGAPPEND);

        HWND edit = d.control(kResult, IDC_RESULT_LOGFILE);
        HWND browse = d.control(kResult, IDC_RESULT_BROWSE);
        EXPECT_FALSE(GetWindowLongA(edit, GWL_STYLE) & ES_READONLY);
        d.click(d.control(kResult, IDC_RESULT_LOGINOUTPUT));
        EXPECT_TRUE(d.params().FileMode & FILEMODE_LOGINOUTPUT);
        EXPECT_TRUE(GetWindowLongA(edit, GWL_STYLE) & ES_READONLY);
        EXPECT_FALSE(IsWindowEnabled(browse));
        EXPECT_EQ(d.text(edit), d.params().LogFile);
        d.type(edit, "C:\\log.txt");
        EXPECT_STREQ(d.params().LogFile, "C:\\log.txt");
    });
}

TEST(IniFilePage, ResetThenCancelLeavesTheFileAlone) {
    pmtest::TempDir dir;
    std::string ini = dir / "PIXMILL.INI";
    std::string body = "[IMGCONVERT_DISP]\r\nCurNode=6\r\nCurLeaf=0\r\n[IMGCONVERT]\r\nSize.cx=500\r\nDirection=3\r\n";
    pmtest::WriteWholeFile(ini, body.data(), body.size());
    DialogSetup setup(ini);
    setup.run([&](Driver& d) {
        EXPECT_EQ(d.text(d.control(kIniFile, IDC_INIFILE_DEFAULT)), ini);
        EXPECT_EQ(d.selection(d.control(kIniFile, IDC_INIFILE_ACTION)), 0);
        SendMessageA(d.page(kIniFile), WM_COMMAND, MAKEWPARAM(IDC_INIFILE_OK, BN_CLICKED), 0);
        EXPECT_EQ(d.params().Size.cx, 96);
        EXPECT_EQ(d.text(d.control(kImage, IDC_IMAGE_WIDTH)), "96");
        EXPECT_TRUE(d.applyEnabled());
        d.press(IDC_SETTINGS_CANCEL);
        EXPECT_TRUE(d.waitClosed());
    });
    EXPECT_EQ(IniValue(ini, "IMGCONVERT", "Size.cx"), "500");
    EXPECT_EQ(IniValue(ini, "IMGCONVERT", "Direction"), "3");
}

TEST(IniFilePage, BlockedSaveOpensNoFileDialog) {
    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    strcpy(setup.params().WritePath, "");
    setup.run([&](Driver& d) {
        d.choose(d.control(kIniFile, IDC_INIFILE_ACTION), 2);
        d.pressOn(d.page(kIniFile), IDC_INIFILE_OK);
        HWND box = d.waitOwnedDialog();
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(d.boxText(box).rfind("フォルダーが無効です。", 0), 0u) << d.boxText(box);
        d.answer(box, IDOK);
        EXPECT_EQ(d.waitOwnedDialog(1000), nullptr) << "no file dialog after a refused folder";
    });
}

namespace {

// Types a name into an open or save dialog and confirms it.
bool ConfirmFileDialog(const Driver& d, HWND box, const std::string& name) {
    HWND edit = GetDlgItem(box, 0x47c);  // the file name combo box of the explorer-style dialog
    if (!edit) edit = GetDlgItem(box, 0x480);
    if (!edit) return false;
    SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(name.c_str()));
    return d.answer(box, IDOK);
}

std::string FileNameOffered(const Driver& d, HWND box) {
    HWND edit = GetDlgItem(box, 0x47c);
    if (!edit) edit = GetDlgItem(box, 0x480);
    return edit ? d.text(edit) : std::string("<no name field>");
}

}  // namespace

TEST(IniFilePage, SaveAndLoadRememberTheChosenFile) {
    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    strcpy(setup.params().WritePath, dir.path().c_str());
    std::string other = dir / "other.ini";
    setup.run([&](Driver& d) {
        HWND action = d.control(kIniFile, IDC_INIFILE_ACTION);
        d.choose(action, 2);
        d.choose(d.control(kImage, IDC_IMAGE_DIRECTION), 4);
        d.pressOn(d.page(kIniFile), IDC_INIFILE_OK);
        HWND box = d.waitOwnedDialog();
        ASSERT_NE(box, nullptr);
        EXPECT_NE(FileNameOffered(d, box).find("PIXMILL.INI"), std::string::npos) << FileNameOffered(d, box);
        ASSERT_TRUE(ConfirmFileDialog(d, box, dir / "other"));
        // The file appears with its first key; the write goes on after that.
        ASSERT_TRUE(WaitFor([&] { return IniValue(other, "IMGCONVERT", "Gif_Interlace") != "<missing>"; }));
        EXPECT_EQ(IniValue(other, "IMGCONVERT", "Direction"), "4");
        EXPECT_EQ(d.state()->Args->Saved, 0) << "saving elsewhere is not a save of the settings";

        d.choose(d.control(kImage, IDC_IMAGE_DIRECTION), 0);
        d.choose(action, 1);
        d.pressOn(d.page(kIniFile), IDC_INIFILE_OK);
        box = d.waitOwnedDialog();
        ASSERT_NE(box, nullptr);
        EXPECT_NE(FileNameOffered(d, box).find("other.ini"), std::string::npos) << FileNameOffered(d, box);
        ASSERT_TRUE(ConfirmFileDialog(d, box, other));
        EXPECT_TRUE(WaitFor([&] { return d.params().Direction == 4; }));
        EXPECT_EQ(d.selection(d.control(kImage, IDC_IMAGE_DIRECTION)), 4);
    });
    EXPECT_EQ(IniValue(dir / "PIXMILL.INI", "IMGCONVERT", "Direction"), "<missing>")
        << "the default file gets the settings only from Save or Apply";
}

TEST(SettingsDialog, BadSettingsFileOpensAndSavesOnlyWhatChanged) {
    pmtest::TempDir dir;
    std::string ini = dir / "PIXMILL.INI";
    std::string longFolder(263, 'x');
    std::string body =
        "[IMGCONVERT_DISP]\r\nCurNode=-3\r\nCurLeaf=7\r\n[IMGCONVERT]\r\nDirection=99\r\nResize=-1\r\n"
        "BitCount=77\r\nPalette=9\r\nZoomFilter=5\r\nFilter=1000\r\nImageTypeCount=0\r\nImageType0=42\r\n"
        "FileMode=-1\r\nWritePath=" + longFolder + "\r\nWriteImageType=99\r\nJpeg_Progressive=7\r\n"
        "Gif_Interlace=9\r\nPng_Interlace=200\r\nBmp_Comp=300\r\nJpeg_Quality=250\r\n";
    // A file of this release: no type it did not know joins its (empty)
    // selection.
    int types[kMaxImageTypes];
    int typeCount = ImgKit_ListImageTypes(16, kMaxImageTypes, types);
    body += "KnownImageTypes=";
    for (int i = 0; i < typeCount; ++i) body += (i ? "," : "") + std::to_string(types[i]);
    body += "\r\n";
    pmtest::WriteWholeFile(ini, body.data(), body.size());
    DialogSetup setup(ini);
    ImageConvertParams loaded = setup.params();
    setup.run([&](Driver& d) {
        EXPECT_EQ(d.selectedTreeText(), "Vimoサムネイル");
        EXPECT_EQ(d.selection(d.control(kImage, IDC_IMAGE_DIRECTION)), CB_ERR);
        // A type that cannot be written, or a filter outside the list, was
        // read as the default: the dialog shows what a run would do.
        EXPECT_EQ(d.params().WriteImageType, kTypeJpeg);
        EXPECT_EQ(d.selection(d.control(kOutput, IDC_OUTPUT_TYPE)), 4);
        EXPECT_EQ(SendMessageA(d.control(kInput, IDC_INPUT_TYPES), LB_GETSELCOUNT, 0, 0), 0);
        EXPECT_FALSE(d.applyEnabled());
        EXPECT_EQ(memcmp(&d.params(), &loaded, offsetof(ImageConvertParams, CurNode)), 0)
            << "opening changed nothing";
        d.choose(d.control(kImage, IDC_IMAGE_PALETTE), 1);
        EXPECT_TRUE(d.applyEnabled());
        d.press(IDC_SETTINGS_CANCEL);
        EXPECT_TRUE(d.waitClosed());
    });
    ImageConvertParams after = setup.params();
    EXPECT_EQ(after.Palette, 1);
    after.Palette = loaded.Palette;
    EXPECT_EQ(memcmp(&after, &loaded, offsetof(ImageConvertParams, CurNode)), 0) << "only the palette changed";

    // Saved once the folder is usable and a type is ticked: the odd values
    // that a run copes with go back as they were, the others as read.
    DialogSetup again(ini);
    again.run([&](Driver& d) {
        d.type(d.control(kFolder, IDC_FOLDER_PATH), dir.path().c_str());
        ToggleItem(d, d.control(kInput, IDC_INPUT_TYPES), 0);
        d.press(IDC_SETTINGS_SAVE);
        EXPECT_TRUE(d.waitClosed());
    });
    EXPECT_EQ(IniValue(ini, "IMGCONVERT", "Direction"), "99");
    EXPECT_EQ(IniValue(ini, "IMGCONVERT", "BitCount"), "77");
    EXPECT_EQ(IniValue(ini, "IMGCONVERT", "Filter"), "4");
    EXPECT_EQ(IniValue(ini, "IMGCONVERT", "WriteImageType"), "3");
    EXPECT_EQ(IniValue(ini, "IMGCONVERT", "ImageTypeCount"), "1");
    EXPECT_EQ(IniValue(ini, "IMGCONVERT_DISP", "CurNode"), "0");
}

TEST(BrowseButtons, CancelledChoosersChangeNothing) {
    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    strcpy(setup.params().WritePath, dir.path().c_str());
    setup.run([&](Driver& d) {
        std::string folder = d.params().WritePath, log = d.params().LogFile;
        for (auto [node, id] : {std::pair{kFolder, IDC_FOLDER_BROWSE}, std::pair{kResult, IDC_RESULT_BROWSE}}) {
            d.pressOn(d.page(node), id);
            HWND chooser = d.waitOwnedDialog();
            ASSERT_NE(chooser, nullptr) << node;
            EXPECT_TRUE(d.answer(chooser, IDCANCEL));
        }
        EXPECT_EQ(d.params().WritePath, folder);
        EXPECT_EQ(d.params().LogFile, log);
        EXPECT_FALSE(d.applyEnabled());
    });
}

TEST(BrowseButtons, LogFileChosenInTheSaveDialogGetsItsExtension) {
    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    setup.run([&](Driver& d) {
        d.pressOn(d.page(kResult), IDC_RESULT_BROWSE);
        HWND box = d.waitOwnedDialog();
        ASSERT_NE(box, nullptr);
        ASSERT_TRUE(ConfirmFileDialog(d, box, dir / "runlog"));
        EXPECT_TRUE(WaitFor([&] { return std::string(d.params().LogFile) == dir / "runlog.txt"; }))
            << d.params().LogFile;
        EXPECT_EQ(d.text(d.control(kResult, IDC_RESULT_LOGFILE)), dir / "runlog.txt");
        EXPECT_TRUE(d.applyEnabled());
    });
}

TEST(FlagBoxes, EachBoxFlipsExactlyItsOwnBit) {
    struct Box {
        int Node;
        int Control;
        uint32_t Bit;
        bool Inverted;
    };
    const Box boxes[] = {
        {kInput, IDC_INPUT_SUBFOLDERS, FILEMODE_SUBFOLDERS, false},
        {kInput, IDC_INPUT_EXTONLY, FILEMODE_EXTONLY, false},
        {kFolder, IDC_FOLDER_PRODUCT, FILEMODE_PRODUCTFOLDER, false},
        {kFolder, IDC_FOLDER_TIME, FILEMODE_TIMEFOLDER, false},
        {kFolder, IDC_FOLDER_NOEMPTY, FILEMODE_NOEMPTYFOLDER, false},
        {kFolder, IDC_FOLDER_OVERWRITE, FILEMODE_OVERWRITE, false},
        {kResult, IDC_RESULT_LOGINOUTPUT, FILEMODE_LOGINOUTPUT, false},
        {kResult, IDC_RESULT_ERRORSONLY, FILEMODE_LOGERRORSONLY, false},
        {kResult, IDC_RESULT_OVERWRITE, FILEMODE_LOGAPPEND, true},
        {kResult, IDC_RESULT_ENDMESSAGE, FILEMODE_ENDMESSAGE, false},
        {kResult, IDC_RESULT_OPENFOLDER, FILEMODE_OPENFOLDER, false},
    };
    // Every bit set, then none: a box that touches a neighbour shows in
    // either word; bits no box owns must survive both.
    for (uint32_t start : {0xFFFFFFFFu & ~FILEMODE_LOGAPPEND, 0u | FILEMODE_TIMEFOLDER}) {
        pmtest::TempDir dir;
        DialogSetup setup(dir / "PIXMILL.INI");
        setup.params().FileMode = start;
        setup.run([&](Driver& d) {
            for (const Box& b : boxes) {
                HWND box = d.control(b.Node, b.Control);
                EXPECT_EQ(d.checked(box), ((start & b.Bit) != 0) != b.Inverted) << b.Control;
                d.click(box);
                EXPECT_EQ(d.params().FileMode, start ^ b.Bit) << std::hex << b.Control << " from " << start;
                EXPECT_TRUE(d.applyEnabled());
                d.click(box);
                EXPECT_EQ(d.params().FileMode, start) << std::hex << b.Control << " back from " << start;
            }
        });
    }
}

#define FIELD_AT(member) offsetof(ImageConvertParams, member), sizeof(ImageConvertParams::member)

TEST(ListBoxes, EachItemStoresItsValueIntoItsOwnField) {
    struct List {
        int Node;  // or -1 for the sub-page of `Type`
        int Type;
        int Control;
        size_t Offset, Bytes;  // the field in the record
        std::vector<long> Values;  // the values of the items, in list order
    };
    const List lists[] = {
        {kImage, 0, IDC_IMAGE_DIRECTION, FIELD_AT(Direction), {0, 1, 2, 3, 4, 5, 6, 7}},
        {kImage, 0, IDC_IMAGE_RESIZE, FIELD_AT(Resize), {0, 1, 2}},
        {kImage, 0, IDC_IMAGE_BITCOUNT, FIELD_AT(BitCount), {0, 1, 2, 3, 4, 5, 6, 7, 8, 24}},
        {kImage, 0, IDC_IMAGE_ZOOMFILTER, FIELD_AT(ZoomFilter), {0, 1}},
        {kImage, 0, IDC_IMAGE_PALETTE, FIELD_AT(Palette), {0, 1, 2, 3}},
        {kImage, 0, IDC_IMAGE_FILTER, FIELD_AT(Filter), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 20, 21, 22, 12, 13, 14, 15, 25, 26}},
        {-1, kTypeGif, IDC_OPT_SCAN, FIELD_AT(SaveOptions.Gif_Interlace), {0, 1, 2}},
        {-1, kTypePng, IDC_OPT_SCAN, FIELD_AT(SaveOptions.Png_Interlace), {0, 1, 2}},
        {-1, kTypeJpeg, IDC_OPT_JPEGSCAN, FIELD_AT(SaveOptions.Jpeg_Progressive), {1, 0, 2}},
    };
    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    setup.params().UseFilter = 1;
    setup.run([&](Driver& d) {
        for (const List& l : lists) {
            HWND list = l.Node >= 0 ? d.control(l.Node, l.Control) : GetDlgItem(d.subPage(l.Type), l.Control);
            ASSERT_EQ(SendMessageA(list, CB_GETCOUNT, 0, 0), LRESULT(l.Values.size())) << l.Control;
            for (size_t i = 0; i < l.Values.size(); ++i) {
                ImageConvertParams before = d.params();
                d.choose(list, int(i));
                const auto* was = reinterpret_cast<const unsigned char*>(&before);
                const auto* now = reinterpret_cast<const unsigned char*>(&d.params());
                long value = 0;
                memcpy(&value, now + l.Offset, l.Bytes);  // little-endian, values below 128
                EXPECT_EQ(value, l.Values[i]) << l.Control << " item " << i;
                for (size_t b = 0; b < offsetof(ImageConvertParams, CurNode); ++b)
                    if (b < l.Offset || b >= l.Offset + l.Bytes) {
                        ASSERT_EQ(was[b], now[b]) << l.Control << " item " << i << " moved byte " << b;
                    }
            }
            // A reload shows the stored value as its item.
            SendMessageA(d.dialog(), WM_PARAMS_LOAD, 0, 0);
            EXPECT_EQ(d.selection(list), LRESULT(l.Values.size() - 1)) << l.Control;
        }
    });
}

TEST(IniFilePage, NameTooLongForItsBufferChangesNothing) {
    pmtest::TempDir dir;
    // Few characters, many bytes: the dialog counts the one, the name
    // buffer holds the other.
    std::string part;
    for (int i = 0; i < 60; ++i) part += "あ";
    std::string deep = dir / part;
    ASSERT_TRUE(pmtest::MakeDir(deep));
    deep += "\\" + part;
    ASSERT_TRUE(pmtest::MakeDir(deep));
    std::string chosen = deep + "\\x.ini";
    ASSERT_GT(chosen.size(), 264u);
    DialogSetup setup(dir / "PIXMILL.INI");
    strcpy(setup.params().WritePath, dir.path().c_str());
    std::string first = dir / "first.ini";
    setup.run([&](Driver& d) {
        // A name that fits, chosen first, is the one to keep.
        d.choose(d.control(kIniFile, IDC_INIFILE_ACTION), 2);
        d.pressOn(d.page(kIniFile), IDC_INIFILE_OK);
        HWND box = d.waitOwnedDialog();
        ASSERT_NE(box, nullptr);
        ASSERT_TRUE(ConfirmFileDialog(d, box, first));
        ASSERT_TRUE(WaitFor([&] { return IniValue(first, "IMGCONVERT", "Gif_Interlace") != "<missing>"; }));

        d.pressOn(d.page(kIniFile), IDC_INIFILE_OK);
        box = d.waitOwnedDialog();
        ASSERT_NE(box, nullptr);
        ASSERT_TRUE(ConfirmFileDialog(d, box, chosen));
        HWND message = d.waitOwnedDialog();
        ASSERT_NE(message, nullptr) << "a cut name was taken";
        EXPECT_EQ(d.boxText(message), "ファイル名が長過ぎます。\n\n" + chosen);
        d.answer(message, IDOK);

        // Nothing written anywhere, and the next dialog offers the old name.
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((deep + "\\*.*").c_str(), &found);
        int entries = 0;
        if (search != INVALID_HANDLE_VALUE) {
            do entries += strcmp(found.cFileName, ".") && strcmp(found.cFileName, "..");
            while (FindNextFileA(search, &found));
            FindClose(search);
        }
        EXPECT_EQ(entries, 0);
        d.pressOn(d.page(kIniFile), IDC_INIFILE_OK);
        box = d.waitOwnedDialog();
        ASSERT_NE(box, nullptr);
        EXPECT_NE(FileNameOffered(d, box).find("first.ini"), std::string::npos) << FileNameOffered(d, box);
        d.answer(box, IDCANCEL);
    });
}
