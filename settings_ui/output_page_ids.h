// Control ids of the output file type page (template 106) and its save
// option sub-pages (templates 107, 110, 111, 116, 113, 120).
#pragma once

#define IDC_OUTPUT_TYPE         256
#define IDC_OUTPUT_OPTIONAREA   270  /* placeholder of the sub-pages */
#define IDC_OUTPUT_KEEPMETA     271

#define IDC_OPT_SCAN            256  /* GIF and PNG scan method list */
#define IDC_OPT_RLE             256  /* bitmap: RLE check box */
#define IDC_OPT_QUALITY         256  /* JPEG and WebP quality track bar */
#define IDC_OPT_JPEGSCAN        257  /* JPEG scan method list */
#define IDC_OPT_LOSSLESS        257  /* WebP lossless check box */
