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

// The packed stream of the running installer, read from its file in pieces
// of kStreamInputSize bytes and decoded on demand. After LoadPackage it has
// produced the bytes the catalogue holds; when the file data streams
// (catalogue heldSize below blockSize) the install decodes the rest.
struct PackageStream {
  void* decoder;
  uint8_t* input;
  size_t inputPosition;
  size_t inputSize;
  uint64_t nextRead;    // file offset of the next packed byte
  uint32_t packedLeft;  // packed bytes not read yet
  uint32_t position;    // unpacked bytes produced so far
  uint32_t checksum;    // their byte sum, modulo 2^32
  uint32_t expected;    // the trailer's checksum of the whole block
};
const uint32_t kStreamInputSize = 64 * 1024;
extern PackageStream g_stream;
// kStreamThreshold and kStreamHeldSize; tests lower them.
extern uint32_t g_streamThreshold;
extern uint32_t g_streamHeldSize;

// Decodes the next `size` bytes of the unpacked block into `output` and adds
// them to the checksum. Returns kPackageOk, kPackageUnreadable,
// kPackageDataError (corrupt, or the packed data ends first) or
// kPackageNoMemory.
PackageStatus DecodeNext(uint8_t* output, uint32_t size);

// Loads the package once. Returns the process-wide catalogue, or null when the
// package is missing or damaged (any failed check or allocation); `status`
// (optional) receives the check that failed. A block of up to
// kStreamThreshold bytes is held whole and verified. A larger one holds its
// first kStreamHeldSize bytes when they index and the file data can be
// written in one pass (IsStreamableOrder); its checksum is then verified by
// the install, once the last byte has been decoded. Otherwise it is held
// whole too.
Catalogue* LoadPackage(PackageStatus* status = 0);
