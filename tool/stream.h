// Decoding an installer's packed block in pieces, for packages too large to
// hold: the tool reads the packed bytes from the file and hands the decoded
// bytes on as they come, with the checks the installer makes.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "package/package.h"

namespace tailpack {

// What list, verify and extract may hold of a package's unpacked block.
// Blocks up to `inMemory` bytes are decoded whole; larger ones in pieces of
// `piece` bytes, keeping only the part before the first file's data (the
// header, entries, texts and names), so that memory stays at the decoder's
// dictionary plus about `inMemory` bytes whatever the package's size.
struct DecodeLimits {
  uint64_t inMemory = 48u << 20;
  size_t piece = 1u << 20;
};

// Called with each decoded piece and its offset in the unpacked block.
using DecodedSink = std::function<void(uint64_t offset, const uint8_t* data, size_t size)>;

// Decodes the raw LZMA1 stream of `packedSize` bytes at `packedStart` in
// `file` (5 property bytes, then data) into `unpackedSize` bytes, exactly as
// the installer's loader does: decoding stops when the block is full, an end
// marker right there is accepted and so is its absence. Reads and hands out
// at most `piece` bytes at a time, one piece per call of Next, so that a
// caller can stop after any piece and go on later.
class PieceDecoder {
 public:
  PieceDecoder(std::ifstream& file, uint64_t packedStart, uint32_t packedSize, uint32_t unpackedSize, size_t piece);
  ~PieceDecoder();
  PieceDecoder(const PieceDecoder&) = delete;
  PieceDecoder& operator=(const PieceDecoder&) = delete;

  // The next decoded piece and its offset in the block: kPackageOk with
  // `size` bytes at `data` (valid until the next call), or kPackageOk with
  // `size` 0 once the block is full. Otherwise kPackageBadProperties,
  // kPackageDataError (corrupt, or the stream ends before the block is
  // full: EndedEarly), kPackageNoMemory or kPackageUnreadable, and the same
  // again on every later call.
  PackageStatus Next(uint64_t* offset, const uint8_t** data, size_t* size);
  // The byte sum of what was handed out so far.
  uint32_t Checksum() const { return sum_; }
  // True when decoding failed because the packed bytes ran out before the
  // block was full (as a file cut short does), not on corrupt data.
  bool EndedEarly() const { return endedEarly_; }

 private:
  PackageStatus Start();
  PackageStatus Finish(PackageStatus status);

  struct Stream;
  std::ifstream& file_;
  uint64_t packedStart_;
  uint32_t packedSize_, unpackedSize_;
  std::unique_ptr<Stream> stream_;
  std::vector<uint8_t> in_, out_;
  uint64_t inputLeft_ = 0, produced_ = 0;
  uint32_t sum_ = 0;
  bool started_ = false, endedEarly_ = false;
  std::optional<PackageStatus> final_;  // set once decoding has ended
};

// Decodes the whole stream with a PieceDecoder, handing each piece to
// `sink`. Sets `checksum` to the byte sum of what was decoded and, when
// given, `endedEarly` as PieceDecoder::EndedEarly. Returns kPackageOk or
// the decoder's failure.
PackageStatus DecodeInPieces(std::ifstream& file, uint64_t packedStart, uint32_t packedSize,
                             uint32_t unpackedSize, size_t piece, const DecodedSink& sink,
                             uint32_t* checksum, bool* endedEarly = nullptr);

// Where the part of a block that list and verify need ends: past the entry
// table and before the first byte of file data of any entry with data
// (the block size when no entry has data). `head` holds the first `have`
// bytes of the block; returns 0 while they are too few to tell.
uint64_t MetadataEnd(const uint8_t* head, uint64_t have, uint32_t blockSize);

}  // namespace tailpack
