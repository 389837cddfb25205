#include "entry/app_paths.h"

#include "makerlibs/pmpath.h"

#include <cstring>

namespace {
bool Form(const char* folder, const char* name, char (&out)[kAppPathBytes]) {
    if (!PmPath_Copy(out, sizeof out, folder)) return false;
    if (*folder && !PmPath_EndsWithSeparator(folder) && !PmPath_Append(out, sizeof out, "\\")) return false;
    return PmPath_Append(out, sizeof out, name);
}
}  // namespace

bool FormAppPaths(const char* folder, AppPaths* out) {
    std::memset(out, 0, sizeof *out);
    if (folder && PmPath_Copy(out->Folder, sizeof out->Folder, folder) && Form(folder, kIniFileName, out->IniFile) &&
        Form(folder, kHelpPageName, out->HelpPage) && Form(folder, kHelpFileName, out->HelpFile))
        return true;
    std::memset(out, 0, sizeof *out);
    return false;
}
