#include "uninstall/remove.h"

#include "base/memory.h"
#include "base/text.h"
#include "install/location.h"
#include "install/uninstall.h"
#include "package/load.h"
#include "package/uninstall_record.h"
#include "platform/platform.h"
#include "startup/language.h"
#include "startup/probe.h"
#include "startup/run_setup.h"

struct RecordSearch {
  RecordSet* set;
  Char16* path;          // the uninstall folder with its "\", then work space
  uint32_t namePosition;
  uint64_t newest;
};

static void AddRecord(const Char16* name, uint64_t writeTime, void* context) {
  RecordSearch* search = static_cast<RecordSearch*>(context);
  RecordSet* set = search->set;
  uint32_t slot = set->count;
  search->path[search->namePosition] = 0;
  // Counted as skipped until it is loaded.
  ++set->skipped;
  if (slot == kMaxRecords || CopyText(set->names[slot], kRecordNameCapacity, name) != 0 ||
      AppendText(search->path, kPathCapacity, name) != 0) {
    return;
  }
  PlatformFile file = OpenFileForReading(search->path);
  if (file == 0) return;
  uint64_t size = QueryFileSize(file);
  uint8_t* data = size <= kMaxRecordSize ? static_cast<uint8_t*>(AllocateMemory(static_cast<uint32_t>(size))) : 0;
  int usable = data != 0 && ReadFileAt(file, 0, data, static_cast<uint32_t>(size)) == 0 &&
               ParseUninstallRecord(data, static_cast<uint32_t>(size), &set->records[slot]) == kPackageOk;
  CloseFile(file);
  // A record of another product's name is not this product's to follow.
  if (usable && !IsSameTextIgnoringCase(set->records[slot].settings[kRecordProductName], set->product)) {
    ReleaseUninstallRecord(&set->records[slot]);
    usable = 0;
  }
  if (!usable) {
    FreeMemory(data);
    return;
  }
  set->data[slot] = data;
  --set->skipped;
  if (slot == 0 || writeTime > search->newest) {
    search->newest = writeTime;
    set->primary = slot;
  }
  set->count = slot + 1;
}

// Writes `folder`, "uninstall\", the product's folder name and, with
// `pattern`, the records' wildcard into the kPathCapacity-unit `path`;
// returns the length before the wildcard, or 0 when it does not fit.
static uint32_t ComposeUninstallFolder(Char16* path, const Char16* folder, const Char16* product, int pattern) {
  path[0] = 0;
  if ((folder != 0 && CopyText(path, kPathCapacity, folder) != 0) ||
      AppendAscii(path, kPathCapacity, kUninstallFolder) != 0 || AppendSeparator(path, kPathCapacity) != 0 ||
      AppendText(path, kPathCapacity, product) != 0 || AppendSeparator(path, kPathCapacity) != 0) {
    return 0;
  }
  uint32_t length = static_cast<uint32_t>(TextLength(path));
  if (pattern && (AppendAscii(path, kPathCapacity, "*") != 0 ||
                  AppendAscii(path, kPathCapacity, kRecordExtension) != 0)) {
    return 0;
  }
  return length;
}

uint32_t LoadRecords(const Char16* folder, const Char16* product, RecordSet* set) {
  FillBytes(set, 0, sizeof *set);
  set->product = product;
  Char16 path[kPathCapacity];
  RecordSearch search = {set, path, ComposeUninstallFolder(path, folder, product, 1), 0};
  if (search.namePosition != 0) ListFiles(path, AddRecord, &search);
  return set->count;
}

void ReleaseRecords(RecordSet* set) {
  for (uint32_t i = 0; i < set->count; ++i) {
    ReleaseUninstallRecord(&set->records[i]);
    FreeMemory(set->data[i]);
  }
  set->count = 0;
}

int PrepareCatalogue(RecordSet* set, Catalogue* catalogue) {
  const UninstallRecord* record = &set->records[set->primary];
  FillBytes(catalogue, 0, sizeof *catalogue);
  LanguageRecord* languages =
      static_cast<LanguageRecord*>(AllocateMemory(sizeof(LanguageRecord) * record->languageCount));
  if (languages == 0) return 1;
  for (uint32_t i = 0; i < record->languageCount; ++i) {
    languages[i].langId = record->languages[i].langId;
    languages[i].name = u"";
    for (uint32_t t = 0; t < kUiTextCount; ++t) languages[i].texts[t] = u"";
    languages[i].texts[kTextProductRunning] = record->languages[i].texts[kUninstallProductRunning];
    languages[i].texts[kTextNotAdministrator] = record->languages[i].texts[kUninstallNotAdministrator];
  }
  catalogue->languages = languages;
  catalogue->header.languageCount = static_cast<uint16_t>(record->languageCount);
  catalogue->header.flags = record->flags & kRecordFlag64BitView;
  g_machine.archMask = ProbeArchitecture();
  g_machine.registryView = RegistryViewFor(g_machine.archMask, catalogue->header.flags);
  catalogue->registryView = g_machine.registryView;
  static const SettingIndex kSettings[kRecordSettingCount] = {kProductName, kMutexName, kWindowClass,
                                                              kWindowTitle};
  for (uint32_t s = 0; s < kRecordSettingCount; ++s) catalogue->settings.text[kSettings[s]] = record->settings[s];
  g_package = catalogue;
  SelectLanguage();
  return 0;
}

const Char16* UninstallTextFor(const RecordSet* set, uint32_t index) {
  return set->records[set->primary].languages[g_selectedLanguage].texts[index];
}

// Adds a line to the list of what is left, once.
static void ListLeftItem(LeftItems* left, const Char16* item) {
  Char16 line[kPathCapacity + 1] = {'\n'};
  CopyText(line + 1, kPathCapacity, item);
  size_t length = TextLength(line);
  for (const Char16* p = left->text; *p != 0; ++p) {
    uint32_t i = 0;
    while (i < length && p[i] == line[i]) ++i;
    if (i == length && (p[i] == 0 || p[i] == '\n')) return;
  }
  ++left->count;
  AppendText(left->text, kMessageCapacity, line);
}

// Deletes the file at `path`; one that stays (in use) is deleted at the next
// restart and listed as `item`.
static void RemoveFile(const Char16* path, const Char16* item, LeftItems* left) {
  if (QueryFileAttributes(path) == kInvalidAttributes || DeleteFileAt(path) != 0) return;
  DeleteAtRestart(path);
  ListLeftItem(left, item);
}

// Number of separators in a recorded name: deeper folders go first.
static uint32_t DepthOf(const char* name) {
  uint32_t depth = 0;
  for (; *name != 0; ++name) depth += *name == '\\' || *name == '/';
  return depth;
}

// The folders of every record, deepest first.
static void RemoveFolders(uint32_t namePosition, Char16* path, RecordSet* set) {
  uint32_t total = 0;
  for (uint32_t r = 0; r < set->count; ++r) total += set->records[r].folderCount;
  const char** folders = static_cast<const char**>(AllocateMemory(sizeof(const char*) * (total + 1)));
  uint32_t count = 0;
  for (uint32_t r = 0; r < set->count && folders != 0; ++r) {
    const UninstallRecord* record = &set->records[r];
    const char* name = record->names;
    for (uint32_t i = 0; i < record->fileCount; ++i) name = NextRecordName(name);
    for (uint32_t i = 0; i < record->folderCount; ++i, name = NextRecordName(name)) {
      // Insertion by depth keeps each record's own order among equals.
      uint32_t at = count++;
      while (at != 0 && DepthOf(folders[at - 1]) < DepthOf(name)) {
        folders[at] = folders[at - 1];
        --at;
      }
      folders[at] = name;
    }
  }
  for (uint32_t i = 0; i < count; ++i) {
    path[namePosition] = 0;
    if (ConvertAnsiText(folders[i], path + namePosition, kPathCapacity - namePosition) == 0) RemoveFolder(path);
  }
  FreeMemory(folders);
}

uint32_t RemoveProduct(const Char16* folder, RecordSet* set, LeftItems* left) {
  FillBytes(left, 0, sizeof *left);
  // The shortcuts the installer may have made, by the product's name; their
  // folders are asked for before redirection is off (the shell may load
  // libraries to answer).
  static const int kShortcutFolders[2] = {kFolderDesktop, kFolderCommonPrograms};
  Char16 links[2][kPathCapacity];
  for (int i = 0; i < 2; ++i) {
    if (QuerySpecialFolder(kShortcutFolders[i], 0, links[i]) == 0 || AppendSeparator(links[i], kPathCapacity) != 0 ||
        AppendText(links[i], kPathCapacity, Setting(g_package, kProductName)) != 0 ||
        AppendAscii(links[i], kPathCapacity, ".lnk") != 0) {
      links[i][0] = 0;
    }
  }
  // A 32-bit uninstaller on 64-bit Windows reaches the folder the installer
  // wrote, not the one WOW64 would put in its place.
  void* redirection = 0;
  int redirectionOff = DisableFsRedirection(&redirection);

  Char16 path[kPathCapacity];
  CopyText(path, kPathCapacity, folder);
  uint32_t namePosition = static_cast<uint32_t>(TextLength(path));
  for (uint32_t r = 0; r < set->count; ++r) {
    const UninstallRecord* record = &set->records[r];
    const char* name = record->names;
    for (uint32_t i = 0; i < record->fileCount; ++i, name = NextRecordName(name)) {
      path[namePosition] = 0;
      // A name whose path does not fit stays, and is said to (cut).
      if (ConvertAnsiText(name, path + namePosition, kPathCapacity - namePosition) != 0) {
        ListLeftItem(left, path + namePosition);
        continue;
      }
      RemoveFile(path, path + namePosition, left);
    }
  }
  for (int i = 0; i < 2; ++i) {
    if (links[i][0] != 0) RemoveFile(links[i], links[i], left);
  }

  RemoveFolders(namePosition, path, set);
  if (redirectionOff) RevertFsRedirection(redirection);

  // The uninstall entry, only while its UninstallString still names this
  // uninstaller: another copy of the product may have taken it over since,
  // and an entry the product's name shares with something else is never
  // this one's to delete.
  char key[kKeyPathCapacity];
  Char16 registered[kCommandCapacity];
  Char16 expected[kCommandCapacity] = {'"'};
  if (UninstallKeyPath(key) == 0 && QueryUninstallValue(kUninstallValueNames, registered, kCommandCapacity) == 0 &&
      ComposeUninstallFolder(path, folder, set->product, 0) != 0 &&
      AppendText(expected, kCommandCapacity, path) == 0 &&
      AppendAscii(expected, kCommandCapacity, kUninstallerFileName) == 0 &&
      AppendAscii(expected, kCommandCapacity, "\"") == 0) {
    // What follows the quoted path is the registered arguments, if any.
    uint32_t length = static_cast<uint32_t>(TextLength(expected));
    Char16 after = TextLength(registered) >= length ? registered[length] : 'x';
    registered[length < kCommandCapacity ? length : 0] = 0;
    if ((after == 0 || after == ' ') && IsSameTextIgnoringCase(registered, expected)) {
      DeleteMachineKey(key, g_package->registryView);
    }
  }

  // Records that could not be read name files that stay: they stay too.
  if (set->skipped != 0 && ComposeUninstallFolder(path, 0, set->product, 1) != 0) ListLeftItem(left, path);

  // The records last: an uninstall stopped before here can run again.
  uint32_t recordsAt = ComposeUninstallFolder(path, folder, set->product, 0);
  for (uint32_t r = 0; r < set->count && recordsAt != 0; ++r) {
    path[recordsAt] = 0;
    if (AppendText(path, kPathCapacity, set->names[r]) == 0) RemoveFile(path, path + namePosition, left);
  }
  return left->count;
}
