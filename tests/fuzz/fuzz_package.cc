// The loader's path through a package tail: trailer search, locating the
// packed block, decoding, checksum and indexing. The input is what ends an
// installer file: packed block, trailer and slack.
#include <cstdlib>
#include <cstring>

#include "package/package.h"
#include "tests/fuzz/check_catalogue.h"
#include "tests/fuzz/machine.h"

// Packages may legitimately ask for up to 4 GiB of output; the fuzzer would
// only find out-of-memory that way, and blocks far larger than the seeds
// reach no other code, just more decoding.
static const uint32_t kMaxUnpackedSize = 1u << 20;
// liblzma's smallest dictionary.
static const uint32_t kMinDictionarySize = 4096;

static uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

static void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kTrailerWindowSize || size > 0xFFFFFFFFu) return 0;
  PackageTrailer trailer;
  uint32_t trailerOffset = 0;
  if (FindTrailer(data + size - kTrailerWindowSize, &trailer, &trailerOffset) != kPackageOk) return 0;
  fuzz::Require(trailerOffset <= kTrailerWindowSize - kTrailerSize && trailer.magic == kTrailerMagic);
  uint64_t trailerStart = size - kTrailerWindowSize + trailerOffset;
  uint64_t packedStart = 0;
  if (LocatePackedBlock(&trailer, trailerStart, &packedStart) != kPackageOk) return 0;
  fuzz::Require(packedStart + trailer.packedSize == trailerStart &&
                trailer.packedSize >= kLzmaPropertiesSize);
  if (trailer.unpackedSize > kMaxUnpackedSize) return 0;
  // The packed block alone, so reads past it are reported.
  uint8_t* packed = static_cast<uint8_t*>(malloc(trailer.packedSize));
  memcpy(packed, data + packedStart, trailer.packedSize);
  // A dictionary at least as large as the whole output decodes exactly like
  // any larger one (no distance can reach further back than the output
  // start), but allocating megabytes per input would cut the fuzzing speed
  // by an order of magnitude. Shrink such dictionaries to the output size.
  uint32_t enough = trailer.unpackedSize > kMinDictionarySize ? trailer.unpackedSize
                                                              : kMinDictionarySize;
  if (GetU32(packed + 1) > enough) PutU32(packed + 1, enough);
  fuzz::Machine machine = fuzz::MachineFor(size);
  Catalogue catalogue;
  memset(&catalogue, 0, sizeof(catalogue));
  if (ParsePackage(packed, &trailer, machine.archMask, machine.osMask, &catalogue) == kPackageOk) {
    fuzz::Require(catalogue.blockSize == trailer.unpackedSize);
    fuzz::CheckCatalogue(catalogue, machine.archMask, machine.osMask);
    ReleaseCatalogue(&catalogue);
  }
  free(packed);
  return 0;
}
