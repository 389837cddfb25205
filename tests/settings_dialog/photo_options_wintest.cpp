// The photo options on the settings pages (turn upright, colour profiles,
// no enlarging, keep metadata): what their check boxes store, Apply, Save
// and Cancel, the settings-file page, and that every page fits its area.
#include "common/testsupport.h"
#include "dialog_driver.h"
#include "settings_ui/image_page_ids.h"
#include "settings_ui/inifile_page_ids.h"
#include "settings_ui/output_page_ids.h"

#include <vector>

using namespace dlgtest;

namespace {

// A dialog over a record with its extras bound, read from the file as
// start-up reads the module's own.
struct BoundSetup {
    ImageConvertExtras extras = kDefaultExtras;
    DialogSetup setup;
    ScopedExtras binding;
    explicit BoundSetup(const std::string& ini) : setup(ini), binding(&setup.params(), &extras) { setup.reload(); }
};

struct Box {
    int node, id;
    int32_t ImageConvertExtras::*field;
};
const Box kBoxes[] = {
    {kImage, IDC_IMAGE_AUTOROTATE, &ImageConvertExtras::AutoRotate},
    {kImage, IDC_IMAGE_COLORMANAGE, &ImageConvertExtras::ColorManage},
    {kImage, IDC_IMAGE_NOENLARGE, &ImageConvertExtras::NoEnlarge},
    {kOutput, IDC_OUTPUT_KEEPMETA, &ImageConvertExtras::KeepMetadata},
};

TEST(PhotoOptions, BoxesShowAndStoreTheirSettingAndDriveApply) {
    pmtest::TempDir dir;
    std::string ini = dir / "PIXMILL.INI";
    std::string body = "[IMGCONVERT]\r\nAutoRotate=0\r\nColorManage=1\r\nKeepMetadata=1\r\nNoEnlarge=0\r\n";
    pmtest::WriteWholeFile(ini, body.data(), body.size());
    BoundSetup b(ini);
    ASSERT_EQ(b.extras, (ImageConvertExtras{0, 1, 1, 0, 0, kDefaultWebpOptions}));
    b.setup.run([&](Driver& d) {
        for (const Box& box : kBoxes) {
            HWND w = d.control(box.node, box.id);
            ASSERT_NE(w, nullptr) << box.id;
            const int32_t was = b.extras.*box.field;
            EXPECT_EQ(d.checked(w), was != 0) << box.id;
            EXPECT_FALSE(d.applyEnabled());
            d.click(w);
            EXPECT_EQ(b.extras.*box.field, was ? 0 : 1) << box.id;
            EXPECT_TRUE(d.applyEnabled()) << box.id;
            d.click(w);
            EXPECT_EQ(b.extras.*box.field, was) << box.id;
            EXPECT_FALSE(d.applyEnabled()) << box.id << ": back as loaded";
        }
        // Without a zoom there is nothing to enlarge.
        HWND noEnlarge = d.control(kImage, IDC_IMAGE_NOENLARGE);
        EXPECT_TRUE(IsWindowEnabled(noEnlarge));
        d.choose(d.control(kImage, IDC_IMAGE_RESIZE), 0);
        EXPECT_FALSE(IsWindowEnabled(noEnlarge));
        d.choose(d.control(kImage, IDC_IMAGE_RESIZE), 1);
        EXPECT_TRUE(IsWindowEnabled(noEnlarge));
    });
}

// The number of files converted at once: a list whose items store their
// count; a count the list does not offer shows no item and stays.
TEST(PhotoOptions, TheThreadCountListShowsAndStoresItsSetting) {
    pmtest::TempDir dir;
    std::string ini = dir / "PIXMILL.INI";
    std::string body = "[IMGCONVERT]\r\nThreads=4\r\n";
    pmtest::WriteWholeFile(ini, body.data(), body.size());
    BoundSetup b(ini);
    ASSERT_EQ(b.extras.Threads, 4);
    b.setup.run([&](Driver& d) {
        HWND list = d.control(kImage, IDC_IMAGE_THREADS);
        ASSERT_NE(list, nullptr);
        LRESULT at = SendMessageA(list, CB_GETCURSEL, 0, 0);
        ASSERT_NE(at, CB_ERR);
        EXPECT_EQ(SendMessageA(list, CB_GETITEMDATA, WPARAM(at), 0), 4);
        d.choose(list, 0);  // automatic
        EXPECT_EQ(b.extras.Threads, 0);
        EXPECT_TRUE(d.applyEnabled());
        d.choose(list, 1);
        EXPECT_EQ(b.extras.Threads, 1);
        d.press(IDC_SETTINGS_SAVE);
        EXPECT_TRUE(d.waitClosed());
    });
    EXPECT_EQ(IniValue(ini, "IMGCONVERT", "Threads"), "1");

    body = "[IMGCONVERT]\r\nThreads=3\r\n";
    pmtest::WriteWholeFile(ini, body.data(), body.size());
    BoundSetup odd(ini);
    odd.setup.run([&](Driver& d) {
        EXPECT_EQ(SendMessageA(d.control(kImage, IDC_IMAGE_THREADS), CB_GETCURSEL, 0, 0), CB_ERR);
        d.press(IDC_SETTINGS_SAVE);
        EXPECT_TRUE(d.waitClosed());
    });
    EXPECT_EQ(IniValue(ini, "IMGCONVERT", "Threads"), "3");
}

TEST(PhotoOptions, ApplyAndSaveWriteThemCancelDoesNot) {
    pmtest::TempDir dir;
    std::string ini = dir / "PIXMILL.INI";
    {
        BoundSetup b(ini);
        b.setup.run([&](Driver& d) {
            d.click(d.control(kImage, IDC_IMAGE_AUTOROTATE));
            d.press(IDC_SETTINGS_CANCEL);
            EXPECT_TRUE(d.waitClosed());
        });
        EXPECT_EQ(IniValue(ini, "IMGCONVERT", "AutoRotate"), "<missing>");
    }
    BoundSetup b(ini);
    b.setup.run([&](Driver& d) {
        d.click(d.control(kImage, IDC_IMAGE_NOENLARGE));
        d.press(IDC_SETTINGS_APPLY);
        EXPECT_TRUE(WaitFor([&] { return !d.applyEnabled(); }));
        EXPECT_EQ(IniValue(ini, "IMGCONVERT", "NoEnlarge"), "1");
        d.click(d.control(kOutput, IDC_OUTPUT_KEEPMETA));
        EXPECT_TRUE(d.applyEnabled());
        d.press(IDC_SETTINGS_SAVE);
        EXPECT_TRUE(d.waitClosed());
    });
    EXPECT_EQ(IniValue(ini, "IMGCONVERT", "AutoRotate"), "1");
    EXPECT_EQ(IniValue(ini, "IMGCONVERT", "ColorManage"), "1");
    EXPECT_EQ(IniValue(ini, "IMGCONVERT", "KeepMetadata"), "1");
    EXPECT_EQ(IniValue(ini, "IMGCONVERT", "NoEnlarge"), "1");
}

TEST(PhotoOptions, ACallerWithoutExtrasGetsTheDialogsOwnUntilItCloses) {
    pmtest::TempDir dir;
    std::string ini = dir / "PIXMILL.INI";
    DialogSetup setup(ini);
    setup.run([&](Driver& d) {
        ImageConvertExtras* x = Pm_ExtrasOf(&d.params());
        ASSERT_NE(x, nullptr);
        EXPECT_EQ(*x, kDefaultExtras);
        d.click(d.control(kOutput, IDC_OUTPUT_KEEPMETA));
        EXPECT_EQ(x->KeepMetadata, 1);
        d.press(IDC_SETTINGS_SAVE);
        EXPECT_TRUE(d.waitClosed());
    });
    EXPECT_EQ(IniValue(ini, "IMGCONVERT", "KeepMetadata"), "1");
    EXPECT_EQ(Pm_ExtrasOf(&setup.params()), nullptr) << "the binding ends with the dialog";
}

TEST(PhotoOptions, SettingsFilePageRestoresTheirDefaults) {
    pmtest::TempDir dir;
    std::string ini = dir / "PIXMILL.INI";
    std::string body = "[IMGCONVERT]\r\nAutoRotate=0\r\nColorManage=0\r\nKeepMetadata=1\r\nNoEnlarge=1\r\n";
    pmtest::WriteWholeFile(ini, body.data(), body.size());
    BoundSetup b(ini);
    b.setup.run([&](Driver& d) {
        SendMessageA(d.page(kIniFile), WM_COMMAND, MAKEWPARAM(IDC_INIFILE_OK, BN_CLICKED), 0);
        EXPECT_EQ(b.extras, kDefaultExtras);
        for (const Box& box : kBoxes) EXPECT_EQ(d.checked(d.control(box.node, box.id)), b.extras.*box.field != 0);
        EXPECT_TRUE(d.applyEnabled());
    });
}

// Every control a page shows lies inside the frame's page area: nothing is
// cut off at the bottom or the right.
struct Children {
    std::vector<HWND> all;
};
BOOL CALLBACK CollectChild(HWND w, LPARAM lp) {
    reinterpret_cast<Children*>(lp)->all.push_back(w);
    return TRUE;
}

TEST(SettingsGeometry, EveryShownControlFitsThePageArea) {
    pmtest::TempDir dir;
    DialogSetup setup(dir / "PIXMILL.INI");
    setup.run([&](Driver& d) {
        RECT area;
        GetWindowRect(GetDlgItem(d.dialog(), IDC_SETTINGS_PAGEAREA), &area);
        for (int node = kImage; node <= kVersion; ++node) {
            d.showPage(node);
            HWND page = d.page(node);
            ASSERT_NE(page, nullptr);
            Children c;
            EnumChildWindows(page, CollectChild, reinterpret_cast<LPARAM>(&c));
            for (HWND w : c.all) {
                if (!IsWindowVisible(w)) continue;
                RECT r;
                GetWindowRect(w, &r);
                char text[200] = "";
                GetWindowTextA(w, text, sizeof text);
                EXPECT_TRUE(r.left >= area.left && r.top >= area.top && r.right <= area.right && r.bottom <= area.bottom)
                    << "page " << node << " control " << GetDlgCtrlID(w) << " \"" << text << "\" at " << r.left << ","
                    << r.top << "-" << r.right << "," << r.bottom << " outside " << area.left << "," << area.top
                    << "-" << area.right << "," << area.bottom;
            }
        }
    });
}

}  // namespace

namespace {

// The WebP sub-page edits its own record among the extras: the quality when
// the track ends, lossless with the bar then out of use, Apply as for the
// other options; the type list offers WebP and shows it when chosen.
TEST(PhotoOptions, WebpSubPageShowsAndStoresItsOptions) {
    pmtest::TempDir dir;
    std::string ini = dir / "PIXMILL.INI";
    std::string body = "[IMGCONVERT]\r\nWriteImageType=10\r\nWebp_Quality=35\r\nWebp_Lossless=0\r\n";
    pmtest::WriteWholeFile(ini, body.data(), body.size());
    BoundSetup b(ini);
    ASSERT_EQ(b.extras.Webp.Quality, 35);
    b.setup.run([&](Driver& d) {
        HWND sub = d.subPage(kTypeWebp);
        ASSERT_NE(sub, nullptr);
        EXPECT_TRUE(GetWindowLongA(sub, GWL_STYLE) & WS_VISIBLE) << "the chosen type's sub-page";
        HWND type = d.control(kOutput, IDC_OUTPUT_TYPE);
        EXPECT_EQ(d.text(type), "WebP イメージ");
        HWND bar = GetDlgItem(sub, IDC_OPT_QUALITY);
        HWND lossless = GetDlgItem(sub, IDC_OPT_LOSSLESS);
        EXPECT_EQ(SendMessageA(bar, TBM_GETPOS, 0, 0), 35);
        EXPECT_FALSE(d.checked(lossless));
        EXPECT_TRUE(IsWindowEnabled(bar));
        EXPECT_FALSE(d.applyEnabled());

        SendMessageA(bar, TBM_SETPOS, TRUE, 60);
        SendMessageA(sub, WM_HSCROLL, MAKEWPARAM(TB_THUMBTRACK, 60), reinterpret_cast<LPARAM>(bar));
        EXPECT_EQ(b.extras.Webp.Quality, 35) << "a drag in progress";
        SendMessageA(sub, WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0), reinterpret_cast<LPARAM>(bar));
        EXPECT_EQ(b.extras.Webp.Quality, 60);
        EXPECT_EQ(d.params().SaveOptions.Jpeg_Quality, b.setup.params().SaveOptions.Jpeg_Quality);
        EXPECT_TRUE(d.applyEnabled());

        d.click(lossless);
        EXPECT_EQ(b.extras.Webp.Lossless, 1);
        EXPECT_FALSE(IsWindowEnabled(bar));
        d.click(lossless);
        EXPECT_EQ(b.extras.Webp.Lossless, 0);
        EXPECT_TRUE(IsWindowEnabled(bar));
    });
}

}  // namespace
