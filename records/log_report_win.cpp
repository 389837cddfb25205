// The run's report, from the record's times, counters and error entries.
#include "records/report_text.h"
#include "records/run_records.h"
#include "makerlibs/pmwinkit.h"

namespace {

ReportClock ClockOf(const SYSTEMTIME& t) {
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

}  // namespace

int BuildLogReport(int mode, const ImageConvertParams* params, char** text) {
    if (!text) return 0;
    *text = nullptr;
    if (!params) return 0;
    LONG entries = params->LogEntries ? params->LogEntryCount : 0;
    if (mode == 1 && (params->FileMode & FILEMODE_LOGERRORSONLY) && entries <= 0) return 0;

    ReportBuilder report;
    Report_AppendSummary(&report, ClockOf(params->StartTime), ClockOf(params->EndTime), params->ProcessedCount,
                         params->SucceededCount);
    if (entries > 0) {
        Report_AppendErrorHeading(&report, entries);
        for (LONG i = 0; i < entries; ++i) {
            const LogEntry& e = params->LogEntries[i];
            char message[128] = "";
            LoadStringA(params->Instance, static_cast<UINT>(e.MessageId), message, sizeof message);
            char systemText[256];
            if (e.LastError != 0) WinKit_GetErrorText(static_cast<DWORD>(e.LastError), 2, sizeof systemText, systemText);
            Report_AppendEntry(&report, e.Name, message, e.LastError != 0 ? systemText : nullptr);
        }
    }
    *text = Report_Finish(&report);
    return *text ? 1 : 0;
}
