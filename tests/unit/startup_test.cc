// Start-up: the command-line tail, the entry sequence, the gates in their
// order, the run-mode choice, the architecture message and ShowMessage.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/memory_host.h"
#include "package/writer.h"
#include "platform/fake/fake_platform.h"
#include "startup/entry.h"
#include "startup/language.h"
#include "startup/message.h"
#include "startup/run_setup.h"
#include "tests/unit/install_test_support.h"
#include "tests/unit/test_support.h"

namespace {

const char kDamaged[] = "MessageBox This setup package is damaged!";
const char kUnsupportedOs[] = "MessageBox This operating system is not supported!";

// A Program Files folder in both registry views, so that a silent install
// has somewhere to go.
void GiveProgramFiles() {
  const char16_t folder[] = u"C:\\Program Files";
  std::vector<uint8_t> value(reinterpret_cast<const uint8_t*>(folder),
                             reinterpret_cast<const uint8_t*>(folder) + sizeof folder);
  for (uint32_t view : {0u, 0x100u, 0x200u}) {
    g_fake.registry[{view, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion"}][u"ProgramFilesDir"] =
        {kRegSz, value};
  }
  g_fake.directories.insert(u"C:\\Program Files");
}

// Puts an installer carrying `contents` where LoadPackage finds it, on a
// machine with a Program Files folder.
void InstallInFake(const tailpack::PackageContents& contents) {
  tailpack::LzmaSettings fast;
  fast.preset = 0;
  fast.extreme = false;
  fast.dictionarySize = 1 << 16;
  std::vector<uint8_t> installer =
      tailpack::WriteInstaller(test::MakeMinimalPe(), contents, fast);
  g_fake.moduleImage = installer;
  g_fake.files[g_fake.ownPath] = installer;
  GiveProgramFiles();
}

// Position of the first recorded event that starts with `prefix`, or -1.
int EventIndex(const std::string& prefix) {
  for (size_t i = 0; i < g_fake.events.size(); ++i) {
    if (g_fake.events[i].compare(0, prefix.size(), prefix) == 0) return static_cast<int>(i);
  }
  return -1;
}

bool Happened(const std::string& prefix) { return EventIndex(prefix) >= 0; }


std::string AllEvents() {
  std::string all;
  for (const std::string& event : g_fake.events) all += event + "\n";
  return all;
}

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetFakePlatform();
    install_test::ResetRuntimeState();
  }
};

TEST(FindCommandTail, SkipsTheProgramNameAndTheBlanksAfterIt) {
  struct Case {
    const char* line;
    const char* tail;
  } cases[] = {
      {"setup.exe /s", "/s"},
      {"\"C:\\Program Files\\Zentrova Setup\\setup.exe\" -S", "-S"},
      {"setup.exe s", "s"},
      {"setup.exe /x", "/x"},
      {"setup.exe -silent", "-silent"},
      {"setup.exe /sx", "/sx"},
      {"setup.exe", ""},
      {"", ""},
      {"setup.exe \t  /s now", "/s now"},
      // An unterminated quote makes the whole line the program name.
      {"\"C:\\Program Files\\setup.exe /s", ""},
      // After the closing quote only blanks are skipped.
      {"\"C:\\a b\\setup.exe\"/s", "/s"},
      {"\"C:\\a b\\setup.exe\"x /s", "x /s"},
      {"\"\" /s", "/s"},
      // Bytes 0x80..0xFF compare as negative: they end an unquoted name and
      // are skipped like blanks.
      {"C:\\\xDC" "bung\\setup.exe /s", "bung\\setup.exe /s"},
      {"setup.exe\xA0/s", "/s"},
      {"setup.exe \xFF\xA0 /s", "/s"},
      {"\"C:\\\xDC" "bung\\setup.exe\" \xA0-s", "-s"},
      // Control characters count as blanks too.
      {"setup.exe\x01\x1F/s", "/s"},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(FindCommandTail(c.line), c.tail) << "line: " << c.line;
  }
}

TEST(FindCommandTail, ReturnsAPointerIntoTheLine) {
  const char line[] = "\"C:\\a b\\setup.exe\" -s";
  EXPECT_EQ(FindCommandTail(line), line + 19);
}

TEST_F(StartupTest, EntryPointChoosesTheRunModeFromTheTailAndExitsWithZero) {
  struct Case {
    const char* commandLine;
    bool silent;
  } cases[] = {
      {"setup.exe /s", true},
      {"\"C:\\Program Files\\Zentrova Setup\\setup.exe\" -S", true},
      {"setup.exe /S", true},
      {"setup.exe -silent", true},
      {"setup.exe /sx", true},
      {"setup.exe s", false},
      {"setup.exe /x", false},
      {"setup.exe -", false},
      {"setup.exe", false},
      {"setup.exe --s", false},
      {"\"C:\\Program Files\\setup.exe /s", false},
  };
  for (const Case& c : cases) {
    ResetFakePlatform();
    InstallInFake(test::SamplePackage());
    g_fake.commandLine = c.commandLine;
    EXPECT_THROW(EntryPoint(), std::runtime_error);
    EXPECT_EQ(Happened("InitCommonControls"), !c.silent) << c.commandLine << "\n" << AllEvents();
    EXPECT_TRUE(g_fake.messageBoxes.empty()) << c.commandLine;
    ASSERT_FALSE(g_fake.events.empty());
    EXPECT_EQ(g_fake.events.back(), "ExitProcess 0") << c.commandLine;
  }
}

TEST_F(StartupTest, EntryPointReadsStartupInfoBeforeRunningSetup) {
  InstallInFake(test::SamplePackage());
  g_fake.startupFlags = 1;
  g_fake.startupShowWindow = 3;
  EXPECT_THROW(EntryPoint(), std::runtime_error);
  int startupInfo = EventIndex("GetStartupInfoA");
  ASSERT_GE(startupInfo, 0);
  EXPECT_LT(startupInfo, EventIndex("OpenFileForReading")) << AllEvents();
}

TEST_F(StartupTest, EntryPointExitsWithOneWhenAGateStops) {
  for (const char* line : {"setup.exe /s", "setup.exe"}) {
    ResetFakePlatform();
    g_fake.commandLine = line;
    EXPECT_THROW(EntryPoint(), std::runtime_error);
    // Silent: the message on standard error, never a box.
    bool silent = std::string(line).ends_with("/s");
    EXPECT_EQ(g_fake.messageBoxes.size(), silent ? 0u : 1u) << line;
    EXPECT_EQ(g_fake.standardError, silent ? "This setup package is damaged!\n" : "") << line;
    EXPECT_EQ(g_fake.events.back(), "ExitProcess 1");
  }
}

TEST_F(StartupTest, PassingEveryGateInitialisesComBeforeEitherRunMode) {
  for (const char* tail : {"/s", ""}) {
    ResetFakePlatform();
    InstallInFake(test::SamplePackage());
    EXPECT_EQ(RunSetup(GetInstanceHandle(), 0, tail, 10), 0u);
    EXPECT_TRUE(g_fake.messageBoxes.empty());
    std::vector<std::string> order = {"GetUserDefaultLangID", "IsUserAnAdmin", "CoInitialize"};
    int last = -1;
    for (const std::string& step : order) {
      int at = EventIndex(step);
      EXPECT_GT(at, last) << step << " for tail '" << tail << "'\n" << AllEvents();
      last = at;
    }
    if (*tail == 0) {
      EXPECT_GT(EventIndex("InitCommonControls"), last);
    }
  }
}

TEST_F(StartupTest, DamagedPackageIsReportedBeforeAnythingElse) {
  tailpack::PackageContents contents = test::SamplePackage();
  // Every later gate would stop this run too.
  contents.supportedVersions = kOsWindows7;
  contents.supportedArchs = kArchArm64;
  InstallInFake(contents);
  g_fake.isAdministrator = false;
  // Flip a byte of the packed block: the checksum or the decoder fails.
  std::vector<uint8_t>& file = g_fake.files[g_fake.ownPath];
  file[file.size() - 40] ^= 0x55;

  EXPECT_EQ(RunSetup(GetInstanceHandle(), 0, "", 10), 1u);
  ASSERT_EQ(g_fake.messageBoxes.size(), 1u);
  const FakeMessageBox& box = g_fake.messageBoxes[0];
  EXPECT_EQ(Narrow(box.text), "This setup package is damaged!");
  EXPECT_EQ(box.owner, nullptr);
  EXPECT_FALSE(box.hasCaption);
  EXPECT_EQ(box.type, kMbIconError);
  EXPECT_EQ(g_package, nullptr);
  for (const char* later : {"GetUserDefaultLangID", "IsUserAnAdmin", "CoInitialize",
                            "InitCommonControls", "ShellExecute"}) {
    EXPECT_FALSE(Happened(later)) << later;
  }
}

TEST_F(StartupTest, MissingPackageIsReportedAsDamaged) {
  g_fake.moduleImage = test::MakeMinimalPe();
  g_fake.files[g_fake.ownPath] = g_fake.moduleImage;
  EXPECT_EQ(RunSetup(GetInstanceHandle(), 0, "", 10), 1u);
  EXPECT_TRUE(Happened(kDamaged)) << AllEvents();
}

TEST_F(StartupTest, PackageTooLargeForTheMemoryIsReportedAsSuch) {
  // A genuine package the machine has no memory for is not called damaged.
  tailpack::PackageContents contents = test::SamplePackage();
  contents.supportedVersions = kOsWindows7;  // the next gate would stop it too
  InstallInFake(contents);
  g_allocationLimit = 1000;
  uint32_t result = RunSetup(GetInstanceHandle(), 0, "", 10);
  g_allocationLimit = SIZE_MAX;
  EXPECT_EQ(result, 1u);
  ASSERT_EQ(g_fake.messageBoxes.size(), 1u) << AllEvents();
  const FakeMessageBox& box = g_fake.messageBoxes[0];
  EXPECT_EQ(Narrow(box.text), "There is not enough memory to unpack this setup.");
  EXPECT_EQ(box.owner, nullptr);
  EXPECT_FALSE(box.hasCaption);
  EXPECT_EQ(box.type, kMbIconError);
  EXPECT_EQ(g_package, nullptr);
  EXPECT_FALSE(Happened("GetUserDefaultLangID"));
}

// Windows-version gate: supported versions 0x28 (7 and 10) on Windows 8.1.
TEST_F(StartupTest, UnsupportedWindowsOpensTheLinkOnlyWhenOkWasPressed) {
  struct Case {
    const char* name;
    bool withLink;
    int answer;
    bool opened;
  } cases[] = {
      {"OK with link", true, kIdOk, true},
      {"box failed", true, 0, false},
      {"Cancel", true, kIdCancel, false},
      {"OK without link", false, kIdOk, false},
  };
  for (const Case& c : cases) {
    ResetFakePlatform();
    tailpack::PackageContents contents = test::SamplePackage();
    contents.supportedVersions = 0x28;
    contents.supportedArchs = kArchArm64;  // would fail too, but comes later
    if (c.withLink) contents.settings[kUnsupportedOsLink] = u"https://example.com/zentrova/os";
    InstallInFake(contents);
    g_fake.versionMajor = 6;
    g_fake.versionMinor = 3;
    g_fake.messageBoxAnswers = {c.answer};

    EXPECT_EQ(RunSetup(GetInstanceHandle(), 0, "", 10), 1u) << c.name;
    ASSERT_EQ(g_fake.messageBoxes.size(), 1u) << c.name;
    const FakeMessageBox& box = g_fake.messageBoxes[0];
    EXPECT_EQ(Narrow(box.text), "This operating system is not supported!") << c.name;
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_FALSE(box.hasCaption);
    EXPECT_EQ(box.type, kMbIconError);
    EXPECT_EQ(Happened("ShellExecute open https://example.com/zentrova/os"), c.opened) << c.name;
    EXPECT_EQ(EventIndex("ShellExecute"), c.opened ? EventIndex(kUnsupportedOs) + 1 : -1);
    EXPECT_FALSE(Happened("GetUserDefaultLangID")) << c.name;
  }
}

TEST_F(StartupTest, WindowsVersionGateLetsListedAndUnrestrictedVersionsPass) {
  struct Case {
    uint16_t supported;
    uint32_t major, minor;
    bool stops;
  } cases[] = {
      {0x0000, 6, 3, false},  // no restriction
      {0x0028, 6, 1, false},  // Windows 7
      {0x0028, 10, 0, false},
      {0x0028, 6, 3, true},   // 8.1 is not listed
      {0x0028, 6, 0, true},
      {0x0040, 11, 0, false},
      {0x0020, 11, 0, true},
      {0xFF80, 10, 0, true},  // only bits no Windows version has
      {0xFFFF, 4, 0, true},   // unrecognised version: OsMask 0
  };
  for (const Case& c : cases) {
    ResetFakePlatform();
    tailpack::PackageContents contents = test::SamplePackage();
    contents.supportedVersions = c.supported;
    InstallInFake(contents);
    g_fake.versionMajor = c.major;
    g_fake.versionMinor = c.minor;
    uint32_t code = RunSetup(GetInstanceHandle(), 0, "/s", 10);
    EXPECT_EQ(code, c.stops ? 1u : 0u) << std::hex << c.supported << " on " << c.major << "."
                                       << c.minor;
    EXPECT_EQ(g_fake.standardError, c.stops ? "This operating system is not supported!\n" : "");
    EXPECT_TRUE(g_fake.messageBoxes.empty());
  }
}

TEST_F(StartupTest, ArchitectureGateComesAfterTheVersionGateAndBeforeTheLanguage) {
  tailpack::PackageContents contents = test::SamplePackage();
  contents.supportedVersions = 0x28;
  contents.supportedArchs = kArchArm64;
  InstallInFake(contents);
  g_fake.isAdministrator = false;

  EXPECT_EQ(RunSetup(GetInstanceHandle(), 0, "", 10), 1u);
  ASSERT_EQ(g_fake.messageBoxes.size(), 1u);
  const FakeMessageBox& box = g_fake.messageBoxes[0];
  EXPECT_EQ(Narrow(box.text), "This setup can only be installed on Windows arm64!");
  EXPECT_EQ(box.owner, nullptr);
  EXPECT_FALSE(box.hasCaption);
  EXPECT_EQ(box.type, kMbIconError);
  EXPECT_FALSE(Happened("GetUserDefaultLangID"));
  EXPECT_FALSE(Happened("IsUserAnAdmin"));
}

TEST_F(StartupTest, ArchitectureGateComparesWithTheNativeMachine) {
  struct Case {
    uint8_t supported;
    uint16_t nativeMachine;
    bool stops;
  } cases[] = {
      {0x0, 0xAA64, false}, {0x3, 0x8664, false}, {0x3, 0x014C, false},
      {0x1, 0x8664, true},  {0x4, 0xAA64, false}, {0x8, 0x01C4, false},
      {0x7, 0x01C4, true},  {0xF, 0x0200, true},  // unrecognised machine
  };
  for (const Case& c : cases) {
    ResetFakePlatform();
    tailpack::PackageContents contents = test::SamplePackage();
    contents.supportedArchs = c.supported;
    InstallInFake(contents);
    g_fake.nativeMachine = c.nativeMachine;
    EXPECT_EQ(RunSetup(GetInstanceHandle(), 0, "/s", 10), c.stops ? 1u : 0u)
        << std::hex << int(c.supported) << " on " << c.nativeMachine;
    EXPECT_EQ(g_fake.standardError.starts_with("This setup can only be installed on Windows "), c.stops);
    EXPECT_TRUE(g_fake.messageBoxes.empty());
  }
}

// Unattended runs: every gate stops with exit code 1 and its message on
// standard error, without a box and without opening anything.
TEST_F(StartupTest, SilentGateFailuresShowNoBoxAndWriteToStandardError) {
  struct Case {
    const char* name;
    std::function<void(tailpack::PackageContents&)> change;
    std::function<void()> machine;
    std::string line;
  } cases[] = {
      {"damaged", nullptr, [] { g_fake.files[g_fake.ownPath].end()[-40] ^= 0x55; },
       "This setup package is damaged!"},
      {"no memory", nullptr, [] { g_allocationLimit = 1000; },
       "There is not enough memory to unpack this setup."},
      {"Windows version",
       [](tailpack::PackageContents& p) {
         p.supportedVersions = kOsWindows7;
         p.settings[kUnsupportedOsLink] = u"https://example.com/os";
       },
       nullptr, "This operating system is not supported!"},
      {"architecture", [](tailpack::PackageContents& p) { p.supportedArchs = kArchArm64 | kArchArm; }, nullptr,
       "This setup can only be installed on Windows arm64/arm!"},
      {"administrator", nullptr,
       [] {
         g_fake.isAdministrator = false;
         g_fake.userLanguage = 0x0407;
       },
       "Sie m\u00fcssen als Administrator angemeldet sein, um dieses Programm zu installieren."},
  };
  for (const Case& c : cases) {
    for (const char* tail : {"-s", "/S"}) {
      ResetFakePlatform();
      tailpack::PackageContents contents = test::SamplePackage();
      if (c.change) c.change(contents);
      InstallInFake(contents);
      if (c.machine) c.machine();
      uint32_t code = RunSetup(GetInstanceHandle(), 0, tail, 10);
      g_allocationLimit = SIZE_MAX;
      EXPECT_EQ(code, 1u) << c.name;
      EXPECT_TRUE(g_fake.messageBoxes.empty()) << c.name;
      EXPECT_EQ(g_fake.standardError, c.line + "\n") << c.name;
      EXPECT_FALSE(Happened("ShellExecute")) << c.name;
      EXPECT_FALSE(Happened("CoInitialize")) << c.name;
      EXPECT_TRUE(g_fake.directories.count(u"C:\\Program Files\\Zentrova") == 0) << c.name;
    }
  }
}

TEST_F(StartupTest, AdministratorMessageIsInTheSelectedLanguage) {
  struct Case {
    uint16_t user;
    std::u16string text;
  } cases[] = {
      {0x0807, u"Sie m\u00fcssen als Administrator angemeldet sein, um dieses Programm zu "
               u"installieren."},
      {0x0409, u"You must be logged in as an administrator when installing this program."},
      {0x0425, u"You must be logged in as an administrator when installing this program."},
  };
  for (const Case& c : cases) {
    ResetFakePlatform();
    InstallInFake(test::SamplePackage());
    g_fake.isAdministrator = false;
    g_fake.userLanguage = c.user;
    EXPECT_EQ(RunSetup(GetInstanceHandle(), 0, "", 10), 1u);
    ASSERT_EQ(g_fake.messageBoxes.size(), 1u);
    const FakeMessageBox& box = g_fake.messageBoxes[0];
    EXPECT_EQ(box.text, c.text) << std::hex << c.user;
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_FALSE(box.hasCaption);
    EXPECT_EQ(box.type, kMbIconError);
    EXPECT_LT(EventIndex("GetUserDefaultLangID"), EventIndex("IsUserAnAdmin"));
    EXPECT_FALSE(Happened("CoInitialize"));
    EXPECT_FALSE(Happened("InitCommonControls"));
  }
}

TEST_F(StartupTest, AdministratorTextIsShownAsStoredNotFormatted) {
  tailpack::PackageContents contents = test::SamplePackage();
  contents.languages[0].texts[kTextNotAdministrator] = u"100% administrator %s";
  InstallInFake(contents);
  g_fake.isAdministrator = false;
  EXPECT_EQ(RunSetup(GetInstanceHandle(), 0, "", 10), 1u);
  ASSERT_EQ(g_fake.messageBoxes.size(), 1u);
  EXPECT_EQ(g_fake.messageBoxes[0].text, u"100% administrator %s");
}

TEST_F(StartupTest, FailedComInitialisationDoesNotStopTheRun) {
  InstallInFake(test::SamplePackage());
  g_fake.comResult = static_cast<int32_t>(0x80004005);
  EXPECT_EQ(RunSetup(GetInstanceHandle(), 0, "", 10), 0u);
  EXPECT_TRUE(Happened("InitCommonControls"));
}

TEST_F(StartupTest, ArchitectureListForEveryByteValue) {
  const char* const lists[16] = {
      "",          "x86",           "x64",           "x86/x64",
      "arm64",     "x86/arm64",     "x64/arm64",     "x86/x64/arm64",
      "arm",       "x86/arm",       "x64/arm",       "x86/x64/arm",
      "arm64/arm", "x86/arm64/arm", "x64/arm64/arm", "x86/x64/arm64/arm",
  };
  for (uint32_t byte = 0; byte < 16; ++byte) {
    ResetFakePlatform();
    ReportArchMismatch(byte);
    ASSERT_EQ(g_fake.messageBoxes.size(), 1u);
    EXPECT_EQ(Narrow(g_fake.messageBoxes[0].text),
              std::string("This setup can only be installed on Windows ") + lists[byte] + "!")
        << "byte " << byte;
    EXPECT_EQ(g_fake.messageBoxes[0].type, kMbIconError);
    EXPECT_FALSE(g_fake.messageBoxes[0].hasCaption);
  }
}

TEST_F(StartupTest, ShowMessageFormatsAndUsesTheProductNameAsCaption) {
  InstallInFake(test::SamplePackage());
  ASSERT_EQ(RunSetup(GetInstanceHandle(), 0, "/s", 10), 0u);
  g_fake.messageBoxAnswers = {kIdNo};
  void* owner = reinterpret_cast<void*>(0x1234);
  int answer = ShowMessage(owner, kMbYesNo | kMbIconQuestion,
                           u"The folder:\r\n\r\n%s\r\n\r\nexists (100%%).", u"D:\\Apps");
  EXPECT_EQ(answer, kIdNo);
  ASSERT_EQ(g_fake.messageBoxes.size(), 1u);
  const FakeMessageBox& box = g_fake.messageBoxes[0];
  EXPECT_EQ(box.text, u"The folder:\r\n\r\nD:\\Apps\r\n\r\nexists (100%).");
  EXPECT_EQ(box.owner, owner);
  ASSERT_TRUE(box.hasCaption);
  EXPECT_EQ(box.caption, u"Zentrova");
  EXPECT_EQ(box.type, kMbYesNo | kMbIconQuestion);
}

TEST_F(StartupTest, ShowMessageCutsTextsLongerThanItsBuffer) {
  InstallInFake(test::SamplePackage());
  ASSERT_EQ(RunSetup(GetInstanceHandle(), 0, "/s", 10), 0u);
  std::u16string path(600, u'p');
  ShowMessage(nullptr, kMbOk, u"Path: %s", path.c_str());
  ASSERT_EQ(g_fake.messageBoxes.size(), 1u);
  const std::u16string& text = g_fake.messageBoxes[0].text;
  EXPECT_EQ(text.size(), kMessageCapacity - 1);
  EXPECT_EQ(text, (u"Path: " + path).substr(0, kMessageCapacity - 1));
}

TEST(FormatText, NeverWritesPastItsCapacity) {
  struct Case {
    uint32_t capacity;
    const char16_t* expected;
  } cases[] = {
      {1, u""},
      {8, u"Launch "},
      {16, u"Launch Zentrova"},
      {17, u"Launch Zentrova!"},
      {40, u"Launch Zentrova!"},
  };
  for (const Case& c : cases) {
    std::vector<Char16> buffer(c.capacity + 8, u'#');
    FormatText(buffer.data(), c.capacity, u"Launch %s!", u"Zentrova");
    EXPECT_EQ(std::u16string(buffer.data()), c.expected) << "capacity " << c.capacity;
    for (size_t i = c.capacity; i < buffer.size(); ++i) {
      ASSERT_EQ(buffer[i], u'#') << "capacity " << c.capacity << " overrun at " << i;
    }
  }
}

}  // namespace
