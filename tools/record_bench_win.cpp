// Times the end of a run with many error entries: adding the entries, the
// report text for the result dialog, and the log file written by closing the
// run record. A cost per entry that grows with the count shows in the last
// column. Arguments: a scratch folder for the log, then entry counts.
//   record_bench Z:\tmp\x 1000 5000 20000 80000
#include "records/run_records.h"
#include "makerlibs/pmwinkit.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

double Now() {
    LARGE_INTEGER t, f;
    QueryPerformanceCounter(&t);
    QueryPerformanceFrequency(&f);
    return double(t.QuadPart) * 1000.0 / double(f.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: record_bench FOLDER COUNT...\n");
        return 2;
    }
    std::printf("%8s %10s %10s %10s %10s %12s\n", "entries", "add ms", "report ms", "log ms", "log bytes",
                "us/entry");
    for (int a = 2; a < argc; ++a) {
        long count = std::atol(argv[a]);
        static ImageConvertParams p;
        std::memset(&p, 0, sizeof p);
        p.Instance = GetModuleHandleA(nullptr);
        std::snprintf(p.WritePath, sizeof p.WritePath, "%s", argv[1]);
        p.FileMode = FILEMODE_LOGINOUTPUT;
        pmImageConvert_LogOperate(&p, kLogBegin, nullptr, 0, 0);
        p.ProcessedCount = count;

        double t0 = Now();
        char name[160];
        for (long i = 0; i < count; ++i) {
            // Paths as long as a real run's, every other entry with a system text.
            std::snprintf(name, sizeof name, "Z:\\tmp\\bench\\out\\in\\d%03ld\\file%05ld.jpg", i / 100, i);
            pmImageConvert_LogOperate(&p, kLogAddError, name, 103, (i & 1) ? ERROR_HANDLE_DISK_FULL : 0);
        }
        double t1 = Now();
        char* report = nullptr;
        BuildLogReport(0, &p, &report);
        double t2 = Now();
        size_t bytes = report ? std::strlen(report) : 0;
        WinKit_Free(report);
        pmImageConvert_LogOperate(&p, kLogEnd, nullptr, 0, 0);
        double t3 = Now();
        std::printf("%8ld %10.1f %10.1f %10.1f %10zu %12.2f\n", count, t1 - t0, t2 - t1, t3 - t2, bytes,
                    (t2 - t1) * 1000.0 / double(count ? count : 1));
        DeleteFileA(p.LogPath);
    }
    return 0;
}
