// Every bad file of the shared conformance images, end to end: the files
// the reference tools reject or disagree on, cut copies (10%, 50%, 99%) of
// every good one, empty files, wrong extensions and a folder named like an
// image, through the exported batch entry (judged by extension and by
// content) and through the console host. The run completes, every attempted
// file ends in exactly one success or one read-error entry, the counters
// match the entries, the exit code says so, and no input changes.
#include "batch_support.h"

#include "records/run_records.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using batchtest::FilesBelow;
using batchtest::kQuietMode;
using batchtest::MakeParams;
using batchtest::RunResult;
using batchtest::RunWalk;
using pmtest::Join;
using pmtest::MakeDir;
using pmtest::TempDir;

namespace {

const char* ExtensionFor(const std::string& format) {
    static const std::map<std::string, const char*> kExt = {
        {"bmp", ".bmp"}, {"jpeg", ".jpg"}, {"tiff", ".tif"}, {"gif", ".gif"}, {"png", ".png"}, {"pcd", ".pcd"}};
    auto it = kExt.find(format);
    return it == kExt.end() ? nullptr : it->second;
}

struct Inputs {
    int files = 0;  // files with an image extension
    std::map<std::string, std::vector<uint8_t>> snapshot;
};

void Put(const std::string& folder, const std::string& name, const uint8_t* data, size_t size, Inputs* in) {
    ASSERT_TRUE(pmtest::WriteWholeFile(Join(folder, name), data, size)) << name;
    in->snapshot[name].assign(data, data + size);
    ++in->files;
}

// Fills `folder` from the manifest of the shared images. Names differ
// before the extension: the outputs of "a.png" and "a.jpg" would meet.
void BuildInputs(const std::string& shared, const std::string& folder, Inputs* in) {
    std::vector<uint8_t> manifest;
    ASSERT_TRUE(pmtest::ReadWholeFile(Join(Join(shared, "testimages"), "MANIFEST.tsv"), &manifest));
    std::istringstream lines(std::string(manifest.begin(), manifest.end()));
    std::string line;
    std::getline(lines, line);  // column names
    int index = 0;
    bool wrongDone[2] = {false, false};
    while (std::getline(lines, line)) {
        std::vector<std::string> cols;
        std::istringstream fields(line);
        for (std::string c; std::getline(fields, c, '\t');) cols.push_back(c);
        if (cols.size() < 5) continue;
        const char* ext = ExtensionFor(cols[2]);
        if (!ext) continue;
        std::string rel = cols[1];
        for (char& c : rel)
            if (c == '/') c = '\\';
        std::vector<uint8_t> data;
        if (!pmtest::ReadWholeFile(Join(Join(shared, "testimages"), rel), &data)) continue;
        ++index;
        char name[64];
        if (cols[4] == "reject" || cols[4] == "either") {
            std::snprintf(name, sizeof name, "bad%04d%s", index, ext);
            Put(folder, name, data.data(), data.size(), in);
        } else if (cols[4] == "decode") {
            for (int percent : {10, 50, 99}) {
                std::snprintf(name, sizeof name, "cut%04d_%02d%s", index, percent, ext);
                Put(folder, name, data.data(), data.size() * size_t(percent) / 100, in);
            }
            // A good PNG and a good JPEG under each other's extension.
            int w = cols[2] == "png" ? 0 : cols[2] == "jpeg" ? 1 : -1;
            if (w >= 0 && !wrongDone[w]) {
                wrongDone[w] = true;
                Put(folder, w == 0 ? "wrongext_png.jpg" : "wrongext_jpg.png", data.data(), data.size(), in);
            }
        }
    }
    for (const char* empty : {"empty_bmp.bmp", "empty_jpg.jpg", "empty_tif.tif", "empty_gif.gif", "empty_png.png",
                              "empty_pcd.pcd"})
        Put(folder, empty, nullptr, 0, in);
    ASSERT_TRUE(MakeDir(Join(folder, "folder.jpg")));
}

std::map<std::string, std::vector<uint8_t>> Snapshot(const std::string& folder) {
    std::map<std::string, std::vector<uint8_t>> all;
    for (const std::string& f : FilesBelow(folder)) pmtest::ReadWholeFile(Join(folder, f), &all[f]);
    return all;
}

// One entry per attempted file, each a read error; the counters agree.
void ExpectOneEntryEach(const RunResult& r, const char* how) {
    EXPECT_TRUE(r.walked) << how;
    EXPECT_EQ(size_t(r.processed - r.succeeded), r.errors.size()) << how;
    std::set<std::string> names;
    std::map<int, int> ids;
    for (const auto& e : r.errors) {
        EXPECT_TRUE(names.insert(e.name).second) << how << ": two entries for " << e.name;
        ++ids[e.id];
    }
    for (const auto& [id, n] : ids) EXPECT_EQ(id, kErrRead) << how << ": " << n << " entries with id " << id;
    std::printf("[matrix] %s: %ld attempted, %ld converted, %zu errors\n", how, long(r.processed),
                long(r.succeeded), r.errors.size());
}

// Runs the console host; its exit code, and the counts of its last
// progress line ("[N files / errors E] ...").
struct ConsoleRun {
    DWORD exitCode = 999;
    long processed = -1, errors = -1;
};

ConsoleRun RunConsole(const std::string& ini, const std::string& input, const std::string& outputFile) {
    ConsoleRun c;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE out = CreateFileA(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) return c;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out;
    si.hStdError = out;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi{};
    std::string exe = Join(Join(pmtest::BinaryDir(), "bin"), "pixmillc.exe");
    std::string cmd = "\"" + exe + "\" --ini \"" + ini + "\" \"" + input + "\"";
    if (CreateProcessA(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                       &pi)) {
        if (WaitForSingleObject(pi.hProcess, 15 * 60 * 1000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &c.exitCode);
        else TerminateProcess(pi.hProcess, 998);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(out);
    std::vector<uint8_t> text;
    pmtest::ReadWholeFile(outputFile, &text);
    std::string s(text.begin(), text.end());
    // The words between the numbers are in the console's code page; only
    // the two numbers are read.
    for (size_t at = s.find('['); at != std::string::npos; at = s.find('[', at + 1)) {
        size_t close = s.find(']', at);
        if (close == std::string::npos || at + 1 >= s.size() || !std::isdigit(uint8_t(s[at + 1]))) continue;
        char* end = nullptr;
        long n = std::strtol(s.c_str() + at + 1, &end, 10);
        size_t next = s.find_first_of("0123456789", size_t(end - s.c_str()));
        if (next == std::string::npos || next > close) continue;
        c.processed = n;
        c.errors = std::strtol(s.c_str() + next, nullptr, 10);
    }
    return c;
}

TEST(BadInputMatrix, EveryBadFileEndsInOneEntryByEveryRoute) {
    std::string shared = pmtest::SharedDir();
    if (shared.empty()) GTEST_SKIP() << "shared test images absent";
    TempDir dir;
    std::string in = dir / "in";
    ASSERT_TRUE(MakeDir(in));
    Inputs inputs;
    BuildInputs(shared, in, &inputs);
    ASSERT_GT(inputs.files, 1000);

    // By extension: every file is attempted.
    ImageConvertParams p;
    MakeParams(&p, dir / "out-ext", kQuietMode | FILEMODE_EXTONLY);
    RunResult byExt = RunWalk(&p, {in});
    ExpectOneEntryEach(byExt, "by extension");
    EXPECT_EQ(byExt.processed, inputs.files);
    for (const char* empty : {"empty_bmp", "empty_jpg", "empty_tif", "empty_gif", "empty_png", "empty_pcd"}) {
        bool found = false;
        for (const auto& e : byExt.errors) found |= e.name.find(empty) != std::string::npos;
        EXPECT_TRUE(found) << empty << " must fail, not pass";
    }

    // By content: files that are no image of a selected type are not
    // attempted (empty ones among them), wrong extensions are read for
    // what they hold.
    MakeParams(&p, dir / "out-content", kQuietMode);
    RunResult byContent = RunWalk(&p, {in});
    ExpectOneEntryEach(byContent, "by content");
    EXPECT_LE(byContent.processed, inputs.files - 6);
    for (const auto& e : byContent.errors) {
        EXPECT_EQ(e.name.find("wrongext_"), std::string::npos) << e.name;
        EXPECT_EQ(e.name.find("empty_"), std::string::npos) << e.name;
    }

    // The console host over the same folder, settings from an INI file.
    MakeParams(&p, dir / "out-console", kQuietMode | FILEMODE_EXTONLY);
    std::string ini = dir / "matrix.ini";
    ASSERT_EQ(pmImageConvert_WritePrivateIniFile(&p, ini.c_str()), 0);
    ConsoleRun console = RunConsole(ini, in, dir / "console.txt");
    EXPECT_EQ(console.exitCode, 1u) << "some files failed";
    EXPECT_EQ(console.processed, byExt.processed);
    EXPECT_EQ(console.errors, long(byExt.errors.size()));

    // No input changed, and nothing appeared among them.
    EXPECT_EQ(Snapshot(in), inputs.snapshot);
}

}  // namespace
