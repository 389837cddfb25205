#include "batch/input_type.h"

#include "makerlibs/pmcore.h"
#include "makerlibs/pmimgread.h"

namespace {

// Enough for every signature, the Photo CD one at byte 2048 included.
constexpr DWORD kHeadBytes = 2048 + 7;

DWORD ReadHead(HANDLE file, unsigned char* head) {
    DWORD got = 0;
    if (!ReadFile(file, head, kHeadBytes, &got, nullptr)) return 0;
    return got;
}

// The type the extension of the real name stands for; the rest of the name
// does not matter here.
int TypeByExtension(const std::wstring& path) {
    size_t start = path.find_last_of(L"\\/");
    size_t dot = path.find_last_of(L'.');
    if (dot == std::wstring::npos || (start != std::wstring::npos && dot < start)) return 0;
    std::string name = "x" + Core_NarrowForDisplay(path.substr(dot).c_str());
    return ImgRead_IdentifyFile(name.c_str(), 0, 2, 0);
}

}  // namespace

InputFacts Batch_LookAtInput(const std::wstring& path, bool byExtension, FileIdentifier* identifier) {
    InputFacts facts;
    if (byExtension) facts.type = TypeByExtension(path);
    HANDLE h = CreateFileW(Core_ExactPathForm(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        // Content that cannot be read (another program holds the file, it
        // went away) says nothing; a name that says picture is still taken,
        // so that its opening fails with the system's reason instead of the
        // file being left out without a word.
        if (!byExtension) facts.type = TypeByExtension(path);
        return facts;
    }
    facts.identified = identifier->Identify(h, path, &facts.id);
    if (!byExtension) {
        unsigned char head[kHeadBytes];
        DWORD got = ReadHead(h, head);
        facts.type = got ? ImgRead_IdentifyBytes(head, got) : 0;
    }
    CloseHandle(h);
    return facts;
}

int Batch_ReaderType(HANDLE input, int declared) {
    unsigned char head[kHeadBytes];
    DWORD got = ReadHead(input, head);
    SetFilePointer(input, 0, nullptr, FILE_BEGIN);
    int byContent = got ? ImgRead_IdentifyBytes(head, got) : 0;
    return byContent != 0 ? byContent : declared;
}
