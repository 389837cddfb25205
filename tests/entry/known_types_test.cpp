// Input types added after a settings file was written: converted until the
// user unticks them, never ticked again once the file knew them.
#include "entry/known_types.h"
#include "entry/settings_record.h"
#include "makerlibs/pmimgkit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

std::vector<int> LibraryTypes() {
    int types[kMaxImageTypes];
    int n = ImgKit_ListImageTypes(16, kMaxImageTypes, types);
    return std::vector<int>(types, types + n);
}

std::vector<int> Added(const char* known, const std::vector<int>& library, std::vector<int> selected,
                       int capacity = kMaxImageTypes) {
    selected.resize(size_t(capacity), 0);
    int count = 0;
    while (count < capacity && selected[size_t(count)] != 0) ++count;
    AddTypesTheFileDidNotKnow(known, library.data(), int(library.size()), selected.data(), &count, capacity);
    selected.resize(size_t(count));
    return selected;
}

bool Has(const std::vector<int>& v, int code) { return std::find(v.begin(), v.end(), code) != v.end(); }

}  // namespace

TEST(KnownTypes, EveryTypeNewerThanTheFirstReleaseJoinsAnOldFileUntilUnticked) {
    const std::vector<int> library = LibraryTypes();
    const std::vector<int> first(std::begin(kFirstReleaseTypes), std::end(kFirstReleaseTypes));
    char all[256];
    ASSERT_TRUE(FormatKnownTypes(library.data(), int(library.size()), all, sizeof all));
    for (int type : library) {
        if (Has(first, type)) continue;
        SCOPED_TRACE(type);
        // Written before the type existed (no key, or a key of the first
        // release's list): the type is converted, beside the file's choice.
        for (const char* known : {static_cast<const char*>(nullptr), "1,3,4,5,6,7", "1, 3,4 ,5,6,7"}) {
            std::vector<int> got = Added(known, library, {3, 6});
            EXPECT_TRUE(Has(got, type)) << (known ? known : "(none)");
            EXPECT_TRUE(Has(got, 3) && Has(got, 6));
            EXPECT_FALSE(Has(got, 1));  // known to that file, left unticked
        }
        // Written since: unticked stays unticked, ticked is not doubled.
        std::vector<int> got = Added(all, library, {3});
        EXPECT_EQ(got, std::vector<int>({3}));
        got = Added(all, library, {type, 3});
        EXPECT_EQ(std::count(got.begin(), got.end(), type), 1);
    }
}

TEST(KnownTypes, TheRuleAddsOnlyWhatTheFileDidNotNameAndStaysInTheArray) {
    const std::vector<int> library = {1, 3, 4, 5, 6, 7, 8, 9, 10};
    struct Row { const char* known; std::vector<int> selected; std::vector<int> expect; int capacity; } rows[] = {
        {nullptr, {}, {8, 9, 10}, kMaxImageTypes},                 // nothing ticked in an old file
        {"1,3,4,5,6,7,8", {3}, {3, 9, 10}, kMaxImageTypes},         // knew one of the new ones
        {"1,3,4,5,6,7,8,9,10", {}, {}, kMaxImageTypes},             // knew them all, ticked none
        {"garbage", {3}, {3, 8, 9, 10}, kMaxImageTypes},            // damaged: only the first release's
        {"1,3,,4", {3}, {3, 8, 9, 10}, kMaxImageTypes},
        {"1,3,4,5,6,7,8,9,10,", {3}, {3, 8, 9, 10}, kMaxImageTypes},
        {nullptr, {1, 3}, {1, 3}, 2},                               // a full array takes nothing more
        {nullptr, {1, 3}, {1, 3, 8}, 3},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.known ? r.known : "(none)");
        EXPECT_EQ(Added(r.known, library, r.selected, r.capacity), r.expect);
    }
    char text[8];
    EXPECT_FALSE(FormatKnownTypes(library.data(), int(library.size()), text, sizeof text));
    EXPECT_STREQ(text, "");
}
