// Fuzz target of the settings reader: the input is an INI file's text, read
// the way the private-profile functions read it (sections and keys without
// regard to case, the first of repeated keys wins, values trimmed and
// unquoted, numbers with an optional sign, texts cut to the buffer). However
// the text is made, the record must stay inside its arrays: a type count
// within 0..30 with nothing stored past it, terminated paths, and scan modes
// the settings dialog can show.
#include "entry/settings_values.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = char(x - 32);
        if (y >= 'a' && y <= 'z') y = char(y - 32);
        if (x != y) return false;
    }
    return true;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

class TextValues final : public SettingsValues {
public:
    TextValues(const char* text, size_t size) {
        std::string_view all(text, size), section;
        while (!all.empty()) {
            size_t end = all.find_first_of("\r\n");
            std::string_view line = Trim(all.substr(0, end));
            all = end == std::string_view::npos ? std::string_view() : all.substr(end + 1);
            if (!line.empty() && line.front() == '[') {
                size_t close = line.find(']');
                section = Trim(line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1));
                continue;
            }
            size_t eq = line.find('=');
            if (eq == std::string_view::npos) continue;
            std::string_view value = Trim(line.substr(eq + 1));
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
                value = value.substr(1, value.size() - 2);
            entries_.push_back({section, Trim(line.substr(0, eq)), value});
        }
    }

    int Int(const char* section, const char* key, int def) const override {
        const Entry* e = Find(section, key);
        if (!e || e->value.empty()) return def;
        std::string_view v = e->value;
        bool negative = v.front() == '-';
        if (negative || v.front() == '+') v.remove_prefix(1);
        uint32_t n = 0;
        for (char c : v) {
            if (c < '0' || c > '9') break;
            n = n * 10 + uint32_t(c - '0');
        }
        return int(negative ? 0u - n : n);
    }

    uint32_t String(const char* section, const char* key, const char* def, char* out, uint32_t size) const override {
        if (!size) return 0;
        const Entry* e = Find(section, key);
        std::string_view v = e ? e->value : std::string_view(def ? def : "");
        size_t n = v.size() < size - 1 ? v.size() : size - 1;
        std::memcpy(out, v.data(), n);
        out[n] = '\0';
        return uint32_t(n);
    }

private:
    struct Entry {
        std::string_view section, key, value;
    };
    const Entry* Find(const char* section, const char* key) const {
        for (const Entry& e : entries_)
            if (SameText(e.section, section) && SameText(e.key, key)) return &e;
        return nullptr;
    }
    std::vector<Entry> entries_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TextValues values(reinterpret_cast<const char*>(data), size);
    static const int kTypes[] = {1, 3, 4, 5, 6, 7};
    SettingsDefaults defaults;
    defaults.imageTypes = kTypes;
    defaults.imageTypeCount = 6;
    defaults.writePath = "C:\\Users\\me\\Desktop";
    defaults.logFile = "C:\\Users\\me\\Desktop\\log.txt";
    PersistedParams p;
    std::memset(&p, 0xCD, sizeof p);
    ReadPersistedParams(&values, defaults, &p);
    if (p.ImageTypeCount < 0 || p.ImageTypeCount > kMaxImageTypes) std::abort();
    for (int i = p.ImageTypeCount; i < kMaxImageTypes; ++i)
        if (p.ImageType[i] != 0) std::abort();
    if (strnlen(p.WritePath, sizeof p.WritePath) == sizeof p.WritePath) std::abort();
    if (strnlen(p.LogFile, sizeof p.LogFile) == sizeof p.LogFile) std::abort();
    const SaveOptions& s = p.SaveOptions;
    if (s.Size != sizeof(SaveOptions) || s.Jpeg_Progressive > 2 || s.Png_Interlace > 2 || s.Gif_Interlace > 2 ||
        s.Padding[0] || s.Padding[1])
        std::abort();
    return 0;
}
