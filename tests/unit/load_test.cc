// LoadPackage over the recording fake: finding the package in the running
// executable, rejecting every kind of damage, and the machine state it sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "base/memory.h"
#include "base/memory_host.h"
#include "package/load.h"
#include "package/writer.h"
#include "platform/fake/fake_platform.h"
#include "tests/unit/test_support.h"

namespace {

using tailpack::AppendPackage;
using tailpack::BlockLayout;
using tailpack::BuildBlock;
using tailpack::CompressBlock;
using tailpack::LzmaSettings;
using tailpack::MakeTrailer;
using tailpack::PackageContents;
using tailpack::WriteInstaller;
using test::Get32;
using test::Put32;

// Trailer fields, as byte offsets within the trailer.
const size_t kChecksumField = 0;
const size_t kUnpackedField = 4;
const size_t kPackedField = 8;
const size_t kExtraField = 12;

// Where the trailer of an unsigned installer with `slack` bytes after it begins.
size_t TrailerAt(const std::vector<uint8_t>& installer, uint32_t slack = 0) {
  return installer.size() - slack - kTrailerSize;
}

// An installer that carries `block` exactly as given, with a correct trailer.
std::vector<uint8_t> InstallerFromBlock(const std::vector<uint8_t>& block, uint32_t slack = 0) {
  std::vector<uint8_t> packed = CompressBlock(block, LzmaSettings{});
  return AppendPackage(test::MakeMinimalPe(), packed, MakeTrailer(block, packed), slack);
}

// The sample package with one more file that only Windows 10 and 11 get.
PackageContents SampleWithWindows10File() {
  PackageContents c = test::SamplePackage();
  c.blobs.push_back({'w', 'i', 'n', '1', '0'});
  c.files.push_back({"win10only.dll", kOsWindows10 << kEntryOsShift, 0, 3});
  return c;
}

class LoadPackageTest : public ::testing::Test {
 protected:
  void SetUp() override { Fresh(); }
  void TearDown() override { Unload(); }

  // A fresh x64 Windows 10 machine with nothing loaded.
  void Fresh() {
    Unload();
    ResetFakePlatform();
    g_machine = MachineState();
  }

  // Makes `bytes` the running executable: its mapped headers and its file.
  void Install(const std::vector<uint8_t>& bytes) {
    g_fake.moduleImage = bytes;
    g_fake.files[g_fake.ownPath] = bytes;
  }

  // Loads and checks what every outcome owes: a catalogue with an open file
  // on success, no catalogue and no open file on failure.
  PackageStatus Load() {
    Unload();
    PackageStatus status = kPackageNoMemory;
    catalogue_ = LoadPackage(&status);
    if (catalogue_ != nullptr) {
      EXPECT_EQ(status, kPackageOk);
      EXPECT_EQ(g_fake.openFiles, 1);
      EXPECT_NE(g_reader.file, nullptr);
      EXPECT_NE(g_reader.scratch, nullptr);
    } else {
      EXPECT_NE(status, kPackageOk);
      EXPECT_EQ(g_fake.openFiles, 0);
    }
    return status;
  }

  bool Opened() const {
    return std::any_of(g_fake.events.begin(), g_fake.events.end(), [](const std::string& e) {
      return e.rfind("OpenFileForReading", 0) == 0;
    });
  }

  // Gives back what a load kept: the runtime keeps it until exit, the tests
  // load many times.
  void Unload() {
    if (catalogue_ != nullptr) {
      ReleaseCatalogue(catalogue_);
      CloseFile(g_reader.file);
      catalogue_ = nullptr;
    }
    g_reader.file = nullptr;
    FreeMemory(g_reader.scratch);
    g_reader.scratch = nullptr;
  }

  Catalogue* catalogue_ = nullptr;
};

TEST_F(LoadPackageTest, LoadsTheSamplePackageAndKeepsItsFileOpen) {
  PackageContents contents = test::SamplePackage();
  std::vector<uint8_t> block = BuildBlock(contents);
  Install(WriteInstaller(test::MakeMinimalPe(), contents));
  ASSERT_EQ(Load(), kPackageOk);
  const Catalogue& c = *catalogue_;
  // The block is the packaged one, with the entry flags defaulted in place.
  for (uint32_t i = 0; i < contents.files.size(); ++i) {
    size_t at = kHeaderSize + i * kFileEntrySize + 8;
    Put32(block, at, DefaultEntryFlags(Get32(block, at)));
  }
  ASSERT_EQ(c.blockSize, block.size());
  EXPECT_EQ(std::memcmp(c.block, block.data(), block.size()), 0);
  EXPECT_EQ(c.header.fileCount, 3u);
  EXPECT_EQ(c.header.infoEntry, 2u);
  EXPECT_EQ(c.header.languageCount, 2u);
  EXPECT_EQ(c.languages[0].langId, 0x0409);
  EXPECT_EQ(std::u16string(c.languages[1].name), u"Deutsch");
  EXPECT_EQ(std::u16string(c.settings.text[kProductName]), u"Zentrova");
  EXPECT_EQ(std::u16string(c.settings.text[kPublisher]), u"Halvix");
  EXPECT_EQ(c.settings.text[kMutexName], nullptr);
  EXPECT_STREQ(EntryName(&c, &c.entries[1]), "zentrova.exe");
  EXPECT_EQ(std::memcmp(c.block + c.entries[2].dataOffset, "license", 7), 0);
  EXPECT_EQ(c.entries[2].flags, kEntryArchBits | kEntryOsBits);
}

TEST_F(LoadPackageTest, RejectsImagesThatAreNotExecutablesWithoutOpeningTheFile) {
  struct Case {
    const char* what;
    void (*damage)(std::vector<uint8_t>& image);
  } cases[] = {
      {"no image", [](std::vector<uint8_t>& image) { image.clear(); }},
      {"no MZ", [](std::vector<uint8_t>& image) { image[0] = 'Z'; }},
      {"lower-case mz", [](std::vector<uint8_t>& image) { image[0] = 'm'; image[1] = 'z'; }},
      {"no PE signature", [](std::vector<uint8_t>& image) { image[0x80] = 'X'; }},
      {"PE without zero bytes", [](std::vector<uint8_t>& image) { image[0x83] = 1; }},
      {"e_lfanew outside the headers", [](std::vector<uint8_t>& image) { Put32(image, 0x3C, 0x10000); }},
  };
  std::vector<uint8_t> installer = WriteInstaller(test::MakeMinimalPe(), test::SamplePackage());
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    Fresh();
    Install(installer);
    k.damage(g_fake.moduleImage);
    EXPECT_EQ(Load(), kPackageNotExecutable);
    EXPECT_FALSE(Opened());
  }
}

TEST_F(LoadPackageTest, RejectsAnExecutableWithoutPackage) {
  // A plain executable, and one whose last 36 bytes hold no magic because the
  // trailer's magic was damaged.
  Install(test::MakeMinimalPe());
  EXPECT_EQ(Load(), kPackageNoTrailer);
  EXPECT_TRUE(Opened());

  std::vector<uint8_t> installer = WriteInstaller(test::MakeMinimalPe(), test::SamplePackage());
  installer.back() ^= 0x01;
  Fresh();
  Install(installer);
  EXPECT_EQ(Load(), kPackageNoTrailer);
}

TEST_F(LoadPackageTest, RejectsAFileThatCannotBeOpened) {
  std::vector<uint8_t> installer = WriteInstaller(test::MakeMinimalPe(), test::SamplePackage());
  Install(installer);
  g_fake.files.clear();
  EXPECT_EQ(Load(), kPackageUnreadable);

  // A path longer than the 260-unit buffer.
  Fresh();
  g_fake.ownPath = u"C:\\" + std::u16string(300, u'd') + u"\\setup.exe";
  Install(installer);
  EXPECT_EQ(Load(), kPackageUnreadable);
}

TEST_F(LoadPackageTest, RejectsAChecksumOffByOne) {
  std::vector<uint8_t> installer = WriteInstaller(test::MakeMinimalPe(), test::SamplePackage());
  size_t field = TrailerAt(installer) + kChecksumField;
  uint32_t checksum = Get32(installer, field);
  for (uint32_t wrong : {checksum + 1, checksum - 1}) {
    SCOPED_TRACE(wrong);
    std::vector<uint8_t> damaged = installer;
    Put32(damaged, field, wrong);
    Fresh();
    Install(damaged);
    EXPECT_EQ(Load(), kPackageChecksumMismatch);
  }
}

TEST_F(LoadPackageTest, EveryBitFlipInThePackedBlockIsRejectedOrYieldsAVerifiedBlock) {
  // LZMA has little redundancy: most flips decode to different bytes without
  // a decoder error, and only the checksum stands between them and the
  // installation. A flip may be harmless (a dictionary-size bit, a bit the
  // decoder never reads); then whatever loaded must still carry the byte sum
  // the trailer promises, which is the loader's guarantee.
  std::vector<uint8_t> installer = WriteInstaller(test::MakeMinimalPe(), test::SamplePackage());
  size_t trailer = TrailerAt(installer);
  uint32_t checksum = Get32(installer, trailer + kChecksumField);
  uint32_t unpacked = Get32(installer, trailer + kUnpackedField);
  size_t packedStart = trailer - Get32(installer, trailer + kPackedField);
  int loaded = 0, checksumRejects = 0, otherRejects = 0;
  for (size_t at = packedStart; at < trailer; ++at) {
    for (int bit = 0; bit < 8; ++bit) {
      std::vector<uint8_t> damaged = installer;
      damaged[at] ^= static_cast<uint8_t>(1u << bit);
      Fresh();
      Install(damaged);
      PackageStatus status = Load();
      if (status == kPackageOk) {
        ++loaded;
        ASSERT_EQ(catalogue_->blockSize, unpacked) << "byte " << at << " bit " << bit;
        // The catalogue's block has its entry flags defaulted in place; sum
        // what the decoder produced instead (decoding is deterministic).
        std::vector<uint8_t> again(unpacked);
        ASSERT_EQ(DecodePackedBlock(&damaged[packedStart], trailer - packedStart, again.data(),
                                    unpacked),
                  kPackageOk);
        EXPECT_EQ(ComputeChecksum(again.data(), unpacked), checksum)
            << "byte " << at << " bit " << bit << " loaded a block with the wrong sum";
      } else if (status == kPackageChecksumMismatch) {
        ++checksumRejects;
      } else {
        ++otherRejects;
      }
    }
  }
  // The flips must have reached the checksum test, or the test proves nothing.
  EXPECT_GT(checksumRejects, 0);
  EXPECT_GT(otherRejects, 0);
  RecordProperty("loaded", loaded);
  RecordProperty("checksum_rejects", checksumRejects);
  RecordProperty("other_rejects", otherRejects);
}

TEST_F(LoadPackageTest, AFileCutShortNeverLoads) {
  std::vector<uint8_t> installer = WriteInstaller(test::MakeMinimalPe(), test::SamplePackage());
  for (size_t length = 0; length < installer.size(); ++length) {
    Fresh();
    Install(installer);
    g_fake.files[g_fake.ownPath].resize(length);
    ASSERT_NE(Load(), kPackageOk) << "cut at " << length;
  }
}

TEST_F(LoadPackageTest, ASignedFileCutBeforeThePackageEndNeverLoadsButACutSignatureDoesNotMatter) {
  std::vector<uint8_t> installer = WriteInstaller(test::MakeMinimalPe(), test::SamplePackage(), {}, 6);
  uint32_t packageEnd = static_cast<uint32_t>(installer.size());
  tailpack::SetCertificateEntry(installer, packageEnd, 64);
  installer.insert(installer.end(), 64, 0x5A);
  for (size_t length = 0; length <= installer.size(); ++length) {
    Fresh();
    Install(installer);
    g_fake.files[g_fake.ownPath].resize(length);
    PackageStatus status = Load();
    if (length < packageEnd) {
      ASSERT_NE(status, kPackageOk) << "cut at " << length;
    } else {
      ASSERT_EQ(status, kPackageOk) << "cut at " << length;
    }
  }
}

TEST_F(LoadPackageTest, APackedStreamCutShortIsRejectedOrYieldsAVerifiedBlock) {
  // The trailer is kept consistent, so only the decoder and the checksum can
  // notice the missing bytes.
  for (bool endMarker : {false, true}) {
    LzmaSettings settings;
    settings.endMarker = endMarker;
    std::vector<uint8_t> block = BuildBlock(test::SamplePackage());
    std::vector<uint8_t> packed = CompressBlock(block, settings);
    PackageTrailer trailer = MakeTrailer(block, packed);
    int rejected = 0;
    for (size_t cut = 1; cut < packed.size(); ++cut) {
      std::vector<uint8_t> shorter(packed.begin(), packed.end() - cut);
      PackageTrailer t = trailer;
      t.packedSize = static_cast<uint32_t>(shorter.size());
      Fresh();
      Install(AppendPackage(test::MakeMinimalPe(), shorter, t));
      if (Load() != kPackageOk) {
        ++rejected;
        continue;
      }
      // The decoder read only bytes that are still there, all of them equal
      // to the original stream's, so its output must be the original block.
      std::vector<uint8_t> again(block.size());
      ASSERT_EQ(DecodePackedBlock(shorter.data(), t.packedSize, again.data(), t.unpackedSize),
                kPackageOk);
      EXPECT_EQ(again, block) << "cut " << cut << " end marker " << endMarker;
    }
    EXPECT_GT(rejected, static_cast<int>(packed.size()) / 2) << "end marker " << endMarker;
  }
}

TEST_F(LoadPackageTest, LoadsStreamsWithAndWithoutEndMarker) {
  std::vector<uint32_t> packedSizes;
  for (bool endMarker : {false, true}) {
    SCOPED_TRACE(endMarker);
    LzmaSettings settings;
    settings.endMarker = endMarker;
    std::vector<uint8_t> installer = WriteInstaller(test::MakeMinimalPe(), test::SamplePackage(), settings);
    Fresh();
    Install(installer);
    ASSERT_EQ(Load(), kPackageOk);
    EXPECT_EQ(std::u16string(catalogue_->settings.text[kProductVersion]), u"2.1.3");
    packedSizes.push_back(Get32(installer, TrailerAt(installer) + kPackedField));
  }
  EXPECT_NE(packedSizes[0], packedSizes[1]) << "the end marker setting had no effect";
}

TEST_F(LoadPackageTest, FindsTheTrailerBehindUpToSixteenSlackBytes) {
  for (uint32_t slack = 0; slack <= 17; ++slack) {
    for (uint8_t fill : {0x00, 0xA5}) {
      SCOPED_TRACE(testing::Message() << "slack " << slack << " fill " << int(fill));
      std::vector<uint8_t> installer =
          WriteInstaller(test::MakeMinimalPe(), test::SamplePackage(), {}, slack);
      std::fill(installer.end() - slack, installer.end(), fill);
      Fresh();
      Install(installer);
      EXPECT_EQ(Load(), slack <= kMaxSlack ? kPackageOk : kPackageNoTrailer);
    }
  }
}

TEST_F(LoadPackageTest, TheMagicNearestThePackageEndWins) {
  // A second magic inside the trailer, below the real one: the real one wins.
  std::vector<uint8_t> installer = WriteInstaller(test::MakeMinimalPe(), test::SamplePackage(), {}, 3);
  Put32(installer, TrailerAt(installer, 3) + kExtraField, kTrailerMagic);
  Install(installer);
  EXPECT_EQ(Load(), kPackageOk);

  // A magic in the slack, above the real one: it wins, and the 20 bytes that
  // end with it are no valid trailer.
  installer = WriteInstaller(test::MakeMinimalPe(), test::SamplePackage(), {}, 4);
  Put32(installer, installer.size() - 4, kTrailerMagic);
  Fresh();
  Install(installer);
  EXPECT_EQ(Load(), kPackageBadTrailer);
}

TEST_F(LoadPackageTest, ThePackageEndComesFromTheCertificateEntry) {
  // The certificate ends with bytes that look like a trailer window, so a
  // loader that searched at the file end would fail.
  std::vector<uint8_t> certificate(200, 0x30);
  std::vector<uint8_t> decoy = tailpack::EncodeTrailer({1, 2, 3, 0, kTrailerMagic});
  std::copy(decoy.begin(), decoy.end(), certificate.end() - decoy.size());
  struct Case {
    uint32_t slack;
    PackageStatus status;
  } cases[] = {{0, kPackageOk}, {6, kPackageOk}, {16, kPackageOk}, {17, kPackageNoTrailer}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.slack);
    std::vector<uint8_t> installer =
        WriteInstaller(test::MakeMinimalPe(), test::SamplePackage(), {}, k.slack);
    tailpack::SetCertificateEntry(installer, static_cast<uint32_t>(installer.size()),
                                  static_cast<uint32_t>(certificate.size()));
    installer.insert(installer.end(), certificate.begin(), certificate.end());
    Fresh();
    Install(installer);
    EXPECT_EQ(Load(), k.status);
  }
}

TEST_F(LoadPackageTest, RejectsTrailersThatDoNotDescribeThePackedBlock) {
  std::vector<uint8_t> installer = WriteInstaller(test::MakeMinimalPe(), test::SamplePackage());
  size_t trailer = TrailerAt(installer);
  uint32_t packed = Get32(installer, trailer + kPackedField);
  uint32_t unpacked = Get32(installer, trailer + kUnpackedField);
  const uint32_t kAny = 0xFFFFFFFF;  // any failure will do
  struct Case {
    const char* what;
    size_t field;
    uint32_t value;
    uint32_t status;
  } cases[] = {
      {"packed size reaches before the file", kPackedField, static_cast<uint32_t>(trailer) + 1,
       kPackageBadTrailer},
      {"packed size 4 GiB - 1", kPackedField, 0xFFFFFFFF, kPackageBadTrailer},
      {"packed size below the properties", kPackedField, 4, kPackageBadTrailer},
      {"packed size 0", kPackedField, 0, kPackageBadTrailer},
      {"packed block starts at the file start", kPackedField, static_cast<uint32_t>(trailer), kAny},
      {"packed block starts one byte early", kPackedField, packed + 1, kAny},
      {"packed block starts one byte late", kPackedField, packed - 1, kAny},
      {"unpacked size one larger", kUnpackedField, unpacked + 1, kAny},
      {"unpacked size twice as large", kUnpackedField, unpacked * 2, kAny},
      {"unpacked size one smaller", kUnpackedField, unpacked - 1, kAny},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    std::vector<uint8_t> damaged = installer;
    Put32(damaged, trailer + k.field, k.value);
    Fresh();
    Install(damaged);
    PackageStatus status = Load();
    if (k.status == kAny) {
      EXPECT_NE(status, kPackageOk);
    } else {
      EXPECT_EQ(status, static_cast<PackageStatus>(k.status));
    }
  }
}

TEST_F(LoadPackageTest, RejectsAnEmptyBlock) {
  // Size 0 and checksum 0 agree with each other; the block still has no header.
  std::vector<uint8_t> installer = WriteInstaller(test::MakeMinimalPe(), test::SamplePackage());
  Put32(installer, TrailerAt(installer) + kUnpackedField, 0);
  Put32(installer, TrailerAt(installer) + kChecksumField, 0);
  Install(installer);
  EXPECT_EQ(Load(), kPackageBadLayout);
}

TEST_F(LoadPackageTest, RejectsBlocksWhoseCountsOrOffsetsLeaveTheBlock) {
  BlockLayout layout;
  const std::vector<uint8_t> base = BuildBlock(test::SamplePackage(), &layout);
  const uint32_t size = static_cast<uint32_t>(base.size());
  const size_t entry0 = layout.entries, entry1 = layout.entries + kFileEntrySize,
               entry2 = layout.entries + 2 * kFileEntrySize;
  const uint32_t namesSize = size - layout.names;
  struct Case {
    const char* what;
    size_t at;  // where a u32 is written (a byte when `byte` is set)
    uint32_t value;
    bool byte;
    PackageStatus status;
  } cases[] = {
      {"language count 0", 8, 0, true, kPackageBadLayout},
      {"file count 4 GiB - 1", 0, 0xFFFFFFFF, false, kPackageBadLayout},
      {"file count one more than fits", 0, (size - kHeaderSize) / kFileEntrySize + 1, false,
       kPackageBadLayout},
      {"info entry equal to the file count", 6, 3, false, kPackageBadLayout},
      {"info entry 0xFFFE", 6, 0x0000FFFE, false, kPackageBadLayout},
      {"data offset past the block", entry1 + 24, size + 1, false, kPackageBadLayout},
      {"data running one byte past the block", entry1 + 24, size - 4 + 1, false, kPackageBadLayout},
      {"data offset wrapping around", entry1 + 24, 0xFFFFFFFE, false, kPackageBadLayout},
      {"data size 4 GiB - 1", entry1 + 16, 0xFFFFFFFF, false, kPackageBadLayout},
      {"name offset at the block end", entry0 + 20, namesSize, false, kPackageBadLayout},
      {"name offset 4 GiB - 1", entry0 + 20, 0xFFFFFFFF, false, kPackageBadLayout},
      // The last bytes of the block are the licence text, with no NUL after it.
      {"name running to the block end", entry0 + 20, namesSize - 3, false, kPackageBadLayout},
      // Edge cases that are inside the block.
      {"empty data at the block end", entry2 + 16, 0, false, kPackageOk},
      {"data ending at the block end", entry1 + 24, size - 4, false, kPackageOk},
      {"name inside another name", entry2 + 20, 5, false, kPackageOk},
      {"info entry of the last file", 6, 2, false, kPackageOk},
      {"no info entry", 6, kNoInfoEntry, false, kPackageOk},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    std::vector<uint8_t> block = base;
    if (k.byte) {
      block[k.at] = static_cast<uint8_t>(k.value);
    } else if (k.at == 6) {  // the u16 info entry
      block[6] = static_cast<uint8_t>(k.value);
      block[7] = static_cast<uint8_t>(k.value >> 8);
    } else {
      Put32(block, k.at, k.value);
    }
    Fresh();
    Install(InstallerFromBlock(block));
    EXPECT_EQ(Load(), k.status);
  }
}

TEST_F(LoadPackageTest, RejectsUnterminatedTexts) {
  // Without files the block ends with the twelfth setting; cutting it short
  // leaves the last text it reaches without terminator.
  PackageContents contents = test::SamplePackage();
  contents.files.clear();
  contents.blobs.clear();
  contents.infoEntry = kNoInfoEntry;
  contents.settings[kUnsupportedOsLink] = u"https://example.com/os";
  BlockLayout layout;
  const std::vector<uint8_t> base = BuildBlock(contents, &layout);
  ASSERT_EQ(layout.names, base.size());
  struct Case {
    const char* what;
    size_t length;
  } cases[] = {
      {"header cut", kHeaderSize - 1},
      {"language id cut", layout.languages + 1},
      {"language name cut", layout.languages + 2 + 6},
      {"first UI text without terminator", layout.languages + 2 + 16 + 4},
      {"second language cut", layout.settings - 2},
      {"odd length inside a setting", layout.settings + 3},
      {"last setting without terminator", base.size() - 2},
      {"last setting terminator half there", base.size() - 1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    Fresh();
    Install(InstallerFromBlock(std::vector<uint8_t>(base.begin(), base.begin() + k.length)));
    EXPECT_EQ(Load(), kPackageBadLayout);
  }
  Fresh();
  Install(InstallerFromBlock(base));
  ASSERT_EQ(Load(), kPackageOk);
  EXPECT_EQ(std::u16string(catalogue_->settings.text[kUnsupportedOsLink]), u"https://example.com/os");
  EXPECT_EQ(catalogue_->total, 1u);
}

TEST_F(LoadPackageTest, RejectsNamesThatLeaveTheInstallFolder) {
  struct Case {
    std::string name;
    PackageStatus status;
  } cases[] = {
      {"..\\evil.exe", kPackageUnsafeName},   {"bin\\..\\..\\evil.exe", kPackageUnsafeName},
      {"C:\\evil.exe", kPackageUnsafeName},   {"C:evil.exe", kPackageUnsafeName},
      {"\\Windows\\evil.dll", kPackageUnsafeName}, {"/etc/evil", kPackageUnsafeName},
      {"bin\\\\evil.exe", kPackageUnsafeName}, {"bin\\", kPackageUnsafeName},
      {"", kPackageUnsafeName},               {"license.txt:hidden", kPackageUnsafeName},
      {"docs\\license.txt", kPackageOk},      {"..docs\\license..txt", kPackageOk},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    PackageContents contents = test::SamplePackage();
    contents.files[2].name = k.name;
    Fresh();
    Install(WriteInstaller(test::MakeMinimalPe(), contents));
    EXPECT_EQ(Load(), k.status);
  }
}

TEST_F(LoadPackageTest, RejectsNamesWindowsTurnsIntoSomethingElse) {
  // The installer would open a device, or Windows would drop or refuse part
  // of the name. Device names count in any part, in any case, with any
  // extension and with blanks before the extension.
  struct Case {
    std::string name;
    uint32_t flags;
    PackageStatus status;
  } cases[] = {
      {"CON", 0, kPackageUnsafeName},           {"con", 0, kPackageUnsafeName},
      {"Con.txt", 0, kPackageUnsafeName},       {"NUL", 0, kPackageUnsafeName},
      {"nul.tar.gz", 0, kPackageUnsafeName},    {"AUX", 0, kPackageUnsafeName},
      {"aux.txt", 0, kPackageUnsafeName},       {"PRN", 0, kPackageUnsafeName},
      {"COM1", 0, kPackageUnsafeName},          {"com9.log", 0, kPackageUnsafeName},
      {"LPT1", 0, kPackageUnsafeName},          {"a\\LPT1.log", 0, kPackageUnsafeName},
      {"lPt5\\readme.txt", 0, kPackageUnsafeName}, {"CON .txt", 0, kPackageUnsafeName},
      {"NUL  ", 0, kPackageUnsafeName},         {"a/aux/b", 0, kPackageUnsafeName},
      {"readme.", 0, kPackageUnsafeName},       {"readme ", 0, kPackageUnsafeName},
      {"docs.\\a.txt", 0, kPackageUnsafeName},  {"docs \\a.txt", 0, kPackageUnsafeName},
      {"a\x01" "b", 0, kPackageUnsafeName},     {"\x1b[2Jx", 0, kPackageUnsafeName},
      {"tab\there", 0, kPackageUnsafeName},     {"fake\nline", 0, kPackageUnsafeName},
      {"\x7f" "del", 0, kPackageOk},
      // Not devices: other names that start like one.
      // Windows also takes 0 and the superscripts one to three as port
      // digits (U+00B9, U+00B2, U+00B3: these bytes in Western code pages).
      {"LPT0.txt", 0, kPackageUnsafeName},      {"com0", 0, kPackageUnsafeName},
      {"COM\xB9", 0, kPackageUnsafeName},       {"a\\lpt\xB2.log", 0, kPackageUnsafeName},
      {"LPT\xB3 .txt", 0, kPackageUnsafeName},
      {"COM\xB4", 0, kPackageOk},                {"LPT\xB9" "0", 0, kPackageOk},
      {"COM", 0, kPackageOk},                   {"COM10", 0, kPackageOk},
      {"CONSOLE.txt", 0, kPackageOk},
      {"connect.exe", 0, kPackageOk},           {"nul_", 0, kPackageOk},
      {"auxiliary\\aux_.txt", 0, kPackageOk},   {".gitignore", 0, kPackageOk},
      {"x.y.z", 0, kPackageOk},
      // A listed-only entry may end in one "\": it only creates that folder.
      {"logs\\", kEntryListedOnly, kPackageOk},
      {"logs\\sub\\", kEntryListedOnly, kPackageOk},
      {"logs\\", 0, kPackageUnsafeName},
      {"logs\\\\", kEntryListedOnly, kPackageUnsafeName},
      {"\\", kEntryListedOnly, kPackageUnsafeName},
      {"logs\\\\x", kEntryListedOnly, kPackageUnsafeName},
      {"", kEntryListedOnly, kPackageUnsafeName},
      {"con\\", kEntryListedOnly, kPackageUnsafeName},
      {"logs.\\", kEntryListedOnly, kPackageUnsafeName},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "\"" << k.name << "\" flags " << k.flags);
    PackageContents contents = test::SamplePackage();
    contents.files[2].name = k.name;
    contents.files[2].flags = k.flags;
    Fresh();
    Install(WriteInstaller(test::MakeMinimalPe(), contents));
    EXPECT_EQ(Load(), k.status);
  }
}

TEST_F(LoadPackageTest, RefusesSettingsTheInstallerCannotUse) {
  // ProductName becomes the uninstall key name byte by byte (the low byte of
  // each unit): a 0 byte would end the key path at "...\Uninstall\", a "\"
  // would nest keys, and the key path has room for 75 units. MainExecutable
  // must fit a 260-unit path in the shortest folder, "C:\".
  struct Case {
    const char* what;
    std::u16string productName;
    std::u16string mainExecutable;
    PackageStatus status;
  } cases[] = {
      {"U+0100: low byte 0", u"Zentrova \u0100", u"", kPackageBadSetting},
      {"U+4E00: low byte 0", u"\u4E00", u"z.exe", kPackageBadSetting},
      {"backslash", u"Zentrova\\..\\Run", u"z.exe", kPackageBadSetting},
      {"U+4E5C: low byte 0x5C", u"\u4E5CZ", u"z.exe", kPackageBadSetting},
      {"76 units", std::u16string(76, u'N'), u"z.exe", kPackageBadSetting},
      // It names the shortcut files and the default folder too.
      {"slash", u"../../ProgramData/StartUp/x", u"z.exe", kPackageBadSetting},
      {"drive colon", u"A:B", u"z.exe", kPackageBadSetting},
      {"dot", u".", u"z.exe", kPackageBadSetting},
      {"two dots", u"..", u"z.exe", kPackageBadSetting},
      {"ends in a dot", u"Zentrova.", u"z.exe", kPackageBadSetting},
      {"ends in a blank", u"Zentrova ", u"z.exe", kPackageBadSetting},
      {"wildcard", u"Zen*", u"z.exe", kPackageBadSetting},
      {"quote and pipe", u"a\"b|c", u"z.exe", kPackageBadSetting},
      {"control", u"Zen\ttrova", u"z.exe", kPackageBadSetting},
      {"device", u"con", u"z.exe", kPackageBadSetting},
      {"device with extension", u"NUL.app", u"z.exe", kPackageBadSetting},
      {"port with a superscript", u"COM\u00B9", u"z.exe", kPackageBadSetting},
      {"port 0", u"lpt0", u"z.exe", kPackageBadSetting},
      {"dots inside, Latin-1", u"Zentrova 2.1 \u00DCber", u"z.exe", kPackageOk},
      {"starts like a device", u"Console", u"z.exe", kPackageOk},
      {"75 units", std::u16string(75, u'N'), u"z.exe", kPackageOk},
      {"Latin-1", u"Caf\u00E9 \u00FF", u"", kPackageOk},
      {"other units with a harmless low byte", u"\u4E2D\u6587", u"z.exe", kPackageOk},
      {"main executable of 256 units", u"Z", std::u16string(256, u'm'), kPackageOk},
      {"main executable of 257 units", u"Z", std::u16string(257, u'm'), kPackageBadSetting},
      // Derived from a 75-unit name: 79 units, always fits.
      {"derived main executable", std::u16string(75, u'D'), u"", kPackageOk},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    PackageContents contents = test::SamplePackage();
    contents.settings[kProductName] = k.productName;
    contents.settings[kMainExecutable] = k.mainExecutable;
    Fresh();
    Install(WriteInstaller(test::MakeMinimalPe(), contents));
    EXPECT_EQ(Load(), k.status);
  }
}

TEST_F(LoadPackageTest, DecodingStopsAtTheUnpackedSize) {
  // A stream that holds more than the trailer's unpacked size: the block is
  // its first unpacked-size bytes and the rest is never decoded. A stream
  // that ends before the size stays damaged.
  std::vector<uint8_t> block = BuildBlock(test::SamplePackage());
  std::vector<uint8_t> longer = block;
  for (int i = 0; i < 5000; ++i) longer.push_back(static_cast<uint8_t>(i * 7));
  for (bool endMarker : {false, true}) {
    SCOPED_TRACE(endMarker);
    LzmaSettings settings;
    settings.endMarker = endMarker;
    std::vector<uint8_t> packed = CompressBlock(longer, settings);
    PackageTrailer trailer = MakeTrailer(block, packed);
    ASSERT_EQ(trailer.unpackedSize, block.size());
    Fresh();
    Install(AppendPackage(test::MakeMinimalPe(), packed, trailer));
    ASSERT_EQ(Load(), kPackageOk);
    EXPECT_EQ(catalogue_->blockSize, block.size());
    EXPECT_EQ(std::u16string(catalogue_->settings.text[kProductName]), u"Zentrova");

    std::vector<uint8_t> shorter = CompressBlock(
        std::vector<uint8_t>(block.begin(), block.end() - 1), settings);
    trailer = MakeTrailer(block, shorter);
    Fresh();
    Install(AppendPackage(test::MakeMinimalPe(), shorter, trailer));
    EXPECT_EQ(Load(), kPackageDataError);
  }
}

class AllocationLimit {
 public:
  explicit AllocationLimit(size_t limit) { g_allocationLimit = limit; }
  ~AllocationLimit() { g_allocationLimit = SIZE_MAX; }
};

TEST_F(LoadPackageTest, TheDictionaryNeverExceedsTheUnpackedSize) {
  // The properties may ask for a dictionary of up to 4 GiB; a dictionary as
  // large as the whole output decodes exactly like any larger one, so the
  // decoder needs no more than the unpacked size (4 KiB at least).
  std::vector<uint8_t> block = BuildBlock(test::SamplePackage());
  std::vector<uint8_t> packed = CompressBlock(block, LzmaSettings{});
  for (uint32_t dictionary : {0xFFFFFFFFu, 0x80000000u, 1536u << 20, 0u, 1u}) {
    SCOPED_TRACE(dictionary);
    std::vector<uint8_t> copy = packed;
    for (int i = 0; i < 4; ++i) copy[1 + i] = static_cast<uint8_t>(dictionary >> (8 * i));
    Fresh();
    Install(AppendPackage(test::MakeMinimalPe(), copy, MakeTrailer(block, copy)));
    // Every allocation of the load (packed copy, block, decoder) stays far
    // below the dictionary the properties ask for.
    AllocationLimit limit(1 << 20);
    EXPECT_EQ(Load(), kPackageOk);
  }
}

TEST_F(LoadPackageTest, MemoryThatCannotBeHadIsNotDamage) {
  // A genuine package on a machine without the memory for it.
  Install(WriteInstaller(test::MakeMinimalPe(), test::SamplePackage()));
  {
    AllocationLimit limit(1000);  // the block is larger, the scratch buffer too
    EXPECT_EQ(Load(), kPackageNoMemory);
  }
  EXPECT_EQ(Load(), kPackageOk);

  // A trailer that claims more than any LZMA stream of its packed size can
  // yield (no stream expands more than about 7100-fold) is damage, found
  // before anything is allocated for it.
  std::vector<uint8_t> installer = WriteInstaller(test::MakeMinimalPe(), test::SamplePackage());
  size_t trailer = TrailerAt(installer);
  uint32_t packed = Get32(installer, trailer + kPackedField);
  for (uint64_t claimed : {uint64_t{0xFFFFFFFF}, uint64_t{packed} * 8192 + 8192}) {
    SCOPED_TRACE(claimed);
    std::vector<uint8_t> damaged = installer;
    Put32(damaged, trailer + kUnpackedField, static_cast<uint32_t>(claimed));
    Fresh();
    Install(damaged);
    AllocationLimit limit(1 << 20);
    EXPECT_EQ(Load(), kPackageBadTrailer);
  }
}

TEST_F(LoadPackageTest, RejectsAPackageWithoutProductName) {
  PackageContents contents = test::SamplePackage();
  contents.settings[kProductName] = u"";
  Install(WriteInstaller(test::MakeMinimalPe(), contents));
  EXPECT_EQ(Load(), kPackageNoProductName);
}

TEST_F(LoadPackageTest, DerivesMainExecutableFromProductNameOnlyWhenAbsent) {
  PackageContents contents = test::SamplePackage();
  Install(WriteInstaller(test::MakeMinimalPe(), contents));
  ASSERT_EQ(Load(), kPackageOk);
  EXPECT_EQ(std::u16string(Setting(catalogue_, kMainExecutable)), u"Zentrova.exe");

  contents.settings[kMainExecutable] = u"zentrova.exe";
  Fresh();
  Install(WriteInstaller(test::MakeMinimalPe(), contents));
  ASSERT_EQ(Load(), kPackageOk);
  EXPECT_EQ(std::u16string(Setting(catalogue_, kMainExecutable)), u"zentrova.exe");
  EXPECT_EQ(catalogue_->derivedMainExecutable, nullptr);
}

TEST_F(LoadPackageTest, TotalAndRegistryViewFollowTheMachine) {
  // Files: x86 copy 3 bytes, x64 copy 4 bytes, licence 7 bytes (all), a
  // Windows 10-only file 5 bytes.
  struct Case {
    uint16_t nativeMachine;
    uint32_t major, minor;
    uint8_t flags;
    uint32_t arch, os, view;
    uint64_t total;
  } cases[] = {
      {0x8664, 10, 0, 3, kArchX64, kOsWindows10, kKeyWow64_64Key, 4 + 7 + 5},
      {0x8664, 10, 0, 2, kArchX64, kOsWindows10, kKeyWow64_32Key, 4 + 7 + 5},
      {0x8664, 6, 1, 1, kArchX64, kOsWindows7, kKeyWow64_64Key, 4 + 7},
      {0x014C, 10, 0, 3, kArchX86, kOsWindows10, 0, 3 + 7 + 5},
      {0x014C, 5, 1, 2, kArchX86, kOsWindowsXp, 0, 3 + 7},
      {0xAA64, 10, 0, 3, kArchArm64, kOsWindows10, kKeyWow64_64Key, 7 + 5},
      {0xAA64, 10, 0, 0, kArchArm64, kOsWindows10, kKeyWow64_32Key, 7 + 5},
      {0x01C4, 6, 2, 3, kArchArm, kOsWindows8, 0, 7},
      {0x0200, 10, 0, 3, 0, kOsWindows10, 0, 1},  // nothing selected
      {0x8664, 7, 0, 3, kArchX64, 0, kKeyWow64_64Key, 1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "machine " << k.nativeMachine << " version "
                                    << k.major << "." << k.minor << " flags " << int(k.flags));
    PackageContents contents = SampleWithWindows10File();
    contents.flags = k.flags;
    Fresh();
    g_fake.nativeMachine = k.nativeMachine;
    g_fake.versionMajor = k.major;
    g_fake.versionMinor = k.minor;
    Install(WriteInstaller(test::MakeMinimalPe(), contents));
    ASSERT_EQ(Load(), kPackageOk);
    EXPECT_EQ(g_machine.archMask, k.arch);
    EXPECT_EQ(g_machine.osMask, k.os);
    EXPECT_EQ(g_machine.registryView, k.view);
    EXPECT_EQ(catalogue_->registryView, k.view);
    EXPECT_EQ(catalogue_->total, k.total);
  }
}

TEST_F(LoadPackageTest, ProbesTheMachineBeforeOpeningItsFile) {
  // Without IsWow64Process2 the architecture probe shows in the record.
  g_fake.hasIsWow64Process2 = false;
  g_fake.processorArchitecture = 9;
  g_fake.versionMajor = 6;
  g_fake.versionMinor = 3;
  Install(WriteInstaller(test::MakeMinimalPe(), test::SamplePackage()));
  ASSERT_EQ(Load(), kPackageOk);
  auto probe = std::find(g_fake.events.begin(), g_fake.events.end(), "GetNativeSystemInfo");
  auto open = std::find(g_fake.events.begin(), g_fake.events.end(), "OpenFileForReading C:\\setup.exe");
  ASSERT_NE(probe, g_fake.events.end());
  ASSERT_NE(open, g_fake.events.end());
  EXPECT_LT(probe, open);
  EXPECT_EQ(g_machine.archMask, kArchX64);
  EXPECT_EQ(g_machine.osMask, kOsWindows8);
}

}  // namespace
