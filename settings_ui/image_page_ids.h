// Control ids of the image conversion settings page (template 108).
#pragma once

#define IDC_IMAGE_DIRECTION     260
#define IDC_IMAGE_RESIZE        280
#define IDC_IMAGE_SIZEGROUP     300
#define IDC_IMAGE_WIDTHLABEL    301
#define IDC_IMAGE_WIDTH         256
#define IDC_IMAGE_WIDTHUNIT     302
#define IDC_IMAGE_HEIGHTLABEL   303
#define IDC_IMAGE_HEIGHT        257
#define IDC_IMAGE_HEIGHTUNIT    304
#define IDC_IMAGE_BITCOUNT      270
#define IDC_IMAGE_ZOOMFILTER    271
#define IDC_IMAGE_PALETTE       272
#define IDC_IMAGE_USEFILTER     273
#define IDC_IMAGE_FILTER        274
#define IDC_IMAGE_AUTOROTATE    275
#define IDC_IMAGE_NOENLARGE     276
#define IDC_IMAGE_COLORMANAGE   277
#define IDC_IMAGE_THREADS       278
