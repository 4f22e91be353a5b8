// The machine a fuzz input is indexed for, picked from its size so that every
// architecture and Windows version (and the unrecognised ones) get inputs.
#pragma once

#include <cstddef>

#include "package/format.h"

namespace fuzz {

struct Machine {
  uint32_t archMask;
  uint32_t osMask;
};

inline Machine MachineFor(size_t size) {
  static const uint32_t kArchs[] = {kArchX64, kArchX86, kArchArm64, kArchArm, 0};
  static const uint32_t kOses[] = {kOsWindows10, kOsWindows2000, kOsWindowsXp, kOsWindowsVista,
                                   kOsWindows7,  kOsWindows8,    kOsLater,     0};
  return {kArchs[size % 5], kOses[size % 8]};
}

}  // namespace fuzz
