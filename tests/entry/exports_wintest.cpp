// Every function the export list names is reachable from the built DLL by
// its undecorated name: hosts find them with GetProcAddress.
#include "common/testsupport.h"

#include <gtest/gtest.h>

#include "makerlibs/pmwin.h"

#include <sstream>
#include <string>

TEST(DllExports, EveryListedNameIsExportedUndecorated) {
    std::vector<uint8_t> data;
    ASSERT_TRUE(pmtest::ReadWholeFile(pmtest::Join(pmtest::Join(pmtest::SourceDir(), "resources"), "exports.txt"), &data));
    std::string dll = pmtest::Join(pmtest::Join(pmtest::BinaryDir(), "bin"), "PIXMILUI.DLL");
    HMODULE lib = LoadLibraryA(dll.c_str());
    ASSERT_NE(lib, nullptr) << dll;
    std::istringstream lines(std::string(data.begin(), data.end()));
    std::string line;
    int names = 0;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::string name = line.substr(0, line.find_first_of(" \t"));
        EXPECT_NE(GetProcAddress(lib, name.c_str()), nullptr) << name;
        ++names;
    }
    EXPECT_GE(names, 5);
    // The 32-bit decoration must not leak out as the public name.
    EXPECT_EQ(GetProcAddress(lib, "pmImageConvert_Initialize@12"), nullptr);
    FreeLibrary(lib);
}
