// The tool end to end inside one process: manifest -> installer -> list,
// verify and extract, plus every refusal of `build`.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "base/memory_host.h"
#include "package/pe.h"
#include "package/uninstall_record.h"
#include "tests/unit/test_support.h"
#include "tool/build.h"
#include "tool/encoding.h"
#include "tool/inspect.h"
#include "tool/languages.h"
#include "tool/manifest.h"
#include "tool/sources.h"
#include "tests/unit/file_support.h"

namespace fs = std::filesystem;

namespace tailpack {
namespace {

using test::ReadFile;
using test::TempDir;
using test::Tree;
using test::WriteFile;

// Sets a file's modification time (seconds since 1970).
void Touch(const fs::path& path, int64_t seconds) {
  struct timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

const int64_t kTime = 1700000000;  // 2023-11-14 22:13:20 UTC

// A project directory with a manifest, sources and a stub.
struct Project {
  TempDir dir;
  fs::path manifest;
  fs::path stub;

  explicit Project(const std::string& manifestText) {
    manifest = dir.Path() / "tailpack.toml";
    WriteFile(manifest, manifestText);
    stub = dir.Path() / "stub.exe";
    std::vector<uint8_t> image = test::MakeMinimalPe();
    WriteFile(stub, std::string(image.begin(), image.end()));
  }

  void Source(const std::string& name, const std::string& content, int64_t time = kTime) {
    WriteFile(dir.Path() / name, content);
    Touch(dir.Path() / name, time);
  }

  BuildResult Build(const std::string& output = "out.exe", std::optional<int64_t> epoch = std::nullopt) {
    BuildOptions options;
    options.manifest = manifest;
    options.output = dir.Path() / output;
    options.stub = stub;
    options.quiet = true;
    options.sourceDateEpoch = epoch;
    options.readChunk = readChunk;
    options.installerMemoryWarning = installerMemoryWarning;
    options.layout = layout;
    options.uninstaller = uninstaller;
    options.toolDirectory = toolDirectory;
    std::ostringstream out, err;
    return BuildInstaller(options, out, err);
  }

  std::optional<fs::path> uninstaller;
  fs::path toolDirectory;
  size_t readChunk = kReadChunk;
  uint64_t installerMemoryWarning = uint64_t{1} << 30;
  StreamLayout layout;
};

const char kExampleManifest[] = R"(
[product]
name = "Zentrova"
version = "2.1.3"
publisher = "Halvix"
main_executable = "zentrova.exe"
config_command = "-xi:%u:%s"
uninstall_arguments = "-xu"

[requirements]
windows = "7+"
architectures = ["x86", "x64"]

[setup]
registry_view = "64-bit"
info_text = "license.txt"

[languages]
use = ["en", "de"]

[[files]]
source = "bin/x86/zentrova.exe"
architectures = "x86"

[[files]]
source = "bin/x64/zentrova.exe"
architectures = "x64"
replace_in_use = true

[[files]]
source = "docs/**/*.txt"
target = "doc"

[[directories]]
path = "logs"

[[files]]
source = "license.txt"

[[files]]
source = "copy-of-license.txt"
target = "legal/LICENSE.txt"
)";

Project ExampleProject() {
  Project p(kExampleManifest);
  p.Source("bin/x86/zentrova.exe", "MZ x86 build");
  p.Source("bin/x64/zentrova.exe", "MZ x64 build, a little longer");
  p.Source("docs/readme.txt", "read me");
  p.Source("docs/guide/intro.txt", "intro");
  p.Source("docs/guide/skip.md", "not a text file");
  p.Source("license.txt", "License terms.\r\n");
  p.Source("copy-of-license.txt", "License terms.\r\n", kTime + 60);
  return p;
}

struct EntryView {
  std::string name;
  uint32_t flags;
  uint32_t size;
  uint32_t dataOffset;
  uint64_t time;
  std::string data;
};

std::vector<EntryView> Entries(const Installer& installer) {
  std::vector<EntryView> out;
  const Catalogue& c = installer.Package();
  for (uint32_t i = 0; i < c.header.fileCount; ++i) {
    const FileEntry& e = c.entries[i];
    out.push_back({EntryName(&c, &e), e.flags, e.size, e.dataOffset,
                   e.timeLow | static_cast<uint64_t>(e.timeHigh) << 32,
                   std::string(reinterpret_cast<const char*>(c.block + e.dataOffset), e.size)});
  }
  return out;
}

TEST(ToolBuild, RoundTripKeepsManifestOrderFlagsTimesAndBytes) {
  Project p = ExampleProject();
  p.Build();
  Installer installer(p.dir.Path() / "out.exe", kArchX64, kOsWindows10);
  ASSERT_TRUE(installer.Intact()) << installer.FailureMessage();
  const Catalogue& c = installer.Package();
  EXPECT_EQ(c.header.supportedVersions, 0x78);
  EXPECT_EQ(c.header.supportedArchs, 0x3);
  EXPECT_EQ(c.header.flags, 1);
  EXPECT_EQ(c.header.languageCount, 2);
  EXPECT_EQ(c.languages[1].langId, 0x0407);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(c.settings.text[kConfigCommand])), u"-xi:%u:%s");

  std::vector<EntryView> e = Entries(installer);
  ASSERT_EQ(e.size(), 7u);
  const uint32_t all = kEntryArchBits | kEntryOsBits;  // flags as the loader defaults them
  struct Expected {
    const char* name;
    uint32_t flags;
    const char* data;
  } expected[] = {
      {"zentrova.exe", kArchX86 | kEntryOsBits, "MZ x86 build"},
      {"zentrova.exe", kArchX64 | kEntryOsBits | kEntryReplaceInUse, "MZ x64 build, a little longer"},
      {"doc\\guide\\intro.txt", all, "intro"},
      {"doc\\readme.txt", all, "read me"},
      {"logs\\*", all | kEntryListedOnly, ""},
      {"license.txt", all, "License terms.\r\n"},
      {"legal\\LICENSE.txt", all, "License terms.\r\n"},
  };
  for (size_t i = 0; i < e.size(); ++i) {
    EXPECT_EQ(e[i].name, expected[i].name) << i;
    EXPECT_EQ(e[i].flags, expected[i].flags) << i;
    EXPECT_EQ(e[i].data, expected[i].data) << i;
  }
  EXPECT_EQ(c.header.infoEntry, 5);
  EXPECT_EQ(e[0].time, FileTimeFromUnix(kTime, 0));
  EXPECT_EQ(e[6].time, FileTimeFromUnix(kTime + 60, 0));
  // Identical contents are stored once.
  EXPECT_EQ(e[5].dataOffset, e[6].dataOffset);
  EXPECT_NE(e[0].dataOffset, e[1].dataOffset);
  // By default the data follows the entries.
  EXPECT_LT(e[0].dataOffset, e[1].dataOffset);
  EXPECT_LT(e[1].dataOffset, e[2].dataOffset);
  EXPECT_LT(e[2].dataOffset, e[3].dataOffset);
  EXPECT_LT(e[3].dataOffset, e[5].dataOffset);
  // The installer ends on an 8-byte boundary, ready for a signature.
  EXPECT_EQ(fs::file_size(p.dir.Path() / "out.exe") % 8, 0u);
}

// Sources are read in pieces, once to find equal contents and again into
// the compressor: whatever the piece size, every byte arrives, equal files
// share their data, files of equal size but other bytes do not, and the
// installer is the same.
TEST(ToolBuild, StreamsSourcesInPiecesOfAnySize) {
  std::string odd;
  for (int i = 0; i < 1000; ++i) odd += static_cast<char>('a' + i * 7 % 26);
  std::string twin = odd;
  twin[999] = '!';
  const std::pair<const char*, std::string> sources[] = {
      {"empty.bin", ""}, {"none.bin", ""}, {"one.bin", "1"}, {"odd.bin", odd}, {"copy.bin", odd}, {"twin.bin", twin}};
  std::string first;
  for (size_t chunk : {size_t{1}, size_t{3}, size_t{999}, size_t{1000}, size_t{4096}, kReadChunk}) {
    Project p("[product]\nname = \"Z\"\nmain_executable = \"one.bin\"\n[[files]]\nsource = \"src/*\"\n");
    for (const auto& [name, content] : sources) p.Source(std::string("src/") + name, content);
    p.readChunk = chunk;
    BuildResult result = p.Build();
    EXPECT_EQ(result.fileCount, 6u) << chunk;
    EXPECT_EQ(result.blobCount, 4u) << chunk;  // copy.bin shares odd.bin's data, none.bin empty.bin's
    EXPECT_EQ(result.sourceBytes, 3001u) << chunk;
    Installer installer(p.dir.Path() / "out.exe", kArchX64, kOsWindows10);
    ASSERT_TRUE(installer.Intact()) << chunk << ": " << installer.FailureMessage();
    std::map<std::string, EntryView> byName;
    for (const EntryView& e : Entries(installer)) byName[e.name] = e;
    for (const auto& [name, content] : sources) EXPECT_EQ(byName[name].data, content) << chunk << " " << name;
    EXPECT_EQ(byName["copy.bin"].dataOffset, byName["odd.bin"].dataOffset) << chunk;
    EXPECT_NE(byName["twin.bin"].dataOffset, byName["odd.bin"].dataOffset) << chunk;
    EXPECT_EQ(byName["none.bin"].dataOffset, byName["empty.bin"].dataOffset) << chunk;
    EXPECT_EQ(result.unpackedSize, installer.Trailer().unpackedSize) << chunk;
    std::string bytes = ReadFile(p.dir.Path() / "out.exe");
    if (first.empty()) first = bytes;
    // The bytes do not depend on the piece size (same stub, same times).
    EXPECT_TRUE(bytes == first) << chunk;
  }
}

// The hash of a byte sequence does not depend on how it is cut into pieces,
// and tells apart sequences that differ in one byte, in order or in length.
TEST(ToolBuild, ContentHashIgnoresHowTheBytesArrive) {
  const std::string text = "The quick brown fox jumps over the lazy dog";
  auto hashOf = [](const std::string& bytes, std::vector<size_t> cuts) {
    ContentHash hash;
    size_t at = 0;
    for (size_t cut : cuts) {
      hash.Add(reinterpret_cast<const uint8_t*>(bytes.data()) + at, cut - at);
      at = cut;
    }
    hash.Add(reinterpret_cast<const uint8_t*>(bytes.data()) + at, bytes.size() - at);
    return hash.Value();
  };
  uint64_t whole = hashOf(text, {});
  for (const std::vector<size_t>& cuts : {std::vector<size_t>{0}, {1}, {5, 6, 7}, {20, 42}, {43}}) {
    EXPECT_EQ(hashOf(text, cuts), whole) << cuts.size();
  }
  std::string oneByte = text;
  oneByte[10] ^= 1;
  std::string swapped = text;
  std::swap(swapped[0], swapped[1]);
  for (const std::string& other : {oneByte, swapped, text + "x", text.substr(1), std::string()}) {
    EXPECT_NE(hashOf(other, {}), whole) << other;
  }
  EXPECT_EQ(ContentHash().Value(), hashOf("", {}));
}

// The data order is chosen in [compression]: the entries' order (the
// default) or grouped by extension, then file name; the table keeps the
// manifest's order either way and every entry keeps its bytes.
TEST(ToolBuild, DataOrderFollowsTheEntriesOrTheExtensions) {
  struct Case {
    const char* setting;  // "" = default
    std::vector<size_t> dataOrder;  // entries with data, by increasing data offset
  } cases[] = {
      {"", {0, 1, 2, 3, 5}},
      {"order = \"entries\"\n", {0, 1, 2, 3, 5}},
      // exe before txt; intro.txt < license.txt < readme.txt by name
      {"order = \"extension\"\n", {0, 1, 2, 5, 3}},
  };
  for (const Case& k : cases) {
    Project p = ExampleProject();
    std::ofstream(p.manifest, std::ios::app) << "\n[compression]\n" << k.setting;
    p.Build();
    Installer installer(p.dir.Path() / "out.exe", kArchX64, kOsWindows10);
    ASSERT_TRUE(installer.Intact()) << k.setting;
    std::vector<EntryView> e = Entries(installer);
    ASSERT_EQ(e.size(), 7u);
    EXPECT_EQ(e[2].name, "doc\\guide\\intro.txt");
    EXPECT_EQ(e[3].data, "read me") << k.setting;
    EXPECT_EQ(e[5].data, "License terms.\r\n") << k.setting;
    for (size_t i = 1; i < k.dataOrder.size(); ++i) {
      EXPECT_LT(e[k.dataOrder[i - 1]].dataOffset, e[k.dataOrder[i]].dataOffset) << k.setting << " " << i;
    }
  }
  Project bad = ExampleProject();
  std::ofstream(bad.manifest, std::ios::app) << "\n[compression]\norder = \"size\"\n";
  EXPECT_THROW(bad.Build(), ManifestError);
}

// The build warns when the installer would need more memory at once than
// a 32-bit process can count on; the figure is the unpacked package (or,
// when it streams, the part the installer holds) plus the dictionary.
TEST(ToolBuild, WarnsWhenAThirtyTwoBitInstallerMayLackMemory) {
  Project p = ExampleProject();
  BuildResult plain = p.Build();
  EXPECT_TRUE(plain.warnings.empty());
  EXPECT_FALSE(plain.streams);
  uint64_t need = plain.unpackedSize + (8u << 20);
  EXPECT_EQ(plain.installerMemory, need);
  for (uint64_t limit : {need - 1, need, need + 1, uint64_t{1} << 20}) {
    p.installerMemoryWarning = limit;
    BuildResult result = p.Build();
    ASSERT_EQ(result.warnings.size(), limit < need ? 1u : 0u) << limit;
    if (limit < need) {
      EXPECT_NE(result.warnings[0].find("tailpack.toml:1:1: warning: the installer needs"), std::string::npos)
          << result.warnings[0];
      EXPECT_NE(result.warnings[0].find("32-bit"), std::string::npos) << result.warnings[0];
    }
  }
}

// Above the streaming size the installer holds only the head of the block
// and decodes the rest once, writing files in entry order: the info text's
// data comes first and the entries follow their data, whatever the data
// order, with entries sharing data next to each other and a name written
// twice still won by the later entry.
TEST(ToolBuild, LargePackagesAreLaidOutToStream) {
  auto project = [](const char* order) {
    Project p = ExampleProject();
    for (int i = 0; i < 3; ++i) p.Source("big/part" + std::to_string(i) + ".bin", std::string(40000, 'a' + i));
    p.Source("big/again.dat", std::string(40000, 'b'));  // shares part1.bin's data
    p.Source("first/same.txt", "written first");
    p.Source("second/same.txt", "written second");
    std::ofstream(p.manifest, std::ios::app)
        << "\n[[files]]\nsource = \"big/*\"\ntarget = \"big/\"\n"
        << "[[files]]\nsource = \"first/same.txt\"\ntarget = \"same.txt\"\n"
        << "[[files]]\nsource = \"second/same.txt\"\ntarget = \"same.txt\"\n"
        << "[[files]]\nsource = \"copy-of-license.txt\"\ntarget = \"legal/zz-last.txt\"\n"
        << "[compression]\norder = \"" << order << "\"\n";
    return p;
  };
  const uint32_t kHeld = 32 << 10;
  for (const char* order : {"entries", "extension"}) {
    Project small = project(order);
    BuildResult plain = small.Build("plain.exe");
    Project large = project(order);
    large.layout = {plain.unpackedSize - 1, kHeld};
    BuildResult streamed = large.Build("streamed.exe");
    EXPECT_FALSE(plain.streams) << order;
    EXPECT_TRUE(streamed.streams) << order;
    EXPECT_EQ(streamed.unpackedSize, plain.unpackedSize) << order;
    EXPECT_EQ(streamed.installerMemory, kHeld + (8u << 20)) << order;

    for (uint32_t arch : {kArchX86, kArchX64}) {
      Installer a(small.dir.Path() / "plain.exe", arch, kOsWindows10);
      Installer b(large.dir.Path() / "streamed.exe", arch, kOsWindows10);
      ASSERT_TRUE(a.Intact() && b.Intact()) << order;
      const FileEntry& info = b.Package().entries[b.Package().header.infoEntry];
      // The manifest's order cannot stream (shared data, the info text
      // last); the streaming layout can, within the held bytes.
      EXPECT_EQ(IsStreamableOrder(&a.Package(), kHeld, arch, kOsWindows10), 0) << order << " " << arch;
      EXPECT_EQ(IsStreamableOrder(&b.Package(), kHeld, arch, kOsWindows10), 1) << order << " " << arch;
      // What verify reports: the threshold and the held head both count.
      const uint32_t over = static_cast<uint32_t>(plain.unpackedSize) - 1;
      EXPECT_TRUE(InstallerStreams(b.Package(), arch, kOsWindows10, over, kHeld)) << order;
      EXPECT_FALSE(InstallerStreams(b.Package(), arch, kOsWindows10, over + 1, kHeld)) << order;
      EXPECT_FALSE(InstallerStreams(b.Package(), arch, kOsWindows10, over, info.dataOffset + info.size - 1)) << order;
      EXPECT_FALSE(InstallerStreams(a.Package(), arch, kOsWindows10, over, kHeld)) << order;

      std::vector<EntryView> before = Entries(a), after = Entries(b);
      ASSERT_EQ(after.size(), before.size());
      EXPECT_EQ(std::string(EntryName(&b.Package(), &info)), "license.txt") << order;
      EXPECT_LE(info.dataOffset + info.size, kHeld) << order;
      // The same entries with the same data, and the later same.txt last.
      std::multiset<std::pair<std::string, std::string>> x, y;
      for (const EntryView& e : before) x.insert({e.name, e.data});
      for (const EntryView& e : after) y.insert({e.name, e.data});
      EXPECT_EQ(x, y) << order;
      std::vector<std::string> same;
      for (const EntryView& e : after) {
        if (e.name == "same.txt") same.push_back(e.data);
      }
      EXPECT_EQ(same, (std::vector<std::string>{"written first", "written second"})) << order;
    }
  }
  // Small packages keep the manifest's order byte for byte.
  Project p = ExampleProject();
  p.Build("default.exe");
  p.layout = {uint64_t{1} << 32, 1};
  p.Build("never.exe");
  EXPECT_TRUE(ReadFile(p.dir.Path() / "default.exe") == ReadFile(p.dir.Path() / "never.exe"));
  // A head (metadata and info text) larger than the held bytes cannot
  // stream: the installer holds the whole block, and the figure says so.
  Project big = project("entries");
  big.layout = {1, 1024};
  big.installerMemoryWarning = 1;
  BuildResult whole = big.Build();
  EXPECT_FALSE(whole.streams);
  EXPECT_EQ(whole.installerMemory, whole.unpackedSize + (8u << 20));
  ASSERT_EQ(whole.warnings.size(), 1u);
  EXPECT_NE(whole.warnings[0].find("metadata and info text take more than the 1.0 KiB"), std::string::npos)
      << whole.warnings[0];
  // The info text moves ahead of an entry whose old place it takes: the
  // header still names the info text.
  Project moved(R"(
[product]
name = "Zentrova"
main_executable = "a.bin"
[setup]
info_text = "license.txt"
[[files]]
source = "a.bin"
[[files]]
source = "b.bin"
[[files]]
source = "c.bin"
[[files]]
source = "d.bin"
[[files]]
source = "license.txt"
)");
  moved.Source("a.bin", std::string(3000, 'a'));
  moved.Source("b.bin", std::string(3000, 'b'));
  moved.Source("c.bin", std::string(3000, 'c'));
  moved.Source("d.bin", std::string(3000, 'a'));
  moved.Source("license.txt", "License terms.\r\n");
  moved.layout = {1, 1 << 20};
  ASSERT_TRUE(moved.Build().streams);
  Installer laidOut(moved.dir.Path() / "out.exe", kArchX64, kOsWindows10);
  ASSERT_TRUE(laidOut.Intact());
  const Catalogue& c = laidOut.Package();
  EXPECT_EQ(std::string(EntryName(&c, &c.entries[c.header.infoEntry])), "license.txt");
}

// Zero-length entries (folders, empty files) add no bytes to the stream:
// wherever they come among data that compresses well, data that does not
// compress, or no data, the package builds and every entry comes back as
// written.
TEST(ToolBuild, ZeroLengthEntriesAnywhereAmongAnyData) {
  std::string noise(100000, '\0');
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (char& c : noise) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    c = static_cast<char>(state >> 24);
  }
  std::string text;
  while (text.size() < 100000) text += "every line of this file says the same thing again\n";
  const std::pair<const char*, std::array<std::string, 2>> kinds[] = {
      {"incompressible", {noise, noise.substr(0, 70001) + "!"}},
      {"compressible", {text, text + "!"}},
      {"empty", {"", ""}},
  };
  // The zero-length entries: a folder, an empty file, or both (E), placed
  // among the files of the kind (D).
  const char* const empties[] = {"folder", "empty file", "folder and empty file"};
  const std::pair<const char*, const char*> orders[] = {
      {"before", "EDD"}, {"between", "DED"}, {"after", "DDE"}, {"everywhere", "EDEDE"}, {"alone", "E"},
  };
  for (const auto& [kind, contents] : kinds) {
    for (const char* empty : empties) {
      for (const auto& [position, order] : orders) {
        SCOPED_TRACE(std::string(kind) + ", " + empty + " " + position);
        const bool folders = empty[0] == 'f', files = std::string(empty).find("file") != std::string::npos;
        Project p("");
        std::string manifest =
            "[product]\nname = \"Z\"\nmain_executable = \"program.exe\"\n[[files]]\nsource = \"program.exe\"\n";
        p.Source("program.exe", "MZ");
        std::vector<std::pair<std::string, std::string>> expected = {{"program.exe", "MZ"}};  // name, bytes
        int zeros = 0, data = 0;
        for (const char* item = order; *item; ++item) {
          if (*item == 'E') {
            std::string folder = "logs-" + std::to_string(zeros), file = "empty-" + std::to_string(zeros) + ".txt";
            if (folders) {
              manifest += "[[directories]]\npath = \"" + folder + "\"\n";
              expected.push_back({folder + "\\*", ""});
            }
            if (files) {
              manifest += "[[files]]\nsource = \"" + file + "\"\n";
              p.Source(file, "");
              expected.push_back({file, ""});
            }
            ++zeros;
          } else {
            std::string file = "data-" + std::to_string(data) + ".bin";
            manifest += "[[files]]\nsource = \"" + file + "\"\n";
            p.Source(file, contents[data % 2]);
            expected.push_back({file, contents[data % 2]});
            ++data;
          }
        }
        WriteFile(p.manifest, manifest);
        try {
          p.Build();
        } catch (const std::exception& e) {
          ADD_FAILURE() << e.what() << "\n" << manifest;
          continue;
        }
        Installer installer(p.dir.Path() / "out.exe", kArchX64, kOsWindows10);
        if (!installer.Intact()) {
          ADD_FAILURE() << installer.FailureMessage();
          continue;
        }
        std::vector<EntryView> entries = Entries(installer);
        if (entries.size() != expected.size()) {
          ADD_FAILURE() << entries.size() << " entries, expected " << expected.size();
          continue;
        }
        for (size_t i = 0; i < entries.size(); ++i) {
          EXPECT_EQ(entries[i].name, expected[i].first);
          EXPECT_TRUE(entries[i].data == expected[i].second) << entries[i].name << ": " << entries[i].size << " bytes";
          EXPECT_EQ((entries[i].flags & kEntryListedOnly) != 0, expected[i].first.back() == '*') << entries[i].name;
        }
      }
    }
  }
}

// The main executable (given, or <name>.exe) must be among the files the
// package installs: else the build stops at the key (or the [product]
// table) and lists the packaged .exe files; installed on only some of the
// machines the installer runs on, it warns.
TEST(ToolBuild, TheMainExecutableMustBeInstalled) {
  struct Case {
    const char* label;
    const char* product;   // lines after name = "Z"
    const char* files;     // [[files]] items
    const char* error;     // the whole error, or nullptr when it builds
    const char* warning;   // the one warning, or nullptr
  } cases[] = {
      {"given and installed", "main_executable = \"bin/app.exe\"\n",
       "[[files]]\nsource = \"app.exe\"\ntarget = \"bin/\"\n", nullptr, nullptr},
      {"the default, in another case", "", "[[files]]\nsource = \"app.exe\"\ntarget = \"z.EXE\"\n", nullptr, nullptr},
      {"given, not packaged, two programs", "main_executable = \"main.exe\"\n",
       "[[files]]\nsource = \"app.exe\"\n[[files]]\nsource = \"app.exe\"\ntarget = \"tools/other.EXE\"\n"
       "[[files]]\nsource = \"app.exe\"\ntarget = \"APP.exe\"\n",
       ":3:19: error: the main executable \"main.exe\" is not among the packaged files; the shortcuts, the "
       "configuration command and the uninstall entry start it. The packaged .exe files are \"app.exe\", "
       "\"tools\\other.EXE\": set [product] main_executable to one of them",
       nullptr},
      {"the default, not packaged, no program", "", "[[files]]\nsource = \"app.exe\"\ntarget = \"app.dll\"\n",
       ":1:1: error: the main executable \"Z.exe\" ([product] name + \".exe\", as main_executable is not set) is "
       "not among the packaged files; the shortcuts, the configuration command and the uninstall entry start it. "
       "The package installs no .exe file: add the program with a [[files]] item, or set [product] "
       "main_executable to the packaged file to start",
       nullptr},
      {"carried but never installed", "main_executable = \"app.exe\"\n",
       "[[files]]\nsource = \"app.exe\"\ninstall = false\n",
       ":3:19: error: the main executable \"app.exe\" is not among the packaged files; the shortcuts, the "
       "configuration command and the uninstall entry start it. The package installs no .exe file: add the "
       "program with a [[files]] item, or set [product] main_executable to the packaged file to start",
       nullptr},
      {"installed on some machines only", "main_executable = \"app.exe\"\n[requirements]\narchitectures = [\"x86\", \"x64\"]\n",
       "[[files]]\nsource = \"app.exe\"\narchitectures = \"x64\"\n", nullptr,
       ":3:19: warning: the main executable \"app.exe\" is not installed on x86 machines with Windows 2000, "
       "where the installer runs; install it there too (a [[files]] item with those architectures and windows) "
       "or narrow [requirements]"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.label);
    Project p(std::string("[product]\nname = \"Z\"\n") + k.product + k.files);
    p.Source("app.exe", "MZ");
    try {
      AssembledPackage assembled = AssemblePackage(LoadManifest(p.manifest), std::nullopt);
      EXPECT_EQ(k.error, nullptr) << "built";
      ASSERT_EQ(assembled.warnings.size(), k.warning ? 1u : 0u);
      if (k.warning) {
        EXPECT_EQ(assembled.warnings[0], p.manifest.string() + k.warning);
      }
    } catch (const ManifestError& e) {
      ASSERT_NE(k.error, nullptr) << e.what();
      EXPECT_EQ(std::string(e.what()), p.manifest.string() + k.error);
    }
  }
}

TEST(ToolBuild, SameInputsGiveIdenticalBytes) {
  Project p = ExampleProject();
  p.Build("one.exe");
  p.Build("two.exe");
  EXPECT_TRUE(ReadFile(p.dir.Path() / "one.exe") == ReadFile(p.dir.Path() / "two.exe"));
  // A changed source changes the installer.
  p.Source("docs/readme.txt", "read me!");
  p.Build("three.exe");
  EXPECT_FALSE(ReadFile(p.dir.Path() / "one.exe") == ReadFile(p.dir.Path() / "three.exe"));
}

TEST(ToolBuild, SourceDateEpochClampsNewerTimesOnly) {
  Project p = ExampleProject();
  const int64_t epoch = kTime - 1000;  // every source is newer
  p.Build("a.exe", epoch);
  // Touching every source again changes nothing.
  for (const char* name : {"bin/x86/zentrova.exe", "bin/x64/zentrova.exe", "docs/readme.txt",
                           "docs/guide/intro.txt", "license.txt", "copy-of-license.txt"}) {
    Touch(p.dir.Path() / name, kTime + 5000);
  }
  p.Build("b.exe", epoch);
  EXPECT_TRUE(ReadFile(p.dir.Path() / "a.exe") == ReadFile(p.dir.Path() / "b.exe"));

  p.Source("license.txt", "License terms.\r\n", epoch - 100);
  p.Build("c.exe", epoch);
  Installer installer(p.dir.Path() / "c.exe", kArchX64, kOsWindows10);
  ASSERT_TRUE(installer.Intact());
  std::vector<EntryView> e = Entries(installer);
  EXPECT_EQ(e[0].time, FileTimeFromUnix(epoch, 0));        // clamped
  EXPECT_EQ(e[5].time, FileTimeFromUnix(epoch - 100, 0));  // older: kept
}

TEST(ToolBuild, FileTimeFromUnix) {
  EXPECT_EQ(FileTimeFromUnix(0, 0), 116444736000000000ull);
  EXPECT_EQ(FileTimeFromUnix(1, 500), 116444736010000005ull);
  EXPECT_EQ(FileTimeFromUnix(-11644473601, 0), 0u);
  int64_t seconds;
  uint32_t nanoseconds;
  FileTimeToUnix(FileTimeFromUnix(kTime, 123456700), &seconds, &nanoseconds);
  EXPECT_EQ(seconds, kTime);
  EXPECT_EQ(nanoseconds, 123456700u);
}

TEST(ToolBuild, NeverInstalledInfoText) {
  Project p(R"(
[product]
name = "Z"
[setup]
info_text = "EULA.txt"
[[files]]
source = "EULA.txt"
install = false
[[files]]
source = "z.exe"
)");
  p.Source("EULA.txt", "terms");
  p.Source("z.exe", "MZ");
  p.Build();
  for (uint32_t arch : {kArchX86, kArchX64, kArchArm64, kArchArm}) {
    for (uint32_t os = 1; os <= kOsLater; os <<= 1) {
      Installer installer(p.dir.Path() / "out.exe", arch, os);
      ASSERT_TRUE(installer.Intact());
      EXPECT_EQ(installer.Package().header.infoEntry, 0);
      EXPECT_FALSE(IsEntrySelected(installer.Package().entries[0].flags, arch, os));
      EXPECT_TRUE(IsEntrySelected(installer.Package().entries[1].flags, arch, os));
      EXPECT_EQ(installer.Package().total, 2u);
    }
  }
}

// ---------------------------------------------------------------------------
// Refusals: every one names the manifest line that causes it.

struct RefusalCase {
  const char* name;
  const char* manifest;     // sources: a.exe ("MZ") exists
  const char* where;        // "tailpack.toml:L:C" expected in the message
  const char* expected;     // part of the message
};

TEST(ToolBuild, RefusesWhatTheInstallerWouldRejectOrCouldNotHold) {
  const std::string longName(76, 'N');
  const std::string manifests[] = {
      // 0: unsafe target
      "[product]\nname = \"Z\"\n[[files]]\nsource = \"a.exe\"\ntarget = \"../a.exe\"\n",
      // 1: unsafe target via glob directory
      "[product]\nname = \"Z\"\n[[files]]\nsource = \"*.exe\"\ntarget = \"C:/Windows\"\n",
      // 2: product name too long
      "[product]\nname = \"" + longName + "\"\n",
      // 3: format text without %s
      "[product]\nname = \"Z\"\n[languages.texts.de]\nlaunch_box = \"Starten\"\n",
      // 4: overridden text too long for its buffer
      "[product]\nname = \"Zentrova\"\n[languages.texts.en]\nlaunch_box = \"" + std::string(120, 'x') + "%s\"\n",
      // 5: built-in text pushed over its buffer by the version (title: 259 units)
      "[product]\nname = \"" + std::string(75, 'N') + "\"\nversion = \"" + std::string(31, '1') +
          "\"\n[languages.texts.de]\nwindow_title = \"" + std::string(160, 'x') + "%s\"\n",
      // 6: glob without a match
      "[product]\nname = \"Z\"\n[[files]]\nsource = \"bin/*.dll\"\n",
      // 7: info text that is not packaged
      "[product]\nname = \"Z\"\n[setup]\ninfo_text = \"license.txt\"\n",
      // 8: install = false with a machine restriction
      "[product]\nname = \"Z\"\n[[files]]\nsource = \"a.exe\"\ninstall = false\narchitectures = \"x86\"\n",
      // 9: name that Windows cannot create
      "[product]\nname = \"Z\"\n[[files]]\nsource = \"a.exe\"\ntarget = \"aux.exe\"\n",
      // 10: config command that takes a text first
      "[product]\nname = \"Z\"\nconfig_command = \"%s\"\n",
      // 11: name not in the code page
      "[product]\nname = \"Z\"\n[[files]]\nsource = \"a.exe\"\ntarget = \"\xD0\x96.exe\"\n",
      // 12: missing product name
      "[product]\npublisher = \"H\"\n",
  };
  const RefusalCase cases[] = {
      {"unsafe target", manifests[0].c_str(), "tailpack.toml:5:10", "could leave the install folder"},
      {"unsafe glob target", manifests[1].c_str(), "tailpack.toml:5:10", "could leave the install folder"},
      {"long product name", manifests[2].c_str(), "tailpack.toml:2:8", "holds at most 75"},
      {"format without %s", manifests[3].c_str(), "tailpack.toml:4:14", "expected exactly one"},
      {"text too long", manifests[4].c_str(), "tailpack.toml:4:14", "buffer holds 127"},
      {"title too long", manifests[5].c_str(), "tailpack.toml:5:16", "buffer holds 259"},
      {"no match", manifests[6].c_str(), "tailpack.toml:4:10", "no file matches \"bin/*.dll\""},
      {"info text", manifests[7].c_str(), "tailpack.toml:4:13", "no packaged file has the target path"},
      {"never installed restricted", manifests[8].c_str(), "tailpack.toml:3:1", "install = false"},
      {"device name", manifests[9].c_str(), "tailpack.toml:5:10", "reserved Windows device name"},
      {"config command", manifests[10].c_str(), "tailpack.toml:3:18", "receives the window handle"},
      {"code page", manifests[11].c_str(), "tailpack.toml:5:10", "cannot be written in code page 1252"},
      {"no product name", manifests[12].c_str(), "tailpack.toml:1:1", "missing ProductName"},
  };
  for (const RefusalCase& k : cases) {
    Project p(k.manifest);
    p.Source("a.exe", "MZ");
    try {
      p.Build();
      ADD_FAILURE() << k.name << ": built";
    } catch (const PositionedError& e) {
      std::string message = e.what();
      std::string where = (p.dir.Path() / k.where).string();
      EXPECT_EQ(message.rfind(where + ": error: ", 0), 0u) << k.name << ": " << message;
      EXPECT_NE(message.find(k.expected), std::string::npos) << k.name << ": " << message;
    }
    EXPECT_FALSE(fs::exists(p.dir.Path() / "out.exe")) << k.name;
  }
}

TEST(ToolBuild, RefusesFourGibibytesBeforeReadingThem) {
  Project p("[product]\nname = \"Z\"\n[[files]]\nsource = \"big/*\"\n");
  fs::create_directories(p.dir.Path() / "big");
  // Sparse files: nothing is read, sizes alone decide.
  for (auto [name, size] : {std::pair<const char*, uint64_t>{"a", 3ull << 30}, {"b", (1ull << 30) + 1}}) {
    std::ofstream(p.dir.Path() / "big" / name).close();
    fs::resize_file(p.dir.Path() / "big" / name, size);
  }
  try {
    p.Build();
    ADD_FAILURE() << "built";
  } catch (const ManifestError& e) {
    EXPECT_EQ(e.where.line, 3u);
    EXPECT_NE(std::string(e.what()).find("less than 4 GiB"), std::string::npos) << e.what();
  }
  // One file of 4 GiB alone.
  fs::remove(p.dir.Path() / "big" / "b");
  fs::resize_file(p.dir.Path() / "big" / "a", 4ull << 30);
  EXPECT_THROW(p.Build(), ManifestError);
}

TEST(ToolBuild, RejectsAStubThatIsNotAnExecutable) {
  Project p("[product]\nname = \"Z\"\n");
  WriteFile(p.stub, "not a PE file");
  EXPECT_THROW(p.Build(), ToolError);
}

TEST(ToolBuild, FindsStubsNextToTheToolOrInTheBuildTree) {
  TempDir dir;
  fs::path host = dir.Path() / "build" / "host";
  fs::create_directories(host);
  EXPECT_THROW(FindStub("x86", host), ToolError);
  WriteFile(dir.Path() / "build" / "win64" / "tailpack-stub.exe", "MZ");
  EXPECT_EQ(FindStub("x64", host), (dir.Path() / "build" / "win64" / "tailpack-stub.exe").lexically_normal());
  WriteFile(host / "tailpack-stub-x64.exe", "MZ");
  EXPECT_EQ(FindStub("x64", host), host / "tailpack-stub-x64.exe");
  EXPECT_EQ(FindStub((host / "tailpack-stub-x64.exe").string(), host), host / "tailpack-stub-x64.exe");
  EXPECT_THROW(FindStub((host / "missing.exe").string(), host), ToolError);
}

// Symbolic links below a directory or glob source: a link to a file or to
// a folder is followed like what it names; a link back to a folder the walk
// is inside is refused; a link to nothing is left out and reported.
TEST(ToolBuild, SymbolicLinksToFoldersAreFollowedAndLoopsRefused) {
  struct Case {
    const char* label;
    std::vector<std::pair<const char*, const char*>> links;  // link below the root, target
    const char* pattern;
    std::vector<std::string> relative;  // what the source expands to
    std::vector<std::string> leftOut;   // links reported as left out, below the root
    const char* refusal;                // part of the error, or nullptr
  } cases[] = {
      {"no link", {}, "src", {"sub/y.txt", "top.txt"}, {}, nullptr},
      {"a folder outside", {{"src/ext", "../outside"}}, "src", {"ext/deep/z.txt", "ext/x.txt", "sub/y.txt", "top.txt"}, {}, nullptr},
      {"a folder inside, seen twice", {{"src/again", "sub"}}, "src", {"again/y.txt", "sub/y.txt", "top.txt"}, {}, nullptr},
      {"a file", {{"src/f.txt", "../outside/x.txt"}}, "src", {"f.txt", "sub/y.txt", "top.txt"}, {}, nullptr},
      {"a folder, through a glob", {{"src/ext", "../outside"}}, "src/**/*.txt",
       {"ext/deep/z.txt", "ext/x.txt", "sub/y.txt", "top.txt"}, {}, nullptr},
      {"a folder, through one level of a glob", {{"src/ext", "../outside"}}, "src/*/x.txt", {"ext/x.txt"}, {}, nullptr},
      {"the source folder itself", {{"src/self", "."}}, "src", {}, {}, "leads back to"},
      {"a parent", {{"src/sub/up", ".."}}, "src", {}, {}, "leads back to"},
      {"the folder above the source", {{"src/sub/root", "../.."}}, "src/**", {}, {}, "leads back to"},
      {"a missing target", {{"src/gone", "../missing"}}, "src", {"sub/y.txt", "top.txt"}, {"src/gone"}, nullptr},
      {"a ring of links", {{"src/a", "b"}, {"src/b", "a"}}, "src", {"sub/y.txt", "top.txt"}, {"src/a", "src/b"}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    WriteFile(dir.Path() / "src/top.txt", "top");
    WriteFile(dir.Path() / "src/sub/y.txt", "y");
    WriteFile(dir.Path() / "outside/x.txt", "x");
    WriteFile(dir.Path() / "outside/deep/z.txt", "z");
    for (const auto& [link, target] : c.links) fs::create_symlink(target, dir.Path() / link);
    std::vector<std::string> leftOut;
    if (c.refusal) {
      try {
        ExpandSource(dir.Path(), c.pattern, &leftOut);
        ADD_FAILURE() << "expanded";
      } catch (const ToolError& e) {
        EXPECT_NE(std::string(e.what()).find(c.refusal), std::string::npos) << e.what();
      }
      continue;
    }
    std::vector<std::string> relative;
    for (const SourceFile& file : ExpandSource(dir.Path(), c.pattern, &leftOut)) {
      relative.push_back(file.relative);
      // Each file read through the links holds its own bytes.
      const std::map<std::string, std::string> bytes = {
          {"top.txt", "top"}, {"y.txt", "y"}, {"x.txt", "x"}, {"z.txt", "z"}, {"f.txt", "x"}};
      EXPECT_EQ(ReadFile(file.path), bytes.at(fs::path(file.relative).filename().string())) << file.relative;
    }
    EXPECT_EQ(relative, c.relative);
    std::vector<std::string> expectedLeftOut;
    for (const std::string& link : c.leftOut) expectedLeftOut.push_back((dir.Path() / link).string());
    EXPECT_EQ(leftOut, expectedLeftOut);
  }
  // The build names a link it leaves out, at the source's line.
  Project p("[product]\nname = \"Z\"\nmain_executable = \"src/a.exe\"\n[[files]]\nsource = \"src\"\n");
  p.Source("src/a.exe", "MZ");
  fs::create_symlink("missing", p.dir.Path() / "src/gone");
  AssembledPackage assembled = AssemblePackage(LoadManifest(p.manifest), std::nullopt);
  ASSERT_EQ(assembled.warnings.size(), 1u);
  EXPECT_EQ(assembled.warnings[0], p.manifest.string() + ":5:10: warning: the symbolic link " +
                                       (p.dir.Path() / "src/gone").string() + " leads to no file or folder; it is left out");
}

// An output that names a folder (existing, or ending in a separator) is
// refused before anything is written, and a folder given for the manifest
// stands for the tailpack.toml in it.
TEST(ToolBuild, AnOutputFolderIsRefusedAndAManifestFolderIsRead) {
  Project p("[product]\nname = \"Z\"\n[[files]]\nsource = \"Z.exe\"\n");
  p.Source("Z.exe", "MZ");
  fs::create_directories(p.dir.Path() / "out");
  for (const char* output : {"out", "out/", "new/"}) {
    SCOPED_TRACE(output);
    try {
      p.Build(output);
      ADD_FAILURE() << "built";
    } catch (const ToolError& e) {
      std::string expected = "the output " + (p.dir.Path() / output).string() + " names a folder; name the installer "
                             "to write, for example -o " + (p.dir.Path() / std::string(output, 3) / "setup.exe").string();
      EXPECT_EQ(std::string(e.what()), expected);
    }
    EXPECT_TRUE(fs::is_empty(p.dir.Path() / "out"));
    EXPECT_FALSE(fs::exists(p.dir.Path() / "new"));
  }
  p.manifest = p.dir.Path();
  p.Build("setup.exe");
  Installer installer(p.dir.Path() / "setup.exe", kArchX64, kOsWindows10);
  ASSERT_TRUE(installer.Intact()) << installer.FailureMessage();
  EXPECT_EQ(Entries(installer).at(0).name, "Z.exe");
}

// A source's fixed part keeps its root and either separator; the glob
// below it selects what is expanded.
TEST(ToolBuild, SourcePatternsKeepTheirRootAndSeparators) {
  TempDir dir;
  WriteFile(dir.Path() / "a" / "b" / "one.txt", "1");
  WriteFile(dir.Path() / "a" / "b" / "two.ini", "2");
  WriteFile(dir.Path() / "a" / "c" / "three.txt", "3");
  const std::string absolute = (dir.Path() / "a").string();
  struct Case {
    std::string pattern;
    fs::path fixed;
    std::vector<std::string> relative;
  } cases[] = {
      {"a/b/*.txt", dir.Path() / "a" / "b", {"one.txt"}},
      {"a\\b\\*.txt", dir.Path() / "a" / "b", {"one.txt"}},
      {"a/**/*.txt", dir.Path() / "a", {"b/one.txt", "c/three.txt"}},
      {"a/b/two.ini", dir.Path() / "a" / "b" / "two.ini", {"two.ini"}},
      {"a/c", dir.Path() / "a" / "c", {"three.txt"}},
      {absolute + "/b/*", dir.Path() / "a" / "b", {"one.txt", "two.ini"}},
      {"*/c/*", dir.Path(), {"a/c/three.txt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(FixedSourcePath(dir.Path(), c.pattern), c.fixed);
    std::vector<std::string> relative;
    for (const SourceFile& file : ExpandSource(dir.Path(), c.pattern)) relative.push_back(file.relative);
    EXPECT_EQ(relative, c.relative);
  }
  EXPECT_EQ(FixedSourcePath(dir.Path(), "/"), fs::path("/"));
}

// ---------------------------------------------------------------------------
// verify: the loader's checks, in order.

std::vector<uint8_t> Bytes(const fs::path& path) {
  std::string text = ReadFile(path);
  return std::vector<uint8_t>(text.begin(), text.end());
}

void Store(const fs::path& path, const std::vector<uint8_t>& bytes) {
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

std::string FailedCheck(const fs::path& path) {
  Installer installer(path, kArchX64, kOsWindows10);
  for (const LoadCheck& check : installer.Checks()) {
    if (check.state == LoadCheck::State::kFailed) return check.id;
  }
  return "";
}

TEST(ToolVerify, ReportsTheFirstFailedLoaderCheck) {
  Project p = ExampleProject();
  p.Build();
  const fs::path good = p.dir.Path() / "out.exe";
  std::vector<uint8_t> original = Bytes(good);
  Installer reference(good, kArchX64, kOsWindows10);
  ASSERT_TRUE(reference.Intact());
  const uint64_t trailer = reference.TrailerStart();
  const uint64_t packed = reference.PackedStart();

  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> damage;
    const char* failed;  // "" = intact
  } cases[] = {
      {"intact", [](std::vector<uint8_t>&) {}, ""},
      {"no MZ", [](std::vector<uint8_t>& b) { b[0] = 'X'; }, "executable"},
      {"no package", [&](std::vector<uint8_t>& b) { b.resize(packed); }, "trailer"},
      {"packed size too large", [&](std::vector<uint8_t>& b) { b[trailer + 11] = 0x7F; }, "packed-block"},
      {"bad properties", [&](std::vector<uint8_t>& b) { b[packed] = 225; }, "decode"},
      {"checksum off by one", [&](std::vector<uint8_t>& b) { b[trailer] ^= 1; }, "checksum"},
      {"data damaged", [&](std::vector<uint8_t>& b) { b[packed + 40] ^= 0x55; }, "decode|checksum"},
      {"certificate entry past the end", [&](std::vector<uint8_t>& b) {
         std::vector<uint8_t> copy = b;
         SetCertificateEntry(copy, static_cast<uint32_t>(b.size() + 100), 8);
         b = copy;
       }, "package-end"},
  };
  for (const auto& k : cases) {
    std::vector<uint8_t> bytes = original;
    k.damage(bytes);
    fs::path path = p.dir.Path() / "damaged.exe";
    Store(path, bytes);
    std::string failed = FailedCheck(path);
    if (std::string(k.failed).find('|') != std::string::npos) {
      EXPECT_NE(std::string(k.failed).find(failed), std::string::npos) << k.name << ": " << failed;
      EXPECT_FALSE(failed.empty()) << k.name;
    } else {
      EXPECT_EQ(failed, k.failed) << k.name;
    }
    std::ostringstream out;
    EXPECT_EQ(VerifyInstaller(path, false, out), failed.empty()) << k.name << "\n" << out.str();
  }
}

TEST(ToolVerify, NamesTheIndexingCheckThatFailed) {
  Project p = ExampleProject();
  struct Case {
    const char* name;
    void (*change)(PackageContents&);
    const char* failed;
  } cases[] = {
      {"no product name", [](PackageContents& c) { c.settings[kProductName].clear(); }, "product-name"},
      {"config command reading a text first",
       [](PackageContents& c) { c.settings[kConfigCommand] = u"%s:%u"; }, "formats"},
      {"title with two texts", [](PackageContents& c) { c.languages[0].texts[0] = u"%s %s"; }, "formats"},
      {"name leaving the folder", [](PackageContents& c) { c.files[0].name = "..\\evil.exe"; }, "names"},
  };
  for (const Case& k : cases) {
    PackageContents contents = test::SamplePackage();
    k.change(contents);
    fs::path path = p.dir.Path() / "crafted.exe";
    Store(path, WriteInstaller(test::MakeMinimalPe(), contents));
    EXPECT_EQ(FailedCheck(path), k.failed) << k.name;
    std::ostringstream out;
    EXPECT_FALSE(VerifyInstaller(path, false, out)) << k.name;
  }
}

TEST(ToolVerify, SlackOfSixteenLoadsAndSeventeenDoesNot) {
  Project p = ExampleProject();
  p.Build();
  std::vector<uint8_t> bytes = Bytes(p.dir.Path() / "out.exe");
  Installer reference(p.dir.Path() / "out.exe", kArchX64, kOsWindows10);
  uint64_t trailerEnd = reference.TrailerStart() + kTrailerSize;
  for (uint64_t slack : {0, 1, 16, 17}) {
    std::vector<uint8_t> copy(bytes.begin(), bytes.begin() + static_cast<long>(trailerEnd));
    copy.resize(copy.size() + slack, 0);
    Store(p.dir.Path() / "slack.exe", copy);
    EXPECT_EQ(FailedCheck(p.dir.Path() / "slack.exe"), slack <= 16 ? "" : "trailer") << slack;
  }
}

TEST(ToolVerify, FindsThePackageBeforeASignature) {
  Project p = ExampleProject();
  p.Build();
  std::vector<uint8_t> bytes = Bytes(p.dir.Path() / "out.exe");
  uint32_t end = static_cast<uint32_t>(bytes.size());
  // A WIN_CERTIFICATE header (length, revision 0x0200, type PKCS_SIGNED_DATA) and a body.
  std::vector<uint8_t> certificate = {24, 0, 0, 0, 0x00, 0x02, 0x02, 0x00};
  certificate.resize(24, 0x30);
  bytes.insert(bytes.end(), certificate.begin(), certificate.end());
  SetCertificateEntry(bytes, end, 24);
  Store(p.dir.Path() / "signed.exe", bytes);
  Installer installer(p.dir.Path() / "signed.exe", kArchX64, kOsWindows10);
  EXPECT_TRUE(installer.Intact()) << installer.FailureMessage();
  EXPECT_TRUE(installer.Signed());
  EXPECT_EQ(installer.PackageEnd(), end);
  EXPECT_NE(installer.SignatureDescription().find("Authenticode"), std::string::npos);
  std::ostringstream json;
  EXPECT_TRUE(VerifyInstaller(p.dir.Path() / "signed.exe", true, json));
  EXPECT_NE(json.str().find("\"signed\":true"), std::string::npos) << json.str();
}

// ---------------------------------------------------------------------------
// list and extract.

TEST(ToolList, ShowsSelectionForTheGivenMachine) {
  Project p = ExampleProject();
  p.Build();
  ListOptions options;
  options.json = true;
  options.archMask = kArchX86;
  options.osMask = kOsWindows7;
  std::ostringstream out;
  ListInstaller(p.dir.Path() / "out.exe", options, out);
  std::string json = out.str();
  EXPECT_NE(json.find("\"name\":\"zentrova.exe\",\"size\":12,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"replace_in_use\":true,\"filetime\":"), std::string::npos);
  EXPECT_NE(json.find("\"ProductName\":\"Zentrova\""), std::string::npos);
  EXPECT_NE(json.find("\"LaunchTarget\":null"), std::string::npos);
  EXPECT_NE(json.find("\"windows\":[\"7\",\"8\",\"10\",\"later\"]"), std::string::npos);
  // x86 copy selected, x64 copy not; 12 + 5 + 7 + 0 + 16 + 16 selected bytes.
  EXPECT_NE(json.find("\"selected\":true}"), std::string::npos);
  EXPECT_NE(json.find("\"selected_bytes\":56}"), std::string::npos) << json;

  std::ostringstream text;
  options.json = false;
  ListInstaller(p.dir.Path() / "out.exe", options, text);
  EXPECT_NE(text.str().find("entries (7; selected for x86, Windows 7)"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("listed-only"), std::string::npos);
}

TEST(ToolExtract, WritesTheSelectedFilesWithTheirTimes) {
  Project p = ExampleProject();
  p.Build();
  struct Case {
    uint32_t arch;
    bool all;
    const char* exe;
  } cases[] = {{kArchX86, false, "MZ x86 build"}, {kArchX64, false, "MZ x64 build, a little longer"},
               {kArchX86, true, "MZ x64 build, a little longer"}};
  for (const Case& k : cases) {
    TempDir out;
    ExtractOptions options;
    options.directory = out.Path() / "dest";
    options.archMask = k.arch;
    options.all = k.all;
    options.quiet = !k.all;  // quiet also silences the warning
    std::ostringstream sink, err;
    // With --all both copies of zentrova.exe are selected: the file is
    // written once, with the later entry's data.
    EXPECT_EQ(ExtractInstaller(p.dir.Path() / "out.exe", options, sink, err), 5u);
    const fs::path d = options.directory;
    EXPECT_EQ(ReadFile(d / "zentrova.exe"), k.exe);
    EXPECT_EQ(ReadFile(d / "doc/guide/intro.txt"), "intro");
    EXPECT_EQ(ReadFile(d / "legal/LICENSE.txt"), "License terms.\r\n");
    EXPECT_TRUE(fs::is_directory(d / "logs"));
    EXPECT_FALSE(fs::exists(d / "logs/*"));
    struct stat info;
    ASSERT_EQ(stat((d / "legal/LICENSE.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtim.tv_sec, kTime + 60);
    if (k.all) {
      EXPECT_NE(err.str().find("zentrova.exe is written by 2 entries"), std::string::npos) << err.str();
    } else {
      EXPECT_EQ(err.str(), "");
    }
  }
}

TEST(ToolExtract, NeverFollowsSymbolicLinksOutOfTheDirectory) {
  Project p = ExampleProject();
  p.Build();
  TempDir out, outside;
  const fs::path dest = out.Path() / "dest";
  struct Case {
    const char* name;
    std::function<void()> prepare;
  } cases[] = {
      {"linked directory", [&] { fs::create_directory_symlink(outside.Path(), dest / "doc"); }},
      {"linked file", [&] { fs::create_symlink(outside.Path() / "license.txt", dest / "license.txt"); }},
      {"linked nested directory", [&] {
         fs::create_directories(dest / "legal");
         fs::remove(dest / "legal");
         fs::create_directory_symlink(outside.Path(), dest / "legal");
       }},
  };
  for (const Case& k : cases) {
    fs::remove_all(dest);
    fs::create_directories(dest);
    k.prepare();
    ExtractOptions options;
    options.directory = dest;
    options.quiet = true;
    std::ostringstream sink, err;
    EXPECT_THROW(ExtractInstaller(p.dir.Path() / "out.exe", options, sink, err), ToolError) << k.name;
    EXPECT_TRUE(fs::is_empty(outside.Path())) << k.name << ": wrote outside the directory";
  }
}

// ---------------------------------------------------------------------------
// Hostile input: installers nobody should trust, and a shared output folder.

void StorePackage(const fs::path& path, const PackageContents& contents) {
  Store(path, WriteInstaller(test::MakeMinimalPe(), contents));
}

// Every file below `root`, relative to it, sorted.
std::vector<std::string> Listing(const fs::path& root) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator(); ++it) {
    out.push_back(fs::relative(it->path(), root).string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST(ToolOptions, CodePagesAreDecimalWindowsAnsiPages) {
  const std::pair<const char*, uint32_t> accepted[] = {
      {"1252", 1252}, {"01252", 1252}, {"874", 874},   {"932", 932},   {"936", 936},
      {"949", 949},   {"950", 950},    {"1250", 1250}, {"1258", 1258}, {"1361", 1361},
      {"65001", 65001},
  };
  for (auto [text, page] : accepted) EXPECT_EQ(ParseCodePage(text), page) << text;
  // EBCDIC and OEM pages, octal and hexadecimal spellings, and garbage.
  for (const char* text : {"037", "37", "500", "875", "1026", "1047", "1140", "273", "437", "850",
                           "1259", "0x4E4", "1252x", "", "-1252", "+1252", "99999999999999999999"}) {
    EXPECT_THROW(ParseCodePage(text), UsageError) << text;
  }
}

TEST(ToolExtract, NamesAreCheckedAsDecodedBeforeAnythingIsCreated) {
  // Letters and "K" in the stored bytes, "../../ESCAPED.txt" in EBCDIC: the
  // loader's rule sees a harmless name, the decoded one climbs out of -d.
  const std::string escaping = "\x4B\x4B\x61\x4B\x4B\x61\xC5\xE2\xC3\xC1\xD7\xC5\xC4\x4B\xA3\xA7\xA3";
  PackageContents contents = test::SamplePackage();
  contents.files.insert(contents.files.begin(), {"first.txt", 0, 0, 2});
  contents.files.push_back({escaping, 0, 0, 2});
  TempDir dir;
  StorePackage(dir.Path() / "ebcdic.exe", contents);
  ASSERT_TRUE(Installer(dir.Path() / "ebcdic.exe", kArchX64, kOsWindows10).Intact());
  for (uint32_t page : {500u, 1140u, 1047u, 875u}) {
    SCOPED_TRACE(page);
    ExtractOptions options;
    options.directory = dir.Path() / "a" / "b" / "dest";
    options.codePage = page;
    options.all = true;
    options.quiet = true;
    std::ostringstream out, err;
    EXPECT_THROW(ExtractInstaller(dir.Path() / "ebcdic.exe", options, out, err), ToolError);
    EXPECT_FALSE(fs::exists(dir.Path() / "a" / "ESCAPED.txt"));
    // Checked before anything is written: not even the first, harmless entry.
    EXPECT_FALSE(fs::exists(options.directory / "first.txt"));
  }
}

TEST(ToolBuild, NeverWritesThroughALinkPlantedInTheOutputFolder) {
  Project p = ExampleProject();
  TempDir elsewhere;
  const fs::path victim = elsewhere.Path() / "victim";
  WriteFile(victim, "precious");
  fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write);
  // The temporary names an attacker could predict, and the output itself.
  const std::string pid = std::to_string(getpid());
  for (const std::string& name : std::vector<std::string>{"out.exe.tmp-" + pid, "out.exe.tmp",
                                                         "out.exe.tmp-" + std::to_string(getpid() + 1)}) {
    fs::create_symlink(victim, p.dir.Path() / name);
  }
  fs::create_symlink(victim, p.dir.Path() / "out.exe");
  p.Build();
  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_EQ(fs::status(victim).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(p.dir.Path() / "out.exe")));
  EXPECT_EQ(fs::status(p.dir.Path() / "out.exe").permissions() & fs::perms::all,
            fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                fs::perms::others_read | fs::perms::others_exec);
  EXPECT_TRUE(Installer(p.dir.Path() / "out.exe", kArchX64, kOsWindows10).Intact());
  // Nothing left behind but the planted links.
  size_t temporaries = 0;
  for (const auto& entry : fs::directory_iterator(p.dir.Path())) {
    std::string name = entry.path().filename().string();
    if (name.rfind("out.exe.", 0) == 0 && !fs::is_symlink(entry.symlink_status())) ++temporaries;
  }
  EXPECT_EQ(temporaries, 0u);
}

TEST(ToolExtract, ReplacesHardLinksInsteadOfWritingThroughThem) {
  Project p = ExampleProject();
  p.Build();
  TempDir out, outside;
  const fs::path dest = out.Path() / "dest";
  fs::create_directories(dest / "legal");
  const fs::path victim = outside.Path() / "victim";
  WriteFile(victim, "precious");
  fs::create_hard_link(victim, dest / "legal" / "LICENSE.txt");
  fs::create_hard_link(victim, dest / "license.txt");
  ExtractOptions options;
  options.directory = dest;
  options.quiet = true;
  std::ostringstream sink, err;
  ExtractInstaller(p.dir.Path() / "out.exe", options, sink, err);
  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_EQ(fs::hard_link_count(victim), 1u);
  EXPECT_EQ(ReadFile(dest / "legal" / "LICENSE.txt"), "License terms.\r\n");
  EXPECT_EQ(ReadFile(dest / "license.txt"), "License terms.\r\n");
  // Written under temporary names and renamed: none is left.
  EXPECT_EQ(Listing(dest), (std::vector<std::string>{"doc", "doc/guide", "doc/guide/intro.txt", "doc/readme.txt", "legal",
                                                     "legal/LICENSE.txt", "license.txt", "logs", "zentrova.exe"}));
}

TEST(ToolVerify, ABombWhoseHeaderIsWrongStopsAfterItsFirstBytes) {
  // 64 MiB of zeros: the byte sum 0 matches the trailer, the header (no
  // language) is wrong from the first bytes on, so nothing more is decoded.
  std::vector<uint8_t> zeros(64u << 20, 0);
  LzmaSettings fast;
  fast.preset = 0;
  fast.extreme = false;
  fast.dictionarySize = 1 << 16;
  std::vector<uint8_t> packed = CompressBlock(zeros, fast);
  TempDir dir;
  Store(dir.Path() / "bomb.exe", AppendPackage(test::MakeMinimalPe(), packed, MakeTrailer(zeros, packed)));
  g_allocationLimit = 8u << 20;
  std::string failed = FailedCheck(dir.Path() / "bomb.exe");
  g_allocationLimit = SIZE_MAX;
  EXPECT_EQ(failed, "layout");
}

TEST(ToolVerify, MaxUnpackedRefusesBeforeDecoding) {
  Project p = ExampleProject();
  p.Build();
  const fs::path installer = p.dir.Path() / "out.exe";
  uint32_t unpacked = Installer(installer, kArchX64, kOsWindows10).Trailer().unpackedSize;
  {
    g_allocationLimit = 4096;  // the block cannot even be allocated: nothing is
    Installer refused(installer, kArchX64, kOsWindows10, unpacked - 1);
    g_allocationLimit = SIZE_MAX;
    EXPECT_FALSE(refused.Intact());
    ASSERT_EQ(FailedCheck(installer), "");
    std::string message = refused.FailureMessage();
    EXPECT_NE(message.find("--max-unpacked"), std::string::npos) << message;
  }
  EXPECT_TRUE(Installer(installer, kArchX64, kOsWindows10, unpacked).Intact());
  VerifyOptions verify;
  verify.maxUnpacked = 1000;
  std::ostringstream out;
  EXPECT_FALSE(VerifyInstaller(installer, verify, out));
  EXPECT_NE(out.str().find("--max-unpacked"), std::string::npos) << out.str();
  ListOptions list;
  list.maxUnpacked = 1000;
  EXPECT_THROW(ListInstaller(installer, list, out), ToolError);
  ExtractOptions extract;
  extract.directory = p.dir.Path() / "x";
  extract.maxUnpacked = 1000;
  EXPECT_THROW(ExtractInstaller(installer, extract, out, out), ToolError);
  EXPECT_FALSE(fs::exists(p.dir.Path() / "x"));
}

TEST(ToolExtract, EntriesSharingANameWriteItOnceAndWarnOnce) {
  // 100000 entries named "a", the last one with other bytes; 30 names
  // written twice each.
  PackageContents contents = test::SamplePackage();
  contents.files.clear();
  contents.infoEntry = kNoInfoEntry;
  contents.blobs = {{'f', 'i', 'r', 's', 't'}, {'l', 'a', 's', 't'}};
  for (int i = 0; i < 100000; ++i) contents.files.push_back({"a", 0, 0, i == 99999 ? 1u : 0u});
  for (int i = 0; i < 30; ++i) {
    for (int twice = 0; twice < 2; ++twice) contents.files.push_back({"n" + std::to_string(i), 0, 0, 0});
  }
  TempDir dir;
  StorePackage(dir.Path() / "same.exe", contents);
  ExtractOptions options;
  options.directory = dir.Path() / "dest";
  std::ostringstream out, err;
  EXPECT_EQ(ExtractInstaller(dir.Path() / "same.exe", options, out, err), 31u);
  EXPECT_EQ(ReadFile(options.directory / "a"), "last");
  std::string warnings = err.str();
  EXPECT_LE(std::count(warnings.begin(), warnings.end(), '\n'), 12) << warnings;
  EXPECT_NE(warnings.find("a is written by 100000 entries"), std::string::npos) << warnings;
  EXPECT_NE(warnings.find("more"), std::string::npos) << warnings;
  // Quiet means quiet.
  std::ostringstream quietOut, quietErr;
  options.quiet = true;
  options.directory = dir.Path() / "quiet";
  ExtractInstaller(dir.Path() / "same.exe", options, quietOut, quietErr);
  EXPECT_EQ(quietOut.str() + quietErr.str(), "");
}

// True when `text` is valid UTF-8 with no control character but line ends
// (C0, DEL, and C1, which some terminals read as escape sequences).
bool IsShowable(const std::string& text) {
  if (!Utf8ToUtf16(text)) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\n') || c == 0x7F) return false;
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0) return false;
  }
  return true;
}

TEST(ToolInspect, TextAndJsonOutputSurviveHostileNamesAndSettings) {
  PackageContents contents = test::SamplePackage();
  // (The installer refuses control characters in ProductName, which names
  // files; CSI, U+009B, is not one of them.)
  contents.settings[kProductName] = u"Evil\u009b2J";
  contents.settings[kPublisher] = u"Evil\x1b[2J line\nfake: line\r";
  contents.settings[kProductVersion] = u"1\u009b31m\x7f";
  // U+009B (CSI) in UTF-8, and a name too long for the installer's paths
  // (a note of verify quotes it) made of bytes that are not UTF-8.
  contents.files[0].name = "\xC2\x9B" "31m.txt";
  contents.files[1].name = std::string(300, '\xE9');
  TempDir dir;
  const fs::path path = dir.Path() / "odd\xFF name.exe";
  StorePackage(path, contents);

  for (uint32_t page : {1252u, 65001u}) {
    SCOPED_TRACE(page);
    ListOptions list;
    list.codePage = page;
    list.texts = true;
    std::ostringstream text, json;
    ListInstaller(path, list, text);
    EXPECT_TRUE(IsShowable(text.str())) << text.str();
    EXPECT_NE(text.str().find("Evil\\x1B[2J"), std::string::npos) << text.str();
    list.json = true;
    ListInstaller(path, list, json);
    EXPECT_TRUE(IsShowable(json.str())) << json.str();

    VerifyOptions verify;
    verify.codePage = page;
    std::ostringstream verifyText, verifyJson;
    EXPECT_TRUE(VerifyInstaller(path, verify, verifyText));
    EXPECT_TRUE(IsShowable(verifyText.str())) << verifyText.str();
    verify.json = true;
    EXPECT_TRUE(VerifyInstaller(path, verify, verifyJson));
    EXPECT_TRUE(IsShowable(verifyJson.str())) << verifyJson.str();
    EXPECT_NE(verifyJson.str().find("\"notes\":[\""), std::string::npos) << verifyJson.str();

    ExtractOptions extract;
    extract.directory = dir.Path() / ("dest" + std::to_string(page));
    extract.codePage = page;
    extract.all = true;
    std::ostringstream out, err;
    // The 300-letter name is too long for Linux as well: the error that
    // says so is shown safely too.
    std::string error;
    try {
      ExtractInstaller(path, extract, out, err);
    } catch (const ToolError& e) {
      error = e.what();
    }
    EXPECT_NE(error, "");
    EXPECT_TRUE(IsShowable(out.str() + err.str() + error)) << out.str() << err.str() << error;
  }
}

TEST(ToolBuild, GlobsSkipTheOutputAndAnOutputThatIsAnInputIsRefused) {
  Project p("[product]\nname = \"Z\"\nmain_executable = \"a.exe\"\n[[files]]\nsource = \"*.exe\"\n");
  p.Source("a.exe", "MZ a");
  p.Build("setup.exe");
  p.Build("setup.exe");  // the glob now also sees the first installer
  Installer installer(p.dir.Path() / "setup.exe", kArchX64, kOsWindows10);
  ASSERT_TRUE(installer.Intact());
  std::vector<std::string> names;
  for (const EntryView& e : Entries(installer)) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"a.exe", "stub.exe"}));

  for (const char* input : {"a.exe", "tailpack.toml", "stub.exe"}) {
    SCOPED_TRACE(input);
    std::string before = ReadFile(p.dir.Path() / input);
    EXPECT_THROW(p.Build(input), ToolError);
    EXPECT_EQ(ReadFile(p.dir.Path() / input), before);
  }
}

TEST(ToolBuild, CaseCollisionsAreFoundAsWindowsFoldsCase) {
  struct Case {
    const char* codePage;
    const char* targets[2];
    bool same;
  } cases[] = {
      {"1252", {"\xC3\x84.txt", "\xC3\xA4.txt"}, true},                  // Ä, ä
      {"1252", {"dir\\\\\xC3\x89t\xC3\xA9", "DIR/\xC3\xA9T\xC3\x89"}, true},  // Été, éTÉ
      {"1253", {"\xCE\xA3\xCE\xA3.txt", "\xCF\x83\xCF\x82.txt"}, true},  // ΣΣ, σς
      {"1251", {"\xD0\x96.txt", "\xD0\xB6.txt"}, true},                  // Ж, ж
      {"1252", {"\xC3\x9F.txt", "SS.txt"}, false},                        // ß is not SS
      {"1252", {"a.txt", "b.txt"}, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.targets[1]);
    Project p(std::string("[product]\nname = \"Z\"\nmain_executable = \"") + k.targets[0] +
              "\"\n[setup]\ncode_page = " + k.codePage +
              "\n[[files]]\nsource = \"a.txt\"\ntarget = \"" + k.targets[0] +
              "\"\n[[files]]\nsource = \"a.txt\"\ntarget = \"" + k.targets[1] + "\"\n");
    p.Source("a.txt", "a");
    AssembledPackage assembled = AssemblePackage(LoadManifest(p.manifest), std::nullopt);
    size_t collisions = 0;
    for (const std::string& warning : assembled.warnings) {
      if (warning.find("is also written by an earlier entry") != std::string::npos) ++collisions;
    }
    EXPECT_EQ(collisions, k.same ? 1u : 0u);
  }
}

}  // namespace
}  // namespace tailpack

namespace tailpack {
namespace {


std::string WithoutPiecesNote(std::string text) {
  const std::string note = ", decoded in pieces";
  for (size_t at; (at = text.find(note)) != std::string::npos;) text.erase(at, note.size());
  return text;
}

// A block larger than the in-memory limit is decoded in pieces: list,
// verify and extract then say and write exactly what they do for a block
// held whole, whatever the piece size (shared data, an entry overwriting an
// earlier one's file, empty files and folders included).
TEST(ToolStream, PiecesGiveTheSameListingChecksAndFiles) {
  Project p = ExampleProject();
  p.Source("big/zeros.bin", std::string(70000, '\0'));
  p.Source("big/copy-of-intro.txt", "intro");
  p.Source("big/empty.txt", "");
  std::ofstream(p.manifest, std::ios::app) << "\n[[files]]\nsource = \"big/*\"\ntarget = \"big/\"\n";
  p.Build();
  const fs::path installer = p.dir.Path() / "out.exe";
  const DecodeLimits whole;
  Installer reference(installer, kArchX64, kOsWindows10, kNoUnpackedLimit, whole);
  ASSERT_TRUE(reference.Intact()) << reference.FailureMessage();
  ASSERT_FALSE(reference.Streamed());

  auto run = [&](const DecodeLimits& limits, const fs::path& dest, std::string* listing, std::string* checks,
                 std::string* extracted) {
    ListOptions list;
    list.limits = limits;
    std::ostringstream l, v, x, e;
    ListInstaller(installer, list, l);
    EXPECT_TRUE(VerifyInstaller(installer, false, v, limits));
    ExtractOptions extract;
    extract.directory = dest;
    extract.all = true;
    extract.limits = limits;
    ExtractInstaller(installer, extract, x, e);
    *listing = l.str();
    *checks = v.str();
    *extracted = x.str() + e.str();
    size_t at = extracted->find(dest.string());
    if (at != std::string::npos) extracted->replace(at, dest.string().size(), "DEST");
  };
  TempDir out;
  std::string listing, checks, extracted;
  run(whole, out.Path() / "whole", &listing, &checks, &extracted);
  auto expected = Tree(out.Path() / "whole");
  ASSERT_EQ(expected["big/zeros.bin"].first.size(), 70000u);

  for (size_t piece : {size_t{1}, size_t{5}, size_t{28}, size_t{4096}, size_t{1} << 20}) {
    for (uint64_t inMemory : {uint64_t{0}, uint64_t{100}, uint64_t{1000}}) {
      DecodeLimits limits{inMemory, piece};
      Installer streamed(installer, kArchX64, kOsWindows10, kNoUnpackedLimit, limits);
      ASSERT_TRUE(streamed.Intact()) << piece << " " << inMemory << ": " << streamed.FailureMessage();
      EXPECT_TRUE(streamed.Streamed()) << piece << " " << inMemory;
      std::string l, v, x;
      fs::path dest = out.Path() / ("pieces-" + std::to_string(piece) + "-" + std::to_string(inMemory));
      run(limits, dest, &l, &v, &x);
      EXPECT_EQ(l, listing) << piece;
      EXPECT_NE(v.find("decoded in pieces"), std::string::npos) << piece;
      EXPECT_EQ(WithoutPiecesNote(v), checks) << piece;
      EXPECT_EQ(x, extracted) << piece;
      EXPECT_EQ(Tree(dest), expected) << piece << " " << inMemory;
    }
  }
}

// A damaged package fails the same check whether its block is decoded in
// pieces or whole.
TEST(ToolStream, DamageIsFoundTheSameWayInPieces) {
  Project p = ExampleProject();
  p.Build();
  const fs::path good = p.dir.Path() / "out.exe";
  std::vector<uint8_t> original = Bytes(good);
  Installer reference(good, kArchX64, kOsWindows10);
  const uint64_t trailer = reference.TrailerStart();
  const uint64_t packed = reference.PackedStart();
  const uint32_t packedSize = reference.Trailer().packedSize;
  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> damage;
    bool surelyFound;  // else found or not depending on the stream's last bits, the same way
  } cases[] = {
      {"bad properties", [&](std::vector<uint8_t>& b) { b[packed] = 225; }, true},
      {"checksum off by one", [&](std::vector<uint8_t>& b) { b[trailer] ^= 1; }, true},
      {"data damaged early", [&](std::vector<uint8_t>& b) { b[packed + 40] ^= 0x55; }, true},
      {"data damaged late", [&](std::vector<uint8_t>& b) { b[packed + packedSize - 3] ^= 0x10; }, false},
      {"unpacked size one more", [&](std::vector<uint8_t>& b) { b[trailer + 4] += 1; }, false},
      {"unpacked size one less", [&](std::vector<uint8_t>& b) { b[trailer + 4] -= 1; }, false},
  };
  auto failed = [](const fs::path& path, const DecodeLimits& limits) {
    Installer installer(path, kArchX64, kOsWindows10, kNoUnpackedLimit, limits);
    for (const LoadCheck& check : installer.Checks()) {
      if (check.state == LoadCheck::State::kFailed) return check.id + ": " + WithoutPiecesNote(check.detail);
    }
    return std::string();
  };
  for (const Case& k : cases) {
    std::vector<uint8_t> bytes = original;
    k.damage(bytes);
    fs::path path = p.dir.Path() / "damaged.exe";
    Store(path, bytes);
    std::string whole = failed(path, DecodeLimits{});
    if (k.surelyFound) {
      EXPECT_FALSE(whole.empty()) << k.name;
    }
    for (size_t piece : {size_t{1}, size_t{16}, size_t{4096}}) {
      EXPECT_EQ(failed(path, DecodeLimits{0, piece}), whole) << k.name << " " << piece;
    }
  }
}

// ---------------------------------------------------------------------------
// The generated uninstaller: [uninstall] generated = true.

Project UninstallProject() {
  Project p(R"([product]
name = "Zentrova"
main_executable = "a.exe"
mutex_name = "ZentrovaRunning"
[setup]
registry_view = "64-bit"
info_text = "EULA.txt"
[languages]
use = ["en", "de"]
[[files]]
source = "a.exe"
[[directories]]
path = "logs/sub"
[[files]]
source = "docs/**/*.txt"
target = "doc"
[[files]]
source = "EULA.txt"
install = false
[[files]]
source = "a.exe"
target = "A.EXE"
architectures = "x64"
[uninstall]
generated = true
)");
  for (const char* name : {"EULA.txt", "a.exe", "docs/guide/intro.txt"}) p.Source(name, name);
  p.Source("docs/readme.txt", "docs/readme.txt", kTime + 40);
  p.Source("tool/tailpack-uninstall-x86.exe", "MZ uninstaller", kTime + 100);
  p.toolDirectory = p.dir.Path() / "tool";  // found there for the i386 stub
  return p;
}

std::u16string Text16(const Char16* text) {
  return text == nullptr ? u"(absent)" : std::u16string(reinterpret_cast<const char16_t*>(text));
}

TEST(ToolUninstall, RecordThenUninstallerComeLastAndListTheInstalledFiles) {
  Project p = UninstallProject();
  p.Build();
  Installer installer(p.dir.Path() / "out.exe", kArchX64, kOsWindows10);
  ASSERT_TRUE(installer.Intact()) << installer.FailureMessage();
  const Catalogue& c = installer.Package();
  std::vector<EntryView> e = Entries(installer);
  ASSERT_EQ(e.size(), 8u);
  // Both in the product's own folder, the record named by its hash.
  EXPECT_EQ(e[6].name.substr(0, 19) + e[6].name.substr(35), "uninstall\\Zentrova\\.tpr");
  EXPECT_EQ(e[6].name.find_first_not_of("0123456789abcdef", 19), 35u) << e[6].name;
  EXPECT_EQ(e[6].flags, kEntryArchBits | kEntryOsBits);
  EXPECT_EQ(e[7].name, "uninstall\\Zentrova\\uninstall.exe");
  EXPECT_EQ(e[7].flags, kEntryArchBits | kEntryOsBits | kEntryUninstaller | kEntryReplaceInUse);
  EXPECT_EQ(e[7].data, "MZ uninstaller");
  // The newest of the product's files, not the uninstaller file's time.
  EXPECT_EQ(e[6].time, FileTimeFromUnix(kTime + 40, 0));
  EXPECT_EQ(e[7].time, e[6].time);

  UninstallRecord r;
  ASSERT_EQ(ParseUninstallRecord(c.block + e[6].dataOffset, e[6].size, &r), kPackageOk);
  EXPECT_EQ(r.flags, kRecordFlag64BitView);
  EXPECT_EQ(Text16(r.settings[kRecordMutexName]), u"ZentrovaRunning");
  EXPECT_EQ(Text16(r.settings[kRecordWindowClass]), u"(absent)");
  // Installed files once each (not the never-installed licence or the
  // listed-only folder), then the folders deepest first.
  std::vector<std::string> names;
  for (const char* n = r.names; n < r.names + r.namesSize; n = NextRecordName(n)) names.push_back(n);
  EXPECT_EQ(r.fileCount, 3u);
  EXPECT_EQ(names, (std::vector<std::string>{"a.exe", "doc\\guide\\intro.txt", "doc\\readme.txt", "logs\\sub",
                                             "doc\\guide", "logs", "doc"}));
  ASSERT_EQ(r.languageCount, 2u);
  for (uint32_t l = 0; l < 2; ++l) {
    EXPECT_EQ(r.languages[l].langId, c.languages[l].langId);
    EXPECT_EQ(Text16(r.languages[l].texts[kUninstallProductRunning]), Text16(c.languages[l].texts[22]));
    EXPECT_EQ(Text16(r.languages[l].texts[kUninstallNotAdministrator]), Text16(c.languages[l].texts[21]));
  }
  EXPECT_EQ(Text16(r.languages[0].texts[kUninstallQuestion]), DefaultLanguages()[0].uninstall[0]);
  EXPECT_NE(Text16(r.languages[1].texts[kUninstallQuestion]), Text16(r.languages[0].texts[kUninstallQuestion]));
  ReleaseUninstallRecord(&r);

  // list and verify read it, also from a package laid out to stream and
  // decoded in pieces, whose two last entries stay streamable.
  p.layout.streamThreshold = 1;
  p.Build("streams.exe");
  for (const char* name : {"out.exe", "streams.exe"}) {
    SCOPED_TRACE(name);
    ListOptions list;
    list.limits.inMemory = name[0] == 's' ? 1 : list.limits.inMemory;
    std::ostringstream text, json, verify;
    ListInstaller(p.dir.Path() / name, list, text);
    EXPECT_NE(text.str().find("replace-in-use,uninstaller uninstall\\Zentrova\\uninstall.exe\n"), std::string::npos);
    EXPECT_NE(text.str().find("\n       uninstall record: 3 files, 4 folders, 2 languages\n"), std::string::npos);
    list.json = true;
    ListInstaller(p.dir.Path() / name, list, json);
    EXPECT_NE(json.str().find("\"uninstall_record\":{\"files\":3,\"folders\":4,\"languages\":2,\"product\":\"Zentrova\"}"),
              std::string::npos) << json.str();
    EXPECT_EQ(json.str().find("\"uninstaller\":true"), json.str().rfind("\"uninstaller\":true"));
    EXPECT_TRUE(VerifyInstaller(p.dir.Path() / name, false, verify, list.limits)) << verify.str();
    EXPECT_NE(verify.str().find("ok     every uninstall record parses"), std::string::npos) << verify.str();
    Installer again(p.dir.Path() / name, kArchX64, kOsWindows10, kNoUnpackedLimit, list.limits);
    EXPECT_TRUE(InstallerStreams(again.Package(), kArchX64, kOsWindows10, 1, kStreamHeldSize));
  }
}

TEST(ToolUninstall, BuildsAreReproducibleAndUnchangedWithoutIt) {
  Project p = UninstallProject();
  p.uninstaller = p.dir.Path() / "other.exe";
  p.Source("other.exe", "MZ other", kTime + 500);
  p.Build("one.exe", kTime + 200);
  Touch(*p.uninstaller, kTime + 900);
  p.Build("two.exe", kTime + 200);
  EXPECT_TRUE(ReadFile(p.dir.Path() / "one.exe") == ReadFile(p.dir.Path() / "two.exe"));
  std::vector<EntryView> e = Entries(Installer(p.dir.Path() / "one.exe", kArchX64, kOsWindows10));
  EXPECT_EQ(e.back().data, "MZ other");
  EXPECT_EQ(e.back().time, FileTimeFromUnix(kTime + 40, 0));
  // generated = false is the same as no table.
  Project without = ExampleProject();
  without.Build("plain.exe");
  std::ofstream(without.manifest, std::ios::app) << "\n[uninstall]\ngenerated = false\n";
  without.Build("false.exe");
  EXPECT_TRUE(ReadFile(without.dir.Path() / "plain.exe") == ReadFile(without.dir.Path() / "false.exe"));
}

// The uninstaller and its record are dated by the product's newest file
// (the never-installed licence counts, the uninstaller file does not), no
// later than SOURCE_DATE_EPOCH: the same whichever way the tool, and with
// it the uninstaller file, was installed.
TEST(ToolUninstall, TheUninstallerTakesTheNewestTimeOfTheProductsFiles) {
  struct Case {
    const char* label;
    int64_t program, licence, uninstaller;
    std::optional<int64_t> epoch;
    int64_t expected;
  } cases[] = {
      {"the program is newest, the uninstaller older", kTime + 60, kTime, kTime - 5000, std::nullopt, kTime + 60},
      {"the uninstaller is newer than every file", kTime + 60, kTime, kTime + 9000, std::nullopt, kTime + 60},
      {"the never-installed licence is newest", kTime, kTime + 77, kTime + 9000, std::nullopt, kTime + 77},
      {"an odd epoch below the newest file", kTime + 60, kTime, kTime + 9000, kTime + 7, kTime + 7},
      {"an epoch above every file", kTime + 60, kTime, kTime + 9000, kTime + 1001, kTime + 60},
      {"an epoch below every file", kTime + 60, kTime, kTime + 9000, kTime - 3, kTime - 3},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.label);
    Project p = UninstallProject();
    p.Source("docs/readme.txt", "docs/readme.txt", kTime - 10);
    p.Source("a.exe", "a.exe", k.program);
    p.Source("EULA.txt", "EULA.txt", k.licence);
    Touch(p.dir.Path() / "tool/tailpack-uninstall-x86.exe", k.uninstaller);
    p.Build("out.exe", k.epoch);
    std::vector<EntryView> e = Entries(Installer(p.dir.Path() / "out.exe", kArchX64, kOsWindows10));
    ASSERT_GE(e.size(), 2u);
    EXPECT_EQ(e[e.size() - 2].time, FileTimeFromUnix(k.expected, 0)) << e[e.size() - 2].name;
    EXPECT_EQ(e.back().name, "uninstall\\Zentrova\\uninstall.exe");
    EXPECT_EQ(e.back().time, FileTimeFromUnix(k.expected, 0));
  }
}

TEST(ToolUninstall, FindsTheUninstallerForTheStubsMachine) {
  TempDir dir;
  fs::path host = dir.Path() / "build" / "host";
  fs::create_directories(host);
  EXPECT_THROW(FindUninstaller(0x8664, host), ToolError);
  for (fs::path found : {dir.Path() / "build/win64/tailpack-uninstall.exe",
                         dir.Path() / "build/lib/tailpack/tailpack-uninstall-x64.exe", host / "tailpack-uninstall-x64.exe"}) {
    WriteFile(found, "MZ");
    EXPECT_EQ(FindUninstaller(0x8664, host), found);
  }
  EXPECT_THROW(FindUninstaller(0x014C, host), ToolError);
  EXPECT_THROW(FindUninstaller(0xAA64, host), ToolError);
}

TEST(ToolUninstall, RefusesFilesExpandedIntoTheUninstallFolder) {
  Project p("[product]\nname = \"Z\"\n[[files]]\nsource = \"dist/**\"\n[uninstall]\ngenerated = true\n");
  p.Source("dist/Uninstall/notes.txt", "mine");
  p.uninstaller = p.dir.Path() / "dist/Uninstall/notes.txt";
  EXPECT_THROW(p.Build(), ManifestError);
}

TEST(ToolUninstall, VerifyCallsARecordThatDoesNotParseDamage) {
  UninstallRecordContents record;
  record.settings[kRecordProductName] = u"Zentrova";
  record.languages.resize(1);
  record.files = {"zentrova.exe", "..\\x"};
  PackageContents contents = test::SamplePackage();
  contents.blobs.push_back(BuildUninstallRecord(record));
  contents.files.push_back({"uninstall\\Zentrova\\0123456789abcdef.tpr", 0, 0, 3});
  TempDir dir;
  StorePackage(dir.Path() / "p.exe", contents);
  std::ostringstream text, listing;
  EXPECT_FALSE(VerifyInstaller(dir.Path() / "p.exe", false, text));
  EXPECT_NE(text.str().find("FAILED every uninstall record parses as the uninstaller reads it: entry 3"),
            std::string::npos) << text.str();
  // list still shows the package, and why the record is refused.
  ListInstaller(dir.Path() / "p.exe", ListOptions{}, listing);
  EXPECT_NE(listing.str().find("uninstall record: damaged: a name could leave the install folder"),
            std::string::npos) << listing.str();
}

}  // namespace
}  // namespace tailpack
