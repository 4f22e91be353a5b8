// Installing a package whose file data streams: the loader holds only the
// head of the block, the install stages every file while it decodes the
// rest once, verifies the checksum and only then moves the files into
// place. The limits are lowered so that small packages take this path.
#include "base/memory_host.h"
#include "tests/unit/install_test_support.h"
#include "tests/unit/test_support.h"

namespace {

using namespace install_test;
using tailpack::BlockLayout;
using tailpack::BuildBlock;
using tailpack::CompressBlock;
using tailpack::LzmaSettings;
using tailpack::PackageContents;
using test::Get32;

const std::u16string kFolder = u"C:\\Program Files\\Zentrova\\";

// Incompressible-looking bytes, so that the packed stream is long enough
// for damage in its middle to land in file data.
std::vector<uint8_t> Noise(size_t size, uint32_t seed) {
  std::vector<uint8_t> out(size);
  for (uint8_t& byte : out) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(seed >> 16);
  }
  return out;
}

// The licence (the info text) comes first in the data, as the tool lays
// out packages that stream; two entries share the "shared" contents; the
// x86 build is not for this x64 machine and is skipped in the stream; the
// empty file points past the data of the entry after it.
PackageContents StreamedProduct() {
  PackageContents c;
  c.languages.push_back(tailpack::EnglishLanguage());
  c.settings[kProductName] = u"Zentrova";
  c.settings[kMainExecutable] = u"zentrova.exe";
  c.blobs = {Bytes("licence text"), Noise(70000, 1), Noise(90000, 2), Noise(50000, 3), Noise(30000, 4), {}};
  c.files = {
      {"license.txt", 0, 0x01D9000000000001ull, 0},
      {"zentrova.exe", kArchX86, 0x01D9000000000002ull, 1},
      {"zentrova.exe", kArchX64, 0x01D9000000000003ull, 2},
      {"bin\\shared.dll", 0, 0x01D9000000000004ull, 3},
      {"lib\\shared.dll", 0, 0x01D9000000000005ull, 3},
      {"empty.dat", 0, 0x01D9000000000006ull, 5},
      {"logs\\", kEntryListedOnly, 0x01D9000000000007ull, 5},
      {"data\\tail.bin", kEntryReplaceInUse, 0x01D9000000000008ull, 4},
  };
  c.infoEntry = 0;
  return c;
}

class InstallStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PrepareMachine();
    ResetRuntimeState();
    g_machine = MachineState();
    g_fake.directories.insert(u"C:\\Program Files\\Zentrova");
  }
  void TearDown() override {
    JoinFakeThreads();
    g_streamThreshold = kStreamThreshold;
    g_streamHeldSize = kStreamHeldSize;
    g_aheadPieceSize = kAheadPieceSize;
    g_allocationLimit = static_cast<size_t>(-1);
    if (g_package != nullptr) {
      CloseFile(g_reader.file);
      if (g_package->heldSize != g_package->blockSize) EndDecoder(g_stream.decoder);
      ReleaseCatalogue(g_package);
      g_package = nullptr;
    }
    FreeMemory(g_reader.scratch);
    FreeMemory(g_stream.input);
    g_reader = PackageReader();
    g_stream = PackageStream();
  }

  // Makes `contents` the running installer, with a 4 KiB dictionary, and
  // lowers the limits so that the installer holds `held` bytes (the head
  // up to the file data plus `extra`). Returns the unpacked block.
  std::vector<uint8_t> Prepare(const PackageContents& contents, uint32_t extra = 0,
                               void (*damage)(std::vector<uint8_t>&) = nullptr) {
    BlockLayout layout;
    std::vector<uint8_t> block = BuildBlock(contents, &layout);
    LzmaSettings settings;
    settings.dictionarySize = 4096;
    std::vector<uint8_t> packed = CompressBlock(block, settings);
    PackageTrailer trailer = tailpack::MakeTrailer(block, packed);
    if (damage != nullptr) damage(packed);
    std::vector<uint8_t> installer = tailpack::AppendPackage(test::MakeMinimalPe(), packed, trailer);
    g_fake.moduleImage = installer;
    g_fake.files[g_fake.ownPath] = installer;
    held_ = layout.data + extra;
    g_streamThreshold = held_;
    g_streamHeldSize = held_;
    return block;
  }

  // LoadPackage, then InstallFiles into kFolder as a silent fresh install.
  int LoadAndInstall(PackageStatus expected = kPackageOk) {
    PackageStatus status = kPackageNoMemory;
    g_package = LoadPackage(&status);
    EXPECT_EQ(status, expected);
    if (g_package == nullptr) return -1;
    std::memcpy(path_, kFolder.c_str(), (kFolder.size() + 1) * 2);
    uint32_t name = static_cast<uint32_t>(kFolder.size());
    EXPECT_EQ(FixLaunchTarget(path_, name), 0);
    path_[name] = 0;
    return InstallFiles(nullptr, path_, name, 1);
  }

  // Files under the install folder whose names end in the staging suffix.
  static size_t StagedFiles() {
    size_t count = 0;
    for (const auto& [path, bytes] : g_fake.files) {
      if (path.find(u".~tp") != std::u16string::npos) ++count;
    }
    return count;
  }

  uint32_t held_ = 0;
  Char16 path_[kPathCapacity];
};

// New targets are written in place as the data is decoded; targets that
// exist (an earlier version) are staged and replaced only after the last
// byte, once the checksum matched.
TEST_F(InstallStreamTest, WritesNewFilesInPlaceAndStagesReplacements) {
  PackageContents c = StreamedProduct();
  Prepare(c, static_cast<uint32_t>(c.blobs[0].size()));
  const std::u16string f16 = kFolder;
  g_fake.directories.insert(f16 + u"lib");
  g_fake.files[f16 + u"zentrova.exe"] = Bytes("old build");
  g_fake.files[f16 + u"lib\\shared.dll"] = Bytes("old library");
  // The whole block never fits in one allocation: only the head, the
  // scratch and input buffers and the small dictionary do.
  g_allocationLimit = 128 * 1024;
  ASSERT_EQ(LoadAndInstall(), 0);
  ASSERT_NE(g_package->heldSize, g_package->blockSize);
  EXPECT_EQ(g_package->heldSize, held_);

  const std::vector<std::pair<std::u16string, uint32_t>> expected = {
      {u"license.txt", 0}, {u"zentrova.exe", 2}, {u"bin\\shared.dll", 3}, {u"lib\\shared.dll", 3},
      {u"empty.dat", 5}, {u"data\\tail.bin", 4}};
  for (uint32_t i = 0; i < expected.size(); ++i) {
    const std::u16string target = kFolder + expected[i].first;
    SCOPED_TRACE(Narrow(target));
    EXPECT_EQ(g_fake.files[target], c.blobs[expected[i].second]);
  }
  EXPECT_EQ(g_fake.writeTimes[kFolder + u"lib\\shared.dll"].first, 5u);
  EXPECT_EQ(g_fake.writeTimes[kFolder + u"data\\tail.bin"].first, 8u);
  EXPECT_EQ(StagedFiles(), 0u);
  EXPECT_EQ(g_fake.directories.count(u"C:\\Program Files\\Zentrova\\logs"), 1u);
  EXPECT_EQ(g_fake.openFiles, 1);  // the installer itself
  EXPECT_EQ(g_stream.position, g_package->blockSize);

  // Existing targets are replaced only after every file is written, and the
  // copy of the shared contents comes from memory, not from the first copy.
  std::vector<std::string> effects = EventsStartingWith({"CreateFileW", "MoveFileExW", "OpenFileForReading"});
  const std::string f = Narrow(kFolder);
  EXPECT_EQ(effects, (std::vector<std::string>{
                         "OpenFileForReading " + Narrow(g_fake.ownPath),
                         "CreateFileW " + f + "license.txt new",
                         "CreateFileW " + f + "zentrova.exe new",
                         "CreateFileW " + f + "zentrova.exe existing",
                         "CreateFileW " + f + "zentrova.exe.~tp2.3020100 new",
                         "CreateFileW " + f + "bin\\shared.dll new",
                         "CreateFileW " + f + "lib\\shared.dll new",
                         "CreateFileW " + f + "lib\\shared.dll existing",
                         "CreateFileW " + f + "lib\\shared.dll.~tp4.3020100 new",
                         "CreateFileW " + f + "empty.dat new",
                         "CreateFileW " + f + "data\\tail.bin new",
                         "MoveFileExW " + f + "zentrova.exe " + f + "zentrova.exe.tmpa replace",
                         "MoveFileExW " + f + "zentrova.exe.~tp2.3020100 " + f + "zentrova.exe replace",
                         "MoveFileExW " + f + "lib\\shared.dll " + f + "lib\\shared.dll.tmpa replace",
                         "MoveFileExW " + f + "lib\\shared.dll.~tp4.3020100 " + f + "lib\\shared.dll replace",
                     }));
  // The old files are gone once every new one is in place.
  EXPECT_EQ(g_fake.files.count(f16 + u"zentrova.exe.tmpa") + g_fake.files.count(f16 + u"lib\\shared.dll.tmpa"), 0u);
  EXPECT_TRUE(g_fake.pendingDeletes.empty());
  EXPECT_EQ(LogLines().front(), "Copy " + f + "license.txt\r\n");
  EXPECT_EQ(LogLines().back(), "End");
}

// The first file read from the stream may begin in the held bytes; shared
// data too large to stay in memory is read back from the first copy; a
// target written by two entries gets the later one's data even when the
// later one shares its data with the entry before it.
TEST_F(InstallStreamTest, StreamsFromInsideTheHeldBytesAndKeepsTheLaterOfTwoWrites) {
  struct Case {
    const char* label;
    uint32_t extra;  // held bytes past the head
    bool writeTwice;
    uint32_t sharedSize;
    bool readBack;  // the second shared.dll is copied from the first
  };
  const uint32_t licence = 12, x86 = 70000;
  const Case cases[] = {
      {"x64 build begins in the held bytes", licence + x86 + 1000, false, 50000, false},
      {"held bytes end inside data not for this machine", licence + 1000, false, 50000, false},
      {"zentrova.exe written again with the tail's data", licence, true, 50000, false},
      {"shared data larger than the scratch buffer", licence, false, kScratchSize + 1, true},
      {"shared data that fills the scratch buffer", licence, false, kScratchSize, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    PackageContents contents = StreamedProduct();
    if (c.writeTwice) contents.files.push_back({"zentrova.exe", 0, 0x01D9000000000009ull, 4});
    contents.blobs[3] = Noise(c.sharedSize, 3);
    Prepare(contents, c.extra);
    ASSERT_EQ(LoadAndInstall(), 0) << LogLines().back();
    ASSERT_NE(g_package->heldSize, g_package->blockSize);
    EXPECT_EQ(g_fake.files[kFolder + u"zentrova.exe"], contents.blobs[c.writeTwice ? 4 : 2]);
    EXPECT_EQ(g_fake.files[kFolder + u"bin\\shared.dll"], contents.blobs[3]);
    EXPECT_EQ(g_fake.files[kFolder + u"lib\\shared.dll"], contents.blobs[3]);
    EXPECT_EQ(EventsStartingWith({"OpenFileForReading " + Narrow(kFolder)}).size(), c.readBack ? 1u : 0u);
    EXPECT_EQ(g_fake.files[kFolder + u"data\\tail.bin"], contents.blobs[4]);
    EXPECT_EQ(StagedFiles(), 0u);
    TearDown();
  }
}

// Damage that the loader cannot see (it only decodes the head) fails the
// install before any target is touched, and removes what was staged.
TEST_F(InstallStreamTest, DamageLeavesNothingAndReplacesNothing) {
  struct Case {
    const char* label;
    void (*damage)(std::vector<uint8_t>&);
  };
  const Case cases[] = {
      {"flipped byte in the file data", [](std::vector<uint8_t>& packed) { packed[packed.size() / 2] ^= 0x55; }},
      {"wrong checksum", nullptr},
      {"end of the stream overwritten", [](std::vector<uint8_t>& packed) {
         std::fill(packed.end() - 4000, packed.end(), 0xFF);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    PackageContents contents = StreamedProduct();
    Prepare(contents, static_cast<uint32_t>(contents.blobs[0].size()), c.damage);
    if (c.damage == nullptr) {
      // The trailer's checksum is the first four bytes of the trailer.
      std::vector<uint8_t>& file = g_fake.files[g_fake.ownPath];
      file[file.size() - kTrailerSize] ^= 1;
      g_fake.moduleImage = file;
    }
    g_fake.files[kFolder + u"zentrova.exe"] = Bytes("old build");
    ASSERT_EQ(LoadAndInstall(), 1);
    EXPECT_EQ(g_installFailed, 1);
    EXPECT_EQ(g_fake.files[kFolder + u"zentrova.exe"], Bytes("old build"));
    EXPECT_EQ(g_fake.files.count(kFolder + u"license.txt"), 0u);
    EXPECT_EQ(StagedFiles(), 0u);
    EXPECT_EQ(EventsStartingWith({"MoveFileExW"}).size(), 0u);
    std::string last = LogLines().back();
    EXPECT_EQ(last.rfind("Failed to write file: ", 0), 0u) << last;
    EXPECT_NE(last.find(", code: 23\r\n"), std::string::npos) << last;
    EXPECT_TRUE(EventsStartingWith({"RegCreateKeyExW", "CreateShortcut"}).empty());
    TearDown();
  }
}

// A target in use is moved aside at the moving step, and deleted at the
// next restart, when its entry allows it; otherwise the install fails when
// that entry is written, and removes what it wrote.
TEST_F(InstallStreamTest, TargetsInUseAreHandledWhenMovingIntoPlace) {
  for (bool replaceable : {true, false}) {
    SCOPED_TRACE(replaceable);
    SetUp();
    PackageContents contents = StreamedProduct();
    if (!replaceable) contents.files[7].flags = 0;
    Prepare(contents, static_cast<uint32_t>(contents.blobs[0].size()));
    const std::u16string tail = kFolder + u"data\\tail.bin";
    g_fake.directories.insert(kFolder + u"data");
    g_fake.files[tail] = Bytes("running");
    g_fake.lockedFiles.insert(tail);
    if (replaceable) {
      ASSERT_EQ(LoadAndInstall(), 0) << LogLines().back();
      EXPECT_EQ(g_fake.files[tail], contents.blobs[4]);
      EXPECT_EQ(g_fake.files[tail + u".tmpa"], Bytes("running"));
      EXPECT_EQ(g_fake.pendingDeletes, std::vector<std::u16string>{tail + u".tmpa"});
    } else {
      ASSERT_EQ(LoadAndInstall(), 1);
      EXPECT_EQ(g_fake.files[tail], Bytes("running"));
      EXPECT_EQ(g_fake.files.count(kFolder + u"license.txt"), 0u);
      EXPECT_EQ(LogLines().back(), "Failed to write file: " + Narrow(tail) + ", code: 32\r\n");
    }
    EXPECT_EQ(StagedFiles(), 0u);
    TearDown();
  }
}

// Packages the installer cannot write in one pass are held whole, as small
// ones are: entries whose data comes out of order, or an info text beyond
// the held bytes. Without the memory for that, loading says so.
TEST_F(InstallStreamTest, PackagesThatCannotStreamAreHeldWhole) {
  struct Case {
    const char* label;
    void (*change)(PackageContents&);
  };
  const Case cases[] = {
      {"data out of entry order", [](PackageContents& c) { std::swap(c.files[2], c.files[3]); }},
      {"info text past the held bytes", [](PackageContents& c) { c.infoEntry = 7; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    PackageContents contents = StreamedProduct();
    c.change(contents);
    std::vector<uint8_t> block = Prepare(contents, static_cast<uint32_t>(contents.blobs[0].size()));
    ASSERT_EQ(LoadAndInstall(), 0);
    EXPECT_EQ(g_package->heldSize, g_package->blockSize);
    EXPECT_EQ(g_fake.files[kFolder + u"data\\tail.bin"], contents.blobs[4]);
    EXPECT_TRUE(EventsStartingWith({"MoveFileExW"}).empty());
    TearDown();

    SetUp();
    Prepare(contents, static_cast<uint32_t>(contents.blobs[0].size()));
    g_allocationLimit = block.size() - 1;
    EXPECT_EQ(LoadAndInstall(kPackageNoMemory), -1);
    TearDown();
  }
}

// Damage anywhere in the packed stream of a package that streams: the load
// refuses it, or the install fails having created files only in the
// install folder and left none there and no registry value, or (damage on
// bits the decoder never reads) the files are the packaged ones.
TEST_F(InstallStreamTest, AnyFlippedByteLeavesNothingOrTheRightFiles) {
  PackageContents contents = StreamedProduct();
  for (std::vector<uint8_t>& blob : contents.blobs) {
    if (blob.size() > 4000) blob.resize(4000);
  }
  BlockLayout layout;
  BuildBlock(contents, &layout);
  const uint32_t held = layout.data + static_cast<uint32_t>(contents.blobs[0].size());
  std::vector<uint8_t> clean = Prepare(contents, held - layout.data);
  const std::vector<uint8_t> installer = g_fake.files[g_fake.ownPath];
  const size_t packedEnd = installer.size() - kTrailerSize;
  const size_t packedStart = packedEnd - Get32(installer, packedEnd + 8);
  size_t refused = 0, failed = 0, installed = 0;
  for (size_t at = packedStart; at < packedEnd; at += 37) {
    SCOPED_TRACE(at - packedStart);
    TearDown();
    SetUp();
    std::vector<uint8_t> damaged = installer;
    damaged[at] ^= 0x24;
    g_fake.moduleImage = damaged;
    g_fake.files[g_fake.ownPath] = damaged;
    g_streamThreshold = g_streamHeldSize = held;
    PackageStatus status;
    g_package = LoadPackage(&status);
    if (g_package == nullptr) {
      ++refused;
      EXPECT_EQ(g_fake.files.size(), 1u);
      continue;
    }
    EXPECT_NE(g_package->heldSize, g_package->blockSize);
    std::memcpy(path_, kFolder.c_str(), (kFolder.size() + 1) * 2);
    int result = InstallFiles(nullptr, path_, static_cast<uint32_t>(kFolder.size()), 1);
    for (const std::string& e : EventsStartingWith({"CreateFileW ", "MoveFileExW "})) {
      EXPECT_EQ(e.find(Narrow(kFolder)), e.find(' ') + 1) << e;
    }
    if (result != 0) {
      ++failed;
      EXPECT_EQ(g_fake.files.size(), 1u) << Narrow(g_fake.files.rbegin()->first);
      EXPECT_TRUE(EventsStartingWith({"RegSet", "RegCreate"}).empty());
    } else {
      ++installed;
      EXPECT_EQ(g_fake.files[kFolder + u"data\\tail.bin"], contents.blobs[4]);
      EXPECT_EQ(g_fake.files[kFolder + u"lib\\shared.dll"], contents.blobs[3]);
    }
  }
  // Most flips land in file data the loader does not read.
  EXPECT_GT(failed, refused);
  EXPECT_LE(installed, 2u);
}

// A thread decodes the stream ahead of the install in a ring of pieces.
// Whatever the piece size (many small pieces wrap the ring again and again
// and make each side wait for the other), and without a thread at all, the
// files come out the same; a damaged stream and a write that fails while
// the thread waits for room both end the install, and the thread with it
// (JoinFakeThreads in TearDown would wait forever otherwise).
TEST_F(InstallStreamTest, DecodingAheadHandsOutTheSameBytesWhateverThePieces) {
  struct Case {
    const char* label;
    uint32_t pieceSize;
    bool threads;
    enum { kClean, kDamaged, kDiskFull } what;
    int result;
  };
  const Case cases[] = {
      {"pieces of 1000 bytes", 1000, true, Case::kClean, 0},
      {"pieces of 4 KiB", 4096, true, Case::kClean, 0},
      {"pieces larger than the scratch buffer", kScratchSize + 3, true, Case::kClean, 0},
      {"no thread: decoded in turn", 1000, false, Case::kClean, 0},
      {"damaged stream, small pieces", 1000, true, Case::kDamaged, 1},
      {"disk full while the ring is full", 1000, true, Case::kDiskFull, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    PackageContents contents = StreamedProduct();
    void (*flip)(std::vector<uint8_t>&) = [](std::vector<uint8_t>& packed) { packed[packed.size() * 3 / 4] ^= 0x55; };
    Prepare(contents, static_cast<uint32_t>(contents.blobs[0].size()), c.what == Case::kDamaged ? flip : nullptr);
    g_aheadPieceSize = c.pieceSize;
    g_fake.threadStarts = c.threads;
    if (c.what == Case::kDiskFull) g_fake.diskSpace = 100000;
    ASSERT_EQ(LoadAndInstall(), c.result);
    EXPECT_EQ(g_fake.threadsStarted, c.threads ? 1 : 0);
    if (c.result == 0) {
      EXPECT_EQ(g_fake.files[kFolder + u"zentrova.exe"], contents.blobs[2]);
      EXPECT_EQ(g_fake.files[kFolder + u"bin\\shared.dll"], contents.blobs[3]);
      EXPECT_EQ(g_fake.files[kFolder + u"lib\\shared.dll"], contents.blobs[3]);
      EXPECT_EQ(g_fake.files[kFolder + u"data\\tail.bin"], contents.blobs[4]);
    } else {
      EXPECT_EQ(g_fake.files.count(kFolder + u"zentrova.exe"), 0u);
      EXPECT_NE(LogLines().back().find(c.what == Case::kDamaged ? ", code: 23\r\n" : ", code: 112\r\n"),
                std::string::npos)
          << LogLines().back();
    }
    TearDown();
  }
}

}  // namespace
