#include "base/text.h"

size_t TextLength(const Char16* text) {
  size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

size_t TextLength8(const char* text) {
  size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

// Appends units of `width` bytes (1: 8-bit, widened; 2: UTF-16) from
// `source` up to its terminator. Shared by AppendText and AppendAscii.
static int AppendUnits(Char16* destination, size_t capacity, const void* source, size_t width) {
  if (capacity == 0) return 1;
  size_t used = 0;
  while (used < capacity && destination[used] != 0) ++used;
  if (used == capacity) {
    destination[capacity - 1] = 0;
    return 1;
  }
  for (const uint8_t* p = static_cast<const uint8_t*>(source);; p += width) {
    Char16 unit = width == 2 ? *reinterpret_cast<const Char16*>(p) : *p;
    if (unit == 0) break;
    if (used + 1 >= capacity) {
      destination[used] = 0;
      return 1;
    }
    destination[used++] = unit;
  }
  destination[used] = 0;
  return 0;
}

int AppendText(Char16* destination, size_t capacity, const Char16* source) {
  return AppendUnits(destination, capacity, source, 2);
}

int CopyText(Char16* destination, size_t capacity, const Char16* source) {
  if (capacity == 0) return 1;
  destination[0] = 0;
  return AppendText(destination, capacity, source);
}

int AppendAscii(Char16* destination, size_t capacity, const char* source) {
  return AppendUnits(destination, capacity, source, 1);
}

int AppendSeparator(Char16* destination, size_t capacity) {
  size_t length = TextLength(destination);
  if (length != 0 && destination[length - 1] == '\\') return 0;
  return AppendText(destination, capacity, u"\\");
}

void TrimBlanks(Char16* text) {
  size_t start = 0;
  while (text[start] == ' ') ++start;
  size_t end = TextLength(text + start) + start;
  while (end > start && text[end - 1] == ' ') --end;
  for (size_t i = start; i < end; ++i) text[i - start] = text[i];
  text[end - start] = 0;
}
