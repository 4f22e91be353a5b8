// IndexPackage over an arbitrary unpacked block.
#include <cstdlib>
#include <cstring>

#include "package/package.h"
#include "tests/fuzz/check_catalogue.h"
#include "tests/fuzz/machine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFFFu) return 0;
  // A block of exactly the input's size, so every overread is reported.
  uint8_t* block = static_cast<uint8_t*>(malloc(size));
  if (size != 0) memcpy(block, data, size);
  fuzz::Machine machine = fuzz::MachineFor(size);
  Catalogue catalogue;
  memset(&catalogue, 0, sizeof(catalogue));
  PackageStatus status = IndexPackage(block, static_cast<uint32_t>(size), machine.archMask,
                                      machine.osMask, &catalogue);
  if (status == kPackageOk) {
    fuzz::Require(catalogue.block == block && catalogue.blockSize == size);
    fuzz::CheckCatalogue(catalogue, machine.archMask, machine.osMask);
    ReleaseCatalogue(&catalogue);  // frees the block too
  } else {
    // A failed index must leave the catalogue untouched.
    fuzz::Require(catalogue.block == nullptr && catalogue.languages == nullptr);
    free(block);
  }

  // The same bytes as the held head of a larger block, as an installer
  // that streams the file data indexes it: nothing but file data may lie
  // past them, and deciding whether the order streams reads only them.
  uint64_t claimed = size + 1 + (size % 5) * 65536;
  if (size == 0 || claimed > 0xFFFFFFFFu) return 0;
  block = static_cast<uint8_t*>(malloc(size));
  memcpy(block, data, size);
  memset(&catalogue, 0, sizeof(catalogue));
  status = IndexPackage(block, static_cast<uint32_t>(claimed), machine.archMask, machine.osMask, &catalogue,
                        static_cast<uint32_t>(size));
  if (status != kPackageOk) {
    free(block);
    return 0;
  }
  fuzz::Require(catalogue.heldSize == size && catalogue.blockSize == claimed);
  fuzz::CheckCatalogue(catalogue, machine.archMask, machine.osMask);
  IsStreamableOrder(&catalogue, static_cast<uint32_t>(size), machine.archMask, machine.osMask);
  ReleaseCatalogue(&catalogue);
  return 0;
}
