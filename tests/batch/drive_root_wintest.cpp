// Drive roots as input and as output, for real: two drive letters mapped to
// scratch folders (drive-letter.sh), walked through the batch entry and
// through the console host.
#include "batch_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using batchtest::CopySample;
using batchtest::FilesBelow;
using batchtest::kQuietMode;
using batchtest::MakeParams;
using batchtest::RunResult;
using batchtest::RunWalk;
using pmtest::MakeDir;

namespace {

using Files = std::vector<std::string>;

class BatchDriveRoots : public ::testing::Test {
protected:
    void SetUp() override {
        const char* in = std::getenv("PM_TEST_DRIVE");
        const char* out = std::getenv("PM_TEST_DRIVE2");
        if (!in || !out || std::strlen(in) != 2 || std::strlen(out) != 2)
            GTEST_SKIP() << "no scratch drives (run through drive-letter.sh)";
        in_ = in;
        inRoot_ = in_ + "\\";
        outRoot_ = std::string(out) + "\\";
        ClearRoot(inRoot_);
        ClearRoot(outRoot_);
        // A file directly in the root on both sides of a sub-folder, created
        // in this order: whether the folder lists in creation order or the
        // reverse, the walk meets a root file after the folder set the base.
        ASSERT_TRUE(CopySample("landscape.jpg", inRoot_ + "a.jpg"));
        ASSERT_TRUE(MakeDir(inRoot_ + "sub"));
        ASSERT_TRUE(CopySample("scene24.bmp", inRoot_ + "sub\\b.bmp"));
        ASSERT_TRUE(CopySample("badge.png", inRoot_ + "z.png"));
    }
    void TearDown() override {
        if (!outRoot_.empty()) ClearRoot(outRoot_);
        if (!inRoot_.empty()) ClearRoot(inRoot_);
    }
    // Empties a drive root. The root itself must stay: under Wine, removing
    // it would remove the folder the letter is mapped to.
    static void ClearRoot(const std::string& root) {
        WIN32_FIND_DATAA fd;
        HANDLE h = FindFirstFileA((root + "*").c_str(), &fd);
        if (h == INVALID_HANDLE_VALUE) return;
        do {
            std::string name = fd.cFileName;
            if (name == "." || name == "..") continue;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                pmtest::RemoveTree(root + name);
            else
                DeleteFileA((root + name).c_str());
        } while (FindNextFileA(h, &fd));
        FindClose(h);
    }
    std::string in_, inRoot_, outRoot_;
};

const Files kMirrored = {"a.jpg", "sub\\b.jpg", "z.jpg"};

}  // namespace

TEST_F(BatchDriveRoots, RootToRootThroughTheBatchEntry) {
    for (const std::string& entry : {inRoot_, in_}) {
        ImageConvertParams p;
        MakeParams(&p, outRoot_, kQuietMode);
        RunResult r = RunWalk(&p, {entry});
        EXPECT_EQ(r.outputFolder, outRoot_) << entry;
        EXPECT_EQ(r.processed, 3) << entry;
        EXPECT_EQ(r.succeeded, 3) << entry;
        for (const batchtest::Entry& e : r.errors) ADD_FAILURE() << entry << ": " << e.name << " " << e.id;
        EXPECT_EQ(FilesBelow(outRoot_), kMirrored) << entry;
        ClearRoot(outRoot_);
    }
}

TEST_F(BatchDriveRoots, RootToRootThroughTheConsoleHost) {
    pmtest::TempDir dir;
    ImageConvertParams p;
    MakeParams(&p, outRoot_, kQuietMode);
    std::string ini = dir / "drive.ini";
    pmImageConvert_WritePrivateIniFile(&p, ini.c_str());
    for (const std::string& entry : {inRoot_, in_}) {
        std::string arguments = "--quiet --ini \"" + ini + "\" " + entry;
        EXPECT_EQ(batchtest::RunConsoleHost(arguments), 0) << arguments;
        EXPECT_EQ(FilesBelow(outRoot_), kMirrored) << entry;
        ClearRoot(outRoot_);
    }
}
