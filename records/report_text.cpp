#include "records/report_text.h"

#include "makerlibs/pmheap.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

int AppendText(const char* fragment, int length, char** text, int* capacity, int* used) {
    if (!fragment) fragment = "";
    if (length <= 0) length = static_cast<int>(std::strlen(fragment));
    // 64-bit arithmetic: a used length near INT_MAX must fail, not wrap; and
    // a used length outside the block would write outside it.
    bool consistent = *used >= 0 && *used <= *capacity && (*text || *capacity == 0);
    long long need = static_cast<long long>(*used) + length + 1;
    if (!consistent || need > *capacity) {
        // At least doubling: a step of a kilobyte copies the whole text again
        // for every kilobyte added, which a report of many thousand entries
        // feels.
        long long grown = static_cast<long long>(*capacity) + length + 1024;
        long long doubled = std::min(static_cast<long long>(*capacity) * 2, static_cast<long long>(INT_MAX));
        grown = std::max(grown, doubled);
        void* block = consistent && grown <= INT_MAX ? (*text ? PmHeap_Realloc(*text, static_cast<size_t>(grown))
                                                : PmHeap_Alloc(static_cast<size_t>(grown)))
                                       : nullptr;
        if (!block) {
            PmHeap_Free(*text);
            *text = nullptr;
            *capacity = 0;
            *used = 0;
            return 0;
        }
        *text = static_cast<char*>(block);
        *capacity = static_cast<int>(grown);
    }
    std::memcpy(*text + *used, fragment, static_cast<size_t>(length));
    *used += length;
    (*text)[*used] = '\0';
    return 1;
}

void Report_Append(ReportBuilder* report, const char* fragment) {
    if (report->Failed) return;
    if (!AppendText(fragment, 0, &report->Text, &report->Capacity, &report->Used)) report->Failed = true;
}

namespace {

// Every formatted line fits the work buffer: numbers, and texts of at most
// 127 (message) and 255 (system text) bytes. Paths are appended unformatted.
constexpr size_t kLineBuffer = 512;

void AppendClock(ReportBuilder* report, const char* label, const ReportClock& t) {
    char line[kLineBuffer];
    std::snprintf(line, sizeof line, "■%s: %d年%d月%d日%d時%d分%d秒\r\n", label, t.Year, t.Month, t.Day, t.Hour,
                  t.Minute, t.Second);
    Report_Append(report, line);
}

void AppendCount(ReportBuilder* report, const char* label, long value) {
    char line[kLineBuffer];
    std::snprintf(line, sizeof line, "■%s: %ld\r\n", label, value);
    Report_Append(report, line);
}

}  // namespace

void Report_AppendSummary(ReportBuilder* report, const ReportClock& start, const ReportClock& end, long processed,
                          long succeeded) {
    AppendClock(report, "開始時刻", start);
    AppendClock(report, "終了時刻", end);
    Report_Append(report, "\r\n");
    AppendCount(report, "対象ファイル数", processed);
    AppendCount(report, "成功ファイル数", succeeded);
    AppendCount(report, "エラーファイル数", processed - succeeded);
    Report_Append(report, "\r\n");
}

void Report_AppendErrorHeading(ReportBuilder* report, long entryCount) {
    char line[kLineBuffer];
    std::snprintf(line, sizeof line, "■エラーログ: %ld個\r\n", entryCount);
    Report_Append(report, line);
}

void Report_AppendEntry(ReportBuilder* report, const char* name, const char* message, const char* systemText) {
    // A path can be longer than the work buffer (run paths reach 523 bytes),
    // so it is appended as it is rather than formatted.
    Report_Append(report, name ? name : "");
    Report_Append(report, "\r\n");
    char line[kLineBuffer];
    if (systemText)
        std::snprintf(line, sizeof line, "---> %.127s（%.255s）\r\n", message ? message : "", systemText);
    else
        std::snprintf(line, sizeof line, "---> %.127s\r\n", message ? message : "");
    Report_Append(report, line);
    Report_Append(report, "\r\n");
}

char* Report_Finish(ReportBuilder* report) {
    Report_Append(report, "\r\n");
    char* text = report->Text;
    if (report->Failed) {
        PmHeap_Free(text);
        text = nullptr;
    }
    *report = ReportBuilder{};
    return text;
}

int Records_TimeFolderName(int year, int month, int day, int hour, int minute, int second, int milliseconds,
                           char* out, size_t size) {
    auto clamp = [](int v, int hi) { return v < 0 ? 0 : (v > hi ? hi : v); };
    int n = std::snprintf(out, size, "%04d%02d%02d%02d%02d%02d%03d", clamp(year, 9999), clamp(month, 99),
                          clamp(day, 99), clamp(hour, 99), clamp(minute, 99), clamp(second, 99),
                          clamp(milliseconds, 999));
    return n;
}

int Records_ParseNumber(const char* cell) {
    if (!cell) return 0;
    const char* p = cell;
    while (*p == ' ' || *p == '\t') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) return static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

int Records_BitCountForColors(int colors) {
    if (colors > 256) return 24;
    int bits = 1;
    while (bits < 8 && (1 << bits) < colors) ++bits;
    return bits;
}
