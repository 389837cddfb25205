// The console host's arguments and settings: a settings file that is not
// there, a folder, or a name too long for the run's buffer is a usage error,
// never a run on factory settings; help and version answer on standard
// output; a run that can convert nothing says why and fails.
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

namespace {

// Runs the console host with standard output and standard error apart.
int RunApart(const std::string& arguments, std::string* out, std::string* err) {
    std::string exe = pmtest::Join(pmtest::Join(pmtest::BinaryDir(), "bin"), "pixmillc.exe");
    std::string command = "\"" + exe + "\" " + arguments;
    char temp[MAX_PATH], outName[MAX_PATH], errName[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    GetTempFileNameA(temp, "pmo", 0, outName);
    GetTempFileNameA(temp, "pme", 0, errName);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE o = CreateFileA(outName, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE e = CreateFileA(errName, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = o;
    si.hStdError = e;
    PROCESS_INFORMATION pi{};
    DWORD code = DWORD(-1);
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        if (WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
        else TerminateProcess(pi.hProcess, code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(o);
    CloseHandle(e);
    std::vector<uint8_t> data;
    pmtest::ReadWholeFile(outName, &data);
    out->assign(data.begin(), data.end());
    data.clear();
    pmtest::ReadWholeFile(errName, &data);
    err->assign(data.begin(), data.end());
    DeleteFileA(outName);
    DeleteFileA(errName);
    return int(code);
}

}  // namespace

TEST(ConsoleHost, HelpVersionAndWrongOptionsFollowConsoleConventions) {
    struct Row { const char* args; int code; const char* onOut; const char* onErr; } rows[] = {
        {"--help", 0, "--quiet", ""},
        {"/?", 0, "--version", ""},
        {"--version", 0, "pixmillc 1.", ""},
        {"--qiet x.jpg", 2, "", "--qiet"},
        {"--jobs 99 x.jpg", 2, "", "99"},
        {"--jobs", 2, "", "--jobs"},
        {"--ini", 2, "", "--ini"},
        {"", 2, "", "--help"},
    };
    for (const Row& r : rows) {
        std::string out, err;
        EXPECT_EQ(RunApart(r.args, &out, &err), r.code) << r.args;
        if (*r.onOut) EXPECT_NE(out.find(r.onOut), std::string::npos) << r.args << ": " << out;
        else EXPECT_EQ(out, "") << r.args;
        if (*r.onErr) EXPECT_NE(err.find(r.onErr), std::string::npos) << r.args << ": " << err;
        else EXPECT_EQ(err, "") << r.args;
    }
}

TEST(ConsoleHost, RunsThatCanConvertNothingSayWhyAndFail) {
    TempDir dir;
    MakeDir(dir / "in");
    CopySample("landscape.jpg", dir / "in\\a.jpg");
    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode);
    std::string ini = dir / "s.ini";
    pmImageConvert_WritePrivateIniFile(&p, ini.c_str());
    std::string withIni = "--quiet --ini \"" + ini + "\" ";

    // A pattern whose folder exists but which matches nothing is an error
    // entry, as a name that is not there is; beside a sound entry the run
    // still converts that one.
    std::string out, err;
    EXPECT_EQ(RunApart(withIni + "\"" + dir / "in\\*.png" + "\"", &out, &err), 1);
    EXPECT_NE(out.find("*.png"), std::string::npos) << out;
    EXPECT_EQ(RunApart(withIni + "\"" + dir / "in\\*.png" + "\" \"" + dir / "in\\a.jp?" + "\"", &out, &err), 1);
    EXPECT_EQ(FilesBelow(dir / "out").size(), 1u);
    pmtest::RemoveTree(dir / "out");

    // No input type ticked.
    p.ImageTypeCount = 0;
    pmImageConvert_WritePrivateIniFile(&p, ini.c_str());
    EXPECT_EQ(RunApart(withIni + "\"" + dir / "in" + "\"", &out, &err), 1);
    EXPECT_NE(err.find("入力ファイルタイプ"), std::string::npos) << err;
    EXPECT_FALSE(pmtest::FileExists(dir / "out"));
}
