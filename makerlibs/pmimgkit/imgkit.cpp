// PMIMGKIT: start and stop of the image libraries, the settings and help
// file paths, and the table of image types the libraries handle.
#include "makerlibs/pmimgkit.h"
#include "makerlibs/pmfile.h"

#include <atomic>

namespace {

struct TypeRow {
    int code;
    const char* name;       // shown in lists and dialogs
    const char* extension;  // of output files, with the dot
    bool writable;
};

// Display order of the input type list.
constexpr TypeRow kTypes[] = {
    {kTypeBmp, "Windows ビットマップ (BMP)", ".bmp", true},
    {kTypeJpeg, "JPEG イメージ", ".jpg", true},
    {kTypeTiff, "TIFF イメージ", ".tif", true},
    {kTypeGif, "GIF イメージ", ".gif", true},
    {kTypePng, "PNG イメージ", ".png", true},
    {kTypePhotoCd, "Photo CD イメージ", ".pcd", false},
    {kTypeHeif, "HEIF イメージ (HEIC)", ".heic", false},
    {kTypeAvif, "AVIF イメージ", ".avif", false},
    {kTypeWebp, "WebP イメージ", ".webp", true},
};

std::atomic<int> g_starts{0};
// Set once by start-up before any other thread exists; the buffers belong to
// the caller and outlive the run.
const char* g_iniFile = nullptr;
const char* g_helpFile = nullptr;

}  // namespace

int ImgKit_Initialize(int mode) {
    if (mode != 1) return 0;
    ++g_starts;
    return 1;
}

void ImgKit_Terminate() {
    int n = g_starts.load();
    while (n > 0 && !g_starts.compare_exchange_weak(n, n - 1)) {
    }
}

void ImgKit_SetIniFile(const char* path) { g_iniFile = path; }
void ImgKit_SetHelpFile(const char* path) { g_helpFile = path; }
const char* ImgKit_GetIniFile() { return g_iniFile; }

const char* ImgKit_GetHelpFile() {
    if (!g_helpFile || !*g_helpFile) return nullptr;
    PmFileHandle f = PmFile_OpenRead(g_helpFile);
    if (!f) return nullptr;
    PmFile_Close(f);
    return g_helpFile;
}

const char* ImgKit_GetTypeName(int type, int kind) {
    for (const TypeRow& row : kTypes) {
        if (row.code != type) continue;
        if (kind == 1) return row.name;
        if (kind == 2) return row.extension;
        return nullptr;
    }
    return nullptr;
}

int ImgKit_ListImageTypes(int flags, int maximum, int* types) {
    // Bit 0 asks for the types that can be written; without it, the readable
    // ones (all of them).
    bool writableOnly = (flags & 1) != 0;
    int n = 0;
    for (const TypeRow& row : kTypes) {
        if (writableOnly && !row.writable) continue;
        if (n >= maximum || !types) break;
        types[n++] = row.code;
    }
    return n;
}
