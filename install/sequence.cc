#include "install/sequence.h"

#include "base/memory.h"
#include "base/text.h"
#include "install/extract.h"
#include "install/location.h"
#include "package/uninstall_record.h"
#include "platform/platform.h"
#include "startup/language.h"
#include "startup/message.h"
#include "startup/run_setup.h"

int g_launchTargetFromPackage;

static const uint32_t kWmClose = 0x0010;
static const intptr_t kCloseParameter = 1024;
static const uint32_t kCloseMessageForI = 0x8066;  // WM_APP + 0x66
static const uint32_t kClosePause = 600;
static const uint32_t kAttemptsBeforeAsking = 5;
// 60 seconds of pauses.
static const uint32_t kSilentPauses = 60000 / kClosePause;

int IsExistingFolder(const Char16* path) {
  uint32_t attributes = QueryFileAttributes(path);
  return attributes != kInvalidAttributes && (attributes & kAttributeDirectory) != 0;
}

uint32_t CreateFolderTree(Char16* path) {
  // Every separator after a level name ends a level; those right after the
  // drive's colon or at the start of a network path do not.
  g_createdFolderFrom = 0;
  uint32_t error = 0;
  Char16* p = path + 1;
  for (; *p != 0; ++p) {
    if (*p == '\\' && p[-1] != ':' && p[-1] != '\\') {
      *p = 0;
      error = CreateFolder(path);
      if (error == 0 && g_createdFolderFrom == 0) g_createdFolderFrom = static_cast<uint32_t>(p - path);
      *p = '\\';
    }
  }
  if (IsExistingFolder(path)) return 0;
  // A level that cannot be made: the ones made above it go again.
  if (g_createdFolderFrom != 0) RemoveCreatedFolders(path, g_createdFolderFrom, static_cast<uint32_t>(p - path));
  g_createdFolderFrom = 0;
  // The last level's error tells why (a file of the folder's name answers
  // "already exists").
  return error != 0 ? error : kErrorAlreadyExists;
}

const Char16 kOtherProductFolder[] = u"%s holds another product.";

struct OtherProductSearch {
  Char16 path[kPathCapacity];
  uint32_t at;     // the length of "<folder>uninstall\"
  uint32_t found;  // another product's records
};

static int IsThisProduct(const Char16* name) {
  const Char16* own = Setting(g_package, kProductName);
  return CompareNoCase(name, own, static_cast<uint32_t>(TextLength(own) + 1)) == 0;
}

static void CountRecord(const Char16*, uint64_t, void* context) { ++*static_cast<uint32_t*>(context); }

// A product's folder in "uninstall\": another product's when it holds a
// record.
static void CheckProductFolder(const Char16* name, uint64_t, void* context) {
  OtherProductSearch* search = static_cast<OtherProductSearch*>(context);
  search->path[search->at] = 0;
  if (!IsThisProduct(name) && AppendText(search->path, kPathCapacity, name) == 0 &&
      AppendAscii(search->path, kPathCapacity, "\\*.tpr") == 0) {
    ListFiles(search->path, CountRecord, &search->found);
  }
}

// A record where earlier versions kept them: its ProductName, the first
// text after the record's header, tells whose it is.
static void CheckRecord(const Char16* name, uint64_t, void* context) {
  OtherProductSearch* search = static_cast<OtherProductSearch*>(context);
  Char16 product[kPathCapacity];
  FillBytes(product, 0, sizeof product);
  search->path[search->at] = 0;
  PlatformFile file = AppendText(search->path, kPathCapacity, name) == 0 ? OpenFileForReading(search->path) : 0;
  if (file != 0) {
    // A record shorter than its header reads nothing: no name, not this one.
    uint64_t size = QueryFileSize(file) - kRecordHeaderSize;
    ReadFileAt(file, kRecordHeaderSize, product, size < sizeof product - 2 ? static_cast<uint32_t>(size) : sizeof product - 2);
    CloseFile(file);
  }
  search->found += !IsThisProduct(product);
}

int HoldsOtherProduct(const Char16* path) {
  OtherProductSearch search;
  search.found = 0;
  if (CopyText(search.path, kPathCapacity, path) != 0 ||
      AppendAscii(search.path, kPathCapacity, TAILPACK_UNINSTALL_FOLDER "\\") != 0) {
    return 0;
  }
  search.at = static_cast<uint32_t>(TextLength(search.path));
  if (AppendAscii(search.path, kPathCapacity, "*") == 0) ListFiles(search.path, CheckProductFolder, &search, 1);
  search.path[search.at] = 0;
  if (AppendAscii(search.path, kPathCapacity, "*.tpr") == 0) ListFiles(search.path, CheckRecord, &search);
  return search.found != 0;
}

int FitsMainExecutable(uint32_t namePosition) {
  return namePosition + TextLength(Setting(g_package, kMainExecutable)) < kPathCapacity;
}

int FixLaunchTarget(Char16* path, uint32_t namePosition) {
  if (Setting(g_package, kLaunchTarget) != 0) {
    g_launchTargetFromPackage = 1;
    return 0;
  }
  if (CopyText(path + namePosition, kPathCapacity - namePosition,
               Setting(g_package, kMainExecutable)) != 0) {
    return 1;
  }
  size_t bytes = (TextLength(path) + 1) * sizeof(Char16);
  Char16* target = static_cast<Char16*>(AllocateMemory(bytes));
  if (target == 0) return 1;
  CopyBytes(target, path, bytes);
  g_package->settings.text[kLaunchTarget] = target;
  return 0;
}

// Asks whether to go on with the product still running; Cancel ends the
// installer at once.
static void AskToCloseProduct(void* owner) {
  if (ShowMessage(owner, kMbOkCancel | kMbIconQuestion, GetUiText(kTextProductRunning),
                  Setting(g_package, kProductName)) == kIdCancel) {
    EndProcess(0);
  }
}

int CloseRunningInstances(void* owner) {
  const Char16* windowClass = Setting(g_package, kWindowClass);
  const Char16* title = Setting(g_package, kWindowTitle);
  // An unattended run has nobody to ask: it waits out its pauses instead,
  // at most kSilentPauses of them for the window and the mutex together.
  uint32_t pauses = 0;
  void* window;
  while ((windowClass != 0 || title != 0) && (window = FindProductWindow(windowClass, title)) != 0) {
    if (g_silent && pauses >= kSilentPauses) return 1;
    SendWindowMessage(window, kWmClose, 0, kCloseParameter);
    if (Setting(g_package, kProductName)[0] == 'I') {
      SendWindowMessage(window, kCloseMessageForI, 0, 0);
    }
    SleepFor(kClosePause);
    if (++pauses > kAttemptsBeforeAsking && !g_silent) AskToCloseProduct(owner);
  }
  const Char16* mutex = Setting(g_package, kMutexName);
  while (mutex != 0 && IsMutexPresent(mutex)) {
    if (!g_silent) {
      AskToCloseProduct(0);
    } else {
      if (pauses++ >= kSilentPauses) return 1;
      SleepFor(kClosePause);
    }
  }
  return 0;
}
