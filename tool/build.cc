#include "tool/build.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <unordered_map>

#include <lzma.h>

#include "package/pe.h"
#include "package/uninstall_record.h"
#include "startup/language.h"
#include "tool/encoding.h"
#include "tool/init.h"
#include "tool/limits.h"
#include "tool/machine_names.h"
#include "tool/sources.h"
#include "tool/system.h"

namespace fs = std::filesystem;

namespace tailpack {
namespace {

// OS bit of no Windows version: an entry carrying only it is never installed
// (the info text can be shown without being installed).
const uint32_t kNeverInstalledOsBits = 0x8000u << kEntryOsShift;

struct PendingEntry {
  std::string name;   // UTF-8, "\" separated
  uint32_t flags = 0;
  uint64_t time = 0;
  fs::path source;    // empty for directory entries
  uint64_t size = 0;
  uint32_t rule = 0;
};

std::string ToBackslashes(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::string StripSeparators(std::string path) {
  while (!path.empty() && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  return path;
}

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string Extension(const std::string& name) {
  size_t slash = name.find_last_of('\\');
  std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  size_t dot = base.find_last_of('.');
  return dot == std::string::npos ? std::string() : LowerAscii(base.substr(dot + 1));
}

std::string BaseName(const std::string& name) {
  size_t slash = name.find_last_of('\\');
  return LowerAscii(slash == std::string::npos ? name : name.substr(slash + 1));
}

std::vector<uint8_t> ReadWholeFile(const fs::path& path, const std::string& what) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ToolError("cannot read " + what + " " + sys::Utf8FromPath(path));
  std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw ToolError("cannot read " + what + " " + sys::Utf8FromPath(path));
  return data;
}

// Reads a source file of `expected` bytes in pieces of `chunk` bytes, giving
// each piece to `use`; returns the hash of the bytes. Throws ToolError when
// the file cannot be read or its size is no longer `expected`.
template <typename Use>
uint64_t ReadSource(const fs::path& path, uint64_t expected, size_t chunk, std::vector<uint8_t>& buffer, Use use) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ToolError("cannot read " + sys::Utf8FromPath(path));
  buffer.resize(std::max<size_t>(chunk, 1));
  ContentHash hash;
  uint64_t left = expected;
  while (left > 0) {
    size_t take = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
    in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(take));
    if (static_cast<size_t>(in.gcount()) != take) break;
    hash.Add(buffer.data(), take);
    use(buffer.data(), take);
    left -= take;
  }
  if (left != 0 || in.peek() != std::char_traits<char>::eof()) {
    throw ToolError(sys::Utf8FromPath(path) + " changed while it was being read");
  }
  return hash.Value();
}

// True when two files of `size` bytes hold the same bytes.
bool SameContents(const fs::path& a, const fs::path& b, uint64_t size, size_t chunk) {
  std::ifstream first(a, std::ios::binary), second(b, std::ios::binary);
  if (!first || !second) return false;
  // Buffers no larger than the files: most repeated files are small or empty,
  // and zeroing two fresh pieces of `chunk` bytes for each of them cost more
  // than reading them.
  size_t piece = static_cast<size_t>(std::min<uint64_t>(std::max<size_t>(chunk, 1), size));
  std::vector<char> x(piece), y(piece);
  for (uint64_t left = size; left > 0;) {
    size_t take = static_cast<size_t>(std::min<uint64_t>(left, x.size()));
    first.read(x.data(), static_cast<std::streamsize>(take));
    second.read(y.data(), static_cast<std::streamsize>(take));
    if (static_cast<size_t>(first.gcount()) != take || static_cast<size_t>(second.gcount()) != take ||
        std::memcmp(x.data(), y.data(), take) != 0) {
      return false;
    }
    left -= take;
  }
  return true;
}

std::string Plural(uint64_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

std::string HumanSize(uint64_t bytes) {
  char text[32];
  if (bytes < 1024) {
    snprintf(text, sizeof text, "%" PRIu64 " B", bytes);
  } else if (bytes < (uint64_t{1} << 20)) {
    snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
  } else {
    snprintf(text, sizeof text, "%.1f MiB", bytes / 1048576.0);
  }
  return text;
}

std::string Warning(const SourcePosition& where, const std::string& message) {
  return FormatPosition(where) + ": warning: " + message;
}

}  // namespace

uint64_t FileTimeFromUnix(int64_t seconds, uint32_t nanoseconds) {
  const int64_t kEpochDifference = 11644473600;  // 1601-01-01 to 1970-01-01 in seconds
  if (seconds < -kEpochDifference) return 0;
  return static_cast<uint64_t>(seconds + kEpochDifference) * 10000000u + nanoseconds / 100;
}

namespace {

// A file's time as a FILETIME, no later than SOURCE_DATE_EPOCH when given,
// so that builds of the same inputs are the same byte for byte.
uint64_t ClampedFileTime(int64_t seconds, uint32_t nanoseconds, std::optional<int64_t> sourceDateEpoch) {
  if (sourceDateEpoch && (seconds > *sourceDateEpoch || (seconds == *sourceDateEpoch && nanoseconds > 0))) {
    seconds = *sourceDateEpoch;
    nanoseconds = 0;
  }
  return FileTimeFromUnix(seconds, nanoseconds);
}

}  // namespace

std::optional<int64_t> SourceDateEpochFromEnvironment() {
  const char* value = std::getenv("SOURCE_DATE_EPOCH");
  if (value == nullptr || *value == 0) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  long long seconds = std::strtoll(value, &end, 10);
  if (errno != 0 || *end != 0 || seconds < 0) {
    throw ToolError(std::string("SOURCE_DATE_EPOCH must be a number of seconds since 1970, not \"") + value + "\"");
  }
  return seconds;
}

namespace {

// True when `path` looks like an installer this tool wrote: a Windows
// executable with a package trailer before its end (or its certificate
// table). Such a file at the output path is the previous output.
bool IsPackagedInstaller(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> head(4096);
  in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<size_t>(in.gcount()));
  PeFacts facts;
  if (ReadPeFacts(head.data(), static_cast<uint32_t>(head.size()), &facts) != kPackageOk) return false;
  std::error_code ec;
  uint64_t end = facts.certificateOffset != 0 ? facts.certificateOffset : fs::file_size(path, ec);
  if (ec || end < kTrailerWindowSize) return false;
  in.clear();
  in.seekg(static_cast<std::streamoff>(end - kTrailerWindowSize));
  uint8_t window[kTrailerWindowSize];
  if (!in.read(reinterpret_cast<char*>(window), sizeof window)) return false;
  PackageTrailer trailer;
  uint32_t offset;
  return FindTrailer(window, &trailer, &offset) == kPackageOk;
}

bool SameFile(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  return fs::equivalent(a, b, ec) && !ec;
}

}  // namespace


void ContentHash::Add(const uint8_t* data, size_t size) {
  state_ = lzma_crc64(data, size, state_);
}

namespace {

// Lays out a package that streams: the info text's data (entry `info`, or
// none) moves to the front of the file data, where the installer holds it,
// and the entries are ordered by where their data lies, so that the data is
// decoded once, in entry order, and entries sharing data come one after the
// other. Entries without data of their own to decode (folders, empty files,
// the info text) keep their place after the entry before them. The sort is
// stable: entries of one name whose data is stored in entry order keep
// their order, so the later one still wins.
void LayOutForStreaming(AssembledPackage& a, uint32_t& info) {
  PackageContents& c = a.contents;
  std::vector<BlobSource>& sources = a.sources;
  uint32_t infoBlob = info == UINT32_MAX ? UINT32_MAX : c.files[info].blob;
  if (infoBlob != UINT32_MAX && infoBlob != 0) {
    std::rotate(sources.begin(), sources.begin() + infoBlob, sources.begin() + infoBlob + 1);
    for (PackageFile& f : c.files) {
      if (f.blob == infoBlob) {
        f.blob = 0;
      } else if (f.blob < infoBlob) {
        ++f.blob;
      }
    }
    infoBlob = 0;
  }
  std::vector<int64_t> key(c.files.size());
  int64_t previous = -1;
  for (uint32_t i = 0; i < c.files.size(); ++i) {
    uint32_t blob = c.files[i].blob;
    if (sources[blob].size != 0 && blob != infoBlob) previous = blob;
    key[i] = previous;
  }
  std::vector<uint32_t> order(c.files.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) { return key[x] < key[y]; });
  std::vector<PackageFile> files;
  std::vector<std::string> names;
  std::vector<uint32_t> rules;
  const uint32_t oldInfo = info;  // UINT32_MAX matches no entry
  for (uint32_t i = 0; i < order.size(); ++i) {
    files.push_back(std::move(c.files[order[i]]));
    names.push_back(std::move(a.utf8Names[order[i]]));
    rules.push_back(a.entryRule[order[i]]);
    if (order[i] == oldInfo) info = i;
  }
  c.files = std::move(files);
  a.utf8Names = std::move(names);
  a.entryRule = std::move(rules);
}

// The installer shows an info text's bytes in the system's ANSI code page,
// unless they are RTF. A licence written in UTF-8 (what editors write) is
// therefore shown through a copy converted to RTF, carried in the package
// but never installed; the file itself installs as it is. ASCII, code-page
// text and RTF stay the info text as they are. Returns the info entry.
uint32_t ShowInUtf8(AssembledPackage& a, uint32_t index, uint32_t codePage) {
  PackageContents& c = a.contents;
  const BlobSource& source = a.sources[c.files[index].blob];
  if (source.path.empty()) return index;
  std::vector<uint8_t> data = ReadWholeFile(source.path, "info text");
  std::string_view bytes(reinterpret_cast<const char*>(data.data()), data.size());
  if (ClassifyInfoText(bytes) != InfoTextKind::kCodePage || !IsUtf8BeyondAscii(bytes)) return index;
  std::string name = a.utf8Names[index] + ".rtf";
  for (const std::string& other : a.utf8Names) {
    if (FoldCaseLikeWindows(other) == FoldCaseLikeWindows(name)) name = a.utf8Names[index] + ".tailpack.rtf";
  }
  std::optional<std::string> encoded = EncodeCodePage(name, codePage);
  if (!encoded) return index;  // the base name encoded; ".rtf" always does
  BlobSource rtf;
  rtf.bytes = Utf8ToRtf(bytes);
  rtf.size = rtf.bytes.size();
  a.sources.push_back(std::move(rtf));
  c.files.push_back({*encoded, kNeverInstalledOsBits, c.files[index].modificationTime,
                     static_cast<uint32_t>(a.sources.size() - 1)});
  a.utf8Names.push_back(name);
  a.entryRule.push_back(a.entryRule[index]);
  return static_cast<uint32_t>(c.files.size() - 1);
}

// FNV-1a, 64 bits: names a record by its bytes, so that every version
// installed adds its own record and an identical reinstall replaces its own.
uint64_t Fnv1a64(const std::vector<uint8_t>& bytes) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (uint8_t byte : bytes) {
    hash ^= byte;
    hash *= 0x100000001b3ull;
  }
  return hash;
}

// "uninstall\<ProductName>\": the folder of this product's own that holds
// its uninstaller and records, so that products sharing an install folder
// never take each other's.
std::string ProductUninstallFolder(const std::u16string& productName) {
  return std::string(kUninstallFolder) + "\\" + Utf16ToUtf8(productName) + "\\";
}

std::string RecordName(const std::string& folder, const std::vector<uint8_t>& record) {
  char hex[17];
  snprintf(hex, sizeof hex, "%016" PRIx64, Fnv1a64(record));
  return folder + hex + kRecordExtension;
}

// The entry table and name bytes the two uninstall entries add to a package
// whose product folder takes `folderBytes` bytes (a record's name has a
// fixed length).
uint64_t UninstallMetadata(size_t folderBytes) {
  return 2 * kFileEntrySize + 2 * folderBytes + (16 + sizeof(kRecordExtension)) + sizeof(kUninstallerFileName);
}

// The product folder in the package's code page; the product's name is
// checked to encode with the other settings.
std::string EncodedUninstallFolder(const Manifest& m, const std::u16string& productName) {
  std::optional<std::string> encoded = EncodeCodePage(ProductUninstallFolder(productName), m.codePage);
  if (!encoded) {
    throw ManifestError(m.uninstallWhere, "the product name cannot be written in code page " +
                                              std::to_string(m.codePage) +
                                              ", which names the generated uninstaller's folder");
  }
  return *encoded;
}

// True for an entry some machine installs as a file.
bool IsInstalledFile(uint32_t flags) {
  uint32_t defaulted = DefaultEntryFlags(flags);
  return !(flags & kEntryListedOnly) && (defaulted & kEntryArchBits) != 0 &&
         ((defaulted >> kEntryOsShift) & kAllWindows) != 0;
}

// What the generated uninstaller removes for this package: the files it
// installs on any machine (in entry order, each name once as Windows
// compares names), then every folder they and the [[directories]] items
// imply, deepest first; the product's name, the names that find it
// running, and each language's texts.
UninstallRecordContents RecordFor(const Manifest& m, const AssembledPackage& a) {
  const PackageContents& c = a.contents;
  UninstallRecordContents r;
  r.flags = (c.flags & kHeaderFlag64BitView) ? kRecordFlag64BitView : 0;
  r.settings[kRecordProductName] = c.settings[kProductName];
  r.settings[kRecordMutexName] = c.settings[kMutexName];
  r.settings[kRecordWindowClass] = c.settings[kWindowClass];
  r.settings[kRecordWindowTitle] = c.settings[kWindowTitle];
  for (const Language& language : m.languages) {
    UninstallRecordContents::Language l;
    l.langId = language.texts.langId;
    for (uint32_t t = 0; t < kUninstallerTextCount; ++t) l.texts[t] = language.uninstall[t];
    l.texts[kUninstallProductRunning] = language.texts.texts[kTextProductRunning];
    l.texts[kUninstallNotAdministrator] = language.texts.texts[kTextNotAdministrator];
    r.languages.push_back(l);
  }
  std::set<std::string> files;
  std::map<std::string, std::pair<std::string, size_t>> folders;  // fold -> (UTF-8 name, depth)
  auto addFolders = [&](const std::string& path, size_t end) {
    for (size_t cut = end; cut != std::string::npos && cut != 0; cut = path.rfind('\\', cut - 1)) {
      std::string folder = path.substr(0, cut);
      if (InUninstallFolder(folder)) continue;
      folders.try_emplace(FoldCaseLikeWindows(folder), folder,
                          static_cast<size_t>(std::count(folder.begin(), folder.end(), '\\')));
    }
  };
  for (uint32_t i = 0; i < c.files.size(); ++i) {
    const std::string& name = a.utf8Names[i];
    if (InUninstallFolder(name)) continue;
    if (c.files[i].flags & kEntryListedOnly) {
      // "folder\\*": the folder and its parents.
      addFolders(name, name.size() >= 2 ? name.size() - 2 : std::string::npos);
      continue;
    }
    if (!IsInstalledFile(c.files[i].flags)) continue;
    if (!files.insert(FoldCaseLikeWindows(name)).second) continue;
    r.files.push_back(c.files[i].name);
    addFolders(name, name.rfind('\\'));
  }
  std::vector<std::pair<size_t, std::string>> sorted;
  for (const auto& [fold, folder] : folders) {
    // A prefix of an encoded name encodes.
    if (std::optional<std::string> encoded = EncodeCodePage(folder.first, m.codePage)) {
      sorted.emplace_back(folder.second, *encoded);
    }
  }
  std::sort(sorted.begin(), sorted.end(), std::greater<>());
  for (auto& [depth, folder] : sorted) r.folders.push_back(std::move(folder));
  return r;
}

// The shortcuts, the configuration command and the uninstall entry start
// the main executable ([product] main_executable, else "<name>.exe"), so
// the package must install it. Throws ManifestError naming the .exe files
// the package installs when it does not; warns when some machine the
// installer runs on does not get it.
void CheckMainExecutable(const Manifest& m, AssembledPackage& a) {
  const PackageContents& c = a.contents;
  const bool given = !m.settings[kMainExecutable].empty();
  const std::string main =
      ToBackslashes(Utf16ToUtf8(given ? m.settings[kMainExecutable] : m.settings[kProductName] + u".exe"));
  const std::string fold = FoldCaseLikeWindows(main);
  std::vector<std::string> programs;
  std::set<std::string> seen;
  uint32_t missing = 0;  // the first machine (arch bit << 16 | Windows bit) without it
  const uint32_t archs = c.supportedArchs ? c.supportedArchs : kAllArchitectures;
  const uint32_t versions = c.supportedVersions ? c.supportedVersions : kAllWindows;
  for (uint32_t arch = 1; arch <= kAllArchitectures && !missing; arch <<= 1) {
    for (uint32_t os = 1; os <= kAllWindows && !missing; os <<= 1) {
      if (!(archs & arch) || !(versions & os)) continue;
      bool found = false;
      for (uint32_t i = 0; i < c.files.size() && !found; ++i) {
        found = a.entryRule[i] != kNoRule && IsInstalledFile(c.files[i].flags) &&
                IsEntrySelected(DefaultEntryFlags(c.files[i].flags), arch, os) &&
                FoldCaseLikeWindows(a.utf8Names[i]) == fold;
      }
      if (!found) missing = arch << 16 | os;
    }
  }
  if (!missing) return;
  std::string message = "the main executable \"" + main + "\"" +
                        (given ? std::string() : " ([product] name + \".exe\", as main_executable is not set)");
  for (uint32_t i = 0; i < c.files.size(); ++i) {
    if (a.entryRule[i] != kNoRule && IsInstalledFile(c.files[i].flags) && FoldCaseLikeWindows(a.utf8Names[i]) == fold) {
      // Installed, though not everywhere: the other machines' shortcuts
      // and uninstall entry would point at nothing.
      a.warnings.push_back(Warning(given ? m.settingWhere[kMainExecutable] : m.productWhere,
                                   message + " is not installed on " + DescribeArchMask(missing >> 16) +
                                       " machines with Windows " + DescribeWindowsMask(missing & 0xFFFF) +
                                       ", where the installer runs; install it there too (a [[files]] item with "
                                       "those architectures and windows) or narrow [requirements]"));
      return;
    }
  }
  for (uint32_t i = 0; i < c.files.size(); ++i) {
    if (a.entryRule[i] != kNoRule && IsInstalledFile(c.files[i].flags) && Extension(a.utf8Names[i]) == "exe" &&
        seen.insert(FoldCaseLikeWindows(a.utf8Names[i])).second) {
      programs.push_back(a.utf8Names[i]);
    }
  }
  message += " is not among the packaged files; the shortcuts, the configuration command and the uninstall "
             "entry start it. ";
  if (programs.empty()) {
    message += "The package installs no .exe file: add the program with a [[files]] item, or set "
               "[product] main_executable to the packaged file to start";
  } else {
    std::string list;
    const size_t kShown = 10;
    for (size_t i = 0; i < programs.size() && i < kShown; ++i) {
      list += (i ? ", \"" : "\"") + programs[i] + "\"";
    }
    if (programs.size() > kShown) list += " and " + std::to_string(programs.size() - kShown) + " more";
    message += "The packaged .exe file" + std::string(programs.size() == 1 ? " is " : "s are ") + list +
               ": set [product] main_executable to " + (programs.size() == 1 ? "it" : "one of them");
  }
  SourcePosition where = given ? m.settingWhere[kMainExecutable] : m.productWhere;
  if (!given) {
    // A manifest from `tailpack init` holds the key commented out where it
    // belongs: point there.
    std::ifstream in(m.file);
    std::string line;
    for (uint32_t number = 1; std::getline(in, line); ++number) {
      if (line.rfind("# main_executable =", 0) == 0) {
        where = {m.productWhere.file, number, 1};
        message += " (uncomment this line)";
        break;
      }
    }
  }
  throw ManifestError(where, message);
}

// Appends the record and then the uninstaller, the last entry, which the
// installer registers as the uninstall command. Their data comes after
// every other file's, so a package laid out to stream still streams.
void AddUninstallEntries(const Manifest& m, AssembledPackage& a, const BlobSource& uninstaller, uint64_t time) {
  PackageContents& c = a.contents;
  std::vector<uint8_t> record;
  try {
    record = BuildUninstallRecord(RecordFor(m, a));
  } catch (const WriterError& e) {
    throw ManifestError(m.uninstallWhere, std::string("the uninstall record cannot be written: ") + e.what());
  }
  BlobSource recordSource;
  recordSource.bytes.assign(record.begin(), record.end());
  recordSource.size = record.size();
  ContentHash hash;
  hash.Add(record.data(), record.size());
  recordSource.hash = hash.Value();
  const std::string folder = ProductUninstallFolder(c.settings[kProductName]);
  const std::string encodedFolder = EncodedUninstallFolder(m, c.settings[kProductName]);
  a.sourceBytes += record.size() + uninstaller.size;
  a.sources.push_back(std::move(recordSource));
  c.files.push_back({RecordName(encodedFolder, record), 0, time, static_cast<uint32_t>(a.sources.size() - 1)});
  a.utf8Names.push_back(RecordName(folder, record));
  a.sources.push_back(uninstaller);
  c.files.push_back({encodedFolder + kUninstallerFileName, kEntryUninstaller | kEntryReplaceInUse, time,
                     static_cast<uint32_t>(a.sources.size() - 1)});
  a.utf8Names.push_back(folder + kUninstallerFileName);
  a.entryRule.insert(a.entryRule.end(), 2, kNoRule);
}

}  // namespace

AssembledPackage AssemblePackage(const Manifest& m, std::optional<int64_t> sourceDateEpoch, const fs::path& output,
                                 size_t readChunk, StreamLayout layout, const fs::path& uninstaller) {
  AssembledPackage result;
  std::vector<PendingEntry> pending;
  // The generated uninstaller: read now for its size and hash.
  BlobSource uninstallerSource;
  if (m.generateUninstaller) {
    if (uninstaller.empty()) {
      throw ManifestError(m.uninstallWhere, "uninstall.generated = true needs the uninstaller; pass --uninstaller PATH");
    }
    std::error_code ec;
    if (!fs::is_regular_file(uninstaller, ec)) {
      throw ToolError("the uninstaller " + sys::Utf8FromPath(uninstaller) + " does not exist");
    }
    uninstallerSource.path = uninstaller;
    uninstallerSource.size = fs::file_size(uninstaller, ec);
    if (ec) throw ToolError("cannot read the uninstaller " + sys::Utf8FromPath(uninstaller));
    if (uninstallerSource.size > kMaxUnpackedSize) {
      throw ToolError("the uninstaller " + sys::Utf8FromPath(uninstaller) + " does not fit a package");
    }
    std::vector<uint8_t> buffer;
    uninstallerSource.hash =
        ReadSource(uninstaller, uninstallerSource.size, readChunk, buffer, [](const uint8_t*, size_t) {});
  }

  for (uint32_t r = 0; r < m.files.size(); ++r) {
    const FileRule& rule = m.files[r];
    if (!rule.install && (rule.architectures != 0 || rule.windows != 0)) {
      throw ManifestError(rule.where, "a file with install = false is never installed; "
                                      "expected no architectures or windows for it");
    }
    uint32_t flags = rule.architectures | (rule.windows << kEntryOsShift);
    if (!rule.install) flags = kNeverInstalledOsBits;
    if (rule.directory) {
      PendingEntry e;
      e.name = ToBackslashes(StripSeparators(rule.target)) + "\\*";
      e.flags = flags | kEntryListedOnly;
      e.rule = r;
      pending.push_back(e);
      continue;
    }
    if (rule.replaceInUse) flags |= kEntryReplaceInUse;
    std::vector<SourceFile> matched;
    std::vector<std::string> leftOut;
    try {
      matched = ExpandSource(m.directory, rule.source, &leftOut);
    } catch (const ToolError& e) {
      throw ManifestError(rule.sourceWhere, e.what());
    }
    for (const std::string& link : leftOut) {
      result.warnings.push_back(Warning(rule.sourceWhere, "the symbolic link " + link +
                                                              " leads to no file or folder; it is left out"));
    }
    // The output is never packed: a glob skips the installer a previous
    // build left there; a source that is the output itself is refused.
    if (!output.empty() && fs::exists(output)) {
      for (auto it = matched.begin(); it != matched.end();) {
        if (!SameFile(it->path, output)) {
          ++it;
        } else if (HasWildcards(rule.source) && IsPackagedInstaller(it->path)) {
          it = matched.erase(it);
        } else {
          throw ManifestError(rule.sourceWhere, "the output " + sys::Utf8FromPath(output) +
                                                    " is also a source; choose another output");
        }
      }
    }
    if (matched.empty()) {
      throw ManifestError(rule.sourceWhere, "no file matches \"" + rule.source + "\" (relative to " +
                                                sys::Utf8FromPath(m.directory) + "); expected a file, a directory or a "
                                                "glob that matches at least one file");
    }
    std::error_code ec;
    bool plain = !HasWildcards(rule.source);
    // (An absolute source replaces the directory when appended.)
    bool directorySource = plain && fs::is_directory(FixedSourcePath(m.directory, rule.source), ec);
    for (const SourceFile& file : matched) {
      std::string target;
      if (plain && !directorySource) {
        if (rule.target.empty()) {
          target = file.relative;
        } else if (rule.target.back() == '/' || rule.target.back() == '\\') {
          target = rule.target + file.relative;
        } else {
          target = rule.target;
        }
      } else {
        std::string base = StripSeparators(rule.target);
        if (rule.target.empty() && directorySource) {
          base = StripSeparators(rule.source);
          size_t slash = base.find_last_of("/\\");
          if (slash != std::string::npos) base = base.substr(slash + 1);
          if (base == "." || base == "..") base.clear();
        }
        target = base.empty() ? file.relative : base + "/" + file.relative;
      }
      PendingEntry e;
      e.name = ToBackslashes(target);
      e.flags = flags;
      e.source = file.path;
      e.rule = r;
      int64_t seconds;
      uint32_t nanoseconds;
      std::error_code sizeError;
      e.size = fs::file_size(file.path, sizeError);
      try {
        if (sizeError) throw ToolError("cannot read " + sys::Utf8FromPath(file.path));
        sys::ModificationTime(file.path, &seconds, &nanoseconds);
      } catch (const ToolError& error) {
        throw ManifestError(rule.sourceWhere, error.what());
      }
      e.time = ClampedFileTime(seconds, nanoseconds, sourceDateEpoch);
      if (e.size > kMaxUnpackedSize) {
        throw ManifestError(rule.sourceWhere, sys::Utf8FromPath(file.path) + " is " + std::to_string(e.size) +
                                                  " bytes; the unpacked package must stay below 4 GiB");
      }
      pending.push_back(e);
    }
  }

  // The uninstaller and its record take the newest time among the
  // product's own files (each already no later than SOURCE_DATE_EPOCH), not
  // the uninstaller file's: that one depends on how the tool was installed
  // (a zip keeps times to two seconds, a package manager sets its own), and
  // every installation of the tool must give the same bytes.
  uint64_t uninstallerTime = 0;
  for (const PendingEntry& e : pending) uninstallerTime = std::max(uninstallerTime, e.time);
  if (m.generateUninstaller) {
    for (const PendingEntry& e : pending) {
      if (!InUninstallFolder(e.name)) continue;
      const FileRule& rule = m.files[e.rule];
      throw ManifestError(rule.target.empty() ? rule.sourceWhere : rule.targetWhere,
                          "\"" + e.name + "\" would be inside the folder " + kUninstallFolder +
                              "\\, which holds the generated uninstaller and its records; choose another target");
    }
  }

  // Settings, languages and header first: their size counts toward the limit.
  PackageContents& c = result.contents;
  c.settings = m.settings;
  c.supportedVersions = m.windows;
  c.supportedArchs = m.architectures;
  c.flags = m.headerFlags;
  for (const Language& language : m.languages) c.languages.push_back(language.texts);

  // Files of different sizes cannot share data: refuse early, before reading
  // anything, when even the distinct sizes reach 4 GiB.
  {
    PackageContents shape = c;
    std::set<uint64_t> sizes;
    uint64_t distinct = 0;
    for (const PendingEntry& e : pending) {
      if (sizes.insert(e.size).second) distinct += e.size;
      shape.files.push_back({e.name, 0, 0, 0});
    }
    if (UnpackedSize(shape) + distinct > kMaxUnpackedSize) {
      throw ManifestError(m.files.empty() ? SourcePosition{sys::Utf8FromPath(m.file), 1, 1} : m.files.back().where,
                          "the files make an unpacked package of at least " + std::to_string(UnpackedSize(shape) + distinct) +
                              " bytes; the format holds less than 4 GiB (4294967296 bytes)");
    }
  }

  // Names in the ANSI code page.
  for (const PendingEntry& e : pending) {
    std::optional<std::string> encoded = EncodeCodePage(e.name, m.codePage);
    if (!encoded) {
      const FileRule& rule = m.files[e.rule];
      throw ManifestError(rule.directory ? rule.sourceWhere : rule.targetWhere,
                          "the file name \"" + e.name + "\" cannot be written in code page " +
                              std::to_string(m.codePage) + "; expected names in that code page (see [setup] code_page)");
    }
    c.files.push_back({*encoded, e.flags, e.time, 0});
    result.utf8Names.push_back(e.name);
    result.entryRule.push_back(e.rule);
  }

  // Contents, stored once each: files are read once here, in pieces, for
  // their hash; equal hashes and sizes are confirmed byte by byte.
  std::unordered_map<uint64_t, std::vector<uint32_t>> byHash;
  std::vector<uint32_t> firstUser;  // blob -> first entry using it
  std::vector<BlobSource>& sources = result.sources;
  std::vector<uint8_t> buffer;
  uint64_t metadata = UnpackedSize(c);
  uint64_t stored = 0;
  for (uint32_t i = 0; i < pending.size(); ++i) {
    const PendingEntry& e = pending[i];
    if (e.source.empty()) {
      // Directory entries carry no data; they point at an empty blob.
      c.files[i].blob = UINT32_MAX;
      continue;
    }
    uint64_t hash = ReadSource(e.source, e.size, readChunk, buffer, [](const uint8_t*, size_t) {});
    result.sourceBytes += e.size;
    uint32_t blob = UINT32_MAX;
    for (uint32_t candidate : byHash[hash]) {
      if (blob == UINT32_MAX && sources[candidate].size == e.size &&
          SameContents(sources[candidate].path, e.source, e.size, readChunk)) {
        blob = candidate;
      }
    }
    if (blob == UINT32_MAX) {
      stored += e.size;
      if (metadata + stored > kMaxUnpackedSize) {
        throw ManifestError(m.files[e.rule].sourceWhere,
                            "with " + sys::Utf8FromPath(e.source) + " the unpacked package reaches " +
                                std::to_string(metadata + stored) +
                                " bytes; the format holds less than 4 GiB (4294967296 bytes)");
      }
      blob = static_cast<uint32_t>(sources.size());
      sources.push_back({e.source, e.size, hash, {}});
      firstUser.push_back(i);
      byHash[hash].push_back(blob);
    }
    c.files[i].blob = blob;
  }
  // Directory entries share one empty blob (or any empty file's).
  bool needsEmpty = std::any_of(c.files.begin(), c.files.end(), [](const PackageFile& f) { return f.blob == UINT32_MAX; });
  if (needsEmpty) {
    uint32_t empty = UINT32_MAX;
    for (uint32_t b = 0; b < sources.size(); ++b) {
      if (sources[b].size == 0) empty = b;
    }
    if (empty == UINT32_MAX) {
      empty = static_cast<uint32_t>(sources.size());
      sources.push_back({fs::path(), 0, ContentHash().Value(), {}});
      uint32_t user = 0;
      while (c.files[user].blob != UINT32_MAX) ++user;
      firstUser.push_back(user);
    }
    for (PackageFile& f : c.files) {
      if (f.blob == UINT32_MAX) f.blob = empty;
    }
  }

  // Order the data for the compressor: as the entries come (sources are
  // expanded in path order, so the files of a folder sit together), or by
  // extension, then file name, then path, so that files of a kind do.
  std::vector<uint32_t> order(sources.size());
  for (uint32_t b = 0; b < order.size(); ++b) order[b] = b;
  bool byExtension = m.dataOrder == Manifest::DataOrder::kExtension;
  auto key = [&](uint32_t b) {
    const std::string& name = result.utf8Names[firstUser[b]];
    if (!byExtension) return std::make_tuple(std::string(), std::string(), std::string(), firstUser[b]);
    return std::make_tuple(Extension(name), BaseName(name), LowerAscii(name), firstUser[b]);
  };
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return key(a) < key(b); });
  std::vector<uint32_t> newIndex(sources.size());
  std::vector<BlobSource> ordered(sources.size());
  for (uint32_t position = 0; position < order.size(); ++position) {
    newIndex[order[position]] = position;
    ordered[position] = std::move(sources[order[position]]);
  }
  sources = std::move(ordered);
  for (PackageFile& f : c.files) f.blob = newIndex[f.blob];

  // The info text.
  uint32_t index = UINT32_MAX;
  if (!m.infoText.empty()) {
    std::string wanted = LowerAscii(ToBackslashes(m.infoText));
    for (uint32_t i = 0; i < result.utf8Names.size() && index == UINT32_MAX; ++i) {
      if (LowerAscii(result.utf8Names[i]) == wanted && !(c.files[i].flags & kEntryListedOnly)) index = i;
    }
    if (index == UINT32_MAX) {
      throw ManifestError(m.infoTextWhere, "no packaged file has the target path \"" + m.infoText +
                                               "\"; expected the target of a [[files]] item (add one with "
                                               "install = false to show a text without installing it)");
    }
  }
  if (index != UINT32_MAX) index = ShowInUtf8(result, index, m.codePage);
  // The uninstall entries come last; they count toward the head and the
  // streaming size like the others.
  uint64_t uninstallMetadata = 0, uninstallData = 0;
  if (m.generateUninstaller) {
    uninstallMetadata = UninstallMetadata(EncodedUninstallFolder(m, c.settings[kProductName]).size());
    try {
      uninstallData = uninstallerSource.size + BuildUninstallRecord(RecordFor(m, result)).size();
    } catch (const WriterError& e) {
      throw ManifestError(m.uninstallWhere, std::string("the uninstall record cannot be written: ") + e.what());
    }
  }
  // Above the streaming size the installer holds only the head of the
  // block: the metadata and the info text's data.
  result.headSize = metadata + uninstallMetadata;
  if (metadata + uninstallMetadata + stored + uninstallData > layout.streamThreshold) {
    result.streams = true;
    LayOutForStreaming(result, index);
    if (index != UINT32_MAX) result.headSize += result.sources[c.files[index].blob].size;
  }
  if (index != UINT32_MAX) {
    if (index >= kNoInfoEntry) {
      throw ManifestError(m.infoTextWhere, "the info text is entry " + std::to_string(index) +
                                               "; it must be among the first 65535 entries");
    }
    c.infoEntry = static_cast<uint16_t>(index);
  }
  if (m.generateUninstaller) {
    AddUninstallEntries(m, result, uninstallerSource, uninstallerTime);
    uint64_t total = UnpackedSize(c);
    for (const BlobSource& source : result.sources) total += source.size;
    if (total > kMaxUnpackedSize) {
      throw ManifestError(m.uninstallWhere, "with the generated uninstaller the unpacked package reaches " +
                                                std::to_string(total) +
                                                " bytes; the format holds less than 4 GiB (4294967296 bytes)");
    }
  }

  // Everything the installer would reject or could not hold.
  std::vector<LimitProblem> problems = CheckLimits(c, result.utf8Names);
  if (!problems.empty()) {
    std::string text;
    for (const LimitProblem& p : problems) {
      SourcePosition where{sys::Utf8FromPath(m.file), 1, 1};
      switch (p.subject) {
        case LimitProblem::Subject::kSetting:
          where = m.settingWhere[p.index].line ? m.settingWhere[p.index] : m.productWhere;
          break;
        case LimitProblem::Subject::kText: {
          auto it = m.textWhere.find({p.language, p.index});
          if (it != m.textWhere.end()) {
            where = it->second;
          } else {
            // A built-in text that no longer fits: the product name made it too long.
            uint32_t cause = p.index == 0 && !m.settings[kProductVersion].empty() ? kProductVersion : kProductName;
            where = m.settingWhere[cause].line ? m.settingWhere[cause] : m.productWhere;
          }
          break;
        }
        case LimitProblem::Subject::kFile: {
          if (result.entryRule[p.index] == kNoRule) {
            where = m.uninstallWhere;
            break;
          }
          const FileRule& rule = m.files[result.entryRule[p.index]];
          where = rule.target.empty() ? rule.sourceWhere : rule.targetWhere;
          break;
        }
        case LimitProblem::Subject::kPackage:
          where = m.languagesWhere;
          break;
      }
      text += (text.empty() ? "" : "\n") + FormatPosition(where) + ": error: " + p.message;
    }
    throw PositionedError(text);
  }

  // Warnings: files written twice on one machine, product names the
  // registry key would mangle.
  std::map<std::string, std::vector<uint32_t>> byName;
  for (uint32_t i = 0; i < c.files.size(); ++i) {
    if (!(c.files[i].flags & kEntryListedOnly) && result.entryRule[i] != kNoRule) {
      byName[FoldCaseLikeWindows(result.utf8Names[i])].push_back(i);
    }
  }
  for (const auto& [name, users] : byName) {
    for (size_t a = 0; a < users.size(); ++a) {
      for (size_t b = a + 1; b < users.size(); ++b) {
        uint32_t fa = DefaultEntryFlags(c.files[users[a]].flags), fb = DefaultEntryFlags(c.files[users[b]].flags);
        if ((fa & fb & kEntryArchBits) && (fa & fb & kEntryOsBits)) {
          result.warnings.push_back(Warning(m.files[result.entryRule[users[b]]].sourceWhere,
                                            "\"" + result.utf8Names[users[b]] +
                                                "\" is also written by an earlier entry on some machines; the later one wins"));
        }
      }
    }
  }
  CheckMainExecutable(m, result);
  for (char16_t unit : m.settings[kProductName]) {
    if (unit > 0xFF) {
      result.warnings.push_back(Warning(m.settingWhere[kProductName],
                                        "the installer keeps only the low byte of each character of ProductName "
                                        "in the uninstall registry key name"));
      break;
    }
  }
  return result;
}

fs::path FindStub(const std::string& choice, const fs::path& toolDirectory) {
  std::vector<fs::path> candidates;
  // Next to the tool, where a package installs them (/usr/bin/tailpack,
  // /usr/lib/tailpack/), and in the build tree.
  if (choice == "x86") {
    candidates = {toolDirectory / "tailpack-stub-x86.exe", toolDirectory / ".." / "lib" / "tailpack" / "tailpack-stub-x86.exe",
                  toolDirectory / ".." / "win32" / "tailpack-stub.exe"};
  } else if (choice == "x64") {
    candidates = {toolDirectory / "tailpack-stub-x64.exe", toolDirectory / ".." / "lib" / "tailpack" / "tailpack-stub-x64.exe",
                  toolDirectory / ".." / "win64" / "tailpack-stub.exe"};
  } else {
    fs::path path = sys::PathFromUtf8(choice);
    if (!fs::is_regular_file(path)) throw ToolError("the stub " + choice + " does not exist");
    return path;
  }
  std::string looked;
  for (const fs::path& candidate : candidates) {
    std::error_code ec;
    if (fs::is_regular_file(candidate, ec)) return candidate.lexically_normal();
    looked += (looked.empty() ? "" : ", ") + sys::Utf8FromPath(candidate.lexically_normal());
  }
  throw ToolError("no " + choice + " stub found (looked at " + looked + "); build it with `make " +
                  (choice == "x86" ? "win32" : "win64") + "` or pass --stub PATH");
}

fs::path FindUninstaller(uint16_t machine, const fs::path& toolDirectory) {
  std::string arch;
  const char* tree = nullptr;
  if (machine == 0x014C) {
    arch = "x86";
    tree = "win32";
  } else if (machine == 0x8664) {
    arch = "x64";
    tree = "win64";
  } else {
    char hex[8];
    snprintf(hex, sizeof hex, "0x%04X", machine);
    throw ToolError(std::string("no generated uninstaller is made for the stub's machine ") + hex +
                    "; pass --uninstaller PATH");
  }
  const std::string installed = "tailpack-uninstall-" + arch + ".exe";
  const std::vector<fs::path> candidates = {toolDirectory / installed,
                                            toolDirectory / ".." / "lib" / "tailpack" / installed,
                                            toolDirectory / ".." / tree / "tailpack-uninstall.exe"};
  std::string looked;
  for (const fs::path& candidate : candidates) {
    std::error_code ec;
    if (fs::is_regular_file(candidate, ec)) return candidate.lexically_normal();
    looked += (looked.empty() ? "" : ", ") + sys::Utf8FromPath(candidate.lexically_normal());
  }
  throw ToolError("no " + arch + " uninstaller found (looked at " + looked + "); build it with `make " + tree +
                  "` or pass --uninstaller PATH");
}

namespace {

// The PE machine of a stub image; ToolError when it is not an executable.
uint16_t StubMachine(const std::vector<uint8_t>& stub, const fs::path& path) {
  PeFacts facts;
  uint32_t size = stub.size() > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(stub.size());
  if (ReadPeFacts(stub.data(), size, &facts) != kPackageOk || facts.imageEnd > stub.size()) {
    throw ToolError("the stub " + sys::Utf8FromPath(path) + " is not a Windows executable");
  }
  return facts.machine;
}

struct ProgressBar {
  std::ostream* err = nullptr;
  std::chrono::steady_clock::time_point last{};
  int lastPercent = -1;
  bool drawn = false;

  static void Update(uint64_t done, uint64_t total, void* context) {
    auto* bar = static_cast<ProgressBar*>(context);
    int percent = total ? static_cast<int>(done * 100 / total) : 100;
    auto now = std::chrono::steady_clock::now();
    if (percent == bar->lastPercent || (now - bar->last < std::chrono::milliseconds(100) && percent != 100)) return;
    bar->last = now;
    bar->lastPercent = percent;
    const int kWidth = 30;
    int filled = percent * kWidth / 100;
    std::string line = "\rcompressing [" + std::string(filled, '#') + std::string(kWidth - filled, '-') + "] ";
    char numbers[64];
    snprintf(numbers, sizeof numbers, "%3d%%  %s of %s", percent, HumanSize(done).c_str(), HumanSize(total).c_str());
    *bar->err << line << numbers << "\x1b[K" << std::flush;
    bar->drawn = true;
  }

  void Clear() {
    if (drawn) *err << "\r\x1b[K" << std::flush;
  }
};

}  // namespace

BuildResult BuildInstaller(const BuildOptions& options, std::ostream& out, std::ostream& err) {
  auto start = std::chrono::steady_clock::now();
  // A folder stands for the manifest in it, as `tailpack init DIR` writes it.
  std::error_code ec;
  fs::path manifestPath = options.manifest;
  if (fs::is_directory(manifestPath, ec)) manifestPath /= kManifestName;
  Manifest manifest = LoadManifest(manifestPath);
  fs::path output;
  if (options.output) {
    output = *options.output;
  } else if (!manifest.output.empty()) {
    output = manifest.directory / sys::PathFromUtf8(manifest.output);
  } else {
    output = "setup.exe";
  }
  // The installer is a file: an output that is a folder (or ends in a
  // separator) is refused before anything is read.
  if (!output.has_filename() || fs::is_directory(output, ec)) {
    fs::path suggestion = (output.has_filename() ? output : output.parent_path()) / "setup.exe";
    throw ToolError("the output " + sys::Utf8FromPath(output) + " names a folder; name the installer to write, " +
                    "for example -o " + sys::Utf8FromPath(suggestion));
  }
  // The uninstaller matches the stub's machine, so the stub is read first
  // when the package has one.
  fs::path uninstaller;
  std::vector<uint8_t> stub;
  if (manifest.generateUninstaller) {
    if (options.uninstaller) {
      uninstaller = *options.uninstaller;
    } else {
      stub = ReadWholeFile(options.stub, "stub");
      uint16_t machine = StubMachine(stub, options.stub);
      uninstaller = FindUninstaller(machine, options.toolDirectory.empty() ? sys::ToolDirectory() : options.toolDirectory);
    }
  }
  for (const auto& [input, what] : {std::pair{manifestPath, "manifest"}, std::pair{options.stub, "stub"},
                                    std::pair{uninstaller, "uninstaller"}}) {
    if (!input.empty() && SameFile(input, output)) {
      throw ToolError("the output " + sys::Utf8FromPath(output) + " is the " + what + "; choose another output");
    }
  }
  AssembledPackage assembled =
      AssemblePackage(manifest, options.sourceDateEpoch, output, options.readChunk, options.layout, uninstaller);
  if (!options.quiet) {
    for (const std::string& warning : assembled.warnings) err << warning << "\n";
  }

  if (stub.empty()) {
    stub = ReadWholeFile(options.stub, "stub");
    StubMachine(stub, options.stub);
  }

  BuildResult result;
  result.fileCount = static_cast<uint32_t>(assembled.contents.files.size());
  result.blobCount = static_cast<uint32_t>(assembled.sources.size());
  result.languageCount = static_cast<uint32_t>(assembled.contents.languages.size());
  result.sourceBytes = assembled.sourceBytes;

  std::vector<uint64_t> sizes;
  for (const BlobSource& source : assembled.sources) sizes.push_back(source.size);
  std::vector<uint8_t> head = BuildBlockHead(assembled.contents, sizes);
  result.unpackedSize = head.size();
  for (uint64_t size : sizes) result.unpackedSize += size;

  // Stub, then the block streamed through the compressor straight into the
  // file: the head, then each stored file read again in pieces.
  sys::AtomicOutput installer(output);
  std::vector<uint8_t> image = PrepareImage(stub);
  installer.Write(image.data(), image.size());
  ProgressBar bar;
  bar.err = &err;
  bool drawProgress = options.progress && !options.quiet;
  uint64_t fed = 0;
  StreamCompressor compressor(manifest.compression,
                              [&installer](const uint8_t* data, size_t size) { installer.Write(data, size); });
  auto feed = [&](const uint8_t* data, size_t size) {
    compressor.Write(data, size);
    fed += size;
    if (drawProgress) ProgressBar::Update(fed, result.unpackedSize, &bar);
  };
  // A compression failure names what was being written: the entry whose
  // data it was (the first of those sharing it), or the file list.
  std::vector<std::string> blobEntry(assembled.sources.size());
  for (uint32_t i = 0; i < assembled.contents.files.size(); ++i) {
    std::string& name = blobEntry[assembled.contents.files[i].blob];
    if (name.empty()) name = "\"" + assembled.utf8Names[i] + "\"";
  }
  auto compressing = [](const std::string& what, auto&& step) {
    try {
      step();
    } catch (const WriterError& e) {
      throw ToolError("while compressing " + what + ": " + e.what());
    }
  };
  compressing("the file list and texts", [&] { feed(head.data(), head.size()); });
  std::vector<uint8_t> buffer;
  for (uint32_t b = 0; b < assembled.sources.size(); ++b) {
    const BlobSource& source = assembled.sources[b];
    std::string what = blobEntry[b].empty() ? "the package's data" : blobEntry[b];
    if (source.path.empty()) {
      compressing(what, [&] { feed(reinterpret_cast<const uint8_t*>(source.bytes.data()), source.bytes.size()); });
      continue;
    }
    compressing(what + " (from " + sys::Utf8FromPath(source.path) + ")", [&] {
      if (ReadSource(source.path, source.size, options.readChunk, buffer, feed) != source.hash) {
        throw ToolError(sys::Utf8FromPath(source.path) + " changed while it was being read");
      }
    });
  }
  compressing("the end of the package", [&] { compressor.Finish(); });
  bar.Clear();
  result.packedSize = compressor.PackedSize();
  std::vector<uint8_t> trailer = EncodeTrailer(compressor.Trailer());
  installer.Write(trailer.data(), trailer.size());
  // Zero slack up to an 8-byte boundary, where a signature's certificate
  // table has to begin.
  std::vector<uint8_t> slack((8 - installer.Size() % 8) % 8, 0);
  installer.Write(slack.data(), slack.size());
  installer.Commit();
  result.output = output;
  result.installerSize = installer.Size();
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // The installer reads the packed data in small pieces and holds the
  // decoder's dictionary and the unpacked block, or, when the package
  // streams, only the block's first bytes: its metadata and info text.
  result.streams = assembled.streams && assembled.headSize <= options.layout.heldSize;
  uint64_t held = result.streams ? options.layout.heldSize : result.unpackedSize;
  result.installerMemory = held + manifest.compression.dictionarySize;
  if (result.installerMemory > options.installerMemoryWarning) {
    std::string what = result.streams ? "the first " + HumanSize(held) + " of the unpacked package"
                       : assembled.streams ? "the unpacked package, because its metadata and info text take more "
                                             "than the " + HumanSize(options.layout.heldSize) + " it would hold"
                                           : "the unpacked package";
    result.warnings.push_back(
        FormatPosition({sys::Utf8FromPath(manifest.file), 1, 1}) + ": warning: the installer needs " +
        HumanSize(result.installerMemory) + " of memory at once to load this package (" + what +
        " and the dictionary); a 32-bit installer cannot count on more than " +
        HumanSize(options.installerMemoryWarning) + " in one piece of its 2 GiB address space");
  }
  if (!options.quiet) {
    for (const std::string& warning : result.warnings) err << warning << "\n";
  }
  if (!options.quiet) {
    char time[32];
    snprintf(time, sizeof time, "%.2f s", result.seconds);
    out << "wrote " << sys::Utf8FromPath(output) << " (" << HumanSize(result.installerSize) << "): "
        << Plural(result.fileCount, "file") << " (" << result.blobCount << " stored), "
        << Plural(result.languageCount, "language") << ", " << HumanSize(result.unpackedSize) << " unpacked, "
        << HumanSize(result.packedSize) << " packed, in " << time << "\n";
  }
  return result;
}

}  // namespace tailpack
