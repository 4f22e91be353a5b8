// Host builds only: a ceiling on single allocations, so native tests can
// play a machine that cannot provide the memory a package asks for.
#pragma once

#include <stddef.h>

// AllocateMemory (and liblzma through it) fails for any block larger than
// this; the default never limits anything.
extern size_t g_allocationLimit;
