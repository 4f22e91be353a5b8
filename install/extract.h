// File extraction with progress, then the post-install steps (shortcuts,
// uninstall registration and configuration command).
#pragma once

#include "base/types.h"
#include "platform/platform.h"
#include "wizard/wizard.h"

// InstallSucceeded: 1 once InstallFiles has completed.
extern int g_installSucceeded;
// 1 once InstallFiles has failed: the process then exits with 2.
extern int g_installFailed;

const uint32_t kProgressTimerId = 255;
const uint32_t kProgressTimerPeriod = 30;
// Progress bar range 0..10000: the copy phase fills 0..5000, the timer moves
// on toward 9000 during the post-install steps, the end sets 10000.
const uint32_t kCopyPhaseEnd = 5000;
const uint32_t kTimerLimit = 9000;
const uint32_t kTimerStep = 300;
const uint32_t kProgressEnd = 10000;
const uint32_t kWriteChunk = 65536;

// Writes every file entry selected for this machine under the folder in
// `path` (a kPathCapacity-unit buffer holding the folder up to
// `namePosition`, ending in "\"), logging one "Copy" line each. On a fresh
// install then creates the shortcuts (`desktop`: also the desktop one), and
// registers the uninstall entry after running the configuration command.
// `window` is the wizard (its progress bar gets the progress) or null.
// Returns 0 on success; 1 after the "Failed to write file" line when a file
// cannot be created or written (or its path does not fit), with the later
// entries and the post-install steps skipped.
int InstallFiles(void* window, Char16* path, uint32_t namePosition, int desktop);

// Writes `size` bytes in pieces of at most kWriteChunk bytes, advancing the
// progress after each piece. Returns 0, or the error of the first write that
// failed or came up short.
uint32_t WriteChunked(const uint8_t* data, uint32_t size, PlatformFile file);

// Adds `bytes` to the bytes written and moves the bar to
// written * 5000 / total.
void AdvanceProgress(uint32_t bytes);

// Timer 255: moves the bar on by 300 while it is below 9000.
void PLATFORM_CALLBACK ProgressTimer(void* window, uint32_t message, uintptr_t id, uint32_t time);

// Moves the in-use file `path` aside to path + ".tmp" + the first letter a-z
// whose name is free or can be freed (z when none), and schedules that name
// for deletion at the next restart. A path too long for the aside name is
// left in place.
void RenameLockedFile(const Char16* path);

// Unless the folder of `path` (everything up to its last "\") already
// exists, creates each folder level of its relative part (from
// `namePosition` on) in turn, leaving the last component alone. A level
// that cannot be made shows up as the file's creation failure.
void CreateParentDirectories(Char16* path, uint32_t namePosition);
