#include "common/testsupport.h"

#include "makerlibs/pmpath.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include "makerlibs/pmwin.h"
#else
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace pmtest {
namespace {

// Output to a pipe is fully buffered: a case that hangs until the runner
// kills the program would leave nothing to show which one it was.
const bool kUnbufferedOutput = [] {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    return true;
}();

#ifdef _WIN32
constexpr char kSep = '\\';
// Unix paths baked in at configure time, seen through Wine's Z: drive.
std::string HostPath(const char* unixPath) {
    std::string p = std::string("Z:") + unixPath;
    for (char& c : p)
        if (c == '/') c = '\\';
    return p;
}
#else
constexpr char kSep = '/';
std::string HostPath(const char* unixPath) { return unixPath; }
#endif

bool IsDir(const std::string& path) {
#ifdef _WIN32
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
#else
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
#endif
}

}  // namespace

std::string SharedDir() {
    if (const char* env = std::getenv("PM_SHARED_DIR")) return env;
    std::string p = HostPath(PM_SHARED_DIR);
    return IsDir(p) ? p : std::string();
}
std::string SourceDir() { return HostPath(PM_SOURCE_DIR); }
std::string BinaryDir() { return HostPath(PM_BINARY_DIR); }

std::string Join(const std::string& a, const std::string& b) {
    if (a.empty()) return b;
    // The last byte of "表" or "ソ" is 0x5C: only a whole character counts.
    if (PmPath_EndsWithSeparator(a.c_str())) return a + b;
    return a + kSep + b;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* data) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    data->clear();
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data->insert(data->end(), buf, buf + n);
    std::fclose(f);
    return true;
}

bool WriteWholeFile(const std::string& path, const void* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

bool FileExists(const std::string& path) {
#ifdef _WIN32
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat st;
    return stat(path.c_str(), &st) == 0;
#endif
}

bool MakeDir(const std::string& path) {
#ifdef _WIN32
    return CreateDirectoryA(path.c_str(), nullptr) != 0;
#else
    return mkdir(path.c_str(), 0777) == 0;
#endif
}

void RemoveTree(const std::string& path) {
#ifdef _WIN32
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA(Join(path, "*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            if (!strcmp(fd.cFileName, ".") || !strcmp(fd.cFileName, "..")) continue;
            std::string child = Join(path, fd.cFileName);
            SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                RemoveTree(child);
            else if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDirectoryA(child.c_str());
            else
                DeleteFileA(child.c_str());
        } while (FindNextFileA(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryA(path.c_str());
#else
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d)) {
            if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
            std::string child = Join(path, e->d_name);
            struct stat st;
            if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                chmod(child.c_str(), 0777);
                RemoveTree(child);
            } else {
                unlink(child.c_str());
            }
        }
        closedir(d);
    }
    rmdir(path.c_str());
#endif
}

TempDir::TempDir() {
    static int counter = 0;
    char name[64];
#ifdef _WIN32
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    for (;;) {
        std::snprintf(name, sizeof name, "pmtest-%lu-%d", GetCurrentProcessId(), ++counter);
        path_ = Join(base, name);
        if (CreateDirectoryA(path_.c_str(), nullptr)) break;
    }
#else
    const char* base = std::getenv("TMPDIR");
    if (!base || !*base) base = "/tmp";
    for (;;) {
        std::snprintf(name, sizeof name, "pmtest-%d-%d", int(getpid()), ++counter);
        path_ = Join(base, name);
        if (mkdir(path_.c_str(), 0777) == 0) break;
    }
#endif
}

TempDir::~TempDir() { RemoveTree(path_); }

}  // namespace pmtest
