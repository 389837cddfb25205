// The heap that DIB blocks and other cross-library blocks come from. On
// Windows this is the process heap (HeapAlloc on GetProcessHeap()), so that a
// program outside this library can free what it gets with HeapFree; natively
// it is malloc. Tests can make allocations fail to walk the failure paths.
#pragma once
#include <cstddef>

void* PmHeap_Alloc(size_t bytes);            // null on failure; contents undefined
void* PmHeap_AllocZero(size_t bytes);        // null on failure; zero-filled
void* PmHeap_Realloc(void* block, size_t bytes);  // null on failure, block kept
void PmHeap_Free(void* block);               // accepts null
// True when `p` lies inside the heap block that starts at `block` (a packed
// DIB's pixels inside its header's block). False for null or when the size
// of `block` cannot be learnt.
bool PmHeap_Contains(const void* block, const void* p);

// Test hook: the next `count` allocations succeed, the one after fails, and
// all later ones succeed again. -1 disarms. Applies to the calling thread only.
void PmHeap_FailAfter(int count);
// Test hook: every allocation (or reallocation) larger than `bytes` fails,
// as it would on a machine with little free memory; 0 disarms. Fuzzing uses
// it so that declared sizes the readers accept do not each cost a full-size
// decode. Applies to the calling thread only.
void PmHeap_FailAbove(size_t bytes);
// The calling thread's limit of PmHeap_FailAbove, 0 when none. Coders whose
// libraries allocate on their own apply it to those pools too.
size_t PmHeap_FailAboveLimit();
// Test hook: number of blocks allocated and not yet freed (all threads).
long PmHeap_LiveBlocks();
// Test hook: frees refused because the pointer was not the start of a live
// block (all threads). Such a free would corrupt the heap on Windows, where
// it is now refused and counted; natively the C library aborts instead.
long PmHeap_BadFrees();
