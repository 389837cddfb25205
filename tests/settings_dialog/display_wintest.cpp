// Every case of this suite drives real windows: without a display they
// cannot run, and say so once instead of each failing on a missing window.
#include "makerlibs/pmwin.h"

#include <gtest/gtest.h>

namespace {

class NeedsDisplay : public ::testing::Environment {
public:
    void SetUp() override {
        HWND w = CreateWindowA("STATIC", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
        if (!w) GTEST_SKIP() << "no display: the settings dialog cases need one (set DISPLAY, e.g. to an Xvfb)";
        DestroyWindow(w);
    }
};

const ::testing::Environment* const kNeedsDisplay = ::testing::AddGlobalTestEnvironment(new NeedsDisplay);

}  // namespace
