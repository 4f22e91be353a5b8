// The install sequence: closing the running product, fixing the launch
// target, and the silent install end to end over the recording fake.
#include "install/silent_install.h"
#include "package/uninstall_record.h"
#include "platform/folder_security.h"
#include "tests/unit/install_test_support.h"

namespace {

using namespace install_test;

class InstallSequenceTest : public ::testing::Test {
 protected:
  void SetUp() override { PrepareMachine(); }
};

const std::string kWmClose = "SendMessage 0x7001 0x10 0 1024";
const std::string kProductMessage = "SendMessage 0x7001 0x8066 0 0";

// The recorded running-product question (UiText 22 with the product name).
std::string RunningQuestion(const std::u16string& name) {
  std::string text = Narrow(tailpack::EnglishLanguage().texts[kTextProductRunning]);
  return "MessageBox " + text.replace(text.find("%s"), 2, Narrow(name));
}

TEST_F(InstallSequenceTest, CloseRunningInstancesRetriesAndAsksFromTheSixthAttempt) {
  struct Case {
    std::u16string name;
    bool productMessage;
  };
  for (const Case& c : std::vector<Case>{{u"Zentrova", false}, {u"Imaginary", true}}) {
    PrepareMachine();
    tailpack::PackageContents contents = ProductPackage();
    contents.settings[kProductName] = c.name;
    contents.settings[kWindowClass] = u"ZentrovaMain";
    LoadedPackage package(contents);
    g_fake.windowFinds = 7;  // the window ignores six WM_CLOSE messages
    void* owner = reinterpret_cast<void*>(0x1234);
    CloseRunningInstances(owner);

    std::vector<std::string> expected;
    for (int attempt = 1; attempt <= 7; ++attempt) {
      expected.push_back("FindWindowW ZentrovaMain (null)");
      expected.push_back(kWmClose);
      if (c.productMessage) expected.push_back(kProductMessage);
      expected.push_back("Sleep 600");
      if (attempt >= 6) expected.push_back(RunningQuestion(c.name));
    }
    expected.push_back("FindWindowW ZentrovaMain (null)");
    EXPECT_EQ(g_fake.events, expected) << Narrow(c.name);
    ASSERT_EQ(g_fake.messageBoxes.size(), 2u);
    for (const FakeMessageBox& box : g_fake.messageBoxes) {
      EXPECT_EQ(box.owner, owner);
      EXPECT_EQ(box.type, kMbOkCancel | kMbIconQuestion);
      EXPECT_EQ(box.caption, c.name);
    }
  }
}

TEST_F(InstallSequenceTest, CancelInTheQuestionEndsTheProcessWithZero) {
  tailpack::PackageContents contents = ProductPackage();
  contents.settings[kWindowTitle] = u"Zentrova";
  LoadedPackage package(contents);
  g_fake.windowFinds = 100;
  g_fake.messageBoxAnswers = {kIdCancel};
  EXPECT_THROW(CloseRunningInstances(nullptr), std::runtime_error);
  EXPECT_EQ(g_fake.events.back(), "ExitProcess 0");
  EXPECT_EQ(std::count(g_fake.events.begin(), g_fake.events.end(), "FindWindowW (null) Zentrova"), 6);
}

TEST_F(InstallSequenceTest, NoWindowSettingsMeansNoWindowSearch) {
  LoadedPackage package(ProductPackage());
  g_fake.windowFinds = 3;
  CloseRunningInstances(nullptr);
  EXPECT_TRUE(g_fake.events.empty());
}

TEST_F(InstallSequenceTest, HeldMutexAsksWithoutOwnerUntilItIsGone) {
  tailpack::PackageContents contents = ProductPackage();
  contents.settings[kMutexName] = u"ZentrovaRunning";
  LoadedPackage package(contents);
  g_fake.mutexOpens = 3;
  CloseRunningInstances(reinterpret_cast<void*>(0x1234));
  EXPECT_EQ(EventsStartingWith({"OpenMutexW", "MessageBox"}).size(), 7u);
  EXPECT_EQ(g_fake.events.back(), "OpenMutexW ZentrovaRunning");
  ASSERT_EQ(g_fake.messageBoxes.size(), 3u);
  for (const FakeMessageBox& box : g_fake.messageBoxes) EXPECT_EQ(box.owner, nullptr);

  PrepareMachine();
  g_fake.mutexOpens = 5;
  g_fake.messageBoxAnswers = {kIdOk, kIdCancel};
  EXPECT_THROW(CloseRunningInstances(nullptr), std::runtime_error);
  EXPECT_EQ(g_fake.messageBoxes.size(), 2u);
  EXPECT_EQ(g_fake.events.back(), "ExitProcess 0");
}

TEST_F(InstallSequenceTest, FixLaunchTargetDerivesOrKeepsThePackageTarget) {
  Char16 path[kPathCapacity];
  {
    LoadedPackage package(ProductPackage());
    std::memcpy(path, u"C:\\My Apps\\Zentrova\\", 42);
    ASSERT_EQ(FixLaunchTarget(path, 20), 0);
    EXPECT_EQ(Narrow(Setting(g_package, kLaunchTarget)), "C:\\My Apps\\Zentrova\\zentrova.exe");
    EXPECT_EQ(g_launchTargetFromPackage, 0);
  }
  {
    tailpack::PackageContents contents = ProductPackage();
    contents.settings[kLaunchTarget] = u"%ProgramFiles%\\Zentrova\\zentrova.exe --tray";
    LoadedPackage package(contents);
    std::memcpy(path, u"C:\\Z\\", 10);
    ASSERT_EQ(FixLaunchTarget(path, 4), 0);
    EXPECT_EQ(Narrow(Setting(g_package, kLaunchTarget)),
              "%ProgramFiles%\\Zentrova\\zentrova.exe --tray");
    EXPECT_EQ(g_launchTargetFromPackage, 1);
  }
  {
    // A folder that leaves no room for the executable's name is refused.
    LoadedPackage package(ProductPackage());
    std::u16string folder = u"C:\\" + std::u16string(250, u'f') + u"\\";
    std::memcpy(path, folder.c_str(), (folder.size() + 1) * 2);
    EXPECT_EQ(FixLaunchTarget(path, static_cast<uint32_t>(folder.size())), 1);
    EXPECT_EQ(Setting(g_package, kLaunchTarget), nullptr);
  }
}

// The silent install end to end.

TEST_F(InstallSequenceTest, SilentFreshInstallWritesEverything) {
  LoadedPackage package(ProductPackage());
  EXPECT_EQ(SilentInstall(), 0);
  EXPECT_EQ(g_isFreshInstall, 1);
  EXPECT_EQ(g_installSucceeded, 1);
  EXPECT_NE(EventIndex("CreateDirectoryW C:\\Program Files\\Zentrova"), -1);
  const std::string folder = "C:\\Program Files\\Zentrova\\";
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            "Copy " + folder + "zentrova.exe\r\n",
                            "Copy " + folder + "x64\\zentrova.sys\r\n",
                            "Copy " + folder + "language\\Zentrova_DEU.ini\r\n",
                            "Copy " + folder + "empty.dat\r\n",
                            "Copy " + folder + "logs\\placeholder\r\n",
                            "Copy " + folder + "license.txt\r\n",
                            "Create desktop shortcut\r\n",
                            "Create start menu shortcut\r\n",
                            "Config: \"" + folder + "zentrova.exe\" -xi:0:\r\n",
                            "End",
                        }));
  EXPECT_EQ(g_fake.files[u"C:\\Program Files\\Zentrova\\zentrova.exe"], Bytes("MZ x64 build"));
  EXPECT_EQ(g_fake.shellLinks.size(), 2u);
  auto& values = g_fake.registry[{kKeyWow64_64Key, kUninstallKey}];
  EXPECT_EQ(TextOf(values[u"InstallLocation"]), u"C:\\Program Files\\Zentrova\\" + std::u16string(1, 0));
  // No window exists in silent mode: no window message at all.
  EXPECT_TRUE(EventsStartingWith({"SendMessage", "SetTimer", "KillTimer"}).empty());
}

TEST_F(InstallSequenceTest, SilentUpdateInstallsIntoTheRegisteredFolder) {
  LoadedPackage package(ProductPackage());
  g_fake.directories.insert(u"D:\\Apps");
  g_fake.directories.insert(u"D:\\Apps\\Zentrova");
  auto& key = g_fake.registry[{kKeyWow64_64Key, kUninstallKey}];
  key[u"InstallLocation"] = TextValue(u"D:\\Apps\\Zentrova");  // no trailing "\"
  key[u"DisplayVersion"] = TextValue(u"2.0.9");
  EXPECT_EQ(SilentInstall(), 0);
  EXPECT_EQ(g_isFreshInstall, 0);
  EXPECT_EQ(Narrow(g_previousVersion), "2.0.9");
  EXPECT_EQ(EventIndex("CreateDirectoryW D:\\Apps\\Zentrova\\"), -1);
  EXPECT_EQ(g_fake.files.count(u"D:\\Apps\\Zentrova\\zentrova.exe"), 1u);
  EXPECT_TRUE(g_fake.shellLinks.empty());
  EXPECT_NE(EventIndex("RunAndWait \"D:\\Apps\\Zentrova\\zentrova.exe\" -xi:0:2.0.9"), -1);
  EXPECT_EQ(TextOf(key[u"InstallLocation"]), std::u16string(u"D:\\Apps\\Zentrova\\") + u'\0');
  EXPECT_EQ(TextOf(key[u"DisplayVersion"]), std::u16string(u"2.1.3") + u'\0');
}

TEST_F(InstallSequenceTest, SilentInstallStopsWithoutAUsableFolder) {
  struct Case {
    const char* label;
    std::u16string defaultFolder;
    bool updateWithoutLocation;
  };
  const std::vector<Case> cases = {
      {"update entry without location", u"", true},
      {"a level is a file", u"C:\\Users\\admin\\notes.txt\\Zentrova", false},
      {"folder names a file", u"C:\\Users\\admin\\notes.txt", false},
      {"folder too long", u"C:\\" + std::u16string(256, u'z'), false},
      {"nothing resolved", u"%LocalAppData%\\Z", false},
  };
  for (const Case& c : cases) {
    PrepareMachine();
    g_fake.files[u"C:\\Users\\admin\\notes.txt"] = Bytes("x");
    if (c.defaultFolder == u"%LocalAppData%\\Z") g_fake.specialFolders.clear();
    tailpack::PackageContents contents = ProductPackage();
    contents.settings[kDefaultFolder] = c.defaultFolder;
    LoadedPackage package(contents);
    if (c.updateWithoutLocation) {
      g_fake.registry[{kKeyWow64_64Key, kUninstallKey}][u"DisplayVersion"] = TextValue(u"1.0");
    }
    EXPECT_EQ(SilentInstall(), kExitInstallFailed) << c.label;
    EXPECT_TRUE(EventsStartingWith({"CreateFileW", "FindWindowW", "RegCreateKeyExA"}).empty())
        << c.label;
    EXPECT_TRUE(g_fake.logLines.empty()) << c.label;
    EXPECT_EQ(g_installSucceeded, 0) << c.label;
  }
}

TEST_F(InstallSequenceTest, MainExecutableThatDoesNotFitTheFolderStopsTheInstall) {
  // The package's own LaunchTarget lets the launch-target step pass; the
  // configuration command, the uninstall entry and the shortcuts would get a
  // cut name. The folder "C:\Program Files\Zentrova\" is 26 units.
  const size_t folder = 26;
  struct Case {
    size_t nameLength;  // of MainExecutable, ".exe" included
    int result;
  };
  for (const Case& c : std::vector<Case>{{kPathCapacity - folder, 1},
                                         {kPathCapacity - folder + 20, 1},
                                         {kPathCapacity - folder - 1, 0}}) {
    SCOPED_TRACE(c.nameLength);
    PrepareMachine();
    tailpack::PackageContents contents = ProductPackage();
    contents.settings[kLaunchTarget] = u"%ProgramFiles%\\Zentrova\\zentrova.exe";
    contents.settings[kMainExecutable] = std::u16string(c.nameLength - 4, u'm') + u".exe";
    LoadedPackage package(contents);
    EXPECT_EQ(FitsMainExecutable(static_cast<uint32_t>(folder)), c.result == 0 ? 1 : 0);
    EXPECT_EQ(SilentInstall(), c.result == 0 ? 0u : kExitInstallFailed);
    bool wrote = !EventsStartingWith({"CreateFileW", "CreateDirectoryW", "RegCreateKeyExA", "RunAndWait"}).empty();
    EXPECT_EQ(wrote, c.result == 0);
    EXPECT_EQ(g_installSucceeded, c.result == 0 ? 1 : 0);
  }
}

TEST_F(InstallSequenceTest, SilentInstallUsesAnExistingFolderWithoutAsking) {
  tailpack::PackageContents contents = ProductPackage();
  contents.settings[kDefaultFolder] = u"D:\\Tools\\%USERNAME%";
  LoadedPackage package(contents);
  g_fake.directories.insert(u"D:\\Tools");
  g_fake.directories.insert(u"D:\\Tools\\admin");
  EXPECT_EQ(SilentInstall(), 0);
  EXPECT_TRUE(g_fake.messageBoxes.empty());
  EXPECT_EQ(EventIndex("CreateDirectoryW D:\\Tools\\admin\\"), -1);
  EXPECT_EQ(g_fake.files.count(u"D:\\Tools\\admin\\license.txt"), 1u);
}

TEST_F(InstallSequenceTest, SilentInstallClosesTheProductBeforeMakingAnything) {
  tailpack::PackageContents contents = ProductPackage();
  contents.settings[kWindowClass] = u"ZentrovaMain";
  contents.settings[kMutexName] = u"ZentrovaRunning";
  LoadedPackage package(contents);
  g_silent = 1;
  g_fake.windowFinds = 1;
  g_fake.mutexOpens = 1;
  EXPECT_EQ(SilentInstall(), 0u);
  int close = EventIndex(kWmClose);
  int mutex = EventIndex("OpenMutexW ZentrovaRunning");
  int folder = EventIndex("CreateDirectoryW C:\\Program Files\\Zentrova");
  int firstFile = EventIndex("CreateFileW C:\\Program Files\\Zentrova\\zentrova.exe new");
  EXPECT_LT(close, mutex);
  EXPECT_LT(mutex, folder);
  EXPECT_LT(folder, firstFile);
  EXPECT_TRUE(g_fake.messageBoxes.empty());
}

// Unattended, a product that will not close gets 60 seconds (100 pauses of
// 600 ms, the window's and the mutex's together), never a question; when it
// is still there the run ends with exit code 1 and nothing made.
TEST_F(InstallSequenceTest, SilentRunWaitsAMinuteForTheProductThenStopsWithoutAsking) {
  struct Case {
    const char* label;
    int windowFinds, mutexOpens;
    uint32_t result;
    int pauses;
  } cases[] = {
      {"window for good", 1000, 0, kExitGateStopped, 100},
      {"mutex for good", 0, 1000, kExitGateStopped, 100},
      {"window, then mutex for good", 30, 1000, kExitGateStopped, 100},
      {"window closes in the last pause", 100, 0, 0, 100},
      {"window one pause too long", 101, 0, kExitGateStopped, 100},
      {"mutex goes in the last pause", 40, 60, 0, 100},
      {"mutex one pause too long", 40, 61, kExitGateStopped, 100},
      {"closes at once", 1, 1, 0, 2},
  };
  for (const Case& c : cases) {
    PrepareMachine();
    tailpack::PackageContents contents = ProductPackage();
    contents.settings[kWindowClass] = u"ZentrovaMain";
    contents.settings[kMutexName] = u"ZentrovaRunning";
    LoadedPackage package(contents);
    g_silent = 1;
    g_fake.windowFinds = c.windowFinds;
    g_fake.mutexOpens = c.mutexOpens;
    EXPECT_EQ(SilentInstall(), c.result) << c.label;
    EXPECT_TRUE(g_fake.messageBoxes.empty()) << c.label;
    EXPECT_EQ(std::count(g_fake.events.begin(), g_fake.events.end(), "Sleep 600"), c.pauses) << c.label;
    bool made = !EventsStartingWith({"CreateFileW", "CreateDirectoryW", "RegCreateKeyExA", "RunAndWait"}).empty();
    EXPECT_EQ(made, c.result == 0) << c.label;
    EXPECT_EQ(g_fake.standardError,
              c.result == 0 ? "" : "The product is still running; nothing was changed.\n") << c.label;
  }
}

// Every folder the installer creates carries this descriptor: read back as
// Windows reads it, it holds a protected DACL (nothing inherited from C:\)
// whose only write access goes to SYSTEM and Administrators.
TEST(FolderSecurity, TheDescriptorGrantsChangesToSystemAndAdministratorsOnly) {
  const uint8_t* d = kAdministratorsOnlyFolder;
  const size_t size = sizeof kAdministratorsOnlyFolder;
  auto u16 = [&](size_t at) { return static_cast<uint32_t>(d[at] | d[at + 1] << 8); };
  auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
  ASSERT_EQ(d[0], 1);                       // revision
  EXPECT_EQ(u16(2), 0x9004u);               // self-relative, DACL present and protected
  EXPECT_EQ(u32(4), 0u);                    // no owner: the creator's default (Administrators)
  EXPECT_EQ(u32(8), 0u);                    // no group
  EXPECT_EQ(u32(12), 0u);                   // no SACL
  const size_t acl = u32(16);
  ASSERT_EQ(acl, 20u);
  EXPECT_EQ(d[acl], 2);                     // ACL revision
  ASSERT_EQ(acl + u16(acl + 2), size);      // the ACL ends the descriptor
  const uint32_t count = u16(acl + 4);
  std::vector<std::pair<std::string, uint32_t>> aces;
  size_t at = acl + 8;
  for (uint32_t i = 0; i < count; ++i) {
    ASSERT_LE(at + 8, size);
    EXPECT_EQ(d[at], 0) << i;               // ACCESS_ALLOWED_ACE_TYPE
    EXPECT_EQ(d[at + 1], 0x03) << i;        // inherited by files and subfolders, applies here too
    const size_t end = at + u16(at + 2);
    ASSERT_LE(end, size);
    const size_t sid = at + 8;
    ASSERT_EQ(d[sid], 1);
    std::string text = "S-1-" + std::to_string(d[sid + 7]);
    for (uint32_t sub = 0; sub < d[sid + 1]; ++sub) text += "-" + std::to_string(u32(sid + 8 + 4 * sub));
    ASSERT_EQ(sid + 8 + 4 * d[sid + 1], end) << text;
    aces.emplace_back(text, u32(at + 4));
    at = end;
  }
  EXPECT_EQ(at, size);
  const std::vector<std::pair<std::string, uint32_t>> expected = {
      {"S-1-5-18", 0x1F01FF}, {"S-1-5-32-544", 0x1F01FF}, {"S-1-5-32-545", 0x1200A9}};
  EXPECT_EQ(aces, expected);
  // Read and execute holds no right to write, append, delete or change
  // permissions.
  EXPECT_EQ(0x1200A9u & (0x2 | 0x4 | 0x10 | 0x40 | 0x100 | 0x10000 | 0x40000 | 0x80000), 0u);
}

}  // namespace

namespace {

// A record as a package built with the generated uninstaller installs it.
std::vector<uint8_t> RecordOf(const std::u16string& product) {
  tailpack::UninstallRecordContents r;
  r.settings[kRecordProductName] = product;
  r.languages.resize(1);
  r.files = {"a.exe"};
  return tailpack::BuildUninstallRecord(r);
}

// Another product's uninstall records in the folder refuse it before
// anything is made or written: its uninstaller would remove this product's
// files, and this one's the other's. This product's own records (an update)
// and other files in the uninstall folder do not.
TEST_F(InstallSequenceTest, SilentInstallRefusesAFolderWithAnotherProductsRecords) {
  const std::u16string folder = u"C:\\Program Files\\Zentrova\\";
  struct Case {
    const char* label;
    std::map<std::u16string, std::vector<uint8_t>> files;  // under "uninstall\"
    bool refused;
  };
  const std::vector<Case> cases = {
      {"this product's folder", {{u"Zentrova\\1111111111111111.tpr", RecordOf(u"Zentrova")}}, false},
      {"this product's folder, other case", {{u"ZENTROVA\\1111111111111111.tpr", RecordOf(u"zentrova")}}, false},
      {"another product's folder", {{u"Ventra\\1111111111111111.tpr", RecordOf(u"Ventra")}}, true},
      {"another product's folder beside this one's",
       {{u"Zentrova\\1111111111111111.tpr", RecordOf(u"Zentrova")}, {u"Ventra\\2.tpr", RecordOf(u"Ventra")}},
       true},
      {"a folder with no record", {{u"Ventra\\notes.txt", Bytes("mine")}}, false},
      {"a name that starts with this one's", {{u"Zentrova Pro\\1.tpr", RecordOf(u"Zentrova Pro")}}, true},
      {"an earlier version's record of this product", {{u"1111111111111111.tpr", RecordOf(u"ZENTROVA")}}, false},
      {"an earlier version's record of another product", {{u"1111111111111111.tpr", RecordOf(u"Ventra")}}, true},
      {"an earlier version's record of a longer name", {{u"1.tpr", RecordOf(u"Zentrova Pro")}}, true},
      {"a record too short to tell", {{u"1.tpr", Bytes("TPUR")}}, true},
      {"another file where records were kept", {{u"uninstall.exe", Bytes("MZ")}}, false},
  };
  for (const Case& c : cases) {
    PrepareMachine();
    LoadedPackage package(ProductPackage());
    g_silent = 1;
    g_fake.directories.insert({u"C:\\Program Files\\Zentrova", u"C:\\Program Files\\Zentrova\\uninstall"});
    for (const auto& [name, bytes] : c.files) {
      std::u16string path = folder + u"uninstall\\" + name;
      g_fake.files[path] = bytes;
      size_t cut = path.rfind(u'\\');
      g_fake.directories.insert(path.substr(0, cut));
    }
    auto before = g_fake.files;
    EXPECT_EQ(SilentInstall(), c.refused ? 2u : 0u) << c.label;
    EXPECT_EQ(g_fake.files.count(folder + u"zentrova.exe"), c.refused ? 0u : 1u) << c.label;
    if (c.refused) {
      EXPECT_EQ(g_fake.files, before) << c.label;
      EXPECT_TRUE(EventsStartingWith({"CreateDirectoryW", "CreateFileW", "RegCreateKey", "FindWindowW"}).empty())
          << c.label;
      EXPECT_TRUE(g_fake.messageBoxes.empty()) << c.label;
    }
    for (const auto& [name, bytes] : c.files) EXPECT_EQ(g_fake.files[folder + u"uninstall\\" + name], bytes) << c.label;
  }
}

}  // namespace
