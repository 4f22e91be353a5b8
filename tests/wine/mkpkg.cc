// mkpkg: writes installers for the end-to-end tests. It appends a package
// made from command-line options to a runtime stub and can damage the result
// in the ways the loader has to detect. Options are read in order; the file
// options (--entry-flags, --mtime) apply to the file added last. See
// tests/wine/README.md.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "package/writer.h"
#include "tool/encoding.h"
#include "tool/languages.h"

namespace fs = std::filesystem;
using tailpack::LanguageTexts;
using tailpack::PackageContents;

namespace {

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct IoError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

const char kUsage[] = R"(usage: mkpkg --stub PATH --out PATH [options]
package header:
  --versions MASK        supported Windows versions, an OsMask (default 0: all)
  --archs MASK           supported architectures, an ArchMask (default 0: all)
  --flags N              header flags (default 0)
  --info-entry N         index of the info-text file (default: none)
languages and settings:
  --languages LIST       comma-separated from en,de; the first is the fallback (default en,de)
  --lang-id LANG=ID      LANGID of en or de (defaults 0x0409, 0x0407)
  --text LANG:INDEX=TEXT replace UI text INDEX (0-22) of en or de
  --setting NAME=VALUE   set a setting, e.g. ProductName=Zentrova; an empty value
                         stores it empty (absent); defaults: ProductName=Zentrova,
                         ProductVersion=2.1.3, Publisher=Halvix
files (default: readme.txt and data\settings.ini, unless any file option is given):
  --file NAME=HOSTPATH   add a file with the contents of HOSTPATH
  --content NAME=TEXT    add a file holding TEXT (UTF-8 bytes)
  --entry-flags N        FileEntry flags of the file added last (default 0)
  --mtime N              FILETIME of the file added last
  --no-files             a package without files
stream:
  --dict-size N          LZMA dictionary size in bytes (default 8388608)
  --end-marker           end the LZMA stream with an end marker
  --extra-data N         the stream goes on for N bytes past the block; the
                         trailer describes the block alone
  --dict-field N         write N into the stream's dictionary-size property
                         after compressing
layout and damage:
  --slack N              zero bytes after the trailer (default 0)
  --fake-certificate N   append N bytes as a certificate table and point the
                         certificate-table entry at them (the package end)
  --checksum-delta D     add D (may be negative) to the trailer checksum
  --corrupt-checksum     same as --checksum-delta 1
  --cut-packed N         drop the last N bytes of the packed stream; the
                         trailer's packed size still matches
  --truncate N           drop the last N bytes of the finished file
Numbers may be decimal or 0x-prefixed hexadecimal.
)";

// In SettingIndex order.
const char* const kSettings[kSettingCount] = {
    "ProductName", "ProductVersion", "MainExecutable", "LaunchTarget",
    "MutexName",   "WindowClass",    "WindowTitle",    "Publisher",
    "DefaultFolder", "ConfigCommand", "UninstallArguments", "UnsupportedOsLink",
};

// The German block the tool ships, as a second language to select.
LanguageTexts GermanLanguage() {
  for (const tailpack::Language& language : tailpack::DefaultLanguages()) {
    if (language.code == "de") return language.texts;
  }
  throw UsageError("the tool ships no German texts");
}

std::u16string Utf16FromUtf8(std::string_view text) {
  std::optional<std::u16string> converted = tailpack::Utf8ToUtf16(std::string(text));
  if (!converted) throw UsageError("invalid UTF-8 in \"" + std::string(text) + "\"");
  return *converted;
}

int64_t ParseNumber(const std::string& option, const std::string& text, int64_t low, int64_t high) {
  size_t used = 0;
  int64_t value = 0;
  try {
    value = std::stoll(text, &used, 0);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value < low || value > high) {
    throw UsageError(option + ": bad number \"" + text + "\"");
  }
  return value;
}

// Splits "KEY=VALUE" at the first "=".
std::pair<std::string, std::string> SplitAssignment(const std::string& option,
                                                    const std::string& text) {
  size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0) {
    throw UsageError(option + ": expected KEY=VALUE, got \"" + text + "\"");
  }
  return {text.substr(0, equals), text.substr(equals + 1)};
}

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw IoError("cannot read " + path.string());
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw IoError("cannot write " + path.string());
}

struct Options {
  fs::path stub;
  fs::path out;
  PackageContents contents;
  std::vector<std::string> languageOrder = {"en", "de"};
  LanguageTexts english = tailpack::EnglishLanguage();
  LanguageTexts german = GermanLanguage();
  bool filesGiven = false;
  tailpack::LzmaSettings lzma;
  uint32_t slack = 0;
  uint32_t fakeCertificate = 0;
  int64_t checksumDelta = 0;
  uint32_t cutPacked = 0;
  uint32_t truncate = 0;
  uint32_t extraData = 0;
  std::optional<uint32_t> dictField;
};

LanguageTexts& LanguageByTag(Options& o, const std::string& option, const std::string& tag) {
  if (tag == "en") return o.english;
  if (tag == "de") return o.german;
  throw UsageError(option + ": unknown language \"" + tag + "\" (en or de)");
}

void AddFile(Options& o, const std::string& name, std::vector<uint8_t> data) {
  o.filesGiven = true;
  o.contents.blobs.push_back(std::move(data));
  tailpack::PackageFile file;
  file.name = name;
  file.modificationTime = 0x01D9A5C3B6F4E000ull;  // 2023-06-01
  file.blob = static_cast<uint32_t>(o.contents.blobs.size() - 1);
  o.contents.files.push_back(file);
}

tailpack::PackageFile& LastFile(Options& o, const std::string& option) {
  if (o.contents.files.empty()) throw UsageError(option + " needs a file added before it");
  return o.contents.files.back();
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  o.contents.settings[kProductName] = u"Zentrova";
  o.contents.settings[kProductVersion] = u"2.1.3";
  o.contents.settings[kPublisher] = u"Halvix";
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::cout << kUsage;
      std::exit(0);
    }
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw UsageError(option + " needs a value");
      return argv[++i];
    };
    if (option == "--stub") {
      o.stub = value();
    } else if (option == "--out") {
      o.out = value();
    } else if (option == "--versions") {
      o.contents.supportedVersions = static_cast<uint16_t>(ParseNumber(option, value(), 0, 0xFFFF));
    } else if (option == "--archs") {
      o.contents.supportedArchs = static_cast<uint8_t>(ParseNumber(option, value(), 0, 0xFF));
    } else if (option == "--flags") {
      o.contents.flags = static_cast<uint8_t>(ParseNumber(option, value(), 0, 0xFF));
    } else if (option == "--info-entry") {
      o.contents.infoEntry = static_cast<uint16_t>(ParseNumber(option, value(), 0, 0xFFFF));
    } else if (option == "--languages") {
      o.languageOrder.clear();
      std::string list = value();
      for (size_t start = 0; start <= list.size();) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        std::string tag = list.substr(start, comma - start);
        LanguageByTag(o, option, tag);
        o.languageOrder.push_back(tag);
        start = comma + 1;
      }
    } else if (option == "--lang-id") {
      auto [tag, id] = SplitAssignment(option, value());
      LanguageByTag(o, option, tag).langId = static_cast<uint16_t>(ParseNumber(option, id, 0, 0xFFFF));
    } else if (option == "--text") {
      auto [where, text] = SplitAssignment(option, value());
      size_t colon = where.find(':');
      if (colon == std::string::npos) throw UsageError(option + ": expected LANG:INDEX=TEXT");
      LanguageTexts& language = LanguageByTag(o, option, where.substr(0, colon));
      int64_t index = ParseNumber(option, where.substr(colon + 1), 0, kUiTextCount - 1);
      language.texts[static_cast<size_t>(index)] = Utf16FromUtf8(text);
    } else if (option == "--setting") {
      auto [name, text] = SplitAssignment(option, value());
      size_t index = 0;
      while (index < kSettingCount && name != kSettings[index]) ++index;
      if (index == kSettingCount) throw UsageError(option + ": unknown setting " + name);
      o.contents.settings[index] = Utf16FromUtf8(text);
    } else if (option == "--file") {
      auto [name, path] = SplitAssignment(option, value());
      AddFile(o, name, ReadFile(path));
    } else if (option == "--content") {
      auto [name, text] = SplitAssignment(option, value());
      AddFile(o, name, std::vector<uint8_t>(text.begin(), text.end()));
    } else if (option == "--entry-flags") {
      std::string text = value();
      LastFile(o, option).flags = static_cast<uint32_t>(ParseNumber(option, text, 0, 0xFFFFFFFF));
    } else if (option == "--mtime") {
      std::string text = value();
      LastFile(o, option).modificationTime =
          static_cast<uint64_t>(ParseNumber(option, text, 0, INT64_MAX));
    } else if (option == "--no-files") {
      o.filesGiven = true;
    } else if (option == "--dict-size") {
      o.lzma.dictionarySize = static_cast<uint32_t>(ParseNumber(option, value(), 4096, 1536u << 20));
    } else if (option == "--end-marker") {
      o.lzma.endMarker = true;
    } else if (option == "--extra-data") {
      o.extraData = static_cast<uint32_t>(ParseNumber(option, value(), 0, 1 << 24));
    } else if (option == "--dict-field") {
      o.dictField = static_cast<uint32_t>(ParseNumber(option, value(), 0, UINT32_MAX));
    } else if (option == "--slack") {
      o.slack = static_cast<uint32_t>(ParseNumber(option, value(), 0, 1 << 20));
    } else if (option == "--fake-certificate") {
      o.fakeCertificate = static_cast<uint32_t>(ParseNumber(option, value(), 8, 1 << 20));
    } else if (option == "--checksum-delta") {
      o.checksumDelta = ParseNumber(option, value(), INT32_MIN, INT32_MAX);
    } else if (option == "--corrupt-checksum") {
      o.checksumDelta = 1;
    } else if (option == "--cut-packed") {
      o.cutPacked = static_cast<uint32_t>(ParseNumber(option, value(), 0, UINT32_MAX));
    } else if (option == "--truncate") {
      o.truncate = static_cast<uint32_t>(ParseNumber(option, value(), 0, UINT32_MAX));
    } else {
      throw UsageError("unknown option " + option);
    }
  }
  if (o.stub.empty() || o.out.empty()) throw UsageError("--stub and --out are required");
  return o;
}

std::vector<uint8_t> BuildInstaller(Options& o) {
  if (!o.filesGiven) {
    AddFile(o, "readme.txt", {'Z', 'e', 'n', 't', 'r', 'o', 'v', 'a', '\r', '\n'});
    std::string ini = "[Settings]\r\nLanguage=auto\r\n";
    AddFile(o, "data\\settings.ini", std::vector<uint8_t>(ini.begin(), ini.end()));
  }
  for (const std::string& tag : o.languageOrder) {
    o.contents.languages.push_back(tag == "en" ? o.english : o.german);
  }

  std::vector<uint8_t> block = tailpack::BuildBlock(o.contents);
  std::vector<uint8_t> streamed = block;
  for (uint32_t i = 0; i < o.extraData; ++i) streamed.push_back(static_cast<uint8_t>(i * 131 + 7));
  std::vector<uint8_t> packed = tailpack::CompressBlock(streamed, o.lzma);
  if (o.dictField) {
    for (int k = 0; k < 4; ++k) packed[1 + k] = static_cast<uint8_t>(*o.dictField >> (8 * k));
  }
  PackageTrailer trailer = tailpack::MakeTrailer(block, packed);
  trailer.checksum += static_cast<uint32_t>(o.checksumDelta);
  if (o.cutPacked > 0) {
    if (o.cutPacked >= packed.size()) throw UsageError("--cut-packed removes the whole stream");
    packed.resize(packed.size() - o.cutPacked);
    trailer.packedSize = static_cast<uint32_t>(packed.size());
  }
  std::vector<uint8_t> installer =
      tailpack::AppendPackage(ReadFile(o.stub), packed, trailer, o.slack);

  if (o.fakeCertificate > 0) {
    // A WIN_CERTIFICATE header (length, revision 2.0, PKCS#7 type) and filler.
    uint32_t offset = static_cast<uint32_t>(installer.size());
    uint32_t length = o.fakeCertificate;
    for (int k = 0; k < 4; ++k) installer.push_back(static_cast<uint8_t>(length >> (8 * k)));
    installer.insert(installer.end(), {0x00, 0x02, 0x02, 0x00});
    installer.resize(offset + length, 0xA5);
    tailpack::SetCertificateEntry(installer, offset, length);
  }
  if (o.truncate > 0) {
    if (o.truncate >= installer.size()) throw UsageError("--truncate removes the whole file");
    installer.resize(installer.size() - o.truncate);
  }
  return installer;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    Options options = ParseOptions(argc, argv);
    WriteFile(options.out, BuildInstaller(options));
    return 0;
  } catch (const UsageError& e) {
    std::cerr << "mkpkg: " << e.what() << "\n(mkpkg --help lists the options)\n";
    return 2;
  } catch (const IoError& e) {
    std::cerr << "mkpkg: " << e.what() << "\n";
    return 1;
  } catch (const tailpack::WriterError& e) {
    std::cerr << "mkpkg: cannot write the package: " << e.what() << "\n";
    return 1;
  }
}
