// The profile list reader: a six-column text file into a list of entries.
#include "entry/image_types.h"
#include "entry/export_guard.h"
#include "records/report_text.h"
#include "records/run_records.h"
#include "makerlibs/pmcore.h"
#include "makerlibs/pmwinkit.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr int kProfileColumns = 6;

char* CopyText(const char* text) {
    size_t length = std::strlen(text);
    void* copy = nullptr;
    if (!WinKit_Alloc(nullptr, length + 1, &copy)) return nullptr;
    std::memcpy(copy, text, length + 1);
    return static_cast<char*>(copy);
}

// Drops the texts of an entry that did not become part of the list, so the
// next row can take its place without leaking them.
void ClearEntry(CareerProfileEntry* e) {
    WinKit_Free(e->Column0);
    WinKit_Free(e->Column1);
    *e = CareerProfileEntry{};
}

// Fills `e` from one row. 1 = every column present, 0 = a short row,
// -1 = out of memory.
int FillEntry(const TextTable& table, int32_t rowIndex, CareerProfileEntry* e) {
    char** row = table.RowCells ? table.RowCells[rowIndex] : nullptr;
    for (int column = 0; column < table.Columns; ++column) {
        const char* cell = row ? row[column] : nullptr;
        if (!cell) return 0;
        switch (column) {
        case 0:
        case 1: {
            char* copy = CopyText(cell);
            if (!copy) return -1;
            (column == 0 ? e->Column0 : e->Column1) = copy;
            break;
        }
        case 2: e->ImageType = pmImageConvert_GetImageType(cell); break;
        case 3: e->BitCount = Records_BitCountForColors(Records_ParseNumber(cell)); break;
        case 4: e->Column4 = Records_ParseNumber(cell); break;
        case 5: e->Column5 = Records_ParseNumber(cell); break;
        default: break;
        }
    }
    return 1;
}

}  // namespace

static int ReadCareerProfile(const char* path, CareerProfile* list) {
    if (!list) return -1;
    *list = CareerProfile{};
    if (!path) return -1;
    TextTable table{};
    int result = -1;
    HANDLE file = Core_CheckHandle(0, CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
        result = Core_ReadTextTable(file, kProfileColumns, &table) == 0 ? 1 : 0;
        int32_t rows = table.RowCells && table.Rows > 0 ? table.Rows : 0;
        if (static_cast<size_t>(rows) > SIZE_MAX / sizeof(CareerProfileEntry)) {
            rows = 0;
            result = -1;
        }
        void* block = nullptr;
        size_t bytes = static_cast<size_t>(rows) * sizeof(CareerProfileEntry);
        if (!WinKit_Alloc(nullptr, bytes, &block)) {
            result = -1;
        } else {
            std::memset(block, 0, bytes);
            list->Entries = static_cast<CareerProfileEntry*>(block);
            // A short row leaves Count as it is; the next row reuses its entry.
            for (int32_t r = 0; r < rows; ++r) {
                CareerProfileEntry* e = &list->Entries[list->Count];
                int filled = FillEntry(table, r, e);
                if (filled < 0) {
                    ClearEntry(e);
                    result = -1;
                    break;
                }
                if (filled == 1)
                    ++list->Count;
                else
                    ClearEntry(e);
            }
        }
        CloseHandle(Core_RawHandle(file));
    }
    Core_FreeTextTable(&table);
    if (result == -1) pmImageConvert_FreeCareerProfile(list);
    return result;
}

extern "C" int PM_API pmImageConvert_GetCareerProfile(const char* path, CareerProfile* list) {
    return Export_Guard<int>(-1, [&] { return ReadCareerProfile(path, list); });
}

static int FreeCareerProfile(CareerProfile* list) {
    if (!list) return 0;
    if (list->Entries) {
        for (int32_t i = 0; i < list->Count; ++i) {
            WinKit_Free(list->Entries[i].Column0);
            WinKit_Free(list->Entries[i].Column1);
        }
    }
    WinKit_Free(list->Entries);
    *list = CareerProfile{};
    return 1;
}

extern "C" int PM_API pmImageConvert_FreeCareerProfile(CareerProfile* list) {
    return Export_Guard<int>(0, [&] { return FreeCareerProfile(list); });
}
