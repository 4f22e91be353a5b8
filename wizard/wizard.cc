#include "wizard/wizard.h"

#include "base/text.h"
#include "install/extract.h"
#include "install/launch.h"
#include "install/location.h"
#include "install/report.h"
#include "install/sequence.h"
#include "install/uninstall.h"
#include "startup/language.h"
#include "startup/message.h"
#include "startup/run_setup.h"
#include "wizard/info_pane.h"

static const uint32_t kWmInitDialog = 0x110;
static const uint32_t kWmCommand = 0x111;
static const uint32_t kWmCtlColorStatic = 0x138;
static const uint32_t kWmSetIcon = 0x80;
static const uint32_t kEmLimitText = 0xC5;
static const uint32_t kPbmSetBarColor = 0x409;
static const uint32_t kPbmSetState = 0x410;
static const uintptr_t kPbstError = 2;
static const intptr_t kErrorRed = 0x000000F0;  // RGB(240, 0, 0)
static const uintptr_t kBnClicked = 0;
static const int kFontBold = 700;
static const int kWizardTemplate = 1;

// Page steps: item ids to show or hide in order; kShowNext and kHideNext
// switch what the ids that follow get, 0 ends the list.
static const uint8_t kShowNext = 0xFF;
static const uint8_t kHideNext = 0xFE;
static const uint8_t kPageSteps[5][13] = {
    {kShowNext, kAcceptBox, kInfoPaneItem, kPaneFrame, kHideNext, kBackButton, kPathField,
     kDesktopBox, kBrowseButton, 0},
    {kHideNext, kAcceptBox, kInfoPaneItem, kPaneFrame, kShowNext, kBackButton, kPathField,
     kDesktopBox, kBrowseButton, 0},
    {kHideNext, kAcceptBox, kBackButton, kPathField, kDesktopBox, kBrowseButton, kShowNext,
     kInfoPaneItem, kPaneFrame, kProgressBarItem, kHideNext, kNextButton, 0},
    {kHideNext, kInfoPaneItem, kPaneFrame, kProgressBarItem, 0},
    {0},
};
// Heading and sub-heading texts of each page.
static const uint8_t kPageHeadings[5][2] = {
    {kTextLicenseHeading, kTextLicenseSubHeading},
    {kTextDestinationHeading, kTextDestinationSubHeading},
    {kTextInstallingHeading, kTextInstallingSubHeading},
    {kTextCompletedHeading, kTextFinishedSubHeading},
    {kTextFailedHeading, kTextFinishedSubHeading},
};
// The control texts set once: item, UiText.
static const uint8_t kFixedTexts[5][2] = {
    {kAcceptBox, kTextAccept},   {kBrowseButton, kTextBrowse}, {kDesktopBox, kTextDesktopShortcut},
    {kBackButton, kTextBack},    {kCancelButton, kTextCancel},
};

static const Char16* ProductName() { return Setting(g_package, kProductName); }

int ScaleForDisplay(int pixels) {
  return static_cast<int>((static_cast<uint32_t>(pixels) * QueryDisplayDpi() + 48) / 96);
}

void RunWizard(void* instance) {
  InitializeCommonControls();
  RunModalDialog(instance, kWizardTemplate, WizardProc, reinterpret_cast<intptr_t>(instance));
}

void SetHeadings(void* window, uint32_t heading, uint32_t subHeading) {
  SetItemText(window, kHeading, GetUiText(heading));
  Char16 text[kSubHeadingCapacity];
  FormatText(text, kSubHeadingCapacity, GetUiText(subHeading), ProductName());
  SetItemText(window, kSubHeading, text);
}

void SetPage(void* window, int page) {
  if (page < kPageLicense || page > kPageFailed) return;
  SetHeadings(window, kPageHeadings[page - 1][0], kPageHeadings[page - 1][1]);
  int command = kShow;
  for (const uint8_t* step = kPageSteps[page - 1]; *step != 0; ++step) {
    if (*step >= kHideNext) {
      command = *step == kShowNext ? kShow : kHide;
    } else {
      ShowItem(window, *step, command);
    }
  }
  if (page == kPageInstalling) EnableItem(window, kCancelButton, 0);
  if (page == kPageFailed) {
    // The error state colours a themed bar; the bar colour one drawn
    // without visual styles.
    void* bar = GetDialogItem(window, kProgressBarItem);
    SendWindowMessage(bar, kPbmSetState, kPbstError, 0);
    SendWindowMessage(bar, kPbmSetBarColor, 0, kErrorRed);
  }
  if (page >= kPageCompleted) {
    SetItemText(window, kCancelButton, GetUiText(kTextFinish));
    EnableItem(window, kCancelButton, 1);
  }
  if (page == kPageCompleted) {
    Char16 text[kLaunchBoxCapacity];
    FormatText(text, kLaunchBoxCapacity, GetUiText(kTextLaunch), ProductName());
    SetItemText(window, kLaunchBox, text);
    CheckItem(window, kLaunchBox, kChecked);
    ShowItem(window, kLaunchBox, kShow);
  }
}

void FormatWindowTitle(Char16* out) {
  Char16 name[kNameAndVersionCapacity];
  ComposeNameAndVersion(name);
  FormatText(out, kCaptionCapacity, GetUiText(kTextWindowTitle), name);
}

uint32_t ReadPathField(void* window, Char16* buffer, uint32_t capacity) {
  buffer[0] = 0;
  if (GetItemText(window, kPathField, buffer, capacity) == 0) return 0;
  TrimBlanks(buffer);
  // The buffer has one unit more than the field can fill: the separator
  // always fits.
  AppendSeparator(buffer, capacity + 1);
  return static_cast<uint32_t>(TextLength(buffer));
}

void SetPathField(Char16* path, void* window, int appendName) {
  if (appendName) {
    // A folder too long for the product name to be appended within the
    // field's limit is left as it is.
    Char16 folder[kPathCapacity];
    // Without a folder to start from there is nothing to propose: a bare
    // product name would be a relative path.
    if (CopyText(folder, kPathCapacity, path) != 0 || folder[0] == 0 ||
        AppendSeparator(folder, kPathCapacity) != 0 ||
        AppendText(folder, kPathFieldLimit + 1, ProductName()) != 0) {
      return;
    }
    CopyText(path, kPathCapacity, folder);
  }
  SetItemText(window, kPathField, path);
}

void UpdateInstallButton(void* window) {
  int ticked = IsItemChecked(window, kAcceptBox);
  Char16 path[kPathCapacity + 1];
  uint32_t length = ReadPathField(window, path, kPathCapacity);
  // A drive ("D:" counts, the separator being appended) or a network path.
  int valid = length > 2 && (path[1] == ':' || (path[0] == '\\' && path[1] == '\\'));
  EnableItem(window, kNextButton, ticked && valid);
}

void ApplyAcceptBox(void* window) {
  int ticked = IsItemChecked(window, kAcceptBox);
  if (g_isFreshInstall) {
    SetPage(window, ticked ? kPageDestination : kPageLicense);
    UpdateInstallButton(window);
  } else {
    EnableItem(window, kNextButton, ticked);
  }
}

void BrowseForDestination(void* window) {
  // The dialog always opens at the Program Files folder.
  Char16 start[kPathCapacity];
  start[0] = 0;
  QueryProgramFilesDir(start);
  Char16 path[kPathCapacity];
  if (BrowseForFolder(window, GetUiText(kTextBrowseInstruction), start, path) != 0 &&
      QueryFileAttributes(path) != kInvalidAttributes) {
    SetPathField(path, window, 1);
  }
}

void InitWizard(void* window, void* instance) {
  void* headingFont = CreateUiFont(ScaleForDisplay(kHeadingFontHeight), kFontBold);
  CreateInfoPane(window, instance);
  ShowInfoText();
  SendWindowMessage(GetDialogItem(window, kHeading), kWmSetFont,
                    reinterpret_cast<uintptr_t>(headingFont), 0);
  DisableCloseCommand(window);
  void* field = GetDialogItem(window, kPathField);
  SendWindowMessage(field, kEmLimitText, kPathFieldLimit, 0);
  EnableFolderCompletion(field);
  void* icon = LoadProductIcon(instance);
  if (icon != 0) {
    SendWindowMessage(window, kWmSetIcon, 0, reinterpret_cast<intptr_t>(icon));
    SendWindowMessage(window, kWmSetIcon, 1, reinterpret_cast<intptr_t>(icon));
  }
  Char16 caption[kCaptionCapacity];
  FormatWindowTitle(caption);
  SetWindowText16(window, caption);
  CheckItem(window, kDesktopBox, kChecked);
  for (uint32_t i = 0; i < COUNT_OF(kFixedTexts); ++i) {
    SetItemText(window, kFixedTexts[i][0], GetUiText(kFixedTexts[i][1]));
  }
  SetPage(window, kPageLicense);

  Char16 path[kPathCapacity];
  path[0] = 0;
  g_isFreshInstall = QueryInstalledCopy(path, kPathCapacity);
  int appendName = 0;
  if (g_isFreshInstall) {
    appendName = ResolveDefaultFolder(path, 1);
  } else {
    // An update: the licence counts as accepted.
    CheckItem(window, kAcceptBox, kChecked);
  }
  // Setting the field's text runs UpdateInstallButton through EN_CHANGE.
  SetPathField(path, window, appendName);
  SetItemText(window, kNextButton, GetUiText(g_isFreshInstall ? kTextNext : kTextInstall));
}

static int IsOnWhite(int id) {
  return id == kBannerBackground || id == kHeading || id == kSubHeading || id == kBannerIcon ||
         id == kInfoPaneItem;
}

int g_installRunning;

static const uint32_t kPbmSetRange = 0x401;
static const uint32_t kPbmSetStep = 0x404;
static const intptr_t kProgressRange = static_cast<intptr_t>(kProgressEnd) << 16;  // 0 to 10000

void StartInstall(void* window) {
  void* bar = GetDialogItem(window, kProgressBarItem);
  int desktop = IsItemChecked(window, kDesktopBox);
  Char16 path[kPathCapacity + 1];
  uint32_t namePosition = ReadPathField(window, path, kPathCapacity);
  if (namePosition == 0 || !FitsMainExecutable(namePosition)) return;
  if (HoldsOtherProduct(path)) {
    ShowMessage(window, kMbIconError, kOtherProductFolder, path);
    return;
  }
  if (IsExistingFolder(path)) {
    if (g_isFreshInstall && ShowMessage(window, kMbYesNo | kMbIconQuestion,
                                        GetUiText(kTextFolderExists), path) == kIdNo) {
      return;
    }
  } else if (uint32_t error = CreateFolderTree(path)) {
    // The folder and the system's own words for why it cannot be made, in
    // the user's language.
    Char16 reason[kMessageCapacity];
    DescribeError(error, reason, kMessageCapacity);
    ShowMessage(window, kMbIconError, u"%s\r\n\r\n%s", path, reason);
    return;
  }
  if (FixLaunchTarget(path, namePosition) != 0) return;
  CloseRunningInstances(window);
  SendWindowMessage(bar, kPbmSetRange, 0, kProgressRange);
  SendWindowMessage(bar, kPbmSetStep, kTimerStep, 0);
  RepaintWindow(bar);
  SetWindowText16(g_infoPane, u"");
  g_installReport.progressBar = bar;
  g_installReport.logPane = g_infoPane;
  SetPage(window, kPageInstalling);
  void* cursor = ShowWaitCursor();
  g_installRunning = 1;
  int result = InstallFiles(window, path, namePosition, desktop);
  g_installRunning = 0;
  SetPage(window, result != 0 ? kPageFailed : kPageCompleted);
  RestoreCursor(cursor);
}

intptr_t PLATFORM_CALLBACK WizardProc(void* window, uint32_t message, uintptr_t wParam,
                                      intptr_t lParam) {
  if (message == kWmInitDialog) {
    InitWizard(window, reinterpret_cast<void*>(lParam));
    return 1;
  }
  if (message == kWmCtlColorStatic) {
    if (!IsOnWhite(GetControlId(reinterpret_cast<void*>(lParam)))) return 0;
    return PaintOnWhite(reinterpret_cast<void*>(wParam));
  }
  if (message != kWmCommand) return 0;
  switch (wParam & 0xFFFF) {
    case kNextButton:
      StartInstall(window);
      break;
    case kCancelButton:
      // While the installation runs, Cancel is disabled; a close request
      // that still arrives through a nested message loop is ignored.
      if (g_installRunning) break;
      if (g_installSucceeded && IsItemChecked(window, kLaunchBox)) {
        // The product starts in the folder the installation used.
        Char16 directory[kPathCapacity + 1];
        ReadPathField(window, directory, kPathCapacity);
        LaunchProduct(directory);
      }
      EndModalDialog(window, 0);
      break;
    case kBackButton:
      CheckItem(window, kAcceptBox, kUnchecked);
      ApplyAcceptBox(window);
      break;
    case kBrowseButton:
      BrowseForDestination(window);
      break;
    case kAcceptBox:
      if (((wParam >> 16) & 0xFFFF) == kBnClicked) ApplyAcceptBox(window);
      break;
    case kPathField:
      UpdateInstallButton(window);
      break;
  }
  return 1;
}
