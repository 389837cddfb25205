// Registers the window classes the image library provides.
#include "makerlibs/pmimgkit/classes_win.h"
#include "makerlibs/pmimgkit_win.h"

BOOL ImgKit_RegisterClasses(HINSTANCE instance) {
    return ImgKit_RegisterListBoxClass(instance);
}
