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
static const char kCopyName[] = "uninstall.exe";
// The private copy's command line: its path, the switch, two numbers and
// the uninstaller's path.
static const uint32_t kCopyCommandCapacity = 2 * kPathCapacity + 64;

// The copy's folder: "tailpack-" and 16 hexadecimal digits of random bytes
// in the temporary folder, open to SYSTEM and the administrators only, so
// that nobody else can put anything in the copy's place.
static const char kCopyFolderPrefix[] = "tailpack-";
static const Char16 kCopyFolderAccess[] = u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
static const uint32_t kCopyFolderAttempts = 8;
// An uninstaller is far smaller; a file larger than this is not copied.
static const uint64_t kMaxCopySize = 16u << 20;

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

// Splits the uninstaller's path "<folder>uninstall\<product>\uninstall.exe"
// in `path`: leaves "<folder>" with its "\" there and the product's folder
// name in `product` (kPathCapacity units). Returns 0, or 1 when the path has
// no "uninstall" folder two levels up (nothing is removed then). That the
// product's folder bears its name is checked against each record.
static int SplitUninstallerPath(Char16* path, Char16* product) {
  Char16* cut = 0;
  for (int level = 0; level < 3; ++level) {
    cut = 0;
    for (Char16* p = path; *p != 0; ++p) {
      if (*p == '\\') cut = p;
    }
    if (cut == 0) return 1;
    *cut = 0;
    if (level == 1 && CopyText(product, kPathCapacity, cut + 1) != 0) return 1;
  }
  if (CompareNoCase(cut + 1, u"" TAILPACK_UNINSTALL_FOLDER, sizeof kUninstallFolder) != 0) return 1;
  return AppendSeparator(path, kPathCapacity);
}

// Hands "<folder>uninstall\<product>", "<folder>uninstall" and "<folder>"
// to `remove` (RemoveFolder, or DeleteAtRestart), deepest first: each goes
// when empty, "uninstall" only once no other product's folder is in it.
// `path` is work space of kPathCapacity units.
static void RemoveUninstallFolders(const Char16* folder, const Char16* product, Char16* path,
                                   void (*remove)(const Char16*)) {
  if (CopyText(path, kPathCapacity, folder) != 0 || AppendAscii(path, kPathCapacity, kUninstallFolder) != 0) return;
  uint32_t length = static_cast<uint32_t>(TextLength(path));
  if (AppendSeparator(path, kPathCapacity) == 0 && AppendText(path, kPathCapacity, product) == 0) remove(path);
  path[length] = 0;
  remove(path);
  remove(folder);
}

// The private copy's part: removes the product of the uninstaller at
// `arguments`' path, reports to the uninstaller that started it, waits for
// it to end, then deletes its file and folders.
static uint32_t RemoveForUninstaller(const Char16* arguments) {
  uintptr_t parentId = 0, pipe = 0;
  const Char16* uninstaller = ReadNumber(ReadNumber(arguments, &parentId), &pipe);
  void* parent = OpenProcessToWait(static_cast<uint32_t>(parentId));
  RecordSet* set = static_cast<RecordSet*>(AllocateMemory(sizeof(RecordSet)));
  RemovalResult* result = static_cast<RemovalResult*>(AllocateMemory(sizeof(RemovalResult)));
  LeftItems* left = static_cast<LeftItems*>(AllocateMemory(sizeof(LeftItems)));
  Catalogue catalogue;
  Char16 folder[kPathCapacity];
  Char16 product[kPathCapacity];
  int found = CopyText(folder, kPathCapacity, uninstaller) == 0 && SplitUninstallerPath(folder, product) == 0;
  uint32_t code = kExitIncomplete;
  if (set != 0 && result != 0 && left != 0 && found && LoadRecords(folder, product, set) != 0 &&
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

  // The uninstaller's file goes as soon as Windows has let go of it, then
  // its folder, "uninstall" when no other product's is left in it, and the
  // product folder when empty.
  Char16 path[kPathCapacity];
  if (found) {
    for (int attempt = 0;
         attempt < 50 && QueryFileAttributes(uninstaller) != kInvalidAttributes && DeleteFileAt(uninstaller) == 0;
         ++attempt) {
      SleepFor(100);
    }
    if (QueryFileAttributes(uninstaller) != kInvalidAttributes) DeleteAtRestart(uninstaller);
    RemoveUninstallFolders(folder, product, path, RemoveFolder);
  }
  // The copy's own file goes when this process ends, its folder after it;
  // should Windows keep either (a file still mapped as the process ends),
  // the next restart takes it.
  if (GetOwnPath(path, kPathCapacity) == 0) {
    Char16* name = 0;
    for (Char16* p = path; *p != 0; ++p) {
      if (*p == '\\') name = p;
    }
    Char16* folderName = name;
    while (folderName != 0 && folderName != path && folderName[-1] != '\\') --folderName;
    if (name != 0 && CompareNoCase(folderName, u"tailpack-", sizeof kCopyFolderPrefix - 1) == 0) {
      DeleteAtRestart(path);
      *name = 0;
      DeleteAtRestart(path);
      RemoveFolderAtExit(path);
    }
  }
  return code;
}

// Makes a new copy folder and leaves its path, with its "\", in `path`.
// Returns 0, or 1 when none could be made.
static int CreateCopyFolder(Char16* path) {
  if (QueryTemporaryFolder(path) != 0) return 1;
  uint32_t length = static_cast<uint32_t>(TextLength(path));
  for (uint32_t attempt = 0; attempt < kCopyFolderAttempts; ++attempt) {
    uint8_t random[8];
    char name[sizeof kCopyFolderPrefix + 2 * sizeof random];
    if (GenerateRandom(random, sizeof random) != 0) return 1;
    CopyBytes(name, kCopyFolderPrefix, sizeof kCopyFolderPrefix - 1);
    char* digit = name + sizeof kCopyFolderPrefix - 1;
    for (uint32_t i = 0; i < sizeof random; ++i) {
      *digit++ = "0123456789abcdef"[random[i] >> 4];
      *digit++ = "0123456789abcdef"[random[i] & 15];
    }
    *digit = 0;
    path[length] = 0;
    if (AppendAscii(path, kPathCapacity - 1, name) != 0) return 1;
    // A name already taken, by chance or on purpose, is never used.
    uint32_t error = CreateProtectedFolder(path, kCopyFolderAccess);
    if (error == 0) return AppendSeparator(path, kPathCapacity);
    if (error != kErrorAlreadyExists) return 1;
  }
  return 1;
}

// Writes the running uninstaller's bytes to the new file `path` and holds
// it open, as written, for the copy's process: read back through the held
// handle, which nobody can write through or around while it is open, the
// bytes are the ones that will run. Returns the handle, or null (no file is
// left then).
static PlatformFile WriteCopy(const Char16* path) {
  Char16 own[kPathCapacity];
  if (GetOwnPath(own, kPathCapacity) != 0) return 0;
  PlatformFile self = OpenFileForReading(own);
  if (self == 0) return 0;
  uint64_t size = QueryFileSize(self);
  uint32_t count = size != 0 && size <= kMaxCopySize ? static_cast<uint32_t>(size) : 0;
  uint8_t* bytes = count != 0 ? static_cast<uint8_t*>(AllocateMemory(2 * count)) : 0;
  int read = bytes != 0 && ReadFileAt(self, 0, bytes, count) == 0;
  CloseFile(self);
  PlatformFile held = 0;
  PlatformFile file = 0;
  uint32_t written = 0;
  if (read && CreateFileForWriting(path, &file, kCreateNew) == 0) {
    int complete = WriteFileBytes(file, bytes, count, &written) == 0;
    CloseFile(file);
    if (complete) held = HoldForExecution(path);
    if (held != 0) {
      uint8_t* back = bytes + count;
      int same = QueryFileSize(held) == count && ReadFileAt(held, 0, back, count) == 0;
      for (uint32_t i = 0; same && i < count; ++i) same = back[i] == bytes[i];
      if (!same) {
        CloseFile(held);
        held = 0;
      }
    }
    if (held == 0) DeleteFileAt(path);
  }
  FreeMemory(bytes);
  return held;
}

// Hands the removal to a private copy of the uninstaller and reads its
// result into `result`. Returns 0, or 1 when no copy could be started
// (nothing is removed then, and no copy is left).
static int RemoveThroughCopy(const Char16* uninstaller, RemovalResult* result) {
  Char16 copy[kPathCapacity];
  if (CreateCopyFolder(copy) != 0) return 1;
  uint32_t folderLength = static_cast<uint32_t>(TextLength(copy));
  PlatformFile held = 0;
  if (AppendAscii(copy, kPathCapacity, kCopyName) == 0) held = WriteCopy(copy);
  void* readEnd = 0;
  void* writeEnd = 0;
  void* process = 0;
  if (held != 0 && CreateResultPipe(&readEnd, &writeEnd) == 0) {
    Char16 command[kCopyCommandCapacity] = {'"'};
    if (AppendText(command, kCopyCommandCapacity, copy) == 0 &&
        AppendAscii(command, kCopyCommandCapacity, "\" ") == 0 &&
        AppendAscii(command, kCopyCommandCapacity, kRemoveSwitch) == 0 &&
        AppendNumber(command, kCopyCommandCapacity, CurrentProcessId()) == 0 &&
        AppendAscii(command, kCopyCommandCapacity, " ") == 0 &&
        AppendNumber(command, kCopyCommandCapacity, reinterpret_cast<uintptr_t>(writeEnd)) == 0 &&
        AppendAscii(command, kCopyCommandCapacity, " ") == 0 &&
        AppendText(command, kCopyCommandCapacity, uninstaller) == 0) {
      process = StartInheritingProcess(command);
    }
    // Only the copy holds the write end now: if it ends without reporting,
    // the read below ends too.
    CloseObject(writeEnd);
  }
  // The started copy has its own handle to its file, which goes when the
  // copy ends; without a copy this was the last one, and the file goes now.
  if (held != 0) CloseFile(held);
  if (process == 0) {
    CloseObject(readEnd);
    copy[folderLength] = 0;
    RemoveFolder(copy);
    return 1;
  }
  uint32_t read = ReadPipe(readEnd, result, sizeof *result - sizeof(Char16));
  result->left[kMessageCapacity - 1] = 0;
  if (read < 8) {
    // It ended without a word: whatever ran there, nothing says the
    // product is gone.
    WaitForProcess(process, kWaitForever);
    result->code = kExitIncomplete;
    result->left[0] = 0;
  }
  CloseObject(process);
  CloseObject(readEnd);
  return 0;
}

uint32_t RunUninstaller(const Char16* tail) {
  RestrictLibrarySearch();
  if (StartsWithAscii(tail, kRemoveSwitch)) return RemoveForUninstaller(tail + sizeof kRemoveSwitch - 1);
  g_silent = IsSilentSwitch(tail);
  Char16 own[kPathCapacity];
  Char16 folder[kPathCapacity];
  Char16 product[kPathCapacity];
  RecordSet* set = static_cast<RecordSet*>(AllocateMemory(sizeof(RecordSet)));
  RemovalResult* result = static_cast<RemovalResult*>(AllocateMemory(sizeof(RemovalResult)));
  Catalogue catalogue;
  if (set == 0 || result == 0 || GetOwnPath(own, kPathCapacity) != 0 || CopyText(folder, kPathCapacity, own) != 0 ||
      SplitUninstallerPath(folder, product) != 0 || LoadRecords(folder, product, set) == 0 ||
      PrepareCatalogue(set, &catalogue) != 0) {
    ReportStartupError(kNoRecord);
    return kExitNotStarted;
  }
  if (IsAdministrator() == 0) {
    ReportStartupError(GetUiText(kTextNotAdministrator));
    return kExitNotStarted;
  }
  const Char16* name = Setting(g_package, kProductName);
  if (!g_silent && ShowMessage(0, kMbYesNo | kMbIconQuestion, UninstallTextFor(set, kUninstallQuestion), name) != kIdYes) {
    return kExitRemoved;
  }
  // Silent: a product that does not close in time keeps everything.
  if (CloseRunningInstances(0) != 0) {
    ReportStartupError(kProductStillRunning);
    return kExitNotStarted;
  }

  if (RemoveThroughCopy(own, result) != 0) {
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
    DeleteAtRestart(own);
    RemoveUninstallFolders(folder, product, path, DeleteAtRestart);
  }
  if (result->code != kExitRemoved) result->code = kExitIncomplete;
  if (!g_silent) {
    Char16 text[kMessageCapacity];
    int removed = result->code == kExitRemoved;
    FormatText(text, kMessageCapacity, UninstallTextFor(set, removed ? kUninstallRemoved : kUninstallIncomplete), name);
    if (!removed) AppendText(text, kMessageCapacity, result->left);
    ShowMessageBox(0, text, name, removed ? kMbIconInformation : kMbIconWarning);
  }
  return result->code;
}
