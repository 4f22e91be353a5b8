#include "install/extract.h"

#include "base/text.h"
#include "install/location.h"
#include "install/shortcuts.h"
#include "install/uninstall.h"
#include "package/load.h"
#include "startup/message.h"
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

// The folder rather than the file is looked up: entries that share their
// data come one after the other, wherever their folders lie, so an entry
// often goes back to a folder made earlier for a file that is new; creating
// each level again would cost a failed creation per level.
void CreateParentDirectories(Char16* path, uint32_t namePosition) {
  Char16* last = 0;
  for (Char16* p = path + namePosition; *p != 0; ++p) {
    if (*p == '\\') last = p;
  }
  if (last == 0) return;
  *last = 0;
  uint32_t attributes = QueryFileAttributes(path);
  *last = '\\';
  if (attributes != kInvalidAttributes) return;
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

// Packages whose file data streams are installed in two steps, so that a
// damaged package leaves nothing behind and replaces nothing: as its data
// is decoded, a file whose target does not exist yet is written in place,
// any other under its staging name (its path + ".~tp" + its entry number).
// Only once the last byte has been decoded and the checksum matches are the
// staged files moved over their targets, in entry order; on any failure the
// staged files and the files written in place are removed. The entry
// number keeps two entries that write the same target apart until they
// settle, the later one last. FileEntry::reserved marks how an entry was
// written.
static const uint8_t kWrittenInPlace = 1;
static const uint8_t kStaged = 2;
static const uint32_t kStagingSuffixLength = 15;  // ".~tp", 10 digits, the terminator

// Appends the staging suffix of entry `index` to the path in `path`.
// Returns 0, or 1 when it does not fit.
static int AppendStagingSuffix(Char16* path, uint32_t index) {
  size_t length = TextLength(path);
  if (length + kStagingSuffixLength > kPathCapacity) return 1;
  FormatText(path + length, kStagingSuffixLength, u".~tp%u", index);
  return 0;
}

// The data of the last entry written from the stream, and where it was
// written: an entry with the very same data is copied from there.
static uint32_t g_streamedStart;
static uint32_t g_streamedEnd;
static Char16 g_streamedPath[kPathCapacity];

// Moves the stream on to `offset`, or over `size` more bytes into `file`.
// Returns 0, or ERROR_CRC (23) when the stream cannot be decoded, or the
// write error.
static const uint32_t kErrorDamagedData = 23;

static uint32_t WriteFromStream(uint32_t offset, uint32_t size, PlatformFile file) {
  while (g_stream.position < offset || size != 0) {
    uint32_t skip = g_stream.position < offset ? offset - g_stream.position : 0;
    uint32_t piece = skip != 0 ? skip : size;
    if (piece > kScratchSize) piece = kScratchSize;
    if (DecodeNext(g_reader.scratch, piece) != kPackageOk) return kErrorDamagedData;
    if (skip != 0) continue;
    uint32_t error = WriteChunked(g_reader.scratch, piece, file);
    if (error != 0) return error;
    size -= piece;
  }
  return 0;
}

// Copies the `size` bytes of the file staged at `source` into `file`.
static uint32_t CopyStagedFile(const Char16* source, uint32_t size, PlatformFile file) {
  PlatformFile input = OpenFileForReading(source);
  if (input == 0) return kErrorDamagedData;
  uint32_t error = 0;
  for (uint32_t done = 0; done != size && error == 0;) {
    uint32_t piece = size - done < kScratchSize ? size - done : kScratchSize;
    error = ReadFileAt(input, done, g_reader.scratch, piece) != 0 ? kErrorDamagedData
                                                                  : WriteChunked(g_reader.scratch, piece, file);
    done += piece;
  }
  CloseFile(input);
  return error;
}

// Writes entry `index` in place when its target is new, else under its
// staging name. `path` holds its target path again on return. Returns 0 or
// the error that fails the installation.
static uint32_t StageEntry(uint32_t index, Char16* path) {
  FileEntry* entry = &g_package->entries[index];
  size_t length = TextLength(path);
  PlatformFile file;
  uint8_t how = kWrittenInPlace;
  uint32_t error = CreateFileForWriting(path, &file, kCreateNew);
  if (error != 0) {
    how = kStaged;
    if (AppendStagingSuffix(path, index) != 0) return kErrorPathTooLong;
    error = CreateFileForWriting(path, &file, kCreateAlways);
  }
  if (error == 0) {
    entry->reserved = how;
    uint32_t start = entry->dataOffset;
    uint32_t end = start + entry->size;
    uint32_t held = g_package->heldSize;
    // Empty files take nothing from the stream, wherever they point.
    if (entry->size == 0 || end <= held) {
      error = WriteChunked(g_package->block + start, entry->size, file);
    } else if (start == g_streamedStart && end == g_streamedEnd) {
      // The previous entry's data again: still in the scratch buffer when
      // it came from the stream in one piece, else read back from its file.
      error = start >= held && entry->size <= kScratchSize ? WriteChunked(g_reader.scratch, entry->size, file)
                                                           : CopyStagedFile(g_streamedPath, entry->size, file);
    } else {
      // Data that begins in the held bytes (only the first entry written
      // from the stream may) continues where the stream stands.
      uint32_t from = start;
      if (from < held) {
        error = WriteChunked(g_package->block + from, held - from, file);
        from = held;
      }
      if (error == 0) error = WriteFromStream(from, end - from, file);
      g_streamedStart = start;
      g_streamedEnd = end;
      CopyText(g_streamedPath, kPathCapacity, path);
    }
    if (error == 0) SetFileWriteTime(file, entry->timeLow, entry->timeHigh);
    CloseFile(file);
  }
  path[length] = 0;
  return error;
}

// Puts the target path of `entry` after the folder in `path`; 1 when it
// does not fit.
static int ComposeEntryPath(const FileEntry* entry, Char16* path, uint32_t namePosition) {
  return ConvertAnsiText(EntryName(g_package, entry), path + namePosition, kPathCapacity - namePosition) != 0;
}

// Moves each staged file over its target (`commit`), or removes what the
// install wrote: the staged files not moved yet and the files written in
// place. A target in use is moved aside first when its entry allows it.
// Returns 0, or the error of the first move that failed, with its target
// in `path`.
static uint32_t SettleStagedFiles(Char16* path, uint32_t namePosition, int commit) {
  Char16 staged[kPathCapacity];
  for (uint32_t i = 0; i < g_package->header.fileCount; ++i) {
    FileEntry* entry = &g_package->entries[i];
    if (entry->reserved == 0 || (commit && entry->reserved == kWrittenInPlace)) continue;
    ComposeEntryPath(entry, path, namePosition);
    CopyText(staged, kPathCapacity, path);
    if (entry->reserved == kStaged) AppendStagingSuffix(staged, i);
    if (!commit) {
      DeleteFileAt(staged);
      continue;
    }
    uint32_t error = MoveFileReplacing(staged, path);
    if (error != 0 && (entry->flags & kEntryReplaceInUse) != 0) {
      RenameLockedFile(path);
      error = MoveFileReplacing(staged, path);
    }
    if (error != 0) return error;
    entry->reserved = 0;
  }
  return 0;
}

int InstallFiles(void* window, Char16* path, uint32_t namePosition, int desktop) {
  void* saved = 0;
  int redirected = DisableFsRedirection(&saved);
  g_progressBar = GetDialogItem(window, kProgressBarItem);
  g_written = 0;
  g_streamedEnd = 0;
  // The destination folder itself exists (the install sequence made it).
  for (uint32_t i = 0; i < namePosition; ++i) g_knownFolder[i] = path[i];
  g_knownLength = namePosition;
  int streams = g_package->heldSize != g_package->blockSize;
  if (streams) StartDecodingAhead();
  uint32_t error = 0;
  for (uint32_t i = 0; i < g_package->header.fileCount && error == 0; ++i) {
    FileEntry* entry = &g_package->entries[i];
    entry->reserved = 0;
    if (!IsEntrySelected(entry->flags, g_machine.archMask, g_machine.osMask)) continue;
    error = kErrorPathTooLong;
    int fits = ComposeEntryPath(entry, path, namePosition) == 0;
    LogLine(u"Copy %s\r\n", path);
    if (fits) {
      MakeEntryFolders(path, namePosition);
      error = 0;
      if ((entry->flags & kEntryListedOnly) != 0) continue;
      error = streams ? StageEntry(i, path) : WriteEntry(entry, path);
    }
  }
  if (streams && error == 0) {
    // The rest of the stream (data of entries not for this machine), then
    // the checksum of the whole block, before any target is replaced.
    path[namePosition] = 0;
    error = WriteFromStream(g_package->blockSize, 0, 0);
    if (error == 0 && g_stream.checksum != g_stream.expected) error = kErrorDamagedData;
    if (error == 0) error = SettleStagedFiles(path, namePosition, 1);
  }
  if (error != 0) {
    LogLine(u"Failed to write file: %s, code: %d\r\n", path, error);
    if (streams) {
      StopDecodingAhead();
      SettleStagedFiles(path, namePosition, 0);
    }
    g_installFailed = 1;
    return 1;
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
