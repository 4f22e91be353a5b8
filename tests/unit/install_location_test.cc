// Install location: the uninstall key name, finding an earlier installation
// in the right registry view, and the three forms of the default folder.
#include "tests/unit/install_test_support.h"

namespace {

using namespace install_test;

class InstallLocationTest : public ::testing::Test {
 protected:
  void SetUp() override { PrepareMachine(); }
};

std::u16string Repeat(char16_t unit, size_t count) { return std::u16string(count, unit); }

TEST_F(InstallLocationTest, UninstallKeyPathKeepsTheLowByteOfEachNameUnit) {
  struct Case {
    std::u16string name;
    int result;
    std::string tail;
  };
  const std::vector<Case> cases = {
      {u"Zentrova", 0, "Zentrova"},
      {u"Caf\u00e9 \u0141ight", 0, "Caf\xe9 Aight"},  // U+0141 keeps 0x41
      {Repeat(u'n', 75), 0, std::string(75, 'n')},
      {Repeat(u'n', 76), 1, ""},
  };
  for (const Case& c : cases) {
    tailpack::PackageContents contents = ProductPackage();
    if (c.name.size() <= kMaxProductNameUnits) contents.settings[kProductName] = c.name;
    LoadedPackage package(contents);
    // The loader refuses longer names; the key path's buffer does not rely on that.
    package.get()->settings.text[kProductName] = reinterpret_cast<const Char16*>(c.name.c_str());
    char out[kKeyPathCapacity + 8];
    std::memset(out, 0x7F, sizeof out);
    ASSERT_EQ(UninstallKeyPath(out), c.result) << Narrow(c.name);
    if (c.result == 0) {
      EXPECT_EQ(std::string(out), std::string(kCurrentVersionKey) + "\\Uninstall\\" + c.tail);
    }
    // Nothing beyond the documented capacity is touched.
    for (size_t i = kKeyPathCapacity; i < sizeof out; ++i) EXPECT_EQ(out[i], 0x7F);
  }
}

TEST_F(InstallLocationTest, CompareNoCaseFoldsOnlyAsciiCapitals) {
  struct Case {
    const char16_t* a;
    const char16_t* b;
    uint32_t count;
    int sign;  // -1, 0 or 1
  };
  const std::vector<Case> cases = {
      {u"%PROGRAMFILES%\\Zentrova", u"%ProgramFiles%", 14, 0},
      {u"%programfiles%", u"%ProgramFiles%", 14, 0},
      {u"%ProgramFiles(x86)%\\Z", u"%ProgramFiles%", 14, 1},   // '(' 0x28 against '%' 0x25
      {u"%Prog", u"%ProgramFiles%", 14, -1},                     // stops at the terminator
      {u"abc", u"abd", 0, 0},
      {u"abX", u"abd", 2, 0},
      {u"\u00c9", u"\u00e9", 1, -1},                           // not folded
      {u"a", u"B", 1, -1},
      {u"[", u"A", 1, -1},                                     // 0x5B vs folded 0x61
  };
  for (const Case& c : cases) {
    int result = CompareNoCase(reinterpret_cast<const Char16*>(c.a),
                               reinterpret_cast<const Char16*>(c.b), c.count);
    int sign = (result > 0) - (result < 0);
    EXPECT_EQ(sign, c.sign) << Narrow(c.a) << " vs " << Narrow(c.b);
  }
  // The difference of the first differing folded units.
  EXPECT_EQ(CompareNoCase(u"aBc", u"abE", 3), 'c' - 'e');
}

TEST_F(InstallLocationTest, QueryInstalledCopyReadsLocationAndVersion) {
  struct Case {
    const char* label;
    bool hasKey;
    std::vector<std::pair<std::u16string, FakeRegistryValue>> values;
    int result;
    std::u16string location;
    std::u16string version;
  };
  std::u16string v31 = Repeat(u'9', 31), v32 = Repeat(u'9', 32);
  const std::vector<Case> cases = {
      {"no key", false, {}, 1, u"", u""},
      {"earlier installation",
       true,
       {{u"InstallLocation", TextValue(u"C:\\Apps\\Zentrova\\")},
        {u"DisplayVersion", TextValue(u"2.1.3")}},
       0,
       u"C:\\Apps\\Zentrova\\",
       u"2.1.3"},
      {"location without version",
       true,
       {{u"InstallLocation", TextValue(u"C:\\Apps\\Zentrova\\")}},
       1,
       u"C:\\Apps\\Zentrova\\",
       u""},
      {"version without location", true, {{u"DisplayVersion", TextValue(u"1.0")}}, 0, u"", u"1.0"},
      {"version of 31 units (64 bytes)", true, {{u"DisplayVersion", TextValue(v31)}}, 0, u"", v31},
      {"version of 32 units (66 bytes)", true, {{u"DisplayVersion", TextValue(v32)}}, 1, u"", u""},
      {"64 bytes without terminator", true,
       {{u"DisplayVersion", TextValue(v32, false)}}, 0, u"", v31},
      {"version of 0 bytes", true, {{u"DisplayVersion", FakeRegistryValue{kRegSz, {}}}}, 1, u"",
       u""},
      {"location without terminator",
       true,
       {{u"InstallLocation", TextValue(u"D:\\Z\\", false)}, {u"DisplayVersion", TextValue(u"3")}},
       0,
       u"D:\\Z\\",
       u"3"},
  };
  for (const Case& c : cases) {
    PrepareMachine();
    LoadedPackage package(ProductPackage());
    if (c.hasKey) {
      auto& key = g_fake.registry[{kKeyWow64_64Key, kUninstallKey}];
      for (const auto& [name, value] : c.values) key[name] = value;
    }
    Char16 buffer[kPathCapacity];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    buffer[0] = 0;
    std::fill(std::begin(g_previousVersion), std::end(g_previousVersion), u'#');
    g_previousVersion[0] = 0;
    EXPECT_EQ(QueryInstalledCopy(buffer, kPathCapacity), c.result) << c.label;
    EXPECT_EQ(Narrow(buffer), Narrow(c.location)) << c.label;
    EXPECT_EQ(Narrow(g_previousVersion), Narrow(c.version)) << c.label;
    EXPECT_EQ(g_fake.events.front(), std::string("RegOpenKeyExA ") + kUninstallKey + " 0x20119")
        << c.label;
    if (c.hasKey) {
      // Both values are read with the sizes the buffers allow.
      EXPECT_NE(EventIndex("RegQueryValueExW InstallLocation 520"), -1) << c.label;
      EXPECT_NE(EventIndex("RegQueryValueExW DisplayVersion 64"), -1) << c.label;
      EXPECT_EQ(g_fake.events.back(), "RegCloseKey") << c.label;
    }
    EXPECT_EQ(g_fake.openKeys, 0) << c.label;
  }
}

TEST_F(InstallLocationTest, RegistryViewFollowsTheMachineAndThePackageFlag) {
  struct Case {
    uint32_t arch;
    uint8_t flags;
    uint32_t view;
    const char* access;
    std::u16string programFiles;
  };
  const std::vector<Case> cases = {
      {kArchX64, 3, kKeyWow64_64Key, "0x20119", u"C:\\Program Files\\Zentrova"},
      {kArchX64, 2, kKeyWow64_32Key, "0x20219", u"C:\\Program Files (x86)\\Zentrova"},
      {kArchArm64, 1, kKeyWow64_64Key, "0x20119", u"C:\\Program Files\\Zentrova"},
      {kArchX86, 1, 0, "0x20019", u"C:\\Program Files\\Zentrova"},
  };
  for (const Case& c : cases) {
    PrepareMachine();
    tailpack::PackageContents contents = ProductPackage();
    contents.flags = c.flags;
    contents.settings[kDefaultFolder] = u"%ProgramFiles%\\Zentrova";
    LoadedPackage package(contents, c.arch);
    // An entry exists only in the view the package uses.
    g_fake.registry[{c.view, kUninstallKey}][u"DisplayVersion"] = TextValue(u"1.0");
    Char16 buffer[kPathCapacity] = {0};
    EXPECT_EQ(QueryInstalledCopy(buffer, kPathCapacity), 0) << c.access;
    EXPECT_EQ(ResolveDefaultFolder(buffer, 1), 0);
    EXPECT_EQ(Narrow(buffer), Narrow(c.programFiles));
    for (const std::string& open : EventsStartingWith({"RegOpenKeyExA"})) {
      EXPECT_EQ(open.substr(open.size() - 7), c.access) << open;
    }
    uint32_t otherView = c.view == kKeyWow64_64Key ? kKeyWow64_32Key : kKeyWow64_64Key;
    g_fake.registry.erase({c.view, kUninstallKey});
    g_fake.registry[{otherView, kUninstallKey}][u"DisplayVersion"] = TextValue(u"1.0");
    buffer[0] = 0;
    EXPECT_EQ(QueryInstalledCopy(buffer, kPathCapacity), 1) << c.access;
  }
}

TEST_F(InstallLocationTest, ResolveDefaultFolderForms) {
  struct Case {
    std::u16string setting;  // empty: absent
    int useSetting;
    int result;
    std::u16string folder;
  };
  std::u16string longRest = u"\\" + Repeat(u'x', 250);
  const std::vector<Case> cases = {
      {u"", 1, 1, u"C:\\Program Files"},
      {u"%ProgramFiles%\\Zentrova", 0, 1, u"C:\\Program Files"},
      {u"%ProgramFiles%\\Zentrova", 1, 0, u"C:\\Program Files\\Zentrova"},
      {u"%PROGRAMFILES%\\Zentrova", 1, 0, u"C:\\Program Files\\Zentrova"},
      {u"%ProgramFiles%\\%USERNAME%", 1, 0, u"C:\\Program Files\\%USERNAME%"},
      {u"%ProgramFiles%Zentrova", 1, 0, u"C:\\Program FilesZentrova"},
      {u"%ProgramFiles(x86)%\\Zentrova", 1, 0, u"C:\\Program Files (x86)\\Zentrova"},
      {u"%LocalAppData%\\Programs\\Zentrova", 1, 0, kLocalAppData + u"\\Programs\\Zentrova"},
      {u"%localappdata%\\Z", 1, 0, kLocalAppData + u"\\Z"},
      {u"D:\\Apps\\%USERNAME%", 1, 0, u"D:\\Apps\\admin"},
      // A variable that is not set stays in place: no usable folder.
      {u"%Prog", 1, 0, u""},
      {u"%NoSuchVariable%\\Zentrova", 1, 0, u""},
      // Results that would not fit 260 units are refused, not cut.
      {u"%ProgramFiles%" + longRest, 1, 0, u""},
      {u"%LocalAppData%" + longRest, 1, 0, u""},
      {u"D:" + longRest + u"%USERNAME%", 1, 0, u"D:" + longRest + u"admin"},  // 259 units
      {u"D:" + longRest + u"yy%USERNAME%", 1, 0, u""},                        // 261 units
  };
  for (const Case& c : cases) {
    PrepareMachine();
    tailpack::PackageContents contents = ProductPackage();
    contents.settings[kDefaultFolder] = c.setting;
    LoadedPackage package(contents);
    Char16 buffer[kPathCapacity];
    // Whatever an earlier step left in the buffer is replaced.
    std::memcpy(buffer, u"C:\\stale\\", 20);
    EXPECT_EQ(ResolveDefaultFolder(buffer, c.useSetting), c.result) << Narrow(c.setting);
    EXPECT_EQ(Narrow(buffer), Narrow(c.folder)) << Narrow(c.setting);
  }
}

TEST_F(InstallLocationTest, LocalAppDataIsNotCreated) {
  tailpack::PackageContents contents = ProductPackage();
  contents.settings[kDefaultFolder] = u"%LocalAppData%\\Programs\\Zentrova";
  LoadedPackage package(contents);
  Char16 buffer[kPathCapacity] = {0};
  ResolveDefaultFolder(buffer, 1);
  EXPECT_EQ(EventsStartingWith({"SHGetSpecialFolderPathW"}),
            std::vector<std::string>{"SHGetSpecialFolderPathW 28 0"});
}

TEST_F(InstallLocationTest, MissingShellFolderOrProgramFilesGivesNoFolder) {
  struct Case {
    std::u16string setting;
    bool dropKey;
  };
  for (const Case& c : std::vector<Case>{{u"%LocalAppData%\\Z", false},
                                         {u"%ProgramFiles%\\Z", true},
                                         {u"", true}}) {
    PrepareMachine();
    g_fake.specialFolders.clear();
    if (c.dropKey) g_fake.registry.erase({kKeyWow64_64Key, kCurrentVersionKey});
    tailpack::PackageContents contents = ProductPackage();
    contents.settings[kDefaultFolder] = c.setting;
    LoadedPackage package(contents);
    Char16 buffer[kPathCapacity];
    std::memcpy(buffer, u"C:\\stale\\", 20);
    ResolveDefaultFolder(buffer, 1);
    // Never a bare rest such as "\Z" that Windows would read as a path on
    // the current drive.
    EXPECT_EQ(Narrow(buffer), "") << Narrow(c.setting);
  }
}

TEST_F(InstallLocationTest, ProgramFilesComesFromTheViewOrElseTheEnvironment) {
  // registry: "key" the key without the value, "none" no key, else the
  // value. The 64-bit view falls back to ProgramW6432, which a 32-bit
  // process under WOW64 sees, the others to ProgramFiles.
  struct Case {
    uint32_t view;
    std::u16string registry;
    bool environment;
    std::string expected;
  } cases[] = {
      {kKeyWow64_64Key, u"D:\\Apps", true, "D:\\Apps"},
      {kKeyWow64_64Key, u"key", true, "C:\\Program Files"},
      {kKeyWow64_64Key, u"none", true, "C:\\Program Files"},
      {kKeyWow64_32Key, u"none", true, "C:\\Program Files (x86)"},
      {0, u"key", true, "C:\\Program Files (x86)"},
      {kKeyWow64_64Key, u"key", false, ""},
      {kKeyWow64_32Key, u"none", false, ""},
  };
  for (const Case& c : cases) {
    PrepareMachine();
    LoadedPackage package(ProductPackage());
    g_machine.registryView = c.view;
    g_fake.registry.erase({c.view, kCurrentVersionKey});
    if (c.registry == u"key") {
      g_fake.registry[{c.view, kCurrentVersionKey}];
    } else if (c.registry != u"none") {
      g_fake.registry[{c.view, kCurrentVersionKey}][u"ProgramFilesDir"] = TextValue(c.registry);
    }
    g_fake.environment.erase(u"PROGRAMFILES");
    if (c.environment) {
      g_fake.environment[u"PROGRAMW6432"] = u"C:\\Program Files";
      g_fake.environment[u"PROGRAMFILES"] = u"C:\\Program Files (x86)";
    }
    Char16 buffer[kPathCapacity] = {u's', u't', u'a', u'l', u'e', 0};
    QueryProgramFilesDir(buffer);
    EXPECT_EQ(Narrow(buffer), c.expected) << c.view << " " << Narrow(c.registry) << " " << c.environment;
    EXPECT_EQ(g_fake.openKeys, 0);
  }
}

}  // namespace
