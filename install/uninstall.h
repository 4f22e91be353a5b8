// The uninstall entry and the product's configuration command.
#pragma once

#include "base/types.h"

// The uninstall values in the order they are written: six REG_SZ, then
// three REG_DWORD, then QuietUninstallString (REG_SZ, written only when the
// package carries the generated uninstaller); the names one after the other,
// each ended by a 0 byte.
// An earlier installation is recognised by two of them.
inline constexpr char kUninstallValueNames[] =
    "UninstallString\0DisplayIcon\0InstallLocation\0DisplayName\0DisplayVersion\0"
    "Publisher\0NoModify\0NoRepair\0EstimatedSize\0QuietUninstallString";
const char* const kInstallLocationValue = kUninstallValueNames + 28;
const char* const kDisplayVersionValue = kUninstallValueNames + 56;
static_assert(kUninstallValueNames[27] == 0 && kUninstallValueNames[28] == 'I' &&
                  kUninstallValueNames[43] == 0 && kUninstallValueNames[55] == 0 &&
                  kUninstallValueNames[56] == 'D' && kUninstallValueNames[57] == 'i' &&
                  kUninstallValueNames[70] == 0,
              "the offsets of InstallLocation and DisplayVersion");

// The configuration and uninstall command lines, terminator included.
const uint32_t kCommandCapacity = 268;
// ComposeNameAndVersion's buffer.
const uint32_t kNameAndVersionCapacity = 128;

// Writes ProductName, one blank and ProductVersion (the name alone when
// there is no version) into `buffer` of kNameAndVersionCapacity units, cut
// when longer.
void ComposeNameAndVersion(Char16* buffer);

// Creates or opens the product's uninstall key (KEY_WRITE | RegistryView),
// runs the configuration command ("MainExecutable" quoted, then ConfigCommand
// formatted with the window handle and PreviousVersion) after its "Config:"
// log line and waits for it, then writes the nine uninstall values in their
// order. `path` is a kPathCapacity-unit buffer holding the install folder up
// to `namePosition`; it is used as work space. Nothing happens when the key
// cannot be created; a configuration command line that does not fit is not
// run, and uninstall arguments that do not fit are left out.
void RegisterUninstall(uint32_t namePosition, Char16* path, void* window);
