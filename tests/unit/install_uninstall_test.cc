// Uninstall registration and the configuration command.
#include "install/uninstall.h"
#include "tests/unit/install_test_support.h"

namespace {

using namespace install_test;

const std::u16string kFolder = u"C:\\Program Files\\Zentrova\\";

class InstallUninstallTest : public ::testing::Test {
 protected:
  void SetUp() override { PrepareMachine(); }

  // Runs RegisterUninstall with kFolder (and the last copied name after it,
  // as on an update).
  void Register(void* window = nullptr) {
    std::u16string text = kFolder + u"language\\Zentrova_DEU.ini";
    std::memcpy(path_, text.c_str(), (text.size() + 1) * 2);
    RegisterUninstall(static_cast<uint32_t>(kFolder.size()), path_, window);
  }

  std::map<std::u16string, FakeRegistryValue>& Values(uint32_t view = kKeyWow64_64Key) {
    return g_fake.registry[{view, kUninstallKey}];
  }

  Char16 path_[kPathCapacity];
};

std::u16string Z(const std::u16string& text) { return text + u'\0'; }

std::vector<uint8_t> Dword(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

TEST_F(InstallUninstallTest, NineValuesInOrderWithTypesAndSizes) {
  LoadedPackage package(ProductPackage());
  Register();
  const std::u16string exe = kFolder + u"zentrova.exe";
  EXPECT_EQ(EventsStartingWith({"RegSetValueExW"}),
            (std::vector<std::string>{
                "RegSetValueExW UninstallString type 1 size " + std::to_string((exe.size() + 7) * 2),
                "RegSetValueExW DisplayIcon type 1 size " + std::to_string((exe.size() + 1) * 2),
                "RegSetValueExW InstallLocation type 1 size " + std::to_string((kFolder.size() + 1) * 2),
                "RegSetValueExW DisplayName type 1 size 30",
                "RegSetValueExW DisplayVersion type 1 size 12",
                "RegSetValueExW Publisher type 1 size 14",
                "RegSetValueExW NoModify type 4 size 4",
                "RegSetValueExW NoRepair type 4 size 4",
                "RegSetValueExW EstimatedSize type 4 size 4",
            }));
  auto& values = Values();
  EXPECT_EQ(TextOf(values[u"UninstallString"]), Z(u"\"" + exe + u"\" -xu"));
  EXPECT_EQ(TextOf(values[u"DisplayIcon"]), Z(exe));
  EXPECT_EQ(TextOf(values[u"InstallLocation"]), Z(kFolder));
  EXPECT_EQ(TextOf(values[u"DisplayName"]), Z(u"Zentrova 2.1.3"));
  EXPECT_EQ(TextOf(values[u"DisplayVersion"]), Z(u"2.1.3"));
  EXPECT_EQ(TextOf(values[u"Publisher"]), Z(u"Halvix"));
  EXPECT_EQ(values[u"NoModify"].data, Dword(1));
  EXPECT_EQ(values[u"NoRepair"].data, Dword(1));
  EXPECT_EQ(values[u"EstimatedSize"].data, Dword(0));  // 57 bytes of x64 files
  EXPECT_EQ(g_fake.events.back(), "RegCloseKey");
  EXPECT_EQ(g_fake.openKeys, 0);
}

// A package whose last entry is the generated uninstaller registers it, in
// the product's own folder "uninstall\<ProductName>\", quiet with "-s".
TEST_F(InstallUninstallTest, GeneratedUninstallerIsRegisteredFromTheProductsOwnFolder) {
  struct Case {
    std::u16string product;
    std::u16string command;
  } cases[] = {
      {u"Zentrova", u"\"" + kFolder + u"uninstall\\Zentrova\\uninstall.exe\""},
      {u"Zentrova Pro 2", u"\"" + kFolder + u"uninstall\\Zentrova Pro 2\\uninstall.exe\""},
  };
  for (const Case& c : cases) {
    PrepareMachine();
    tailpack::PackageContents contents = ProductPackage();
    contents.settings[kProductName] = c.product;
    contents.settings[kUninstallArguments].clear();
    std::string name = "uninstall\\" + Narrow(c.product) + "\\uninstall.exe";
    contents.files.push_back({name, kEntryUninstaller | kEntryReplaceInUse, 0x01D9000000000009ull, 0});
    LoadedPackage package(contents);
    Register();
    auto& values = g_fake.registry[{kKeyWow64_64Key, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" +
                                                         Narrow(c.product)}];
    EXPECT_EQ(TextOf(values[u"UninstallString"]), Z(c.command)) << Narrow(c.product);
    EXPECT_EQ(TextOf(values[u"QuietUninstallString"]), Z(c.command + u" -s")) << Narrow(c.product);
    EXPECT_EQ(TextOf(values[u"DisplayIcon"]), Z(kFolder + u"zentrova.exe")) << Narrow(c.product);
  }
}

TEST_F(InstallUninstallTest, ConfigurationCommandRunsBetweenKeyAndValues) {
  struct Case {
    void* window;
    std::u16string previous;
    std::string arguments;
  };
  const std::vector<Case> cases = {
      {nullptr, u"", "-xi:0:"},
      {reinterpret_cast<void*>(0x30A2C), u"2.1.3", "-xi:199212:2.1.3"},
      {nullptr, std::u16string(31, u'7'), "-xi:0:" + std::string(31, '7')},
  };
  for (const Case& c : cases) {
    PrepareMachine();
    LoadedPackage package(ProductPackage());
    std::memcpy(g_previousVersion, c.previous.c_str(), (c.previous.size() + 1) * 2);
    Register(c.window);
    std::string command = "\"" + Narrow(kFolder) + "zentrova.exe\" " + c.arguments;
    EXPECT_EQ(EventsStartingWith({"Reg", "Log", "RunAndWait"}),
              (std::vector<std::string>{
                  "RegCreateKeyExA " + std::string(kUninstallKey) + " 0x20106",
                  "Log Config: " + command + "\r\n",
                  "RunAndWait " + command,
                  "RegSetValueExW UninstallString type 1 size " +
                      std::to_string((Narrow(kFolder).size() + 19) * 2),
                  "RegSetValueExW DisplayIcon type 1 size " +
                      std::to_string((Narrow(kFolder).size() + 13) * 2),
                  "RegSetValueExW InstallLocation type 1 size " +
                      std::to_string((kFolder.size() + 1) * 2),
                  "RegSetValueExW DisplayName type 1 size 30",
                  "RegSetValueExW DisplayVersion type 1 size 12",
                  "RegSetValueExW Publisher type 1 size 14",
                  "RegSetValueExW NoModify type 4 size 4",
                  "RegSetValueExW NoRepair type 4 size 4",
                  "RegSetValueExW EstimatedSize type 4 size 4",
                  "RegCloseKey",
              }))
        << c.arguments;
  }
}

TEST_F(InstallUninstallTest, OptionalSettings) {
  struct Case {
    const char* label;
    bool config;
    bool uninstallArguments;
    bool versionAndPublisher;
  };
  for (const Case& c : std::vector<Case>{{"no config command", false, true, true},
                                         {"no uninstall arguments", true, false, true},
                                         {"no version, no publisher", true, true, false}}) {
    PrepareMachine();
    tailpack::PackageContents contents = ProductPackage();
    if (!c.config) contents.settings[kConfigCommand].clear();
    if (!c.uninstallArguments) contents.settings[kUninstallArguments].clear();
    if (!c.versionAndPublisher) {
      contents.settings[kProductVersion].clear();
      contents.settings[kPublisher].clear();
    }
    LoadedPackage package(contents);
    Register();
    EXPECT_EQ(EventsStartingWith({"RunAndWait", "Log"}).size(), c.config ? 2u : 0u) << c.label;
    auto& values = Values();
    std::u16string quoted = u"\"" + kFolder + u"zentrova.exe\"";
    EXPECT_EQ(TextOf(values[u"UninstallString"]),
              Z(c.uninstallArguments ? quoted + u" -xu" : quoted))
        << c.label;
    EXPECT_EQ(TextOf(values[u"DisplayName"]), Z(c.versionAndPublisher ? u"Zentrova 2.1.3" : u"Zentrova"))
        << c.label;
    EXPECT_EQ(TextOf(values[u"DisplayVersion"]), Z(c.versionAndPublisher ? u"2.1.3" : u""))
        << c.label;
    EXPECT_EQ(TextOf(values[u"Publisher"]), Z(c.versionAndPublisher ? u"Halvix" : u"")) << c.label;
    EXPECT_EQ(values.size(), 9u) << c.label;
  }
}

TEST_F(InstallUninstallTest, EstimatedSizeIsTheTotalInWholeKibibytes) {
  for (const auto& [total, size] : std::vector<std::pair<uint64_t, uint32_t>>{
           {1, 0}, {1023, 0}, {1024, 1}, {1 << 20, 1024}, {(1ull << 20) + 1023, 1024},
           {(5ull << 40) + (3ull << 10), 0x40000003}}) {
    PrepareMachine();
    LoadedPackage package(ProductPackage());
    package.get()->total = total;
    Register();
    EXPECT_EQ(Values()[u"EstimatedSize"].data, Dword(size)) << total;
  }
}

TEST_F(InstallUninstallTest, KeyThatCannotBeCreatedSkipsEverything) {
  LoadedPackage package(ProductPackage());
  g_fake.createKeyResult = 5;
  Register();
  EXPECT_EQ(g_fake.events, (std::vector<std::string>{"RegCreateKeyExA " + std::string(kUninstallKey) +
                                                     " 0x20106"}));
}

TEST_F(InstallUninstallTest, ProductNameTooLongForTheKeyIsRefused) {
  // The loader refuses such a package; the key path's buffer does not rely
  // on that.
  LoadedPackage package(ProductPackage());
  const std::u16string tooLong(76, u'Z');
  package.get()->settings.text[kProductName] = reinterpret_cast<const Char16*>(tooLong.c_str());
  Register();
  EXPECT_TRUE(g_fake.events.empty());
}

TEST_F(InstallUninstallTest, ThirtyTwoBitViewIsWrittenWhenThePackageAsksForIt) {
  tailpack::PackageContents contents = ProductPackage();
  contents.flags = 2;
  LoadedPackage package(contents);
  Register();
  EXPECT_EQ(g_fake.events.front(), "RegCreateKeyExA " + std::string(kUninstallKey) + " 0x20206");
  EXPECT_EQ(Values(kKeyWow64_32Key).size(), 9u);
  EXPECT_EQ(g_fake.registry.count({kKeyWow64_64Key, kUninstallKey}), 0u);
}

TEST_F(InstallUninstallTest, CommandLinesAreBoundedByTheirBuffer) {
  struct Case {
    const char* label;
    std::u16string config;
    std::u16string uninstallArguments;
    bool runs;
    bool withArguments;
  };
  // The quoted path takes 41 units here; 268 units hold 267 and a terminator.
  const std::vector<Case> cases = {
      {"long line runs whole, log line cut", u"-x " + std::u16string(200, u'a'), u"-xu", true, true},
      {"line that reaches the end is not run", std::u16string(230, u'b'), u"-xu", false, true},
      {"line of exactly 267 units runs", std::u16string(226, u'c'), u"-xu", true, true},
      {"line of 268 units is not run", std::u16string(227, u'd'), u"-xu", false, true},
      {"uninstall command of exactly 267 units", u"-x", std::u16string(226, u'v'), true, true},
      {"uninstall arguments that do not fit are left out", u"-x",
       std::u16string(230, u'u'), true, false},
  };
  for (const Case& c : cases) {
    PrepareMachine();
    tailpack::PackageContents contents = ProductPackage();
    contents.settings[kConfigCommand] = c.config;
    contents.settings[kUninstallArguments] = c.uninstallArguments;
    LoadedPackage package(contents);
    Register();
    std::u16string quoted = u"\"" + kFolder + u"zentrova.exe\"";
    std::string command = Narrow(quoted + u" " + c.config);
    std::vector<std::string> runs = EventsStartingWith({"RunAndWait"});
    ASSERT_EQ(runs.size(), c.runs ? 1u : 0u) << c.label;
    if (c.runs) {
      EXPECT_EQ(runs[0], "RunAndWait " + command) << c.label;
      EXPECT_EQ(LogLines()[0], ("Config: " + command + "\r\n").substr(0, 255)) << c.label;
    } else {
      EXPECT_TRUE(g_fake.logLines.empty()) << c.label;
    }
    EXPECT_EQ(TextOf(Values()[u"UninstallString"]),
              Z(c.withArguments ? quoted + u" " + c.uninstallArguments : quoted))
        << c.label;
  }
}

}  // namespace
