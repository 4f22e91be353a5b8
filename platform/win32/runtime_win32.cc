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

// The string instructions: two bytes of code each, and the processor moves
// whole cache lines through them. Every decoded byte is copied at least once
// (out of the decoder's dictionary), which a byte-at-a-time loop made a
// tenth of a decode-bound install. Windows leaves the direction flag clear
// on entry to any function, so they run forwards.
__attribute__((noinline)) void CopyBytes(void* destination, const void* source, size_t size) {
  __asm__ volatile("rep movsb" : "+D"(destination), "+S"(source), "+c"(size) : : "memory");
}

__attribute__((noinline)) void FillBytes(void* destination, uint8_t value, size_t size) {
  __asm__ volatile("rep stosb" : "+D"(destination), "+c"(size) : "a"(value) : "memory");
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
    CopyBytes(d, s, size);
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
