#include "makerlibs/pmdibio/dibio_codecs.h"
namespace pmio {
int TiffRead(InStream&, DibIOOptions*, DibHolder*) { return 0; }
int TiffWrite(PmFileHandle, const DibIOOptions&, const DibHeader*, const uint8_t*, unsigned*) { return 0; }
int PcdRead(InStream&, DibIOOptions*, DibHolder*) { return 0; }
}
