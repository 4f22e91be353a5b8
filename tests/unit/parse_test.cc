// Parser and indexing: layout checks, flag defaults, totals, names.
#include <gtest/gtest.h>

#include <cstring>

#include "package/package.h"
#include "package/writer.h"
#include "tests/unit/test_support.h"

namespace {

struct Parsed {
  Catalogue catalogue{};
  PackageStatus status = kPackageOk;
  Parsed() = default;
  Parsed(const Parsed&) = delete;
  ~Parsed() {
    if (status == kPackageOk) ReleaseCatalogue(&catalogue);
  }
};

// Indexes a copy of `block` for a machine.
void Index(const std::vector<uint8_t>& block, uint32_t arch, uint32_t os, Parsed* out) {
  uint8_t* copy = static_cast<uint8_t*>(malloc(block.size() + 1));
  std::memcpy(copy, block.data(), block.size());
  out->status = IndexPackage(copy, static_cast<uint32_t>(block.size()), arch, os, &out->catalogue);
  if (out->status != kPackageOk) free(copy);
}

TEST(IndexPackage, IndexesSamplePackage) {
  Parsed p;
  Index(tailpack::BuildBlock(test::SamplePackage()), kArchX64, kOsWindows10, &p);
  ASSERT_EQ(p.status, kPackageOk);
  const Catalogue& c = p.catalogue;
  EXPECT_EQ(c.header.fileCount, 3u);
  EXPECT_EQ(c.header.languageCount, 2u);
  EXPECT_EQ(c.languages[1].langId, 0x0407);
  EXPECT_EQ(std::u16string(c.languages[1].texts[4]), u"Abbrechen");
  EXPECT_EQ(std::u16string(c.settings.text[kProductName]), u"Zentrova");
  EXPECT_EQ(c.settings.text[kLaunchTarget], nullptr);
  EXPECT_EQ(std::u16string(c.settings.text[kMainExecutable]), u"Zentrova.exe");
  EXPECT_STREQ(EntryName(&c, &c.entries[2]), "license.txt");
  // x64 gets the x64 copy (4 bytes) and the licence (7 bytes).
  EXPECT_EQ(c.total, 11u);
  EXPECT_EQ(c.entries[0].flags, 0x1u | kEntryOsBits);
  EXPECT_EQ(c.entries[2].flags, kEntryArchBits | kEntryOsBits);
  EXPECT_EQ(c.registryView, kKeyWow64_64Key);
  EXPECT_EQ(std::memcmp(c.block + c.entries[1].dataOffset, "x64!", 4), 0);
}

TEST(IndexPackage, TotalCountsOnlySelectedEntriesAndIsOneWhenEmpty) {
  struct Case {
    uint32_t arch, os;
    uint64_t total;
  } cases[] = {
      {kArchX86, kOsWindows10, 3 + 7},
      {kArchX64, kOsWindows7, 4 + 7},
      {kArchArm64, kOsWindows10, 7},
      {0, kOsWindows10, 1},  // unrecognised architecture: nothing selected
      {kArchX64, 0, 1},      // unrecognised Windows: nothing selected
  };
  std::vector<uint8_t> block = tailpack::BuildBlock(test::SamplePackage());
  for (const Case& k : cases) {
    Parsed p;
    Index(block, k.arch, k.os, &p);
    ASSERT_EQ(p.status, kPackageOk);
    EXPECT_EQ(p.catalogue.total, k.total) << "arch " << k.arch << " os " << k.os;
  }
}

TEST(IndexPackage, NoFilesGivesTotalOne) {
  tailpack::PackageContents c = test::SamplePackage();
  c.files.clear();
  c.blobs.clear();
  c.infoEntry = kNoInfoEntry;
  Parsed p;
  Index(tailpack::BuildBlock(c), kArchX64, kOsWindows10, &p);
  ASSERT_EQ(p.status, kPackageOk);
  EXPECT_EQ(p.catalogue.total, 1u);
}

TEST(IndexPackage, EmptySettingsAreAbsentAndStoredMainExecutableIsKept) {
  tailpack::PackageContents c = test::SamplePackage();
  c.settings[kMainExecutable] = u"bin\\zen.exe";
  Parsed p;
  Index(tailpack::BuildBlock(c), kArchX64, kOsWindows10, &p);
  ASSERT_EQ(p.status, kPackageOk);
  EXPECT_EQ(std::u16string(p.catalogue.settings.text[kMainExecutable]), u"bin\\zen.exe");
  EXPECT_EQ(p.catalogue.derivedMainExecutable, nullptr);
  for (int s : {kLaunchTarget, kMutexName, kWindowClass, kWindowTitle, kDefaultFolder}) {
    EXPECT_EQ(p.catalogue.settings.text[s], nullptr) << s;
  }
}

TEST(IndexPackage, EmptyUiTextIsAnEmptyTextNotNull) {
  tailpack::PackageContents c = test::SamplePackage();
  c.languages[0].texts[7] = u"";
  Parsed p;
  Index(tailpack::BuildBlock(c), kArchX64, kOsWindows10, &p);
  ASSERT_EQ(p.status, kPackageOk);
  ASSERT_NE(p.catalogue.languages[0].texts[7], nullptr);
  EXPECT_EQ(p.catalogue.languages[0].texts[7][0], 0);
}

TEST(RegistryViewFor, FollowsArchitectureAndFlagBitZero) {
  struct Case {
    uint32_t arch;
    uint8_t flags;
    uint32_t view;
  } cases[] = {
      {kArchX64, 3, kKeyWow64_64Key}, {kArchX64, 2, kKeyWow64_32Key},
      {kArchArm64, 1, kKeyWow64_64Key}, {kArchArm64, 0, kKeyWow64_32Key},
      {kArchX86, 3, 0}, {kArchX86, 2, 0}, {kArchArm, 1, 0}, {0, 1, 0},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(RegistryViewFor(k.arch, k.flags), k.view) << k.arch << "/" << int(k.flags);
  }
}

TEST(IsEntrySelected, AppliesDefaultsAndBothMasks) {
  struct Case {
    uint32_t stored, arch, os;
    int selected;
  } cases[] = {
      {0, kArchX86, kOsWindows2000, 1},  {0, kArchArm, kOsLater, 1},
      {0x2, kArchX64, kOsWindowsXp, 1},  {0x2, kArchX86, kOsWindows10, 0},
      {0x2, kArchArm64, kOsWindows10, 0}, {0x1 | (0x20 << 4), kArchX86, kOsWindows10, 1},
      {0x1 | (0x20 << 4), kArchX86, kOsWindows8, 0}, {kEntryListedOnly, kArchX64, kOsWindows10, 1},
      {0, 0, kOsWindows10, 0},           {0, kArchX64, 0, 0},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(IsEntrySelected(DefaultEntryFlags(k.stored), k.arch, k.os), k.selected)
        << std::hex << k.stored << " arch " << k.arch << " os " << k.os;
  }
}

TEST(IsSafeRelativeName, RejectsNamesThatLeaveTheFolder) {
  struct Case {
    const char* name;
    int safe;
  } cases[] = {
      {"zentrova.exe", 1}, {"x64\\zentrova.sys", 1}, {"language\\Zentrova_DEU.ini", 1},
      {"a.b\\c..d", 1}, {"..x\\y", 1},
      {"", 0}, {"..", 0}, {"..\\evil.exe", 0}, {"a\\..\\..\\evil", 0}, {"a/../b", 0},
      {"\\Windows\\evil.dll", 0}, {"/etc", 0}, {"C:\\evil", 0}, {"C:evil", 0},
      {"file.txt:stream", 0}, {"a\\\\b", 0}, {"a\\", 0}, {".", 0}, {"a\\.\\b", 0},
      {"... \\x", 0}, {". .\\x", 0},
  };
  for (const Case& k : cases) EXPECT_EQ(IsSafeRelativeName(k.name), k.safe) << k.name;
}

}  // namespace

namespace {

TEST(IsSafeFormat, AcceptsOnlyTheConversionsItsArgumentsFeed) {
  struct Case {
    const char16_t* format;
    const char* conversions;
    int safe;
  } cases[] = {
      {u"-xi:%u:%s", "us", 1}, {u"-xi:%u", "us", 1}, {u"plain", "us", 1}, {u"100%% sure", "s", 1},
      {u"Setup - %s", "s", 1}, {u"", "s", 1},
      {u"%s:%u", "us", 0},      // a number read as a text pointer
      {u"%s %s", "s", 0},       // a second text that is not passed
      {u"%d", "s", 0}, {u"%-20s", "s", 0}, {u"%*s", "s", 0}, {u"%ls", "s", 0},
      {u"50%", "s", 0},         // a lone '%' at the end
      {u"%u%s%s", "us", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsSafeFormat(c.format, c.conversions), c.safe)
        << std::string(c.format, c.format + std::char_traits<char16_t>::length(c.format));
  }
}

TEST(IndexPackage, RejectsFormatTextsThatWouldReadMissingArguments) {
  struct Case {
    const char* what;
    void (*change)(tailpack::PackageContents&);
  } cases[] = {
      {"config command with a text first", [](tailpack::PackageContents& c) { c.settings[kConfigCommand] = u"%s %u"; }},
      {"window title with two texts", [](tailpack::PackageContents& c) { c.languages[1].texts[0] = u"%s %s"; }},
      {"running question with a number", [](tailpack::PackageContents& c) { c.languages[0].texts[22] = u"%s %d"; }},
  };
  for (const Case& k : cases) {
    tailpack::PackageContents c = test::SamplePackage();
    k.change(c);
    Parsed p;
    Index(tailpack::BuildBlock(c), kArchX64, kOsWindows10, &p);
    EXPECT_EQ(p.status, kPackageUnsafeFormat) << k.what;
  }
  // A text shown as it is may hold any percent signs.
  tailpack::PackageContents c = test::SamplePackage();
  c.languages[0].texts[4] = u"100% %s %d";
  Parsed p;
  Index(tailpack::BuildBlock(c), kArchX64, kOsWindows10, &p);
  EXPECT_EQ(p.status, kPackageOk);
}

}  // namespace
