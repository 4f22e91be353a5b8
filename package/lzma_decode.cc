// Raw LZMA1 decoding of the packed block (package/lzma1.h), with the
// runtime's heap behind liblzma's allocations.
#include "package/lzma1.h"

#include "base/memory.h"
#include "package/package.h"

static void* LzmaAllocate(void*, size_t count, size_t size) {
  // liblzma multiplies nothing itself here; guard the product anyway.
  if (size != 0 && count > static_cast<size_t>(-1) / size) return 0;
  return AllocateMemory(count * size);
}

static void LzmaFree(void*, void* block) { FreeMemory(block); }

static const lzma_allocator kLzmaAllocator = {LzmaAllocate, LzmaFree, 0};

PackageStatus StartDecoder(const uint8_t* properties, uint32_t unpackedSize, void** decoder) {
  // Decodes lc/lp/pb and the dictionary size; a dictionary of 0 is raised to
  // liblzma's minimum, which covers "0 counts as 1". No distance reaches
  // before the start of the output, so a dictionary larger than the
  // unpacked size is never needed.
  lzma_ret ret = tailpack_lzma1_start(decoder, &kLzmaAllocator, properties, unpackedSize);
  if (ret == LZMA_MEM_ERROR) return kPackageNoMemory;
  return ret == LZMA_OK ? kPackageOk : kPackageBadProperties;
}

PackageStatus RunDecoder(void* decoder, const uint8_t* input, size_t* inputPosition, size_t inputSize,
                         uint8_t* output, size_t* outputPosition, size_t outputSize) {
  size_t before = *inputPosition + *outputPosition;
  lzma_ret ret = tailpack_lzma1_run(decoder, &kLzmaAllocator, input, inputPosition, inputSize, output,
                                    outputPosition, outputSize);
  if (ret == LZMA_MEM_ERROR) return kPackageNoMemory;
  // An end marker right after the last byte wanted is fine; one before it,
  // corrupt data, or input that ran out means the output can never be
  // completed.
  if (ret == LZMA_STREAM_END && *outputPosition == outputSize) ret = LZMA_OK;
  if (ret != LZMA_OK || *inputPosition + *outputPosition == before) return kPackageDataError;
  return kPackageOk;
}

void EndDecoder(void* decoder) { tailpack_lzma1_end(decoder, &kLzmaAllocator); }

PackageStatus DecodePackedBlock(const uint8_t* packed, uint32_t packedSize, uint8_t* output,
                                uint32_t unpackedSize) {
  if (packedSize < kLzmaPropertiesSize) return kPackageBadProperties;
  void* decoder;
  PackageStatus status = StartDecoder(packed, unpackedSize, &decoder);
  if (status != kPackageOk) return status;
  size_t inputPosition = kLzmaPropertiesSize;
  size_t outputPosition = 0;
  // Decoding stops when the output is full: the decoder never looks past
  // the last byte the block needs.
  while (status == kPackageOk && outputPosition != unpackedSize) {
    status = RunDecoder(decoder, packed, &inputPosition, packedSize, output, &outputPosition, unpackedSize);
  }
  EndDecoder(decoder);
  return status;
}
