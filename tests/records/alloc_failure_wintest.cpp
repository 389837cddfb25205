// Running out of memory inside the run record: no C++ exception may reach a
// caller of an exported function, and a record that could not begin names
// no folder or log of an earlier run. The program's operator new is
// replaced so that a test can make it fail.
#include "records/run_records.h"
#include "common/testsupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace {
thread_local bool t_failNew = false;
}  // namespace

void* operator new(std::size_t n) {
    if (t_failNew) throw std::bad_alloc();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

TEST(RunRecordMemory, NoExceptionLeavesTheRunRecordOperations) {
    pmtest::TempDir dir;
    auto p = std::make_unique<ImageConvertParams>();
    std::memset(p.get(), 0, sizeof *p);
    std::string folder = dir / std::string(240 - dir.path().size(), 'f');
    std::strcpy(p->WritePath, folder.c_str());
    std::strcpy(p->LogFile, (std::string(259, 'n') + ".txt").c_str());
    p->FileMode = FILEMODE_LOGINOUTPUT | FILEMODE_PRODUCTFOLDER;
    // Left from an earlier run of the same record.
    std::string stale = dir / "stale.txt";
    std::strcpy(p->LogPath, stale.c_str());
    std::strcpy(p->OutputFolder, dir.path().c_str());
    int begun = -1, ended = -1, added = -1;
    t_failNew = true;
    EXPECT_NO_THROW(begun = pmImageConvert_LogOperate(p.get(), kLogBegin, nullptr, 0, 0));
    EXPECT_NO_THROW(added = pmImageConvert_LogOperate(p.get(), kLogAddError, "x.jpg", 103, 0));
    EXPECT_NO_THROW(ended = pmImageConvert_LogOperate(p.get(), kLogEnd, nullptr, 0, 0));
    t_failNew = false;
    EXPECT_TRUE(begun == 0 || begun == 1) << begun;
    EXPECT_EQ(added, 1);
    EXPECT_TRUE(ended == 0 || ended == 1) << ended;
    EXPECT_FALSE(pmtest::FileExists(stale));
}
