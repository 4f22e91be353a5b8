// Formatting into fixed buffers and the message box shown with the product's
// name as caption.
#pragma once

#include "base/types.h"

// Capacity of a message-box text in UTF-16 units, terminator included.
const uint32_t kMessageCapacity = 512;

// Formats `format` with the arguments into `buffer` of `capacity` units
// (terminator included) with the wsprintfW conversions. A result that does
// not fit is cut; a non-zero capacity always leaves the buffer terminated.
void FormatText(Char16* buffer, uint32_t capacity, const Char16* format, ...);

// Formats into kMessageCapacity units (cut when longer) and shows it in a
// message box of `type` owned by `owner`, captioned with ProductName.
// Returns the button pressed (0 when the box could not be shown).
int ShowMessage(void* owner, uint32_t type, const Char16* format, ...);
