#include "install/extract.h"

#include "base/text.h"
#include "install/location.h"
#include "install/shortcuts.h"
#include "install/uninstall.h"
#include "package/load.h"
#include "startup/run_setup.h"
#include "wizard/info_pane.h"

int g_installSucceeded;
int g_installFailed;

// InstallProgress: bytes written so far and the wizard's progress bar (null
// in silent mode, where no progress message is sent).
static uint64_t g_written;
static void* g_progressBar;

static const uint32_t kPbmSetPos = 0x402;
static const uint32_t kPbmGetPos = 0x408;

static void SetProgress(uint32_t position) {
  if (g_progressBar != 0) SendWindowMessage(g_progressBar, kPbmSetPos, position, 0);
}

// written * 5000 / total, truncated. The quotient stays below 2^13 because
// written never exceeds total, so a 13-step long division gives it exactly
// without the run-time library's 64-bit division.
void AdvanceProgress(uint32_t bytes) {
  g_written += bytes;
  uint64_t rest = g_written * kCopyPhaseEnd;
  uint32_t position = 0;
  for (int bit = 12; bit >= 0; --bit) {
    uint64_t part = g_package->total << bit;
    if (part <= rest) {
      rest -= part;
      position |= 1u << bit;
    }
  }
  SetProgress(position);
}

void PLATFORM_CALLBACK ProgressTimer(void*, uint32_t, uintptr_t, uint32_t) {
  uint32_t position = static_cast<uint32_t>(SendWindowMessage(g_progressBar, kPbmGetPos, 0, 0));
  if (position < kTimerLimit) SetProgress(position + kTimerStep);
}

uint32_t WriteChunked(const uint8_t* data, uint32_t size, PlatformFile file) {
  while (size != 0) {
    uint32_t piece = size < kWriteChunk ? size : kWriteChunk;
    uint32_t written = 0;
    uint32_t error = WriteFileBytes(file, data, piece, &written);
    AdvanceProgress(written);
    if (error != 0) return error;
    data += piece;
    size -= piece;
  }
  return 0;
}

void RenameLockedFile(const Char16* path) {
  Char16 aside[kPathCapacity];
  if (CopyText(aside, kPathCapacity, path) != 0 || AppendAscii(aside, kPathCapacity, ".tmpa") != 0) {
    return;
  }
  Char16* letter = aside + TextLength(aside) - 1;
  while (QueryFileAttributes(aside) != kInvalidAttributes && DeleteFileAt(aside) == 0 &&
         *letter != 'z') {
    ++*letter;
  }
  MoveAsideUntilReboot(path, aside);
}

void CreateParentDirectories(Char16* path, uint32_t namePosition) {
  if (QueryFileAttributes(path) != kInvalidAttributes) return;
  for (Char16* p = path + namePosition; *p != 0; ++p) {
    if (*p == '\\') {
      *p = 0;
      CreateFolder(path);
      *p = '\\';
    }
  }
}

// The folder of the previous entry, "\" included: it exists once that entry
// has been handled (or the entry failed, which ends the installation), so
// the next entry only needs the levels below what the two folders share.
// Entries come in path order, so most share their whole folder.
static Char16 g_knownFolder[kPathCapacity];
static uint32_t g_knownLength;

// Makes the folders of the entry in `path` the way CreateParentDirectories
// does, skipping the levels the previous entry's folder already covers.
static void MakeEntryFolders(Char16* path, uint32_t namePosition) {
  uint32_t shared = namePosition;
  uint32_t folderEnd = namePosition;
  int same = 1;
  for (uint32_t i = namePosition; path[i] != 0; ++i) {
    if (i >= g_knownLength || path[i] != g_knownFolder[i]) same = 0;
    if (path[i] == '\\') {
      folderEnd = i + 1;
      if (same) shared = i + 1;
    }
  }
  if (shared != folderEnd || folderEnd != g_knownLength) {
    if (shared != folderEnd) CreateParentDirectories(path, shared);
    for (uint32_t i = 0; i < folderEnd; ++i) g_knownFolder[i] = path[i];
    g_knownLength = folderEnd;
  }
}

// Writes one selected entry to `path`. Returns 0, or the error that fails
// the installation.
static uint32_t WriteEntry(const FileEntry* entry, Char16* path) {
  PlatformFile file;
  uint32_t error = CreateFileForWriting(path, &file);
  if (error == kErrorSharingViolation && (entry->flags & kEntryReplaceInUse) != 0) {
    RenameLockedFile(path);
    error = CreateFileForWriting(path, &file);
  }
  if (error != 0) return error;
  if (entry->size != 0) error = WriteChunked(g_package->block + entry->dataOffset, entry->size, file);
  if (error == 0) SetFileWriteTime(file, entry->timeLow, entry->timeHigh);
  CloseFile(file);
  return error;
}

int InstallFiles(void* window, Char16* path, uint32_t namePosition, int desktop) {
  void* saved = 0;
  int redirected = DisableFsRedirection(&saved);
  g_progressBar = GetDialogItem(window, kProgressBarItem);
  g_written = 0;
  // The destination folder itself exists (the install sequence made it).
  for (uint32_t i = 0; i < namePosition; ++i) g_knownFolder[i] = path[i];
  g_knownLength = namePosition;
  for (uint32_t i = 0; i < g_package->header.fileCount; ++i) {
    const FileEntry* entry = &g_package->entries[i];
    if (!IsEntrySelected(entry->flags, g_machine.archMask, g_machine.osMask)) continue;
    uint32_t error = kErrorPathTooLong;
    int fits = ConvertAnsiText(EntryName(g_package, entry), path + namePosition,
                               kPathCapacity - namePosition) == 0;
    LogLine(u"Copy %s\r\n", path);
    if (fits) {
      MakeEntryFolders(path, namePosition);
      if ((entry->flags & kEntryListedOnly) != 0) continue;
      error = WriteEntry(entry, path);
    }
    if (error != 0) {
      LogLine(u"Failed to write file: %s, code: %d\r\n", path, error);
      g_installFailed = 1;
      return 1;
    }
  }
  if (window != 0) StartTimer(window, kProgressTimerId, kProgressTimerPeriod, ProgressTimer);
  if (g_isFreshInstall) {
    path[namePosition] = 0;
    CreateShortcuts(path, desktop);
  }
  RegisterUninstall(namePosition, path, window);
  if (window != 0) StopTimer(window, kProgressTimerId);
  SetProgress(kProgressEnd);
  LogLine(u"End");
  if (redirected == 1) RevertFsRedirection(saved);
  g_installSucceeded = 1;
  return 0;
}
