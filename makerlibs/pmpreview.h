// PMPREVIEW: the preview control pmImageOverView and its records.
#pragma once
#include "makerlibs/pmwin.h"
#include <cstdint>

// Performs a preview-control message synchronously from any thread.
LRESULT Preview_Send(HWND preview, UINT message, WPARAM wParam, LPARAM lParam);
