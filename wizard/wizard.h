// The setup wizard: one modal dialog (template 1) whose five page states show,
// hide, enable and relabel the controls of the one template.
#pragma once

#include "base/types.h"
#include "platform/platform.h"

// Dialog items of template 1, named by role.
enum DialogItem {
  kNextButton = 1,
  kCancelButton = 2,
  kBackButton = 3,
  kBannerBackground = 4,
  kHeading = 5,
  kSubHeading = 6,
  kBrowseButton = 8,
  kAcceptBox = 9,
  kDesktopBox = 10,
  kLaunchBox = 11,
  kPathField = 21,
  kProgressBarItem = 22,
  kBannerIcon = 23,
  kPaneFrame = 24,
  kInfoPaneItem = 200,
};

// WizardPage.
enum WizardPage {
  kPageLicense = 1,
  kPageDestination = 2,
  kPageInstalling = 3,
  kPageCompleted = 4,
  kPageFailed = 5,
};

// Text buffers of the wizard, terminator included.
const uint32_t kCaptionCapacity = 260;
const uint32_t kSubHeadingCapacity = 256;
const uint32_t kLaunchBoxCapacity = 128;
// The folder field holds at most this many units (EM_LIMITTEXT).
const uint32_t kPathFieldLimit = 259;

// WM_SETFONT, with which the heading and the info pane get their fonts.
const uint32_t kWmSetFont = 0x30;
// Cell heights in pixels at 96 DPI of the bold heading font and of the info
// pane's font; both are scaled with the display's DPI.
const int kHeadingFontHeight = 12;
const int kPaneFontHeight = 13;

// `pixels` at 96 DPI scaled to the display's DPI (rounded; unchanged at 96).
int ScaleForDisplay(int pixels);

// Initialises the common controls and shows the wizard modally with no
// owner; returns when the dialog has ended.
void RunWizard(void* instance);

// The dialog procedure: WM_INITDIALOG (InitWizard; returns 1), WM_COMMAND
// (the buttons, the acceptance box and the folder field; returns 1) and
// WM_CTLCOLORSTATIC (the banner's controls and the pane on white). Every
// other message returns 0.
intptr_t PLATFORM_CALLBACK WizardProc(void* window, uint32_t message, uintptr_t wParam,
                                      intptr_t lParam);

// Sets up the dialog: fonts, the info pane with the info text, the greyed
// Close command, the folder field's limit and completion, icons, caption,
// fixed control texts, page 1, then the earlier installation or the default
// folder in the folder field and the caption of the Next/Install button.
void InitWizard(void* window, void* instance);

// Shows page 1 to 5 (any other value changes nothing): headings, shown and
// hidden controls, captions and states.
void SetPage(void* window, int page);

// Heading: UiText `heading` as it is; sub-heading: UiText `subHeading`
// formatted with ProductName (256 units, cut when longer).
void SetHeadings(void* window, uint32_t heading, uint32_t subHeading);

// The caption: UiText 0 formatted with ComposeNameAndVersion (260 units).
void FormatWindowTitle(Char16* out);

// Reads the folder field into `buffer` (capacity + 1 units), removes blanks
// at both ends and appends "\" when missing. Returns the length, 0 for an
// empty field.
uint32_t ReadPathField(void* window, Char16* buffer, uint32_t capacity);

// With `appendName`, appends "\" (unless empty or already there) and
// ProductName to `path` (kPathCapacity units; a path too long for the name is
// left as it is). Then puts the path in the folder field.
void SetPathField(Char16* path, void* window, int appendName);

// Enables Next/Install when the acceptance box is ticked and the folder
// looks like a drive or network path.
void UpdateInstallButton(void* window);

// The acceptance box changed: on a fresh install it switches between pages
// 1 and 2; on an update it enables or disables Install.
void ApplyAcceptBox(void* window);

// Lets the user choose the destination in the shell's folder dialog, opened
// at the Program Files folder; a chosen folder that exists becomes the
// field's text with ProductName appended.
void BrowseForDestination(void* window);

// 1 while StartInstall runs InstallFiles: commands that would end the
// dialog are ignored then.
extern int g_installRunning;

// The wizard's Next/Install button: reads the folder field; an existing
// folder on a fresh install is used only when the user says so (UiText 20),
// a missing one is created with its missing parents (nothing happens when
// that fails, or when the folder is too long for the main executable);
// fixes the launch target, closes the running product, prepares the
// progress bar, empties the pane to become the log, points the install's
// report at both, shows page 3 and the wait cursor, runs InstallFiles and
// shows page 4 or, after a failure, 5.
void StartInstall(void* window);
