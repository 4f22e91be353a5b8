#include "tool/stream.h"

#include <lzma.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace tailpack {
namespace {

uint32_t Get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

// The byte sum of `size` bytes, modulo 2^32: eight bytes at a time, their
// bytes added in four 16-bit lanes (at most 2 x 255 per lane per step, so a
// lane cannot overflow within 128 steps).
uint32_t ByteSum(const uint8_t* data, size_t size) {
  uint32_t sum = 0;
  size_t i = 0;
  while (size - i >= 8) {
    size_t steps = std::min<size_t>((size - i) / 8, 128);
    uint64_t lanes = 0;
    for (size_t k = 0; k < steps; ++k, i += 8) {
      uint64_t word;
      std::memcpy(&word, data + i, 8);
      lanes += (word & 0x00FF00FF00FF00FFull) + ((word >> 8) & 0x00FF00FF00FF00FFull);
    }
    sum += static_cast<uint32_t>((lanes & 0xFFFF) + ((lanes >> 16) & 0xFFFF) + ((lanes >> 32) & 0xFFFF) + (lanes >> 48));
  }
  for (; i < size; ++i) sum += data[i];
  return sum;
}

}  // namespace

struct PieceDecoder::Stream {
  lzma_stream stream = LZMA_STREAM_INIT;
  ~Stream() { lzma_end(&stream); }
};

PieceDecoder::PieceDecoder(std::ifstream& file, uint64_t packedStart, uint32_t packedSize, uint32_t unpackedSize,
                           size_t piece)
    : file_(file), packedStart_(packedStart), packedSize_(packedSize), unpackedSize_(unpackedSize),
      in_(std::max<size_t>(piece, 1)), out_(std::max<size_t>(piece, 1)) {}

PieceDecoder::~PieceDecoder() = default;

PackageStatus PieceDecoder::Finish(PackageStatus status) {
  final_ = status;
  stream_.reset();
  return status;
}

PackageStatus PieceDecoder::Start() {
  started_ = true;
  if (packedSize_ < kLzmaPropertiesSize) return Finish(kPackageBadProperties);
  uint8_t properties[kLzmaPropertiesSize];
  file_.clear();
  file_.seekg(static_cast<std::streamoff>(packedStart_));
  if (!file_.read(reinterpret_cast<char*>(properties), kLzmaPropertiesSize)) return Finish(kPackageUnreadable);
  if (properties[0] > kLzmaMaxPropertiesByte) return Finish(kPackageBadProperties);

  // Plain LZMA1, as the installer decodes it: the decoder is not told the
  // size, so it never looks past the last byte the block needs, and Next
  // stops there; the dictionary is clamped to the block (decoding is
  // identical, the memory is not).
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_properties_decode(&filters[0], nullptr, properties, kLzmaPropertiesSize) != LZMA_OK) {
    return Finish(kPackageBadProperties);
  }
  std::unique_ptr<lzma_options_lzma, void (*)(void*)> options(static_cast<lzma_options_lzma*>(filters[0].options),
                                                              free);
  if (options->dict_size > unpackedSize_) {
    options->dict_size = unpackedSize_ > LZMA_DICT_SIZE_MIN ? unpackedSize_ : LZMA_DICT_SIZE_MIN;
  }
  stream_ = std::make_unique<Stream>();
  lzma_ret ret = lzma_raw_decoder(&stream_->stream, filters);
  if (ret == LZMA_MEM_ERROR) return Finish(kPackageNoMemory);
  if (ret != LZMA_OK) return Finish(kPackageBadProperties);
  inputLeft_ = packedSize_ - kLzmaPropertiesSize;
  return kPackageOk;
}

PackageStatus PieceDecoder::Next(uint64_t* offset, const uint8_t** data, size_t* size) {
  *offset = produced_;
  *data = out_.data();
  *size = 0;
  if (!started_ && Start() != kPackageOk) return *final_;
  if (final_) return *final_;
  lzma_stream& stream = stream_->stream;
  // Once the block is full the decoder still looks at what follows (an end
  // marker, or damage), as it does when given all input at once; so
  // decoding goes on until the stream ends, not until the block is full.
  for (;;) {
    if (stream.avail_in == 0 && inputLeft_ != 0) {
      size_t take = static_cast<size_t>(std::min<uint64_t>(inputLeft_, in_.size()));
      if (!file_.read(reinterpret_cast<char*>(in_.data()), static_cast<std::streamsize>(take))) {
        return Finish(kPackageUnreadable);
      }
      stream.next_in = in_.data();
      stream.avail_in = take;
      inputLeft_ -= take;
    }
    stream.next_out = out_.data();
    stream.avail_out = static_cast<size_t>(std::min<uint64_t>(out_.size(), unpackedSize_ - produced_));
    size_t room = stream.avail_out;
    lzma_ret ret = lzma_code(&stream, inputLeft_ == 0 ? LZMA_FINISH : LZMA_RUN);
    size_t made = room - stream.avail_out;
    sum_ += ByteSum(out_.data(), made);
    *offset = produced_;
    produced_ += made;
    std::optional<PackageStatus> ended;
    if (ret == LZMA_STREAM_END) {
      // An end marker before the block is full leaves it short: damaged.
      ended = produced_ == unpackedSize_ ? kPackageOk : kPackageDataError;
    } else if (ret == LZMA_MEM_ERROR) {
      ended = kPackageNoMemory;
    } else if (ret == LZMA_BUF_ERROR) {
      // No progress: the input is used up with the block full (accepted, as
      // a whole-block decode ends there too) or not (the stream ends early).
      endedEarly_ = produced_ != unpackedSize_;
      ended = endedEarly_ ? kPackageDataError : kPackageOk;
    } else if (ret != LZMA_OK) {
      ended = kPackageDataError;
    }
    if (ended) Finish(*ended);
    // The bytes made before an error are handed out first, as they were decoded.
    if (made != 0) {
      *size = made;
      return kPackageOk;
    }
    if (final_) return *final_;
  }
}

PackageStatus DecodeInPieces(std::ifstream& file, uint64_t packedStart, uint32_t packedSize,
                             uint32_t unpackedSize, size_t piece, const DecodedSink& sink,
                             uint32_t* checksum, bool* endedEarly) {
  PieceDecoder decoder(file, packedStart, packedSize, unpackedSize, piece);
  PackageStatus status;
  for (;;) {
    uint64_t offset;
    const uint8_t* data;
    size_t size;
    status = decoder.Next(&offset, &data, &size);
    if (status != kPackageOk || size == 0) break;
    if (sink) sink(offset, data, size);
  }
  *checksum = status == kPackageOk ? decoder.Checksum() : 0;
  if (endedEarly != nullptr) *endedEarly = decoder.EndedEarly();
  return status;
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
