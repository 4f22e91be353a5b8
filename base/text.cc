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

int AppendText(Char16* destination, size_t capacity, const Char16* source) {
  if (capacity == 0) return 1;
  size_t used = 0;
  while (used < capacity && destination[used] != 0) ++used;
  if (used == capacity) {
    destination[capacity - 1] = 0;
    return 1;
  }
  while (*source != 0) {
    if (used + 1 >= capacity) {
      destination[used] = 0;
      return 1;
    }
    destination[used++] = *source++;
  }
  destination[used] = 0;
  return 0;
}

int CopyText(Char16* destination, size_t capacity, const Char16* source) {
  if (capacity == 0) return 1;
  destination[0] = 0;
  return AppendText(destination, capacity, source);
}

int AppendAscii(Char16* destination, size_t capacity, const char* source) {
  if (capacity == 0) return 1;
  size_t used = 0;
  while (used < capacity && destination[used] != 0) ++used;
  if (used == capacity) {
    destination[capacity - 1] = 0;
    return 1;
  }
  while (*source != 0) {
    if (used + 1 >= capacity) {
      destination[used] = 0;
      return 1;
    }
    destination[used++] = static_cast<unsigned char>(*source++);
  }
  destination[used] = 0;
  return 0;
}

int AppendSeparator(Char16* destination, size_t capacity) {
  size_t length = TextLength(destination);
  if (length != 0 && destination[length - 1] == '\\') return 0;
  return AppendText(destination, capacity, u"\\");
}
