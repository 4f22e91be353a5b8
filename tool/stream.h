// Decoding an installer's packed block in pieces, for packages too large to
// hold: the tool reads the packed bytes from the file and hands the decoded
// bytes on as they come, with the checks the installer makes.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>

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
// marker right there is accepted and so is its absence. Reads and hands on
// at most `piece` bytes at a time. Sets `checksum` to the byte sum of what
// was decoded. Returns kPackageOk, kPackageBadProperties, kPackageDataError
// (corrupt, or the stream ends before the block is full), kPackageNoMemory
// or kPackageUnreadable.
PackageStatus DecodeInPieces(std::ifstream& file, uint64_t packedStart, uint32_t packedSize,
                             uint32_t unpackedSize, size_t piece, const DecodedSink& sink,
                             uint32_t* checksum);

// Where the part of a block that list and verify need ends: past the entry
// table and before the first byte of file data of any entry with data
// (the block size when no entry has data). `head` holds the first `have`
// bytes of the block; returns 0 while they are too few to tell.
uint64_t MetadataEnd(const uint8_t* head, uint64_t have, uint32_t blockSize);

}  // namespace tailpack
