// `tailpack list|verify|extract`: finds the package in an installer exactly
// as the installer does (certificate-table entry or file size as the package
// end, trailer in the 36 bytes before it), decodes, verifies and shows it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "package/package.h"
#include "package/pe.h"
#include "tool/stream.h"

namespace tailpack {

// No --max-unpacked: any size the format can hold.
const uint64_t kNoUnpackedLimit = UINT64_MAX;

// One step of loading, in the installer's order.
struct LoadCheck {
  std::string id;      // "executable", "package-end", "trailer", "limit", ...
  std::string title;   // what was checked
  enum class State { kPassed, kFailed, kNotReached } state = State::kNotReached;
  std::string detail;  // what was found
};

// What a file that list, verify or extract read turned out to be.
enum class Verdict {
  kIntact,
  kNotAnInstaller,  // not a Windows executable, or one with no package at its end
  kEndsEarly,       // cut short: the file holds less than the package needs
  kOverLimit,       // claims more unpacked bytes than --max-unpacked; not decoded
  kNoMemory,        // the block could not be allocated
  kDamaged,         // a package that the installer refuses
};
// "intact", "not-an-installer", "ends-early", "over-limit", "no-memory", "damaged".
const char* VerdictId(Verdict verdict);

// Why the installer stops at once on a machine, as its gates decide (the
// Windows version first, then the architecture).
struct MachineRefusal {
  bool windows = false;       // the Windows version is not among the supported ones
  bool architecture = false;  // nor the architecture
  std::string text;           // "the installer refuses arm (it runs on x64 only)"
  std::string message;        // what the installer shows, e.g. "This operating system is not supported!"
};
// nullopt when the installer runs on `archMask`/`osMask`.
std::optional<MachineRefusal> RefusesMachine(const PackageHeader& header, uint32_t archMask, uint32_t osMask);

// An installer file and its package, loaded as far as the checks allow.
class Installer {
 public:
  // Reads `path` and runs every loader check, indexing for the machine
  // `archMask`/`osMask`. A trailer that claims more than `maxUnpacked`
  // bytes fails the decode check before anything is decoded. A block larger
  // than limits.inMemory is decoded in pieces and only its part before the
  // file data is kept (Streamed()); ForEachPiece then decodes it again for
  // the file data. Throws ToolError only when the file cannot be read (or
  // is not a regular file).
  //
  // With `dataLater` (extract) such a block is decoded only up to its file
  // data: the checks of the metadata run, and the decode and checksum
  // checks pass provisionally until ForEachPiece has decoded the rest once
  // and found the sum right (DataChecked()).
  Installer(const std::filesystem::path& path, uint32_t archMask, uint32_t osMask,
            uint64_t maxUnpacked = kNoUnpackedLimit, const DecodeLimits& limits = {}, bool dataLater = false);
  ~Installer();
  Installer(const Installer&) = delete;
  Installer& operator=(const Installer&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  bool Intact() const { return status_ == kPackageOk; }
  PackageStatus Status() const { return status_; }
  const std::vector<LoadCheck>& Checks() const { return checks_; }
  Verdict GetVerdict() const { return verdict_; }
  // The verdict in words: "package intact", "not a tailpack installer",
  // "the file ends early (an incomplete download?)", ...
  std::string Headline() const;
  // "FILE: " and the headline with the failed check (for errors).
  std::string FailureMessage() const;

  // Valid once the trailer was found.
  const PackageTrailer& Trailer() const { return trailer_; }
  uint64_t FileSize() const { return fileSize_; }
  uint64_t PackageEnd() const { return packageEnd_; }
  uint64_t TrailerStart() const { return trailerStart_; }
  uint64_t PackedStart() const { return packedStart_; }
  const PeFacts& Facts() const { return facts_; }
  // The 5 LZMA property bytes of the packed block (valid once located).
  const uint8_t* Packed() const { return properties_; }

  // Valid when Intact().
  const Catalogue& Package() const { return catalogue_; }
  uint32_t ArchMask() const { return archMask_; }
  uint32_t OsMask() const { return osMask_; }

  // True when the block was too large to keep: the catalogue then holds
  // the header, entries, texts and names, and no file data.
  bool Streamed() const { return streamed_; }
  // Decodes the block again (intact packages), handing each piece of at
  // most limits.piece bytes and its offset in the block to `sink`, in order.
  // Opened with `dataLater`, the first call decodes only what was not yet
  // decoded (the pieces before it come from memory) and then checks the
  // sum: a stream that fails or ends early, or a wrong sum, fails the decode
  // or checksum check and throws ToolError(FailureMessage()).
  void ForEachPiece(const DecodedSink& sink);
  // False while a `dataLater` block's rest is not decoded and summed.
  bool DataChecked() const { return decoder_ == nullptr; }

  // Signature facts: a certificate table at the package end.
  bool Signed() const { return facts_.certificateOffset != 0; }
  std::string SignatureDescription() const;

 private:
  void Run();
  // Why the header, decoded alone from the first packed bytes, cannot
  // describe the block the trailer claims; nullopt when it can.
  std::optional<std::string> CheckHeaderFirst();

  PackageStatus Decode();
  PackageStatus DecodeStreamed();
  PackageStatus DecodeHead();
  // Whether the names of an indexed block lie within its first `keep` bytes.
  bool MetadataKept(const uint8_t* block, uint64_t keep) const;
  // What a file without a package trailer is: cut short, or no installer.
  Verdict WithoutTrailer();
  void FailData(PackageStatus status, bool endedEarly);
  std::vector<uint8_t> ReadAt(uint64_t offset, uint64_t size);

  std::filesystem::path path_;
  std::ifstream file_;
  uint64_t fileSize_ = 0;
  std::vector<uint8_t> head_;  // the first 4096 bytes (PE headers)
  uint8_t properties_[kLzmaPropertiesSize] = {};
  std::vector<uint8_t> certificateHead_;  // the certificate table (its first MiB)
  DecodeLimits limits_;
  bool streamed_ = false;
  uint32_t archMask_, osMask_;
  uint64_t maxUnpacked_;
  bool dataLater_;
  // A dataLater block: its decoder, and the piece it stopped in.
  std::unique_ptr<PieceDecoder> decoder_;
  uint64_t pendingOffset_ = 0;
  const uint8_t* pendingData_ = nullptr;
  size_t pendingSize_ = 0;
  bool endedEarly_ = false;  // the last decode failed for want of packed bytes
  bool headFailed_ = false;  // the metadata DecodeHead decoded did not index
  PackageStatus status_ = kPackageOk;
  Verdict verdict_ = Verdict::kIntact;
  std::string reason_;  // for FailureMessage, when the failed check alone says it less plainly
  std::vector<LoadCheck> checks_;
  PeFacts facts_{};
  PackageTrailer trailer_{};
  uint64_t packageEnd_ = 0, trailerStart_ = 0, packedStart_ = 0;
  Catalogue catalogue_{};
  bool haveCatalogue_ = false;
};

struct ListOptions {
  uint32_t archMask = kArchX64;
  uint32_t osMask = kOsWindows10;
  bool json = false;
  uint32_t codePage = 1252;
  bool texts = false;  // also print the 23 texts of every language
  uint64_t maxUnpacked = kNoUnpackedLimit;
  DecodeLimits limits;
};
// Throws ToolError when the package is not intact. On a machine the
// installer refuses (RefusesMachine) it says so, and no entry is selected.
void ListInstaller(const std::filesystem::path& path, const ListOptions& options, std::ostream& out);

// Whether an installer of package `c` (indexed for `archMask`/`osMask`)
// writes the files as it decodes them, holding only the first `heldSize`
// bytes: the block is over `streamThreshold`, everything but file data and
// the info text's data lie in those bytes, and the selected entries can be
// written in one pass. Otherwise it holds the whole block.
bool InstallerStreams(const Catalogue& c, uint32_t archMask, uint32_t osMask,
                      uint32_t streamThreshold = kStreamThreshold, uint32_t heldSize = kStreamHeldSize);

struct VerifyOptions {
  bool json = false;
  uint32_t codePage = 1252;  // of the file names quoted in notes
  uint64_t maxUnpacked = kNoUnpackedLimit;
  DecodeLimits limits;
};
// Prints every check; returns true when the package is intact.
bool VerifyInstaller(const std::filesystem::path& path, const VerifyOptions& options, std::ostream& out);
inline bool VerifyInstaller(const std::filesystem::path& path, bool json, std::ostream& out,
                            const DecodeLimits& limits = {}) {
  VerifyOptions options;
  options.json = json;
  options.limits = limits;
  return VerifyInstaller(path, options, out);
}

struct ExtractOptions {
  std::filesystem::path directory;
  uint32_t archMask = kArchX64;
  uint32_t osMask = kOsWindows10;
  bool all = false;
  bool quiet = false;
  uint32_t codePage = 1252;
  uint64_t maxUnpacked = kNoUnpackedLimit;
  DecodeLimits limits;
};
// Writes the selected entries (or all) below options.directory with their
// directories and modification times, never following a symbolic link that
// already exists inside the directory. Every file is written under a
// temporary name and renamed into place only when all are written and the
// package's sum is right; a block too large to hold is decoded once, its
// file data written as it comes. Any failure before that removes what this
// run made (temporary files, folders) and leaves the directory as it was.
// Without options.all, a machine the installer refuses is refused
// (ToolError). Returns the number of files written.
uint32_t ExtractInstaller(const std::filesystem::path& path, const ExtractOptions& options, std::ostream& out,
                          std::ostream& err);

// Windows FILETIME to "2024-03-01 12:34:56 UTC" (and to POSIX time).
std::string FormatFileTime(uint64_t fileTime);
void FileTimeToUnix(uint64_t fileTime, int64_t* seconds, uint32_t* nanoseconds);

}  // namespace tailpack
