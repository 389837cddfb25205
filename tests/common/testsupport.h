// Helpers shared by the test suites: where test data lives, scratch folders,
// whole-file reads. Paths are in the platform's form (Z:\... under Wine).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace pmtest {

// ../shared beside the repository (conformance images, bench photos), or
// empty when it is absent: tests that need it skip themselves.
std::string SharedDir();
// The repository (for committed fixtures) and the build tree.
std::string SourceDir();
std::string BinaryDir();
// Joins with the platform's separator.
std::string Join(const std::string& a, const std::string& b);

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* data);
bool WriteWholeFile(const std::string& path, const void* data, size_t size);
bool FileExists(const std::string& path);

// A fresh folder under the system's temporary folder, removed with all its
// contents when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return Join(path_, name); }
private:
    std::string path_;
};

// Removes a tree (files and folders). Best effort.
void RemoveTree(const std::string& path);
bool MakeDir(const std::string& path);

}  // namespace pmtest

#define PM_SKIP_WITHOUT_SHARED()                                                    \
    do {                                                                            \
        if (pmtest::SharedDir().empty()) GTEST_SKIP() << "../shared is not present"; \
    } while (0)
