#include "batch/output_paths.h"

#include "makerlibs/pmpath.h"

#include <cstring>
#include <vector>

namespace {

// Positions of the backslashes of a code page 932 text, in order; trail
// bytes equal to 0x5C are not among them.
std::vector<size_t> Backslashes(const char* text) {
    std::vector<size_t> at;
    for (const char* p = text; *p; p = Cp932_Next(p))
        if (*p == '\\') at.push_back(size_t(p - text));
    return at;
}

bool CopyPart(char* out, size_t size, const char* src, size_t n) {
    if (n >= size) {
        if (size) out[0] = '\0';
        return false;
    }
    std::memcpy(out, src, n);
    out[n] = '\0';
    return true;
}

}  // namespace

bool Batch_BaseFolder(const char* folder, int depth, char* out, size_t size) {
    if (size) out[0] = '\0';
    std::vector<size_t> at = Backslashes(folder);
    if (at.empty() || depth < 0) return false;
    size_t k = size_t(depth) + 1;
    size_t cut = k <= at.size() ? at[at.size() - k] : at.front();
    return CopyPart(out, size, folder, cut);
}

bool Batch_InOutputTree(const char* path, const char* outputFolder) {
    size_t n = std::strlen(outputFolder);
    if (n == 0 || std::strlen(path) < n) return false;
    if (PmPath_CompareNoCase(path, outputFolder, n) != 0) return false;
    // Comparing whole characters: a cut inside a double-byte character of
    // the path never matches, since the output folder ends on a character.
    return path[n] == '\0' || path[n] == '\\' || PmPath_EndsWithSeparator(outputFolder);
}

bool Batch_OutputFolder(const char* outputFolder, const char* baseFolder, const char* path, char* out,
                        size_t size) {
    if (!PmPath_Copy(out, size, outputFolder)) return false;
    size_t baseLength = baseFolder ? std::strlen(baseFolder) : 0;
    const char* rest = path + baseLength;
    bool underBase = baseLength > 0 && std::strlen(path) > baseLength &&
                     PmPath_CompareNoCase(path, baseFolder, baseLength) == 0 && *rest == '\\';
    if (underBase) {
        size_t n = std::strlen(out);
        while (n > 0 && PmPath_EndsWithSeparator(out) && !PmPath_IsDriveRoot(out)) out[--n] = '\0';
        const char* lastSep = PmPath_FindLastChar(rest, '\\');  // rest starts with one
        size_t take = size_t(lastSep - rest);
        if (n + take >= size) {
            out[0] = '\0';
            return false;
        }
        // A drive-root output folder already ends in the separator that the
        // sub-path begins with. A file directly in the base folder has no
        // sub-path at all (take is 0) and goes to the output folder itself.
        if (take > 0 && PmPath_EndsWithSeparator(out)) ++rest, --take;
        std::memcpy(out + n, rest, take);
        out[n + take] = '\0';
    }
    size_t n = std::strlen(out);
    while (n > 0 && PmPath_EndsWithSeparator(out) && !PmPath_IsDriveRoot(out)) out[--n] = '\0';
    return true;
}

bool Batch_OutputName(const char* fileName, const char* extension, char* out, size_t size) {
    const char* dot = PmPath_FindLastChar(fileName, '.');
    size_t keep = dot ? size_t(dot - fileName) : std::strlen(fileName);
    size_t extLength = std::strlen(extension);
    if (keep + extLength >= size) {
        if (size) out[0] = '\0';
        return false;
    }
    std::memcpy(out, fileName, keep);
    std::memcpy(out + keep, extension, extLength + 1);
    return true;
}

bool Batch_WalkStart(const char* entry, char* out, size_t size) {
    size_t n = std::strlen(entry);
    if (n == 2 && entry[1] == ':') {
        if (!PmPath_Copy(out, size, entry)) return false;
        return PmPath_Append(out, size, "\\*");
    }
    if (PmPath_IsDriveRoot(entry)) {
        if (!PmPath_Copy(out, size, entry)) return false;
        return PmPath_Append(out, size, "*");
    }
    return PmPath_Copy(out, size, entry);
}
