// A failed install leaves the machine as it was: whatever step fails (a
// file that cannot be created, a full disk, a file in use, a move at the
// commit), every file and folder the install made is gone, every file it
// would have replaced is back with its content and times, and nothing is
// left to be deleted at the next restart. A disk that vanishes during the
// undo is gone through once, to the end.
#include "install/silent_install.h"
#include "tests/unit/install_test_support.h"

namespace {

using namespace install_test;

const std::u16string kFolder = u"C:\\Program Files\\Zentrova\\";
const std::u16string kExe = kFolder + u"zentrova.exe";
const std::u16string kIni = kFolder + u"language\\Zentrova_DEU.ini";
const std::u16string kDriver = kFolder + u"x64\\zentrova.sys";
const std::u16string kLicence = kFolder + u"license.txt";

// What the install may change, compared before and after.
struct MachineFiles {
  std::map<std::u16string, std::vector<uint8_t>> files;
  std::map<std::u16string, std::pair<uint32_t, uint32_t>> writeTimes;
  std::set<std::u16string> directories;
  std::set<std::u16string> lockedFiles;
  bool operator==(const MachineFiles&) const = default;
};

MachineFiles Snapshot() {
  return {g_fake.files, g_fake.writeTimes, g_fake.directories, g_fake.lockedFiles};
}

// Everything in `a` and not in `b`, for readable failures.
std::string Difference(const MachineFiles& a, const MachineFiles& b) {
  std::string out;
  for (const auto& [path, bytes] : a.files) {
    auto it = b.files.find(path);
    if (it == b.files.end()) out += " file " + Narrow(path);
    else if (it->second != bytes) out += " content " + Narrow(path);
  }
  for (const auto& [path, time] : a.writeTimes) {
    auto it = b.writeTimes.find(path);
    if (it == b.writeTimes.end() || it->second != time) out += " time " + Narrow(path);
  }
  for (const std::u16string& folder : a.directories) {
    if (b.directories.count(folder) == 0) out += " folder " + Narrow(folder);
  }
  return out;
}

class InstallRollbackTest : public ::testing::Test {
 protected:
  void SetUp() override { PrepareMachine(); }

  // An earlier version in the folder: two files the package replaces, with
  // their times, and a file of the user's.
  static void PlaceEarlierVersion() {
    g_fake.directories.insert(u"C:\\Program Files\\Zentrova");
    g_fake.directories.insert(u"C:\\Program Files\\Zentrova\\language");
    g_fake.files[kExe] = Bytes("old build");
    g_fake.writeTimes[kExe] = {11, 12};
    g_fake.files[kIni] = Bytes("old texts");
    g_fake.writeTimes[kIni] = {13, 14};
    g_fake.files[kFolder + u"notes.txt"] = Bytes("the user's");
  }

  int Install() {
    std::memcpy(path_, kFolder.c_str(), (kFolder.size() + 1) * 2);
    uint32_t name = static_cast<uint32_t>(kFolder.size());
    EXPECT_EQ(FixLaunchTarget(path_, name), 0);
    path_[name] = 0;
    return InstallFiles(nullptr, path_, name, 1);
  }

  Char16 path_[kPathCapacity];
};

// The package writes, in order: zentrova.exe (replaces), x64\zentrova.sys
// (new, in a new folder), the language file (replaces), empty.dat (new),
// logs\ (a new folder only) and license.txt (new).
TEST_F(InstallRollbackTest, AFailureAtAnyStepUndoesEverything) {
  struct Case {
    const char* label;
    void (*fault)();
    std::u16string failed;  // the file the failure line names
    uint32_t code;
  };
  const Case cases[] = {
      {"the first file cannot be staged", [] { g_fake.createErrors[kExe + u".~tp1.3020100"] = 5; }, kExe, 5},
      {"the disk fills up at a new file in the middle",
       [] { g_fake.diskSpace = 12 + 3; }, kDriver, 112},
      {"the last file cannot be created", [] { g_fake.createErrors[kLicence] = 82; }, kLicence, 82},
      {"a file in use without the in-use flag", [] { g_fake.lockedFiles.insert(kIni); }, kIni, 32},
      {"moving the second new file over its old one fails",
       [] { g_fake.moveErrors[kIni] = 5; }, kIni, 5},
      {"moving the second old file aside fails",
       [] { g_fake.moveErrors[kIni + u".tmpa"] = 5; }, kIni, 5},
      {"every aside name of the second old file is taken",
       [] {
         for (char16_t letter = u'a'; letter <= u'z'; ++letter) g_fake.files[kIni + u".tmp" + letter] = {};
       },
       kIni, kErrorAlreadyExists},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    LoadedPackage package(ProductPackage());
    PlaceEarlierVersion();
    c.fault();
    const MachineFiles before = Snapshot();
    ASSERT_EQ(Install(), 1);
    EXPECT_EQ(g_installFailed, 1);
    EXPECT_EQ(LogLines().back(),
              "Failed to write file: " + Narrow(c.failed) + ", code: " + std::to_string(c.code) + "\r\n");
    const MachineFiles after = Snapshot();
    EXPECT_EQ(after, before) << "left:" << Difference(after, before) << " lost:" << Difference(before, after);
    EXPECT_TRUE(g_fake.pendingDeletes.empty());
    EXPECT_TRUE(EventsStartingWith({"RegCreateKeyExA", "CreateShellLink"}).empty());
  }
}

// A program running from a file the package replaces (in-use flag): it is
// renamed aside at the commit; when a later move fails it is renamed back,
// still in use, and no deletion at restart was ever scheduled.
TEST_F(InstallRollbackTest, AFileInUseMovedAsideIsMovedBack) {
  tailpack::PackageContents contents = ProductPackage();
  contents.files[1].flags |= kEntryReplaceInUse;
  LoadedPackage package(contents);
  PlaceEarlierVersion();
  g_fake.lockedFiles.insert(kExe);
  g_fake.moveErrors[kIni] = 5;
  const MachineFiles before = Snapshot();
  ASSERT_EQ(Install(), 1);
  EXPECT_NE(EventIndex("MoveFileExW " + Narrow(kExe) + " " + Narrow(kExe) + ".tmpa replace"), -1);
  EXPECT_EQ(Snapshot(), before);
  EXPECT_EQ(g_fake.lockedFiles.count(kExe), 1u);
  EXPECT_TRUE(g_fake.pendingDeletes.empty());
}

// The same update with nothing failing: the new files are in place, the
// old ones deleted, the one in use due for deletion at restart, the user's
// file untouched.
TEST_F(InstallRollbackTest, ACommittedUpdateDropsTheOldFiles) {
  tailpack::PackageContents contents = ProductPackage();
  contents.files[1].flags |= kEntryReplaceInUse;
  LoadedPackage package(contents);
  PlaceEarlierVersion();
  g_fake.lockedFiles.insert(kExe);
  ASSERT_EQ(Install(), 0);
  EXPECT_EQ(g_fake.files[kExe], Bytes("MZ x64 build"));
  EXPECT_EQ(g_fake.files[kIni], Bytes("[Deutsch]"));
  EXPECT_EQ(g_fake.writeTimes[kIni].first, 5u);
  EXPECT_EQ(g_fake.files[kFolder + u"notes.txt"], Bytes("the user's"));
  EXPECT_EQ(g_fake.files.count(kIni + u".tmpa"), 0u);
  EXPECT_EQ(g_fake.files[kExe + u".tmpa"], Bytes("old build"));
  EXPECT_EQ(g_fake.pendingDeletes, std::vector<std::u16string>{kExe + u".tmpa"});
  for (const auto& [path, bytes] : g_fake.files) EXPECT_EQ(path.find(u".~tp"), std::u16string::npos);
}

// A fresh silent install that fails removes the folders it made, the
// install folder and its parent included, and nothing above them.
TEST_F(InstallRollbackTest, AFailedFreshInstallRemovesItsFolders) {
  tailpack::PackageContents contents = ProductPackage();
  contents.settings[kDefaultFolder] = u"C:\\Apps\\Halvix\\Zentrova";
  LoadedPackage package(contents);
  g_fake.createErrors[u"C:\\Apps\\Halvix\\Zentrova\\license.txt"] = 5;
  const MachineFiles before = Snapshot();
  EXPECT_EQ(SilentInstall(), kExitInstallFailed);
  EXPECT_NE(EventIndex("CreateDirectoryW C:\\Apps\\Halvix\\Zentrova\\x64"), -1);
  const MachineFiles after = Snapshot();
  EXPECT_EQ(after, before) << "left:" << Difference(after, before);
}

// When the disk goes away with the failure, the undo still visits every
// entry once and the install still ends as failed.
TEST_F(InstallRollbackTest, AnUndoThatFailsGoesOnToTheEnd) {
  LoadedPackage package(ProductPackage());
  PlaceEarlierVersion();
  g_fake.moveErrors[kIni] = 5;
  g_fake.diskGoesOnFailure = true;
  ASSERT_EQ(Install(), 1);
  EXPECT_EQ(LogLines().back(), "Failed to write file: " + Narrow(kIni) + ", code: 5\r\n");
  // One attempt each: the files written in place, the two staged files and
  // the old executable moved back; then the folders.
  EXPECT_EQ(EventsStartingWith({"DeleteFileW"}).size(), 5u);
  EXPECT_EQ(EventsStartingWith({"MoveFileExW " + Narrow(kExe) + ".tmpa"}).size(), 1u);
  EXPECT_EQ(EventIndex("RemoveDirectoryW C:\\Program Files\\Zentrova\\logs\\"), -1);
  EXPECT_NE(EventIndex("RemoveDirectoryW C:\\Program Files\\Zentrova\\logs"), -1);
}

}  // namespace
