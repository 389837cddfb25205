// Reading the persisted settings from stored values, apart from where they
// are stored: the Windows build reads the INI file through the platform's
// private-profile functions, tests and fuzzing give text in memory. The
// rules that keep a hand-edited or damaged file from reaching past the
// record's arrays, or from sending files elsewhere, live here.
#pragma once
#include "entry/settings_record.h"

#include <cstdint>

// Section names.
inline constexpr char kIniSection[] = "IMGCONVERT";
inline constexpr char kIniDisplaySection[] = "IMGCONVERT_DISP";

// Stored values, as the private-profile functions give them.
class SettingsValues {
public:
    virtual ~SettingsValues() = default;
    // The key's number; `def` when the key is missing.
    virtual int Int(const char* section, const char* key, int def) const = 0;
    // Copies the key's text, or `def` when the key is missing, into `out`,
    // cut to size - 1 bytes and terminated; the bytes copied.
    virtual uint32_t String(const char* section, const char* key, const char* def, char* out,
                            uint32_t size) const = 0;
};

// What a missing key falls back to, where it depends on the machine.
struct SettingsDefaults {
    const int* imageTypes = nullptr;  // the readable types, in the library's order
    int imageTypeCount = 0;
    const char* writePath = "";  // the default output folder
    const char* logFile = "";    // the default log file
};

// Fills every persisted field from `values`; with null values every field
// gets its default. The paths are written up to their terminators; the bytes
// after them are left as they were.
void ReadPersistedParams(const SettingsValues* values, const SettingsDefaults& defaults, PersistedParams* params);
