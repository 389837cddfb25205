// Window classes of the image libraries, registered once by start-up.
#include "makerlibs/pmimgkit_win.h"
#include "makerlibs/pmpreview.h"

BOOL ImgKit_RegisterClasses(HINSTANCE instance) {
    return Preview_RegisterClasses(instance);
}
