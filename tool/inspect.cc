#include "tool/inspect.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <algorithm>
#include <map>
#include <optional>
#include <span>
#include <unordered_map>

#include "base/memory.h"
#include "package/byte_reader.h"
#include "package/uninstall_record.h"
#include "tool/encoding.h"
#include "tool/errors.h"
#include "tool/json.h"
#include "tool/limits.h"
#include "tool/machine_names.h"
#include "tool/signature.h"
#include "tool/system.h"

namespace fs = std::filesystem;

namespace tailpack {
namespace {

// The installer reads its PE headers from the first page of its image.
const uint32_t kHeaderPage = 4096;

const char* const kSettingNames[kSettingCount] = {
    "ProductName", "ProductVersion", "MainExecutable", "LaunchTarget",
    "MutexName",   "WindowClass",    "WindowTitle",    "Publisher",
    "DefaultFolder", "ConfigCommand", "UninstallArguments", "UnsupportedOsLink"};

std::string Hex(uint64_t value, int digits = 0) {
  char text[24];
  snprintf(text, sizeof text, "0x%0*" PRIx64, digits, value);
  return text;
}

uint32_t Read32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

std::string MachineName(uint16_t machine) {
  switch (machine) {
    case 0x014C: return "i386";
    case 0x8664: return "x86-64";
    case 0xAA64: return "arm64";
    case 0x01C4: return "arm";
    default: return "machine " + Hex(machine, 4);
  }
}

std::string DictionaryText(uint32_t size) {
  if (size >= (1u << 20) && size % (1u << 20) == 0) return std::to_string(size >> 20) + " MiB";
  if (size >= 1024 && size % 1024 == 0) return std::to_string(size >> 10) + " KiB";
  return std::to_string(size) + " bytes";
}

std::string ShowText(const Char16* text) {
  return text ? Utf16ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(text))) : std::string();
}

// A stored name for display: decoded from the code page, else with bytes
// outside ASCII escaped.
std::string ShowName(const char* name, uint32_t codePage) {
  if (std::optional<std::string> text = DecodeCodePage(name, codePage)) return *text;
  std::string out;
  for (const char* p = name; *p; ++p) {
    unsigned char u = static_cast<unsigned char>(*p);
    if (u < 0x80) {
      out += *p;
    } else {
      char code[8];
      snprintf(code, sizeof code, "\\x%02X", u);
      out += code;
    }
  }
  return out;
}

std::vector<std::string> MaskNames(uint32_t mask, bool windows) {
  std::vector<std::string> names;
  std::string text = windows ? DescribeWindowsMask(mask) : DescribeArchMask(mask);
  size_t start = 0;
  while (start <= text.size()) {
    size_t slash = text.find('/', start);
    if (slash == std::string::npos) slash = text.size();
    names.push_back(text.substr(start, slash - start));
    start = slash + 1;
  }
  return names;
}

std::string FlagWords(uint32_t flags) {
  std::string words;
  auto add = [&](const char* w) { words += (words.empty() ? "" : ",") + std::string(w); };
  if (flags & kEntryListedOnly) add("listed-only");
  if (flags & kEntryReplaceInUse) add("replace-in-use");
  if (flags & kEntryUninstaller) add("uninstaller");
  if (((flags >> kEntryOsShift) & kAllWindows) == 0) add("never-installed");
  return words.empty() ? "-" : words;
}

std::string StatusMessage(PackageStatus status) {
  switch (status) {
    case kPackageOk: return "intact";
    case kPackageNotExecutable: return "not a Windows executable";
    case kPackageUnreadable: return "cannot be read";
    case kPackageNoTrailer: return "no package trailer before the package end";
    case kPackageBadTrailer: return "the trailer's packed size does not fit before it";
    case kPackageBadProperties: return "invalid LZMA properties";
    case kPackageDataError: return "the compressed data is damaged or ends early";
    case kPackageChecksumMismatch: return "the checksum does not match";
    case kPackageBadLayout: return "a count, offset or text lies outside the unpacked block";
    case kPackageUnsafeName: return "a file name could leave the install folder";
    case kPackageNoProductName: return "ProductName is missing";
    case kPackageNoMemory: return "out of memory";
    case kPackageUnsafeFormat: return "a format text asks for arguments the installer does not pass";
    case kPackageBadSetting: return "a setting the installer cannot use";
  }
  return "unknown failure";
}

// Why decoding failed; a stream that runs out before the block is full is
// told apart from a corrupt one.
std::string DecodeFailure(PackageStatus status, bool endedEarly) {
  if (status == kPackageDataError) {
    return endedEarly ? "the packed data ends before the block is full" : "the compressed data is damaged";
  }
  return StatusMessage(status);
}

// Why an uninstall record does not parse, in the uninstaller's terms.
std::string RecordStatusMessage(PackageStatus status) {
  switch (status) {
    case kPackageBadLayout:
      return "a count, text or name lies outside the record, or bytes follow its last name";
    case kPackageNoProductName: return "ProductName is missing";
    case kPackageBadSetting: return "ProductName cannot name the uninstall key";
    case kPackageUnsafeFormat: return "a format text asks for arguments the uninstaller does not pass";
    case kPackageUnsafeName: return "a name could leave the install folder";
    default: return StatusMessage(status);
  }
}

// An uninstall record entry: a kRecordExtension file in a product's folder
// right inside kUninstallFolder, as the uninstaller finds them.
bool IsRecordEntry(const Catalogue& c, const FileEntry& e) {
  if (e.flags & kEntryListedOnly) return false;
  std::string name = EntryName(&c, &e);
  std::string folder = std::string(kUninstallFolder) + "\\", extension = kRecordExtension;
  if (name.size() <= folder.size() + extension.size()) return false;
  for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  size_t product = name.find_first_of("\\/", folder.size());
  return name.compare(0, folder.size(), folder) == 0 && product != std::string::npos && product > folder.size() &&
         name.find_first_of("\\/", product + 1) == std::string::npos &&
         name.compare(name.size() - extension.size(), extension.size(), extension) == 0;
}

// What one uninstall record holds, or why it does not parse.
struct RecordSummary {
  uint32_t entry = 0;
  PackageStatus status = kPackageOk;
  uint32_t files = 0, folders = 0, languages = 0;
  std::string product;
};

// Parses every uninstall record of an intact package. A streamed package
// is decoded again for their data, and only when it has any.
std::vector<RecordSummary> ReadUninstallRecords(Installer& installer) {
  const Catalogue& c = installer.Package();
  std::vector<RecordSummary> summaries;
  std::vector<std::vector<uint8_t>> data;
  for (uint32_t i = 0; i < c.header.fileCount; ++i) {
    const FileEntry& e = c.entries[i];
    if (!IsRecordEntry(c, e)) continue;
    RecordSummary summary;
    summary.entry = i;
    if (e.size > kMaxRecordSize) summary.status = kPackageBadLayout;
    summaries.push_back(summary);
    data.emplace_back(summary.status == kPackageOk ? e.size : 0);
    if (!installer.Streamed() && summary.status == kPackageOk) {
      std::memcpy(data.back().data(), c.block + e.dataOffset, e.size);
    }
  }
  if (installer.Streamed() && !summaries.empty()) {
    installer.ForEachPiece([&](uint64_t offset, const uint8_t* bytes, size_t size) {
      for (size_t k = 0; k < summaries.size(); ++k) {
        const FileEntry& e = c.entries[summaries[k].entry];
        uint64_t from = std::max<uint64_t>(offset, e.dataOffset);
        uint64_t to = std::min<uint64_t>(offset + size, uint64_t{e.dataOffset} + data[k].size());
        if (from < to) std::memcpy(data[k].data() + (from - e.dataOffset), bytes + (from - offset), to - from);
      }
    });
  }
  for (size_t k = 0; k < summaries.size(); ++k) {
    RecordSummary& summary = summaries[k];
    if (summary.status != kPackageOk) continue;
    // The vector's storage is aligned for any scalar, as the parser needs.
    UninstallRecord record;
    summary.status = ParseUninstallRecord(data[k].data(), static_cast<uint32_t>(data[k].size()), &record);
    if (summary.status != kPackageOk) continue;
    summary.files = record.fileCount;
    summary.folders = record.folderCount;
    summary.languages = record.languageCount;
    summary.product = ShowText(record.settings[kRecordProductName]);
    ReleaseUninstallRecord(&record);
  }
  return summaries;
}

std::string DescribeRecord(const RecordSummary& r) {
  if (r.status != kPackageOk) return "damaged: " + RecordStatusMessage(r.status);
  return std::to_string(r.files) + " file" + (r.files == 1 ? "" : "s") + ", " + std::to_string(r.folders) +
         " folder" + (r.folders == 1 ? "" : "s") + ", " + std::to_string(r.languages) + " language" +
         (r.languages == 1 ? "" : "s");
}

}  // namespace

const char* VerdictId(Verdict verdict) {
  switch (verdict) {
    case Verdict::kIntact: return "intact";
    case Verdict::kNotAnInstaller: return "not-an-installer";
    case Verdict::kEndsEarly: return "ends-early";
    case Verdict::kOverLimit: return "over-limit";
    case Verdict::kNoMemory: return "no-memory";
    case Verdict::kDamaged: break;
  }
  return "damaged";
}

std::optional<MachineRefusal> RefusesMachine(const PackageHeader& header, uint32_t archMask, uint32_t osMask) {
  // The installer's gates, in its order: the Windows version, then the
  // architecture; a field of 0 allows every machine.
  MachineRefusal refusal;
  uint32_t versions = header.supportedVersions, architectures = header.supportedArchs;
  refusal.windows = versions != 0 && (versions & osMask & 0xFFFF) == 0;
  refusal.architecture = architectures != 0 && (architectures & archMask) == 0;
  if (!refusal.windows && !refusal.architecture) return std::nullopt;
  std::string text;
  if (refusal.windows) {
    text = "Windows " + DescribeWindowsMask(osMask) + " (it runs on " +
           ((versions & kAllWindows) == 0 ? std::string("no Windows version this tool knows")
                                          : "Windows " + DescribeWindowsMask(versions) + " only") +
           ")";
  }
  if (refusal.architecture) {
    text += (text.empty() ? "" : " and ") + DescribeArchMask(archMask) + " (it runs on " +
            ((architectures & kAllArchitectures) == 0 ? std::string("no architecture this tool knows")
                                                      : DescribeArchMask(architectures) + " only") +
            ")";
  }
  refusal.text = "the installer refuses " + text;
  if (refusal.windows) {
    refusal.message = "This operating system is not supported!";
  } else {
    std::string list;
    const char* const kNames[] = {"x86", "x64", "arm64", "arm"};
    for (uint32_t bit = 0; bit < 4; ++bit) {
      if (architectures & (1u << bit)) list += (list.empty() ? "" : "/") + std::string(kNames[bit]);
    }
    refusal.message = "This setup can only be installed on Windows " + list + "!";
  }
  return refusal;
}

void FileTimeToUnix(uint64_t fileTime, int64_t* seconds, uint32_t* nanoseconds) {
  *seconds = static_cast<int64_t>(fileTime / 10000000u) - 11644473600;
  *nanoseconds = static_cast<uint32_t>(fileTime % 10000000u) * 100;
}

std::string FormatFileTime(uint64_t fileTime) {
  // Days since 1601-01-01 to a civil date (proleptic Gregorian calendar),
  // computed here so that every FILETIME prints the same on every system.
  uint64_t seconds = fileTime / 10000000u;
  uint64_t days = seconds / 86400, rest = seconds % 86400;
  // 1601-01-01 is day 0 of a 400-year cycle that starts on March 1, 1600,
  // shifted by the 306 days from March 1 to January 1.
  uint64_t shifted = days + 306;
  uint64_t era = shifted / 146097, dayOfEra = shifted % 146097;
  uint64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  uint64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  uint64_t monthIndex = (5 * dayOfYear + 2) / 153;
  unsigned day = static_cast<unsigned>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
  unsigned month = static_cast<unsigned>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
  uint64_t year = 1600 + era * 400 + yearOfEra + (month <= 2 ? 1 : 0);
  char text[48];
  snprintf(text, sizeof text, "%04" PRIu64 "-%02u-%02u %02u:%02u:%02u UTC", year, month, day,
           static_cast<unsigned>(rest / 3600), static_cast<unsigned>(rest / 60 % 60), static_cast<unsigned>(rest % 60));
  return text;
}

Installer::Installer(const fs::path& path, uint32_t archMask, uint32_t osMask, uint64_t maxUnpacked,
                     const DecodeLimits& limits, bool dataLater)
    : path_(path), limits_(limits), archMask_(archMask), osMask_(osMask), maxUnpacked_(maxUnpacked),
      dataLater_(dataLater) {
  // Only regular files: a device or a pipe ("verify /dev/zero") has no end
  // to read to (and a pipe would block the open). The size is taken once;
  // reading past it later fails instead of going on.
  std::error_code ec;
  if (!fs::is_regular_file(fs::status(path, ec)) || ec) {
    throw ToolError("cannot read " + Printable(sys::Utf8FromPath(path)) + ": " +
                    (ec ? ec.message() : std::string("not a regular file")));
  }
  file_.open(path, std::ios::binary);
  if (!file_) throw ToolError("cannot read " + Printable(sys::Utf8FromPath(path)) + ": " + strerror(errno));
  fileSize_ = fs::file_size(path, ec);
  if (ec) throw ToolError("cannot read " + Printable(sys::Utf8FromPath(path)) + ": " + ec.message());
  head_ = ReadAt(0, std::min<uint64_t>(fileSize_, kHeaderPage));
  Run();
}

std::vector<uint8_t> Installer::ReadAt(uint64_t offset, uint64_t size) {
  std::vector<uint8_t> data(size);
  file_.clear();
  file_.seekg(static_cast<std::streamoff>(offset));
  if (!file_.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(size))) {
    throw ToolError("cannot read " + sys::Utf8FromPath(path_));
  }
  return data;
}

PackageStatus Installer::Decode() {
  if (trailer_.unpackedSize > limits_.inMemory) {
    PackageStatus status = dataLater_ ? DecodeHead() : DecodeStreamed();
    if (status != kPackageOk || streamed_) return status;
  }
  std::vector<uint8_t> packed = ReadAt(packedStart_, trailer_.packedSize);
  PackageStatus status = ParsePackage(packed.data(), &trailer_, archMask_, osMask_, &catalogue_);
  if (status == kPackageDataError) {
    // The whole-block decoder does not tell a corrupt stream from one that
    // ends before the block is full; decoding it again in pieces does.
    uint32_t checksum;
    DecodeInPieces(file_, packedStart_, trailer_.packedSize, trailer_.unpackedSize, limits_.piece, nullptr, &checksum,
                   &endedEarly_);
  }
  return status;
}

bool Installer::MetadataKept(const uint8_t* block, uint64_t keep) const {
  uint64_t names = reinterpret_cast<const uint8_t*>(catalogue_.names) - block;
  if (names > keep) return false;
  for (uint32_t i = 0; i < catalogue_.header.fileCount; ++i) {
    uint64_t at = names + catalogue_.entries[i].nameOffset;
    if (at >= keep || std::memchr(block + at, 0, keep - at) == nullptr) return false;
  }
  return true;
}

// Decodes in pieces up to the end of the metadata only, into a zero-filled
// allocation of the block's size as DecodeStreamed does, and indexes it.
// The decoder stays, stopped in the piece where the file data begins, for
// ForEachPiece to go on from. Sets streamed_ on success. When the indexed
// metadata reaches into what was not kept, returns kPackageOk without
// streamed_, as DecodeStreamed does.
PackageStatus Installer::DecodeHead() {
  uint32_t size = trailer_.unpackedSize;
  uint8_t* block = static_cast<uint8_t*>(AllocateMemory(size));
  if (block == nullptr) return kPackageNoMemory;
  auto decoder = std::make_unique<PieceDecoder>(file_, packedStart_, trailer_.packedSize, size, limits_.piece);
  uint64_t keep = 0;
  bool known = false;
  for (;;) {
    uint64_t offset;
    const uint8_t* data;
    size_t count;
    PackageStatus status = decoder->Next(&offset, &data, &count);
    if (status == kPackageUnreadable) {
      FreeMemory(block);
      throw ToolError("cannot read " + sys::Utf8FromPath(path_));
    }
    if (status != kPackageOk) {
      endedEarly_ = decoder->EndedEarly();
      FreeMemory(block);
      return status;
    }
    if (count == 0) break;  // the stream ended; ForEachPiece checks its sum
    size_t take = known ? static_cast<size_t>(std::min<uint64_t>(count, keep - offset)) : count;
    std::memcpy(block + offset, data, take);
    if (!known && (keep = MetadataEnd(block, offset + count, size)) != 0) known = true;
    if (known && offset + count >= keep) {
      pendingOffset_ = offset;
      pendingData_ = data;
      pendingSize_ = count;
      break;
    }
  }
  // Metadata that does not index is reported as it is, before the rest is
  // decoded: the block is never held whole on the way.
  PackageStatus status = IndexPackage(block, size, archMask_, osMask_, &catalogue_);
  if (status != kPackageOk) {
    FreeMemory(block);
    headFailed_ = true;
    return status;
  }
  if (!MetadataKept(block, keep)) {
    ReleaseCatalogue(&catalogue_);
    pendingOffset_ = pendingSize_ = 0;
    pendingData_ = nullptr;
    return kPackageOk;
  }
  decoder_ = std::move(decoder);
  streamed_ = true;
  return kPackageOk;
}

// Decodes in pieces and keeps the block only up to the end of its metadata,
// in a zero-filled allocation of the block's size whose untouched pages the
// system never backs. Sets streamed_ on success. When the indexed metadata
// reaches into what was not kept (a layout the tool never writes), returns
// kPackageOk without streamed_: the caller then decodes the whole block.
PackageStatus Installer::DecodeStreamed() {
  uint32_t size = trailer_.unpackedSize;
  uint8_t* block = static_cast<uint8_t*>(AllocateMemory(size));
  if (block == nullptr) return kPackageNoMemory;
  uint64_t keep = 0;
  bool known = false;
  uint32_t checksum = 0;
  PackageStatus status = DecodeInPieces(
      file_, packedStart_, trailer_.packedSize, size, limits_.piece,
      [&](uint64_t offset, const uint8_t* data, size_t count) {
        if (known && offset >= keep) return;
        size_t take = known ? static_cast<size_t>(std::min<uint64_t>(count, keep - offset)) : count;
        std::memcpy(block + offset, data, take);
        if (!known && (keep = MetadataEnd(block, offset + count, size)) != 0) known = true;
      },
      &checksum, &endedEarly_);
  if (status == kPackageUnreadable) {
    FreeMemory(block);
    throw ToolError("cannot read " + sys::Utf8FromPath(path_));
  }
  if (status == kPackageOk && checksum != trailer_.checksum) status = kPackageChecksumMismatch;
  if (status != kPackageOk) {
    FreeMemory(block);
    return status;
  }
  bool inside = IndexPackage(block, size, archMask_, osMask_, &catalogue_) == kPackageOk;
  if (inside) {
    inside = MetadataKept(block, keep);
    if (!inside) ReleaseCatalogue(&catalogue_);
  } else {
    FreeMemory(block);
  }
  streamed_ = inside;
  return kPackageOk;
}

void Installer::ForEachPiece(const DecodedSink& sink) {
  if (!streamed_) {
    for (uint64_t at = 0; at < catalogue_.blockSize; at += limits_.piece) {
      sink(at, catalogue_.block + at, static_cast<size_t>(std::min<uint64_t>(limits_.piece, catalogue_.blockSize - at)));
    }
    return;
  }
  if (decoder_) {
    // What came before the piece DecodeHead stopped in is held; then that
    // piece, then the rest as it is decoded.
    for (uint64_t at = 0; at < pendingOffset_; at += limits_.piece) {
      sink(at, catalogue_.block + at, static_cast<size_t>(std::min<uint64_t>(limits_.piece, pendingOffset_ - at)));
    }
    if (pendingSize_ != 0) sink(pendingOffset_, pendingData_, pendingSize_);
    pendingData_ = nullptr;
    pendingSize_ = 0;
    for (;;) {
      uint64_t offset;
      const uint8_t* data;
      size_t size;
      PackageStatus status = decoder_->Next(&offset, &data, &size);
      if (status == kPackageUnreadable) throw ToolError("cannot read " + sys::Utf8FromPath(path_));
      if (status != kPackageOk) {
        FailData(status, decoder_->EndedEarly());
        decoder_.reset();
        throw ToolError(FailureMessage());
      }
      if (size == 0) break;
      sink(offset, data, size);
    }
    uint32_t checksum = decoder_->Checksum();
    decoder_.reset();
    if (checksum != trailer_.checksum) {
      FailData(kPackageChecksumMismatch, false);
      throw ToolError(FailureMessage());
    }
    return;
  }
  uint32_t checksum = 0;
  PackageStatus status =
      DecodeInPieces(file_, packedStart_, trailer_.packedSize, trailer_.unpackedSize, limits_.piece, sink, &checksum);
  if (status != kPackageOk || checksum != trailer_.checksum) {
    throw ToolError(sys::Utf8FromPath(path_) + " changed while it was being read");
  }
}

Installer::~Installer() {
  if (haveCatalogue_) ReleaseCatalogue(&catalogue_);
}

void Installer::Run() {
  checks_ = {
      {"executable", "Windows executable headers (MZ, PE)", LoadCheck::State::kNotReached, ""},
      {"package-end", "package end (certificate-table entry, else file size)", LoadCheck::State::kNotReached, ""},
      {"trailer", "package trailer in the 36 bytes before the package end", LoadCheck::State::kNotReached, ""},
      {"packed-block", "packed block fits before the trailer", LoadCheck::State::kNotReached, ""},
      {"decode", "LZMA properties and data decode to the unpacked size", LoadCheck::State::kNotReached, ""},
      {"checksum", "byte sum of the unpacked block matches the trailer", LoadCheck::State::kNotReached, ""},
      {"layout", "header, entries, languages, settings and names lie inside the block", LoadCheck::State::kNotReached, ""},
      {"product-name", "ProductName is present", LoadCheck::State::kNotReached, ""},
      {"settings", "ProductName fits the uninstall key, MainExecutable fits a path", LoadCheck::State::kNotReached, ""},
      {"formats", "format texts ask only for the arguments the installer passes", LoadCheck::State::kNotReached, ""},
      {"names", "every file name stays inside the install folder", LoadCheck::State::kNotReached, ""},
  };
  // The user's own limit is a check of its own, before anything is decoded.
  const bool limited = maxUnpacked_ != kNoUnpackedLimit;
  if (limited) {
    checks_.insert(checks_.begin() + 4, {"limit", "unpacked size within --max-unpacked", LoadCheck::State::kNotReached, ""});
  }
  size_t step = 0;
  auto pass = [&](std::string detail) {
    checks_[step].state = LoadCheck::State::kPassed;
    checks_[step].detail = std::move(detail);
    ++step;
  };
  auto fail = [&](PackageStatus status, std::string detail, Verdict verdict = Verdict::kDamaged) {
    checks_[step].state = LoadCheck::State::kFailed;
    checks_[step].detail = std::move(detail);
    status_ = status;
    verdict_ = verdict;
  };

  uint32_t headerBytes = static_cast<uint32_t>(head_.size());
  if (ReadPeFacts(head_.data(), headerBytes, &facts_) != kPackageOk) {
    reason_ = "not a Windows executable (no MZ and PE headers in the first 4096 bytes)";
    return fail(kPackageNotExecutable, "no MZ and PE headers in the first 4096 bytes", Verdict::kNotAnInstaller);
  }
  pass(MachineName(facts_.machine) + ", image ends at " + Hex(facts_.imageEnd));

  if (facts_.certificateOffset != 0) {
    if (facts_.certificateOffset > fileSize_) {
      // A signed installer whose end, signature and all, did not arrive.
      return fail(kPackageUnreadable, "the certificate-table entry points to " + Hex(facts_.certificateOffset) +
                                          ", past the end of the file (" + Hex(fileSize_) + ")",
                  Verdict::kEndsEarly);
    }
    packageEnd_ = facts_.certificateOffset;
    // The certificate table, for the signature's description; an
    // Authenticode signature takes a few KiB, so 1 MiB is plenty.
    if (fileSize_ - packageEnd_ >= 8) {
      certificateHead_ = ReadAt(packageEnd_, std::min<uint64_t>(fileSize_ - packageEnd_, uint64_t{1} << 20));
    }
    pass(Hex(packageEnd_) + ", from the certificate-table entry (signed)");
  } else {
    packageEnd_ = fileSize_;
    pass(Hex(packageEnd_) + ", the file size (no certificate table)");
  }

  if (packageEnd_ < kTrailerWindowSize) {
    return fail(kPackageNoTrailer, "the file is too short", WithoutTrailer());
  }
  uint64_t windowStart = packageEnd_ - kTrailerWindowSize;
  uint32_t trailerOffset = 0;
  std::vector<uint8_t> window = ReadAt(windowStart, kTrailerWindowSize);
  if (FindTrailer(window.data(), &trailer_, &trailerOffset) != kPackageOk) {
    return fail(kPackageNoTrailer, "no magic 54 53 AB EF with 0 to 16 bytes of slack before " + Hex(packageEnd_),
                WithoutTrailer());
  }
  trailerStart_ = windowStart + trailerOffset;
  uint64_t slack = packageEnd_ - trailerStart_ - kTrailerSize;
  pass("at " + Hex(trailerStart_) + ", " + std::to_string(slack) + " slack bytes; unpacked " +
       std::to_string(trailer_.unpackedSize) + " bytes, packed " + std::to_string(trailer_.packedSize) +
       " bytes, checksum " + Hex(trailer_.checksum, 8));

  if (LocatePackedBlock(&trailer_, trailerStart_, &packedStart_) != kPackageOk) {
    if (trailer_.packedSize >= kLzmaPropertiesSize && trailer_.packedSize <= trailerStart_) {
      return fail(kPackageBadTrailer, "unpacked size " + std::to_string(trailer_.unpackedSize) +
                                          " is more than LZMA can make of " + std::to_string(trailer_.packedSize) +
                                          " packed bytes");
    }
    // A packed size larger than all that precedes the trailer: the file
    // holds less than the package it describes.
    return fail(kPackageBadTrailer,
                "packed size " + std::to_string(trailer_.packedSize) + " does not fit before the trailer at " +
                    Hex(trailerStart_),
                trailer_.packedSize > trailerStart_ ? Verdict::kEndsEarly : Verdict::kDamaged);
  }
  std::string where = "at " + Hex(packedStart_);
  if (packedStart_ == facts_.imageEnd) {
    where += ", right after the image";
  } else if (packedStart_ > facts_.imageEnd) {
    where += ", " + std::to_string(packedStart_ - facts_.imageEnd) + " bytes after the image";
  } else {
    where += ", overlapping the image by " + std::to_string(facts_.imageEnd - packedStart_) + " bytes";
  }
  if (trailer_.extraSize != 0) where += "; extra-area size " + std::to_string(trailer_.extraSize) + " (ignored)";
  pass(where);

  if (limited) {
    if (trailer_.unpackedSize > maxUnpacked_) {
      std::string claim = std::to_string(trailer_.unpackedSize);
      reason_ = "it unpacks to " + claim + " bytes, more than --max-unpacked " + std::to_string(maxUnpacked_) +
                "; pass --max-unpacked " + claim + " or more to read it";
      return fail(kPackageNoMemory,
                  "the trailer claims " + claim + " unpacked bytes, more than --max-unpacked " +
                      std::to_string(maxUnpacked_) + "; nothing was decoded (pass --max-unpacked " + claim +
                      " or more to read it)",
                  Verdict::kOverLimit);
    }
    pass(std::to_string(trailer_.unpackedSize) + " bytes, at most " + std::to_string(maxUnpacked_));
  }

  std::vector<uint8_t> properties = ReadAt(packedStart_, kLzmaPropertiesSize);
  std::memcpy(properties_, properties.data(), kLzmaPropertiesSize);
  const uint8_t* packed = properties_;
  uint8_t props = packed[0];
  std::string shown = props > kLzmaMaxPropertiesByte
                               ? "properties byte " + Hex(props, 2)
                               : "lc " + std::to_string(props % 9) + " lp " + std::to_string(props / 9 % 5) +
                                     " pb " + std::to_string(props / 45) + ", dictionary " +
                                     DictionaryText(Read32(packed + 1));
  // The header comes first in the block: one whose counts cannot fit the
  // unpacked size stops here, before the whole block is allocated and
  // decoded (a block of zeros claiming gigabytes has no language).
  if (std::optional<std::string> why = CheckHeaderFirst()) {
    step += 2;  // decode and checksum stay not reached
    return fail(kPackageBadLayout, *why);
  }
  PackageStatus status = Decode();
  if (status == kPackageBadProperties || status == kPackageDataError || status == kPackageNoMemory) {
    return fail(status, shown + ": " + DecodeFailure(status, endedEarly_),
                status == kPackageNoMemory ? Verdict::kNoMemory
                : endedEarly_              ? Verdict::kEndsEarly
                                           : Verdict::kDamaged);
  }
  if (decoder_) {
    // Decoding goes on while extract writes the files (ForEachPiece), which
    // fails these two checks after all if the rest is damaged.
    pass(shown + ", " + std::to_string(trailer_.unpackedSize) + " bytes, decoded in pieces as the files are written");
    pass(Hex(trailer_.checksum, 8) + ", checked after the last byte");
  } else if (headFailed_) {
    // Metadata that does not index stopped decoding before the sum.
    pass(shown + ", decoded up to the file data");
    checks_[step++].detail = "not checked: the metadata failed first";
  } else {
    pass(shown + ", " + std::to_string(trailer_.unpackedSize) + " bytes" + (streamed_ ? ", decoded in pieces" : ""));
    if (status == kPackageChecksumMismatch) {
      return fail(status, "the unpacked bytes do not add up to " + Hex(trailer_.checksum, 8));
    }
    pass(Hex(trailer_.checksum, 8));
  }
  if (status == kPackageBadLayout) return fail(status, StatusMessage(status));
  haveCatalogue_ = status == kPackageOk;
  if (status == kPackageOk) {
    pass(std::to_string(catalogue_.header.fileCount) + " files, " +
         std::to_string(catalogue_.header.languageCount) + " languages, 12 settings");
  } else {
    pass("");
  }
  // The parser checks in this order and reports the first failure only.
  if (status == kPackageNoProductName) return fail(status, StatusMessage(status));
  pass(haveCatalogue_ ? "\"" + Printable(ShowText(catalogue_.settings.text[kProductName])) + "\"" : "");
  if (status == kPackageBadSetting) {
    return fail(status, "ProductName is not a usable file and key name (a character whose low byte is 0 or "
                        "\"\\\", a control character or one of <>:\"/|?*, \".\" or \"..\", a dot or blank at its end, "
                        "a device name, or over " +
                            std::to_string(kMaxProductNameUnits) + " characters), or MainExecutable is longer than " +
                            std::to_string(kMaxMainExecutableUnits));
  }
  pass("");
  if (status == kPackageUnsafeFormat) return fail(status, StatusMessage(status));
  pass("");
  if (status == kPackageUnsafeName) return fail(status, StatusMessage(status));
  pass("");
}

Verdict Installer::WithoutTrailer() {
  // An image that goes on past the end of the file: cut inside the stub.
  if (facts_.imageEnd > fileSize_) {
    reason_ = "it holds " + std::to_string(fileSize_) + " bytes, and the executable's image alone ends at " +
              std::to_string(facts_.imageEnd);
    return Verdict::kEndsEarly;
  }
  // Bytes after the image that decode as the start of a package whose end,
  // with its trailer, is missing.
  if (packageEnd_ > uint64_t{facts_.imageEnd} + kLzmaPropertiesSize) {
    std::vector<uint8_t> start =
        ReadAt(facts_.imageEnd, std::min<uint64_t>(packageEnd_ - facts_.imageEnd, 64 * 1024));
    uint8_t header[kHeaderSize];
    if (DecodePackedBlock(start.data(), static_cast<uint32_t>(start.size()), header, kHeaderSize) == kPackageOk) {
      uint32_t fileCount = Read32(header);
      uint16_t versions = Read16(header + 4), infoEntry = Read16(header + 6);
      uint8_t languages = header[8], architectures = header[9], reserved = header[11];
      if (languages != 0 && architectures <= kAllArchitectures && versions <= kAllWindows && reserved == 0 &&
          (infoEntry == kNoInfoEntry || infoEntry < fileCount)) {
        reason_ = "the data after the executable begins a package of " + std::to_string(fileCount) +
                  " entries, but its end and trailer are missing";
        return Verdict::kEndsEarly;
      }
    }
  }
  reason_ = std::string("a Windows executable with no package at its end") +
            (packageEnd_ == facts_.imageEnd ? "" : " (no package trailer before " + Hex(packageEnd_) + ")");
  return Verdict::kNotAnInstaller;
}

void Installer::FailData(PackageStatus status, bool endedEarly) {
  status_ = status;
  verdict_ = status == kPackageNoMemory ? Verdict::kNoMemory : endedEarly ? Verdict::kEndsEarly : Verdict::kDamaged;
  for (LoadCheck& check : checks_) {
    if (check.id == "decode" && status != kPackageChecksumMismatch) {
      check.state = LoadCheck::State::kFailed;
      check.detail = DecodeFailure(status, endedEarly) + " (found while the files were written)";
    } else if (check.id == "checksum") {
      bool mismatch = status == kPackageChecksumMismatch;
      check.state = mismatch ? LoadCheck::State::kFailed : LoadCheck::State::kNotReached;
      check.detail = mismatch ? "the unpacked bytes do not add up to " + Hex(trailer_.checksum, 8) : "";
    }
  }
}

std::optional<std::string> Installer::CheckHeaderFirst() {
  if (trailer_.unpackedSize < kHeaderSize) {
    return "the block (" + std::to_string(trailer_.unpackedSize) + " bytes) is shorter than the header";
  }
  uint8_t header[kHeaderSize];
  // Decoding only the first bytes clamps the dictionary to them too; the
  // first 64 KiB of the stream are plenty for them. A stream that fails
  // here fails the full decode as well, which reports it.
  std::vector<uint8_t> start = ReadAt(packedStart_, std::min<uint64_t>(trailer_.packedSize, 64 * 1024));
  if (DecodePackedBlock(start.data(), static_cast<uint32_t>(start.size()), header, kHeaderSize) != kPackageOk) {
    return std::nullopt;
  }
  uint32_t fileCount = Read32(header);
  uint16_t infoEntry = Read16(header + 6);
  uint8_t languageCount = header[8];
  if (languageCount == 0) return "the header (decoded first) names no language";
  if (fileCount > (trailer_.unpackedSize - kHeaderSize) / kFileEntrySize) {
    return "the header (decoded first) names " + std::to_string(fileCount) + " entries; " +
           std::to_string(trailer_.unpackedSize) + " bytes hold at most " +
           std::to_string((trailer_.unpackedSize - kHeaderSize) / kFileEntrySize);
  }
  if (infoEntry != kNoInfoEntry && infoEntry >= fileCount) {
    return "the header (decoded first) names info entry " + std::to_string(infoEntry) + " of " +
           std::to_string(fileCount);
  }
  return std::nullopt;
}

std::string Installer::Headline() const {
  switch (verdict_) {
    case Verdict::kIntact: return "package intact";
    case Verdict::kNotAnInstaller: return "not a tailpack installer";
    case Verdict::kEndsEarly: return "the file ends early (an incomplete download?)";
    case Verdict::kOverLimit: return "package over the --max-unpacked limit, not decoded";
    case Verdict::kNoMemory: return "not enough memory to decode the package";
    case Verdict::kDamaged: break;
  }
  return "package DAMAGED";
}

std::string Installer::FailureMessage() const {
  std::string file = Printable(sys::Utf8FromPath(path_));
  if (verdict_ == Verdict::kIntact) return file + ": intact";
  std::string why = reason_;
  for (const LoadCheck& check : checks_) {
    if (why.empty() && check.state == LoadCheck::State::kFailed) why = check.title + ": " + check.detail;
  }
  std::string headline = verdict_ == Verdict::kDamaged     ? "the package is damaged"
                         : verdict_ == Verdict::kOverLimit ? "the package is over the --max-unpacked limit"
                                                           : Headline();
  return file + ": " + headline + ": " + why;
}

std::string Installer::SignatureDescription() const {
  if (!Signed()) return "none";
  uint64_t tableSize = fileSize_ - packageEnd_;
  std::string text = "certificate table at " + Hex(packageEnd_) + ", " + std::to_string(tableSize) + " bytes";
  if (tableSize >= 8 && certificateHead_.size() >= 8) {
    const uint8_t* cert = certificateHead_.data();
    uint16_t revision = Read16(cert + 4), type = Read16(cert + 6);
    if (type == 2) {
      text = "Authenticode signature (PKCS#7, revision " + Hex(revision, 4) + "), " + text;
      uint64_t length = std::min<uint64_t>(Read32(cert), certificateHead_.size());
      if (length > 8) {
        std::optional<std::string> subject =
            SignerSubject(std::span<const uint8_t>(cert + 8, static_cast<size_t>(length - 8)));
        text += subject ? ", signed by \"" + *subject + "\"" : ", no signer certificate";
      }
    } else {
      text = "certificate of type " + std::to_string(type) + ", " + text;
    }
  }
  if (facts_.certificateSize != tableSize) {
    text += "; the directory entry gives " + std::to_string(facts_.certificateSize) + " bytes";
  }
  return text;
}

namespace {

// The settings and texts of a loaded package, without its entries (which
// can be millions) and without the info-entry index the loader checked.
PackageContents SettingsAndTextsOf(const Catalogue& c) {
  PackageContents contents;
  for (uint32_t s = 0; s < kSettingCount; ++s) {
    const Char16* text = c.settings.text[s];
    if (s == kMainExecutable && c.derivedMainExecutable) text = nullptr;
    if (text) contents.settings[s] = reinterpret_cast<const char16_t*>(text);
  }
  for (uint32_t l = 0; l < c.header.languageCount; ++l) {
    LanguageTexts language;
    language.langId = c.languages[l].langId;
    language.name = reinterpret_cast<const char16_t*>(c.languages[l].name);
    for (uint32_t t = 0; t < kUiTextCount; ++t) {
      language.texts[t] = reinterpret_cast<const char16_t*>(c.languages[l].texts[t]);
    }
    contents.languages.push_back(language);
  }
  contents.infoEntry = kNoInfoEntry;
  return contents;
}

// Notes about a loaded package: the limits of its settings and texts, then
// the entries whose names the installer cannot use as intended. Entries are
// read in place; a name shared by consecutive entries is checked once, and
// after kMaxEntryNotes notes the rest are counted.
std::vector<std::string> PackageNotes(const Catalogue& c, uint32_t codePage) {
  const size_t kMaxEntryNotes = 20;
  std::vector<std::string> notes;
  for (const LimitProblem& p : CheckLimits(SettingsAndTextsOf(c))) notes.push_back(p.message);
  uint64_t more = 0;
  size_t entryNotes = 0;
  uint32_t lastOffset = 0;
  std::optional<std::string> lastWhy;
  for (uint32_t i = 0; i < c.header.fileCount; ++i) {
    const FileEntry& e = c.entries[i];
    bool listedOnly = (e.flags & kEntryListedOnly) != 0;
    std::string shown = ShowName(EntryName(&c, &e), codePage);
    if (i == 0 || e.nameOffset != lastOffset) lastWhy = CheckEntryName(shown, listedOnly);
    lastOffset = e.nameOffset;
    if (!lastWhy) continue;
    if (entryNotes == kMaxEntryNotes) {
      ++more;
      continue;
    }
    ++entryNotes;
    notes.push_back("file name \"" + shown + "\" " + *lastWhy);
  }
  if (more != 0) notes.push_back(std::to_string(more) + " more entries with such names");
  return notes;
}

std::string MachineText(uint32_t arch, uint32_t os) {
  return DescribeArchMask(arch) + ", Windows " + DescribeWindowsMask(os);
}

}  // namespace

void ListInstaller(const fs::path& path, const ListOptions& options, std::ostream& out) {
  Installer installer(path, options.archMask, options.osMask, options.maxUnpacked, options.limits);
  if (!installer.Intact()) throw ToolError(installer.FailureMessage());
  const Catalogue& c = installer.Package();
  const PackageTrailer& t = installer.Trailer();
  const uint8_t* packed = installer.Packed();
  uint64_t slack = installer.PackageEnd() - installer.TrailerStart() - kTrailerSize;
  // On a machine the installer refuses it installs nothing: no entry is
  // selected there, whatever its own flags say.
  const std::optional<MachineRefusal> refusal = RefusesMachine(c.header, options.archMask, options.osMask);
  auto selected = [&](const FileEntry& e) {
    return !refusal && IsEntrySelected(e.flags, options.archMask, options.osMask) != 0;
  };
  uint64_t selectedTotal = 0;
  for (uint32_t i = 0; i < c.header.fileCount; ++i) {
    if (selected(c.entries[i])) selectedTotal += c.entries[i].size;
  }
  std::string infoName = c.header.infoEntry == kNoInfoEntry
                             ? std::string()
                             : ShowName(EntryName(&c, &c.entries[c.header.infoEntry]), options.codePage);
  // The info text is among the bytes the installer holds (the loader
  // checked that it lies in the block's head).
  InfoTextKind infoKind = InfoTextKind::kAscii;
  if (c.header.infoEntry != kNoInfoEntry) {
    const FileEntry& info = c.entries[c.header.infoEntry];
    infoKind = ClassifyInfoText(std::string_view(reinterpret_cast<const char*>(c.block) + info.dataOffset, info.size));
  }
  static const char* const kKindNames[] = {"ascii", "code-page", "rtf", "rtf-from-utf8"};
  const std::vector<RecordSummary> records = ReadUninstallRecords(installer);
  auto recordOf = [&records](uint32_t entry) -> const RecordSummary* {
    for (const RecordSummary& r : records) {
      if (r.entry == entry) return &r;
    }
    return nullptr;
  };

  if (options.json) {
    JsonWriter j(out);
    j.BeginObject();
    j.Key("file").String(sys::Utf8FromPath(path));
    j.Key("size").Number(installer.FileSize());
    j.Key("streams").Bool(InstallerStreams(c, options.archMask, options.osMask));
    j.Key("signed").Bool(installer.Signed());
    j.Key("signature").String(installer.SignatureDescription());
    j.Key("package").BeginObject();
    j.Key("packed_offset").Number(installer.PackedStart());
    j.Key("packed_size").Number(t.packedSize);
    j.Key("unpacked_size").Number(t.unpackedSize);
    j.Key("checksum").Number(t.checksum);
    j.Key("slack").Number(slack);
    j.Key("lc").Number(packed[0] % 9).Key("lp").Number(packed[0] / 9 % 5).Key("pb").Number(packed[0] / 45);
    j.Key("dictionary").Number(Read32(packed + 1));
    j.EndObject();
    j.Key("header").BeginObject();
    j.Key("file_count").Number(c.header.fileCount);
    j.Key("language_count").Number(c.header.languageCount);
    j.Key("windows").StringArray(MaskNames(c.header.supportedVersions, true));
    j.Key("architectures").StringArray(MaskNames(c.header.supportedArchs, false));
    j.Key("flags").Number(c.header.flags);
    j.Key("registry_view").String(c.header.flags & kHeaderFlag64BitView ? "64-bit" : "32-bit");
    j.Key("info_entry");
    if (c.header.infoEntry == kNoInfoEntry) j.Null(); else j.Number(c.header.infoEntry);
    j.Key("info_text");
    if (c.header.infoEntry == kNoInfoEntry) j.Null(); else j.String(kKindNames[static_cast<int>(infoKind)]);
    j.EndObject();
    j.Key("settings").BeginObject();
    for (uint32_t s = 0; s < kSettingCount; ++s) {
      j.Key(kSettingNames[s]);
      const Char16* text = c.settings.text[s];
      if (s == kMainExecutable && c.derivedMainExecutable) text = nullptr;
      if (text) j.String(ShowText(text)); else j.Null();
    }
    j.EndObject();
    j.Key("languages").BeginArray();
    for (uint32_t l = 0; l < c.header.languageCount; ++l) {
      j.BeginObject();
      j.Key("langid").Number(c.languages[l].langId);
      j.Key("name").String(ShowText(c.languages[l].name));
      if (options.texts) {
        j.Key("texts").BeginObject();
        for (uint32_t x = 0; x < kUiTextCount; ++x) j.Key(kUiTextRoles[x].key).String(ShowText(c.languages[l].texts[x]));
        j.EndObject();
      }
      j.EndObject();
    }
    j.EndArray();
    j.Key("machine").BeginObject();
    j.Key("architecture").String(DescribeArchMask(options.archMask));
    j.Key("windows").String(DescribeWindowsMask(options.osMask));
    j.Key("refused").Bool(refusal.has_value());
    if (refusal) {
      std::vector<std::string> by;
      if (refusal->windows) by.push_back("windows");
      if (refusal->architecture) by.push_back("architecture");
      j.Key("refused_by").StringArray(by);
      j.Key("refusal").String(refusal->text);
      j.Key("message").String(refusal->message);
    }
    j.EndObject();
    j.Key("entries").BeginArray();
    for (uint32_t i = 0; i < c.header.fileCount; ++i) {
      const FileEntry& e = c.entries[i];
      uint64_t time = e.timeLow | static_cast<uint64_t>(e.timeHigh) << 32;
      j.BeginObject();
      j.Key("index").Number(i);
      j.Key("name").String(ShowName(EntryName(&c, &e), options.codePage));
      j.Key("size").Number(e.size);
      j.Key("data_offset").Number(e.dataOffset);
      j.Key("flags").Number(e.flags);
      j.Key("architectures").StringArray(MaskNames(e.flags & kEntryArchBits, false));
      j.Key("windows").StringArray(MaskNames((e.flags & kEntryOsBits) >> kEntryOsShift, true));
      j.Key("listed_only").Bool(e.flags & kEntryListedOnly);
      j.Key("uninstaller").Bool(e.flags & kEntryUninstaller);
      j.Key("replace_in_use").Bool(e.flags & kEntryReplaceInUse);
      j.Key("filetime").Number(time);
      j.Key("modified").String(FormatFileTime(time));
      j.Key("selected").Bool(selected(e));
      if (const RecordSummary* r = recordOf(i)) {
        j.Key("uninstall_record").BeginObject();
        if (r->status == kPackageOk) {
          j.Key("files").Number(r->files);
          j.Key("folders").Number(r->folders);
          j.Key("languages").Number(r->languages);
          j.Key("product").String(r->product);
        } else {
          j.Key("error").String(RecordStatusMessage(r->status));
        }
        j.EndObject();
      }
      j.EndObject();
    }
    j.EndArray();
    j.Key("selected_bytes").Number(selectedTotal);
    j.EndObject();
    return;
  }

  char line[512];
  out << "installer   " << Printable(sys::Utf8FromPath(path)) << " (" << installer.FileSize() << " bytes)\n";
  snprintf(line, sizeof line, "package     %u bytes packed at 0x%" PRIx64 ", %u bytes unpacked, checksum 0x%08x, %" PRIu64 " slack bytes\n",
           t.packedSize, installer.PackedStart(), t.unpackedSize, t.checksum, slack);
  out << line;
  out << "lzma        lc " << packed[0] % 9 << " lp " << packed[0] / 9 % 5 << " pb " << packed[0] / 45
      << ", dictionary " << DictionaryText(Read32(packed + 1)) << "\n";
  out << "signature   " << installer.SignatureDescription() << "\n";
  out << "windows     " << DescribeWindowsMask(c.header.supportedVersions) << "\n";
  out << "machines    " << DescribeArchMask(c.header.supportedArchs) << "\n";
  if (refusal) {
    out << "refused     " << MachineText(options.archMask, options.osMask) << ": " << refusal->text << "; it shows \""
        << refusal->message << "\"\n";
  }
  snprintf(line, sizeof line, "flags       0x%02x (%s registry view on 64-bit Windows)\n", c.header.flags,
           c.header.flags & kHeaderFlag64BitView ? "64-bit" : "32-bit");
  out << line;
  out << "info text   "
      << (c.header.infoEntry == kNoInfoEntry ? std::string("none")
                                             : "entry " + std::to_string(c.header.infoEntry) + " (" + Printable(infoName) +
                                                   "), " + DescribeInfoTextKind(infoKind))
      << "\n\nsettings\n";
  for (uint32_t s = 0; s < kSettingCount; ++s) {
    const Char16* text = c.settings.text[s];
    std::string shown;
    if (s == kMainExecutable && c.derivedMainExecutable) {
      shown = "(absent: " + ShowText(text) + ")";
    } else {
      shown = text ? ShowText(text) : "(absent)";
    }
    out << "  " << std::string(kSettingNames[s]) + std::string(19 - strlen(kSettingNames[s]), ' ') << " "
        << Printable(shown) << "\n";
  }
  out << "\nlanguages (" << static_cast<unsigned>(c.header.languageCount) << ", the first is the fallback)\n";
  for (uint32_t l = 0; l < c.header.languageCount; ++l) {
    snprintf(line, sizeof line, "  %3u  0x%04X  ", l, c.languages[l].langId);
    out << line << Printable(ShowText(c.languages[l].name)) << "\n";
    if (options.texts) {
      for (uint32_t x = 0; x < kUiTextCount; ++x) {
        out << "         " << kUiTextRoles[x].key << " = " << JsonWriter::Escape(ShowText(c.languages[l].texts[x])) << "\n";
      }
    }
  }
  out << "\nentries (" << c.header.fileCount << "; "
      << (refusal ? "none selected: " + refusal->text : "selected for " + MachineText(options.archMask, options.osMask))
      << ")\n";
  snprintf(line, sizeof line, "  %4s %-3s %-14s %-20s %10s %-23s %-10s %-14s %s\n", "#", "sel", "machines", "windows",
           "size", "modified", "offset", "flags", "name");
  out << line;
  for (uint32_t i = 0; i < c.header.fileCount; ++i) {
    const FileEntry& e = c.entries[i];
    uint64_t time = e.timeLow | static_cast<uint64_t>(e.timeHigh) << 32;
    bool never = ((e.flags >> kEntryOsShift) & kAllWindows) == 0;
    snprintf(line, sizeof line, "  %4u %-3s %-14s %-20s %10u %-23s 0x%08x %-14s ", i,
             selected(e) ? "yes" : "-",
             DescribeArchMask(e.flags & kEntryArchBits).c_str(),
             never ? "none" : DescribeWindowsMask((e.flags & kEntryOsBits) >> kEntryOsShift).c_str(), e.size,
             FormatFileTime(time).c_str(), e.dataOffset, FlagWords(e.flags).c_str());
    out << line << Printable(ShowName(EntryName(&c, &e), options.codePage)) << "\n";
    if (const RecordSummary* r = recordOf(i)) out << "       uninstall record: " << DescribeRecord(*r) << "\n";
  }
  out << "\nselected    " << selectedTotal << " bytes\n";
}

bool InstallerStreams(const Catalogue& c, uint32_t archMask, uint32_t osMask, uint32_t streamThreshold,
                      uint32_t heldSize) {
  if (c.blockSize <= streamThreshold) return false;
  // The names come last before the file data: the head ends with the last
  // of them (or the info text's data).
  uint64_t head = static_cast<uint64_t>(reinterpret_cast<const uint8_t*>(c.names) - c.block);
  for (uint32_t i = 0; i < c.header.fileCount; ++i) {
    const char* name = EntryName(&c, &c.entries[i]);
    head = std::max<uint64_t>(head, static_cast<uint64_t>(reinterpret_cast<const uint8_t*>(name) - c.block) +
                                        strlen(name) + 1);
  }
  if (c.header.infoEntry != kNoInfoEntry) {
    const FileEntry& info = c.entries[c.header.infoEntry];
    head = std::max<uint64_t>(head, uint64_t{info.dataOffset} + info.size);
  }
  return head <= heldSize && IsStreamableOrder(&c, heldSize, archMask, osMask) == 1;
}

bool VerifyInstaller(const fs::path& path, const VerifyOptions& options, std::ostream& out) {
  bool json = options.json;
  Installer installer(path, kArchX64, kOsWindows10, options.maxUnpacked, options.limits);
  std::vector<std::string> notes;
  std::vector<LoadCheck> checks = installer.Checks();
  bool intact = installer.Intact();
  Verdict verdict = installer.GetVerdict();
  if (intact) {
    notes = PackageNotes(installer.Package(), options.codePage);
    // The uninstall records are read by the generated uninstaller, not the
    // installer: checked after the loader's checks, and only when there are any.
    std::vector<RecordSummary> records = ReadUninstallRecords(installer);
    if (!records.empty()) {
      LoadCheck check{"uninstall-records", "every uninstall record parses as the uninstaller reads it",
                      LoadCheck::State::kPassed, std::to_string(records.size()) + " record" +
                                                     (records.size() == 1 ? "" : "s")};
      for (const RecordSummary& r : records) {
        if (r.status == kPackageOk) continue;
        check.state = LoadCheck::State::kFailed;
        check.detail = "entry " + std::to_string(r.entry) + " (" +
                       ShowName(EntryName(&installer.Package(), &installer.Package().entries[r.entry]), options.codePage) +
                       "): " + RecordStatusMessage(r.status);
        intact = false;
        verdict = Verdict::kDamaged;
        break;
      }
      checks.push_back(check);
    }
  }
  if (json) {
    JsonWriter j(out);
    j.BeginObject();
    j.Key("file").String(sys::Utf8FromPath(path));
    j.Key("intact").Bool(intact);
    j.Key("verdict").String(VerdictId(verdict));
    j.Key("checks").BeginArray();
    for (const LoadCheck& check : checks) {
      j.BeginObject();
      j.Key("id").String(check.id);
      j.Key("title").String(check.title);
      j.Key("state").String(check.state == LoadCheck::State::kPassed ? "passed"
                            : check.state == LoadCheck::State::kFailed ? "failed" : "not-reached");
      j.Key("detail").String(check.detail);
      j.EndObject();
    }
    j.EndArray();
    if (installer.Intact()) j.Key("streams").Bool(InstallerStreams(installer.Package(), kArchX64, kOsWindows10));
    j.Key("signed").Bool(installer.Signed());
    j.Key("signature").String(installer.SignatureDescription());
    j.Key("notes").StringArray(notes);
    j.EndObject();
    return intact;
  }
  // The first line says what the file is: an intact package, damage, or
  // something else than damage (no installer, a file cut short, the limit).
  out << Printable(sys::Utf8FromPath(path)) << ": " << (verdict == installer.GetVerdict() ? installer.Headline() : "package DAMAGED") << "\n";
  for (const LoadCheck& check : checks) {
    const char* mark = check.state == LoadCheck::State::kPassed ? "ok    "
                       : check.state == LoadCheck::State::kFailed ? "FAILED" : "--    ";
    out << "  " << mark << " " << check.title;
    if (!check.detail.empty()) out << ": " << check.detail;
    out << "\n";
  }
  if (installer.Intact()) {
    out << "  install (x64, Windows 10): "
        << (InstallerStreams(installer.Package(), kArchX64, kOsWindows10)
                ? "writes the files as it decodes them, holding the first " + std::to_string(kStreamHeldSize >> 20) +
                      " MiB of the package"
                : "holds the whole unpacked package and checks it before writing")
        << "\n";
  }
  out << "  signature: " << installer.SignatureDescription();
  if (installer.Signed()) out << " (not checked here; use osslsigncode verify)";
  out << "\n";
  for (const std::string& note : notes) out << "  note: " << Printable(note) << "\n";
  return intact;
}

namespace {

std::vector<std::string> SplitName(const std::string& name) {
  std::vector<std::string> parts;
  std::string current;
  for (char ch : name) {
    if (ch == '\\' || ch == '/') {
      parts.push_back(current);
      current.clear();
    } else {
      current += ch;
    }
  }
  parts.push_back(current);
  return parts;
}

uint64_t EntryTime(const FileEntry& e) { return e.timeLow | static_cast<uint64_t>(e.timeHigh) << 32; }

// A file written under a temporary name in its folder, renamed over its
// final name when the extraction commits.
struct Staged {
  uint32_t entry;
  std::shared_ptr<const sys::ExtractFolder> folder;
  std::string temporary;
  std::string final;
  std::string shown;      // the path, for messages
  std::string printable;  // the name inside the extraction folder, for the list of files
  bool late;              // its data comes as the rest of a streamed block is decoded
};

// What one extraction makes, undone unless it commits: every file goes
// under a temporary name in its folder, and is renamed over its final name
// only once all are written and the package's sum is right. A failure
// before that removes the temporary files and every folder this run made
// (levels of the extraction folder itself included), so that the folder is
// left as it was, files that were there before untouched.
class Extraction {
 public:
  Extraction(const fs::path& directory, const std::string& shownRoot) : shownRoot_(shownRoot) {
    // The levels of the extraction folder that are missing, made here one
    // by one so that a failed run can remove exactly those.
    std::vector<fs::path> missing;
    for (fs::path level = directory; !level.empty(); level = level.parent_path()) {
      std::error_code ec;
      if (fs::exists(fs::symlink_status(level, ec))) break;
      missing.push_back(level);
      if (level == level.parent_path()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      std::error_code ec;
      if (fs::create_directory(*it, ec)) madeRoot_.push_back(*it);
    }
    try {
      root_ = std::make_shared<const sys::ExtractFolder>(sys::ExtractFolder::OpenRoot(directory, shownRoot));
    } catch (...) {
      Undo();
      throw;
    }
  }
  Extraction(const Extraction&) = delete;
  Extraction& operator=(const Extraction&) = delete;
  ~Extraction() {
    if (!committed_) Undo();
  }

  // The folder that holds the first `count` of `parts`, entered level by
  // level (each once) and never through a link; `walked` gets its shown path.
  std::shared_ptr<const sys::ExtractFolder> Folder(const std::vector<std::string>& parts, size_t count,
                                                   const std::string& extracting, std::string* walked) {
    std::shared_ptr<const sys::ExtractFolder> dir = root_;
    std::string key;
    *walked = shownRoot_;
    for (size_t k = 0; k < count; ++k) {
      key += (k ? "/" : "") + parts[k];
      *walked += "/" + Printable(parts[k]);
      auto known = folders_.find(key);
      if (known != folders_.end()) {
        dir = known->second;
        continue;
      }
      bool created = false;
      auto next = std::make_shared<const sys::ExtractFolder>(dir->Enter(parts[k], *walked, extracting, &created));
      if (created) made_.push_back({dir, parts[k]});
      folders_.emplace(key, next);
      dir = next;
    }
    return dir;
  }

  // Registers a temporary file before anything is written to it.
  void Stage(Staged file) { staged_.push_back(std::move(file)); }
  const std::vector<Staged>& Files() const { return staged_; }

  // Renames every file over its final name, in order. A rename that fails
  // stops there: the files renamed before it stay, the others are removed.
  void Commit() {
    committed_ = true;
    for (size_t k = 0; k < staged_.size(); ++k) {
      const Staged& file = staged_[k];
      try {
        file.folder->Rename(file.temporary, file.final, file.shown);
      } catch (...) {
        for (size_t rest = k; rest < staged_.size(); ++rest) staged_[rest].folder->Remove(staged_[rest].temporary);
        throw;
      }
    }
  }

 private:
  void Undo() noexcept {
    for (const Staged& file : staged_) file.folder->Remove(file.temporary);
    // The folders are let go before they are removed (Windows cannot remove
    // a folder that is held open), the innermost first: each was made after
    // the one that holds it.
    staged_.clear();
    folders_.clear();
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
      it->parent->RemoveFolder(it->name);
      it->parent.reset();
    }
    made_.clear();
    root_.reset();
    for (auto it = madeRoot_.rbegin(); it != madeRoot_.rend(); ++it) {
      std::error_code ec;
      fs::remove(*it, ec);
    }
  }

  struct MadeFolder {
    std::shared_ptr<const sys::ExtractFolder> parent;
    std::string name;
  };
  std::string shownRoot_;
  std::vector<fs::path> madeRoot_;  // outermost first
  std::shared_ptr<const sys::ExtractFolder> root_;
  std::unordered_map<std::string, std::shared_ptr<const sys::ExtractFolder>> folders_;
  std::vector<MadeFolder> made_;
  std::vector<Staged> staged_;
  bool committed_ = false;
};

// Decodes the rest of a streamed block (Installer::ForEachPiece, which
// checks its sum at the end) and writes each late file's bytes as they
// pass, opening a file when its data begins and closing it, with its time,
// when the data ends; files sharing data are written from the same pieces.
// Decoding and writing overlap: this thread decodes into a ring of a few
// pieces, a second one writes them. Throws ToolError when the data turns
// out damaged or a write fails, once both threads have stopped.
void WriteLateData(Installer& installer, const std::vector<Staged>& files) {
  const Catalogue& c = installer.Package();
  std::vector<const Staged*> order;
  for (const Staged& file : files) {
    if (file.late) order.push_back(&file);
  }
  if (order.empty()) {
    installer.ForEachPiece([](uint64_t, const uint8_t*, size_t) {});
    return;
  }
  std::stable_sort(order.begin(), order.end(), [&](const Staged* a, const Staged* b) {
    return c.entries[a->entry].dataOffset < c.entries[b->entry].dataOffset;
  });
  struct Open {
    const Staged* item;
    sys::OutputFile file;
  };
  std::vector<Open> open;  // closed when this returns, before anything is removed
  size_t next = 0;
  auto write = [&](uint64_t offset, const uint8_t* data, size_t size) {
    uint64_t end = offset + size;
    while (next < order.size() && c.entries[order[next]->entry].dataOffset < end) {
      const Staged* item = order[next++];
      // Created (empty) by this run, exclusively, through folders that are not links.
      open.push_back({item, item->folder->Reopen(item->temporary, item->shown)});
    }
    for (size_t k = 0; k < open.size();) {
      const FileEntry& e = c.entries[open[k].item->entry];
      uint64_t from = std::max<uint64_t>(offset, e.dataOffset);
      uint64_t to = std::min<uint64_t>(end, uint64_t{e.dataOffset} + e.size);
      if (from < to) {
        open[k].file.WriteAt(from - e.dataOffset, data + (from - offset), static_cast<size_t>(to - from),
                             open[k].item->shown);
      }
      if (uint64_t{e.dataOffset} + e.size <= end) {
        open[k].file.SetWriteTime(EntryTime(e), open[k].item->shown);
        open[k].file.Close(open[k].item->shown);
        open.erase(open.begin() + static_cast<std::ptrdiff_t>(k));
      } else {
        ++k;
      }
    }
  };

  // The ring: pieces filled by this thread and emptied by the writer, in
  // turn; `filled` and `emptied` count them from the start.
  const size_t kRing = 4;
  struct Slot {
    std::vector<uint8_t> bytes;
    uint64_t offset = 0;
  };
  std::vector<Slot> ring(kRing);
  sys::Monitor monitor;
  size_t filled = 0, emptied = 0;
  bool finished = false, stop = false;
  std::exception_ptr writeError, decodeError;
  {
    sys::Thread writer([&] {
      for (;;) {
        monitor.Lock();
        while (emptied == filled && !finished && !stop) monitor.Wait();
        bool done = stop || emptied == filled;
        monitor.Unlock();
        if (done) return;
        Slot& slot = ring[emptied % kRing];
        try {
          write(slot.offset, slot.bytes.data(), slot.bytes.size());
        } catch (...) {
          monitor.Lock();
          writeError = std::current_exception();
          monitor.NotifyAll();
          monitor.Unlock();
          return;
        }
        monitor.Lock();
        ++emptied;
        monitor.NotifyAll();
        monitor.Unlock();
      }
    });
    try {
      installer.ForEachPiece([&](uint64_t offset, const uint8_t* data, size_t size) {
        monitor.Lock();
        while (filled - emptied == kRing && !writeError) monitor.Wait();
        bool failed = writeError != nullptr;
        monitor.Unlock();
        if (failed) throw ToolError("");  // the writer's error is the one reported
        Slot& slot = ring[filled % kRing];
        slot.bytes.assign(data, data + size);
        slot.offset = offset;
        monitor.Lock();
        ++filled;
        monitor.NotifyAll();
        monitor.Unlock();
      });
    } catch (...) {
      decodeError = std::current_exception();
    }
    monitor.Lock();
    (decodeError ? stop : finished) = true;
    monitor.NotifyAll();
    monitor.Unlock();
  }  // waits for the writer
  if (writeError) std::rethrow_exception(writeError);
  if (decodeError) std::rethrow_exception(decodeError);
}

}  // namespace

uint32_t ExtractInstaller(const fs::path& path, const ExtractOptions& options, std::ostream& out, std::ostream& err) {
  // A streamed block is decoded once: up to its file data here, the rest
  // while the files are written.
  Installer installer(path, options.archMask, options.osMask, options.maxUnpacked, options.limits, true);
  if (!installer.Intact()) throw ToolError(installer.FailureMessage());
  const Catalogue& c = installer.Package();
  if (!options.all) {
    if (std::optional<MachineRefusal> refusal = RefusesMachine(c.header, options.archMask, options.osMask)) {
      throw ToolError(Printable(sys::Utf8FromPath(path)) + ": " + refusal->text +
                      ", so it installs nothing there; pass --all to extract every entry");
    }
  }

  // First every selected name, decoded and checked as decoded: the loader's
  // check saw the stored bytes, which another code page may turn into "."
  // or "/". Nothing is created before all names pass. A name written by
  // several entries is written once, with the last entry's data.
  struct Target {
    uint32_t lastEntry;
    uint32_t entries;
  };
  std::unordered_map<std::string, Target> targets;
  std::vector<std::string> order;  // names in the order they are first met
  for (uint32_t i = 0; i < c.header.fileCount; ++i) {
    const FileEntry& e = c.entries[i];
    if (!options.all && !IsEntrySelected(e.flags, options.archMask, options.osMask)) continue;
    std::optional<std::string> name = DecodeCodePage(EntryName(&c, &e), options.codePage);
    if (!name) {
      throw ToolError("the name of entry " + std::to_string(i) + " is not text in code page " +
                      std::to_string(options.codePage) + "; pass --code-page");
    }
    bool listedOnly = (e.flags & kEntryListedOnly) != 0;
    if (!IsSafeRelativeName(name->c_str(), listedOnly)) {
      throw ToolError("refusing to extract entry " + std::to_string(i) + ": in code page " +
                      std::to_string(options.codePage) + " its name \"" + Printable(*name) +
                      "\" could leave " + Printable(sys::Utf8FromPath(options.directory)));
    }
    std::vector<std::string> parts = SplitName(*name);
    std::string shown;
    for (size_t k = 0; k < parts.size(); ++k) shown += (k ? "/" : "") + parts[k];
    // Listed-only entries only create the folders before their last part.
    std::string key = (listedOnly ? "d" : "f") + shown;
    auto [it, fresh] = targets.try_emplace(key, Target{i, 0});
    it->second.lastEntry = i;
    ++it->second.entries;
    if (fresh) order.push_back(key);
  }

  const std::string shownRoot = Printable(sys::Utf8FromPath(options.directory));
  Extraction extraction(options.directory, shownRoot);
  uint32_t written = 0;
  const size_t kMaxWarnings = 10;
  size_t warnings = 0, moreWarnings = 0;
  for (const std::string& key : order) {
    const Target& target = targets[key];
    const FileEntry& e = c.entries[target.lastEntry];
    bool listedOnly = key[0] == 'd';
    std::string shown = key.substr(1);
    std::vector<std::string> parts = SplitName(shown);
    const std::string printable = Printable(shown);

    // Directories: created as needed, never entered through a link.
    std::string walked;
    std::shared_ptr<const sys::ExtractFolder> dir = extraction.Folder(parts, parts.size() - 1, printable, &walked);
    if (listedOnly) continue;

    const std::string& leaf = parts.back();
    std::string shownTarget = walked + "/" + Printable(leaf);
    dir->CheckTarget(leaf, shownTarget, printable);
    // Written under a fresh name in the same folder, then renamed over the
    // final name: a hard link or a file that sits there already is replaced,
    // never written through.
    sys::OutputFile file;
    std::string temporary = dir->CreateTemporary(written, &file, walked);
    bool late = installer.Streamed() && e.size != 0;
    extraction.Stage({target.lastEntry, dir, temporary, leaf, shownTarget, printable, late});
    if (late) {
      // The data comes as the rest of the block is decoded, after this loop.
      file = sys::OutputFile();
    } else {
      file.WriteAt(0, c.block + e.dataOffset, e.size, shownTarget);
      file.SetWriteTime(EntryTime(e), shownTarget);
      file.Close(shownTarget);
    }

    if (target.entries > 1 && !options.quiet) {
      if (warnings < kMaxWarnings) {
        ++warnings;
        err << "tailpack: warning: " << printable << " is written by " << target.entries
            << " entries; the last one, entry " << target.lastEntry << ", wins\n";
      } else {
        ++moreWarnings;
      }
    }
    ++written;
  }
  if (!installer.DataChecked()) WriteLateData(installer, extraction.Files());
  extraction.Commit();
  if (moreWarnings != 0) {
    err << "tailpack: warning: " << moreWarnings << " more names are written by several entries\n";
  }
  if (!options.quiet) {
    for (const Staged& file : extraction.Files()) out << file.printable << "\n";
    out << "extracted " << written << " file" << (written == 1 ? "" : "s") << " to " << shownRoot;
    if (!options.all) out << " (selected for " << MachineText(options.archMask, options.osMask) << ")";
    out << "\n";
  }
  return written;
}

}  // namespace tailpack
