// The generated uninstaller over the recording fake: the records it finds
// in the product's uninstall folder, the removal done by its temporary copy
// (run inline as the started process) with the result read back over the
// pipe, and the removal from the uninstaller itself when no copy can run.
#include <cstdio>
#include <functional>

#include "package/uninstall_record.h"
#include "tests/unit/install_test_support.h"
#include "uninstall/uninstaller.h"

namespace {

using namespace install_test;
using tailpack::UninstallRecordContents;
using Events = std::vector<std::string>;
using Paths = std::set<std::u16string>;

const std::u16string kFolder = u"C:\\Program Files\\Zentrova\\";
const std::u16string kUninstaller = kFolder + u"uninstall\\Zentrova\\uninstall.exe";
// The fake's first random bytes are 00 01 ... 07.
const std::u16string kCopyFolder = u"C:\\Temp\\tailpack-0001020304050607";
const std::u16string kCopy = kCopyFolder + u"\\uninstall.exe";
const std::string kPrivateAccess = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
const std::u16string kProductFolder = kFolder.substr(0, kFolder.size() - 1);  // as the fake lists folders
const std::string kF = Narrow(kFolder);
const std::string kNoRecord = "The uninstall information of this product is missing or damaged.";

std::u16string At(const std::string& name) { return kFolder + std::u16string(name.begin(), name.end()); }
const std::u16string kRecordFile = At("uninstall\\Zentrova\\1111111111111111.tpr");
std::string Box(const std::string& text, uint32_t type) { return text + " " + std::to_string(type); }

// A record of Zentrova; `tag` marks its question, to tell records apart.
UninstallRecordContents Record(std::vector<std::string> files, std::vector<std::string> folders,
                               const std::u16string& tag = u"") {
  UninstallRecordContents r;
  r.flags = kRecordFlag64BitView;
  r.settings[kRecordProductName] = u"Zentrova";
  UninstallRecordContents::Language english;
  english.texts = {tag + u"Remove %s?", u"%s was removed.", u"%s could not be removed completely:",
                   u"%s is running.", u"Administrators only."};
  r.languages = {english};
  r.files = std::move(files);
  r.folders = std::move(folders);
  return r;
}

const UninstallRecordContents kVersion1 = Record({"zentrova.exe", "x64\\zentrova.sys", "license.txt"}, {"x64"});
const UninstallRecordContents kVersion2 =
    Record({"zentrova.exe", "bin\\tools\\helper.exe", "license.txt"}, {"bin\\tools", "bin"}, u"New: ");

// What removing kVersion1, installed as record "1111111111111111", does.
const Events kVersion1Removal = {
    "DeleteFileW " + kF + "zentrova.exe",
    "DeleteFileW " + kF + "x64\\zentrova.sys",
    "DeleteFileW " + kF + "license.txt",
    "DeleteFileW " + Narrow(kDesktop) + "\\Zentrova.lnk",
    "DeleteFileW " + Narrow(kPrograms) + "\\Zentrova.lnk",
    "RemoveDirectoryW " + kF + "x64",
    "RegDeleteKeyExA " + std::string(kUninstallKey) + " 0x100",
    "DeleteFileW " + kF + "uninstall\\Zentrova\\1111111111111111.tpr",
};

class UninstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PrepareMachine();
    g_package = nullptr;
    g_fake.ownPath = kUninstaller;
    g_fake.files[kUninstaller] = Bytes("MZ uninstaller");
    g_fake.files[kDesktop + u"\\Zentrova.lnk"] = Bytes("link");
    g_fake.files[kPrograms + u"\\Zentrova.lnk"] = Bytes("link");
    g_fake.directories.insert({u"C:\\Temp", kProductFolder, kFolder + u"uninstall", kFolder + u"uninstall\\Zentrova"});
    g_fake.registry[{kKeyWow64_64Key, kUninstallKey}][u"InstallLocation"] = TextValue(kFolder);
    g_fake.registry[{kKeyWow64_64Key, kUninstallKey}][u"UninstallString"] =
        TextValue(u"\"" + kFolder + u"uninstall\\Zentrova\\uninstall.exe\"");
    // The copy is another process: its own path, its own globals.
    g_fake.onStartProcess = [](const std::u16string& command) {
      Catalogue* package = g_package;
      MachineState machine = g_machine;
      uint32_t language = g_selectedLanguage;
      g_fake.ownPath = command.substr(1, command.find(u'"', 1) - 1);
      uint32_t code = RunUninstaller(FindCommandTail16(command.c_str()));
      g_fake.ownPath = kUninstaller;
      g_package = package;
      g_machine = machine;
      g_selectedLanguage = language;
      return code;
    };
  }

  // Installs what `record` names and the record, as "uninstall\<name>.tpr"
  // written at `time`.
  void Install(const UninstallRecordContents& record, const std::string& name = "1111111111111111",
               uint32_t time = 1) {
    for (const std::string& file : record.files) g_fake.files[At(file)] = Bytes(file);
    for (const std::string& folder : record.folders) g_fake.directories.insert(At(folder));
    std::u16string path = At("uninstall\\Zentrova\\" + name + ".tpr");
    g_fake.files[path] = tailpack::BuildUninstallRecord(record);
    g_fake.writeTimes[path] = {time, 0};
  }

  static Events Removals() {
    return EventsStartingWith({"DeleteFileW", "MoveFileExW", "RemoveDirectoryW", "RegDelete"});
  }
  // The removals with the copy's start and the result passing through the pipe.
  static Events Effects() {
    return EventsStartingWith({"CreateDirectoryW C:\\Temp", "CreateFileW", "CloseHandle held", "CreateProcessW",
                               "DeleteFileW", "MoveFileExW", "RemoveDirectoryW", "RegDelete", "WriteFile",
                               "ReadFile pipe"});
  }
  static Paths Files() {
    Paths out;
    for (const auto& [path, bytes] : g_fake.files) out.insert(path);
    return out;
  }
  // The copy folders left in the temporary folder.
  static Paths CopyFolders() {
    Paths out;
    for (const std::u16string& folder : g_fake.directories) {
      if (folder.rfind(u"C:\\Temp\\", 0) == 0) out.insert(folder);
    }
    return out;
  }
  static Paths PendingDeletes() { return Paths(g_fake.pendingDeletes.begin(), g_fake.pendingDeletes.end()); }
  static Events Boxes() {
    Events out;
    for (const FakeMessageBox& box : g_fake.messageBoxes) out.push_back(Box(Narrow(box.text), box.type));
    return out;
  }
};

TEST_F(UninstallerTest, QuietUninstallRemovesEverythingThroughTheCopy) {
  Install(kVersion1);
  EXPECT_EQ(RunUninstaller(u"-s"), kExitRemoved);
  // The copy's folder, the copy written new and held for its process, the
  // process started, the handle handed over.
  Events expected = {"CreateDirectoryW " + Narrow(kCopyFolder) + " " + kPrivateAccess,
                     "CreateFileW " + Narrow(kCopy) + " new",
                     "WriteFile 14",
                     "CreateFileW " + Narrow(kCopy) + " existing read-share delete-on-close inherited",
                     "CreateProcessW \"" + Narrow(kCopy) + "\" --remove 1200 12290 " + Narrow(kUninstaller) + " inherit"};
  expected.insert(expected.end(), kVersion1Removal.begin(), kVersion1Removal.end());
  expected.insert(expected.end(), {"WriteFile pipe 10", "DeleteFileW " + Narrow(kUninstaller),
                                   "RemoveDirectoryW " + kF + "uninstall\\Zentrova",
                                   "RemoveDirectoryW " + kF + "uninstall", "RemoveDirectoryW " + kF,
                                   // Kept by Windows past its end, the copy goes at restart.
                                   "MoveFileExW " + Narrow(kCopy) + " delete at reboot",
                                   "MoveFileExW " + Narrow(kCopyFolder) + " delete at reboot",
                                   "RemoveDirectoryW " + Narrow(kCopyFolder) + " at exit",
                                   "CloseHandle held " + Narrow(kCopy), "ReadFile pipe 10"});
  EXPECT_EQ(Effects(), expected);
  // The copy and its folder go when the copy's process ends.
  EXPECT_EQ(Files(), Paths{kCopy});
  EXPECT_EQ(g_fake.files[kCopy], Bytes("MZ uninstaller"));
  EXPECT_EQ(g_fake.deleteOnClose, Paths{kCopy});
  EXPECT_TRUE(g_fake.heldFiles.empty());
  EXPECT_EQ(g_fake.foldersRemovedAtExit, Paths{kCopyFolder});
  EXPECT_EQ(g_fake.protectedFolders, (std::map<std::u16string, std::u16string>{
                                         {kCopyFolder, u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"}}));
  EXPECT_EQ(g_fake.directories.count(kProductFolder), 0u);
  EXPECT_EQ(g_fake.registry.count({kKeyWow64_64Key, kUninstallKey}), 0u);
  EXPECT_EQ(PendingDeletes(), (Paths{kCopy, kCopyFolder}));
  EXPECT_TRUE(g_fake.messageBoxes.empty());
}

TEST_F(UninstallerTest, UpdatedProductLosesTheFilesOfBothRecordsOnce) {
  struct Case {
    std::string version1Name, version2Name;  // the listing goes by name
    Events folders;
  };
  const std::vector<Case> cases = {
      {"1111111111111111", "2222222222222222", {"bin\\tools", "x64", "bin"}},
      {"2222222222222222", "1111111111111111", {"bin\\tools", "bin", "x64"}},
  };
  for (const Case& c : cases) {
    SetUp();
    Install(kVersion1, c.version1Name, 1);
    Install(kVersion2, c.version2Name, 2);
    g_fake.messageBoxAnswers = {kIdYes, kIdOk};
    EXPECT_EQ(RunUninstaller(u""), kExitRemoved) << c.version1Name;
    // The newer record speaks for the product.
    EXPECT_EQ(Boxes(), (Events{Box("New: Remove Zentrova?", kMbYesNo | kMbIconQuestion),
                               Box("Zentrova was removed.", kMbIconInformation)}));
    for (const char* name : {"zentrova.exe", "license.txt", "x64\\zentrova.sys", "bin\\tools\\helper.exe",
                             "uninstall\\Zentrova\\1111111111111111.tpr", "uninstall\\Zentrova\\2222222222222222.tpr"}) {
      EXPECT_EQ(std::count(g_fake.events.begin(), g_fake.events.end(), "DeleteFileW " + kF + name), 1) << name;
    }
    Events folders;
    for (const std::string& event : EventsStartingWith({"RemoveDirectoryW " + kF})) {
      folders.push_back(event.substr(event.find(kF) + kF.size()));
    }
    Events expected = c.folders;
    expected.insert(expected.end(), {"uninstall\\Zentrova", "uninstall", ""});  // the copy's, once it has deleted the uninstaller
    EXPECT_EQ(folders, expected) << c.version1Name;
    EXPECT_EQ(Files(), Paths{kCopy});
  }
}

TEST_F(UninstallerTest, FileInUseIsDeletedAtRestartAndNamedOnce) {
  for (bool silent : {true, false}) {
    SetUp();
    Install(kVersion1, "1111111111111111", 1);
    Install(kVersion2, "2222222222222222", 2);  // names license.txt too
    g_fake.lockedFiles = {At("license.txt")};
    g_fake.messageBoxAnswers = {kIdYes, kIdOk};
    EXPECT_EQ(RunUninstaller(silent ? u"/S" : u""), kExitIncomplete);
    EXPECT_EQ(PendingDeletes(), (Paths{At("license.txt"), kCopy, kCopyFolder}));
    // 8 bytes of counts, then "\nlicense.txt" and its terminator.
    EXPECT_EQ(EventsStartingWith({"WriteFile pipe", "ReadFile pipe"}),
              (Events{"WriteFile pipe 34", "ReadFile pipe 34"}));
    Events boxes = {Box("New: Remove Zentrova?", kMbYesNo | kMbIconQuestion),
                    Box("Zentrova could not be removed completely:\nlicense.txt", kMbIconWarning)};
    EXPECT_EQ(Boxes(), silent ? Events{} : boxes);
    EXPECT_EQ(Files(), (Paths{kCopy, At("license.txt")}));
    EXPECT_EQ(g_fake.directories.count(kProductFolder), 1u);
  }
}

// What the uninstaller could not honour makes the removal incomplete
// (exit code 2, named in the closing box), never a success: records it
// could not load stay with the files they name, and so does a recorded file
// whose path does not fit.
TEST_F(UninstallerTest, WhatCannotBeHonouredIsReportedAsLeft) {
  const std::string longName = std::string(240, 'n') + ".dat";
  struct Case {
    const char* label;
    std::function<void()> install;
    std::string box;   // the closing box's text
    Paths staying;     // files left besides the copy
  } cases[] = {
      {"33 records: the one past the limit stays",
       [this] {
         for (int i = 0; i < 33; ++i) {
           char name[17];
           std::snprintf(name, sizeof name, "%016d", i);
           Install(kVersion1, name, i == 32 ? 100 : 1);
         }
       },
       "Zentrova could not be removed completely:\nuninstall\\Zentrova\\*.tpr", Paths{At("uninstall\\Zentrova\\0000000000000032.tpr")}},
      {"a damaged record beside a sound one",
       [this] {
         Install(kVersion1);
         g_fake.files[At("uninstall\\Zentrova\\2222222222222222.tpr")] = Bytes("TPUR damaged");
       },
       "Zentrova could not be removed completely:\nuninstall\\Zentrova\\*.tpr", Paths{At("uninstall\\Zentrova\\2222222222222222.tpr")}},
      {"a recorded name too long for a path",
       [this, longName] { Install(Record({"zentrova.exe", longName}, {})); },
       "Zentrova could not be removed completely:\n" + longName.substr(0, kPathCapacity - kFolder.size() - 1),
       Paths{At(longName)}},
  };
  for (const Case& c : cases) {
    SetUp();
    c.install();
    g_fake.messageBoxAnswers = {kIdYes, kIdOk};
    EXPECT_EQ(RunUninstaller(u""), kExitIncomplete) << c.label;
    ASSERT_EQ(g_fake.messageBoxes.size(), 2u) << c.label;
    EXPECT_EQ(Narrow(g_fake.messageBoxes[1].text), c.box) << c.label;
    Paths left = c.staying;
    left.insert(kCopy);
    EXPECT_EQ(Files(), left) << c.label;
  }
}

// A 32-bit uninstaller on 64-bit Windows removes the files the installer
// wrote: WOW64 redirection is off from the first removal to the last folder.
TEST_F(UninstallerTest, RedirectionIsOffWhileFilesAndFoldersGo) {
  Install(kVersion1);
  EXPECT_EQ(RunUninstaller(u"-s"), kExitRemoved);
  Events order = EventsStartingWith({"DisableFsRedirection", "RevertFsRedirection", "DeleteFileW", "RemoveDirectoryW",
                                     "RegDelete", "SHGetSpecialFolderPathW"});
  Events expected = {"SHGetSpecialFolderPathW 16 0", "SHGetSpecialFolderPathW 23 0", "DisableFsRedirection"};
  expected.insert(expected.end(), kVersion1Removal.begin(), kVersion1Removal.begin() + 6);
  expected.insert(expected.end(), {"RevertFsRedirection 370669", kVersion1Removal[6], kVersion1Removal[7]});
  expected.resize(std::min(expected.size(), order.size()));
  EXPECT_EQ(Events(order.begin(), order.begin() + expected.size()), expected);
}

// A copy that ends without its report, whatever its exit code (a program
// put in the copy's place exits 0), has removed nothing anyone can vouch
// for: exit code 2, never "removed".
TEST_F(UninstallerTest, ACopyThatEndsWithoutReportingIsNotARemoval) {
  for (uint32_t code : {0u, 1u, 2u}) {
    SetUp();
    Install(kVersion1);
    Paths before = Files();
    g_fake.onStartProcess = [code](const std::u16string&) { return code; };
    g_fake.messageBoxAnswers = {kIdYes, kIdOk};
    EXPECT_EQ(RunUninstaller(u""), kExitIncomplete) << code;
    ASSERT_EQ(g_fake.messageBoxes.size(), 2u);
    EXPECT_EQ(Narrow(g_fake.messageBoxes[1].text), "Zentrova could not be removed completely:") << code;
    before.insert(kCopy);
    EXPECT_EQ(Files(), before) << code;
  }
}

TEST_F(UninstallerTest, FilesTheUserAddedStayWithTheirFolders) {
  Install(kVersion1);
  g_fake.files[At("notes.txt")] = Bytes("mine");
  g_fake.files[At("x64\\mine.cfg")] = Bytes("mine");
  EXPECT_EQ(RunUninstaller(u"-s"), kExitRemoved);
  EXPECT_EQ(Files(), (Paths{kCopy, At("notes.txt"), At("x64\\mine.cfg")}));
  EXPECT_EQ(g_fake.directories.count(kProductFolder), 1u);
  EXPECT_EQ(g_fake.directories.count(At("x64")), 1u);
  EXPECT_EQ(g_fake.directories.count(At("uninstall\\Zentrova")), 0u);
  EXPECT_EQ(g_fake.directories.count(At("uninstall")), 0u);
}

TEST_F(UninstallerTest, UninstallKeyGoesOnlyWhenItNamesThisUninstaller) {
  const std::u16string self = u"\"" + kFolder + u"uninstall\\Zentrova\\uninstall.exe\"";
  const std::u16string kNone = u"(none)", kNoKey = u"(no key)";
  struct Case {
    const char* label;
    std::u16string command;  // UninstallString
    bool deleted;
  } cases[] = {
      {"this uninstaller", self, true},
      {"this uninstaller, other case", u"\"c:\\program files\\ZENTROVA\\UNINSTALL\\zentrova\\Uninstall.exe\"", true},
      {"the shared uninstaller of earlier versions", u"\"C:\\Program Files\\Zentrova\\uninstall\\uninstall.exe\"", false},
      {"another product's in this folder", u"\"C:\\Program Files\\Zentrova\\uninstall\\Ventra\\uninstall.exe\"", false},
      {"this uninstaller with arguments", self + u" /x", true},
      {"another folder's", u"\"D:\\Zentrova\\uninstall\\Zentrova\\uninstall.exe\"", false},
      {"a folder inside this one", u"\"C:\\Program Files\\Zentrova\\x64\\uninstall\\Zentrova\\uninstall.exe\"", false},
      {"the product's own uninstaller", u"\"C:\\Program Files\\Zentrova\\unins000.exe\"", false},
      {"a longer name", self.substr(0, self.size() - 1) + u"2\"", false},
      {"unquoted", kFolder + u"uninstall\\Zentrova\\uninstall.exe", false},
      {"no UninstallString", kNone, false},
      {"no key", kNoKey, false},
  };
  for (const Case& c : cases) {
    SetUp();
    Install(kVersion1);
    auto& values = g_fake.registry[{kKeyWow64_64Key, kUninstallKey}];
    values.erase(u"UninstallString");
    if (c.command != kNone && c.command != kNoKey) values[u"UninstallString"] = TextValue(c.command);
    if (c.command == kNoKey) g_fake.registry.clear();
    EXPECT_EQ(RunUninstaller(u"-s"), kExitRemoved) << c.label;
    EXPECT_EQ(EventIndex("RegDeleteKeyExA " + std::string(kUninstallKey) + " 0x100") >= 0, c.deleted) << c.label;
    EXPECT_EQ(g_fake.registry.count({kKeyWow64_64Key, kUninstallKey}), c.deleted || c.command == kNoKey ? 0u : 1u)
        << c.label;
  }
}

TEST_F(UninstallerTest, WithoutACopyTheUninstallerRemovesItselfAtRestart) {
  struct Case {
    const char* label;
    std::function<void()> fault;
    bool started;  // CreateProcessW was tried
  };
  const std::vector<Case> cases = {
      {"no temporary folder", [] { g_fake.tempFolder.clear(); }, false},
      {"no random bytes", [] { g_fake.randomWorks = false; }, false},
      {"every name taken",
       [] {
         for (int call = 0; call < 8; ++call) {
           char name[17];
           for (int i = 0; i < 8; ++i) std::snprintf(name + 2 * i, 3, "%02x", call * 16 + i);
           g_fake.directories.insert(u"C:\\Temp\\tailpack-" + std::u16string(name, name + 16));
         }
       },
       false},
      {"copy cannot be created", [] { g_fake.createErrors[kCopy] = 5; }, false},
      {"copy written short", [] { g_fake.diskSpace = 3; }, false},
      {"copy changed before it is held",
       [] { g_fake.onHold = [](const std::u16string& path) { g_fake.files[path] = Bytes("MZ other"); }; }, false},
      {"copy gone before it is held",
       [] { g_fake.onHold = [](const std::u16string& path) { g_fake.files.erase(path); }; }, false},
      {"no pipe", [] { g_fake.pipeCreates = false; }, false},
      {"copy does not start", [] { g_fake.onStartProcess = nullptr; }, true},
  };
  for (const Case& c : cases) {
    SetUp();
    Install(kVersion1);
    c.fault();
    Paths taken = CopyFolders();
    EXPECT_EQ(RunUninstaller(u"-s"), kExitRemoved) << c.label;
    Events expected = kVersion1Removal;
    for (const std::string& path : {Narrow(kUninstaller), kF + "uninstall\\Zentrova", kF + "uninstall", kF}) {
      expected.push_back("MoveFileExW " + path + " delete at reboot");
    }
    Events removals;
    for (const std::string& event : Removals()) {
      if (event.find("C:\\Temp") == std::string::npos) removals.push_back(event);
    }
    EXPECT_EQ(removals, expected) << c.label;
    // No copy is left, nor a folder made for one.
    EXPECT_EQ(Files(), Paths{kUninstaller}) << c.label;
    EXPECT_EQ(CopyFolders(), taken) << c.label;
    EXPECT_EQ(g_fake.startedCommands.size(), c.started ? 1u : 0u) << c.label;
    EXPECT_TRUE(g_fake.deleteOnClose.empty()) << c.label;
    EXPECT_TRUE(g_fake.heldFiles.empty()) << c.label;
    EXPECT_EQ(g_fake.registry.count({kKeyWow64_64Key, kUninstallKey}), 0u) << c.label;
  }
}

// The copy leaves its own folder to go as it ends, and only a copy folder:
// run from anywhere else, "--remove" leaves the folder it runs from alone.
TEST_F(UninstallerTest, TheCopyLeavesOnlyACopyFolderToGo) {
  struct Case {
    std::u16string ownPath;
    bool copyFolder;
  } cases[] = {
      {kCopy, true},
      {u"C:\\Temp\\TAILPACK-ABCDEF0123456789\\uninstall.exe", true},
      {u"C:\\Temp\\other\\uninstall.exe", false},
      {u"C:\\Temp\\tailpack\\uninstall.exe", false},
      {u"C:\\Temp\\my-tailpack-x\\uninstall.exe", false},
  };
  for (const Case& c : cases) {
    SetUp();
    Install(kVersion1);
    g_fake.ownPath = c.ownPath;
    std::u16string command = u"--remove 1200 12290 " + kUninstaller;
    EXPECT_EQ(RunUninstaller(command.c_str()), kExitRemoved) << Narrow(c.ownPath);
    std::u16string folder = c.ownPath.substr(0, c.ownPath.rfind(u'\\'));
    EXPECT_EQ(g_fake.foldersRemovedAtExit, c.copyFolder ? Paths{folder} : Paths{}) << Narrow(c.ownPath);
    EXPECT_EQ(PendingDeletes(), c.copyFolder ? (Paths{c.ownPath, folder}) : Paths{}) << Narrow(c.ownPath);
    // The product went either way.
    EXPECT_EQ(g_fake.files.count(At("zentrova.exe")), 0u) << Narrow(c.ownPath);
    EXPECT_EQ(g_fake.files.count(kUninstaller), 0u) << Narrow(c.ownPath);
  }
}

// The copy's folder takes a name nobody has: a name already there, folder
// or file, is passed over for new random bytes; no folder is ever opened
// that this run did not make.
TEST_F(UninstallerTest, TheCopyFolderIsNewAndPrivate) {
  const std::u16string second = u"C:\\Temp\\tailpack-1011121314151617";
  const std::u16string third = u"C:\\Temp\\tailpack-2021222324252627";
  struct Case {
    const char* label;
    void (*prepare)();
    std::u16string used;
  } cases[] = {
      {"free name", [] {}, kCopyFolder},
      {"folder of that name",
       [] {
         g_fake.directories.insert(kCopyFolder);
         g_fake.files[kCopy] = Bytes("planted");
       },
       second},
      {"file of that name", [] { g_fake.files[kCopyFolder] = Bytes("planted"); }, second},
      {"two names taken",
       [] { g_fake.directories.insert({kCopyFolder, u"C:\\Temp\\tailpack-1011121314151617"}); }, third},
  };
  for (const Case& c : cases) {
    SetUp();
    Install(kVersion1);
    c.prepare();
    std::map<std::u16string, std::vector<uint8_t>> planted;
    for (const auto& [path, bytes] : g_fake.files) {
      if (path.rfind(u"C:\\Temp\\", 0) == 0) planted[path] = bytes;
    }
    EXPECT_EQ(RunUninstaller(u"-s"), kExitRemoved) << c.label;
    const std::u16string copy = c.used + u"\\uninstall.exe";
    EXPECT_EQ(g_fake.protectedFolders,
              (std::map<std::u16string, std::u16string>{{c.used, u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"}}))
        << c.label;
    EXPECT_EQ(g_fake.startedCommands,
              std::vector<std::u16string>{u"\"" + copy + u"\" --remove 1200 12290 " + kUninstaller})
        << c.label;
    EXPECT_EQ(g_fake.deleteOnClose, Paths{copy}) << c.label;
    EXPECT_EQ(g_fake.foldersRemovedAtExit, Paths{c.used}) << c.label;
    // What was there before is untouched.
    for (const auto& [path, bytes] : planted) EXPECT_EQ(g_fake.files[path], bytes) << c.label;
    EXPECT_EQ(EventsStartingWith({"CreateDirectoryW C:\\Temp"}).size(), c.used == kCopyFolder ? 1u : c.used == second ? 2u : 3u)
        << c.label;
  }
}

TEST_F(UninstallerTest, NothingIsRemovedWithoutAUsableRecordOrRights) {
  struct Case {
    const char* label;
    void (*prepare)();
    std::string message;
  };
  const std::vector<Case> cases = {
      {"no record", [] { g_fake.files.erase(kRecordFile); }, kNoRecord},
      {"cut record", [] { g_fake.files[kRecordFile].pop_back(); }, kNoRecord},
      {"other magic", [] { g_fake.files[kRecordFile][0] ^= 1; }, kNoRecord},
      {"name outside the folder",
       [] { g_fake.files[kRecordFile] = tailpack::BuildUninstallRecord(Record({"..\\..\\Windows\\win.ini"}, {})); },
       kNoRecord},
      {"not in an uninstall folder", [] { g_fake.ownPath = u"uninstall.exe"; }, kNoRecord},
      {"in a folder of another name", [] { g_fake.ownPath = At("uninstaller\\Zentrova\\uninstall.exe"); }, kNoRecord},
      {"where earlier versions kept it",
       [] {
         g_fake.ownPath = At("uninstall\\uninstall.exe");
         g_fake.files[At("uninstall\\1111111111111111.tpr")] = g_fake.files[kRecordFile];
       },
       kNoRecord},
      {"in another product's folder, with this product's records",
       [] {
         g_fake.ownPath = At("uninstall\\Ventra\\uninstall.exe");
         g_fake.files[At("uninstall\\Ventra\\1111111111111111.tpr")] = g_fake.files[kRecordFile];
       },
       kNoRecord},
      {"not an administrator", [] { g_fake.isAdministrator = false; }, "Administrators only."},
  };
  for (const Case& c : cases) {
    for (bool silent : {true, false}) {
      SetUp();
      Install(kVersion1);
      c.prepare();
      Paths before = Files();
      EXPECT_EQ(RunUninstaller(silent ? u"-s" : u""), kExitNotStarted) << c.label;
      // Silent: no box, the message on standard error.
      EXPECT_EQ(Boxes(), silent ? Events{} : Events{Box(c.message, kMbIconError)}) << c.label;
      EXPECT_EQ(g_fake.standardError, silent ? c.message + "\n" : "") << c.label;
      EXPECT_EQ(Effects(), Events{}) << c.label;
      EXPECT_EQ(Files(), before) << c.label;
    }
  }
}

// Products installed into one folder keep their records and uninstallers
// apart, in "uninstall\<ProductName>\": one's uninstaller loads only its
// own folder's records, and only those of its own name, so everything of
// the other product stays, its uninstall entry too.
TEST_F(UninstallerTest, AnotherProductInTheFolderKeepsEverything) {
  const char kVentraKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Ventra";
  UninstallRecordContents ventra = Record({"ventra.exe", "x64\\ventra.sys"}, {"x64"});
  ventra.settings[kRecordProductName] = u"Ventra";
  struct Case {
    const char* label;
    std::string recordName;  // where Ventra's record is
    uint32_t exitCode;
    std::string left;  // the closing box's list
  } cases[] = {
      {"in its own folder", "uninstall\\Ventra\\2222222222222222.tpr", kExitRemoved, ""},
      {"where earlier versions kept records", "uninstall\\2222222222222222.tpr", kExitRemoved, ""},
      // Misplaced, or planted: not followed, and said to stay.
      {"among Zentrova's records", "uninstall\\Zentrova\\2222222222222222.tpr", kExitIncomplete,
       "\nuninstall\\Zentrova\\*.tpr"},
  };
  for (const Case& c : cases) {
    SetUp();
    Install(kVersion1);
    for (const std::string& file : ventra.files) g_fake.files[At(file)] = Bytes(file);
    g_fake.files[At(c.recordName)] = tailpack::BuildUninstallRecord(ventra);
    g_fake.files[At("uninstall\\Ventra\\uninstall.exe")] = Bytes("MZ uninstaller");
    g_fake.directories.insert(At("uninstall\\Ventra"));
    g_fake.registry[{kKeyWow64_64Key, kVentraKey}][u"UninstallString"] =
        TextValue(u"\"" + kFolder + u"uninstall\\Ventra\\uninstall.exe\"");
    Paths ventraFiles = {At("ventra.exe"), At("x64\\ventra.sys"), At(c.recordName),
                         At("uninstall\\Ventra\\uninstall.exe")};
    g_fake.messageBoxAnswers = {kIdYes, kIdOk};
    EXPECT_EQ(RunUninstaller(u""), c.exitCode) << c.label;
    ASSERT_EQ(g_fake.messageBoxes.size(), 2u) << c.label;
    EXPECT_EQ(Narrow(g_fake.messageBoxes[1].text),
              c.exitCode == kExitRemoved ? "Zentrova was removed." : "Zentrova could not be removed completely:" + c.left)
        << c.label;
    // Zentrova's own files went, Ventra's all stay, with their folders and key.
    Paths left = ventraFiles;
    left.insert(kCopy);
    EXPECT_EQ(Files(), left) << c.label;
    for (const char* folder : {"x64", "uninstall\\Ventra", "uninstall"}) {
      EXPECT_EQ(g_fake.directories.count(At(folder)), 1u) << c.label << " " << folder;
    }
    EXPECT_EQ(g_fake.directories.count(At("uninstall\\Zentrova")), c.exitCode == kExitRemoved ? 0u : 1u) << c.label;
    EXPECT_EQ(g_fake.registry.count({kKeyWow64_64Key, kVentraKey}), 1u) << c.label;
    EXPECT_EQ(g_fake.registry.count({kKeyWow64_64Key, kUninstallKey}), 0u) << c.label;
    EXPECT_EQ(EventIndex("OpenFileForReading " + Narrow(At(c.recordName))) >= 0,
              c.recordName.find("Zentrova") != std::string::npos)
        << c.label;
  }
}

// The quiet uninstaller never asks: a product whose mutex stays for the
// whole minute keeps everything, and the run ends with exit code 1.
TEST_F(UninstallerTest, QuietUninstallOfAProductThatStaysRunningRemovesNothing) {
  for (int opens : {1000, 100, 3}) {
    SetUp();
    UninstallRecordContents record = kVersion1;
    record.settings[kRecordMutexName] = u"ZentrovaRunning";
    Install(record);
    Paths before = Files();
    g_fake.mutexOpens = opens;
    bool stays = opens > 100;
    EXPECT_EQ(RunUninstaller(u"-s"), stays ? kExitNotStarted : kExitRemoved) << opens;
    EXPECT_TRUE(g_fake.messageBoxes.empty()) << opens;
    EXPECT_EQ(std::count(g_fake.events.begin(), g_fake.events.end(), "Sleep 600"), std::min(opens, 100)) << opens;
    if (stays) {
      EXPECT_EQ(Effects(), Events{});
      EXPECT_EQ(Files(), before);
      EXPECT_EQ(g_fake.standardError, "The product is still running; nothing was changed.\n");
    } else {
      EXPECT_EQ(Files(), Paths{kCopy});
    }
  }
}

TEST_F(UninstallerTest, AnsweringNoKeepsEverythingAndCountsAsCancelled) {
  Install(kVersion1);
  Paths before = Files();
  g_fake.messageBoxAnswers = {kIdNo};
  // Cancelling is a successful run: kExitRemoved stands for removed or cancelled.
  EXPECT_EQ(RunUninstaller(u""), kExitRemoved);
  EXPECT_EQ(Boxes(), Events{Box("Remove Zentrova?", kMbYesNo | kMbIconQuestion)});
  EXPECT_EQ(Effects(), Events{});
  EXPECT_EQ(Files(), before);
  EXPECT_EQ(g_fake.registry.count({kKeyWow64_64Key, kUninstallKey}), 1u);
}

}  // namespace
