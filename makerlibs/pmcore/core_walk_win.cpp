// PMCORE: the file walker. Depth first with an explicit stack of open
// searches, so a deep tree costs one frame per level and no native stack.
// It searches with the wide API and reaches every entry by its real name in
// the long-path form, so names that code page 932 cannot hold, names that
// end in a dot or a blank, and paths beyond MAX_PATH are all met as they
// are. For callers of the narrow API it also keeps a code page 932 spelling
// where there is one (a component code page 932 cannot hold exactly is
// spelled by its 8.3 short name, which many volumes do not have).
#include "makerlibs/pmcore.h"

#include <atomic>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr size_t kNoNarrow = size_t(-1);

std::atomic<int> g_shortNames{-1};  // -1: not decided yet
std::atomic<long> g_listingFaultAt{0};
std::atomic<DWORD> g_listingFaultError{0};

// A volume without 8.3 names is what most users have (NTFS data volumes
// since Windows 8, exFAT cards, shares); PM_NO_SHORT_NAMES=1 gives one on a
// machine whose volumes all make them.
bool UseShortNames() {
    int use = g_shortNames.load();
    if (use < 0) {
        wchar_t value[8] = {};
        DWORD n = GetEnvironmentVariableW(L"PM_NO_SHORT_NAMES", value, 8);
        use = (n > 0 && n < 8 && value[0] == L'1') ? 0 : 1;
        g_shortNames.store(use);
    }
    return use == 1;
}

// FindNextFileW, or the failure a test asked for.
BOOL NextEntry(HANDLE find, WIN32_FIND_DATAW* fd) {
    long at = g_listingFaultAt.load();
    if (at > 0 && g_listingFaultAt.fetch_sub(1) == 1) {
        SetLastError(g_listingFaultError.load());
        return FALSE;
    }
    return FindNextFileW(find, fd);
}

bool IsDotEntry(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

bool IsFolder(const WIN32_FIND_DATAW& fd) { return (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

bool IsSep(wchar_t c) { return c == L'\\' || c == L'/'; }

bool EndsWithSeparator(const std::wstring& s) { return !s.empty() && IsSep(s.back()); }

// Where the last component begins ("C:name" counts its drive as a root).
size_t NameStart(const std::wstring& p) {
    size_t start = 0;
    for (size_t i = 0; i < p.size(); ++i)
        if (IsSep(p[i]) || (p[i] == L':' && i == 1)) start = i + 1;
    return start;
}

bool HasWildcard(const std::wstring& name) { return name.find_first_of(L"*?") != std::wstring::npos; }

// "C:\" / "C:", "\\server\share\", the same behind the long-path prefix.
size_t RootLength(const std::wstring& p) {
    size_t skip = 0;
    bool unc = false;
    if (p.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        skip = 8;
        unc = true;
    } else if (p.compare(0, 4, L"\\\\?\\") == 0) {
        skip = 4;
    } else if (p.size() >= 2 && IsSep(p[0]) && IsSep(p[1])) {
        skip = 2;
        unc = true;
    }
    if (!unc) {
        if (p.size() >= skip + 2 && p[skip + 1] == L':') return p.size() > skip + 2 && IsSep(p[skip + 2]) ? skip + 3 : skip + 2;
        return skip;
    }
    size_t q = skip;
    for (int part = 0; part < 2; ++part) {
        size_t begin = q;
        while (q < p.size() && !IsSep(p[q])) ++q;
        if (q == begin) return 0;
        if (q < p.size()) ++q;
    }
    return q;
}

// Characters of a code page 932 path once the system has widened it: the
// narrow API refuses paths of MAX_PATH characters or more.
size_t WideLength(const std::string& narrow) {
    int n = MultiByteToWideChar(CP_ACP, 0, narrow.data(), int(narrow.size()), nullptr, 0);
    return n > 0 ? size_t(n) : narrow.size();
}

// The code page 932 spelling of one name found by a search: the name itself
// when it converts exactly, else its short name. False when it has neither.
bool NarrowComponent(const WIN32_FIND_DATAW& fd, std::string* out) {
    if (Core_NarrowExact(fd.cFileName, std::wcslen(fd.cFileName), out)) return true;
    return UseShortNames() && fd.cAlternateFileName[0] &&
           Core_NarrowExact(fd.cAlternateFileName, std::wcslen(fd.cAlternateFileName), out);
}

struct Frame {
    HANDLE find = INVALID_HANDLE_VALUE;
    size_t base = 0;      // length of the narrow folder path with its separator; kNoNarrow: none
    size_t wideBase = 0;  // the same for the wide path
    int depth = 0;        // of the entries this search reports
    bool pending = false; // `first` holds an entry not yet reported
    WIN32_FIND_DATAW first;
    WIN32_FIND_DATAW folder;  // of the folder listed, for a report of its failure
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

    int Run(const std::wstring& start);

private:
    bool MayDescend(int depth) const { return limit_ < 0 || depth < limit_; }
    // True the first time a folder is met; a folder that cannot be identified
    // is entered unless it is a link, which alone could close a cycle.
    bool FirstVisit(const std::wstring& path, DWORD attributes);
    // Reports the entry in `path_` / `wide_` and, for a folder the limit and
    // the callback let us enter, pushes its search. False = stop.
    bool Report(const WIN32_FIND_DATAW& fd, bool narrowOk, int depth);
    // Opens the search of the folder in `wide_` into `f`; 0 or the reason
    // it cannot be listed.
    DWORD OpenFolder(int depth, bool narrowOk, Frame* f);
    // A listing that broke off: the folder is reported again with the
    // reason, so that what it still held is not left out without a word.
    bool ReportBrokenListing(const Frame& f, DWORD error);
    int Drain();

    int limit_;
    CoreWalkCallbackEx callback_;
    void* user_;
    std::string path_;
    std::wstring wide_;
    std::vector<Frame> stack_;
    CoreFileIdSet visited_;
};

bool Walker::FirstVisit(const std::wstring& path, DWORD attributes) {
    CoreFileId id;
    if (!Core_IdentifyPath(path, false, &id)) return !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    // An id that says nothing leaves the resolved path, which a link alone
    // could leave unresolved.
    if (!id.usable && !Core_IdentifyPath(path, true, &id)) return !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    if (!id.usable && id.resolved.empty()) return !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    return visited_.Insert(std::move(id));
}

DWORD Walker::OpenFolder(int depth, bool narrowOk, Frame* f) {
    std::wstring wideBase = wide_;
    if (!EndsWithSeparator(wideBase)) wideBase += L'\\';
    f->find = FindFirstFileW(Core_ExactPathForm(wideBase + L"*").c_str(), &f->first);
    if (f->find == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        // An empty folder (even without "." entries, as at some roots) is no failure.
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_NO_MORE_FILES) return 0;
        return err ? err : ERROR_ACCESS_DENIED;
    }
    std::string narrowBase = path_;
    if (narrowOk && !PmPath_EndsWithSeparator(narrowBase.c_str())) narrowBase += '\\';
    f->base = narrowOk ? narrowBase.size() : kNoNarrow;
    f->wideBase = wideBase.size();
    f->depth = depth;
    f->pending = true;
    return 0;
}

bool Walker::Report(const WIN32_FIND_DATAW& fd, bool narrowOk, int depth) {
    // The narrow spelling is offered only where the narrow API can open it.
    narrowOk = narrowOk && WideLength(path_) < MAX_PATH;
    CoreWalkEntry entry{wide_.c_str(), narrowOk ? path_.c_str() : nullptr, &fd, depth, 0};
    Frame inner;
    bool enter = false;
    if (IsFolder(fd) && MayDescend(depth) && FirstVisit(wide_, fd.dwFileAttributes)) {
        // The folder is listed before it is reported, so that the report can
        // say when its contents cannot be reached.
        entry.error = OpenFolder(depth + 1, narrowOk, &inner);
        inner.folder = fd;
        enter = inner.find != INVALID_HANDLE_VALUE;
    }
    int answer = callback_(entry, user_);
    if (answer == kCoreWalkStop || answer == kCoreWalkSkipContents || !enter) {
        CloseFrame(inner);
        return answer != kCoreWalkStop;
    }
    // The paths grow from the folder's own; `inner` records where its
    // entries' names begin.
    if (inner.base != kNoNarrow && !PmPath_EndsWithSeparator(path_.c_str())) path_ += '\\';
    if (!EndsWithSeparator(wide_)) wide_ += L'\\';
    try {
        stack_.push_back(inner);
    } catch (...) {
        CloseFrame(inner);
        throw;
    }
    return true;
}

bool Walker::ReportBrokenListing(const Frame& f, DWORD error) {
    std::wstring folder = wide_.substr(0, f.wideBase);
    size_t root = RootLength(folder);
    while (folder.size() > root && EndsWithSeparator(folder)) folder.pop_back();
    CoreWalkEntry entry{folder.c_str(), nullptr, &f.folder, f.depth - 1, error};
    return callback_(entry, user_) != kCoreWalkStop;
}

int Walker::Drain() {
    while (!stack_.empty()) {
        Frame& f = stack_.back();
        WIN32_FIND_DATAW fd;
        if (f.pending) {
            fd = f.first;
            f.pending = false;
        } else if (!NextEntry(f.find, &fd)) {
            DWORD err = GetLastError();
            Frame done = f;
            CloseFrame(f);
            stack_.pop_back();
            if (err != ERROR_NO_MORE_FILES && !ReportBrokenListing(done, err ? err : ERROR_READ_FAULT)) return 2;
            continue;
        }
        if (IsDotEntry(fd.cFileName)) continue;
        wide_.resize(f.wideBase);
        wide_ += fd.cFileName;
        bool narrowOk = f.base != kNoNarrow;
        if (narrowOk) {
            path_.resize(f.base);
            std::string component;
            narrowOk = NarrowComponent(fd, &component);
            path_ += component;
        }
        if (!Report(fd, narrowOk, f.depth)) return 2;  // `f` may be gone: Report can push
    }
    return 1;
}

int Walker::Run(const std::wstring& start) {
    wide_ = start;
    size_t root = RootLength(wide_);
    bool pattern = HasWildcard(wide_.substr(NameStart(wide_)));
    if (!pattern) {
        while (wide_.size() > root && EndsWithSeparator(wide_)) wide_.pop_back();
        // A drive or share is named by its root, which no search returns as an
        // entry: walk its contents as named entries, like the pattern "D:\*".
        if (root > 0 && wide_.size() == root) {
            if (!EndsWithSeparator(wide_)) wide_ += L'\\';
            wide_ += L'*';
            pattern = true;
        }
    }
    bool narrowOk = Core_NarrowExact(wide_.c_str(), wide_.size(), &path_);
    if (!pattern) {
        WIN32_FIND_DATAW fd;
        HANDLE h = FindFirstFileW(Core_ExactPathForm(wide_).c_str(), &fd);
        if (h != INVALID_HANDLE_VALUE) {
            FindClose(h);
        } else {
            // "." and ".." name folders that a search does not return.
            WIN32_FILE_ATTRIBUTE_DATA ad;
            if (!GetFileAttributesExW(Core_ExactPathForm(wide_).c_str(), GetFileExInfoStandard, &ad)) return 1;
            std::memset(&fd, 0, sizeof fd);
            fd.dwFileAttributes = ad.dwFileAttributes;
            fd.ftCreationTime = ad.ftCreationTime;
            fd.ftLastAccessTime = ad.ftLastAccessTime;
            fd.ftLastWriteTime = ad.ftLastWriteTime;
            fd.nFileSizeHigh = ad.nFileSizeHigh;
            fd.nFileSizeLow = ad.nFileSizeLow;
            wcsncpy(fd.cFileName, wide_.c_str() + NameStart(wide_), MAX_PATH - 1);
        }
        if (!Report(fd, narrowOk, 0)) return 2;
        return Drain();
    }

    // The folder searched is the parent of the named entries; its contents
    // are being walked, so a link back to it must not walk them again.
    size_t base = NameStart(wide_);
    std::wstring folder = wide_.substr(0, base);
    root = RootLength(folder);  // "D:" became "D:\*" above
    while (folder.size() > root && EndsWithSeparator(folder)) folder.pop_back();
    if (folder.empty()) folder = L".";
    FirstVisit(folder, 0);

    Frame f;
    f.find = FindFirstFileW(Core_ExactPathForm(wide_).c_str(), &f.first);
    if (f.find == INVALID_HANDLE_VALUE) return 1;
    std::memset(&f.folder, 0, sizeof f.folder);
    f.folder.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    f.wideBase = base;
    f.depth = 0;
    f.pending = true;
    if (narrowOk) {
        path_.resize(size_t(PmPath_NameStart(path_.c_str()) - path_.c_str()));
        f.base = path_.size();
    } else {
        f.base = kNoNarrow;
    }
    wide_.resize(base);
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
    if (UseShortNames() && Core_NarrowExact(w.cAlternateFileName, std::wcslen(w.cAlternateFileName), &alternate))
        PmPath_Copy(fd.cAlternateFileName, sizeof fd.cAlternateFileName, alternate.c_str());
    return a->callback(e.path, &fd, e.depth, a->user) ? kCoreWalkStop : kCoreWalkContinue;
}

}  // namespace

void Core_SetShortNamesForTest(bool use) { g_shortNames.store(use ? 1 : 0); }

void Core_SetListingFaultForTest(long afterCalls, DWORD error) {
    g_listingFaultError.store(error);
    g_listingFaultAt.store(afterCalls);
}

int Core_WalkFilesW(const wchar_t* start, int depthLimit, CoreWalkCallbackEx callback, void* user) {
    if (!start || !*start || !callback) return 0;
    try {
        Walker walker(depthLimit, callback, user);
        return walker.Run(start);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

int Core_WalkFilesEx(const char* start, int depthLimit, CoreWalkCallbackEx callback, void* user) {
    if (!start || !*start || !callback) return 0;
    std::wstring wide;
    if (!Core_WideExact(start, &wide)) return 0;
    return Core_WalkFilesW(wide.c_str(), depthLimit, callback, user);
}

int Core_WalkFiles(const char* start, int depthLimit, int, CoreWalkCallback callback, void* user) {
    if (!start || !*start || !callback) return 0;
    NarrowAdapter adapter{callback, user};
    return Core_WalkFilesEx(start, depthLimit, ReportNarrow, &adapter);
}
