#include "package/writer.h"

#include <lzma.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "package/pe.h"

namespace tailpack {
namespace {

void PutU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutText(std::vector<uint8_t>& out, const std::u16string& text) {
  for (char16_t unit : text) {
    if (unit == 0) throw WriterError("a text contains a NUL character");
    PutU16(out, unit);
  }
  PutU16(out, 0);
}

void PatchU32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t CheckedOffset(size_t value) {
  if (value > 0xFFFFFFFFu) throw WriterError("the unpacked package would reach 4 GiB");
  return static_cast<uint32_t>(value);
}

// What an answer of the encoder means and what the user can do about it.
// `memory` is what the encoder needs with the package's settings.
std::string LzmaFailure(lzma_ret ret, uint64_t memory) {
  switch (ret) {
    case LZMA_MEM_ERROR:
      return "LZMA compression ran out of memory (it needs about " + std::to_string(memory >> 20) +
             " MiB with these settings); lower [compression] dictionary or preset, or free memory";
    case LZMA_OPTIONS_ERROR:
      return "liblzma refused the compression settings; change the [compression] settings";
    default:
      return "LZMA compression failed (liblzma error " + std::to_string(static_cast<int>(ret)) +
             "); build again, and if it fails the same way, report it with the manifest";
  }
}

}  // namespace

std::vector<uint8_t> BuildBlock(const PackageContents& c, BlockLayout* layout) {
  std::vector<uint64_t> sizes;
  for (const std::vector<uint8_t>& blob : c.blobs) sizes.push_back(blob.size());
  std::vector<uint8_t> out = BuildBlockHead(c, sizes, layout);
  for (const std::vector<uint8_t>& blob : c.blobs) out.insert(out.end(), blob.begin(), blob.end());
  return out;
}

std::vector<uint8_t> BuildBlockHead(const PackageContents& c, const std::vector<uint64_t>& blobSizes,
                                    BlockLayout* layout) {
  if (c.languages.empty() || c.languages.size() > 255) {
    throw WriterError("a package needs 1 to 255 languages");
  }
  if (c.files.size() > 0xFFFFFFFFu / kFileEntrySize) throw WriterError("too many files");
  BlockLayout where;
  std::vector<uint8_t> out;
  PutU32(out, static_cast<uint32_t>(c.files.size()));
  PutU16(out, c.supportedVersions);
  PutU16(out, c.infoEntry);
  out.push_back(static_cast<uint8_t>(c.languages.size()));
  out.push_back(c.supportedArchs);
  out.push_back(c.flags);
  out.push_back(0);

  where.entries = CheckedOffset(out.size());
  out.resize(out.size() + c.files.size() * kFileEntrySize);

  where.languages = CheckedOffset(out.size());
  for (const LanguageTexts& language : c.languages) {
    PutU16(out, language.langId);
    PutText(out, language.name);
    for (const std::u16string& text : language.texts) PutText(out, text);
  }
  where.settings = CheckedOffset(out.size());
  for (const std::u16string& setting : c.settings) PutText(out, setting);

  where.names = CheckedOffset(out.size());
  std::map<std::string, uint32_t> nameOffsets;
  std::vector<uint32_t> fileNameOffsets;
  for (const PackageFile& file : c.files) {
    if (file.name.find('\0') != std::string::npos) throw WriterError("a file name contains NUL");
    auto [it, inserted] = nameOffsets.try_emplace(file.name, 0);
    if (inserted) {
      it->second = CheckedOffset(out.size() - where.names);
      out.insert(out.end(), file.name.begin(), file.name.end());
      out.push_back(0);
    }
    fileNameOffsets.push_back(it->second);
  }

  where.data = CheckedOffset(out.size());
  std::vector<uint32_t> blobOffsets;
  uint64_t end = out.size();
  for (uint64_t size : blobSizes) {
    blobOffsets.push_back(CheckedOffset(end));
    end += size;
    CheckedOffset(end);
  }

  for (size_t i = 0; i < c.files.size(); ++i) {
    const PackageFile& file = c.files[i];
    if (file.blob >= blobSizes.size()) throw WriterError("a file refers to missing data");
    size_t at = where.entries + i * kFileEntrySize;
    PatchU32(out, at + 0, static_cast<uint32_t>(file.modificationTime));
    PatchU32(out, at + 4, static_cast<uint32_t>(file.modificationTime >> 32));
    PatchU32(out, at + 8, file.flags);
    PatchU32(out, at + 12, 0);
    PatchU32(out, at + 16, static_cast<uint32_t>(blobSizes[file.blob]));
    PatchU32(out, at + 20, fileNameOffsets[i]);
    PatchU32(out, at + 24, blobOffsets[file.blob]);
  }
  if (layout) *layout = where;
  return out;
}

std::vector<uint8_t> BuildUninstallRecord(const UninstallRecordContents& c) {
  if (c.languages.empty() || c.languages.size() > 255) {
    throw WriterError("an uninstall record needs 1 to 255 languages");
  }
  if (c.files.size() > 0xFFFFFFFFu || c.folders.size() > 0xFFFFFFFFu) {
    throw WriterError("too many names for an uninstall record");
  }
  std::vector<uint8_t> out;
  PutU32(out, kRecordMagic);
  out.push_back(kRecordVersion);
  out.push_back(c.flags);
  out.push_back(static_cast<uint8_t>(c.languages.size()));
  out.push_back(0);
  PutU32(out, static_cast<uint32_t>(c.files.size()));
  PutU32(out, static_cast<uint32_t>(c.folders.size()));
  for (const std::u16string& setting : c.settings) PutText(out, setting);
  for (const UninstallRecordContents::Language& language : c.languages) {
    PutU16(out, language.langId);
    for (const std::u16string& text : language.texts) PutText(out, text);
  }
  auto checkSize = [&out] {
    if (out.size() > kMaxRecordSize) {
      throw WriterError("the uninstall record would exceed " + std::to_string(kMaxRecordSize >> 20) + " MiB");
    }
  };
  checkSize();
  // Checked as the names go in, so that a huge list stops at the limit.
  for (const std::vector<std::string>* names : {&c.files, &c.folders}) {
    for (const std::string& name : *names) {
      if (name.find('\0') != std::string::npos) throw WriterError("a record name contains NUL");
      out.insert(out.end(), name.begin(), name.end());
      out.push_back(0);
      checkSize();
    }
  }
  return out;
}

struct StreamCompressor::Encoder {
  lzma_stream stream = LZMA_STREAM_INIT;
  ~Encoder() { lzma_end(&stream); }
};

StreamCompressor::StreamCompressor(const LzmaSettings& s, Sink sink)
    : encoder_(std::make_unique<Encoder>()), sink_(std::move(sink)) {
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, s.preset | (s.extreme ? LZMA_PRESET_EXTREME : 0))) {
    throw WriterError("invalid compression preset");
  }
  options.dict_size = s.dictionarySize;
  options.lc = s.lc;
  options.lp = s.lp;
  options.pb = s.pb;
  options.ext_flags = s.endMarker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
  options.ext_size_low = 0;
  options.ext_size_high = 0;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};

  uint8_t properties[kLzmaPropertiesSize];
  if (lzma_properties_encode(filters, properties) != LZMA_OK) {
    throw WriterError("invalid LZMA properties");
  }
  memory_ = lzma_raw_encoder_memusage(filters);
  if (lzma_ret started = lzma_raw_encoder(&encoder_->stream, filters); started != LZMA_OK) {
    throw WriterError("the LZMA encoder cannot start: " + LzmaFailure(started, memory_));
  }
  sink_(properties, kLzmaPropertiesSize);
  packed_ = kLzmaPropertiesSize;
}

StreamCompressor::~StreamCompressor() = default;

// Feeds the pending input to the encoder (LZMA_RUN) or ends the stream
// (LZMA_FINISH), handing every output buffer to the sink. liblzma answers
// LZMA_BUF_ERROR to the second call in a row that can neither take input
// nor give output, so a run stops as soon as the input is taken and the
// encoder left room in the buffer; it only asks again when the buffer was
// filled, and a call that then has nothing left to give is the end of the
// run, not a failure.
void StreamCompressor::Run(int action) {
  uint8_t buffer[1 << 16];
  lzma_stream& stream = encoder_->stream;
  for (;;) {
    stream.next_out = buffer;
    stream.avail_out = sizeof(buffer);
    size_t before = stream.avail_in;
    lzma_ret ret = lzma_code(&stream, static_cast<lzma_action>(action));
    size_t produced = sizeof(buffer) - stream.avail_out;
    if (produced != 0) {
      packed_ += produced;
      if (packed_ > 0xFFFFFFFFu) throw WriterError("the packed package would reach 4 GiB");
      sink_(buffer, produced);
    }
    if (ret == LZMA_STREAM_END) return;
    bool idle = produced == 0 && stream.avail_in == before;
    if (action == LZMA_RUN && ret == LZMA_BUF_ERROR && idle && stream.avail_in == 0) return;
    if (ret != LZMA_OK) throw WriterError(LzmaFailure(ret, memory_));
    // Running: done once the input is taken and the buffer was not filled.
    if (action == LZMA_RUN && stream.avail_in == 0 && stream.avail_out != 0) return;
  }
}

void StreamCompressor::Write(const uint8_t* data, size_t size) {
  if (finished_) throw WriterError("the package stream is already finished");
  // Nothing to encode: an empty file or folder entry adds no bytes, and a
  // call to the encoder without input could only be a call without progress.
  if (size == 0) return;
  if (size > 0xFFFFFFFFu - unpacked_) throw WriterError("the unpacked package would reach 4 GiB");
  uint32_t sum = checksum_;
  for (size_t i = 0; i < size; ++i) sum += data[i];
  checksum_ = sum;
  unpacked_ += size;
  encoder_->stream.next_in = data;
  encoder_->stream.avail_in = size;
  Run(LZMA_RUN);
}

void StreamCompressor::Finish() {
  if (finished_) return;
  finished_ = true;
  encoder_->stream.next_in = nullptr;
  encoder_->stream.avail_in = 0;
  Run(LZMA_FINISH);
}

PackageTrailer StreamCompressor::Trailer() const {
  PackageTrailer trailer;
  trailer.checksum = checksum_;
  trailer.unpackedSize = static_cast<uint32_t>(unpacked_);
  trailer.packedSize = static_cast<uint32_t>(packed_);
  trailer.extraSize = 0;
  trailer.magic = kTrailerMagic;
  return trailer;
}

std::vector<uint8_t> CompressBlock(const std::vector<uint8_t>& block, const LzmaSettings& s,
                                   ProgressCallback progress, void* context) {
  std::vector<uint8_t> out;
  StreamCompressor compressor(s, [&out](const uint8_t* data, size_t size) {
    out.insert(out.end(), data, data + size);
  });
  const size_t kInChunk = 1 << 20;
  size_t consumed = 0;
  while (consumed < block.size()) {
    size_t take = std::min(kInChunk, block.size() - consumed);
    compressor.Write(block.data() + consumed, take);
    consumed += take;
    if (progress) progress(consumed, block.size(), context);
  }
  compressor.Finish();
  return out;
}

PackageTrailer MakeTrailer(const std::vector<uint8_t>& block, const std::vector<uint8_t>& packed) {
  if (block.size() > 0xFFFFFFFFu || packed.size() > 0xFFFFFFFFu) {
    throw WriterError("the package would reach 4 GiB");
  }
  PackageTrailer trailer;
  trailer.checksum = ComputeChecksum(block.data(), static_cast<uint32_t>(block.size()));
  trailer.unpackedSize = static_cast<uint32_t>(block.size());
  trailer.packedSize = static_cast<uint32_t>(packed.size());
  trailer.extraSize = 0;
  trailer.magic = kTrailerMagic;
  return trailer;
}

std::vector<uint8_t> EncodeTrailer(const PackageTrailer& t) {
  std::vector<uint8_t> out;
  PutU32(out, t.checksum);
  PutU32(out, t.unpackedSize);
  PutU32(out, t.packedSize);
  PutU32(out, t.extraSize);
  PutU32(out, t.magic);
  return out;
}

static PeFacts RequirePe(const std::vector<uint8_t>& image) {
  PeFacts facts;
  uint32_t size = image.size() > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(image.size());
  if (ReadPeFacts(image.data(), size, &facts) != kPackageOk || facts.imageEnd > image.size()) {
    throw WriterError("the runtime image is not a PE executable");
  }
  return facts;
}

void SetCertificateEntry(std::vector<uint8_t>& image, uint32_t offset, uint32_t size) {
  PeFacts facts = RequirePe(image);
  PatchU32(image, facts.certificateEntryOffset, offset);
  PatchU32(image, facts.certificateEntryOffset + 4, size);
}

std::vector<uint8_t> PrepareImage(const std::vector<uint8_t>& image) {
  PeFacts facts = RequirePe(image);
  std::vector<uint8_t> out(image.begin(), image.begin() + facts.imageEnd);
  PatchU32(out, facts.certificateEntryOffset, 0);
  PatchU32(out, facts.certificateEntryOffset + 4, 0);
  return out;
}

std::vector<uint8_t> AppendPackage(const std::vector<uint8_t>& image,
                                   const std::vector<uint8_t>& packed,
                                   const PackageTrailer& trailer, uint32_t slack) {
  std::vector<uint8_t> out = PrepareImage(image);
  out.insert(out.end(), packed.begin(), packed.end());
  std::vector<uint8_t> encoded = EncodeTrailer(trailer);
  out.insert(out.end(), encoded.begin(), encoded.end());
  out.insert(out.end(), slack, 0);
  return out;
}

std::vector<uint8_t> WriteInstaller(const std::vector<uint8_t>& image,
                                    const PackageContents& contents, const LzmaSettings& settings,
                                    uint32_t slack) {
  std::vector<uint8_t> block = BuildBlock(contents);
  std::vector<uint8_t> packed = CompressBlock(block, settings);
  return AppendPackage(image, packed, MakeTrailer(block, packed), slack);
}

LanguageTexts EnglishLanguage() {
  LanguageTexts english;
  english.langId = 0x0409;
  english.name = u"English";
  english.texts = {
      u"Setup - %s",
      u"< &Back",
      u"&Next >",
      u"&Install",
      u"Cancel",
      u"License Agreement",
      u"Please read the following important information before continuing.",
      u"I &accept the agreement",
      u"Select Destination Location",
      u"Where should %s be installed?",
      u"&Browse...",
      u"Installing",
      u"Please wait while Setup installs %s on your computer.",
      u"Installation completed successfully",
      u"Installation failed",
      u"Click Finish to exit Setup.",
      u"&Finish",
      u"Launch %s",
      u"Select a folder in the list below, then click OK.",
      u"Create a &desktop shortcut",
      u"The folder:\r\n\r\n%s\r\n\r\nalready exists. Would you like to install to that folder anyway?",
      u"You must be logged in as an administrator when installing this program.",
      u"Setup has detected that %s is currently running.\r\n\r\nPlease close all instances of it "
      u"now, then click OK to continue, or Cancel to exit.",
  };
  return english;
}

}  // namespace tailpack
