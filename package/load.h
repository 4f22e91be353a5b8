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
  uint32_t checksum;    // byte sum of the bytes decoded, modulo 2^32
  uint32_t expected;    // the trailer's checksum of the whole block
  uint32_t blockSize;   // unpacked bytes in all

  // Decoding ahead (StartDecodingAhead): a thread decodes the rest of the
  // block into a ring of kAheadPieces pieces while the install writes
  // files, and DecodeNext takes the bytes from there. Piece n holds the
  // bytes from aheadStart + n * g_aheadPieceSize on.
  uint8_t* ring;                 // null while DecodeNext decodes itself
  void* pieceDecoded;            // raised by the thread after each piece, and on failure
  void* pieceTaken;              // raised by the install after each piece, and on stop
  uint32_t aheadStart;
  // Shared by the two threads (read and written atomically):
  uint32_t decodedPieces;  // written by the thread
  uint32_t takenPieces;    // written by the install
  uint32_t aheadFailure;   // why the thread ended (a PackageStatus), 0 while it runs
  uint32_t aheadStopped;   // 1 once the install ended early
};
const uint32_t kStreamInputSize = 64 * 1024;
const uint32_t kAheadPieces = 8;
const uint32_t kAheadPieceSize = 256 * 1024;
extern PackageStream g_stream;
// kStreamThreshold, kStreamHeldSize and kAheadPieceSize: constants in the
// installer, variables in the native build so that tests can lower them.
#ifdef _WIN32
const uint32_t g_streamThreshold = kStreamThreshold;
const uint32_t g_streamHeldSize = kStreamHeldSize;
const uint32_t g_aheadPieceSize = kAheadPieceSize;
#else
extern uint32_t g_streamThreshold;
extern uint32_t g_streamHeldSize;
extern uint32_t g_aheadPieceSize;
#endif

// Hands out the next `size` bytes of the unpacked block into `output`:
// decoded here, or taken from the thread decoding ahead. Returns kPackageOk,
// kPackageUnreadable, kPackageDataError (corrupt, or the packed data ends
// first) or kPackageNoMemory. The checksum covers every byte once the last
// one has been handed out.
PackageStatus DecodeNext(uint8_t* output, uint32_t size);

// Starts decoding the rest of the block on a thread of its own, so that
// decoding and writing files overlap. Without the memory, a signal or a
// thread, DecodeNext goes on decoding itself. Call once, after LoadPackage
// returned a catalogue whose file data streams.
void StartDecodingAhead();

// Ends the thread decoding ahead when the install stops before the last
// byte (the thread would otherwise wait for the install to take a piece).
void StopDecodingAhead();

// Loads the package once. Returns the process-wide catalogue, or null when the
// package is missing or damaged (any failed check or allocation); `status`
// (optional) receives the check that failed. A block of up to
// kStreamThreshold bytes is held whole and verified. A larger one holds its
// first kStreamHeldSize bytes when they index and the file data can be
// written in one pass (IsStreamableOrder); its checksum is then verified by
// the install, once the last byte has been decoded. Otherwise it is held
// whole too.
Catalogue* LoadPackage(PackageStatus* status = 0);
