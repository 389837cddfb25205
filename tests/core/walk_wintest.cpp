// The file walker on a temporary tree: depth limits, patterns, drives,
// early stop and folder cycles made by links.
#include "common/testsupport.h"
#include "makerlibs/pmcore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using pmtest::TempDir;

namespace {

struct Seen {
    std::string path;
    int depth;
    bool folder;
};

struct Recorder {
    std::vector<Seen> seen;
    size_t stopAt = 0;  // stop when this many were seen (0 = never)
};

int Record(const char* path, const WIN32_FIND_DATAA* fd, int depth, void* user) {
    auto* r = static_cast<Recorder*>(user);
    r->seen.push_back({path, depth, (fd->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    // The find data names the same entry as the path.
    EXPECT_STREQ(PmPath_NameStart(path), fd->cFileName);
    return r->stopAt && r->seen.size() >= r->stopAt;
}

// Paths below `base`, with depth: "表\\ソ.jpg@1".
std::vector<std::string> Walk(const std::string& start, int limit, const std::string& base, int* result = nullptr) {
    Recorder r;
    int res = Core_WalkFiles(start.c_str(), limit, 0, Record, &r);
    if (result) *result = res;
    std::vector<std::string> out;
    for (const Seen& s : r.seen) {
        EXPECT_EQ(s.path.compare(0, base.size(), base), 0) << s.path;
        out.push_back(s.path.substr(base.size()) + "@" + std::to_string(s.depth));
    }
    std::sort(out.begin(), out.end());
    return out;
}

using V = std::vector<std::string>;

// root\a.txt, root\表\ソ.jpg, root\表\deep\x.txt, root\sub\b.txt
struct Tree {
    TempDir dir;
    std::string root = dir / "root";
    Tree() {
        pmtest::MakeDir(root);
        pmtest::MakeDir(root + "\\表");
        pmtest::MakeDir(root + "\\表\\deep");
        pmtest::MakeDir(root + "\\sub");
        for (const char* f : {"a.txt", "表\\ソ.jpg", "表\\deep\\x.txt", "sub\\b.txt"})
            pmtest::WriteWholeFile(root + "\\" + f, "x", 1);
    }
};

}  // namespace

TEST(WalkFiles, DepthLimits) {
    Tree t;
    std::string base = t.dir.path() + "\\";
    EXPECT_EQ(Walk(t.root, 0, base), (V{"root@0"}));
    EXPECT_EQ(Walk(t.root, 1, base), (V{"root@0", "root\\a.txt@1", "root\\sub@1", "root\\表@1"}));
    V all = {"root@0", "root\\a.txt@1", "root\\sub@1", "root\\sub\\b.txt@2", "root\\表@1",
             "root\\表\\deep@2", "root\\表\\deep\\x.txt@3", "root\\表\\ソ.jpg@2"};
    int result = 0;
    EXPECT_EQ(Walk(t.root, -1, base, &result), all);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Walk(t.root + "\\", -1, base), all);  // a trailing separator names the same folder
    EXPECT_EQ(Walk(t.root, 2, base).size(), all.size() - 1);
    // A named file is reported alone whatever the limit.
    EXPECT_EQ(Walk(t.root + "\\表\\ソ.jpg", -1, base), (V{"root\\表\\ソ.jpg@0"}));
    EXPECT_EQ(Walk(t.root + "\\missing", -1, base, &result), V{});
    EXPECT_EQ(result, 1);
}

TEST(WalkFiles, PatternsNameEntriesAtDepthZero) {
    Tree t;
    std::string base = t.dir.path() + "\\";
    EXPECT_EQ(Walk(t.root + "\\*.txt", -1, base), (V{"root\\a.txt@0"}));
    EXPECT_EQ(Walk(t.root + "\\*", 1, base),
              (V{"root\\a.txt@0", "root\\sub@0", "root\\sub\\b.txt@1", "root\\表@0", "root\\表\\deep@1",
                 "root\\表\\ソ.jpg@1"}));
    EXPECT_EQ(Walk(t.root + "\\表\\?.jpg", 0, base), (V{"root\\表\\ソ.jpg@0"}));
}

TEST(WalkFiles, DrivePatternsListTheRoot) {
    // The drive of the temporary folder; its root may be large, so the walk
    // goes one level deep and stops early.
    std::string drive = TempDir().path().substr(0, 2);
    ASSERT_EQ(drive[1], ':');
    Recorder r;
    r.stopAt = 40;
    int result = Core_WalkFiles((drive + "\\*").c_str(), 1, 0, Record, &r);
    ASSERT_FALSE(r.seen.empty());
    EXPECT_EQ(result, r.seen.size() >= r.stopAt ? 2 : 1);
    EXPECT_EQ(r.seen[0].depth, 0);
    for (const Seen& s : r.seen) {
        EXPECT_EQ(s.path.compare(0, 3, drive + "\\"), 0) << s.path;
        EXPECT_LE(s.depth, 1);
        EXPECT_EQ(s.path.find("\\.\\"), std::string::npos);
    }
    // A bare drive and a drive root name the same entries as the pattern.
    std::vector<std::string> named;
    for (const Seen& s : r.seen)
        if (s.depth == 0) named.push_back(s.path);
    for (const std::string& start : {drive, drive + "\\"}) {
        Recorder same;
        same.stopAt = named.size();
        EXPECT_EQ(Core_WalkFiles(start.c_str(), 0, 0, Record, &same), 2) << start;
        ASSERT_EQ(same.seen.size(), named.size());
        for (size_t i = 0; i < named.size(); ++i) EXPECT_EQ(same.seen[i].path, named[i]);
    }
}

TEST(WalkFiles, CallbackStopsAtOnce) {
    Tree t;
    for (size_t stopAt : {1u, 3u, 8u}) {
        Recorder r;
        r.stopAt = stopAt;
        EXPECT_EQ(Core_WalkFiles(t.root.c_str(), -1, 0, Record, &r), 2);
        EXPECT_EQ(r.seen.size(), stopAt);
    }
    Recorder r;
    EXPECT_EQ(Core_WalkFiles(nullptr, -1, 0, Record, &r), 0);
    EXPECT_EQ(Core_WalkFiles("", -1, 0, Record, &r), 0);
    EXPECT_EQ(Core_WalkFiles(t.root.c_str(), -1, 0, nullptr, nullptr), 0);
}

TEST(WalkFiles, DeepTreeNeedsNoDeepStack) {
    // As deep as the path limit allows; the walk must reach the bottom.
    TempDir dir;
    std::string path = dir.path();
    int levels = 0;
    while (path.size() + 3 < MAX_PATH - 12) {
        path += "\\d";
        ASSERT_TRUE(pmtest::MakeDir(path));
        ++levels;
    }
    Recorder r;
    EXPECT_EQ(Core_WalkFiles((dir.path() + "\\d").c_str(), -1, 0, Record, &r), 1);
    ASSERT_EQ(int(r.seen.size()), levels);
    EXPECT_EQ(r.seen.back().depth, levels - 1);
}

namespace {

// Wine 8 reports success for symbolic links without making one, so a link
// counts only when it is there.
bool MakeFolderLink(const std::string& link, const std::string& target) {
    // 0x2: SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE (developer mode).
    if (!CreateSymbolicLinkA(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2)) return false;
    DWORD a = GetFileAttributesA(link.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

// Wine cannot make links from a Windows program; the suite's cycle case
// makes them with the host's `ln -s` and names the tree in PM_CORE_CYCLE_TREE
// (root\a.txt, root\sub\b.txt, root\sub\up -> root, root\sub\self -> root\sub).
TEST(WalkFiles, FolderCyclesEndAndReportTheLinkOnce) {
    TempDir dir;
    std::string root = dir / "root";
    if (const char* premade = std::getenv("PM_CORE_CYCLE_TREE")) {
        root = premade;
    } else {
        pmtest::MakeDir(root);
        pmtest::MakeDir(root + "\\sub");
        pmtest::WriteWholeFile(root + "\\a.txt", "x", 1);
        pmtest::WriteWholeFile(root + "\\sub\\b.txt", "x", 1);
        if (!MakeFolderLink(root + "\\sub\\up", root) || !MakeFolderLink(root + "\\sub\\self", root + "\\sub"))
            GTEST_SKIP() << "no folder links here; run through the suite's cycle case";
    }
    std::string base = root.substr(0, root.size() - 4);
    V want = {"root@0", "root\\a.txt@1", "root\\sub@1", "root\\sub\\b.txt@2", "root\\sub\\self@2", "root\\sub\\up@2"};
    EXPECT_EQ(Walk(root, -1, base), want);
    // Walking a pattern inside the loop: the searched folder counts as entered.
    EXPECT_EQ(Walk(root + "\\*", -1, base),
              (V{"root\\a.txt@0", "root\\sub@0", "root\\sub\\b.txt@1", "root\\sub\\self@1", "root\\sub\\up@1"}));
}
