// Control ids of the start page (template 103).
#pragma once

#define IDC_START_BROWSER       256
