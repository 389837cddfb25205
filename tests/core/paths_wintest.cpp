// Full paths, path kinds and folder creation on real folders, with code page
// 932 names whose trail byte is the backslash (表 95 5C, ソ 83 5C).
#include "common/testsupport.h"
#include "makerlibs/pmcore.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using pmtest::TempDir;

TEST(CoreGetFullPath, ResolvesRelativeAndDotParts) {
    TempDir dir;
    char saved[MAX_PATH];
    GetCurrentDirectoryA(sizeof saved, saved);
    ASSERT_TRUE(SetCurrentDirectoryA(dir.path().c_str()));
    char out[324];
    const char* name = nullptr;
    EXPECT_EQ(Core_GetFullPath("x\\..\\表\\.\\ソ.txt", 0, sizeof out, out, &name), 1);
    EXPECT_EQ(std::string(out), dir / "表\\ソ.txt");
    SetCurrentDirectoryA(saved);
}

TEST(CoreGetFullPath, NamePointsIntoTheGivenText) {
    const char* name = nullptr;
    const char* path = "C:\\写真\\表\\ソ.jpg";
    EXPECT_EQ(Core_GetFullPath(path, 0, 0, nullptr, &name), 1);
    EXPECT_EQ(name, path + 11);  // after "C:\写真\表\", trail bytes are no separators
    EXPECT_STREQ(name, "ソ.jpg");
    // No last component: a folder with its separator, "..", empty text.
    for (const char* p : {"C:\\表\\", "C:\\", "C:\\a\\.."}) {
        name = path;
        Core_GetFullPath(p, 0, 0, nullptr, &name);
        EXPECT_EQ(name, nullptr) << p;
    }
    name = path;
    EXPECT_EQ(Core_GetFullPath("", 0, 264, nullptr, &name), 0);
    EXPECT_EQ(name, nullptr);
}

TEST(CoreGetFullPath, InPlaceAndBufferLimits) {
    char buf[324] = "C:\\a\\b\\..\\ソ";
    const char* name = nullptr;
    ASSERT_EQ(Core_GetFullPath(buf, 0, sizeof buf, buf, &name), 1);
    EXPECT_STREQ(buf, "C:\\a\\ソ");
    EXPECT_EQ(name, buf + 5);  // inside the rewritten text
    // Exactly fitting and one byte short: refused, output untouched.
    char small[8] = "keep";
    EXPECT_EQ(Core_GetFullPath("C:\\abcd", 0, 8, small, nullptr), 1);
    EXPECT_STREQ(small, "C:\\abcd");
    std::strcpy(small, "keep");
    EXPECT_EQ(Core_GetFullPath("C:\\abcde", 0, 8, small, nullptr), 0);
    EXPECT_STREQ(small, "keep");
    // A lead byte without its trail byte names no file.
    EXPECT_EQ(Core_GetFullPath("C:\\a\x95", 0, sizeof buf, buf, nullptr), 0);
    // Longer than MAX_PATH fits a large enough buffer.
    std::string longPath = "C:\\" + std::string(400, 'x');
    std::string out(512, '\0');
    EXPECT_EQ(Core_GetFullPath(longPath.c_str(), 0, 512, out.data(), nullptr), 1);
    EXPECT_EQ(std::string(out.c_str()), longPath);
}

TEST(CoreGetPathKind, FoldersFilesAndNothing) {
    TempDir dir;
    ASSERT_TRUE(pmtest::MakeDir(dir / "ソ"));
    ASSERT_TRUE(pmtest::WriteWholeFile(dir / "ソ\\表.txt", "x", 1));
    EXPECT_EQ(Core_GetPathKind((dir / "ソ").c_str()), 2);
    EXPECT_EQ(Core_GetPathKind((dir / "ソ\\").c_str()), 2);
    EXPECT_EQ(Core_GetPathKind((dir / "ソ\\表.txt").c_str()), 1);
    EXPECT_EQ(Core_GetPathKind((dir / "表").c_str()), 0);
    EXPECT_EQ(Core_GetPathKind(""), 0);
    EXPECT_EQ(Core_GetPathKind(nullptr), 0);
}

TEST(CoreCreateFolder, CreatesMissingParents) {
    TempDir dir;
    std::string deep = dir / "a\\表\\ソ\\d";
    EXPECT_EQ(Core_CreateFolder(0, deep.c_str(), 0), 1);
    EXPECT_EQ(Core_GetPathKind(deep.c_str()), 2);
    // Existing folders, a trailing separator, forward slashes, doubled separators.
    EXPECT_EQ(Core_CreateFolder(0, deep.c_str(), 0), 1);
    EXPECT_EQ(Core_CreateFolder(0, (deep + "\\e\\").c_str(), 0), 1);
    EXPECT_EQ(Core_GetPathKind((deep + "\\e").c_str()), 2);
    std::string slashed = dir.path() + "/f//g";
    EXPECT_EQ(Core_CreateFolder(0, slashed.c_str(), 0), 1);
    EXPECT_EQ(Core_GetPathKind((dir / "f\\g").c_str()), 2);
    EXPECT_EQ(Core_CreateFolder(0, "C:\\", 0), 1);
}

TEST(CoreCreateFolder, FileInTheWayIsRefused) {
    TempDir dir;
    ASSERT_TRUE(pmtest::WriteWholeFile(dir / "表", "x", 1));
    EXPECT_EQ(Core_CreateFolder(0, (dir / "表").c_str(), 0), 0);
    EXPECT_EQ(Core_CreateFolder(0, (dir / "表\\sub\\more").c_str(), 0), 0);
    EXPECT_EQ(Core_GetPathKind((dir / "表").c_str()), 1);
}

TEST(CoreCreateFolder, RefusesEmptyInvalidAndTooLong) {
    TempDir dir;
    EXPECT_EQ(Core_CreateFolder(0, "", 0), 0);
    EXPECT_EQ(Core_CreateFolder(0, nullptr, 0), 0);
    EXPECT_EQ(Core_CreateFolder(0, (dir / "a*b\\c").c_str(), 0), 0);
    EXPECT_EQ(Core_CreateFolder(0, (dir / "a\\b:c").c_str(), 0), 0);
    EXPECT_EQ(Core_GetPathKind((dir / "a").c_str()), 0);
    // Too long for the folder functions: a system failure with its code, and
    // no parent is left behind.
    std::string tooLong = dir / "p\\" + std::string(260, 'x');
    SetLastError(0);
    EXPECT_EQ(Core_CreateFolder(0, tooLong.c_str(), 0), -1);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(Core_GetPathKind((dir / "p").c_str()), 0);
}

TEST(CoreCreateFolder, SystemFailureCarriesItsCode) {
    // A drive that does not exist: the system refuses the first folder.
    char drive[] = "Q:\\pm-no-such-drive\\x";
    for (char d = 'Q'; d <= 'Y'; ++d) {
        char root[] = {d, ':', '\\', 0};
        if (GetDriveTypeA(root) == DRIVE_NO_ROOT_DIR) {
            drive[0] = d;
            break;
        }
    }
    SetLastError(0);
    EXPECT_EQ(Core_CreateFolder(0, drive, 0), -1);
    EXPECT_NE(GetLastError(), 0u);
}
