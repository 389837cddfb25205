#include "batch_support.h"

#include "makerlibs/pmcore.h"
#include "makerlibs/pmdibcore.h"
#include "makerlibs/pmfilelist.h"
#include "makerlibs/pmdibio.h"
#include "records/run_records.h"

#include <algorithm>
#include <cstdio>
#include <functional>

namespace batchtest {

namespace {

RunResult RunList(ImageConvertParams* p, FileList& list) {
    RunResult r;
    pmImageConvert_LogOperate(p, kLogBegin, nullptr, 0, 0);
    r.walked = pmImageConvert_CreateFile(&list, p);
    r.processed = p->ProcessedCount;
    r.succeeded = p->SucceededCount;
    r.outputFolder = p->OutputFolder;
    for (int i = 0; i < p->LogEntryCount; ++i)
        r.errors.push_back({p->LogEntries[i].Name, p->LogEntries[i].MessageId, p->LogEntries[i].LastError});
    pmImageConvert_LogOperate(p, kLogEnd, nullptr, 0, 0);
    return r;
}

std::string Shown(const wchar_t* wide) { return Core_NarrowForDisplay(wide); }

}  // namespace

RunResult RunWalk(ImageConvertParams* p, const std::vector<std::string>& entries) {
    std::vector<std::string> copies = entries;
    std::vector<char*> paths;
    for (std::string& s : copies) paths.push_back(s.data());
    FileList list;
    std::memset(&list, 0, sizeof list);
    list.Count = int32_t(paths.size());
    list.Paths = paths.data();
    return RunList(p, list);
}

RunResult RunWalkW(ImageConvertParams* p, const std::vector<std::wstring>& entries) {
    std::vector<const wchar_t*> items;
    for (const std::wstring& s : entries) items.push_back(s.c_str());
    FileList list;
    std::memset(&list, 0, sizeof list);
    FileList_FromWideItems(int(items.size()), items.data(), &list, Shown);
    RunResult r = RunList(p, list);
    FileList_Free(&list);
    return r;
}

bool CopySample(const char* name, const std::string& to) {
    std::string from = pmtest::Join(pmtest::Join(pmtest::SourceDir(), "samples"), name);
    return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

std::vector<std::string> FilesBelow(const std::string& folder) {
    std::vector<std::string> out;
    std::function<void(const std::string&, const std::string&)> walk = [&](const std::string& dir,
                                                                          const std::string& rel) {
        WIN32_FIND_DATAA fd;
        HANDLE h = FindFirstFileA(pmtest::Join(dir, "*").c_str(), &fd);
        if (h == INVALID_HANDLE_VALUE) return;
        do {
            std::string name = fd.cFileName;
            if (name == "." || name == "..") continue;
            std::string r = rel.empty() ? name : rel + "\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                walk(pmtest::Join(dir, name), r);
            else
                out.push_back(r);
        } while (FindNextFileA(h, &fd));
        FindClose(h);
    };
    walk(folder, "");
    std::sort(out.begin(), out.end());
    return out;
}

int RunConsoleHost(const std::string& arguments, const std::string& folder, std::string* output) {
    std::string exe = pmtest::Join(pmtest::Join(pmtest::BinaryDir(), "bin"), "pixmillc.exe");
    std::string command = "\"" + exe + "\" " + arguments;
    char temp[MAX_PATH], log[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    GetTempFileNameA(temp, "pmc", 0, log);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE sink = CreateFileA(log, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = sink;
    si.hStdError = sink;
    PROCESS_INFORMATION pi{};
    DWORD code = DWORD(-1);
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       folder.empty() ? nullptr : folder.c_str(), &si, &pi)) {
        if (WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0) {
            GetExitCodeProcess(pi.hProcess, &code);
        } else {
            std::fprintf(stderr, "RunConsoleHost: no end after 120 s: %s\n", command.c_str());
            // Ended, and waited for: nothing of a failed case stays behind.
            if (TerminateProcess(pi.hProcess, code)) WaitForSingleObject(pi.hProcess, 10000);
        }
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    } else {
        // Seen once in many runs under Wine with two suites at once; the
        // system's reason tells the next reader where to look.
        std::fprintf(stderr, "RunConsoleHost: CreateProcess failed with %lu\n", GetLastError());
    }
    CloseHandle(sink);
    std::vector<uint8_t> data;
    pmtest::ReadWholeFile(log, &data);
    DeleteFileA(log);
    if (output) output->assign(data.begin(), data.end());
    return int(code);
}

bool ImageSizeOfOpen(HANDLE f, int type, int* width, int* height) {
    if (f == INVALID_HANDLE_VALUE) return false;
    DibIOOptions info;
    std::memset(&info, 0, sizeof info);
    DibIO_GetDefaultOptions(type, &info);
    DibHeader* h = nullptr;
    uint8_t* bits = nullptr;
    int depth = DibIO_Read(0, f, type, 0, 0, 0, &info, &h, &bits);
    CloseHandle(f);
    if (depth <= 0 || !h) return false;
    *width = h->biWidth;
    *height = h->biHeight < 0 ? -h->biHeight : h->biHeight;
    DibCore_Free(h, bits);
    return true;
}

bool ImageSize(const std::string& path, int type, int* width, int* height) {
    return ImageSizeOfOpen(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
                           type, width, height);
}

}  // namespace batchtest
