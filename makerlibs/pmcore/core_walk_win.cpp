// PMCORE: the file walker. Depth first with an explicit stack of open
// searches, so a deep tree costs one frame per level and no native stack;
// the A functions stop at MAX_PATH, which bounds the levels as well.
#include "makerlibs/pmcore.h"

#include <cstring>
#include <new>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

bool IsDotEntry(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

bool IsFolder(const WIN32_FIND_DATAA& fd) { return (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

bool HasWildcard(const char* name) { return PmPath_FindChar(name, '*') || PmPath_FindChar(name, '?'); }

// What a folder is, whatever path reached it: a link, a junction or (under
// Wine) a Unix symbolic link leads to the same volume and file index.
struct FolderId {
    DWORD volume, indexHigh, indexLow;
    bool operator<(const FolderId& o) const {
        return std::tie(volume, indexHigh, indexLow) < std::tie(o.volume, o.indexHigh, o.indexLow);
    }
};

bool IdentifyFolder(const char* path, FolderId* id) {
    // No access rights asked: only the identity is read, which also works
    // on folders whose contents we may not read.
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    BOOL ok = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!ok) return false;
    *id = FolderId{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

struct Frame {
    HANDLE find;
    size_t base;  // length of the folder path with its separator
    int depth;    // of the entries this search reports
    bool pending; // `first` holds an entry not yet reported
    WIN32_FIND_DATAA first;
};

class Walker {
public:
    Walker(int depthLimit, CoreWalkCallback callback, void* user)
        : limit_(depthLimit), callback_(callback), user_(user) {}
    ~Walker() {
        for (Frame& f : stack_) FindClose(f.find);
    }
    Walker(const Walker&) = delete;
    Walker& operator=(const Walker&) = delete;

    int Run(const char* start);

private:
    bool MayDescend(int depth) const { return limit_ < 0 || depth < limit_; }
    // True the first time a folder is met; a folder that cannot be identified
    // is entered unless it is a link, which alone could close a cycle.
    bool FirstVisit(const char* path, DWORD attributes);
    // Reports one entry and, for a folder the limit lets us enter, opens its search.
    bool Report(const WIN32_FIND_DATAA& fd, int depth);
    bool Push(int depth);
    bool OpenSearch(size_t base, int depth);
    int Drain();

    int limit_;
    CoreWalkCallback callback_;
    void* user_;
    std::string path_;
    std::vector<Frame> stack_;
    std::set<FolderId> visited_;
};

bool Walker::FirstVisit(const char* path, DWORD attributes) {
    FolderId id;
    if (!IdentifyFolder(path, &id)) return !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    return visited_.insert(id).second;
}

// `path_` holds the entry; the result is false when the callback asked to stop.
bool Walker::Report(const WIN32_FIND_DATAA& fd, int depth) {
    if (callback_(path_.c_str(), &fd, depth, user_)) return false;
    if (IsFolder(fd) && MayDescend(depth) && FirstVisit(path_.c_str(), fd.dwFileAttributes)) Push(depth + 1);
    return true;
}

// Opens the search of the folder in `path_`; a folder that cannot be read
// is reported but has no contents.
bool Walker::Push(int depth) {
    if (!PmPath_EndsWithSeparator(path_.c_str())) path_ += '\\';
    size_t base = path_.size();
    path_ += '*';
    return OpenSearch(base, depth);
}

// Starts the search for the pattern in `path_`, whose entries are named
// by the first `base` bytes of it and their own names.
bool Walker::OpenSearch(size_t base, int depth) {
    Frame f;
    f.find = FindFirstFileA(path_.c_str(), &f.first);
    path_.resize(base);
    if (f.find == INVALID_HANDLE_VALUE) return false;
    f.base = base;
    f.depth = depth;
    f.pending = true;
    try {
        stack_.push_back(f);
    } catch (...) {
        FindClose(f.find);
        throw;
    }
    return true;
}

int Walker::Drain() {
    while (!stack_.empty()) {
        Frame& f = stack_.back();
        WIN32_FIND_DATAA fd;
        if (f.pending) {
            fd = f.first;
            f.pending = false;
        } else if (!FindNextFileA(f.find, &fd)) {
            FindClose(f.find);
            stack_.pop_back();
            continue;
        }
        if (IsDotEntry(fd.cFileName)) continue;
        path_.resize(f.base);
        path_ += fd.cFileName;
        if (!Report(fd, f.depth)) return 2;  // `f` may be gone: Report can push
    }
    return 1;
}

int Walker::Run(const char* start) {
    path_ = start;
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
    }
    if (!pattern) {
        WIN32_FIND_DATAA fd;
        HANDLE h = FindFirstFileA(path_.c_str(), &fd);
        if (h != INVALID_HANDLE_VALUE) {
            FindClose(h);
        } else {
            // "." and ".." name folders that a search does not return.
            WIN32_FILE_ATTRIBUTE_DATA ad;
            if (!GetFileAttributesExA(path_.c_str(), GetFileExInfoStandard, &ad)) return 1;
            std::memset(&fd, 0, sizeof fd);
            fd.dwFileAttributes = ad.dwFileAttributes;
            fd.ftCreationTime = ad.ftCreationTime;
            fd.ftLastAccessTime = ad.ftLastAccessTime;
            fd.ftLastWriteTime = ad.ftLastWriteTime;
            fd.nFileSizeHigh = ad.nFileSizeHigh;
            fd.nFileSizeLow = ad.nFileSizeLow;
            PmPath_Copy(fd.cFileName, sizeof fd.cFileName, PmPath_NameStart(path_.c_str()));
        }
        if (!Report(fd, 0)) return 2;
        return Drain();
    }

    // The folder searched is the parent of the named entries; its contents
    // are being walked, so a link back to it must not walk them again.
    size_t base = size_t(PmPath_NameStart(path_.c_str()) - path_.c_str());
    std::string folder = path_.substr(0, base);
    root = PmPath_RootLength(folder.c_str());  // "D:" became "D:\*" above
    while (folder.size() > root && PmPath_EndsWithSeparator(folder.c_str())) folder.pop_back();
    if (folder.empty()) folder = ".";
    FirstVisit(folder.c_str(), 0);

    OpenSearch(base, 0);
    return Drain();
}

}  // namespace

int Core_WalkFiles(const char* start, int depthLimit, int, CoreWalkCallback callback, void* user) {
    if (!start || !*start || !callback) return 0;
    try {
        Walker walker(depthLimit, callback, user);
        return walker.Run(start);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}
