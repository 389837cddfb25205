// The library's external interface as hosts reach it: every function by its
// undecorated name, each with the standard calling convention and its own
// argument size (a host calling with the wrong size corrupts its stack).
#include "common/testsupport.h"

#include <gtest/gtest.h>

#include "makerlibs/pmwin.h"

#include <cstdint>
#include <map>
#include <sstream>
#include <string>

namespace {

struct Export {
    const char* name;
    int slots;         // 32-bit argument slots
    bool callableIdle;  // all-zero arguments do nothing and return at once
};

// The exported functions and their argument slots.
constexpr Export kExports[] = {
    {"pmImageConvert_Initialize", 3, false},  // would open the settings dialog
    {"pmImageConvert_InitializeW", 3, false},  // the same, with the wide command line
    {"pmImageConvert_GetPrivateIniFile", 2, true},
    {"pmImageConvert_WritePrivateIniFile", 2, true},
    {"pmImageConvert_ProgressDlg", 4, true},
    {"pmImageConvert_CreateFile", 2, true},
    {"pmImageConvert_LogOperate", 5, true},
    {"pmImageConvert_InitParamsDlg", 4, true},
    {"pmImageConvert_GetImageType", 1, true},
    {"pmImageConvert_GetImageTypeString", 1, true},
    {"pmImageConvert_DIBExport", 5, true},
    {"pmImageConvert_GetCareerProfile", 2, true},
    {"pmImageConvert_FreeCareerProfile", 1, true},
};

#if defined(__i386__)
// Calls `f` with `slots` zero arguments and gives the bytes left on the
// stack afterwards: 0 when the callee removed exactly its arguments, as a
// stdcall function does; the whole push for a cdecl one.
uint32_t BytesLeftOnStack(FARPROC f, int slots) {
    uint32_t left;
    asm volatile(
        "movl %%esp, %%esi\n\t"
        "movl %2, %%ecx\n\t"
        "0:\n\t"
        "testl %%ecx, %%ecx\n\t"
        "jz 1f\n\t"
        "pushl $0\n\t"
        "decl %%ecx\n\t"
        "jmp 0b\n\t"
        "1:\n\t"
        "call *%1\n\t"
        "movl %%esi, %%eax\n\t"
        "subl %%esp, %%eax\n\t"
        "movl %%esi, %%esp\n\t"
        : "=&a"(left)
        : "b"(f), "D"(slots)
        : "ecx", "edx", "esi", "memory", "cc");
    return left;
}
#endif

}  // namespace

TEST(DllExports, EveryFunctionUndecoratedWithItsArgumentSize) {
    std::string dll = pmtest::Join(pmtest::Join(pmtest::BinaryDir(), "bin"), "PIXMILUI.DLL");
    HMODULE lib = LoadLibraryA(dll.c_str());
    ASSERT_NE(lib, nullptr) << dll;
    for (const Export& e : kExports) {
        FARPROC f = GetProcAddress(lib, e.name);
        EXPECT_NE(f, nullptr) << e.name;
        // The 32-bit decoration must not leak out as the public name.
        std::string decorated = std::string(e.name) + "@" + std::to_string(e.slots * 4);
        EXPECT_EQ(GetProcAddress(lib, decorated.c_str()), nullptr) << decorated;
#if defined(__i386__)
        if (f && e.callableIdle) EXPECT_EQ(BytesLeftOnStack(f, e.slots), 0u) << e.name;
#endif
    }
    FreeLibrary(lib);
}

TEST(DllExports, TheExportListNamesExactlyTheseFunctionsWithTheirSizes) {
    // The list the link's .def file is made from: with the stdcall fix-up
    // off, a function whose convention or size differs from its line fails
    // the link, so list and code agree; here the list meets the interface.
    std::vector<uint8_t> data;
    ASSERT_TRUE(pmtest::ReadWholeFile(pmtest::Join(pmtest::Join(pmtest::SourceDir(), "resources"), "exports.txt"), &data));
    std::map<std::string, int> listed;
    std::istringstream lines(std::string(data.begin(), data.end()));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string name;
        int slots = -1;
        fields >> name >> slots;
        EXPECT_TRUE(listed.emplace(name, slots).second) << "listed twice: " << name;
    }
    std::map<std::string, int> expected;
    for (const Export& e : kExports) expected[e.name] = e.slots;
    EXPECT_EQ(listed, expected);
}
