// The installer's main routine and its start-up gates.
#pragma once

#include "base/types.h"

// Loads the package and applies the start-up gates; returns the process exit
// code (0, or 1 when a gate stopped the run).
uint32_t RunSetup(void* instance, uint32_t reserved, const char* tail, uint32_t showCommand);
