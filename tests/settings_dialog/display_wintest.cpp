// Every case of this suite drives real windows: without a display they
// cannot run, and say so once instead of each failing on a missing window.
#include "makerlibs/pmwin.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

bool CanMakeAWindow() {
    HWND w = CreateWindowA("STATIC", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (!w) return false;
    DestroyWindow(w);
    return true;
}

class NeedsDisplay : public ::testing::Environment {
public:
    void SetUp() override {
        if (CanMakeAWindow()) return;
        // Under Wine the display is the host's X display. Without one
        // there is nothing to wait for; with one, the first window can
        // fail while a loaded machine is still starting the desktop, and
        // skipping then would hide every case.
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display)
            GTEST_SKIP() << "no display: the settings dialog cases need one (set DISPLAY, e.g. to an Xvfb)";
        for (int i = 0; i < 60 && !CanMakeAWindow(); ++i) Sleep(500);
    }
};

const ::testing::Environment* const kNeedsDisplay = ::testing::AddGlobalTestEnvironment(new NeedsDisplay);

}  // namespace
