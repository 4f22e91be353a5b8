// Bounded text helpers for fixed UTF-16 and 8-bit buffers. Every routine takes
// the destination capacity in units, terminator included, never writes past
// it and always terminates a non-empty buffer.
#pragma once

#include "base/types.h"

// Number of units before the terminator.
size_t TextLength(const Char16* text);
size_t TextLength8(const char* text);

// Replaces `destination` with `source`. Returns 0 when the whole text fit,
// 1 when it had to be cut (the buffer then holds the prefix that fit).
int CopyText(Char16* destination, size_t capacity, const Char16* source);

// Appends `source` to the text already in `destination`. Same returns as
// CopyText; a destination that is not terminated within `capacity` counts
// as full and yields 1.
int AppendText(Char16* destination, size_t capacity, const Char16* source);

// Appends 8-bit `source`, widening each byte (for ASCII texts only).
int AppendAscii(Char16* destination, size_t capacity, const char* source);

// Appends "\" unless the text already ends in one (an empty text gets it).
// Same returns as AppendText.
int AppendSeparator(Char16* destination, size_t capacity);

// Removes blanks (U+0020) at both ends of the text, in place.
void TrimBlanks(Char16* text);
