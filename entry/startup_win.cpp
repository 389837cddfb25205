#include "entry/startup.h"
#include "entry/export_guard.h"

#include "entry/dialog_procs.h"
#include "entry/settings_ini.h"
#include "makerlibs/pmcore.h"
#include "makerlibs/pmimgkit_win.h"
#include "resources/resource_ids.h"

#include <cstring>
#include <string>

namespace {

constexpr char kAppPathsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\PIXMILL.EXE";
constexpr DWORD kRegistryPathLimit = 260;
constexpr DWORD kCurrentDirLimit = 261;

// Module-level storage that the settings record's pointers refer to while
// the library is loaded.
AppPaths g_paths;
InitParamsDlgArgs g_dlgArgs = {kInitParamsDlgArgsSize, 0, 0, {}, 0, nullptr};

// False when the key itself is missing, so that the next place is asked; a
// key without a usable "Path" is an answer (the current directory then).
bool RegistryFolder(HKEY root, char (&folder)[kAppPathBytes]) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, kAppPathsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD size = kRegistryPathLimit;
    // The value's type is not looked at; a value without its terminator
    // still ends inside the zeroed buffer.
    if (RegQueryValueExA(key, "Path", nullptr, nullptr, reinterpret_cast<BYTE*>(folder), &size) != ERROR_SUCCESS)
        folder[0] = '\0';
    folder[kRegistryPathLimit] = '\0';
    RegCloseKey(key);
    return true;
}

}  // namespace

ImageConvertParams* Pm_ModuleParams() { return &g_dlgArgs.Params; }
InitParamsDlgArgs* Pm_ModuleDlgArgs() { return &g_dlgArgs; }

void FindAppPaths(AppPaths* out) {
    char folder[kAppPathBytes] = {};
    // A machine-wide installation registers under HKEY_LOCAL_MACHINE; a
    // per-user one, which needs no administrator, under HKEY_CURRENT_USER.
    if (!RegistryFolder(HKEY_LOCAL_MACHINE, folder)) RegistryFolder(HKEY_CURRENT_USER, folder);
    if (folder[0] && FormAppPaths(folder, out)) return;
    std::memset(folder, 0, sizeof folder);
    DWORD n = GetCurrentDirectoryA(kCurrentDirLimit, folder);
    if (n == 0 || n >= kCurrentDirLimit || !FormAppPaths(folder, out)) std::memset(out, 0, sizeof *out);
}

namespace {

std::string NarrowForDisplay(const wchar_t* wide) { return Core_NarrowForDisplay(wide); }

}  // namespace

// `files` holds the command line's entries; the run frees it.
static int Initialize(FileList& files) {
    ImgKit_Initialize(1);
    // The library's own module handle: the resource module of both dialogs.
    // The extra reference keeps it loaded for good.
    HINSTANCE instance = LoadLibraryA("PIXMILUI");
    // The dialogs' custom controls must exist before either dialog opens.
    ImgKit_RegisterClasses(instance);

    FindAppPaths(&g_paths);
    ImgKit_SetIniFile(g_paths.IniFile);
    // The WinHelp path lives on in the image library, which hands it to the
    // settings dialog; the record does not hold it.
    ImgKit_SetHelpFile(g_paths.HelpFile);

    ImageConvertParams& params = g_dlgArgs.Params;
    pmImageConvert_GetPrivateIniFile(&params, g_paths.IniFile[0] ? g_paths.IniFile : nullptr);
    params.AppFolder = g_paths.Folder;
    params.IniFile = g_paths.IniFile;
    params.HelpPage = g_paths.HelpPage;
    params.Instance = instance;

    int result;
    if (files.Count > 0) {
        ProgressDlgArgs args;
        std::memset(&args, 0, sizeof args);
        args.Size = sizeof(ProgressDlgArgs);
        args.Files = files;
        args.Params = &params;
        DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr,
                        reinterpret_cast<DLGPROC>(pmImageConvert_ProgressDlg), reinterpret_cast<LPARAM>(&args));
        result = 1;
    } else {
        DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_SETTINGS), nullptr,
                        reinterpret_cast<DLGPROC>(pmImageConvert_InitParamsDlg), reinterpret_cast<LPARAM>(&g_dlgArgs));
        result = 0;
    }
    FileList_Free(&files);
    ImgKit_Terminate();
    return result;
}

extern "C" int PM_API pmImageConvert_Initialize(int, const char* commandLine, int) {
    return Export_Guard<int>(0, [&] {
        FileList files;
        std::memset(&files, 0, sizeof files);
        if (commandLine && *commandLine) FileList_FromCommandLine(2, 0, commandLine, &files);
        return Initialize(files);
    });
}

extern "C" int PM_API pmImageConvert_InitializeW(int, const wchar_t* commandLine, int) {
    return Export_Guard<int>(0, [&] {
        FileList files;
        std::memset(&files, 0, sizeof files);
        if (commandLine && *commandLine) FileList_FromCommandLineW(2, commandLine, &files, NarrowForDisplay);
        return Initialize(files);
    });
}
