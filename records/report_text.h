// Run record text: the log report lines, the growing text buffer they go
// into, the time-stamp folder name and the profile list's number cells.
// Pure: the Windows side supplies the message strings and system texts.
#pragma once
#include <cstddef>

// Appends `length` bytes of `fragment` (0 = its string length) to the text
// block `*text` of `*capacity` bytes, `*used` of them in use, keeping a zero
// byte after the text. Grows by the fragment plus 1024 bytes, or to twice
// the capacity when that is more. On a failed grow the block is freed and
// text, capacity and used become null and 0; the result is then 0, else 1.
// Blocks come from the process heap (free them with WinKit_Free /
// PmHeap_Free).
int AppendText(const char* fragment, int length, char** text, int* capacity, int* used);

struct ReportClock {
    int Year, Month, Day, Hour, Minute, Second;
};

// A report under construction. Once an append has failed the report is
// incomplete, and Report_Finish hands back null rather than a text that
// silently misses its beginning.
struct ReportBuilder {
    char* Text = nullptr;
    int Capacity = 0;
    int Used = 0;
    bool Failed = false;
};

void Report_Append(ReportBuilder* report, const char* fragment);
// Start and end times, the three counters and the blank lines between.
void Report_AppendSummary(ReportBuilder* report, const ReportClock& start, const ReportClock& end,
                          long processed, long succeeded);
// The heading of the error entries.
void Report_AppendErrorHeading(ReportBuilder* report, long entryCount);
// One error entry: its path, then the message, with the system's text in
// full-width parentheses when there is one (`systemText` non-null).
void Report_AppendEntry(ReportBuilder* report, const char* name, const char* message, const char* systemText);
// The closing empty line; the text (caller frees it) or null.
char* Report_Finish(ReportBuilder* report);

// "YYYYMMDDHHMMSSmmm" into `out` (at least 18 bytes); the digit count.
// Fields are clamped to their widths so the name is always 17 digits.
int Records_TimeFolderName(int year, int month, int day, int hour, int minute, int second,
                           int milliseconds, char* out, size_t size);

// A decimal cell of the profile list: leading blanks, an optional sign, then
// digits up to the first non-digit; no digits = 0. Saturates at the int range.
int Records_ParseNumber(const char* cell);
// Colour depth for a number of colours: the smallest of 1..8 bits that holds
// them, 24 beyond 256.
int Records_BitCountForColors(int colors);
