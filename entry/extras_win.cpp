#include "entry/extras.h"
#include "entry/known_types.h"
#include "entry/settings_ini.h"

#include <string_view>

namespace {

// Hosts bind one or two records; tests a few more.
constexpr int kSlots = 16;
struct Binding {
    const ImageConvertParams* params;
    ImageConvertExtras* extras;
};
Binding g_bindings[kSlots];
SRWLOCK g_lock = SRWLOCK_INIT;
ImageConvertExtras g_moduleExtras = kDefaultExtras;

int Flag(const char* key, int def, const char* file) {
    int v = int(GetPrivateProfileIntA(kIniSection, key, def, file));
    return v == 0 || v == 1 ? v : def;
}

// A count the run cannot honour (negative, beyond the limit, not a plain
// number: the profile functions would read "2x" as 2 and wrap a huge one)
// leaves the choice to the machine.
int ThreadsValue(const char* file) {
    char text[32] = "";
    GetPrivateProfileStringA(kIniSection, "Threads", "", text, sizeof text, file);
    std::string_view v(text);
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    if (v.empty() || v.size() > 9) return 0;
    int n = 0;
    for (char c : v) {
        if (c < '0' || c > '9') return 0;
        n = n * 10 + (c - '0');
    }
    return n <= kMaxThreads ? n : kDefaultExtras.Threads;
}

int QualityValue(const char* key, int def, const char* file) {
    int v = int(GetPrivateProfileIntA(kIniSection, key, def, file));
    return v >= 0 && v <= 100 ? v : def;
}

}  // namespace

ImageConvertExtras* Pm_ExtrasOf(const ImageConvertParams* params) {
    if (!params) return nullptr;
    if (params == Pm_ModuleParams()) return &g_moduleExtras;
    AcquireSRWLockShared(&g_lock);
    ImageConvertExtras* found = nullptr;
    for (const Binding& b : g_bindings)
        if (b.params == params) found = b.extras;
    ReleaseSRWLockShared(&g_lock);
    return found;
}

ImageConvertExtras Pm_ExtrasFor(const ImageConvertParams* params) {
    const ImageConvertExtras* x = Pm_ExtrasOf(params);
    return x ? *x : kDefaultExtras;
}

bool Pm_BindExtras(const ImageConvertParams* params, ImageConvertExtras* extras) {
    if (!params || !extras || params == Pm_ModuleParams()) return false;
    AcquireSRWLockExclusive(&g_lock);
    Binding* free = nullptr;
    for (Binding& b : g_bindings) {
        if (b.params == params) free = &b;
        else if (!b.params && !free) free = &b;
    }
    if (free) *free = Binding{params, extras};
    ReleaseSRWLockExclusive(&g_lock);
    return free != nullptr;
}

void Pm_UnbindExtras(const ImageConvertParams* params) {
    AcquireSRWLockExclusive(&g_lock);
    for (Binding& b : g_bindings)
        if (b.params == params) b = Binding{nullptr, nullptr};
    ReleaseSRWLockExclusive(&g_lock);
}

void ReadExtrasIni(ImageConvertExtras* x, const char* iniFile) {
    if (!x) return;
    *x = kDefaultExtras;
    if (!iniFile || !*iniFile) return;
    x->AutoRotate = Flag("AutoRotate", kDefaultExtras.AutoRotate, iniFile);
    x->ColorManage = Flag("ColorManage", kDefaultExtras.ColorManage, iniFile);
    x->KeepMetadata = Flag("KeepMetadata", kDefaultExtras.KeepMetadata, iniFile);
    x->NoEnlarge = Flag("NoEnlarge", kDefaultExtras.NoEnlarge, iniFile);
    x->Threads = ThreadsValue(iniFile);
    x->Webp.Quality = QualityValue("Webp_Quality", kDefaultWebpOptions.Quality, iniFile);
    x->Webp.Lossless = Flag("Webp_Lossless", kDefaultWebpOptions.Lossless, iniFile);
}

void AddTypesNewerThanIni(ImageConvertParams* params, const char* iniFile, const int* library, int libraryCount) {
    if (!params || !iniFile || !*iniFile) return;
    // An empty key reads as a missing one: neither says what the file knew.
    char known[256] = "";
    GetPrivateProfileStringA(kIniSection, "KnownImageTypes", "", known, sizeof known, iniFile);
    int count = params->ImageTypeCount;
    AddTypesTheFileDidNotKnow(known[0] ? known : nullptr, library, libraryCount, params->ImageType, &count,
                              kMaxImageTypes);
    params->ImageTypeCount = count;
}

bool KnownTypesText(const int* library, int libraryCount, char* out, size_t size) {
    return FormatKnownTypes(library, libraryCount, out, size);
}
