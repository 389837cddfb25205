// The console host's settings file argument: a file that is not there, a
// folder, or a name too long for the run's buffer is a usage error, never a
// run on factory settings.
#include "batch_support.h"

#include <gtest/gtest.h>

#include <string>

using batchtest::CopySample;
using batchtest::FilesBelow;
using batchtest::kQuietMode;
using batchtest::MakeParams;
using batchtest::RunConsoleHost;
using pmtest::MakeDir;
using pmtest::TempDir;

TEST(ConsoleHost, UnusableSettingsFileIsAUsageError) {
    TempDir dir;
    MakeDir(dir / "in");
    CopySample("landscape.jpg", dir / "in\\a.jpg");
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode);

    std::string good = dir / "good.ini";
    pmImageConvert_WritePrivateIniFile(&p, good.c_str());
    // An existing settings file named relative to a deep current folder:
    // its full name is longer than the run keeps.
    std::string deep = dir / std::string(240 - dir.path().size() - 1, 'd');
    std::string longName(30, 'n');
    std::wstring deepWide = L"\\\\?\\" + std::wstring(deep.begin(), deep.end());  // the scratch path is ASCII
    ASSERT_TRUE(CreateDirectoryW(deepWide.c_str(), nullptr));
    std::wstring longIniWide = deepWide + L"\\" + std::wstring(longName.begin(), longName.end());
    ASSERT_TRUE(CopyFileW((L"\\\\?\\" + std::wstring(good.begin(), good.end())).c_str(), longIniWide.c_str(), FALSE));

    EXPECT_EQ(RunConsoleHost("--quiet --ini \"" + good + "\" \"" + dir / "in" + "\""), 0);
    EXPECT_EQ(FilesBelow(dir / "out"), (std::vector<std::string>{"in\\a.jpg"}));
    pmtest::RemoveTree(dir / "out");

    // Each says why, naming the file as given.
    for (const std::string& ini : {dir / "missing.ini", dir / "in", longName}) {
        std::string said;
        EXPECT_EQ(RunConsoleHost("--ini \"" + ini + "\" \"" + dir / "in" + "\"", deep, &said), 2) << ini;
        EXPECT_NE(said.find(ini), std::string::npos) << said;
        EXPECT_FALSE(pmtest::FileExists(dir / "out")) << ini;
    }
    // A name this long is out of reach of the narrow functions that clean up.
    DeleteFileW(longIniWide.c_str());
    RemoveDirectoryW(deepWide.c_str());
}
