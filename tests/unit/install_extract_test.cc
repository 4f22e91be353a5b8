// File extraction: selection, names, directories, in-use files, failures,
// progress and the order of the post-install steps.
#include <cstdio>
#include <cstring>
#include <set>

#include "tests/unit/install_test_support.h"

namespace {

using namespace install_test;

const std::u16string kFolder = u"C:\\Program Files\\Zentrova\\";
void* const kWizard = reinterpret_cast<void*>(0x4000);
const std::string kBar = "0x20016";  // the fake's handle of dialog item 22

class InstallExtractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PrepareMachine();
    g_fake.directories.insert(u"C:\\Program Files\\Zentrova");
  }

  // Runs InstallFiles into kFolder as a fresh install, the launch target
  // fixed as the install sequence does.
  int Install(void* window = nullptr, int desktop = 1) {
    std::memcpy(path_, kFolder.c_str(), (kFolder.size() + 1) * 2);
    uint32_t name = static_cast<uint32_t>(kFolder.size());
    EXPECT_EQ(FixLaunchTarget(path_, name), 0);
    path_[name] = 0;
    // The wizard points the install's progress at its bar (dialog item 22).
    if (window != nullptr) g_installReport.progressBar = reinterpret_cast<void*>(0x20016);
    return InstallFiles(window, path_, name, desktop);
  }

  Char16 path_[kPathCapacity];
};

TEST_F(InstallExtractTest, WritesTheSelectionOfEachMachine) {
  struct Case {
    uint32_t arch;
    std::string executable;
    bool driver;
  };
  for (const Case& c : std::vector<Case>{{kArchX86, "MZ x86 build", false},
                                         {kArchX64, "MZ x64 build", true},
                                         {kArchArm64, "MZ arm64 build", false}}) {
    SetUp();
    LoadedPackage package(ProductPackage(), c.arch);
    ASSERT_EQ(Install(), 0);
    EXPECT_EQ(g_fake.files[kFolder + u"zentrova.exe"], Bytes(c.executable));
    EXPECT_EQ(g_fake.files.count(kFolder + u"x64\\zentrova.sys"), c.driver ? 1u : 0u);
    EXPECT_EQ(g_fake.files[kFolder + u"language\\Zentrova_DEU.ini"], Bytes("[Deutsch]"));
    EXPECT_EQ(g_fake.files.count(kFolder + u"empty.dat"), 1u);
    EXPECT_TRUE(g_fake.files[kFolder + u"empty.dat"].empty());
    EXPECT_EQ(g_fake.files[kFolder + u"license.txt"], Bytes("licence text"));
    // Only one CreateFileW per written file: the other builds are skipped.
    EXPECT_EQ(EventsStartingWith({"CreateFileW"}).size(), c.driver ? 5u : 4u);
    EXPECT_EQ(g_fake.openFiles, 0);
  }
}

TEST_F(InstallExtractTest, ModificationTimesAndListedOnlyEntries) {
  LoadedPackage package(ProductPackage());
  ASSERT_EQ(Install(), 0);
  const std::vector<std::pair<std::u16string, uint32_t>> times = {
      {u"zentrova.exe", 2}, {u"x64\\zentrova.sys", 4}, {u"language\\Zentrova_DEU.ini", 5},
      {u"empty.dat", 6},    {u"license.txt", 8}};
  for (const auto& [name, low] : times) {
    auto it = g_fake.writeTimes.find(kFolder + name);
    ASSERT_NE(it, g_fake.writeTimes.end()) << Narrow(name);
    EXPECT_EQ(it->second, std::make_pair(low, 0x01D90000u)) << Narrow(name);
  }
  // The listed-only entry gets its folder and its log line but no file.
  EXPECT_TRUE(g_fake.directories.count(u"C:\\Program Files\\Zentrova\\logs"));
  EXPECT_EQ(g_fake.files.count(kFolder + u"logs\\placeholder"), 0u);
  EXPECT_EQ(EventIndex("CreateFileW C:\\Program Files\\Zentrova\\logs\\placeholder"), -1);
  EXPECT_NE(EventIndex("Log Copy C:\\Program Files\\Zentrova\\logs\\placeholder\r\n"), -1);
}

TEST_F(InstallExtractTest, ParentDirectoriesAreCreatedLevelByLevel) {
  tailpack::PackageContents contents = ProductPackage();
  contents.files = {{"a\\b\\c.txt", 0, 1, 6}, {"a\\b\\c.txt", 0, 1, 6}};
  LoadedPackage package(contents);
  ASSERT_EQ(Install(), 0);
  // The first copy creates both levels after its log line; the second finds
  // the file, creates no folder and stages its copy beside it.
  EXPECT_EQ(EventsStartingWith({"CreateDirectoryW", "Log Copy", "CreateFileW"}),
            (std::vector<std::string>{
                "Log Copy C:\\Program Files\\Zentrova\\a\\b\\c.txt\r\n",
                "CreateDirectoryW C:\\Program Files\\Zentrova\\a",
                "CreateDirectoryW C:\\Program Files\\Zentrova\\a\\b",
                "CreateFileW C:\\Program Files\\Zentrova\\a\\b\\c.txt new",
                "Log Copy C:\\Program Files\\Zentrova\\a\\b\\c.txt\r\n",
                "CreateFileW C:\\Program Files\\Zentrova\\a\\b\\c.txt new",
                "CreateFileW C:\\Program Files\\Zentrova\\a\\b\\c.txt existing",
                "CreateFileW C:\\Program Files\\Zentrova\\a\\b\\c.txt.~tp1.3020100 new",
            }));
}

// Each entry makes only the folder levels that the previous entry's folder
// does not cover; the previous entry's folder is neither looked up nor
// created again, a folder made earlier is looked up once and not created
// again, and every file still lands in its folder.
TEST_F(InstallExtractTest, FoldersOfThePreviousEntryAreNotMadeAgain) {
  struct Case {
    const char* label;
    std::vector<std::string> names;
    std::vector<std::string> created;  // CreateDirectoryW targets, in order
    int queries;                       // GetFileAttributesW calls
  };
  const std::string f = "C:\\Program Files\\Zentrova\\";
  const Case cases[] = {
      {"files in the install folder need no folder", {"a.txt", "b.txt", "c.txt"}, {}, 0},
      {"one folder, many files", {"d\\a.txt", "d\\b.txt", "d\\c.txt"}, {f + "d"}, 1},
      {"a deeper folder makes only the new level",
       {"d\\a.txt", "d\\e\\b.txt", "d\\e\\c.txt"}, {f + "d", f + "d\\e"}, 2},
      {"back up to a parent: nothing to make", {"d\\e\\a.txt", "d\\b.txt", "c.txt"},
       {f + "d", f + "d\\e"}, 1},
      {"a sibling folder makes only itself",
       {"d\\e\\a.txt", "d\\g\\b.txt"}, {f + "d", f + "d\\e", f + "d\\g"}, 2},
      {"a folder the entries come back to is looked up, not made again",
       {"d\\a.txt", "x\\b.txt", "d\\c.txt"}, {f + "d", f + "x"}, 3},
      {"coming back to a deeper folder makes none of its levels",
       {"d\\e\\a.txt", "x\\b.txt", "d\\e\\c.txt"}, {f + "d", f + "d\\e", f + "x"}, 3},
      {"names that only share a prefix are different folders",
       {"ab\\a.txt", "abc\\b.txt", "a\\c.txt"}, {f + "ab", f + "abc", f + "a"}, 3},
  };
  for (const Case& c : cases) {
    PrepareMachine();
    g_fake.directories.insert(u"C:\\Program Files\\Zentrova");
    tailpack::PackageContents contents = ProductPackage();
    contents.files.clear();
    for (const std::string& name : c.names) contents.files.push_back({name, 0, 1, 6});
    LoadedPackage package(contents);
    ASSERT_EQ(Install(), 0) << c.label;
    std::vector<std::string> created;
    for (const std::string& event : EventsStartingWith({"CreateDirectoryW "})) created.push_back(event.substr(17));
    EXPECT_EQ(created, c.created) << c.label;
    EXPECT_EQ(g_fake.attributeQueries, c.queries) << c.label;
    for (const std::string& name : c.names) {
      std::u16string wide(name.begin(), name.end());
      EXPECT_EQ(g_fake.files[kFolder + wide], Bytes("licence text")) << c.label << ": " << name;
    }
  }
}

TEST_F(InstallExtractTest, NamesComeThroughTheAnsiCodePage) {
  tailpack::PackageContents contents = ProductPackage();
  contents.files = {{"r\xe9sum\xe9.txt", 0, 1, 6}};
  LoadedPackage package(contents);
  ASSERT_EQ(Install(), 0);
  EXPECT_EQ(g_fake.files.count(kFolder + u"r\u00e9sum\u00e9.txt"), 1u);
}

// Nothing is written through a link: a folder of the product that a
// standard user replaced by a junction or symbolic link to somewhere else
// fails the install with code 4395 before any file there changes, and so
// does an install folder that is itself a link. A link that stays inside
// the folder is fine; where the system cannot tell (no final paths before
// Vista) the install goes on as before.
TEST_F(InstallExtractTest, NothingIsWrittenThroughALink) {
  const std::u16string x64 = kFolder + u"x64", victim = u"C:\\Victim";
  struct Case {
    const char* label;
    std::u16string link, target;  // a folder that is a link, and where it leads
    bool finalPaths;
    int result;
    std::string failed;  // the path the log names
  } cases[] = {
      {"x64 leads outside, the file is replaced", x64, victim, true, 1, "C:\\Program Files\\Zentrova\\x64\\zentrova.sys"},
      {"the install folder is a link", kFolder.substr(0, kFolder.size() - 1), victim, true, 1,
       "C:\\Program Files\\Zentrova\\"},
      {"x64 leads inside the folder", x64, kFolder + u"language", true, 0, ""},
      {"no final paths: not checked", x64, victim, false, 0, ""},
  };
  for (const Case& c : cases) {
    SetUp();
    LoadedPackage package(ProductPackage());
    g_fake.directories.insert({victim, kFolder + u"language"});
    g_fake.files[kFolder + u"x64\\zentrova.sys"] = Bytes("victim's");  // what the link reaches
    g_fake.links[c.link] = c.target;
    g_fake.hasFinalPath = c.finalPaths;
    auto before = g_fake.files;
    EXPECT_EQ(Install(), c.result) << c.label;
    if (c.result != 0) {
      EXPECT_EQ(g_fake.files, before) << c.label;
      EXPECT_EQ(Narrow(g_fake.logLines.back()), "Failed to write file: " + c.failed + ", code: 4395\r\n") << c.label;
      EXPECT_TRUE(EventsStartingWith({"RegCreateKeyExA", "MoveFileExW"}).empty()) << c.label;
    }
    EXPECT_EQ(g_fake.openFiles, 0) << c.label;
  }
}

// A replacement is staged under a name nobody can plan for (this run's
// random number) and created new: whatever lies at a staging name (a link
// planted there, a leftover) is never opened, only passed over, up to
// eight names; then the install fails, the target and the planted files
// as they were.
TEST_F(InstallExtractTest, StagingNamesAreNewAndPassOverWhatIsThere) {
  // The fake's first random bytes are 00 01 02 03: the number 0x3020100.
  struct Case {
    const char* label;
    int taken;         // staging names already there, from the first on
    const char* used;  // the name staged under, or null when the install fails
  } cases[] = {
      {"free", 0, ".~tp1.3020100"},
      {"the first taken", 1, ".~tp1.3020101"},
      {"seven taken", 7, ".~tp1.3020107"},
      {"all eight taken", 8, nullptr},
  };
  for (const Case& c : cases) {
    SetUp();
    LoadedPackage package(ProductPackage());
    std::u16string exe = kFolder + u"zentrova.exe";
    g_fake.files[exe] = Bytes("old");
    std::set<std::u16string> planted;
    for (int i = 0; i < c.taken; ++i) {
      char suffix[32];
      std::snprintf(suffix, sizeof suffix, ".~tp1.%x", 0x3020100 + i);
      planted.insert(exe + std::u16string(suffix, suffix + std::strlen(suffix)));
      g_fake.files[*planted.rbegin()] = Bytes("victim");
    }
    EXPECT_EQ(Install(), c.used ? 0 : 1) << c.label;
    EXPECT_EQ(std::count(g_fake.events.begin(), g_fake.events.end(), "RtlGenRandom 4"), 1) << c.label;
    for (const std::u16string& name : planted) EXPECT_EQ(g_fake.files[name], Bytes("victim")) << c.label;
    EXPECT_EQ(g_fake.files[exe], Bytes(c.used ? "MZ x64 build" : "old")) << c.label;
    if (c.used) {
      std::string staged = Narrow(exe) + c.used;
      EXPECT_GE(EventIndex("CreateFileW " + staged + " new"), 0) << c.label;
      EXPECT_GE(EventIndex("MoveFileExW " + staged + " " + Narrow(exe) + " replace"), 0) << c.label;
    } else {
      EXPECT_EQ(Narrow(g_fake.logLines.back()), "Failed to write file: " + Narrow(exe) + ", code: 80\r\n");
    }
    // Nothing staged is left over either way.
    size_t staging = 0;
    for (const auto& [path, bytes] : g_fake.files) staging += path.find(u".~tp") != std::u16string::npos;
    EXPECT_EQ(staging, planted.size()) << c.label;
  }
}

// A locked file with the in-use flag is moved aside to the first free
// letter and scheduled for deletion; the new file is then written.
// A file in use is staged like any replaced file; at the moving step it
// goes to the first free ".tmp" name (names left by earlier installs are
// kept) and, being in use, is deleted at the next restart.
TEST_F(InstallExtractTest, LockedFileIsMovedAsideWhenReplaceable) {
  struct Case {
    const char* label;
    std::vector<char> lockedAsides;     // .tmp<letter> files that cannot be deleted
    std::vector<char> deletableAsides;  // .tmp<letter> files that can
    char used;
  };
  std::vector<char> aToY;
  for (char letter = 'a'; letter < 'z'; ++letter) aToY.push_back(letter);
  const std::vector<Case> cases = {
      {"free name", {}, {}, 'a'},
      {"earlier asides, in use or not, are kept", {'a'}, {'b'}, 'c'},
      {"only z left", aToY, {}, 'z'},
  };
  for (const Case& c : cases) {
    SetUp();
    tailpack::PackageContents contents = ProductPackage();
    contents.files[1].flags |= kEntryReplaceInUse;
    LoadedPackage package(contents);
    std::u16string exe = kFolder + u"zentrova.exe";
    g_fake.files[exe] = Bytes("old");
    g_fake.lockedFiles.insert(exe);
    for (char letter : c.lockedAsides) {
      g_fake.files[exe + u".tmp" + char16_t(letter)] = Bytes("older");
      g_fake.lockedFiles.insert(exe + u".tmp" + char16_t(letter));
    }
    for (char letter : c.deletableAsides) g_fake.files[exe + u".tmp" + char16_t(letter)] = Bytes("x");
    ASSERT_EQ(Install(), 0) << c.label;
    std::string aside = Narrow(exe) + ".tmp" + c.used;
    std::vector<std::string> moves = EventsStartingWith({"CreateFileW " + Narrow(exe), "Move", "DeleteFileW " + aside});
    EXPECT_EQ(moves, (std::vector<std::string>{
                         "CreateFileW " + Narrow(exe) + " new",
                         "CreateFileW " + Narrow(exe) + " existing",
                         "CreateFileW " + Narrow(exe) + ".~tp1.3020100 new",
                         "MoveFileExW " + Narrow(exe) + " " + aside + " replace",
                         "MoveFileExW " + Narrow(exe) + ".~tp1.3020100 " + Narrow(exe) + " replace",
                         "MoveFileExW " + aside + " delete at reboot",
                     }))
        << c.label;
    EXPECT_EQ(g_fake.files[exe], Bytes("MZ x64 build")) << c.label;
    EXPECT_EQ(g_fake.files[exe + u".tmp" + char16_t(c.used)], Bytes("old")) << c.label;
    for (char letter : c.deletableAsides) {
      EXPECT_EQ(g_fake.files[exe + u".tmp" + char16_t(letter)], Bytes("x")) << c.label;
    }
  }
}

TEST_F(InstallExtractTest, CreationFailuresStopTheInstall) {
  struct Case {
    const char* label;
    bool replaceable;
    bool locked;
    uint32_t error;  // other creation error, 0 for none
    uint32_t code;
  };
  const std::vector<Case> cases = {
      {"locked, not replaceable", false, true, 0, 32},
      {"access denied, replaceable: no retry", true, false, 5, 5},
  };
  for (const Case& c : cases) {
    SetUp();
    tailpack::PackageContents contents = ProductPackage();
    if (c.replaceable) contents.files[1].flags |= kEntryReplaceInUse;
    LoadedPackage package(contents);
    std::u16string exe = kFolder + u"zentrova.exe";
    g_fake.files[exe] = Bytes("old");
    if (c.locked) g_fake.lockedFiles.insert(exe);
    if (c.error != 0) g_fake.createErrors[exe] = c.error;
    EXPECT_EQ(Install(kWizard), 1) << c.label;
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "Copy " + Narrow(exe) + "\r\n",
                              "Failed to write file: " + Narrow(exe) + ", code: " +
                                  std::to_string(c.code) + "\r\n",
                          }))
        << c.label;
    // Nothing after the failure: no later file, no post-install step, and
    // redirection stays off.
    EXPECT_TRUE(EventsStartingWith({"RegCreateKeyExA", "CreateShellLink", "SetTimer", "Move",
                                    "RevertFsRedirection", "CreateFileW C:\\Program Files\\Zentrova\\x64"})
                    .empty())
        << c.label;
    EXPECT_EQ(g_installSucceeded, 0) << c.label;
    EXPECT_EQ(g_fake.files[exe], Bytes("old")) << c.label;
  }
}

TEST_F(InstallExtractTest, FullDiskFailsTheFile) {
  LoadedPackage package(ProductPackage());
  g_fake.diskSpace = 14;  // the executable fits, the driver does not
  EXPECT_EQ(Install(), 1);
  std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], "Failed to write file: " + Narrow(kFolder) + "x64\\zentrova.sys, code: 112\r\n");
  EXPECT_EQ(g_fake.openFiles, 0);  // the handle of the short file is closed
  EXPECT_EQ(g_fake.writeTimes.count(kFolder + u"x64\\zentrova.sys"), 0u);
}

TEST_F(InstallExtractTest, PathThatDoesNotFitFailsTheFile) {
  tailpack::PackageContents contents = ProductPackage();
  std::string deep = std::string(240, 'd');  // folder (27 units) + 240 > 259
  contents.files = {{"short.txt", 0, 1, 6}, {deep, 0, 1, 6}};
  LoadedPackage package(contents);
  EXPECT_EQ(Install(), 1);
  std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 3u);
  std::string cut = Narrow(kFolder) + deep.substr(0, kPathCapacity - 1 - kFolder.size());
  EXPECT_EQ(lines[1], ("Copy " + cut + "\r\n").substr(0, 255));
  // The failure line is cut at 255 units like every log line.
  EXPECT_EQ(lines[2], ("Failed to write file: " + cut + ", code: 206\r\n").substr(0, 255));
  EXPECT_EQ(EventsStartingWith({"CreateFileW"}).size(), 1u);
}

TEST_F(InstallExtractTest, ProgressFollowsThePiecesWritten) {
  tailpack::PackageContents contents = ProductPackage();
  contents.blobs = {std::vector<uint8_t>(3 * 65536, 0x5A)};
  contents.files = {{"big.bin", 0, 1, 0}};
  LoadedPackage package(contents);
  ASSERT_EQ(Install(kWizard), 0);
  EXPECT_EQ(EventsStartingWith({"WriteFile"}),
            (std::vector<std::string>(3, "WriteFile 65536")));
  std::vector<std::string> progress = EventsStartingWith({"SendMessage " + kBar});
  EXPECT_EQ(progress, (std::vector<std::string>{
                          "SendMessage " + kBar + " 0x402 1666 0",
                          "SendMessage " + kBar + " 0x402 3333 0",
                          "SendMessage " + kBar + " 0x402 5000 0",
                          "SendMessage " + kBar + " 0x402 10000 0",
                      }));
}

TEST_F(InstallExtractTest, ProgressPositionIsExactForLargeTotals) {
  const std::vector<std::pair<uint64_t, std::vector<uint32_t>>> cases = {
      {1, {0}},
      {3, {1, 1, 1}},
      {1000003, {65536, 65536, 868931}},
      {0x1234567890ull, {0xFFFFFFFFu, 12345, 0x80000000u, 0xFFFFFFFFu}},
      {(1ull << 40) + 7, {0xFFFFFFFFu, 0xFFFFFFFFu, 1}},
  };
  for (const auto& [total, pieces] : cases) {
    SetUp();
    // A package without files: InstallFiles takes the bar and starts the
    // count of written bytes at 0.
    tailpack::PackageContents contents = ProductPackage();
    contents.files.clear();
    LoadedPackage package(contents);
    ASSERT_EQ(Install(kWizard), 0);
    package.get()->total = total;
    uint64_t written = 0;
    for (uint32_t piece : pieces) {
      written += piece;
      AdvanceProgress(piece);
      unsigned __int128 exact = static_cast<unsigned __int128>(written) * 5000 / total;
      EXPECT_EQ(g_fake.events.back(), "SendMessage " + kBar + " 0x402 " +
                                          std::to_string(static_cast<uint64_t>(exact)) + " 0")
          << total << " after " << written;
    }
  }
}

TEST_F(InstallExtractTest, TimerMovesTheBarTowardNineThousand) {
  LoadedPackage package(ProductPackage());
  ASSERT_EQ(Install(kWizard), 0);
  ASSERT_NE(g_fake.timer, nullptr);
  for (const auto& [position, next] : std::vector<std::pair<int, int>>{
           {5000, 5300}, {8700, 9000}, {8999, 9299}, {9000, -1}, {9500, -1}}) {
    ResetFakePlatform();
    g_fake.onSendMessage = [position = position](void*, uint32_t message, uintptr_t, intptr_t) {
      return message == 0x408 ? position : 0;
    };
    TimerProcedure timer = ProgressTimer;
    timer(kWizard, 0x113, kProgressTimerId, 0);
    std::vector<std::string> expected = {"SendMessage " + kBar + " 0x408 0 0"};
    if (next >= 0) expected.push_back("SendMessage " + kBar + " 0x402 " + std::to_string(next) + " 0");
    EXPECT_EQ(g_fake.events, expected) << position;
  }
}

TEST_F(InstallExtractTest, PostInstallOrderOfAFreshWizardInstall) {
  LoadedPackage package(ProductPackage());
  ASSERT_EQ(Install(kWizard), 0);
  std::vector<std::string> steps = EventsStartingWith(
      {"DisableFsRedirection", "SetTimer", "Log Create", "CreateShellLink", "RegCreateKeyExA",
       "Log Config", "RunAndWait", "RegSetValueExW UninstallString", "RegCloseKey", "KillTimer",
       "SendMessage " + kBar + " 0x402 10000", "Log End", "RevertFsRedirection"});
  EXPECT_EQ(steps, (std::vector<std::string>{
                       "DisableFsRedirection",
                       "SetTimer 0x4000 255 30",
                       "Log Create desktop shortcut\r\n",
                       "CreateShellLink " + Narrow(kDesktop) + "\\Zentrova.lnk",
                       "Log Create start menu shortcut\r\n",
                       "CreateShellLink " + Narrow(kPrograms) + "\\Zentrova.lnk",
                       "RegCreateKeyExA " + std::string(kUninstallKey) + " 0x20106",
                       "Log Config: \"C:\\Program Files\\Zentrova\\zentrova.exe\" -xi:16384:\r\n",
                       "RunAndWait \"C:\\Program Files\\Zentrova\\zentrova.exe\" -xi:16384:",
                       "RegSetValueExW UninstallString type 1 size 90",
                       "RegCloseKey",
                       "KillTimer 0x4000 255",
                       "SendMessage " + kBar + " 0x402 10000 0",
                       "Log End",
                       "RevertFsRedirection " + std::to_string(0x5A7ED),
                   }));
  EXPECT_EQ(g_installSucceeded, 1);
}

TEST_F(InstallExtractTest, UpdateMakesNoShortcutsAndRedirectionIsRevertedOnlyWhenDisabled) {
  for (int disabled : {1, 0}) {
    SetUp();
    LoadedPackage package(ProductPackage());
    g_isFreshInstall = 0;
    g_fake.disableRedirectionResult = disabled;
    ASSERT_EQ(Install(), 0);
    EXPECT_TRUE(EventsStartingWith({"Log Create", "CreateShellLink", "SHGetSpecialFolderPathW"}).empty());
    EXPECT_EQ(EventsStartingWith({"RevertFsRedirection"}).size(), disabled ? 1u : 0u);
    EXPECT_EQ(LogLines().back(), "End");
  }
}

}  // namespace
