// PMCORE: the file walker. Depth first with an explicit stack of open
// searches, so a deep tree costs one frame per level and no native stack.
// It searches with the wide API and keeps two spellings of every entry: the
// real one, and a code page 932 one that opens the same file (a component
// that code page 932 cannot hold exactly is spelled by its 8.3 short name).
// The narrow search would hand back best-fit names instead, which may name
// another file or none.
#include "makerlibs/pmcore.h"

#include <cstring>
#include <cwchar>
#include <new>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

bool IsDotEntry(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

bool IsFolder(const WIN32_FIND_DATAW& fd) { return (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

bool HasWildcard(const char* name) { return PmPath_FindChar(name, '*') || PmPath_FindChar(name, '?'); }

bool EndsWithSeparator(const std::wstring& s) { return !s.empty() && (s.back() == L'\\' || s.back() == L'/'); }

// Characters of a code page 932 path once the system has widened it: the
// narrow API refuses paths of MAX_PATH characters or more.
size_t WideLength(const std::string& narrow) {
    int n = MultiByteToWideChar(CP_ACP, 0, narrow.data(), int(narrow.size()), nullptr, 0);
    return n > 0 ? size_t(n) : narrow.size();
}

// What a folder is, whatever path reached it: a link, a junction or (under
// Wine) a Unix symbolic link leads to the same volume and file index.
struct FolderId {
    DWORD volume, indexHigh, indexLow;
    bool operator<(const FolderId& o) const {
        return std::tie(volume, indexHigh, indexLow) < std::tie(o.volume, o.indexHigh, o.indexLow);
    }
};

bool IdentifyFolder(const std::wstring& path, FolderId* id) {
    // No access rights asked: only the identity is read, which also works
    // on folders whose contents we may not read.
    HANDLE h = CreateFileW(Core_LongPathForm(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    BOOL ok = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!ok) return false;
    *id = FolderId{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

// The code page 932 spelling of one name found by a search: the name itself
// when it converts exactly, else its short name. False when it has neither.
bool NarrowComponent(const WIN32_FIND_DATAW& fd, std::string* out) {
    if (Core_NarrowExact(fd.cFileName, std::wcslen(fd.cFileName), out)) return true;
    return fd.cAlternateFileName[0] && Core_NarrowExact(fd.cAlternateFileName, std::wcslen(fd.cAlternateFileName), out);
}

struct Frame {
    HANDLE find = INVALID_HANDLE_VALUE;
    size_t base = 0;      // length of the narrow folder path with its separator
    size_t wideBase = 0;  // the same for the wide path
    int depth = 0;        // of the entries this search reports
    bool pending = false; // `first` holds an entry not yet reported
    WIN32_FIND_DATAW first;
};

void CloseFrame(Frame& f) {
    if (f.find != INVALID_HANDLE_VALUE) FindClose(f.find);
    f.find = INVALID_HANDLE_VALUE;
}

class Walker {
public:
    Walker(int depthLimit, CoreWalkCallbackEx callback, void* user)
        : limit_(depthLimit), callback_(callback), user_(user) {}
    ~Walker() {
        for (Frame& f : stack_) CloseFrame(f);
    }
    Walker(const Walker&) = delete;
    Walker& operator=(const Walker&) = delete;

    int Run(const char* start);

private:
    bool MayDescend(int depth) const { return limit_ < 0 || depth < limit_; }
    // True the first time a folder is met; a folder that cannot be identified
    // is entered unless it is a link, which alone could close a cycle.
    bool FirstVisit(const std::wstring& path, DWORD attributes);
    // Reports the entry in `path_` / `wide_` and, for a folder the limit and
    // the callback let us enter, pushes its search. False = stop.
    bool Report(const WIN32_FIND_DATAW& fd, bool narrowOk, int depth);
    // Opens the search of the folder in `path_` / `wide_` into `f`; 0 or the
    // reason it cannot be listed.
    DWORD OpenFolder(int depth, Frame* f);
    int Drain();

    int limit_;
    CoreWalkCallbackEx callback_;
    void* user_;
    std::string path_;
    std::wstring wide_;
    std::vector<Frame> stack_;
    std::set<FolderId> visited_;
};

bool Walker::FirstVisit(const std::wstring& path, DWORD attributes) {
    FolderId id;
    if (!IdentifyFolder(path, &id)) return !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    return visited_.insert(id).second;
}

DWORD Walker::OpenFolder(int depth, Frame* f) {
    std::string narrowBase = path_;
    if (!PmPath_EndsWithSeparator(narrowBase.c_str())) narrowBase += '\\';
    std::wstring wideBase = wide_;
    if (!EndsWithSeparator(wideBase)) wideBase += L'\\';
    // Every entry inside must be reachable by its code page 932 path, which
    // the narrow API refuses from MAX_PATH characters on; so must the
    // search pattern itself.
    if (WideLength(narrowBase) + 1 >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    f->find = FindFirstFileW(Core_LongPathForm(wideBase + L"*").c_str(), &f->first);
    if (f->find == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        // An empty folder (even without "." entries, as at some roots) is no failure.
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_NO_MORE_FILES) return 0;
        return err ? err : ERROR_ACCESS_DENIED;
    }
    f->base = narrowBase.size();
    f->wideBase = wideBase.size();
    f->depth = depth;
    f->pending = true;
    return 0;
}

bool Walker::Report(const WIN32_FIND_DATAW& fd, bool narrowOk, int depth) {
    CoreWalkEntry entry{wide_.c_str(), narrowOk ? path_.c_str() : nullptr, &fd, depth, 0};
    Frame inner;
    bool enter = false;
    if (!narrowOk) {
        entry.error = ERROR_INVALID_NAME;
    } else if (IsFolder(fd) && MayDescend(depth) && FirstVisit(wide_, fd.dwFileAttributes)) {
        // The folder is listed before it is reported, so that the report can
        // say when its contents cannot be reached.
        entry.error = OpenFolder(depth + 1, &inner);
        enter = inner.find != INVALID_HANDLE_VALUE;
    }
    int answer = callback_(entry, user_);
    if (answer == kCoreWalkStop || answer == kCoreWalkSkipContents || !enter) {
        CloseFrame(inner);
        return answer != kCoreWalkStop;
    }
    // The paths grow from the folder's own; `inner` records where its
    // entries' names begin.
    if (!PmPath_EndsWithSeparator(path_.c_str())) path_ += '\\';
    if (!EndsWithSeparator(wide_)) wide_ += L'\\';
    try {
        stack_.push_back(inner);
    } catch (...) {
        CloseFrame(inner);
        throw;
    }
    return true;
}

int Walker::Drain() {
    while (!stack_.empty()) {
        Frame& f = stack_.back();
        WIN32_FIND_DATAW fd;
        if (f.pending) {
            fd = f.first;
            f.pending = false;
        } else if (!FindNextFileW(f.find, &fd)) {
            CloseFrame(f);
            stack_.pop_back();
            continue;
        }
        if (IsDotEntry(fd.cFileName)) continue;
        path_.resize(f.base);
        wide_.resize(f.wideBase);
        std::string component;
        bool narrowOk = NarrowComponent(fd, &component);
        path_ += component;
        wide_ += fd.cFileName;
        if (!Report(fd, narrowOk, f.depth)) return 2;  // `f` may be gone: Report can push
    }
    return 1;
}

int Walker::Run(const char* start) {
    path_ = start;
    if (!Core_WideExact(start, &wide_)) return 0;
    size_t root = PmPath_RootLength(start);
    bool pattern = HasWildcard(PmPath_NameStart(start));
    if (!pattern) {
        while (path_.size() > root && PmPath_EndsWithSeparator(path_.c_str())) path_.pop_back();
        // A drive or share is named by its root, which no search returns as an
        // entry: walk its contents as named entries, like the pattern "D:\*".
        if (root > 0 && path_.size() == root) {
            if (!PmPath_EndsWithSeparator(path_.c_str())) path_ += '\\';
            path_ += '*';
            pattern = true;
        }
        if (!Core_WideExact(path_.c_str(), &wide_)) return 0;
    }
    if (!pattern) {
        WIN32_FIND_DATAW fd;
        HANDLE h = FindFirstFileW(Core_LongPathForm(wide_).c_str(), &fd);
        if (h != INVALID_HANDLE_VALUE) {
            FindClose(h);
        } else {
            // "." and ".." name folders that a search does not return.
            WIN32_FILE_ATTRIBUTE_DATA ad;
            if (!GetFileAttributesExW(wide_.c_str(), GetFileExInfoStandard, &ad)) return 1;
            std::memset(&fd, 0, sizeof fd);
            fd.dwFileAttributes = ad.dwFileAttributes;
            fd.ftCreationTime = ad.ftCreationTime;
            fd.ftLastAccessTime = ad.ftLastAccessTime;
            fd.ftLastWriteTime = ad.ftLastWriteTime;
            fd.nFileSizeHigh = ad.nFileSizeHigh;
            fd.nFileSizeLow = ad.nFileSizeLow;
            std::wstring name;
            Core_WideExact(PmPath_NameStart(path_.c_str()), &name);
            wcsncpy(fd.cFileName, name.c_str(), MAX_PATH - 1);
        }
        // The start is named in code page 932 by the caller, so it opens as given.
        if (!Report(fd, true, 0)) return 2;
        return Drain();
    }

    // The folder searched is the parent of the named entries; its contents
    // are being walked, so a link back to it must not walk them again.
    size_t base = size_t(PmPath_NameStart(path_.c_str()) - path_.c_str());
    std::string folder = path_.substr(0, base);
    root = PmPath_RootLength(folder.c_str());  // "D:" became "D:\*" above
    while (folder.size() > root && PmPath_EndsWithSeparator(folder.c_str())) folder.pop_back();
    if (folder.empty()) folder = ".";
    std::wstring wideFolder, widePattern;
    if (!Core_WideExact(folder.c_str(), &wideFolder) || !Core_WideExact(path_.c_str(), &widePattern)) return 0;
    FirstVisit(wideFolder, 0);

    Frame f;
    f.find = FindFirstFileW(Core_LongPathForm(widePattern).c_str(), &f.first);
    if (f.find == INVALID_HANDLE_VALUE) return 1;
    std::wstring wideBase;
    Core_WideExact(path_.substr(0, base).c_str(), &wideBase);
    f.base = base;
    f.wideBase = wideBase.size();
    f.depth = 0;
    f.pending = true;
    path_.resize(base);
    wide_ = wideBase;
    try {
        stack_.push_back(f);
    } catch (...) {
        CloseFrame(f);
        throw;
    }
    return Drain();
}

// Core_WalkFiles reports through the narrow callback what has a code page
// 932 path; an entry without one cannot be opened by its receiver.
struct NarrowAdapter {
    CoreWalkCallback callback;
    void* user;
};

int ReportNarrow(const CoreWalkEntry& e, void* user) {
    auto* a = static_cast<NarrowAdapter*>(user);
    if (!e.path) return kCoreWalkContinue;
    WIN32_FIND_DATAA fd;
    std::memset(&fd, 0, sizeof fd);
    const WIN32_FIND_DATAW& w = *e.data;
    fd.dwFileAttributes = w.dwFileAttributes;
    fd.ftCreationTime = w.ftCreationTime;
    fd.ftLastAccessTime = w.ftLastAccessTime;
    fd.ftLastWriteTime = w.ftLastWriteTime;
    fd.nFileSizeHigh = w.nFileSizeHigh;
    fd.nFileSizeLow = w.nFileSizeLow;
    PmPath_Copy(fd.cFileName, sizeof fd.cFileName, PmPath_NameStart(e.path));
    std::string alternate;
    if (Core_NarrowExact(w.cAlternateFileName, std::wcslen(w.cAlternateFileName), &alternate))
        PmPath_Copy(fd.cAlternateFileName, sizeof fd.cAlternateFileName, alternate.c_str());
    return a->callback(e.path, &fd, e.depth, a->user) ? kCoreWalkStop : kCoreWalkContinue;
}

}  // namespace

int Core_WalkFilesEx(const char* start, int depthLimit, CoreWalkCallbackEx callback, void* user) {
    if (!start || !*start || !callback) return 0;
    try {
        Walker walker(depthLimit, callback, user);
        return walker.Run(start);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

int Core_WalkFiles(const char* start, int depthLimit, int, CoreWalkCallback callback, void* user) {
    if (!start || !*start || !callback) return 0;
    NarrowAdapter adapter{callback, user};
    return Core_WalkFilesEx(start, depthLimit, ReportNarrow, &adapter);
}
