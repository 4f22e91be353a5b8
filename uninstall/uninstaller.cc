#include "uninstall/uninstaller.h"

#include "base/command_line.h"
#include "base/memory.h"
#include "base/text.h"
#include "install/location.h"
#include "install/sequence.h"
#include "platform/platform.h"
#include "startup/language.h"
#include "startup/message.h"
#include "startup/run_setup.h"
#include "uninstall/remove.h"

// Shown, in English, when there is no record to speak the user's language.
static const Char16 kNoRecord[] = u"The uninstall information of this product is missing or damaged.";
static const char kRemoveSwitch[] = "--remove ";
static const uint32_t kWaitForever = 0xFFFFFFFFu;
// The temporary copy's command line: its path, the switch, two numbers and
// the product folder.
static const uint32_t kCopyCommandCapacity = 2 * kPathCapacity + 64;

// What the temporary copy reports back through the pipe.
struct RemovalResult {
  uint32_t code;
  uint32_t leftCount;
  Char16 left[kMessageCapacity];
};

static int StartsWithAscii(const Char16* text, const char* prefix) {
  for (; *prefix != 0; ++prefix, ++text) {
    if (*text != static_cast<Char16>(*prefix)) return 0;
  }
  return 1;
}

static const Char16* ReadNumber(const Char16* p, uintptr_t* value) {
  *value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) *value = *value * 10 + (*p - '0');
  while (*p == ' ') ++p;
  return p;
}

static int AppendNumber(Char16* text, uint32_t capacity, uintptr_t value) {
  char digits[24];
  char* p = digits + sizeof digits - 1;
  *p = 0;
  do {
    *--p = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return AppendAscii(text, capacity, p);
}

// The product folder, with its "\", from the uninstaller's own path
// "<folder>uninstall\uninstall.exe". Returns 0, or 1 when it is not in an
// "uninstall" folder (nothing is removed then).
static int FindProductFolder(Char16* path) {
  if (GetOwnPath(path, kPathCapacity) != 0) return 1;
  Char16* cut = 0;
  for (int level = 0; level < 2; ++level) {
    cut = 0;
    for (Char16* p = path; *p != 0; ++p) {
      if (*p == '\\') cut = p;
    }
    if (cut == 0) return 1;
    *cut = 0;
  }
  if (CompareNoCase(cut + 1, u"" TAILPACK_UNINSTALL_FOLDER, sizeof kUninstallFolder) != 0) return 1;
  return AppendSeparator(path, kPathCapacity);
}

// The temporary copy's part: removes the product, reports to the uninstaller
// that started it, waits for it to end, then deletes its file and folders.
static uint32_t RemoveForUninstaller(const Char16* arguments) {
  uintptr_t parentId = 0, pipe = 0;
  const Char16* folder = ReadNumber(ReadNumber(arguments, &parentId), &pipe);
  void* parent = OpenProcessToWait(static_cast<uint32_t>(parentId));
  RecordSet* set = static_cast<RecordSet*>(AllocateMemory(sizeof(RecordSet)));
  RemovalResult* result = static_cast<RemovalResult*>(AllocateMemory(sizeof(RemovalResult)));
  LeftItems* left = static_cast<LeftItems*>(AllocateMemory(sizeof(LeftItems)));
  Catalogue catalogue;
  uint32_t code = kExitIncomplete;
  if (set != 0 && result != 0 && left != 0 && folder[0] != 0 && LoadRecords(folder, set) != 0 &&
      PrepareCatalogue(set, &catalogue) == 0) {
    if (RemoveProduct(folder, set, left) == 0) code = kExitRemoved;
    result->leftCount = left->count;
    CopyText(result->left, kMessageCapacity, left->text);
  }
  if (result != 0) {
    result->code = code;
    WritePipe(reinterpret_cast<void*>(pipe), result,
              static_cast<uint32_t>(8 + (TextLength(result->left) + 1) * 2));
  }
  CloseObject(reinterpret_cast<void*>(pipe));
  if (parent != 0) {
    WaitForProcess(parent, kWaitForever);
    CloseObject(parent);
  }

  // The uninstaller's file goes as soon as Windows has let go of it.
  Char16 path[kPathCapacity];
  if (CopyText(path, kPathCapacity, folder) == 0 && AppendAscii(path, kPathCapacity, kUninstallerName) == 0) {
    for (int attempt = 0; attempt < 50 && QueryFileAttributes(path) != kInvalidAttributes && DeleteFileAt(path) == 0;
         ++attempt) {
      SleepFor(100);
    }
    if (QueryFileAttributes(path) != kInvalidAttributes) DeleteAtRestart(path);
    path[TextLength(folder) + sizeof kUninstallFolder - 1] = 0;
    RemoveFolder(path);
  }
  RemoveFolder(folder);
  return code;
}

// Hands the removal to a copy of the uninstaller in the temporary folder and
// reads its result into `result`. Returns 0, or 1 when no copy could be
// started (nothing is removed then).
static int RemoveThroughCopy(const Char16* folder, RemovalResult* result) {
  Char16 copy[kPathCapacity];
  if (QueryTemporaryFolder(copy) != 0 || AppendAscii(copy, kPathCapacity, "tailpack-uninstall-") != 0 ||
      AppendNumber(copy, kPathCapacity, CurrentProcessId()) != 0 || AppendAscii(copy, kPathCapacity, ".exe") != 0 ||
      CopySelfForRemoval(copy) != 0) {
    return 1;
  }
  void* readEnd = 0;
  void* writeEnd = 0;
  if (CreateResultPipe(&readEnd, &writeEnd) != 0) return 1;
  Char16 command[kCopyCommandCapacity] = {'"'};
  void* process = 0;
  if (AppendText(command, kCopyCommandCapacity, copy) == 0 && AppendAscii(command, kCopyCommandCapacity, "\" ") == 0 &&
      AppendAscii(command, kCopyCommandCapacity, kRemoveSwitch) == 0 &&
      AppendNumber(command, kCopyCommandCapacity, CurrentProcessId()) == 0 &&
      AppendAscii(command, kCopyCommandCapacity, " ") == 0 &&
      AppendNumber(command, kCopyCommandCapacity, reinterpret_cast<uintptr_t>(writeEnd)) == 0 &&
      AppendAscii(command, kCopyCommandCapacity, " ") == 0 && AppendText(command, kCopyCommandCapacity, folder) == 0) {
    process = StartInheritingProcess(command);
  }
  // Only the copy holds the write end now: if it ends without reporting, the
  // read below ends too.
  CloseObject(writeEnd);
  if (process != 0) {
    uint32_t read = ReadPipe(readEnd, result, sizeof *result - sizeof(Char16));
    result->left[kMessageCapacity - 1] = 0;
    if (read < 8) {
      // It ended without a word: whatever ran there (a copy that failed, or
      // a program put in its place), nothing says the product is gone.
      WaitForProcess(process, kWaitForever);
      result->code = kExitIncomplete;
      result->left[0] = 0;
    }
    CloseObject(process);
  }
  CloseObject(readEnd);
  return process == 0;
}

uint32_t RunUninstaller(const Char16* tail) {
  RestrictLibrarySearch();
  if (StartsWithAscii(tail, kRemoveSwitch)) return RemoveForUninstaller(tail + sizeof kRemoveSwitch - 1);
  g_silent = IsSilentSwitch(tail);
  int silent = g_silent;
  Char16 folder[kPathCapacity];
  RecordSet* set = static_cast<RecordSet*>(AllocateMemory(sizeof(RecordSet)));
  RemovalResult* result = static_cast<RemovalResult*>(AllocateMemory(sizeof(RemovalResult)));
  Catalogue catalogue;
  if (set == 0 || result == 0 || FindProductFolder(folder) != 0 || LoadRecords(folder, set) == 0 ||
      PrepareCatalogue(set, &catalogue) != 0) {
    ReportStartupError(kNoRecord);
    return kExitNotStarted;
  }
  if (IsAdministrator() == 0) {
    ReportStartupError(GetUiText(kTextNotAdministrator));
    return kExitNotStarted;
  }
  const Char16* name = Setting(g_package, kProductName);
  if (!silent && ShowMessage(0, kMbYesNo | kMbIconQuestion, UninstallTextFor(set, kUninstallQuestion), name) != kIdYes) {
    return kExitRemoved;
  }
  // Silent: a product that does not close in time keeps everything.
  if (CloseRunningInstances(0) != 0) {
    ReportStartupError(kProductStillRunning);
    return kExitNotStarted;
  }

  if (RemoveThroughCopy(folder, result) != 0) {
    // No copy could run: remove from here, and let the next restart take
    // the uninstaller's own file and the folders it keeps.
    LeftItems* left = static_cast<LeftItems*>(AllocateMemory(sizeof(LeftItems)));
    result->code = kExitIncomplete;
    if (left != 0) {
      if (RemoveProduct(folder, set, left) == 0) result->code = kExitRemoved;
      result->leftCount = left->count;
    CopyText(result->left, kMessageCapacity, left->text);
    }
    Char16 path[kPathCapacity];
    if (GetOwnPath(path, kPathCapacity) == 0) DeleteAtRestart(path);
    if (CopyText(path, kPathCapacity, folder) == 0 && AppendAscii(path, kPathCapacity, kUninstallFolder) == 0) {
      DeleteAtRestart(path);
    }
    DeleteAtRestart(folder);
  }
  if (result->code != kExitRemoved) result->code = kExitIncomplete;
  if (!silent) {
    Char16 text[kMessageCapacity];
    int removed = result->code == kExitRemoved;
    FormatText(text, kMessageCapacity, UninstallTextFor(set, removed ? kUninstallRemoved : kUninstallIncomplete), name);
    if (!removed) AppendText(text, kMessageCapacity, result->left);
    ShowMessageBox(0, text, name, removed ? kMbIconInformation : kMbIconWarning);
  }
  return result->code;
}
