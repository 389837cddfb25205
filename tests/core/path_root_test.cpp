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
