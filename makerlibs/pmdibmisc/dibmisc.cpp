// PMDIBMISC: small helpers about palette depths.
#include "makerlibs/pmsingleops.h"

int DibMisc_BitsForIndex(int index) {
    if (index <= 1) return 1;
    if (index <= 3) return 2;
    if (index <= 15) return 4;
    return 8;
}
