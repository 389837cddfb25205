// PMWINKIT memory blocks. They come from the process heap (through pmheap),
// so a block may be allocated on the batch worker and freed on the dialog
// thread, or handed to a caller outside this library that frees it with
// HeapFree. The process heap serialises itself.
#include "makerlibs/pmwinkit.h"
#include "makerlibs/pmheap.h"

int WinKit_Alloc(HWND, size_t size, void** block) {
    if (!block) return 0;
    *block = PmHeap_Alloc(size);
    return *block ? 1 : 0;
}

int WinKit_Realloc(HWND, size_t size, void** block) {
    if (!block) return 0;
    void* grown = PmHeap_Realloc(*block, size);
    if (!grown) {
        // Callers only test the result and the pointer; freeing here means a
        // failed grow never leaks the block they held.
        PmHeap_Free(*block);
        *block = nullptr;
        return 0;
    }
    *block = grown;
    return 1;
}

void WinKit_Free(void* block) { PmHeap_Free(block); }
