// The wizard over the recording fake: what each page shows, the folder
// field's validation, the interactive install with its order of effects,
// and Finish. The real dialog is exercised under wine64 (tests/wine).
#include "install/launch.h"
#include "tests/unit/install_test_support.h"
#include "wizard/wizard.h"

namespace {

using namespace install_test;

const uint32_t kWmInitDialog = 0x110;
const uint32_t kWmCommand = 0x111;
const uint32_t kWmCtlColorStatic = 0x138;

std::string Text(int id) { return Narrow(g_fake.controls[id].text); }
bool Visible(int id) { return g_fake.controls[id].visible; }
bool Enabled(int id) { return g_fake.controls[id].enabled; }
bool Checked(int id) { return g_fake.controls[id].check == kChecked; }

// The events that begin with one of `prefixes`, from `from` on.
std::vector<std::string> EventsFrom(size_t from, const std::vector<std::string>& prefixes) {
  std::vector<std::string> out;
  for (size_t i = from; i < g_fake.events.size(); ++i) {
    for (const std::string& prefix : prefixes) {
      if (g_fake.events[i].compare(0, prefix.size(), prefix) == 0) {
        out.push_back(g_fake.events[i]);
        break;
      }
    }
  }
  return out;
}

class WizardTest : public ::testing::Test {
 protected:
  void SetUp() override { PrepareMachine(); }

  // Loads the product package (licence as info text) and opens the dialog.
  void Open(tailpack::PackageContents contents = Product()) {
    package_.reset();  // its destructor clears the process-wide package
    package_ = std::make_unique<LoadedPackage>(contents);
    CreateFakeDialogControls();
    g_fake.dialogProcedure = WizardProc;
    ASSERT_EQ(WizardProc(kFakeDialog, kWmInitDialog, 0, 0x400000), 1);
  }

  static tailpack::PackageContents Product() {
    tailpack::PackageContents contents = ProductPackage();
    contents.infoEntry = 7;  // license.txt
    return contents;
  }

  void Command(int id) { EXPECT_EQ(WizardProc(kFakeDialog, kWmCommand, id, 0), 1); }

  std::unique_ptr<LoadedPackage> package_;
};

TEST_F(WizardTest, FreshInstallOpensOnTheLicencePageWithNextDisabled) {
  Open();
  EXPECT_EQ(Narrow(g_fake.windowTitle), "Setup - Zentrova 2.1.3");
  EXPECT_EQ(Text(kHeading), "License Agreement");
  EXPECT_EQ(Text(kSubHeading), "Please read the following important information before continuing.");
  EXPECT_EQ(g_fake.infoText, "licence text");
  for (int id : {kAcceptBox, kInfoPaneItem, kPaneFrame, kNextButton, kCancelButton}) {
    EXPECT_TRUE(Visible(id)) << id;
  }
  for (int id : {kBackButton, kPathField, kDesktopBox, kBrowseButton, kProgressBarItem, kLaunchBox}) {
    EXPECT_FALSE(Visible(id)) << id;
  }
  EXPECT_EQ(Text(kNextButton), "&Next >");
  EXPECT_FALSE(Enabled(kNextButton));
  EXPECT_EQ(Text(kCancelButton), "Cancel");
  EXPECT_FALSE(Checked(kAcceptBox));
  EXPECT_TRUE(Checked(kDesktopBox));
  EXPECT_EQ(Text(kAcceptBox), "I &accept the agreement");
  EXPECT_EQ(Text(kBrowseButton), "&Browse...");
  EXPECT_EQ(Text(kDesktopBox), "Create a &desktop shortcut");
  EXPECT_EQ(Text(kBackButton), "< &Back");
  EXPECT_EQ(Text(kPathField), "C:\\Program Files\\Zentrova");
  EXPECT_EQ(g_isFreshInstall, 1);

  // The initialisation steps in their order.
  EXPECT_EQ(EventsFrom(0, {"CreateFontW", "LoadLibrary", "CreateWindowExW", "SetTextMargins",
                           "EM_SETTEXTEX", "SendMessage 0x20005 0x30", "EnableMenuItem",
                           "SendMessage 0x20015 0xc5", "SHAutoComplete", "LoadIconW",
                           "SendMessage 0x10000 0x80", "SetWindowTextW dialog", "CheckDlgButton",
                           "RegOpenKeyExA SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
                           "SetDlgItemText 21", "SetDlgItemText 1 "}),
            (std::vector<std::string>{
                "CreateFontW 12 700", "LoadLibrary msftedit",
                "CreateWindowExW RICHEDIT50W over 24 id 200 style 1344342084",
                "CreateFontW 13 400", "SetTextMargins 200 7", "EM_SETTEXTEX 200",
                "SendMessage 0x20005 0x30 61441 0", "EnableMenuItem SC_CLOSE MF_GRAYED",
                "SendMessage 0x20015 0xc5 259 0", "SHAutoComplete 21", "LoadIconW 1",
                "SendMessage 0x10000 0x80 0 448", "SendMessage 0x10000 0x80 1 448",
                "SetWindowTextW dialog Setup - Zentrova 2.1.3", "CheckDlgButton 10 1",
                "RegOpenKeyExA SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Zentrova "
                "0x20119",
                "SetDlgItemText 21 C:\\Program Files\\Zentrova", "SetDlgItemText 1 &Next >"}));
}

TEST_F(WizardTest, FontsAndMarginsFollowTheDisplayDpi) {
  struct Case {
    uint32_t dpi;
    int heading, pane, margin;
  } cases[] = {{96, 12, 13, 7}, {120, 15, 16, 9}, {144, 18, 20, 11}, {192, 24, 26, 14}};
  for (const Case& c : cases) {
    PrepareMachine();
    g_fake.dpi = c.dpi;
    Open();
    EXPECT_EQ(g_fake.fonts, (std::vector<std::pair<int, int>>{{c.heading, 700}, {c.pane, 400}}))
        << c.dpi;
    EXPECT_EQ(EventsFrom(0, {"SetTextMargins"}),
              std::vector<std::string>{"SetTextMargins 200 " + std::to_string(c.margin)})
        << c.dpi;
  }
}

TEST_F(WizardTest, PaneComesFromTheFirstRichEditLibraryThatLoads) {
  struct Case {
    std::set<std::string> libraries;
    std::vector<std::string> expected;
    bool pane;
  } cases[] = {
      {{"msftedit", "riched20"},
       {"LoadLibrary msftedit", "CreateWindowExW RICHEDIT50W over 24 id 200 style 1344342084"},
       true},
      {{"riched20"},
       {"LoadLibrary msftedit", "LoadLibrary riched20",
        "CreateWindowExW RichEdit20W over 24 id 200 style 1344342084"},
       true},
      {{}, {"LoadLibrary msftedit", "LoadLibrary riched20"}, false},
  };
  for (const Case& c : cases) {
    PrepareMachine();
    g_fake.loadableLibraries = c.libraries;
    Open();
    EXPECT_EQ(EventsFrom(0, {"LoadLibrary", "CreateWindowExW"}), c.expected);
    EXPECT_EQ(g_infoPane != nullptr, c.pane);
    // Without a pane the wizard still works: the info text goes nowhere.
    EXPECT_EQ(g_fake.infoText, c.pane ? "licence text" : "");
    EXPECT_TRUE(FakeClick(kAcceptBox));
    EXPECT_TRUE(Visible(kPathField));
  }
}

TEST_F(WizardTest, InfoTextShowsWhatTheEntryHoldsUpToAZeroByte) {
  struct Case {
    const char* label;
    std::string content;
    uint16_t infoEntry;
    std::string shown;
  } cases[] = {
      {"no info entry", "text", kNoInfoEntry, ""},
      {"empty entry", "", 0, ""},
      {"zero byte", std::string("before\0after", 12), 0, "before"},
      {"just below 64 KiB", std::string(65535, 'a'), 0, std::string(65535, 'a')},
      {"64 KiB", std::string(65536, 'b'), 0, std::string(65536, 'b')},
      {"above 64 KiB", std::string(70000, 'c') + "end", 0, std::string(70000, 'c') + "end"},
  };
  for (const Case& c : cases) {
    PrepareMachine();
    tailpack::PackageContents contents = ProductPackage();
    contents.files = {{"info.txt", 0, 0, 0}};
    contents.blobs = {Bytes(c.content)};
    contents.infoEntry = c.infoEntry;
    Open(contents);
    EXPECT_EQ(g_fake.infoText, c.shown) << c.label;
  }
}

TEST_F(WizardTest, EachPageShowsHidesAndLabelsExactlyItsControls) {
  struct Expected {
    int page;
    std::vector<int> shown, hidden;
    std::string heading, subHeading;
  } pages[] = {
      {kPageLicense, {kAcceptBox, kInfoPaneItem, kPaneFrame},
       {kBackButton, kPathField, kDesktopBox, kBrowseButton}, "License Agreement",
       "Please read the following important information before continuing."},
      {kPageDestination, {kBackButton, kPathField, kDesktopBox, kBrowseButton},
       {kAcceptBox, kInfoPaneItem, kPaneFrame}, "Select Destination Location",
       "Where should Zentrova be installed?"},
      {kPageInstalling, {kInfoPaneItem, kPaneFrame, kProgressBarItem},
       {kAcceptBox, kBackButton, kPathField, kDesktopBox, kBrowseButton, kNextButton}, "Installing",
       "Please wait while Setup installs Zentrova on your computer."},
      {kPageCompleted, {kLaunchBox}, {kInfoPaneItem, kPaneFrame, kProgressBarItem},
       "Installation completed successfully", "Click Finish to exit Setup."},
      {kPageFailed, {}, {}, "Installation failed", "Click Finish to exit Setup."},
  };
  for (const Expected& e : pages) {
    PrepareMachine();
    Open();
    std::map<int, FakeControl> before = g_fake.controls;
    size_t from = g_fake.events.size();
    SetPage(kFakeDialog, e.page);
    EXPECT_EQ(Text(kHeading), e.heading) << e.page;
    EXPECT_EQ(Text(kSubHeading), e.subHeading) << e.page;
    std::vector<std::string> shows;
    for (int id : e.shown) shows.push_back("ShowWindow " + std::to_string(id) + " 5");
    for (int id : e.hidden) shows.push_back("ShowWindow " + std::to_string(id) + " 0");
    std::vector<std::string> recorded = EventsFrom(from, {"ShowWindow"});
    std::sort(shows.begin(), shows.end());
    std::sort(recorded.begin(), recorded.end());
    EXPECT_EQ(recorded, shows) << e.page;
    // Nothing else changes visibility; the listed extras per page.
    for (auto& [id, control] : g_fake.controls) {
      bool listed = std::count(e.shown.begin(), e.shown.end(), id) ||
                    std::count(e.hidden.begin(), e.hidden.end(), id);
      if (!listed) EXPECT_EQ(control.visible, before[id].visible) << e.page << " item " << id;
    }
    bool finishing = e.page >= kPageCompleted;
    EXPECT_EQ(Text(kCancelButton), finishing ? "&Finish" : "Cancel") << e.page;
    EXPECT_EQ(Enabled(kCancelButton), e.page != kPageInstalling) << e.page;
    EXPECT_EQ(Text(kLaunchBox), e.page == kPageCompleted ? "Launch Zentrova" : "") << e.page;
    EXPECT_EQ(Checked(kLaunchBox), e.page == kPageCompleted) << e.page;
    std::vector<std::string> bar;
    if (e.page == kPageFailed) {
      bar = {"SendMessage 0x20016 0x410 2 0", "SendMessage 0x20016 0x409 0 240"};
    }
    EXPECT_EQ(EventsFrom(from, {"SendMessage 0x20016"}), bar) << e.page;
  }
  for (int page : {0, 6, -1}) {
    size_t from = g_fake.events.size();
    SetPage(kFakeDialog, page);
    EXPECT_EQ(g_fake.events.size(), from) << page;
  }
}

TEST_F(WizardTest, NextFollowsTheAcceptanceBoxAndTheFolderShape) {
  Open();
  ASSERT_TRUE(FakeClick(kAcceptBox));
  EXPECT_TRUE(Visible(kPathField));
  EXPECT_TRUE(Enabled(kNextButton));
  struct Case {
    std::u16string text;
    bool enabled;
  } cases[] = {
      {u"D", false},          {u"D:", true},          {u"  D:\\Apps  ", true},
      {u"\\\\server\\share", true}, {u"\\\\", false},  {u"folder\\sub", false},
      {u"", false},           {u"   ", false},        {u"C:\\Program Files\\Zentrova", true},
  };
  for (const Case& c : cases) {
    FakeType(kPathField, c.text);
    EXPECT_EQ(Enabled(kNextButton), c.enabled) << Narrow(c.text);
  }
  // Unticking goes back to the licence page with Next disabled; ticking
  // again returns to the folder as the user left it.
  FakeType(kPathField, u"E:\\Custom");
  ASSERT_TRUE(FakeClick(kBackButton));
  EXPECT_FALSE(Checked(kAcceptBox));
  EXPECT_TRUE(Visible(kInfoPaneItem));
  EXPECT_FALSE(Visible(kPathField));
  EXPECT_FALSE(Enabled(kNextButton));
  EXPECT_EQ(g_fake.infoText, "licence text");
  ASSERT_TRUE(FakeClick(kAcceptBox));
  EXPECT_EQ(Text(kPathField), "E:\\Custom");
  EXPECT_TRUE(Enabled(kNextButton));
}

TEST_F(WizardTest, UpdateStaysOnTheLicencePageWithInstallEnabled) {
  auto& key = g_fake.registry[{kKeyWow64_64Key, kUninstallKey}];
  key[u"InstallLocation"] = TextValue(u"D:\\Apps\\Zentrova\\");
  key[u"DisplayVersion"] = TextValue(u"2.0.9");
  Open();
  EXPECT_EQ(g_isFreshInstall, 0);
  EXPECT_TRUE(Checked(kAcceptBox));
  EXPECT_EQ(Text(kNextButton), "&Install");
  EXPECT_TRUE(Enabled(kNextButton));
  EXPECT_EQ(Text(kPathField), "D:\\Apps\\Zentrova\\");
  // Unticking only disables Install; the page stays and the path is not
  // judged when ticking again.
  ASSERT_TRUE(FakeClick(kAcceptBox));
  EXPECT_FALSE(Enabled(kNextButton));
  EXPECT_TRUE(Visible(kInfoPaneItem));
  FakeType(kPathField, u"relative");
  ASSERT_TRUE(FakeClick(kAcceptBox));
  EXPECT_TRUE(Enabled(kNextButton));
  EXPECT_FALSE(Visible(kPathField));

  // An update entry without a location: an empty field and Install disabled.
  PrepareMachine();
  g_fake.registry[{kKeyWow64_64Key, kUninstallKey}][u"DisplayVersion"] = TextValue(u"2.0.9");
  Open();
  EXPECT_EQ(Text(kPathField), "");
  EXPECT_FALSE(Enabled(kNextButton));
}

TEST_F(WizardTest, ChosenFoldersGetTheProductNameWhenItFits) {
  struct Case {
    const char* label;
    bool chooses;
    std::u16string choice;
    std::string field;
  } cases[] = {
      {"folder", true, u"D:\\Apps", "D:\\Apps\\Zentrova"},
      {"drive root", true, u"E:\\", "E:\\Zentrova"},
      {"cancelled", false, u"", "C:\\Program Files\\Zentrova"},
      {"missing folder", true, u"Q:\\nowhere", "C:\\Program Files\\Zentrova"},
      {"too long for the name", true, u"D:\\" + std::u16string(250, u'x'),
       "C:\\Program Files\\Zentrova"},
  };
  for (const Case& c : cases) {
    PrepareMachine();
    g_fake.directories.insert(u"D:\\Apps");
    g_fake.directories.insert(u"D:\\" + std::u16string(250, u'x'));
    Open();
    ASSERT_TRUE(FakeClick(kAcceptBox));
    g_fake.browseChooses = c.chooses;
    g_fake.browseChoice = c.choice;
    ASSERT_TRUE(FakeClick(kBrowseButton));
    EXPECT_EQ(Text(kPathField), c.field) << c.label;
    EXPECT_EQ(EventsFrom(0, {"SHBrowseForFolderW"}),
              std::vector<std::string>{"SHBrowseForFolderW Select a folder in the list below, then "
                                       "click OK. at C:\\Program Files"})
        << c.label;
  }
}

TEST_F(WizardTest, InstallRunsItsStepsInOrderAndEndsOnTheCompletedPage) {
  Open();
  ASSERT_TRUE(FakeClick(kAcceptBox));
  FakeType(kPathField, u" E:\\Tools\\Zentrova ");  // parents missing, blanks around
  g_fake.directories.insert(u"E:");
  size_t from = g_fake.events.size();
  ASSERT_TRUE(FakeClick(kNextButton));
  EXPECT_EQ(g_installSucceeded, 1);
  EXPECT_EQ(g_fake.files.count(u"E:\\Tools\\Zentrova\\zentrova.exe"), 1u);
  EXPECT_EQ(EventsFrom(from, {"CreateDirectoryW", "FindWindowW", "SendMessage 0x20016",
                              "InvalidateRect", "SetWindowTextW 200", "SetDlgItemText 5",
                              "SetCursor", "CreateFileW E:\\Tools\\Zentrova\\zentrova.exe",
                              "SetTimer", "KillTimer", "RunAndWait"}),
            (std::vector<std::string>{
                "CreateDirectoryW E:\\Tools", "CreateDirectoryW E:\\Tools\\Zentrova",
                "SendMessage 0x20016 0x401 0 655360000", "SendMessage 0x20016 0x404 300 0",
                "InvalidateRect 22", "SetWindowTextW 200 ", "SetDlgItemText 5 Installing",
                "SetCursor IDC_WAIT", "CreateFileW E:\\Tools\\Zentrova\\zentrova.exe new",
                // 12, 18, 27 and 39 of the 39 bytes written (the empty
                // file writes nothing), with the folders of later files.
                "SendMessage 0x20016 0x402 1538 0", "CreateDirectoryW E:\\Tools\\Zentrova\\x64",
                "SendMessage 0x20016 0x402 2307 0",
                "CreateDirectoryW E:\\Tools\\Zentrova\\language",
                "SendMessage 0x20016 0x402 3461 0", "CreateDirectoryW E:\\Tools\\Zentrova\\logs",
                "SendMessage 0x20016 0x402 5000 0", "SetTimer 0x10000 255 30",
                "RunAndWait \"E:\\Tools\\Zentrova\\zentrova.exe\" -xi:65536:",
                "KillTimer 0x10000 255", "SendMessage 0x20016 0x402 10000 0",
                "SetDlgItemText 5 Installation completed successfully", "SetCursor 192"}));
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            "Copy E:\\Tools\\Zentrova\\zentrova.exe\r\n",
                            "Copy E:\\Tools\\Zentrova\\x64\\zentrova.sys\r\n",
                            "Copy E:\\Tools\\Zentrova\\language\\Zentrova_DEU.ini\r\n",
                            "Copy E:\\Tools\\Zentrova\\empty.dat\r\n",
                            "Copy E:\\Tools\\Zentrova\\logs\\placeholder\r\n",
                            "Copy E:\\Tools\\Zentrova\\license.txt\r\n",
                            "Create desktop shortcut\r\n",
                            "Create start menu shortcut\r\n",
                            "Config: \"E:\\Tools\\Zentrova\\zentrova.exe\" -xi:65536:\r\n",
                            "End",
                        }));
  EXPECT_TRUE(Visible(kLaunchBox));
  EXPECT_FALSE(Visible(kNextButton));
  EXPECT_FALSE(Visible(kInfoPaneItem));
}

TEST_F(WizardTest, ExistingFolderIsUsedOnlyWhenTheUserSaysSo) {
  for (int answer : {kIdNo, kIdYes}) {
    PrepareMachine();
    g_fake.directories.insert(u"C:\\Program Files\\Zentrova");
    Open();
    ASSERT_TRUE(FakeClick(kAcceptBox));
    g_fake.messageBoxAnswers = {answer};
    ASSERT_TRUE(FakeClick(kNextButton));
    ASSERT_EQ(g_fake.messageBoxes.size(), 1u);
    const FakeMessageBox& box = g_fake.messageBoxes[0];
    EXPECT_EQ(box.owner, kFakeDialog);
    EXPECT_EQ(box.type, kMbYesNo | kMbIconQuestion);
    EXPECT_EQ(Narrow(box.text),
              "The folder:\r\n\r\nC:\\Program Files\\Zentrova\\\r\n\r\nalready exists. Would you "
              "like to install to that folder anyway?");
    EXPECT_EQ(Visible(kPathField), answer == kIdNo);
    EXPECT_EQ(g_fake.files.count(u"C:\\Program Files\\Zentrova\\zentrova.exe"), answer == kIdYes);
  }
}

// A folder that holds another product's uninstall records is refused with
// a box, before the folder question and before anything is made; another
// folder can be chosen.
TEST_F(WizardTest, FolderOfAnotherProductIsRefused) {
  g_fake.directories.insert({u"C:\\Program Files\\Zentrova", u"C:\\Program Files\\Zentrova\\uninstall",
                             u"C:\\Program Files\\Zentrova\\uninstall\\Ventra"});
  g_fake.files[u"C:\\Program Files\\Zentrova\\uninstall\\Ventra\\1111111111111111.tpr"] = Bytes("TPUR");
  Open();
  ASSERT_TRUE(FakeClick(kAcceptBox));
  ASSERT_TRUE(FakeClick(kNextButton));
  ASSERT_EQ(g_fake.messageBoxes.size(), 1u);
  EXPECT_EQ(Narrow(g_fake.messageBoxes[0].text),
            "C:\\Program Files\\Zentrova\\ holds another product.");
  EXPECT_EQ(g_fake.messageBoxes[0].owner, kFakeDialog);
  EXPECT_EQ(g_fake.messageBoxes[0].type, kMbIconError);
  EXPECT_TRUE(Visible(kPathField));
  EXPECT_TRUE(EventsFrom(0, {"CreateFileW", "CreateDirectoryW", "FindWindowW", "RegCreateKey"}).empty());
  // Another folder goes ahead.
  g_fake.messageBoxes.clear();
  FakeType(kPathField, u"C:\\Program Files\\Zentrova 2");
  ASSERT_TRUE(FakeClick(kNextButton));
  EXPECT_TRUE(g_fake.messageBoxes.empty());
  EXPECT_EQ(g_fake.files.count(u"C:\\Program Files\\Zentrova 2\\zentrova.exe"), 1u);
}

TEST_F(WizardTest, FolderThatCannotBeMadeLeavesTheWizardAsItWas) {
  g_fake.files[u"C:\\Users\\admin\\notes.txt"] = Bytes("x");
  g_fake.absentDrives.insert(u'Q');
  Open();
  ASSERT_TRUE(FakeClick(kAcceptBox));
  // The folder as typed | the box that names it with the system's reason
  // (the fake describes error N as "Error N."), or none when the folder
  // never gets as far as being made.
  struct Case {
    std::u16string folder;
    std::string box;
  } cases[] = {
      {u"C:\\Users\\admin\\notes.txt\\Zentrova", "C:\\Users\\admin\\notes.txt\\Zentrova\\\r\n\r\nError 3."},
      {u"Q:\\Zentrova", "Q:\\Zentrova\\\r\n\r\nError 3."},
      {u"C:\\Users\\admin\\notes.txt", "C:\\Users\\admin\\notes.txt\\\r\n\r\nError 183."},
      {u"C:\\" + std::u16string(250, u'z'), ""},
  };
  for (const Case& c : cases) {
    g_fake.messageBoxes.clear();
    FakeType(kPathField, c.folder);
    ASSERT_TRUE(Enabled(kNextButton));
    ASSERT_TRUE(FakeClick(kNextButton)) << Narrow(c.folder);
    if (c.box.empty()) {
      EXPECT_TRUE(g_fake.messageBoxes.empty()) << Narrow(c.folder);
    } else {
      ASSERT_EQ(g_fake.messageBoxes.size(), 1u) << Narrow(c.folder);
      EXPECT_EQ(Narrow(g_fake.messageBoxes[0].text), c.box);
      EXPECT_EQ(g_fake.messageBoxes[0].owner, kFakeDialog);
      EXPECT_EQ(g_fake.messageBoxes[0].type, kMbIconError);
      EXPECT_EQ(g_fake.messageBoxes[0].caption, u"Zentrova");
    }
    EXPECT_TRUE(Visible(kPathField)) << Narrow(c.folder);
    EXPECT_TRUE(Enabled(kNextButton)) << Narrow(c.folder);
    EXPECT_TRUE(g_fake.logLines.empty()) << Narrow(c.folder);
    EXPECT_TRUE(EventsFrom(0, {"CreateFileW", "FindWindowW", "SetCursor"}).empty());
    EXPECT_EQ(g_fake.directories.count(u"Q:"), 0u);
  }
}

// Without a Program Files folder in the registry view or the environment
// there is nothing to propose: never a bare, relative product name.
TEST_F(WizardTest, NoProgramFilesAnywhereLeavesTheFieldEmpty) {
  for (auto& [key, values] : g_fake.registry) values.erase(u"ProgramFilesDir");
  g_fake.environment.erase(u"PROGRAMFILES");
  Open();
  ASSERT_TRUE(FakeClick(kAcceptBox));
  EXPECT_EQ(Text(kPathField), "");
  EXPECT_FALSE(Enabled(kNextButton));
}

TEST_F(WizardTest, FailedInstallShowsTheFailedPageAndNeverLaunches) {
  g_fake.createErrors[u"C:\\Program Files\\Zentrova\\x64\\zentrova.sys"] = 5;
  Open();
  ASSERT_TRUE(FakeClick(kAcceptBox));
  ASSERT_TRUE(FakeClick(kNextButton));
  EXPECT_EQ(g_installSucceeded, 0);
  EXPECT_EQ(g_installFailed, 1);
  EXPECT_EQ(Text(kHeading), "Installation failed");
  EXPECT_TRUE(Visible(kInfoPaneItem));
  EXPECT_TRUE(Visible(kProgressBarItem));
  EXPECT_FALSE(Visible(kLaunchBox));
  EXPECT_EQ(LogLines().back(),
            "Failed to write file: C:\\Program Files\\Zentrova\\x64\\zentrova.sys, code: 5\r\n");
  ASSERT_TRUE(FakeClick(kCancelButton));
  EXPECT_TRUE(g_fake.dialogEnded);
  EXPECT_TRUE(EventsFrom(0, {"ShellExecute"}).empty());
}

TEST_F(WizardTest, FinishLaunchesThroughTheShellFirstAndOnlyWhenTicked) {
  struct Case {
    const char* label;
    std::u16string launchTarget;
    bool untick;
    int32_t shellResult;
    std::vector<std::string> expected;
  } cases[] = {
      {"as the desktop user", u"", false, 0,
       {"ShellExecuteAsUser C:\\Program Files\\Zentrova\\zentrova.exe in C:\\Program "
        "Files\\Zentrova\\"}},
      {"shell route fails", u"", false, static_cast<int32_t>(0x80004005),
       {"ShellExecuteAsUser C:\\Program Files\\Zentrova\\zentrova.exe in C:\\Program "
        "Files\\Zentrova\\",
        "ShellExecute open C:\\Program Files\\Zentrova\\zentrova.exe in C:\\Program "
        "Files\\Zentrova\\"}},
      {"unticked", u"", true, 0, {}},
      {"expanded package target", u"%PROGRAMFILES%\\Zentrova\\zentrova.exe -tray", false, 0,
       {"ShellExecuteAsUser C:\\Program Files\\Zentrova\\zentrova.exe -tray in C:\\Program "
        "Files\\Zentrova\\"}},
      {"expansion too long", u"%PROGRAMFILES%\\" + std::u16string(380, u'y'), false, 0, {}},
  };
  for (const Case& c : cases) {
    PrepareMachine();
    tailpack::PackageContents contents = Product();
    contents.settings[kLaunchTarget] = c.launchTarget;
    Open(contents);
    g_fake.shellAsUserResult = c.shellResult;
    ASSERT_TRUE(FakeClick(kAcceptBox));
    ASSERT_TRUE(FakeClick(kNextButton));
    ASSERT_EQ(g_installSucceeded, 1) << c.label;
    if (c.untick) ASSERT_TRUE(FakeClick(kLaunchBox));
    ASSERT_TRUE(FakeClick(kCancelButton));
    EXPECT_EQ(EventsFrom(0, {"ShellExecute"}), c.expected) << c.label;
    EXPECT_EQ(EventsFrom(0, {"EndDialog"}), std::vector<std::string>{"EndDialog 0"}) << c.label;
  }
}

TEST_F(WizardTest, CancelArrivingDuringTheInstallIsIgnored) {
  Open();
  ASSERT_TRUE(FakeClick(kAcceptBox));
  // The configuration command's wait dispatches messages: a close request
  // that arrives then must not end the dialog under the running install.
  g_fake.onRunAndWait = [](const std::u16string&) {
    WizardProc(kFakeDialog, kWmCommand, kCancelButton, 0);
  };
  ASSERT_TRUE(FakeClick(kNextButton));
  EXPECT_FALSE(g_fake.dialogEnded);
  EXPECT_TRUE(Visible(kLaunchBox));
  ASSERT_TRUE(FakeClick(kCancelButton));
  EXPECT_TRUE(g_fake.dialogEnded);
}

TEST_F(WizardTest, CancelBeforeInstallingEndsAtOnceWithoutQuestion) {
  for (bool onDestination : {false, true}) {
    PrepareMachine();
    Open();
    if (onDestination) ASSERT_TRUE(FakeClick(kAcceptBox));
    ASSERT_TRUE(FakeClick(kCancelButton));
    EXPECT_TRUE(g_fake.dialogEnded);
    EXPECT_TRUE(g_fake.messageBoxes.empty());
    EXPECT_TRUE(g_fake.files.empty());
    EXPECT_TRUE(EventsFrom(0, {"ShellExecute"}).empty());
  }
}

TEST_F(WizardTest, BannerControlsArePaintedOnWhite) {
  Open();
  for (int id : std::vector<int>{kBannerBackground, kHeading, kSubHeading, kBannerIcon,
                                 kInfoPaneItem, kPaneFrame, kAcceptBox, -1}) {
    size_t from = g_fake.events.size();
    intptr_t brush = WizardProc(kFakeDialog, kWmCtlColorStatic, 0xDC,
                                reinterpret_cast<intptr_t>(GetDialogItem(kFakeDialog, id)));
    bool white = id == kBannerBackground || id == kHeading || id == kSubHeading ||
                 id == kBannerIcon || id == kInfoPaneItem;
    EXPECT_EQ(brush, white ? 0x7E17E : 0) << id;
    EXPECT_EQ(EventsFrom(from, {"SetBkMode"}).size(), white ? 1u : 0u) << id;
  }
  // Other messages are left to the dialog manager.
  EXPECT_EQ(WizardProc(kFakeDialog, 0x0F /* WM_PAINT */, 0, 0), 0);
}

TEST_F(WizardTest, TextsThatDoNotFitAreCut) {
  tailpack::PackageContents contents = Product();
  contents.settings[kProductName] = std::u16string(75, u'N');
  contents.settings[kProductVersion] = std::u16string(100, u'9');
  contents.languages[0].texts[kTextDestinationSubHeading] = std::u16string(300, u'w') + u"%s";
  contents.languages[0].texts[kTextLicenseSubHeading] = u"100%% sure, %s";
  Open(contents);
  // Name, blank and version are cut at 127 units, the caption at 259.
  EXPECT_EQ(g_fake.windowTitle,
            u"Setup - " + (std::u16string(75, u'N') + u" " + std::u16string(100, u'9')).substr(0, 127));
  EXPECT_EQ(Text(kSubHeading), "100% sure, " + std::string(75, 'N'));
  ASSERT_TRUE(FakeClick(kAcceptBox));
  EXPECT_EQ(g_fake.controls[kSubHeading].text, std::u16string(255, u'w'));

  // Without a version the caption has no trailing blank.
  PrepareMachine();
  contents = Product();
  contents.settings[kProductVersion] = u"";
  Open(contents);
  EXPECT_EQ(Narrow(g_fake.windowTitle), "Setup - Zentrova");
}

}  // namespace
