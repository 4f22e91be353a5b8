// Interface language: chooses one language block of the package from the
// user's LANGID and hands out the 23 UI texts of that block.
#pragma once

#include "base/types.h"

// UiText: the fixed role of each of the 23 texts of a language block. Six of
// them are formats with one %s (marked), the others are shown as they are.
enum UiText {
  kTextWindowTitle = 0,          // %s: product name and version
  kTextBack = 1,
  kTextNext = 2,                 // Next/Install button on a fresh install
  kTextInstall = 3,              // Next/Install button on an update
  kTextCancel = 4,
  kTextLicenseHeading = 5,
  kTextLicenseSubHeading = 6,    // formatted with the product name
  kTextAccept = 7,
  kTextDestinationHeading = 8,
  kTextDestinationSubHeading = 9,   // %s: product name
  kTextBrowse = 10,
  kTextInstallingHeading = 11,
  kTextInstallingSubHeading = 12,   // %s: product name
  kTextCompletedHeading = 13,
  kTextFailedHeading = 14,
  kTextFinishedSubHeading = 15,  // formatted with the product name
  kTextFinish = 16,
  kTextLaunch = 17,              // %s: product name
  kTextBrowseInstruction = 18,
  kTextDesktopShortcut = 19,
  kTextFolderExists = 20,        // %s: folder path
  kTextNotAdministrator = 21,
  kTextProductRunning = 22,      // %s: product name
};

// SelectedLanguage: index into the package's language table. 0 (the default
// block) until SelectLanguage runs and whenever no block matches.
extern uint32_t g_selectedLanguage;

// Sets g_selectedLanguage from GetUserDefaultLangID: the first block after
// block 0 whose LANGID equals the user's, else the first block after block 0
// with the same primary language (low 10 bits), else 0. Block 0 is never
// compared. Needs g_package.
void SelectLanguage();

// Text `index` of the selected block: never null, valid until exit. The index
// is not range-checked.
const Char16* GetUiText(uint32_t index);
