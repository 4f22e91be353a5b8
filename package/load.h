// LoadPackage: finds, decodes, verifies and indexes the setup package carried
// at the end of the running executable.
#pragma once

#include "package/package.h"
#include "platform/platform.h"

// Process-wide machine description, set by LoadPackage before it reads the
// package and never changed afterwards.
struct MachineState {
  uint32_t archMask;      // ArchMask of the native machine
  uint32_t osMask;        // OsMask of the running Windows
  uint32_t registryView;  // OR-ed into every registry access
};
extern MachineState g_machine;

// The open executable file and the 64 KiB scratch buffer that later stages
// borrow; both live until the process exits.
struct PackageReader {
  PlatformFile file;
  uint8_t* scratch;
};
const uint32_t kScratchSize = 64 * 1024;
extern PackageReader g_reader;

// Loads the package once. Returns the process-wide catalogue, or null when the
// package is missing or damaged (any failed check or allocation); `status`
// (optional) receives the check that failed.
Catalogue* LoadPackage(PackageStatus* status = 0);
