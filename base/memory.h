// Memory helpers of the runtime: one allocator backed by the process heap
// and byte copy/fill routines that need no C runtime.
#pragma once

#include "base/types.h"

// Returns a zero-filled block of `size` bytes, or null when the heap cannot
// provide it. Never throws.
void* AllocateMemory(size_t size);

// Releases a block from AllocateMemory; null is accepted and ignored.
void FreeMemory(void* block);

// Copies `size` bytes; the regions must not overlap.
void CopyBytes(void* destination, const void* source, size_t size);

// Sets `size` bytes to `value`.
void FillBytes(void* destination, uint8_t value, size_t size);
