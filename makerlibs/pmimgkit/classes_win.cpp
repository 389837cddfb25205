// Registers the window classes the image libraries provide.
#include "makerlibs/pmimgkit/classes_win.h"
#include "makerlibs/pmimgkit_win.h"
#include "makerlibs/pmpreview.h"

BOOL ImgKit_RegisterClasses(HINSTANCE instance) {
    BOOL listBox = ImgKit_RegisterListBoxClass(instance);
    BOOL preview = Preview_RegisterClasses(instance);
    return listBox && preview;
}
