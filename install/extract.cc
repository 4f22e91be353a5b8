#include "install/extract.h"

#include "base/text.h"
#include "install/location.h"
#include "install/shortcuts.h"
#include "install/uninstall.h"
#include "package/load.h"
#include "startup/message.h"
#include "startup/run_setup.h"
#include "install/report.h"

int g_installSucceeded;
int g_installFailed;

// InstallProgress: bytes written so far; the bar is g_installReport's (null
// in silent mode, where no progress message is sent).
static uint64_t g_written;

static const uint32_t kPbmSetPos = 0x402;
static const uint32_t kPbmGetPos = 0x408;

static void SetProgress(uint32_t position) {
  if (g_installReport.progressBar != 0) SendWindowMessage(g_installReport.progressBar, kPbmSetPos, position, 0);
}

// written * 5000 / total, truncated. The quotient stays below 2^13 because
// written never exceeds total, so a 13-step long division gives it exactly
// without the run-time library's 64-bit division.
void AdvanceProgress(uint32_t bytes) {
  g_written += bytes;
  uint64_t rest = g_written * kCopyPhaseEnd;
  uint64_t part = g_package->total << 12;
  uint32_t position = 0;
  for (uint32_t bit = 1u << 12; bit != 0; bit >>= 1, part >>= 1) {
    if (part <= rest) {
      rest -= part;
      position |= bit;
    }
  }
  SetProgress(position);
}

void PLATFORM_CALLBACK ProgressTimer(void*, uint32_t, uintptr_t, uint32_t) {
  uint32_t position = static_cast<uint32_t>(SendWindowMessage(g_installReport.progressBar, kPbmGetPos, 0, 0));
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

// The folder rather than the file is looked up: entries that share their
// data come one after the other, wherever their folders lie, so an entry
// often goes back to a folder made earlier for a file that is new; creating
// each level again would cost a failed creation per level.
uint32_t CreateParentDirectories(Char16* path, uint32_t namePosition) {
  Char16* last = 0;
  for (Char16* p = path + namePosition; *p != 0; ++p) {
    if (*p == '\\') last = p;
  }
  if (last == 0) return 0;
  *last = 0;
  uint32_t attributes = QueryFileAttributes(path);
  *last = '\\';
  if (attributes != kInvalidAttributes) return 0;
  uint32_t first = 0;
  for (Char16* p = path + namePosition; *p != 0; ++p) {
    if (*p == '\\') {
      *p = 0;
      if (CreateFolder(path) == 0 && first == 0) first = static_cast<uint32_t>(p - path);
      *p = '\\';
    }
  }
  return first;
}

// The folder of the previous entry, "\" included: it exists once that entry
// has been handled (or the entry failed, which ends the installation), so
// the next entry only needs the levels below what the two folders share.
// Entries come in path order, so most share their whole folder.
static Char16 g_knownFolder[kPathCapacity];
static uint32_t g_knownLength;

// Makes the folders of the entry in `path` the way CreateParentDirectories
// does, skipping the levels the previous entry's folder already covers.
// Returns where the first level it made ends, or 0.
static uint32_t MakeEntryFolders(Char16* path, uint32_t namePosition) {
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
  uint32_t made = 0;
  if (shared != folderEnd || folderEnd != g_knownLength) {
    if (shared != folderEnd) made = CreateParentDirectories(path, shared);
    for (uint32_t i = 0; i < folderEnd; ++i) g_knownFolder[i] = path[i];
    g_knownLength = folderEnd;
  }
  return made;
}

// Every install is one transaction: a file whose target does not exist
// yet is written in place, one that replaces a file is written beside it
// under its staging name (its path + ".~tp" + its entry number + "." + a
// random number in hex), created new so that nothing planted there is
// written through. Only once
// every file has been written (and, for a package that streams, the last
// byte decoded and the checksum matched) does the commit move each old file
// aside and the new one over it, in entry order; the old files are deleted
// when all moves have succeeded. Any failure before that undoes everything
// (RollBack): files written in place and staged files are removed, the old
// files moved back, and the folders the install made removed. The entry
// number keeps two entries that write the same target apart until they
// settle, the later one last.
//
// FileEntry::reserved records what the install did for an entry: its state
// (low byte, with kInUse), the letter of its old file's aside name (second byte), and
// where the first folder level it made ends, relative to the name position,
// plus 1 (upper half; 0 when it made none). It lives in the package block,
// so the record costs no memory of its own.
static const uint32_t kWrittenInPlace = 1;  // a new file at its target
static const uint32_t kStaged = 2;          // written under its staging name
static const uint32_t kMovedAside = 3;      // old file at its aside name, new one not in place
static const uint32_t kReplaced = 4;        // new file in place, old one at its aside name
static const uint32_t kStateMask = 0x0F;
static const uint32_t kInUse = 0x10;        // the old file was open in another program
// Bits 5 to 7: how many staging names were taken already (a collision).
static const uint32_t kRetryShift = 5;
static const uint32_t kMaxRetries = 7;
static const uint32_t kStagingSuffixLength = 24;  // ".~tp", 10 digits, ".", 8 digits, the terminator

// A staging name is created new (never opened if it exists: someone may have
// put a link there) and is not predictable: it carries this run's random
// number, one more for each name that was taken.
static uint32_t g_stagingNumber;

// Appends the staging suffix of entry `index`, `retry` names on, to the path
// in `path`. Returns 0, or 1 when it does not fit.
static int AppendStagingSuffix(Char16* path, uint32_t index, uint32_t retry) {
  size_t length = TextLength(path);
  if (length + kStagingSuffixLength > kPathCapacity) return 1;
  FormatText(path + length, kStagingSuffixLength, u".~tp%u.%x", index, g_stagingNumber + retry);
  return 0;
}

// Appends ".tmp" and `letter` to the path in `path`. Returns 0, or 1 when
// it does not fit.
static int AppendAsideSuffix(Char16* path, Char16 letter) {
  if (AppendAscii(path, kPathCapacity, ".tmpa") != 0) return 1;
  path[TextLength(path) - 1] = letter;
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

// Where the install folder really is ("\\?\" form, links resolved), and
// its length; 0 where the system cannot tell (no GetFinalPathNameByHandleW
// before Vista), which leaves the check below out.
static Char16 g_folderFinal[kPathCapacity + 8];
static uint32_t g_folderFinalLength;

// 0 when the file just opened lies inside the install folder, else
// kErrorReparsePoint: a folder on its way was a link (a junction or a
// symbolic link a standard user put there) that leads elsewhere.
static uint32_t CheckInsideFolder(PlatformFile file) {
  Char16 final[kPathCapacity + 8];
  if (g_folderFinalLength == 0) return 0;
  if (QueryFinalPath(file, final, kPathCapacity + 8) != 0 || TextLength(final) <= g_folderFinalLength ||
      final[g_folderFinalLength] != '\\' || CompareNoCase(final, g_folderFinal, g_folderFinalLength) != 0) {
    return kErrorReparsePoint;
  }
  return 0;
}

// Writes entry `index` in place when its target is new, else under its
// staging name, once it is sure the target can be replaced at the commit:
// a target that another program holds open fails the install unless the
// entry may replace files in use. `path` holds the target path again on
// return. Returns 0 or the error that fails the installation.
static uint32_t WriteEntry(uint32_t index, Char16* path) {
  FileEntry* entry = &g_package->entries[index];
  size_t length = TextLength(path);
  PlatformFile file;
  uint32_t how = kWrittenInPlace;
  uint32_t error = CreateFileForWriting(path, &file, kCreateNew);
  if (error == kErrorFileExists) {
    error = CreateFileForWriting(path, &file, kOpenExisting);
    if (error == 0) CloseFile(file);
    how = kStaged;
    if (error == kErrorSharingViolation && (entry->flags & kEntryReplaceInUse) != 0) {
      error = 0;
      how = kStaged | kInUse;
    }
    uint32_t retry = 0;
    while (error == 0) {
      path[length] = 0;
      if (AppendStagingSuffix(path, index, retry) != 0) {
        error = kErrorPathTooLong;
        break;
      }
      error = CreateFileForWriting(path, &file, kCreateNew);
      if (error != kErrorFileExists || retry == kMaxRetries) break;
      error = 0;
      ++retry;
    }
    how |= retry << kRetryShift;
  }
  // A file created through a link goes again (it is this install's own),
  // and the install fails before anything is written into it.
  if (error == 0 && (error = CheckInsideFolder(file)) != 0) {
    CloseFile(file);
    DeleteFileAt(path);
  }
  if (error == 0) {
    entry->reserved |= how;
    uint32_t start = entry->dataOffset;
    uint32_t end = start + entry->size;
    uint32_t held = g_package->heldSize;
    // Empty files take nothing from the stream, wherever they point; a
    // package held whole never streams.
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

// The staging name of entry `index` in `staged`, from its target in `path`.
static void ComposeStagedPath(Char16* staged, const Char16* path, uint32_t index) {
  CopyText(staged, kPathCapacity, path);
  AppendStagingSuffix(staged, index, (g_package->entries[index].reserved >> kRetryShift) & kMaxRetries);
}

// The aside name of `entry`'s old file in `aside`, from its target in `path`.
static void ComposeAsidePath(Char16* aside, const Char16* path, const FileEntry* entry) {
  CopyText(aside, kPathCapacity, path);
  AppendAsideSuffix(aside, static_cast<Char16>((entry->reserved >> 8) & 0xFF));
}

// The commit (`staged` 1): for each staged entry in order, moves its old
// file to the first free name of path + ".tmp" + a letter (a to z; an
// in-use program can be renamed though not replaced), then the new file
// over its target. Returns 0, or the error of the first step that failed,
// with its target in `path`. Then (`staged` 0), once every entry is in
// place: deletes each old file, or, when it was in use or cannot be
// deleted (a program still runs from it), schedules it for deletion at the
// next restart.
static uint32_t SettleEntries(Char16* path, uint32_t namePosition, int staged) {
  Char16 other[kPathCapacity];
  for (uint32_t i = 0; i < g_package->header.fileCount; ++i) {
    FileEntry* entry = &g_package->entries[i];
    if ((entry->reserved & kStateMask) != (staged ? kStaged : kReplaced)) continue;
    ComposeEntryPath(entry, path, namePosition);
    if (!staged) {
      ComposeAsidePath(other, path, entry);
      if ((entry->reserved & kInUse) != 0 || DeleteFileAt(other) == 0) DeleteAtRestart(other);
      continue;
    }
    // Names left by earlier installs are due for deletion at the next
    // restart; they are kept, so that nothing this install may need to put
    // back is ever deleted here.
    CopyText(other, kPathCapacity, path);
    if (AppendAsideSuffix(other, 'a') != 0) return kErrorPathTooLong;
    Char16* letter = other + TextLength(other) - 1;
    while (QueryFileAttributes(other) != kInvalidAttributes) {
      if (*letter == 'z') return kErrorAlreadyExists;
      ++*letter;
    }
    uint32_t error = MoveFileReplacing(path, other);
    if (error != 0) return error;
    entry->reserved = (entry->reserved & ~0xFF0Fu) | static_cast<uint32_t>(*letter) << 8 | kMovedAside;
    ComposeStagedPath(other, path, i);
    error = MoveFileReplacing(other, path);
    if (error != 0) return error;
    entry->reserved += kReplaced - kMovedAside;
  }
  return 0;
}

uint32_t g_createdFolderFrom;

void RemoveCreatedFolders(Char16* path, uint32_t from, uint32_t end) {
  for (uint32_t i = end; i-- > from;) {
    if (path[i] != '\\') continue;
    path[i] = 0;
    RemoveFolder(path);
    path[i] = '\\';
  }
}

// Undoes the install, the last entry first: removes the files written in
// place and the staged files, moves every old file back over its target
// (which keeps its content and times), removes the folders each entry made,
// then the levels of the install folder that the install sequence made.
// Goes on through every entry whatever fails on the way.
static void RollBack(Char16* path, uint32_t namePosition) {
  Char16 other[kPathCapacity];
  for (uint32_t i = g_package->header.fileCount; i-- > 0;) {
    FileEntry* entry = &g_package->entries[i];
    uint32_t state = entry->reserved & kStateMask;
    uint32_t made = entry->reserved >> 16;
    if (entry->reserved == 0) continue;
    // An entry with a record fitted the path buffer when it was written.
    ComposeEntryPath(entry, path, namePosition);
    if (state == kWrittenInPlace) DeleteFileAt(path);
    if (state >= kStaged) {
      ComposeStagedPath(other, path, i);
      DeleteFileAt(other);
    }
    if (state >= kMovedAside) {
      ComposeAsidePath(other, path, entry);
      MoveFileReplacing(other, path);
    }
    if (made != 0) RemoveCreatedFolders(path, namePosition + made - 1, static_cast<uint32_t>(TextLength(path)));
  }
  path[namePosition] = 0;
  if (g_createdFolderFrom != 0) RemoveCreatedFolders(path, g_createdFolderFrom, namePosition);
}

int InstallFiles(void* window, Char16* path, uint32_t namePosition, int desktop) {
  // Without a random generator the number stays as it was (0 at first):
  // names then only pass over what is there.
  GenerateRandom(&g_stagingNumber, sizeof g_stagingNumber);
  void* saved = 0;
  int redirected = DisableFsRedirection(&saved);
  // The install folder is held while the files go in, so that it cannot be
  // swapped for a link, and refused when it is one.
  uint32_t folderEnd = namePosition > 3 ? namePosition - 1 : namePosition;
  path[folderEnd] = 0;
  PlatformFile folder = HoldFolder(path);
  path[folderEnd] = '\\';
  path[namePosition] = 0;
  g_folderFinalLength = 0;
  if (folder != 0 && QueryFinalPath(folder, g_folderFinal, kPathCapacity + 8) == 0) {
    g_folderFinalLength = static_cast<uint32_t>(TextLength(g_folderFinal));
    // A drive's root ends in its separator already.
    if (g_folderFinalLength != 0 && g_folderFinal[g_folderFinalLength - 1] == '\\') --g_folderFinalLength;
  }
  g_written = 0;
  g_streamedEnd = 0;
  // The destination folder itself exists (the install sequence made it).
  for (uint32_t i = 0; i < namePosition; ++i) g_knownFolder[i] = path[i];
  g_knownLength = namePosition;
  int streams = g_package->heldSize != g_package->blockSize;
  if (streams) StartDecodingAhead();
  // Every entry's record starts empty (IndexPackage clears it).
  uint32_t error = folder == 0 ? kErrorReparsePoint : 0;
  for (uint32_t i = 0; i < g_package->header.fileCount && error == 0; ++i) {
    FileEntry* entry = &g_package->entries[i];
    if (!IsEntrySelected(entry->flags, g_machine.archMask, g_machine.osMask)) continue;
    error = kErrorPathTooLong;
    int fits = ComposeEntryPath(entry, path, namePosition) == 0;
    LogLine("Copy %s\r\n", path);
    if (fits) {
      uint32_t made = MakeEntryFolders(path, namePosition);
      if (made != 0) entry->reserved = (made - namePosition + 1) << 16;
      error = 0;
      if ((entry->flags & kEntryListedOnly) != 0) continue;
      error = WriteEntry(i, path);
    }
  }
  if (streams && error == 0) {
    // The rest of the stream (data of entries not for this machine), then
    // the checksum of the whole block, before any target is replaced.
    path[namePosition] = 0;
    error = WriteFromStream(g_package->blockSize, 0, 0);
    if (error == 0 && g_stream.checksum != g_stream.expected) error = kErrorDamagedData;
  }
  if (error == 0) error = SettleEntries(path, namePosition, 1);
  if (error != 0) {
    LogLine("Failed to write file: %s, code: %d\r\n", path, error);
    if (streams) StopDecodingAhead();
    RollBack(path, namePosition);
    if (folder != 0) CloseFile(folder);
    g_installFailed = 1;
    return 1;
  }
  SettleEntries(path, namePosition, 0);
  CloseFile(folder);
  if (window != 0) StartTimer(window, kProgressTimerId, kProgressTimerPeriod, ProgressTimer);
  if (g_isFreshInstall) {
    path[namePosition] = 0;
    CreateShortcuts(path, desktop);
  }
  RegisterUninstall(namePosition, path, window);
  if (window != 0) StopTimer(window, kProgressTimerId);
  SetProgress(kProgressEnd);
  LogLine("End");
  if (redirected == 1) RevertFsRedirection(saved);
  g_installSucceeded = 1;
  return 0;
}
