#include "package/load.h"

#include "base/memory.h"
#include "package/pe.h"
#include "startup/probe.h"

MachineState g_machine;
PackageReader g_reader;
PackageStream g_stream;
#ifndef _WIN32
uint32_t g_streamThreshold = kStreamThreshold;
uint32_t g_streamHeldSize = kStreamHeldSize;
uint32_t g_aheadPieceSize = kAheadPieceSize;
#endif
static Catalogue g_catalogue;

// The headers of a mapped image always lie within its first page.
static const uint32_t kHeaderPage = 4096;
static const uint32_t kPathCapacity = 260;

// Decodes the next `size` bytes of the packed stream into `output` and adds
// them to the checksum.
static PackageStatus DecodeInto(uint8_t* output, uint32_t size) {
  size_t done = 0;
  while (done != size) {
    if (g_stream.inputPosition == g_stream.inputSize) {
      uint32_t piece = g_stream.packedLeft < kStreamInputSize ? g_stream.packedLeft : kStreamInputSize;
      if (piece == 0) return kPackageDataError;
      if (ReadFileAt(g_reader.file, g_stream.nextRead, g_stream.input, piece) != 0) return kPackageUnreadable;
      g_stream.nextRead += piece;
      g_stream.packedLeft -= piece;
      g_stream.inputPosition = 0;
      g_stream.inputSize = piece;
    }
    PackageStatus status = RunDecoder(g_stream.decoder, g_stream.input, &g_stream.inputPosition,
                                      g_stream.inputSize, output, &done, size);
    if (status != kPackageOk) return status;
  }
  g_stream.checksum += ComputeChecksum(output, size);
  return kPackageOk;
}

static uint32_t LoadShared(const uint32_t* value) { return __atomic_load_n(value, __ATOMIC_ACQUIRE); }
static void StoreShared(uint32_t* value, uint32_t to) { __atomic_store_n(value, to, __ATOMIC_RELEASE); }

// The thread decoding ahead: piece after piece until the block ends, the
// decoder fails or the install stops, waiting while the ring is full. A
// piece is published (decodedPieces) only once its bytes and their checksum
// are in place. It ends by publishing why no piece will follow: the
// decoder's failure, or kPackageDataError for anyone asking past the end.
static uint32_t PLATFORM_CALLBACK DecodeAhead(void*) {
  uint32_t left = g_stream.blockSize - g_stream.aheadStart;
  PackageStatus status = kPackageDataError;
  for (uint32_t piece = 0; left != 0; ++piece) {
    while (LoadShared(&g_stream.aheadStopped) == 0 &&
           piece - LoadShared(&g_stream.takenPieces) == kAheadPieces) {
      WaitForSignal(g_stream.pieceTaken);
    }
    if (LoadShared(&g_stream.aheadStopped) != 0) break;
    uint32_t size = left < g_aheadPieceSize ? left : g_aheadPieceSize;
    PackageStatus result = DecodeInto(g_stream.ring + piece % kAheadPieces * g_aheadPieceSize, size);
    if (result != kPackageOk) {
      status = result;
      break;
    }
    left -= size;
    StoreShared(&g_stream.decodedPieces, piece + 1);
    RaiseSignal(g_stream.pieceDecoded);
  }
  StoreShared(&g_stream.aheadFailure, status);
  RaiseSignal(g_stream.pieceDecoded);
  return 0;
}

void StartDecodingAhead() {
  uint8_t* ring = static_cast<uint8_t*>(AllocateMemory(kAheadPieces * g_aheadPieceSize));
  g_stream.pieceDecoded = CreateSignal();
  g_stream.pieceTaken = CreateSignal();
  g_stream.aheadStart = g_stream.position;
  if (ring == 0 || g_stream.pieceDecoded == 0 || g_stream.pieceTaken == 0) return;
  g_stream.ring = ring;
  if (StartThread(DecodeAhead, 0) == 0) g_stream.ring = 0;
}

void StopDecodingAhead() {
  StoreShared(&g_stream.aheadStopped, 1);
  if (g_stream.ring != 0) RaiseSignal(g_stream.pieceTaken);
}

PackageStatus DecodeNext(uint8_t* output, uint32_t size) {
  if (g_stream.ring == 0) {
    PackageStatus status = DecodeInto(output, size);
    if (status == kPackageOk) g_stream.position += size;
    return status;
  }
  while (size != 0) {
    uint32_t offset = g_stream.position - g_stream.aheadStart;
    uint32_t piece = offset / g_aheadPieceSize;
    uint32_t within = offset % g_aheadPieceSize;
    for (;;) {
      // The failure is read first: once it is set, every piece decoded
      // before it has been published.
      uint32_t failure = LoadShared(&g_stream.aheadFailure);
      if (LoadShared(&g_stream.decodedPieces) > piece) break;
      if (failure != 0) return static_cast<PackageStatus>(failure);
      WaitForSignal(g_stream.pieceDecoded);
    }
    uint32_t count = g_aheadPieceSize - within;
    if (count > size) count = size;
    CopyBytes(output, g_stream.ring + piece % kAheadPieces * g_aheadPieceSize + within, count);
    output += count;
    size -= count;
    g_stream.position += count;
    if (within + count == g_aheadPieceSize) {
      StoreShared(&g_stream.takenPieces, piece + 1);
      RaiseSignal(g_stream.pieceTaken);
    }
  }
  return kPackageOk;
}

static PackageStatus LoadFromFile(PlatformFile file, uint64_t packageEnd) {
  if (packageEnd < kTrailerWindowSize) return kPackageNoTrailer;
  uint8_t window[kTrailerWindowSize];
  uint64_t windowStart = packageEnd - kTrailerWindowSize;
  if (ReadFileAt(file, windowStart, window, kTrailerWindowSize) != 0) return kPackageUnreadable;
  PackageTrailer trailer;
  uint32_t trailerOffset = 0;
  PackageStatus status = FindTrailer(window, &trailer, &trailerOffset);
  if (status != kPackageOk) return status;
  uint64_t packedStart = 0;
  status = LocatePackedBlock(&trailer, windowStart + trailerOffset, &packedStart);
  if (status != kPackageOk) return status;

  FillBytes(&g_stream, 0, sizeof(g_stream));
  g_reader.scratch = static_cast<uint8_t*>(AllocateMemory(kScratchSize));
  g_stream.input = static_cast<uint8_t*>(AllocateMemory(kStreamInputSize));
  if (g_reader.scratch == 0 || g_stream.input == 0) return kPackageNoMemory;
  if (ReadFileAt(file, packedStart, window, kLzmaPropertiesSize) != 0) return kPackageUnreadable;
  g_reader.file = file;
  g_stream.nextRead = packedStart + kLzmaPropertiesSize;
  g_stream.packedLeft = trailer.packedSize - kLzmaPropertiesSize;
  g_stream.expected = trailer.checksum;
  g_stream.blockSize = trailer.unpackedSize;
  status = StartDecoder(window, trailer.unpackedSize, &g_stream.decoder);
  if (status != kPackageOk) return status;

  uint32_t size = trailer.unpackedSize;
  uint32_t held = size > g_streamThreshold ? g_streamHeldSize : size;
  uint8_t* block = static_cast<uint8_t*>(AllocateMemory(held));
  if (block == 0) return kPackageNoMemory;
  status = DecodeNext(block, held);
  if (status == kPackageOk && held != size) {
    // The file data streams when the held bytes index and the entries can
    // be written in one pass; the install then verifies the checksum.
    if (IndexPackage(block, size, g_machine.archMask, g_machine.osMask, &g_catalogue, held) == kPackageOk &&
        IsStreamableOrder(&g_catalogue, held, g_machine.archMask, g_machine.osMask)) {
      return kPackageOk;
    }
    // Otherwise the whole block is held, as for a small package.
    uint8_t* whole = static_cast<uint8_t*>(AllocateMemory(size));
    if (whole == 0) return kPackageNoMemory;
    CopyBytes(whole, block, held);
    FreeMemory(block);
    block = whole;
    status = DecodeNext(block + held, size - held);
  }
  if (status == kPackageOk && g_stream.checksum != trailer.checksum) status = kPackageChecksumMismatch;
  if (status == kPackageOk) {
    status = IndexPackage(block, size, g_machine.archMask, g_machine.osMask, &g_catalogue);
  }
  // The dictionary is not needed once the whole block is out.
  EndDecoder(g_stream.decoder);
  return status;
}

Catalogue* LoadPackage(PackageStatus* statusOut) {
  PackageStatus status = kPackageOk;
  PeFacts facts;
  const uint8_t* image = GetModuleImage();
  if (image == 0 || image[0] != 'M' || image[1] != 'Z') status = kPackageNotExecutable;

  g_machine.archMask = ProbeArchitecture();
  g_machine.osMask = ProbeOsVersion();

  if (status == kPackageOk) status = ReadCertificateEntry(image, kHeaderPage, &facts);
  PlatformFile file = 0;
  if (status == kPackageOk) {
    Char16 path[kPathCapacity];
    if (GetOwnPath(path, kPathCapacity) != 0 || (file = OpenFileForReading(path)) == 0) {
      status = kPackageUnreadable;
    }
  }
  if (status == kPackageOk) {
    uint64_t packageEnd = facts.certificateOffset;
    if (packageEnd == 0) packageEnd = QueryFileSize(file);
    status = LoadFromFile(file, packageEnd);
  }
  if (statusOut) *statusOut = status;
  if (status != kPackageOk) {
    if (file != 0) CloseFile(file);
    return 0;
  }
  g_machine.registryView = g_catalogue.registryView;
  return &g_catalogue;
}
