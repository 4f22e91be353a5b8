#include "tool/stream.h"

#include <lzma.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace tailpack {
namespace {

uint32_t Get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

struct Decoder {
  lzma_stream stream = LZMA_STREAM_INIT;
  ~Decoder() { lzma_end(&stream); }
};

}  // namespace

PackageStatus DecodeInPieces(std::ifstream& file, uint64_t packedStart, uint32_t packedSize,
                             uint32_t unpackedSize, size_t piece, const DecodedSink& sink,
                             uint32_t* checksum) {
  *checksum = 0;
  piece = std::max<size_t>(piece, 1);
  if (packedSize < kLzmaPropertiesSize) return kPackageBadProperties;
  uint8_t properties[kLzmaPropertiesSize];
  file.clear();
  file.seekg(static_cast<std::streamoff>(packedStart));
  if (!file.read(reinterpret_cast<char*>(properties), kLzmaPropertiesSize)) return kPackageUnreadable;
  if (properties[0] > kLzmaMaxPropertiesByte) return kPackageBadProperties;

  // Plain LZMA1, as the installer decodes it: the decoder is not told the
  // size, so it never looks past the last byte the block needs, and the loop
  // below stops there; the dictionary is clamped to the block (decoding is
  // identical, the memory is not).
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_properties_decode(&filters[0], nullptr, properties, kLzmaPropertiesSize) != LZMA_OK) {
    return kPackageBadProperties;
  }
  std::unique_ptr<lzma_options_lzma, void (*)(void*)> options(static_cast<lzma_options_lzma*>(filters[0].options),
                                                              free);
  if (options->dict_size > unpackedSize) {
    options->dict_size = unpackedSize > LZMA_DICT_SIZE_MIN ? unpackedSize : LZMA_DICT_SIZE_MIN;
  }
  Decoder decoder;
  lzma_ret ret = lzma_raw_decoder(&decoder.stream, filters);
  if (ret == LZMA_MEM_ERROR) return kPackageNoMemory;
  if (ret != LZMA_OK) return kPackageBadProperties;

  std::vector<uint8_t> in(piece), out(piece);
  uint64_t inputLeft = packedSize - kLzmaPropertiesSize;
  uint64_t produced = 0;
  uint32_t sum = 0;
  lzma_stream& stream = decoder.stream;
  // Once the block is full the decoder still looks at what follows (an end
  // marker, or damage), as it does when given all input at once; so the
  // loop runs until the stream ends, not until the block is full.
  for (;;) {
    if (stream.avail_in == 0 && inputLeft != 0) {
      size_t take = static_cast<size_t>(std::min<uint64_t>(inputLeft, in.size()));
      if (!file.read(reinterpret_cast<char*>(in.data()), static_cast<std::streamsize>(take))) {
        return kPackageUnreadable;
      }
      stream.next_in = in.data();
      stream.avail_in = take;
      inputLeft -= take;
    }
    stream.next_out = out.data();
    stream.avail_out = static_cast<size_t>(std::min<uint64_t>(out.size(), unpackedSize - produced));
    size_t room = stream.avail_out;
    ret = lzma_code(&stream, inputLeft == 0 ? LZMA_FINISH : LZMA_RUN);
    size_t made = room - stream.avail_out;
    for (size_t i = 0; i < made; ++i) sum += out[i];
    if (made != 0) sink(produced, out.data(), made);
    produced += made;
    if (ret == LZMA_STREAM_END) break;
    if (ret == LZMA_MEM_ERROR) return kPackageNoMemory;
    // No progress: the input is used up with the block full (accepted, as
    // a whole-block decode ends there too) or not (the stream ends early).
    if (ret == LZMA_BUF_ERROR && produced == unpackedSize) break;
    if (ret != LZMA_OK) return kPackageDataError;
  }
  *checksum = sum;
  // A stream that ends before the block is full is damaged.
  return produced == unpackedSize ? kPackageOk : kPackageDataError;
}

uint64_t MetadataEnd(const uint8_t* head, uint64_t have, uint32_t blockSize) {
  if (have < kHeaderSize) return have >= blockSize ? blockSize : 0;
  uint64_t tableEnd = kHeaderSize + uint64_t{kFileEntrySize} * Get32(head);
  if (tableEnd >= blockSize) return blockSize;
  if (have < tableEnd) return 0;
  uint64_t end = blockSize;
  for (uint64_t at = kHeaderSize; at < tableEnd; at += kFileEntrySize) {
    uint32_t size = Get32(head + at + 16), offset = Get32(head + at + 24);
    if (size != 0 && offset < end) end = offset;
  }
  return std::max(end, tableEnd);
}

}  // namespace tailpack
