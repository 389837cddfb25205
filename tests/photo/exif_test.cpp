#include "makerlibs/pmexif.h"
#include "photo/exif_builder.h"
#include "photo/photo_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#ifndef _WIN32
#include <csignal>
#include <ctime>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using exiftest::Builder;
using exiftest::Field;

namespace {

class ExifBothOrders : public ::testing::TestWithParam<bool> {};

TEST_P(ExifBothOrders, ReadsEveryStoredOrientation) {
    Builder b(GetParam());
    for (int o = 1; o <= 8; ++o) {
        std::vector<uint8_t> block = b.Camera(o, 4000, 3000);
        EXPECT_EQ(Exif_OrientationFromBytes(block.data(), block.size()), o) << "orientation " << o;
    }
}

TEST_P(ExifBothOrders, MissingZeroAndOutOfRangeReadUpright) {
    Builder b(GetParam());
    for (int o : {0, 9, 0x0600, 0xFFFF}) {
        std::vector<uint8_t> block = b.Camera(o, 10, 10);
        EXPECT_EQ(Exif_OrientationFromBytes(block.data(), block.size()), 1) << "stored " << o;
    }
}

TEST_P(ExifBothOrders, EveryTruncationReadsWithoutHarm) {
    Builder b(GetParam());
    std::vector<uint8_t> block = b.Camera(6, 10, 10);
    for (size_t n = 0; n <= block.size(); ++n) {
        std::vector<uint8_t> cut(block.begin(), block.begin() + n);
        int o = Exif_OrientationFromBytes(cut.empty() ? nullptr : cut.data(), cut.size());
        // The IFD's entry count promises three entries: a table cut short is
        // unreadable as a whole.
        int expected = n >= 8 + 2 + 3 * 12 ? 6 : 1;
        EXPECT_EQ(o, expected) << "cut at " << n;
        EXPECT_EQ(Exif_Inspect(cut.data(), cut.size()).valid, n >= 8 + 2 + 3 * 12) << "cut at " << n;
        std::vector<uint8_t> prepared;
        Exif_PrepareForOutput(cut.data(), cut.size(), 1, 5, 5, &prepared);
        EXPECT_LE(prepared.size(), cut.size());
    }
}

TEST_P(ExifBothOrders, OffsetsOutsideTheBlockAreIgnored) {
    Builder b(GetParam());
    std::vector<uint8_t> block = b.Header();
    // IFD0 beyond the end.
    std::vector<uint8_t> far = b.Long(0x7FFFFFF0);
    std::copy(far.begin(), far.end(), block.begin() + 4);
    EXPECT_EQ(Exif_OrientationFromBytes(block.data(), block.size()), 1);

    // An orientation stored out of line (count 3) at an offset past the end.
    block = b.Header();
    b.Put(&block, {Field{0x0112, 3, 3, {}}}, 0);
    std::vector<uint8_t> off = b.Long(0xFFFFFFF0);
    std::copy(off.begin(), off.end(), block.begin() + 8 + 2 + 8);
    EXPECT_EQ(Exif_OrientationFromBytes(block.data(), block.size()), 1);

    // IFD0 pointing into the header.
    block = b.Camera(6, 10, 10);
    std::vector<uint8_t> four = b.Long(4);
    std::copy(four.begin(), four.end(), block.begin() + 4);
    EXPECT_EQ(Exif_OrientationFromBytes(block.data(), block.size()), 1);
}

TEST_P(ExifBothOrders, WrongTypeOrEmptyCountReadsUpright) {
    Builder b(GetParam());
    std::vector<uint8_t> block = b.Header();
    b.Put(&block, {Field{0x0112, 2, 2, {'6', 0}}}, 0);  // ASCII "6"
    EXPECT_EQ(Exif_OrientationFromBytes(block.data(), block.size()), 1);
    block = b.Header();
    b.Put(&block, {Field{0x0112, 3, 0, b.Short(6)}}, 0);
    EXPECT_EQ(Exif_OrientationFromBytes(block.data(), block.size()), 1);
    block = b.Header();
    b.Put(&block, {Field{0x0112, 4, 1, b.Long(8)}}, 0);  // LONG is read too
    EXPECT_EQ(Exif_OrientationFromBytes(block.data(), block.size()), 8);
}

TEST_P(ExifBothOrders, PreparedBlockIsUprightWithNewSizeAndNoThumbnail) {
    Builder b(GetParam());
    std::vector<uint8_t> block = b.Camera(6, 4000, 3000, 200);
    ExifSummary before = Exif_Inspect(block.data(), block.size());
    ASSERT_TRUE(before.valid);
    EXPECT_TRUE(before.hasThumbnail);
    EXPECT_EQ(before.pixelWidth, 4000);

    std::vector<uint8_t> out;
    ASSERT_TRUE(Exif_PrepareForOutput(block.data(), block.size(), 1, 72, 96, &out));
    ExifSummary s = Exif_Inspect(out.data(), out.size());
    ASSERT_TRUE(s.valid);
    EXPECT_EQ(s.orientation, 1);
    EXPECT_FALSE(s.hasIfd1);
    EXPECT_FALSE(s.hasThumbnail);
    EXPECT_EQ(s.pixelWidth, 72);
    EXPECT_EQ(s.pixelHeight, 96);
    // IFD1 and the thumbnail were the block's end: it ends where IFD1 began.
    EXPECT_LT(out.size(), b.thumbAt());
    // Everything before IFD1 kept its place (maker notes may point there),
    // apart from the patched values.
    const char kNote[] = "MAKERNOTE!!!";
    auto at = std::search(out.begin(), out.end(), kNote, kNote + 12);
    auto was = std::search(block.begin(), block.end(), kNote, kNote + 12);
    ASSERT_NE(at, out.end());
    EXPECT_EQ(at - out.begin(), was - block.begin());
}

TEST_P(ExifBothOrders, PreparedBlockKeepsAStoredOrientationWhenAsked) {
    Builder b(GetParam());
    std::vector<uint8_t> block = b.Camera(8, 10, 10, 0);
    std::vector<uint8_t> out;
    ASSERT_TRUE(Exif_PrepareForOutput(block.data(), block.size(), 8, 10, 10, &out));
    EXPECT_EQ(Exif_OrientationFromBytes(out.data(), out.size()), 8);
    // A block without the tag does not gain one.
    block = b.Camera(0, 10, 10, 0);
    ASSERT_TRUE(Exif_PrepareForOutput(block.data(), block.size(), 1, 10, 10, &out));
    EXPECT_EQ(Exif_Inspect(out.data(), out.size()).orientation, 0);
}

TEST_P(ExifBothOrders, SizesBeyondAShortBecomeLongs) {
    Builder b(GetParam());
    std::vector<uint8_t> block = b.Camera(1, 10, 10, 0);  // PixelYDimension is a SHORT
    std::vector<uint8_t> out;
    ASSERT_TRUE(Exif_PrepareForOutput(block.data(), block.size(), 1, 70000, 80000, &out));
    ExifSummary s = Exif_Inspect(out.data(), out.size());
    EXPECT_EQ(s.pixelWidth, 70000);
    EXPECT_EQ(s.pixelHeight, 80000);
}

TEST_P(ExifBothOrders, IfdLoopNeverClearsTheKeptData) {
    Builder b(GetParam());
    std::vector<uint8_t> block = b.Camera(6, 10, 10, 0);
    // IFD0's next-IFD link points back at IFD0 itself.
    size_t linkAt = 8 + 2 + 3 * 12;
    std::vector<uint8_t> self = b.Long(8);
    std::copy(self.begin(), self.end(), block.begin() + long(linkAt));
    EXPECT_EQ(Exif_OrientationFromBytes(block.data(), block.size()), 6);
    std::vector<uint8_t> out;
    ASSERT_TRUE(Exif_PrepareForOutput(block.data(), block.size(), 1, 10, 10, &out));
    ExifSummary s = Exif_Inspect(out.data(), out.size());
    EXPECT_TRUE(s.valid);
    EXPECT_EQ(s.orientation, 1);
    EXPECT_FALSE(s.hasIfd1);
    EXPECT_EQ(s.pixelWidth, 10);
    EXPECT_EQ(out.size(), block.size());
}

// --- fields carried into another format ---------------------------------------

const ExifField* FieldOf(const std::vector<ExifField>& fields, uint16_t tag) {
    for (const ExifField& f : fields)
        if (f.tag == tag) return &f;
    return nullptr;
}

bool SameFields(const ExifFields& a, const ExifFields& b) {
    auto same = [](const std::vector<ExifField>& x, const std::vector<ExifField>& y) {
        if (x.size() != y.size()) return false;
        for (size_t i = 0; i < x.size(); ++i)
            if (x[i].tag != y[i].tag || x[i].type != y[i].type || x[i].count != y[i].count || x[i].value != y[i].value)
                return false;
        return true;
    };
    return same(a.ifd0, b.ifd0) && same(a.exif, b.exif) && same(a.gps, b.gps);
}

TEST_P(ExifBothOrders, FieldsTravelWithTheirValuesButNotTheirOffsets) {
    Builder b(GetParam());
    std::vector<uint8_t> block = b.Photo(6, 4000, 3000);
    ExifFields f;
    ASSERT_TRUE(Exif_CollectFields(block.data(), block.size(), &f));
    // Values come little-endian whatever the block's order.
    const ExifField* exposure = FieldOf(f.exif, 0x829A);
    ASSERT_NE(exposure, nullptr);
    EXPECT_EQ(exposure->value, (std::vector<uint8_t>{1, 0, 0, 0, 250, 0, 0, 0}));
    ASSERT_NE(FieldOf(f.ifd0, kExifTagModel), nullptr);
    EXPECT_EQ(FieldOf(f.ifd0, kExifTagModel)->value, Builder::Ascii("EOS 5D Mk IV"));
    ASSERT_NE(FieldOf(f.gps, 0x0002), nullptr);
    EXPECT_EQ(FieldOf(f.gps, 0x0002)->value.size(), 24u);
    // Links and the maker note would point into the old block.
    EXPECT_EQ(FieldOf(f.ifd0, kExifTagExifIfd), nullptr);
    EXPECT_EQ(FieldOf(f.exif, 0x927C), nullptr);
    EXPECT_EQ(FieldOf(f.exif, 0xA005), nullptr);
    EXPECT_EQ(f.exif.size(), 8u);

    // A block built from them reads back as the same fields, upright check
    // and sizes included.
    std::vector<uint8_t> built = Exif_BuildBlock(f);
    ExifSummary s = Exif_Inspect(built.data(), built.size());
    ASSERT_TRUE(s.valid);
    EXPECT_EQ(s.orientation, 6);
    EXPECT_EQ(s.pixelWidth, 4000);
    EXPECT_FALSE(s.hasIfd1);
    ExifFields again;
    ASSERT_TRUE(Exif_CollectFields(built.data(), built.size(), &again));
    EXPECT_TRUE(SameFields(f, again));
}

// Values of every type come out little-endian, each swapped in its own unit:
// rationals as two 4-byte halves (numerator first), doubles whole.
TEST_P(ExifBothOrders, EveryTypeSwapsInItsOwnUnit) {
    Builder b(GetParam());
    struct Case {
        uint16_t type;
        uint32_t count;
        std::vector<uint8_t> little;  // the values little-endian
    };
    const Case cases[] = {
        {1, 3, {1, 2, 3}},                                    // BYTE
        {3, 2, {0x34, 0x12, 0x78, 0x56}},                     // SHORT
        {4, 1, {0x78, 0x56, 0x34, 0x12}},                     // LONG
        {5, 1, {1, 0, 0, 0, 3, 0, 0, 0}},                     // RATIONAL 1/3
        {8, 2, {0xFF, 0xFF, 0xFE, 0xFF}},                     // SSHORT -1, -2
        {9, 1, {0xFE, 0xFF, 0xFF, 0xFF}},                     // SLONG -2
        {10, 2, {0xFF, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0, 7, 0, 0, 0, 0xF8, 0xFF, 0xFF, 0xFF}},  // SRATIONAL -1/3, 7/-8
        {11, 1, {0x00, 0x00, 0xC0, 0x3F}},                    // FLOAT 1.5
        {12, 1, {0, 0, 0, 0, 0, 0, 0xF8, 0x3F}},              // DOUBLE 1.5
        {7, 4, {'0', '2', '3', '2'}},                         // UNDEFINED
    };
    std::vector<Field> exif;
    uint16_t tag = 0x9200;
    for (const Case& c : cases) {
        std::vector<uint8_t> stored = c.little;
        const uint32_t unit = c.type == 5 || c.type == 10 ? 4 : uint32_t(c.little.size() / c.count);
        if (GetParam())
            for (size_t i = 0; i + unit <= stored.size(); i += unit) std::reverse(stored.begin() + long(i), stored.begin() + long(i + unit));
        exif.push_back(Field{tag++, c.type, c.count, stored});
    }
    std::vector<Field> ifd0{{0x8769, 4, 1, b.Long(0)}};
    std::vector<uint8_t> block = b.Header();
    ifd0[0].value = b.Long(uint32_t(8 + Builder::IfdSize(ifd0)));
    b.Put(&block, ifd0, 0);
    b.Put(&block, exif, 0);
    ExifFields f;
    ASSERT_TRUE(Exif_CollectFields(block.data(), block.size(), &f));
    ASSERT_EQ(f.exif.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(f.exif[i].type, cases[i].type);
        EXPECT_EQ(f.exif[i].value, cases[i].little) << "type " << cases[i].type;
    }
}

// UNDEFINED values with numbers inside travel in the new byte order too, or
// not at all.
TEST(ExifFields, NumbersInsideUndefinedValuesFollowTheByteOrder) {
    using Bytes = std::vector<uint8_t>;
    struct Case {
        const char* what;
        uint16_t tag;
        Bytes big;     // as a big-endian camera stores it
        Bytes little;  // as it must travel; empty: left out
    };
    const Case cases[] = {
        {"CFA pattern 2x2", 0xA302, {0, 2, 0, 2, 0, 1, 1, 2}, {2, 0, 2, 0, 0, 1, 1, 2}},
        {"CFA pattern already little-endian", 0xA302, {2, 0, 2, 0, 0, 1, 1, 2}, {2, 0, 2, 0, 0, 1, 1, 2}},
        {"CFA pattern too short", 0xA302, {0, 2, 0, 2, 0, 1, 1}, {}},
        {"OECF 1x1", 0x8828, {0, 1, 0, 1, 'I', 'S', 'O', 0, 0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFD},
         {1, 0, 1, 0, 'I', 'S', 'O', 0, 1, 0, 0, 0, 0xFD, 0xFF, 0xFF, 0xFF}},
        {"OECF without its values", 0x8828, {0, 1, 0, 1, 'I', 'S', 'O', 0, 0, 0, 0, 1}, {}},
        {"device settings", 0xA40B, {0, 1, 0, 1, 0, 'A', 0, 0}, {1, 0, 1, 0, 'A', 0, 0, 0}},
        {"other UNDEFINED", 0x9101, {1, 2, 3, 0}, {1, 2, 3, 0}},
    };
    for (const Case& c : cases) {
        for (bool big : {true, false}) {
            Builder b(big);
            const Bytes& stored = big ? c.big : c.little.empty() ? c.big : c.little;
            std::vector<Field> exif{{c.tag, 7, uint32_t(stored.size()), stored}, {0x9000, 7, 4, {'0', '2', '3', '2'}}};
            if (exif[1].tag < exif[0].tag) std::swap(exif[0], exif[1]);
            std::vector<Field> ifd0{{0x8769, 4, 1, b.Long(0)}};
            ifd0[0].value = b.Long(uint32_t(8 + Builder::IfdSize(ifd0)));
            std::vector<uint8_t> block = b.Header();
            b.Put(&block, ifd0, 0);
            b.Put(&block, exif, 0);
            ExifFields f;
            ASSERT_TRUE(Exif_CollectFields(block.data(), block.size(), &f)) << c.what;
            const ExifField* got = FieldOf(f.exif, c.tag);
            if (big && c.little.empty()) {
                EXPECT_EQ(got, nullptr) << c.what;
                EXPECT_NE(FieldOf(f.exif, 0x9000), nullptr) << c.what << ": only the one field is left out";
                continue;
            }
            ASSERT_NE(got, nullptr) << c.what << (big ? " big" : " little");
            EXPECT_EQ(got->value, big ? c.little : stored) << c.what << (big ? " big" : " little");
        }
    }
}

TEST_P(ExifBothOrders, DamagedBlocksGiveOnlyFieldsThatRebuildSoundly) {
    Builder b(GetParam());
    std::vector<uint8_t> block = b.Photo(6, 4000, 3000);
    auto check = [](const std::vector<uint8_t>& damaged, const std::string& what) {
        ExifFields f;
        if (!Exif_CollectFields(damaged.data(), damaged.size(), &f)) return;
        std::vector<uint8_t> built = Exif_BuildBlock(f);
        if (f.empty()) return;
        ExifFields again;
        ASSERT_TRUE(Exif_CollectFields(built.data(), built.size(), &again)) << what;
        EXPECT_TRUE(SameFields(f, again)) << what;
    };
    for (size_t n = 0; n < block.size(); ++n) check(std::vector<uint8_t>(block.begin(), block.begin() + long(n)), "cut at " + std::to_string(n));
    for (size_t i = 8; i < block.size(); ++i)
        for (uint8_t v : {uint8_t(0xFF), uint8_t(0x00), uint8_t(0x08)}) {
            std::vector<uint8_t> m = block;
            m[i] = v;
            check(m, "byte " + std::to_string(i) + " = " + std::to_string(v));
        }
    // An Exif link back to IFD0 is a loop, not an Exif IFD.
    std::vector<uint8_t> loop = block;
    std::vector<uint8_t> eight = b.Long(8);
    std::copy(eight.begin(), eight.end(), loop.begin() + 8 + 2 + 4 * 12 + 8);
    ExifFields looped;
    ASSERT_TRUE(Exif_CollectFields(loop.data(), loop.size(), &looped));
    EXPECT_TRUE(looped.exif.empty());
    EXPECT_EQ(looped.gps.size(), 3u);
    // Counts that promise gigabytes are refused before anything is read.
    std::vector<uint8_t> huge = b.Header();
    b.Put(&huge, {Field{0x010F, 2, 0x7FFFFFFF, b.Long(8)}, Field{0x0110, 2, 3, {'A', 'B', 0}}}, 0);
    ExifFields f;
    ASSERT_TRUE(Exif_CollectFields(huge.data(), huge.size(), &f));
    ASSERT_EQ(f.ifd0.size(), 1u);
    EXPECT_EQ(f.ifd0[0].tag, kExifTagModel);
}

#ifndef _WIN32
// Runs `body` in a child process: true when it returned within `seconds`.
// A crash or an overrun fails the test, and the child is killed, never left.
bool InChild(const std::function<void()>& body, int seconds) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(0);
    }
    if (pid < 0) return false;
    for (int tick = 0; tick < seconds * 20; ++tick) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        timespec nap{0, 50 * 1000 * 1000};
        nanosleep(&nap, nullptr);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
}

// The block's bytes end exactly where an unreadable page begins, so a read
// one byte past them faults.
class Guarded {
public:
    explicit Guarded(const std::vector<uint8_t>& bytes) {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        span_ = (bytes.size() + page - 1) / page * page + page;
        base_ = static_cast<uint8_t*>(mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (base_ == MAP_FAILED) {
            base_ = nullptr;
            return;
        }
        mprotect(base_ + span_ - page, page, PROT_NONE);
        data_ = base_ + span_ - page - bytes.size();
        std::memcpy(data_, bytes.data(), bytes.size());
    }
    ~Guarded() {
        if (base_) munmap(base_, span_);
    }
    const uint8_t* data() const { return data_; }

private:
    uint8_t* base_ = nullptr;
    uint8_t* data_ = nullptr;
    size_t span_ = 0;
};
#endif

#ifndef _WIN32
// A camera block without IFD1, then an IFD1 of `ifd1` whose out-of-line
// values follow its table at the very end of the block.
std::vector<uint8_t> WithIfd1(Builder& b, const std::vector<Field>& ifd1) {
    std::vector<uint8_t> block = b.Camera(1, 10, 10, 0);
    std::vector<uint8_t> link = b.Long(uint32_t(block.size()));
    std::copy(link.begin(), link.end(), block.begin() + 8 + 2 + 3 * 12);
    b.Put(&block, ifd1, 0);
    return block;
}
#endif

TEST_P(ExifBothOrders, ThumbnailStripsAreClearedOnlyWhenTheirTypesSayWhere) {
    Builder b(GetParam());
    // Strips of SHORT and of LONG offsets and counts name the bytes cleared.
    for (uint16_t type : {uint16_t(3), uint16_t(4)}) {
        std::vector<uint8_t> block = b.Camera(1, 10, 10, 0);
        const size_t strips = block.size();
        block.resize(strips + 8, 0x77);
        // The maker note moves behind the strips, so the block is not cut
        // where they begin but cleared around what it keeps.
        const char kNote[] = "MAKERNOTE!!!";
        block.insert(block.end(), kNote, kNote + 12);
        std::vector<uint8_t> note = b.Long(uint32_t(strips + 8));
        std::copy(note.begin(), note.end(), block.begin() + 66);
        auto value = [&](uint32_t v) { return type == 3 ? b.Short(uint16_t(v)) : b.Long(v); };
        std::vector<uint8_t> offsets = value(uint32_t(strips)), more = value(uint32_t(strips + 4));
        offsets.insert(offsets.end(), more.begin(), more.end());
        std::vector<uint8_t> counts = value(3), four = value(4);
        counts.insert(counts.end(), four.begin(), four.end());
        std::vector<uint8_t> link = b.Long(uint32_t(block.size()));
        std::copy(link.begin(), link.end(), block.begin() + 8 + 2 + 3 * 12);
        b.Put(&block, {Field{0x0111, type, 2, offsets}, Field{0x0117, type, 2, counts}}, 0);
        std::vector<uint8_t> out;
        ASSERT_TRUE(Exif_PrepareForOutput(block.data(), block.size(), 1, 10, 10, &out));
        ASSERT_EQ(out.size(), block.size()) << "type " << type;
        // The byte between the two strips is no strip's.
        EXPECT_EQ(std::vector<uint8_t>(out.begin() + long(strips), out.begin() + long(strips + 8)),
                  (std::vector<uint8_t>{0, 0, 0, 0x77, 0, 0, 0, 0}))
            << "type " << type;
    }
#ifndef _WIN32
    // BYTE-typed strips (2,000 of them, at the block's end) name nothing: the
    // block is prepared without a read past its end.
    std::vector<uint8_t> bytes(2000, 0x10);
    std::vector<uint8_t> block = WithIfd1(b, {Field{0x0111, 1, 2000, bytes}, Field{0x0117, 1, 2000, bytes}});
    Guarded guarded(block);
    ASSERT_NE(guarded.data(), nullptr);
    EXPECT_TRUE(InChild(
        [&] {
            std::vector<uint8_t> out;
            if (!Exif_PrepareForOutput(guarded.data(), block.size(), 1, 10, 10, &out)) _exit(2);
            if (Exif_Inspect(out.data(), out.size()).hasIfd1) _exit(3);
        },
        60));
#endif
}

#ifndef _WIN32
TEST(ExifBlock, ThousandsOfEntriesNamingTheWholeBlockCostOnePassOverIt) {
    // 16 MB, and an IFD1 of 65,535 entries each naming all of it: cleared
    // entry by entry that is a trillion byte steps, a hang.
    Builder b(false);
    std::vector<uint8_t> block = b.Camera(1, 10, 10, 0);
    const size_t ifd1 = block.size();
    std::vector<uint8_t> link = b.Long(uint32_t(ifd1));
    std::copy(link.begin(), link.end(), block.begin() + 8 + 2 + 3 * 12);
    const uint32_t entries = 65535, size = 16u << 20;
    block.resize(size, 0x55);
    std::vector<uint8_t> count = b.Short(uint16_t(entries));
    std::copy(count.begin(), count.end(), block.begin() + long(ifd1));
    for (uint32_t i = 0; i < entries; ++i) {
        std::vector<Field> one{Field{uint16_t(0x9000 + i % 16), 7, size - 8, b.Long(8)}};
        size_t at = ifd1 + 2 + 12 * size_t(i);
        std::vector<uint8_t> e = b.Short(one[0].tag), t = b.Short(7), n = b.Long(size - 8), v = b.Long(8);
        e.insert(e.end(), t.begin(), t.end());
        e.insert(e.end(), n.begin(), n.end());
        e.insert(e.end(), v.begin(), v.end());
        std::copy(e.begin(), e.end(), block.begin() + long(at));
    }
    EXPECT_TRUE(InChild(
        [&] {
            std::vector<uint8_t> out;
            if (!Exif_PrepareForOutput(block.data(), block.size(), 1, 10, 10, &out)) _exit(2);
            ExifSummary s = Exif_Inspect(out.data(), out.size());
            if (!s.valid || s.hasIfd1 || s.pixelWidth != 10) _exit(3);
            // What the kept IFDs use stays; IFD1's extent is cleared.
            if (out.size() != block.size() || out[size - 1] != 0 || out[ifd1 - 1] != block[ifd1 - 1]) _exit(4);
        },
        120));
}

// A TIFF may hold an XMP packet of 16 MB: a match every 20 bytes must cost
// one pass, not a move of the rest per match.
TEST(ExifBlock, XmpOfMillionsOfValuesIsRewrittenInOnePass) {
    // Each value shorter than the one it replaces, so nothing stays in place.
    const std::string unit = "<tiff:ImageWidth>4000<";
    std::string packet;
    while (packet.size() < (16u << 20)) packet += unit;
    const size_t matches = packet.size() / unit.size();
    EXPECT_TRUE(InChild(
        [&] {
            std::vector<uint8_t> out = Exif_XmpForOutput(reinterpret_cast<const uint8_t*>(packet.data()), packet.size(),
                                                         ExifOutput{1, 2, 3, false});
            if (out.size() != packet.size() - 3 * matches || out[17] != '2' || out[out.size() - 2] != '2') _exit(2);
        },
        120));
}
#endif

INSTANTIATE_TEST_SUITE_P(Exif, ExifBothOrders, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "BigEndian" : "LittleEndian"; });

TEST(ExifBlock, NotATiffStructureIsRefused) {
    const uint8_t junk[] = {'I', 'M', 42, 0, 8, 0, 0, 0, 0, 0};
    EXPECT_EQ(Exif_OrientationFromBytes(junk, sizeof junk), 1);
    std::vector<uint8_t> out{1, 2, 3};
    EXPECT_FALSE(Exif_PrepareForOutput(junk, sizeof junk, 1, 1, 1, &out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(Exif_Inspect(junk, sizeof junk).valid);
    EXPECT_EQ(Exif_OrientationFromBytes(nullptr, 100), 1);
}

TEST(ExifBlock, App1PayloadNeedsTheExifSignature) {
    const uint8_t exif[] = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0};
    size_t n = 0;
    const uint8_t* t = Exif_TiffFromApp1(exif, sizeof exif, &n);
    ASSERT_EQ(t, exif + 6);
    EXPECT_EQ(n, 4u);
    const uint8_t xmp[] = "http://ns.adobe.com/xap/1.0/";
    EXPECT_EQ(Exif_TiffFromApp1(xmp, sizeof xmp, &n), nullptr);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(Exif_TiffFromApp1(exif, 6, &n), nullptr);
}

// A large TIFF file as a source: every byte past the given head reads as 0.
class BigFile : public ExifSource {
public:
    explicit BigFile(std::vector<uint8_t> head) : head_(std::move(head)) {}
    uint64_t Size() override { return 3ull << 30; }
    bool Read(uint64_t offset, void* out, size_t n) override {
        largest = std::max(largest, n);
        std::memset(out, 0, n);
        for (size_t i = 0; i < n; ++i)
            if (offset + i < head_.size()) static_cast<uint8_t*>(out)[i] = head_[size_t(offset + i)];
        return true;
    }
    size_t largest = 0;

private:
    std::vector<uint8_t> head_;
};

TEST(ExifBlock, AFileCannotMakeTheCollectorReadMuch) {
    Builder b(false);
    std::vector<uint8_t> head = b.Header();
    b.Put(&head, {Field{0x010F, 2, 0x01000000, b.Long(64)}, Field{0x0110, 7, 3, {'A', 'B', 0}}}, 0);
    BigFile file(head);
    ExifFields f;
    ASSERT_TRUE(Exif_CollectFields(file, &f));
    ASSERT_EQ(f.ifd0.size(), 1u);
    EXPECT_EQ(f.ifd0[0].tag, kExifTagModel);
    EXPECT_LE(file.largest, size_t(1) << 20);
}

TEST(ExifBlock, XmpSaysTheConvertedPicturesOrientationSizeAndColours) {
    const ExifOutput o{3, 160, 120, true};
    struct Case {
        const char* in;
        const char* want;
    };
    const Case cases[] = {
        {"<rdf:Description tiff:Orientation=\"6\" tiff:ImageWidth='4000' tiff:ImageLength = \"3000\"/>",
         "<rdf:Description tiff:Orientation=\"3\" tiff:ImageWidth='160' tiff:ImageLength = \"120\"/>"},
        {"<exif:PixelXDimension>4000</exif:PixelXDimension><exif:PixelYDimension> 3000 </exif:PixelYDimension>",
         "<exif:PixelXDimension>160</exif:PixelXDimension><exif:PixelYDimension> 120 </exif:PixelYDimension>"},
        {"<tiff:Orientation>8</tiff:Orientation> exif:ColorSpace=\"65535\"",
         "<tiff:Orientation>3</tiff:Orientation> exif:ColorSpace=\"1\""},
        // Not plain numbers, or other properties whose names end alike: left.
        {"tiff:Orientation=\"\" xtiff:Orientation=\"6\" <tiff:Orientation><rdf:Seq/></tiff:Orientation>",
         "tiff:Orientation=\"\" xtiff:Orientation=\"6\" <tiff:Orientation><rdf:Seq/></tiff:Orientation>"},
        {"cut short tiff:Orientation=\"6", "cut short tiff:Orientation=\"6"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> out = Exif_XmpForOutput(reinterpret_cast<const uint8_t*>(c.in), std::strlen(c.in), o);
        EXPECT_EQ(std::string(out.begin(), out.end()), c.want);
    }
    // Colours left alone say nothing new.
    const char* space = "exif:ColorSpace=\"65535\"";
    std::vector<uint8_t> kept = Exif_XmpForOutput(reinterpret_cast<const uint8_t*>(space), std::strlen(space),
                                                  ExifOutput{1, 1, 1, false});
    EXPECT_EQ(std::string(kept.begin(), kept.end()), space);
}

TEST(ExifBlock, XmpAndIptcMoveBetweenJpegSegmentsAndTiffTags) {
    phototest::Segment xmp = phototest::Xmp(), iptc = phototest::Iptc();
    size_t n = 0;
    const uint8_t* packet = Exif_XmpFromApp1(xmp.data.data(), xmp.data.size(), &n);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(packet), 18), "<x:xmpmeta xmlns:x");
    EXPECT_EQ(Exif_XmpApp1(packet, n), xmp.data);
    const uint8_t* record = Exif_IptcFromApp13(iptc.data.data(), iptc.data.size(), &n);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(record), n), std::string("\x1c\x02\x78\x00\x06Kyoto!", 11));
    EXPECT_EQ(Exif_IptcApp13(record, n), iptc.data);

    // A resource size past the payload, another resource only, EXIF.
    std::vector<uint8_t> bad = iptc.data;
    bad[14 + 4 + 2 + 2 + 3] = 0x40;
    EXPECT_EQ(Exif_IptcFromApp13(bad.data(), bad.size(), &n), nullptr);
    bad = iptc.data;
    bad[14 + 5] = 0x0C;
    EXPECT_EQ(Exif_IptcFromApp13(bad.data(), bad.size(), &n), nullptr);
    EXPECT_EQ(n, 0u);
    const uint8_t exif[] = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0};
    EXPECT_EQ(Exif_XmpFromApp1(exif, sizeof exif, &n), nullptr);
}

}  // namespace
