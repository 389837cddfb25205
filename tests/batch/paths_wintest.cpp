// Paths as users have them: names outside code page 932, folders too deep
// for the walk, list entries that name nothing, one file reached twice,
// inputs that share an output name, output folders inside the input, files
// whose content is not what their extension says, images too large.
#include "batch_support.h"

#include "batch/batch_walk.h"
#include "entry/extras.h"
#include "makerlibs/pmcore.h"
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmdibio.h"
#include "records/run_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using batchtest::CopySample;
using batchtest::FilesBelow;
using batchtest::kQuietMode;
using batchtest::MakeParams;
using batchtest::RunResult;
using batchtest::RunWalk;
using pmtest::Join;
using pmtest::MakeDir;
using pmtest::TempDir;

namespace {

using Files = std::vector<std::string>;

std::wstring Wide(const std::string& s) {
    std::wstring w;
    EXPECT_TRUE(Core_WideExact(s.c_str(), &w)) << s;
    return w;
}

bool CopySampleW(const char* sample, const std::wstring& to) {
    std::string from = Join(Join(pmtest::SourceDir(), "samples"), sample);
    return CopyFileW(Wide(from).c_str(), Core_LongPathForm(to).c_str(), FALSE) != 0;
}

// Every file below `folder`, relative, by real names, sorted.
std::vector<std::wstring> FilesBelowW(const std::wstring& folder) {
    std::vector<std::wstring> out;
    std::function<void(const std::wstring&, const std::wstring&)> walk = [&](const std::wstring& dir,
                                                                            const std::wstring& rel) {
        WIN32_FIND_DATAW fd;
        HANDLE h = FindFirstFileW(Core_ExactPathForm(dir + L"\\*").c_str(), &fd);
        if (h == INVALID_HANDLE_VALUE) return;
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring r = rel.empty() ? name : rel + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                walk(dir + L"\\" + name, r);
            else
                out.push_back(r);
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    };
    walk(folder, L"");
    std::sort(out.begin(), out.end());
    return out;
}

// Removes what the narrow clean-up of TempDir cannot name.
void RemoveTreeW(const std::wstring& folder) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(Core_ExactPathForm(folder + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring path = folder + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTreeW(path);
            else
                DeleteFileW(Core_ExactPathForm(path).c_str());
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryW(Core_ExactPathForm(folder).c_str());
}

bool ImageSizeW(const std::wstring& path, int type, int* width, int* height) {
    return batchtest::ImageSizeOfOpen(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr), type, width,
        height);
}

std::vector<std::string> g_shown;
void RecordShown(const ImageConvertParams*, const char* path, bool done) {
    if (!done) g_shown.push_back(path);
}

}  // namespace

// Names code page 932 cannot hold, names the system would rewrite (a
// trailing dot beside the same name without it) and paths beyond MAX_PATH,
// through the narrow list and the wide one, on a volume with short names
// and on one without (as NTFS data volumes, exFAT cards and shares are).
TEST(BatchPaths, EveryNameConvertsByItsRealNameAndMirrorsIntoTheOutput) {
    for (bool shortNames : {true, false}) {
        for (bool wideList : {false, true}) {
            SCOPED_TRACE(std::string(shortNames ? "short names" : "no short names") + (wideList ? ", wide list" : ""));
            TempDir dir;
            std::wstring in = Wide(dir / "in");
            ASSERT_TRUE(CreateDirectoryW(in.c_str(), nullptr));
            const std::wstring greek = L"\u0395\u03bb\u03bb\u03ac\u03b4\u03b1", korean = L"\ud55c\uad6d\uc5b4\ud3f4\ub354";
            ASSERT_TRUE(CreateDirectoryW((in + L"\\" + greek).c_str(), nullptr));
            ASSERT_TRUE(CreateDirectoryW((in + L"\\" + korean).c_str(), nullptr));
            ASSERT_TRUE(CreateDirectoryW((in + L"\\\u4e2d\u6587").c_str(), nullptr));  // Chinese
            ASSERT_TRUE(CreateDirectoryW(Core_ExactPathForm(in + L"\\trip.").c_str(), nullptr));
            ASSERT_TRUE(CreateDirectoryW((in + L"\\trip").c_str(), nullptr));
            // "café" holds a square image, "cafe" a wide one: the best-fit name of
            // the first is the second, and the outputs must not mix them up.
            ASSERT_TRUE(CopySampleW("badge.png", in + L"\\caf\u00e9.jpg"));
            ASSERT_TRUE(CopySampleW("landscape.jpg", in + L"\\cafe.jpg"));
            ASSERT_TRUE(CopySampleW("landscape.jpg", in + L"\\x\u00a5y.jpg"));  // best fit: x\y.jpg
            ASSERT_TRUE(CopySampleW("landscape.jpg", in + L"\\\U0001F4F7.jpg"));
            ASSERT_TRUE(CopySampleW("scene24.bmp", in + L"\\" + greek + L"\\a.bmp"));
            ASSERT_TRUE(CopySampleW("scene8.bmp", in + L"\\" + korean + L"\\b.bmp"));
            ASSERT_TRUE(CopySampleW("scene8.bmp", in + L"\\\u4e2d\u6587\\c.bmp"));
            ASSERT_TRUE(CopySampleW("badge.png", Core_ExactPathForm(in + L"\\trip.\\t.png")));
            ASSERT_TRUE(CopySampleW("landscape.jpg", in + L"\\trip\\t.jpg"));
            // Nested past MAX_PATH, with a name outside the code page at the end.
            std::wstring deep = in, deepRel;
            while (deep.size() < MAX_PATH + 40) {
                deep += L"\\abcdefghij\u00e9";
                deepRel += std::wstring(deepRel.empty() ? L"" : L"\\") + L"abcdefghij\u00e9";
                ASSERT_TRUE(CreateDirectoryW(Core_ExactPathForm(deep).c_str(), nullptr));
            }
            ASSERT_TRUE(CopySampleW("landscape.jpg", deep + L"\\\ud55c.jpg"));

            ImageConvertParams p;
            MakeParams(&p, dir / "out", kQuietMode);
            g_shown.clear();
            Batch_SetProgressHook(RecordShown);
            Core_SetShortNamesForTest(shortNames);
            RunResult r = wideList ? batchtest::RunWalkW(&p, {in}) : RunWalk(&p, {dir / "in"});
            Core_SetShortNamesForTest(true);
            Batch_SetProgressHook(nullptr);
            EXPECT_EQ(r.processed, 10);
            EXPECT_EQ(r.succeeded, 10);
            EXPECT_TRUE(r.errors.empty()) << (r.errors.empty() ? "" : r.errors[0].name);
            std::wstring out = Wide(dir / "out") + L"\\in";
            std::vector<std::wstring> want = {L"cafe.jpg",
                                              L"caf\u00e9.jpg",
                                              L"x\u00a5y.jpg",
                                              greek + L"\\a.jpg",
                                              korean + L"\\b.jpg",
                                              L"\u4e2d\u6587\\c.jpg",
                                              L"trip.\\t.jpg",
                                              L"trip\\t.jpg",
                                              deepRel + L"\\\ud55c.jpg",
                                              L"\U0001F4F7.jpg"};
            std::sort(want.begin(), want.end());
            EXPECT_TRUE(FilesBelowW(out) == want);
            int w = 0, h = 0;
            ASSERT_TRUE(ImageSizeW(out + L"\\caf\u00e9.jpg", kTypeJpeg, &w, &h));
            EXPECT_EQ(w, h) << "the accented name holds the square image";
            ASSERT_TRUE(ImageSizeW(out + L"\\cafe.jpg", kTypeJpeg, &w, &h));
            EXPECT_GT(w, h) << "the plain name holds the wide image";
            ASSERT_TRUE(ImageSizeW(Core_ExactPathForm(out + L"\\trip.\\t.jpg"), kTypeJpeg, &w, &h));
            EXPECT_EQ(w, h) << "the folder with the trailing dot holds the square image";
            // Shown with '?' where the code page has no character, never with a
            // look-alike (the yen sign is no separator).
            std::vector<std::string> names;
            for (const std::string& s : g_shown) names.push_back(PmPath_NameStart(s.c_str()));
            std::sort(names.begin(), names.end());
            EXPECT_EQ(names, (Files{"?.jpg", "?.jpg", "a.bmp", "b.bmp", "c.bmp", "caf?.jpg", "cafe.jpg", "t.jpg", "t.png",
                                    "x?y.jpg"}));
            RemoveTreeW(Wide(dir.path()));
        }
    }
}

TEST(BatchPaths, ListEntriesThatNameNothingAreErrorsAndTheRunGoesOn) {
    TempDir dir;
    MakeDir(dir / "in");
    CopySample("landscape.jpg", dir / "in\\a.jpg");
    // A drive letter nobody has mapped.
    std::string noDrive;
    DWORD drives = GetLogicalDrives();
    for (char c = 'Q'; c <= 'Y' && noDrive.empty(); ++c)
        if (!(drives & (1u << (c - 'A')))) noDrive = std::string(1, c) + ":\\";
    ASSERT_FALSE(noDrive.empty());
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode);
    std::vector<std::string> entries = {dir / "mistyped", dir / "gone.jpg", noDrive, "", dir / "in"};
    RunResult r = RunWalk(&p, entries);
    EXPECT_TRUE(r.walked);
    EXPECT_EQ(r.processed, 1);
    EXPECT_EQ(r.succeeded, 1);
    ASSERT_EQ(r.errors.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(r.errors[i].name, entries[i]);
        EXPECT_EQ(r.errors[i].id, kErrOpenInput) << entries[i];
        EXPECT_NE(r.errors[i].lastError, 0) << entries[i];
    }
}

TEST(BatchPaths, OneFileReachedTwiceIsConvertedOnce) {
    TempDir dir;
    MakeDir(dir / "in");
    CopySample("landscape.jpg", dir / "in\\a.jpg");
    CopySample("scene24.bmp", dir / "in\\b.bmp");
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode | FILEMODE_OVERWRITE);
    RunResult r = RunWalk(&p, {dir / "in", dir / "in\\a.jpg", dir / "in\\..\\in"});
    EXPECT_EQ(r.processed, 2);
    EXPECT_EQ(r.succeeded, 2);
    EXPECT_TRUE(r.errors.empty());
}

// Names of one file in one folder and in another, beside files of their
// own: identity, not the name, decides, in both folders.
TEST(BatchPaths, HardLinksOfOneFileAreConvertedOnce) {
    TempDir dir;
    MakeDir(dir / "in");
    MakeDir(dir / "in\\sub");
    CopySample("landscape.jpg", dir / "in\\a.jpg");
    CopySample("scene24.bmp", dir / "in\\b.bmp");
    CopySample("badge.png", dir / "in\\sub\\c.png");
    ASSERT_TRUE(CreateHardLinkA((dir / "in\\b-link.jpg").c_str(), (dir / "in\\a.jpg").c_str(), nullptr));
    ASSERT_TRUE(CreateHardLinkA((dir / "in\\sub\\d-link.jpg").c_str(), (dir / "in\\a.jpg").c_str(), nullptr));
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode);
    RunResult r = RunWalk(&p, {dir / "in"});
    EXPECT_EQ(r.processed, 3);
    EXPECT_EQ(r.succeeded, 3);
    EXPECT_TRUE(r.errors.empty());
}

TEST(BatchPaths, InputsSharingAnOutputNameNeverReplaceEachOther) {
    TempDir dir;
    MakeDir(dir / "in");
    CopySample("landscape.jpg", dir / "in\\pic.jpg");
    CopySample("badge.png", dir / "in\\pic.png");
    CopySample("scene24.bmp", dir / "in\\pic.bmp");
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode | FILEMODE_OVERWRITE);
    for (int run = 0; run < 2; ++run) {
        // Overwriting replaces the outputs of earlier runs, never one this
        // run has written.
        RunResult r = RunWalk(&p, {dir / "in"});
        EXPECT_EQ(r.processed, 3);
        EXPECT_EQ(r.succeeded, 1) << "run " << run;
        ASSERT_EQ(r.errors.size(), 2u);
        for (const auto& e : r.errors) {
            EXPECT_EQ(e.id, kErrCreateOutput);
            EXPECT_EQ(e.lastError, ERROR_FILE_EXISTS);
            EXPECT_EQ(e.name, dir / "out\\in\\pic.jpg");
        }
    }
    EXPECT_EQ(FilesBelow(dir / "out"), (Files{"in\\pic.jpg"}));
}

TEST(BatchPaths, OutputFolderInsideTheInputIsNeverTakenAgain) {
    struct Case {
        const char* writePath;  // below the input folder
        uint32_t mode;
    } cases[] = {
        {"thumbs", FILEMODE_TIMEFOLDER},
        {"", FILEMODE_PRODUCTFOLDER | FILEMODE_TIMEFOLDER},
        {"", FILEMODE_PRODUCTFOLDER | FILEMODE_OVERWRITE},  // earlier outputs replaced
    };
    for (const Case& c : cases) {
        TempDir dir;
        std::string in = dir / "in";
        MakeDir(in);
        CopySample("landscape.jpg", Join(in, "a.jpg"));
        CopySample("scene24.bmp", Join(in, "b.bmp"));
        for (int run = 0; run < 3; ++run) {
            ImageConvertParams p;
            MakeParams(&p, *c.writePath ? Join(in, c.writePath) : in, kQuietMode | c.mode);
            RunResult r = RunWalk(&p, {in});
            EXPECT_EQ(r.processed, 2) << c.mode << " run " << run;
            EXPECT_EQ(r.succeeded, 2);
            Sleep(5);  // a new time-stamp folder each run
        }
    }
}

TEST(BatchPaths, OutputFolderEqualToTheInputConvertsNothingAndSaysWhere) {
    TempDir dir;
    std::string in = dir / "in";
    MakeDir(in);
    CopySample("landscape.jpg", Join(in, "c.jpeg"));
    CopySample("landscape.jpg", Join(in, "c.jpg"));
    std::vector<uint8_t> before;
    pmtest::ReadWholeFile(Join(in, "c.jpg"), &before);
    // The same folder by a long-path spelling and by a relative one.
    for (const std::string& writePath : {"\\\\?\\" + in, in + "\\sub\\.."}) {
        ImageConvertParams p;
        MakeParams(&p, writePath, kQuietMode | FILEMODE_OVERWRITE);
        // Files named one by one go straight into the output folder, where
        // c.jpeg's output is named c.jpg.
        RunResult r = RunWalk(&p, {"\\\\?\\" + Join(in, "c.jpeg"), Join(in, "c.jpg")});
        EXPECT_EQ(r.processed, 0) << writePath;
        EXPECT_TRUE(r.errors.empty());
        EXPECT_EQ(Batch_LastWalkNotes(&p).skippedInOutputTree, 2);
        std::vector<uint8_t> after;
        pmtest::ReadWholeFile(Join(in, "c.jpg"), &after);
        EXPECT_TRUE(before == after) << "the input photo is untouched";
    }
}

TEST(BatchPaths, ContentDecidesTheReaderWhenTheExtensionLies) {
    TempDir dir;
    MakeDir(dir / "in");
    CopySample("badge.png", dir / "in\\download.jpg");
    pmtest::WriteWholeFile(dir / "in\\notes.jpg", "not an image", 12);
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode | FILEMODE_EXTONLY, kTypeBmp);
    RunResult r = RunWalk(&p, {dir / "in"});
    EXPECT_EQ(r.processed, 2);
    EXPECT_EQ(r.succeeded, 1);
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.errors[0].id, kErrRead);
    EXPECT_EQ(r.errors[0].name, dir / "out\\in\\notes.bmp");
    int w = 0, h = 0;
    ASSERT_TRUE(batchtest::ImageSize(dir / "out\\in\\download.bmp", kTypeBmp, &w, &h));
    EXPECT_EQ(w, h);
}

TEST(BatchPaths, TooLargeImagesAndUnknownOutputTypesSayWhy) {
    TempDir dir;
    MakeDir(dir / "in");
    // A PNG whose header claims 40000 x 40000 pixels (1600 megapixels): more
    // than even a thumbnail read row by row takes on.
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    auto chunk = [&](const char* type, std::vector<uint8_t> data) {
        auto put32 = [&](uint32_t v) {
            for (int i = 3; i >= 0; --i) png.push_back(uint8_t(v >> (8 * i)));
        };
        put32(uint32_t(data.size()));
        std::vector<uint8_t> body(type, type + 4);
        body.insert(body.end(), data.begin(), data.end());
        uint32_t crc = 0xFFFFFFFFu;
        for (uint8_t byte : body) {
            crc ^= byte;
            for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
        }
        png.insert(png.end(), body.begin(), body.end());
        put32(~crc);
    };
    chunk("IHDR", {0, 0, 0x9C, 0x40, 0, 0, 0x9C, 0x40, 8, 2, 0, 0, 0});
    chunk("IDAT", {0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01});
    chunk("IEND", {});
    ASSERT_TRUE(pmtest::WriteWholeFile(dir / "in\\panorama.png", png.data(), png.size()));
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode, kTypeJpeg);
    RunResult r = RunWalk(&p, {dir / "in"});
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.errors[0].id, kErrRead);
    EXPECT_EQ(r.errors[0].lastError, ERROR_NOT_ENOUGH_MEMORY) << "the log says the image is too large";

    // A type code no settings page writes: every file says so.
    CopySample("landscape.jpg", dir / "in\\a.jpg");
    MakeParams(&p, dir / "out2", kQuietMode, 42);
    r = RunWalk(&p, {dir / "in"});
    EXPECT_EQ(r.processed, 2);
    ASSERT_EQ(r.errors.size(), 2u);
    for (const auto& e : r.errors) {
        EXPECT_EQ(e.id, kErrCreateOutput);
        EXPECT_EQ(e.lastError, ERROR_NOT_SUPPORTED);
    }
}

namespace {

std::string Contents(const std::string& path) {
    std::string data;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<none>";
    char buffer[4096];
    DWORD got;
    while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got) data.append(buffer, got);
    CloseHandle(h);
    return data;
}

}  // namespace

// Overwriting replaces an output by a new file: a name in the output tree
// linked to an input (or anything else) keeps the linked data, and a
// conversion that fails leaves the last good output as it was. One file at
// a time and several at once.
TEST(BatchPaths, OverwriteNeverWritesThroughALinkNorDestroysAGoodOutput) {
    for (int threads : {1, 4}) {
        SCOPED_TRACE(threads);
        TempDir dir;
        MakeDir(dir / "in");
        MakeDir(dir / "out");
        MakeDir(dir / "out\\in");
        CopySample("landscape.jpg", dir / "in\\a.jpg");
        CopySample("scene24.bmp", dir / "in\\b.bmp");
        const std::string photo = Contents(dir / "in\\a.jpg");
        // Last run's good output of b, and a link from a's output to a itself.
        CopySample("badge.png", dir / "out\\in\\b.jpg");
        ASSERT_TRUE(CreateHardLinkA((dir / "out\\in\\a.jpg").c_str(), (dir / "in\\a.jpg").c_str(), nullptr));
        ImageConvertParams p;
        MakeParams(&p, dir / "out", kQuietMode | FILEMODE_OVERWRITE);
        ImageConvertExtras extras = kDefaultExtras;
        extras.Threads = threads;
        ScopedExtras bound(&p, &extras);
        RunResult r = RunWalk(&p, {dir / "in"});
        EXPECT_EQ(r.succeeded, 2);
        EXPECT_TRUE(r.errors.empty());
        EXPECT_EQ(Contents(dir / "in\\a.jpg"), photo) << "the input is byte for byte what it was";
        EXPECT_NE(Contents(dir / "out\\in\\a.jpg"), photo) << "the output was written";
        int w = 0, h = 0;
        EXPECT_TRUE(batchtest::ImageSize(dir / "out\\in\\a.jpg", kTypeJpeg, &w, &h));

        // Now b is damaged: its good output stays, byte for byte.
        const std::string good = Contents(dir / "out\\in\\b.jpg");
        HANDLE f = CreateFileA((dir / "in\\b.bmp").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(f, INVALID_HANDLE_VALUE);
        SetFilePointer(f, 60, nullptr, FILE_BEGIN);
        SetEndOfFile(f);
        CloseHandle(f);
        r = RunWalk(&p, {dir / "in"});
        EXPECT_EQ(r.succeeded, 1);
        ASSERT_EQ(r.errors.size(), 1u);
        EXPECT_EQ(r.errors[0].id, kErrRead);
        EXPECT_EQ(Contents(dir / "out\\in\\b.jpg"), good);
        EXPECT_EQ(FilesBelow(dir / "out"), (Files{"in\\a.jpg", "in\\b.jpg"})) << "nothing left beside";
    }
}

// Volumes whose file ids say nothing (index 0 for every file) or repeat
// (one index for many files): no file and no folder counts as taken, and
// one file named twice is still converted once, by its resolved path.
TEST(BatchPaths, FileIdsThatSayNothingSkipNoFile) {
    for (CoreIdFault fault : {kCoreIdsZero, kCoreIdsSame}) {
        SCOPED_TRACE(int(fault));
        TempDir dir;
        MakeDir(dir / "in");
        MakeDir(dir / "in\\sub");
        MakeDir(dir / "in\\sub2");
        CopySample("landscape.jpg", dir / "in\\a.jpg");
        CopySample("scene24.bmp", dir / "in\\b.bmp");
        CopySample("badge.png", dir / "in\\sub\\c.png");
        CopySample("scene8.bmp", dir / "in\\sub2\\d.bmp");
        ImageConvertParams p;
        MakeParams(&p, dir / "out", kQuietMode);
        Core_SetIdFaultForTest(fault);
        RunResult r = RunWalk(&p, {dir / "in", dir / "in\\a.jpg"});
        Core_SetIdFaultForTest(kCoreIdsReal);
        EXPECT_EQ(r.processed, 4);
        EXPECT_EQ(r.succeeded, 4);
        EXPECT_TRUE(r.errors.empty());
        EXPECT_EQ(FilesBelow(dir / "out"), (Files{"in\\a.jpg", "in\\b.jpg", "in\\sub2\\d.jpg", "in\\sub\\c.jpg"}));
    }
}

// Names the system takes for devices, and list entries naming a stream of
// a file: an error entry each, nothing opened or written as a device, and
// the run goes on.
TEST(BatchPaths, DeviceNamesAndStreamsAreErrorsAndTheRunGoesOn) {
    TempDir dir;
    std::wstring in = Wide(dir / "in");
    ASSERT_TRUE(CreateDirectoryW(in.c_str(), nullptr));
    for (const wchar_t* name : {L"CON.jpg", L"lpt1.jpg", L"Nul.tar.jpg"})
        ASSERT_TRUE(CopySampleW("landscape.jpg", Core_ExactPathForm(in + L"\\" + name)));
    ASSERT_TRUE(CopySampleW("landscape.jpg", in + L"\\fine.jpg"));
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode);
    RunResult r = RunWalk(&p, {dir / "in", dir / "in\\fine.jpg:Zone.Identifier", "CON", "\\\\.\\COM1"});
    EXPECT_EQ(r.succeeded, 1);
    std::vector<std::string> names;
    for (const auto& e : r.errors) {
        names.push_back(e.name);
        EXPECT_EQ(e.lastError, ERROR_INVALID_NAME) << e.name;
    }
    Files want = {"CON", dir / "in\\CON.jpg", dir / "in\\Nul.tar.jpg", dir / "in\\fine.jpg:Zone.Identifier",
                  dir / "in\\lpt1.jpg", "\\\\.\\COM1"};
    std::sort(names.begin(), names.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(names, want);
    EXPECT_TRUE(FilesBelowW(Wide(dir / "out")) == std::vector<std::wstring>{L"in\\fine.jpg"});
    RemoveTreeW(Wide(dir.path()));
}

// A listing that breaks off (a share that drops) is an error entry for
// the folder, not a silent end of it.
TEST(BatchPaths, AListingThatBreaksOffIsAnErrorForItsFolder) {
    TempDir dir;
    MakeDir(dir / "in");
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg", "d.jpg", "e.jpg"}) CopySample("landscape.jpg", Join(dir / "in", name));
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode);
    Core_SetListingFaultForTest(4, ERROR_UNEXP_NET_ERR);
    RunResult r = RunWalk(&p, {dir / "in"});
    Core_SetListingFaultForTest(0, 0);
    EXPECT_LT(r.processed, 5);
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.errors[0].name, dir / "in");
    EXPECT_EQ(r.errors[0].lastError, ERROR_UNEXP_NET_ERR);
}
