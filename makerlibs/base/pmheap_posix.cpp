#include "makerlibs/pmheap.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <malloc.h>

namespace {
thread_local int g_failAfter = -1;
thread_local size_t g_failAbove = 0;
std::atomic<long> g_live{0};

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
    void* p = std::malloc(bytes ? bytes : 1);
    if (p) ++g_live;
    return p;
}

void* PmHeap_AllocZero(size_t bytes) {
    void* p = PmHeap_Alloc(bytes);
    if (p) std::memset(p, 0, bytes);
    return p;
}

void* PmHeap_Realloc(void* block, size_t bytes) {
    if (!block) return PmHeap_Alloc(bytes);
    if (InjectedFailure(bytes)) return nullptr;
    return std::realloc(block, bytes ? bytes : 1);
}

void PmHeap_Free(void* block) {
    if (!block) return;
    --g_live;
    std::free(block);
}

bool PmHeap_Contains(const void* block, const void* p) {
    if (!block || !p) return false;
    auto* start = static_cast<const unsigned char*>(block);
    auto* q = static_cast<const unsigned char*>(p);
    return q >= start && q < start + malloc_usable_size(const_cast<void*>(block));
}

void PmHeap_FailAfter(int count) { g_failAfter = count; }
void PmHeap_FailAbove(size_t bytes) { g_failAbove = bytes; }
size_t PmHeap_FailAboveLimit() { return g_failAbove; }
long PmHeap_LiveBlocks() { return g_live.load(); }
// glibc aborts on a bad free; nothing is left to count.
long PmHeap_BadFrees() { return 0; }
