// Host implementation of the runtime allocator: the C library heap.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "base/memory.h"
#include "base/memory_host.h"

size_t g_allocationLimit = SIZE_MAX;

void* AllocateMemory(size_t size) {
  if (size > g_allocationLimit) return 0;
  return calloc(1, size == 0 ? 1 : size);
}
void FreeMemory(void* block) { free(block); }
void CopyBytes(void* destination, const void* source, size_t size) {
  if (size != 0) memcpy(destination, source, size);
}
void FillBytes(void* destination, uint8_t value, size_t size) {
  if (size != 0) memset(destination, value, size);
}
