// Roots of paths: drives, shares and the long-path prefixes.
#include "makerlibs/pmpath.h"

#include <gtest/gtest.h>

TEST(PathRoot, DrivesSharesAndPrefixes) {
    struct Row { const char* path; size_t root; } rows[] = {
        {"C:\\photos", 3}, {"c:/x", 3}, {"C:", 2}, {"C:name", 2}, {"\\\\srv\\share\\dir", 12},
        {"\\\\srv\\share", 11}, {"\\\\srv", 0}, {"\\\\?\\C:\\x", 7}, {"\\\\?\\UNC\\srv\\sh\\x", 15},
        {"\\dir", 1}, {"dir\\x", 0}, {"", 0}, {"表:\\", 0}, {"\\\\表\\ソ\\x", 8},
    };
    for (const Row& r : rows) EXPECT_EQ(PmPath_RootLength(r.path), r.root) << r.path;
}

TEST(PathRoot, DriveRootIsTheDriveFormOnly) {
    for (const char* root : {"C:\\", "c:/", "Z:\\", "\\\\?\\D:\\"}) EXPECT_TRUE(PmPath_IsDriveRoot(root)) << root;
    // A bare drive names its current folder; shares, folders and names
    // with a colon are no drive roots.
    for (const char* other : {"C:", "C:\\x", "C:\\\\", "\\\\srv\\share\\", "\\", "", "1:\\", "表:\\",
                              "\\\\?\\UNC\\s\\h\\", "\\\\?\\C:"})
        EXPECT_FALSE(PmPath_IsDriveRoot(other)) << other;
}
