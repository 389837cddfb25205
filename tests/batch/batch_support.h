// Shared by the batch suites: a settings record aimed at a scratch output
// folder, a run without dialog that keeps its error entries, and fixtures.
#pragma once
#include "batch/batch_run.h"
#include "entry/settings_ini.h"
#include "common/testsupport.h"
#include "makerlibs/pmimgkit.h"

#include <cstring>
#include <string>
#include <vector>

namespace batchtest {

// Runs never open the file manager or the result dialog, write straight
// into WritePath and keep no log file (LogFile is emptied).
constexpr uint32_t kQuietMode = FILEMODE_SUBFOLDERS;

struct Entry {
    std::string name;
    int id;
    int lastError;
};

struct RunResult {
    BOOL walked = FALSE;
    LONG processed = 0;
    LONG succeeded = 0;
    std::vector<Entry> errors;
    std::string outputFolder;
};

inline void MakeParams(ImageConvertParams* p, const std::string& out, uint32_t fileMode, int writeType = kTypeJpeg) {
    std::memset(p, 0, sizeof *p);
    pmImageConvert_GetPrivateIniFile(p, nullptr);
    std::strcpy(p->WritePath, out.c_str());
    p->LogFile[0] = '\0';
    p->FileMode = fileMode;
    p->WriteImageType = writeType;
    p->Instance = GetModuleHandleA(nullptr);
}

RunResult RunWalk(ImageConvertParams* p, const std::vector<std::string>& entries);
// The same with a list of real (wide) names, as the wide entry makes it.
RunResult RunWalkW(ImageConvertParams* p, const std::vector<std::wstring>& entries);

// Copies a file of samples/ to `to`.
bool CopySample(const char* name, const std::string& to);
// Every file below `folder` (relative paths, sorted).
std::vector<std::string> FilesBelow(const std::string& folder);
// Runs the console host (bin/pixmillc.exe) with `arguments` in `folder` (or
// the test's current folder when empty); its exit code, or -1 when it could
// not start or did not end within two minutes. `output` receives what it
// wrote to standard output and error.
int RunConsoleHost(const std::string& arguments, const std::string& folder = "", std::string* output = nullptr);
// Image size of a written file by reading it back; false when unreadable.
bool ImageSize(const std::string& path, int type, int* width, int* height);
// The same for a file opened for reading, which it closes.
bool ImageSizeOfOpen(HANDLE file, int type, int* width, int* height);

}  // namespace batchtest
