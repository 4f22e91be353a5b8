// Shortcuts: which are made, where, and every field of the links.
#include "install/shortcuts.h"
#include "tests/unit/install_test_support.h"

namespace {

using namespace install_test;

class InstallShortcutsTest : public ::testing::Test {
 protected:
  void SetUp() override { PrepareMachine(); }
};

// Fixes the launch target for `folder` as the install sequence does and
// creates the shortcuts.
void MakeShortcuts(const std::u16string& folder, int desktop) {
  Char16 path[kPathCapacity];
  std::memcpy(path, folder.c_str(), (folder.size() + 1) * 2);
  ASSERT_EQ(FixLaunchTarget(path, static_cast<uint32_t>(folder.size())), 0);
  path[folder.size()] = 0;
  CreateShortcuts(path, desktop);
}

TEST_F(InstallShortcutsTest, LinkFieldsFollowTheLaunchTarget) {
  struct Case {
    std::u16string launchTarget;  // empty: derived from the folder
    std::u16string target;
    bool hasArguments;
    std::u16string arguments;
    bool hasIcon;
  };
  const std::u16string folder = u"C:\\Program Files\\My Apps\\Zentrova\\";
  const std::vector<Case> cases = {
      // Derived: the whole path, blanks and all, no arguments, no icon.
      {u"", folder + u"zentrova.exe", false, u"", false},
      // From the package: split at the last blank only, kept unexpanded.
      {u"%ProgramFiles%\\Zentrova\\zentrova.exe --start now",
       u"%ProgramFiles%\\Zentrova\\zentrova.exe --start", true, u"now", true},
      {u"C:\\Tools\\z.exe ", u"C:\\Tools\\z.exe", true, u"", true},
      {u"C:\\Tools\\z.exe", u"C:\\Tools\\z.exe", false, u"", true},
      {u" tray", u"", true, u"tray", true},
  };
  for (const Case& c : cases) {
    PrepareMachine();
    tailpack::PackageContents contents = ProductPackage();
    contents.settings[kLaunchTarget] = c.launchTarget;
    LoadedPackage package(contents);
    MakeShortcuts(folder, 1);
    ASSERT_EQ(g_fake.shellLinks.size(), 2u) << Narrow(c.launchTarget);
    for (const FakeShellLink& link : g_fake.shellLinks) {
      EXPECT_EQ(Narrow(link.target), Narrow(c.target)) << Narrow(c.launchTarget);
      EXPECT_EQ(link.hasArguments, c.hasArguments) << Narrow(c.launchTarget);
      EXPECT_EQ(Narrow(link.arguments), Narrow(c.arguments)) << Narrow(c.launchTarget);
      EXPECT_TRUE(link.hasDirectory);
      EXPECT_EQ(Narrow(link.directory), Narrow(folder));
      EXPECT_EQ(link.hasIconPath, c.hasIcon) << Narrow(c.launchTarget);
      if (c.hasIcon) EXPECT_EQ(Narrow(link.iconPath), Narrow(folder + u"zentrova.exe"));
      EXPECT_EQ(link.iconIndex, 0);
    }
    // The stored launch target itself is not changed by the split.
    if (!c.launchTarget.empty()) {
      EXPECT_EQ(Narrow(Setting(g_package, kLaunchTarget)), Narrow(c.launchTarget));
    }
  }
}

TEST_F(InstallShortcutsTest, DesktopAndStartMenuInOrder) {
  for (int desktop : {1, 0}) {
    PrepareMachine();
    LoadedPackage package(ProductPackage());
    MakeShortcuts(u"C:\\Program Files\\Zentrova\\", desktop);
    std::vector<std::string> expected;
    if (desktop) {
      expected = {"SHGetSpecialFolderPathW 16 1", "Log Create desktop shortcut\r\n",
                  "CreateShellLink " + Narrow(kDesktop) + "\\Zentrova.lnk",
                  "SHChangeNotify " + Narrow(kDesktop) + "\\Zentrova.lnk"};
    }
    for (const std::string& event :
         {std::string("SHGetSpecialFolderPathW 23 1"), std::string("Log Create start menu shortcut\r\n"),
          "CreateShellLink " + Narrow(kPrograms) + "\\Zentrova.lnk",
          "SHChangeNotify " + Narrow(kPrograms) + "\\Zentrova.lnk"}) {
      expected.push_back(event);
    }
    EXPECT_EQ(g_fake.events, expected) << desktop;
  }
}

TEST_F(InstallShortcutsTest, FolderEndingInSeparatorGetsNoSecondOne) {
  LoadedPackage package(ProductPackage());
  g_fake.specialFolders[kFolderDesktop] = u"C:\\Users\\admin\\Desktop\\";
  MakeShortcuts(u"C:\\Z\\", 1);
  EXPECT_EQ(Narrow(g_fake.shellLinks[0].path), "C:\\Users\\admin\\Desktop\\Zentrova.lnk");
}

TEST_F(InstallShortcutsTest, UnsavedLinkIsStillAnnounced) {
  LoadedPackage package(ProductPackage());
  g_fake.shellLinkResult = 0;
  MakeShortcuts(u"C:\\Z\\", 1);
  EXPECT_EQ(EventsStartingWith({"SHChangeNotify"}).size(), 2u);
}

TEST_F(InstallShortcutsTest, ShortcutsThatCannotBeBuiltAreSkipped) {
  struct Case {
    const char* label;
    bool noDesktopFolder;
    std::u16string launchTarget;
    std::u16string productName;
    size_t links;
  };
  const std::vector<Case> cases = {
      {"no desktop folder", true, u"", u"Zentrova", 1},
      {"launch target beyond 387 units", false, u"C:\\" + std::u16string(390, u't'), u"Zentrova", 0},
      {"link path beyond 259 units", false, u"", std::u16string(70, u'N'), 2},
  };
  for (const Case& c : cases) {
    PrepareMachine();
    if (c.noDesktopFolder) g_fake.specialFolders.erase(kFolderDesktop);
    std::u16string longFolder = u"C:\\" + std::u16string(190, u'p');
    if (c.productName.size() == 70) g_fake.specialFolders[kFolderDesktop] = longFolder;
    tailpack::PackageContents contents = ProductPackage();
    contents.settings[kLaunchTarget] = c.launchTarget;
    contents.settings[kProductName] = c.productName;
    LoadedPackage package(contents);
    MakeShortcuts(u"C:\\Z\\", 1);
    // Both log lines are written whatever happens to the links.
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Create desktop shortcut\r\n",
                                                    "Create start menu shortcut\r\n"}))
        << c.label;
    size_t expected = c.productName.size() == 70 ? 1 : c.links;
    EXPECT_EQ(g_fake.shellLinks.size(), expected) << c.label;
    for (const FakeShellLink& link : g_fake.shellLinks) {
      EXPECT_EQ(link.path.substr(0, 3), u"C:\\") << c.label;  // never a bare name
      EXPECT_LT(link.path.size(), kPathCapacity) << c.label;
    }
  }
}

}  // namespace
