// Package writer for the host tool and the tests: lays out an unpacked block,
// compresses it as raw LZMA1 and appends it, with its trailer, to a runtime
// executable image.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "package/format.h"
#include "package/uninstall_record.h"

namespace tailpack {

struct WriterError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct LanguageTexts {
  uint16_t langId = 0x0409;
  std::u16string name;
  std::array<std::u16string, kUiTextCount> texts;
};

struct PackageFile {
  std::string name;          // relative path, "\" separated, system ANSI code page
  uint32_t flags = 0;        // kEntry* bits as stored (0 = all machines)
  uint64_t modificationTime = 0;  // FILETIME
  uint32_t blob = 0;         // index into PackageContents::blobs
};

// Everything a package holds. Blobs are stored in the order given; several
// files may share one blob (identical contents are stored once).
struct PackageContents {
  uint16_t supportedVersions = 0;
  uint16_t infoEntry = kNoInfoEntry;
  uint8_t supportedArchs = 0;
  uint8_t flags = 0;
  std::vector<LanguageTexts> languages;
  std::array<std::u16string, kSettingCount> settings;
  std::vector<PackageFile> files;
  std::vector<std::vector<uint8_t>> blobs;
};

// Where each region of a laid-out block begins (tests patch blocks by it).
struct BlockLayout {
  uint32_t entries = 0;
  uint32_t languages = 0;
  uint32_t settings = 0;
  uint32_t names = 0;
  uint32_t data = 0;
};

// Lays out the unpacked block. Names are stored once each. Throws
// WriterError when the block would reach 4 GiB or a count does not fit its
// field.
std::vector<uint8_t> BuildBlock(const PackageContents& contents, BlockLayout* layout = nullptr);

// The block without its file data: header, entries, languages, settings and
// names, with the entries pointing at blobs of `blobSizes` that follow it
// in order (contents.blobs is not read). BuildBlock is this head followed
// by the blobs; a streaming writer sends the blobs' bytes after it. Throws
// like BuildBlock.
std::vector<uint8_t> BuildBlockHead(const PackageContents& contents, const std::vector<uint64_t>& blobSizes,
                                    BlockLayout* layout = nullptr);

// What an uninstall record holds (package/uninstall_record.h).
struct UninstallRecordContents {
  uint8_t flags = 0;  // kRecordFlag* bits
  std::array<std::u16string, kRecordSettingCount> settings;  // empty = absent
  struct Language {
    uint16_t langId = 0x0409;
    std::array<std::u16string, kUninstallTextCount> texts;
  };
  std::vector<Language> languages;  // the first is the fallback
  std::vector<std::string> files;    // 8-bit names, as the name table holds them
  std::vector<std::string> folders;  // deepest first
};

// The record's bytes. Throws WriterError when a count does not fit its
// field or the record would exceed kMaxRecordSize.
std::vector<uint8_t> BuildUninstallRecord(const UninstallRecordContents& contents);

struct LzmaSettings {
  uint32_t preset = 9;          // 0..9, liblzma presets
  // Not extreme: the extreme variant made packages only 0.2 to 0.9% smaller
  // for about 1.3 times the build time, which put builds behind the peer's
  // (make bench).
  bool extreme = false;         // LZMA_PRESET_EXTREME
  uint32_t dictionarySize = 8u << 20;
  // pb 0: no position bits gave smaller packages on both text and x86-64
  // code (make bench: 0.3% and 0.6% against pb 2).
  uint32_t lc = 3, lp = 0, pb = 0;
  bool endMarker = false;
};

// Progress callback: bytes consumed so far of `total`.
using ProgressCallback = void (*)(uint64_t done, uint64_t total, void* context);

// Raw LZMA1 stream: 5 property bytes and the data, with or without an end
// marker. Throws WriterError on invalid settings or encoder failure.
std::vector<uint8_t> CompressBlock(const std::vector<uint8_t>& block, const LzmaSettings& settings,
                                   ProgressCallback progress = nullptr, void* context = nullptr);

// The same stream made from a block that arrives in pieces: the packed
// bytes go to `sink` as the encoder produces them, so memory stays at the
// encoder's own needs whatever the block's size. Also sums the block's
// bytes for the trailer. Throws WriterError on invalid settings, encoder
// failure or a block or stream that reaches 4 GiB.
class StreamCompressor {
 public:
  using Sink = std::function<void(const uint8_t* data, size_t size)>;
  StreamCompressor(const LzmaSettings& settings, Sink sink);
  ~StreamCompressor();
  StreamCompressor(const StreamCompressor&) = delete;
  StreamCompressor& operator=(const StreamCompressor&) = delete;

  void Write(const uint8_t* data, size_t size);
  // Ends the stream; Write must not follow.
  void Finish();
  // The trailer of what was written (valid after Finish).
  PackageTrailer Trailer() const;
  uint64_t UnpackedSize() const { return unpacked_; }
  uint64_t PackedSize() const { return packed_; }

 private:
  void Run(int action);
  struct Encoder;
  std::unique_ptr<Encoder> encoder_;
  Sink sink_;
  uint64_t unpacked_ = 0;
  uint64_t packed_ = 0;
  uint64_t memory_ = 0;  // what the encoder needs, for messages
  uint32_t checksum_ = 0;
  bool finished_ = false;
};

PackageTrailer MakeTrailer(const std::vector<uint8_t>& block, const std::vector<uint8_t>& packed);
std::vector<uint8_t> EncodeTrailer(const PackageTrailer& trailer);

// Cuts `image` at the end of its last section (dropping any earlier package
// or signature), clears its certificate-table entry, and appends the packed
// block, the trailer and `slack` zero bytes. Throws WriterError when the
// image is not a PE executable.
std::vector<uint8_t> AppendPackage(const std::vector<uint8_t>& image,
                                   const std::vector<uint8_t>& packed,
                                   const PackageTrailer& trailer, uint32_t slack = 0);

// `image` cut at the end of its last section with its certificate-table
// entry cleared: what AppendPackage puts before the packed block. Throws
// WriterError when the image is not a PE executable.
std::vector<uint8_t> PrepareImage(const std::vector<uint8_t>& image);

// Convenience for tests: BuildBlock, CompressBlock, AppendPackage.
std::vector<uint8_t> WriteInstaller(const std::vector<uint8_t>& image,
                                    const PackageContents& contents,
                                    const LzmaSettings& settings = {}, uint32_t slack = 0);

// Points the certificate-table entry of a PE image at `offset` with `size`.
void SetCertificateEntry(std::vector<uint8_t>& image, uint32_t offset, uint32_t size);

// The 23 English texts of the default language (used by tests and as the
// base of the tool's language table).
LanguageTexts EnglishLanguage();

}  // namespace tailpack
