#include "tests/hostile/corpus.h"

#include <cstring>

#include "package/pe.h"
#include "package/writer.h"

namespace hostile {
namespace {

using tailpack::BlockLayout;
using tailpack::PackageContents;

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

// Fast settings: the corpus is made on every test run.
tailpack::LzmaSettings Fast() {
  tailpack::LzmaSettings s;
  s.preset = 1;
  s.extreme = false;
  s.dictionarySize = 1 << 16;
  return s;
}

// A package the loader accepts: one language, the usual settings, three
// files whose last blob ends the block (so any cut of the block is missing
// data), an info entry.
PackageContents BaseContents() {
  PackageContents c;
  c.languages.push_back(tailpack::EnglishLanguage());
  c.settings[kProductName] = u"Zentrova";
  c.settings[kProductVersion] = u"2.1.3";
  c.settings[kPublisher] = u"Halvix";
  c.settings[kConfigCommand] = u"-xi:%u:%s";
  c.settings[kUninstallArguments] = u"-xu";
  c.blobs = {{'M', 'Z', ' ', 'a', 'p', 'p'}, {'d', 'a', 't', 'a'}, {'l', 'i', 'c', 'e', 'n', 's', 'e'}};
  c.files = {
      {"zentrova.exe", 0, 0x01D9000000000000ull, 0},
      {"data\\table.bin", 0, 0x01D9000000000001ull, 1},
      {"license.txt", 0, 0x01D9000000000002ull, 2},
  };
  c.infoEntry = 2;
  return c;
}

class Maker {
 public:
  Maker(const std::vector<uint8_t>& stub, const std::function<void(Case&&)>& emit) : stub_(stub), emit_(emit) {}

  void Emit(const std::string& name, std::vector<uint8_t> bytes) { emit_(Case{name, std::move(bytes)}); }

  // An installer carrying `block` with a correct trailer, or one whose
  // checksum is taken from `checksumOf` instead.
  std::vector<uint8_t> FromBlock(const std::vector<uint8_t>& block, const std::vector<uint8_t>* checksumOf = nullptr,
                                 const tailpack::LzmaSettings& settings = Fast()) {
    std::vector<uint8_t> packed = tailpack::CompressBlock(block, settings);
    PackageTrailer trailer = tailpack::MakeTrailer(checksumOf ? *checksumOf : block, packed);
    trailer.unpackedSize = static_cast<uint32_t>(block.size());
    return tailpack::AppendPackage(stub_, packed, trailer);
  }

  void EmitBlock(const std::string& name, const std::vector<uint8_t>& block) { Emit(name, FromBlock(block)); }

  void EmitContents(const std::string& name, const PackageContents& c) {
    EmitBlock(name, tailpack::BuildBlock(c));
  }

 private:
  const std::vector<uint8_t>& stub_;
  const std::function<void(Case&&)>& emit_;
};

// Offset of every UTF-16 text of the language and settings regions, in
// order: language name, 23 texts, 12 settings.
std::vector<size_t> TextStarts(const std::vector<uint8_t>& block, const BlockLayout& layout) {
  std::vector<size_t> starts;
  size_t at = layout.languages + 2;
  while (at < layout.names && starts.size() < 1 + kUiTextCount + kSettingCount) {
    starts.push_back(at);
    while (block[at] != 0 || block[at + 1] != 0) at += 2;
    at += 2;
  }
  return starts;
}

void FileDamage(Maker& m, const std::vector<uint8_t>& good, const std::vector<uint8_t>& stub) {
  const size_t trailer = good.size() - kTrailerSize;
  const uint32_t packedSize = Get32(good, trailer + 8);
  const size_t packed = trailer - packedSize;

  // Truncation at every boundary of the file's structures.
  const std::pair<const char*, size_t> cuts[] = {
      {"empty", 0},
      {"mz-only", 2},
      {"headers-only", 512},
      {"image-end", packed},
      {"packed-1", packed + 1},
      {"packed-props-only", packed + kLzmaPropertiesSize},
      {"packed-props-and-1", packed + kLzmaPropertiesSize + 1},
      {"packed-half", packed + packedSize / 2},
      {"trailer-start", trailer},
      {"trailer-checksum", trailer + 4},
      {"trailer-unpacked", trailer + 8},
      {"trailer-packed", trailer + 12},
      {"trailer-extra", trailer + 16},
      {"trailer-magic-3", trailer + 19},
  };
  for (const auto& [label, size] : cuts) {
    if (size > good.size()) continue;
    m.Emit(std::string("truncated-file-") + label, std::vector<uint8_t>(good.begin(), good.begin() + size));
  }
  // The stub alone, and the stub with a package trailer but no package.
  m.Emit("bare-stub", stub);

  // A bit flip in every field of the trailer the loader reads, in the
  // properties byte and in the range-coded data (checksum kept).
  const std::pair<const char*, size_t> flips[] = {
      {"trailer-checksum", trailer},      {"trailer-checksum-top", trailer + 3},
      {"trailer-unpacked", trailer + 4},  {"trailer-unpacked-top", trailer + 7},
      {"trailer-packed", trailer + 8},    {"trailer-packed-top", trailer + 11},
      {"trailer-magic-0", trailer + 16},  {"trailer-magic-3", trailer + 19},
      {"lzma-properties", packed},        {"lzma-first-data", packed + kLzmaPropertiesSize},
      {"lzma-data-second", packed + kLzmaPropertiesSize + 1},
      {"lzma-data-middle", packed + packedSize / 2},
      {"mz-signature", 0},
      {"pe-offset", 0x3C},
  };
  for (const auto& [label, at] : flips) {
    std::vector<uint8_t> bytes = good;
    bytes[at] ^= label == std::string("trailer-unpacked") || label == std::string("trailer-checksum") ? 0x01 : 0x80;
    m.Emit(std::string("flip-") + label, bytes);
  }
  uint32_t pe = Get32(good, 0x3C);
  {
    std::vector<uint8_t> bytes = good;
    bytes[pe] ^= 0x01;
    m.Emit("flip-pe-signature", bytes);
  }

  // Counts and sizes of the trailer just past their limits and at 2^32-1.
  const uint32_t unpacked = Get32(good, trailer + 4);
  const std::pair<const char*, std::pair<size_t, uint32_t>> fields[] = {
      {"unpacked-plus-4096", {4, unpacked + 4096}},
      {"unpacked-0", {4, 0}},
      {"unpacked-max", {4, 0xFFFFFFFFu}},
      {"unpacked-past-expansion", {4, (packedSize << kMaxExpansionShift) + 1}},
      {"packed-past-file-start", {8, static_cast<uint32_t>(trailer + 1)}},
      {"packed-0", {8, 0}},
      {"packed-4", {8, kLzmaPropertiesSize - 1}},
      {"packed-max", {8, 0xFFFFFFFFu}},
      {"packed-minus-1", {8, packedSize - 1}},
  };
  for (const auto& [label, field] : fields) {
    std::vector<uint8_t> bytes = good;
    Put32(bytes, trailer + field.first, field.second);
    m.Emit(std::string("trailer-") + label, bytes);
  }
  // Seventeen slack bytes: the trailer is out of the window.
  {
    std::vector<uint8_t> bytes = good;
    bytes.resize(bytes.size() + 17, 0);
    m.Emit("slack-17", bytes);
  }

  // The certificate-table entry disagrees with the trailer: past the end of
  // the file, at 2^32-1, inside the trailer, before the package, and a
  // table that really follows but with slack the window cannot hold.
  const std::pair<const char*, std::pair<uint32_t, uint32_t>> certificates[] = {
      {"past-end", {static_cast<uint32_t>(good.size() + 8), 64}},
      {"max", {0xFFFFFFFFu, 64}},
      {"inside-trailer", {static_cast<uint32_t>(trailer + 8), 64}},
      {"before-package", {static_cast<uint32_t>(packed), 64}},
      {"one-before-end", {static_cast<uint32_t>(good.size() - 1), 1}},
  };
  for (const auto& [label, entry] : certificates) {
    std::vector<uint8_t> bytes = good;
    tailpack::SetCertificateEntry(bytes, entry.first, entry.second);
    m.Emit(std::string("certificate-") + label, bytes);
  }
}

void BlockDamage(Maker& m) {
  PackageContents base = BaseContents();
  BlockLayout layout;
  const std::vector<uint8_t> block = tailpack::BuildBlock(base, &layout);
  const uint32_t size = static_cast<uint32_t>(block.size());
  std::vector<size_t> texts = TextStarts(block, layout);

  // Truncated at every boundary of the block's structures (trailer made to
  // match): the last file's data always ends the block, so every cut leaves
  // it outside.
  std::vector<std::pair<std::string, size_t>> cuts = {
      {"empty", 0}, {"1", 1}, {"header-minus-1", kHeaderSize - 1}, {"header", kHeaderSize},
  };
  for (uint32_t i = 1; i <= base.files.size(); ++i) cuts.push_back({"entry-" + std::to_string(i), kHeaderSize + i * kFileEntrySize - (i == base.files.size() ? 1 : 0)});
  cuts.push_back({"langid", layout.languages + 2});
  for (size_t t = 0; t < texts.size(); ++t) {
    cuts.push_back({"text-" + std::to_string(t), texts[t]});
    cuts.push_back({"text-" + std::to_string(t) + "-unterminated", texts[t] + (t + 1 < texts.size() ? texts[t + 1] - texts[t] - 2 : 2)});
  }
  cuts.push_back({"names", layout.names});
  cuts.push_back({"names-unterminated", layout.names + 4});
  cuts.push_back({"data", layout.data});
  cuts.push_back({"last-byte", size - 1});
  for (const auto& [label, at] : cuts) {
    if (at >= size) continue;
    m.EmitBlock("truncated-block-" + label, std::vector<uint8_t>(block.begin(), block.begin() + at));
  }

  // A bit flip in every field and every text, the trailer's checksum kept
  // from the good block: whatever the flip means, the sum no longer matches.
  std::vector<std::pair<std::string, size_t>> fields = {
      {"file-count", 0}, {"versions", 4}, {"info-entry", 6}, {"language-count", 8},
      {"archs", 9},      {"flags", 10},   {"reserved", 11},
  };
  const char* const entryFields[] = {"time-low", "time-high", "flags", "reserved", "size", "name-offset", "data-offset"};
  for (uint32_t i = 0; i < base.files.size(); ++i) {
    for (uint32_t f = 0; f < 7; ++f) {
      fields.push_back({"entry-" + std::to_string(i) + "-" + entryFields[f], kHeaderSize + i * kFileEntrySize + f * 4});
    }
  }
  fields.push_back({"langid", layout.languages});
  for (size_t t = 0; t < texts.size(); ++t) fields.push_back({"text-" + std::to_string(t), texts[t]});
  fields.push_back({"names", layout.names});
  fields.push_back({"data", layout.data});
  fields.push_back({"last-byte", size - 1});
  for (const auto& [label, at] : fields) {
    std::vector<uint8_t> flipped = block;
    flipped[at] ^= 0x01;
    m.Emit("flip-block-" + label, m.FromBlock(flipped, &block));
  }

  // Counts and offsets just past their limits and at 2^32-1 (checksum
  // matching the changed block).
  auto patched = [&](const std::string& label, size_t at, uint32_t value, int width = 4) {
    std::vector<uint8_t> b = block;
    if (width == 4) Put32(b, at, value);
    if (width == 2) Put16(b, at, static_cast<uint16_t>(value));
    if (width == 1) b[at] = static_cast<uint8_t>(value);
    m.EmitBlock(label, b);
  };
  patched("file-count-past-block", 0, (size - kHeaderSize) / kFileEntrySize + 1);
  patched("file-count-max", 0, 0xFFFFFFFFu);
  patched("language-count-0", 8, 0, 1);
  patched("language-count-255", 8, 255, 1);
  patched("info-entry-past-files", 6, static_cast<uint32_t>(base.files.size()), 2);
  patched("info-entry-fffe", 6, 0xFFFE, 2);
  const uint32_t namesSize = layout.data - layout.names;
  for (uint32_t i = 0; i < base.files.size(); ++i) {
    size_t entry = kHeaderSize + i * kFileEntrySize;
    std::string e = "entry-" + std::to_string(i) + "-";
    uint32_t dataOffset = Get32(block, entry + 24);
    patched(e + "name-offset-past-names", entry + 20, namesSize);
    patched(e + "name-offset-max", entry + 20, 0xFFFFFFFFu);
    patched(e + "data-offset-past-block", entry + 24, size + 1);
    patched(e + "data-offset-max", entry + 24, 0xFFFFFFFFu);
    patched(e + "size-past-block", entry + 16, size - dataOffset + 1);
    patched(e + "size-max", entry + 16, 0xFFFFFFFFu);
  }
  // The last name loses its terminator: it runs into the data.
  {
    std::vector<uint8_t> b = block;
    b[layout.data - 1] = 'x';
    m.EmitBlock("name-table-unterminated", b);
  }
  // Every text loses its terminator (overlong: it runs to the next one or
  // off the block), one at a time.
  for (size_t t = 0; t < texts.size(); ++t) {
    size_t end = t + 1 < texts.size() ? texts[t + 1] - 2 : layout.names - 2;
    if (end + 1 >= layout.names) continue;
    std::vector<uint8_t> b(block.begin(), block.begin() + end);  // cut before the terminator
    m.EmitBlock("text-" + std::to_string(t) + "-runs-off", b);
  }
}

void NameAndSettingDamage(Maker& m) {
  // Names that climb out of the folder or that Windows turns into a device
  // or into another name, in every spelling.
  const char* const names[] = {
      "..",          "..\\x",        "../x",          "a\\..\\..\\x",  "a/../../x",    ".",
      ".\\x",        "a\\.",         "a\\.\\b",       "\\x",           "/x",           "\\\\server\\share\\x",
      "C:x",         "C:\\x",        "c:/x",          "a:b",           "x::$DATA",     "a\\\\b",
      "a//b",        "a\\",          "",              "a.",            "a ",           "a\\b.\\c",
      "a \\c",       "...",          ". ",            "CON",           "con",          "CoN.txt",
      "CON .txt",    "con.",         "NUL",           "nul.tar.gz",    "x\\nul",       "AUX",
      "aux.txt",     "PRN",          "prn.log",       "COM1",          "com9.log",     "Com5",
      "LPT1",        "lpt9.txt",     "a\\LPT1.log",   "CONIN$\\..\\x", "\t",           "a\x01" "b",
      "tab\there",   "\x1b[2J",      "new\nline",     "x\x1f",       "LPT3 ",        "aux \\x",
  };
  for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
    PackageContents c = BaseContents();
    c.files[1].name = names[i];
    m.EmitContents("name-" + std::to_string(i), c);
  }
  // A listed-only entry may end in one backslash, nothing more.
  const char* const folders[] = {"logs\\\\", "\\", "logs\\..\\", "..\\", "logs\\CON\\", "logs.\\"};
  for (size_t i = 0; i < sizeof folders / sizeof folders[0]; ++i) {
    PackageContents c = BaseContents();
    c.files.push_back({folders[i], kEntryListedOnly, 0, 0});
    m.EmitContents("listed-only-" + std::to_string(i), c);
  }

  // Settings the installer cannot use, and texts it cannot format.
  struct SettingCase {
    const char* label;
    int setting;
    std::u16string value;
  };
  const SettingCase settings[] = {
      {"product-name-missing", kProductName, u""},
      {"product-name-u0100", kProductName, u"Zentrova\u0100"},
      {"product-name-u4e00", kProductName, u"\u4E00"},
      {"product-name-backslash", kProductName, u"a\\b"},
      {"product-name-u015c", kProductName, u"a\u015Cb"},
      {"product-name-76", kProductName, std::u16string(76, u'N')},
      {"product-name-1000", kProductName, std::u16string(1000, u'N')},
      {"main-executable-257", kMainExecutable, std::u16string(253, u'm') + u".exe"},
      {"main-executable-4000", kMainExecutable, std::u16string(4000, u'm')},
      {"config-command-two-texts", kConfigCommand, u"%s %s"},
      {"config-command-d", kConfigCommand, u"%d %s"},
      {"config-command-n", kConfigCommand, u"%u%n"},
      {"config-command-lone-percent", kConfigCommand, u"-x %"},
      {"config-command-many", kConfigCommand, u"%u%s%s%s%s%s%s%s"},
  };
  for (const SettingCase& s : settings) {
    PackageContents c = BaseContents();
    c.settings[s.setting] = s.value;
    m.EmitContents("setting-" + std::string(s.label), c);
  }
  for (uint8_t text : kFormattedUiTexts) {
    PackageContents c = BaseContents();
    c.languages[0].texts[text] = u"%s %s %s";
    m.EmitContents("ui-text-" + std::to_string(text) + "-three-texts", c);
    c.languages[0].texts[text] = u"%x";
    m.EmitContents("ui-text-" + std::to_string(text) + "-hex", c);
  }
}

// A block of `size` zero bytes, or one whose header and texts are those of
// a package without ProductName, then zeros: both decode in full before the
// loader can refuse them.
void Bombs(Maker& m, Size size) {
  const uint32_t zeros = size == Size::kSmall ? 64u << 20 : 0xFFFFFFFFu;
  const std::string label = size == Size::kSmall ? "64mib" : "4gib";
  tailpack::LzmaSettings bomb = Fast();
  bomb.preset = 0;
  {
    std::vector<uint8_t> block(zeros, 0);
    m.Emit("bomb-zeros-" + label, m.FromBlock(block, nullptr, bomb));
  }
  if (size == Size::kSmall) {
    PackageContents c = BaseContents();
    c.settings[kProductName].clear();
    c.files.clear();
    c.blobs.clear();
    c.infoEntry = kNoInfoEntry;
    std::vector<uint8_t> block = tailpack::BuildBlock(c);
    block.resize(zeros, 0);
    m.Emit("bomb-header-then-zeros-" + label, m.FromBlock(block, nullptr, bomb));
  } else {
    // 20 million entries, all named "a", size 0; no ProductName, so the
    // loader refuses it only after decoding and walking the whole table.
    // Laid out for one entry, then the entry repeated in place.
    const uint32_t kEntries = 20000000;
    PackageContents c = BaseContents();
    c.settings[kProductName].clear();
    c.blobs = {{}};
    c.files = {{"a", 0, 0, 0}};
    c.infoEntry = kNoInfoEntry;
    std::vector<uint8_t> one = tailpack::BuildBlock(c);
    std::vector<uint8_t> block;
    block.reserve(one.size() + uint64_t{kEntries - 1} * kFileEntrySize);
    block.insert(block.end(), one.begin(), one.begin() + kHeaderSize);
    Put32(block, 0, kEntries);
    std::vector<uint8_t> entry(one.begin() + kHeaderSize, one.begin() + kHeaderSize + kFileEntrySize);
    Put32(entry, 24, 0);  // size 0 at offset 0
    for (uint32_t i = 0; i < kEntries; ++i) block.insert(block.end(), entry.begin(), entry.end());
    block.insert(block.end(), one.begin() + kHeaderSize + kFileEntrySize, one.end());
    m.Emit("entries-20-million", m.FromBlock(block, nullptr, bomb));
  }
}

}  // namespace

void MakeCorpus(const std::vector<uint8_t>& stub, Size size, const std::function<void(Case&&)>& emit) {
  Maker m(stub, emit);
  if (size == Size::kLarge) {
    Bombs(m, size);
    return;
  }
  std::vector<uint8_t> good = tailpack::WriteInstaller(stub, BaseContents(), Fast());
  FileDamage(m, good, stub);
  BlockDamage(m);
  NameAndSettingDamage(m);
  Bombs(m, size);
}

}  // namespace hostile
