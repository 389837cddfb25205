// The process heap, so that DIBs handed across the DLL boundary can be freed
// by the caller with HeapFree.
#include "makerlibs/pmheap.h"
#include "makerlibs/pmwin.h"

namespace {
thread_local int g_failAfter = -1;
thread_local size_t g_failAbove = 0;
volatile LONG g_live = 0;
volatile LONG g_badFrees = 0;

bool InjectedFailure(size_t bytes) {
    if (g_failAbove && bytes > g_failAbove) return true;
    if (g_failAfter < 0) return false;
    if (g_failAfter == 0) {
        g_failAfter = -1;
        return true;
    }
    --g_failAfter;
    return false;
}
}  // namespace

void* PmHeap_Alloc(size_t bytes) {
    if (InjectedFailure(bytes)) return nullptr;
    void* p = HeapAlloc(GetProcessHeap(), 0, bytes ? bytes : 1);
    if (p) InterlockedIncrement(&g_live);
    return p;
}

void* PmHeap_AllocZero(size_t bytes) {
    if (InjectedFailure(bytes)) return nullptr;
    void* p = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes ? bytes : 1);
    if (p) InterlockedIncrement(&g_live);
    return p;
}

void* PmHeap_Realloc(void* block, size_t bytes) {
    if (!block) return PmHeap_Alloc(bytes);
    if (InjectedFailure(bytes)) return nullptr;
    return HeapReAlloc(GetProcessHeap(), 0, block, bytes ? bytes : 1);
}

void PmHeap_Free(void* block) {
    if (!block) return;
    // HeapFree of a pointer into the middle of a block corrupts the heap on
    // Windows (Wine merely fails). Checking the one block costs little next
    // to an image, and turns such a slip into a counted leak.
    if (!HeapValidate(GetProcessHeap(), 0, block)) {
        InterlockedIncrement(&g_badFrees);
        return;
    }
    InterlockedDecrement(&g_live);
    if (!HeapFree(GetProcessHeap(), 0, block)) InterlockedIncrement(&g_badFrees);
}

bool PmHeap_Contains(const void* block, const void* p) {
    if (!block || !p) return false;
    SIZE_T size = HeapSize(GetProcessHeap(), 0, block);
    if (size == SIZE_T(-1)) return false;
    auto* start = static_cast<const BYTE*>(block);
    auto* q = static_cast<const BYTE*>(p);
    return q >= start && q < start + size;
}

void PmHeap_FailAfter(int count) { g_failAfter = count; }
void PmHeap_FailAbove(size_t bytes) { g_failAbove = bytes; }
size_t PmHeap_FailAboveLimit() { return g_failAbove; }
long PmHeap_LiveBlocks() { return g_live; }
long PmHeap_BadFrees() { return g_badFrees; }
