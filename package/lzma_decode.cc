// Raw LZMA1 decoding of the packed block with liblzma.
#include <lzma.h>

#include "base/memory.h"
#include "package/package.h"

static void* LzmaAllocate(void*, size_t count, size_t size) {
  // liblzma multiplies nothing itself here; guard the product anyway.
  if (size != 0 && count > static_cast<size_t>(-1) / size) return 0;
  return AllocateMemory(count * size);
}

static void LzmaFree(void*, void* block) { FreeMemory(block); }

static const lzma_allocator kLzmaAllocator = {LzmaAllocate, LzmaFree, 0};

PackageStatus DecodePackedBlock(const uint8_t* packed, uint32_t packedSize, uint8_t* output,
                                uint32_t unpackedSize) {
  if (packedSize < kLzmaPropertiesSize) return kPackageBadProperties;
  if (packed[0] > kLzmaMaxPropertiesByte) return kPackageBadProperties;

  lzma_filter filters[2];
  // Plain LZMA1: the decoder is not told the size, so it never looks past
  // the last byte the output needs; the loop below stops there.
  filters[0].id = LZMA_FILTER_LZMA1;
  filters[0].options = 0;
  filters[1].id = LZMA_VLI_UNKNOWN;
  filters[1].options = 0;
  // Decodes lc/lp/pb and the dictionary size; a dictionary of 0 is raised to
  // liblzma's minimum, which covers "0 counts as 1".
  if (lzma_properties_decode(&filters[0], &kLzmaAllocator, packed, kLzmaPropertiesSize) != LZMA_OK) {
    return kPackageBadProperties;
  }
  lzma_options_lzma* options = static_cast<lzma_options_lzma*>(filters[0].options);
  if (options->dict_size > unpackedSize) {
    options->dict_size = unpackedSize > LZMA_DICT_SIZE_MIN ? unpackedSize : LZMA_DICT_SIZE_MIN;
  }

  lzma_stream stream = LZMA_STREAM_INIT;
  stream.allocator = &kLzmaAllocator;
  lzma_ret ret = lzma_raw_decoder(&stream, filters);
  kLzmaAllocator.free(0, options);
  if (ret == LZMA_MEM_ERROR) return kPackageNoMemory;
  if (ret != LZMA_OK) return kPackageBadProperties;

  stream.next_in = packed + kLzmaPropertiesSize;
  stream.avail_in = packedSize - kLzmaPropertiesSize;
  stream.next_out = output;
  stream.avail_out = unpackedSize;
  PackageStatus status = kPackageOk;
  while (stream.avail_out != 0) {
    ret = lzma_code(&stream, LZMA_FINISH);
    if (ret == LZMA_STREAM_END) break;
    if (ret == LZMA_MEM_ERROR) {
      status = kPackageNoMemory;
      break;
    }
    if (ret != LZMA_OK) {
      status = kPackageDataError;
      break;
    }
  }
  // A stream that ends before the block is full is damaged, whatever the
  // checksum of the partial output would say.
  if (status == kPackageOk && stream.avail_out != 0) status = kPackageDataError;
  lzma_end(&stream);
  return status;
}
