// The steps the wizard's StartInstall and the silent install share: the
// destination folder, fixing the launch target and closing running copies
// of the product.
#pragma once

#include "base/types.h"

// 1 when `path` names an existing folder (GetFileAttributesW succeeds with
// FILE_ATTRIBUTE_DIRECTORY), else 0.
int IsExistingFolder(const Char16* path);

// Creates every missing level of the folder in `path` (which ends in "\"),
// from the first level below the drive or share on, and records the first
// one it made in g_createdFolderFrom. Returns 0 when the folder exists
// afterwards, else the Windows error of the level that could not be made,
// with the levels it made removed again.
uint32_t CreateFolderTree(Char16* path);

// 1 when the install folder (`namePosition` units, its "" included) leaves
// room in a kPathCapacity-unit buffer for MainExecutable, which the launch
// target and the uninstall entry are made from; else 0.
int FitsMainExecutable(uint32_t namePosition);

// 1 when the install folder `path` (ending in "\") holds another product's
// uninstall records: "uninstall\<name>\*.tpr" for a name other than
// ProductName (ignoring case), or a record directly in "uninstall\", where
// earlier versions kept them, whose ProductName is not this product's.
// Installing there would let either product's uninstaller remove the
// other's files; the folder is refused before anything is written.
int HoldsOtherProduct(const Char16* path);
// What the refusal says (fixed English text).
extern const Char16 kOtherProductFolder[];

// LaunchTargetFromPackage: 1 when the package carries its own LaunchTarget,
// 0 when FixLaunchTarget derived it from the install folder.
extern int g_launchTargetFromPackage;

// `path` holds the install folder (ending in "\") up to `namePosition`, in a
// buffer of kPathCapacity units. When the package has no LaunchTarget, copies
// MainExecutable to the name position and stores a heap copy of the full
// path as LaunchTarget; otherwise sets g_launchTargetFromPackage. Returns 0,
// or 1 when the executable's path does not fit the buffer or no memory is
// left (LaunchTarget then stays absent).
int FixLaunchTarget(Char16* path, uint32_t namePosition);

// Closes the running product: while a window of WindowClass/WindowTitle
// exists, sends it WM_CLOSE (lParam 1024) and, for product names beginning
// with "I", message 0x8066, then waits 600 ms; from the sixth attempt on
// every attempt asks UiText 22 (owner `owner`). Then, while the mutex
// MutexName exists, asks the same question without owner. Cancel in a
// question ends the process with exit code 0. Returns 0 when no running
// copy is detected.
//
// In an unattended run (g_silent) nothing is asked: the close requests go
// on, and the window and the mutex get 60 seconds of 600 ms pauses between
// them to go. Returns 1 when either is still there after that.
int CloseRunningInstances(void* owner);
