// Control ids of the version information page (template 204).
#pragma once

#define IDC_VERSION_URL         11
