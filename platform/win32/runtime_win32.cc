// The few C run-time routines the compiler and liblzma expect, implemented on
// the process heap so the executable needs no C run-time DLL.
#include <windows.h>

#include "base/memory.h"

void* AllocateMemory(size_t size) {
  return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size == 0 ? 1 : size);
}

void FreeMemory(void* block) {
  if (block) HeapFree(GetProcessHeap(), 0, block);
}

void CopyBytes(void* destination, const void* source, size_t size) {
  uint8_t* d = static_cast<uint8_t*>(destination);
  const uint8_t* s = static_cast<const uint8_t*>(source);
  while (size--) *d++ = *s++;
}

void FillBytes(void* destination, uint8_t value, size_t size) {
  uint8_t* d = static_cast<uint8_t*>(destination);
  while (size--) *d++ = value;
}

extern "C" {

void* memcpy(void* destination, const void* source, size_t size) {
  CopyBytes(destination, source, size);
  return destination;
}

void* memmove(void* destination, const void* source, size_t size) {
  uint8_t* d = static_cast<uint8_t*>(destination);
  const uint8_t* s = static_cast<const uint8_t*>(source);
  if (d < s) {
    while (size--) *d++ = *s++;
  } else {
    d += size;
    s += size;
    while (size--) *--d = *--s;
  }
  return destination;
}

void* memset(void* destination, int value, size_t size) {
  FillBytes(destination, static_cast<uint8_t>(value), size);
  return destination;
}

int memcmp(const void* left, const void* right, size_t size) {
  const uint8_t* a = static_cast<const uint8_t*>(left);
  const uint8_t* b = static_cast<const uint8_t*>(right);
  for (; size != 0; --size, ++a, ++b) {
    if (*a != *b) return *a < *b ? -1 : 1;
  }
  return 0;
}

void* malloc(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size == 0 ? 1 : size); }
void* calloc(size_t count, size_t size) {
  if (size != 0 && count > static_cast<size_t>(-1) / size) return 0;
  return AllocateMemory(count * size);
}
void free(void* block) { FreeMemory(block); }

}  // extern "C"
