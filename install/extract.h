// File extraction with progress, then the post-install steps (shortcuts,
// uninstall registration and configuration command).
#pragma once

#include "base/types.h"
#include "platform/platform.h"

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
// `window` is the wizard (its timer moves the bar, its handle goes to the
// configuration command) or null; progress and log lines go to
// g_installReport. New files are written in place, replacements beside
// their targets, and only once every file is written are the old files
// replaced. Returns 0 on success; 1 after the "Failed to write file" line
// when a file cannot be created, written or moved into place (or its path
// does not fit), with the later entries and the post-install steps skipped
// and everything the install did undone: no file or folder of its own is
// left, and every file it would have replaced is as it was.
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

// Unless the folder of `path` (everything up to its last "\") already
// exists, creates each folder level of its relative part (from
// `namePosition` on) in turn, leaving the last component alone. A level
// that cannot be made shows up as the file's creation failure. Returns the
// index in `path` of the "\" that ends the first level it made, or 0 when
// it made none.
uint32_t CreateParentDirectories(Char16* path, uint32_t namePosition);

// Where the first level of the install folder that the install sequence
// made ends (the index of its "\" in the path), or 0 when the folder
// existed: a failed install removes the levels from there on.
extern uint32_t g_createdFolderFrom;

// Removes the folder levels of `path` that end at a "\" from index `from`
// up to (not including) `end`, the deepest first; folders that are not
// empty stay.
void RemoveCreatedFolders(Char16* path, uint32_t from, uint32_t end);
