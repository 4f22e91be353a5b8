// `tailpack build`: reads a manifest, gathers and checks the package, and
// writes the installer (runtime stub + compressed package).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "package/writer.h"
#include "tool/manifest.h"

namespace tailpack {

// Source files are read in pieces of this size: the build holds no more of
// them at once.
const size_t kReadChunk = 1 << 20;

// A 64-bit hash of a byte sequence that can be fed in pieces of any size
// (the pieces do not change the result): liblzma's CRC-64, which runs at
// several GB/s where a byte-at-a-time hash made every source cost a second
// of CPU per GB read, twice per build.
class ContentHash {
 public:
  void Add(const uint8_t* data, size_t size);
  uint64_t Value() const { return state_; }

 private:
  uint64_t state_ = 0;
};

// Where the bytes of one stored blob come from: a source file (read again
// while compressing, in pieces) or nothing for the empty blob.
struct BlobSource {
  std::filesystem::path path;  // empty for the empty blob and for `bytes`
  uint64_t size = 0;
  uint64_t hash = 0;           // ContentHash of the bytes, to notice a file that changes
  std::string bytes;           // data made by the build itself (a licence as RTF)
};

// The package a manifest describes, before compression. The file data is
// not held: contents.blobs stays empty and `sources` says, blob by blob and
// in the order stored, where the bytes are.
// entryRule of the entries the build adds itself (the generated uninstaller
// and its record), which no FileRule made.
const uint32_t kNoRule = 0xFFFFFFFFu;

struct AssembledPackage {
  PackageContents contents;
  std::vector<BlobSource> sources;
  std::vector<std::string> utf8Names;  // entry names as UTF-8, "\" separated
  std::vector<uint32_t> entryRule;     // index of the FileRule of each entry, or kNoRule
  std::vector<std::string> warnings;   // complete "file:line:column: warning: ..." lines
  uint64_t sourceBytes = 0;            // bytes of all packaged files, duplicates counted
  uint64_t headSize = 0;               // metadata, and the info text's data when the package streams
  bool streams = false;                // above the streaming size, laid out to stream
};

// How a package above the streaming size is laid out: its installer holds
// only the first `heldSize` bytes of the block and writes the files as the
// rest is decoded, so the info text's data comes first and the entries
// follow the order of their data (entries sharing data side by side).
// Packages of `streamThreshold` bytes or less keep the manifest's order.
struct StreamLayout {
  uint64_t streamThreshold = kStreamThreshold;
  uint64_t heldSize = kStreamHeldSize;
};

// Expands the manifest's files, reads each once in pieces of `readChunk`
// bytes to find identical contents (stored once, ordered by extension for
// the compressor; entries keep the manifest's order unless the package
// streams, see StreamLayout) and fills in settings,
// languages and header fields. Modification
// times are clamped to `sourceDateEpoch` (seconds since 1970) when given.
// Throws ManifestError / PositionedError for anything the installer would
// reject or could not hold.
// `output` (when not empty) is the installer about to be written: a glob
// that matches it skips it when it is an installer already, any other
// source that is the output is refused. Sources are read in pieces of
// `readChunk` bytes.
// With [uninstall] generated = true, `uninstaller` is installed as the last
// entry, "uninstall\<ProductName>\uninstall.exe" (flagged
// kEntryUninstaller), after the package's uninstall record (a
// kRecordExtension file in the same folder named by its hash), both with the newest (clamped) time among the manifest's
// files, so that how the tool and its uninstaller were installed does not
// change the installer. Throws ManifestError when the main executable is
// not installed on every machine the installer runs on.
AssembledPackage AssemblePackage(const Manifest& manifest, std::optional<int64_t> sourceDateEpoch,
                                 const std::filesystem::path& output = {}, size_t readChunk = kReadChunk,
                                 StreamLayout layout = {}, const std::filesystem::path& uninstaller = {});

// Converts a POSIX time (seconds and nanoseconds) to a Windows FILETIME.
uint64_t FileTimeFromUnix(int64_t seconds, uint32_t nanoseconds);

// SOURCE_DATE_EPOCH from the environment; nullopt when unset or empty.
// Throws ToolError when it is not a plain number of seconds.
std::optional<int64_t> SourceDateEpochFromEnvironment();

// The stub to use for "x86", "x64" or a path. Named architectures are looked
// up next to the tool (tailpack-stub-x86.exe / tailpack-stub-x64.exe), then in
// the build tree (tool in build/host: build/win32 or build/win64
// tailpack-stub.exe). Throws ToolError when none exists.
std::filesystem::path FindStub(const std::string& choice, const std::filesystem::path& toolDirectory);

// The generated uninstaller for a stub of PE `machine` (0x014C i386: x86,
// 0x8664 AMD64: x64), looked up like the stubs: next to the tool
// (tailpack-uninstall-x86.exe / tailpack-uninstall-x64.exe), in
// ../lib/tailpack, then in the build tree (build/win32 or build/win64
// tailpack-uninstall.exe). Throws ToolError naming where it looked when
// none exists, or when no uninstaller is made for the machine.
std::filesystem::path FindUninstaller(uint16_t machine, const std::filesystem::path& toolDirectory);

struct BuildOptions {
  std::filesystem::path manifest = "tailpack.toml";
  std::optional<std::filesystem::path> output;  // default: [setup] output, else "setup.exe"
  std::filesystem::path stub;
  // The generated uninstaller ([uninstall] generated = true); by default
  // FindUninstaller for the stub's machine in `toolDirectory` (empty: the
  // running tool's folder).
  std::optional<std::filesystem::path> uninstaller;
  std::filesystem::path toolDirectory;
  bool quiet = false;
  bool progress = false;  // draw a progress bar on the error stream while compressing
  std::optional<int64_t> sourceDateEpoch;
  size_t readChunk = kReadChunk;  // tests lower it to exercise the pieces
  StreamLayout layout;            // tests lower it to exercise the streaming layout
  // Above this the build warns that a 32-bit installer may not find the
  // memory to load the package: its 2 GiB of address space are split by
  // the system DLLs, and 1 GiB in one piece is what it can rely on.
  uint64_t installerMemoryWarning = uint64_t{1} << 30;
};

struct BuildResult {
  std::filesystem::path output;
  uint32_t fileCount = 0;
  uint32_t blobCount = 0;
  uint32_t languageCount = 0;
  uint64_t sourceBytes = 0;
  uint64_t unpackedSize = 0;
  uint64_t packedSize = 0;
  uint64_t installerSize = 0;
  uint64_t installerMemory = 0;         // what the installer holds at once to load the package
  bool streams = false;                 // the installer writes the files as it decodes them
  std::vector<std::string> warnings;    // package-level warnings, also written to the error stream
  double seconds = 0;
};

// Builds the installer. Warnings and the progress bar go to `err`, the
// summary (unless quiet) to `out`.
BuildResult BuildInstaller(const BuildOptions& options, std::ostream& out, std::ostream& err);

}  // namespace tailpack
