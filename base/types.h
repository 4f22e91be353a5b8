// Basic integer and text types shared by the installer runtime and the host tools.
#pragma once

#include <stddef.h>
#include <stdint.h>

// A UTF-16LE code unit. The runtime casts to WCHAR at the Windows boundary,
// which has the same size and representation.
typedef char16_t Char16;

static_assert(sizeof(Char16) == 2, "UTF-16 code units are two bytes");
#if defined(__BYTE_ORDER__)
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the package block is indexed in place and needs a little-endian machine");
#endif

// Number of elements of a fixed array.
#define COUNT_OF(array) (sizeof(array) / sizeof((array)[0]))
