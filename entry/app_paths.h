// Paths start-up derives from the installation folder.
#pragma once
#include <cstddef>

constexpr size_t kAppPathBytes = 264;

struct AppPaths {
    char Folder[kAppPathBytes];    // installation folder as found
    char IniFile[kAppPathBytes];   // Folder\PIXMILL.INI
    char HelpPage[kAppPathBytes];  // Folder\HELP\topics.htm
    char HelpFile[kAppPathBytes];  // Folder\HELP\VIMOｻﾑﾈｲﾙ.HLP
};

inline constexpr char kIniFileName[] = "PIXMILL.INI";
inline constexpr char kHelpPageName[] = "HELP\\topics.htm";
inline constexpr char kHelpFileName[] = "HELP\\VIMOｻﾑﾈｲﾙ.HLP";

// Forms the three paths from `folder` (a backslash is put between unless the
// folder ends with one). A path that would not fit its 264 bytes is never
// cut, since a cut path names another file: the call then fails and leaves
// every path empty.
bool FormAppPaths(const char* folder, AppPaths* out);
