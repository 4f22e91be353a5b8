// The recording fake of the installation's platform calls: an in-memory
// registry, files and folders, windows, mutexes, processes and shell links.
#include <cstdio>
#include <cstring>

#include "package/format.h"
#include "platform/fake/fake_platform.h"

namespace {

struct FakeKey {
  uint32_t view;
  std::string path;
};

void Record(const std::string& event) { g_fake.events.push_back(event); }

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::u16string WithoutSeparator(std::u16string path) {
  if (!path.empty() && path.back() == u'\\') path.pop_back();
  return path;
}

bool IsFolder(const std::u16string& path) {
  std::u16string folder = WithoutSeparator(path);
  return g_fake.directories.count(folder) != 0 ||
         (folder.size() == 2 && folder[1] == u':' && g_fake.absentDrives.count(folder[0]) == 0);
}

std::u16string ParentOf(const std::u16string& path) {
  std::u16string folder = WithoutSeparator(path);
  size_t slash = folder.rfind(u'\\');
  return slash == std::u16string::npos ? std::u16string() : folder.substr(0, slash);
}

uint32_t ViewOf(uint32_t access) { return access & (kKeyWow64_64Key | kKeyWow64_32Key); }

RegistryKey OpenKeyHandle(uint32_t access, const char* path) {
  ++g_fake.openKeys;
  return new FakeKey{ViewOf(access), path};
}

std::map<std::u16string, FakeRegistryValue>& ValuesOf(RegistryKey key) {
  FakeKey* fake = static_cast<FakeKey*>(key);
  return g_fake.registry[{fake->view, fake->path}];
}

}  // namespace

int32_t OpenMachineKey(const char* path, uint32_t access, RegistryKey* key) {
  Record(std::string("RegOpenKeyExA ") + path + " " + Hex(access));
  if (g_fake.registry.count({ViewOf(access), path}) == 0) return 2;  // ERROR_FILE_NOT_FOUND
  *key = OpenKeyHandle(access, path);
  return 0;
}

int32_t CreateMachineKey(const char* path, uint32_t access, RegistryKey* key) {
  Record(std::string("RegCreateKeyExA ") + path + " " + Hex(access));
  if (g_fake.createKeyResult != 0) return g_fake.createKeyResult;
  g_fake.registry[{ViewOf(access), path}];
  *key = OpenKeyHandle(access, path);
  return 0;
}

int32_t QueryRegistryValue(RegistryKey key, const char* name, void* data, uint32_t* size) {
  Record(std::string("RegQueryValueExW ") + name + " " + std::to_string(*size));
  auto& values = ValuesOf(key);
  auto it = values.find(std::u16string(name, name + std::strlen(name)));
  if (it == values.end()) return 2;
  uint32_t needed = static_cast<uint32_t>(it->second.data.size());
  uint32_t allowed = *size;
  *size = needed;
  if (needed > allowed) return 234;  // ERROR_MORE_DATA
  if (needed != 0) std::memcpy(data, it->second.data.data(), needed);
  return 0;
}

int32_t SetRegistryValue(RegistryKey key, const char* name, uint32_t type, const void* data,
                         uint32_t size) {
  Record(std::string("RegSetValueExW ") + name + " type " + std::to_string(type) + " size " +
         std::to_string(size));
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  ValuesOf(key)[std::u16string(name, name + std::strlen(name))] = {
      type, std::vector<uint8_t>(bytes, bytes + size)};
  return 0;
}

void CloseRegistryKey(RegistryKey key) {
  Record("RegCloseKey");
  --g_fake.openKeys;
  delete static_cast<FakeKey*>(key);
}

uint32_t QueryFileAttributes(const Char16* path) {
  ++g_fake.attributeQueries;
  if (IsFolder(path)) return kAttributeDirectory;
  return g_fake.files.count(path) != 0 ? 0x80 : kInvalidAttributes;
}

uint32_t CreateFolder(const Char16* path) {
  Record("CreateDirectoryW " + Narrow(path));
  std::u16string folder = WithoutSeparator(path);
  if (g_fake.diskGone) return 21;  // ERROR_NOT_READY
  if (IsFolder(folder) || g_fake.files.count(folder) != 0) return kErrorAlreadyExists;
  if (!IsFolder(ParentOf(folder))) return 3;  // ERROR_PATH_NOT_FOUND
  g_fake.directories.insert(folder);
  return 0;
}

// Once the disk is gone (FakePlatform::diskGone), every file operation fails.
static const uint32_t kErrorNotReady = 21;  // ERROR_NOT_READY

// An injected failure (createErrors, moveErrors, a full disk) takes the disk
// with it when the test asks for that.
static uint32_t Injected(uint32_t error) {
  if (g_fake.diskGoesOnFailure) g_fake.diskGone = true;
  return error;
}

uint32_t CreateFileForWriting(const Char16* path, PlatformFile* file, uint32_t disposition) {
  Record("CreateFileW " + Narrow(path) +
         (disposition == kCreateNew ? " new" : disposition == kOpenExisting ? " existing" : ""));
  if (g_fake.diskGone) return kErrorNotReady;
  auto error = g_fake.createErrors.find(path);
  if (error != g_fake.createErrors.end()) return Injected(error->second);
  bool exists = g_fake.files.count(path) != 0;
  if (disposition == kCreateNew && (exists || IsFolder(path))) {
    return IsFolder(path) ? 5 : kErrorFileExists;  // ERROR_ACCESS_DENIED
  }
  if (disposition == kOpenExisting && !exists && !IsFolder(path)) return 2;  // ERROR_FILE_NOT_FOUND
  if (g_fake.lockedFiles.count(path) != 0) return kErrorSharingViolation;
  if (IsFolder(path)) return 5;                    // ERROR_ACCESS_DENIED
  if (!IsFolder(ParentOf(path))) return 3;         // ERROR_PATH_NOT_FOUND
  std::vector<uint8_t>& bytes = g_fake.files[path];
  if (disposition != kOpenExisting) bytes.clear();
  ++g_fake.openFiles;
  *file = new FakeFile{&bytes, path, {}};
  return 0;
}

// `path` with every link on the way resolved.
static std::u16string Resolved(std::u16string path) {
  for (bool changed = true; changed;) {
    changed = false;
    for (const auto& [link, target] : g_fake.links) {
      if (path.compare(0, link.size(), link) == 0 && (path.size() == link.size() || path[link.size()] == u'\\')) {
        path = target + path.substr(link.size());
        changed = true;
      }
    }
  }
  return path;
}

PlatformFile HoldFolder(const Char16* path) {
  std::u16string folder = WithoutSeparator(path);
  Record("HoldFolder " + Narrow(folder));
  if (!IsFolder(folder) || g_fake.links.count(folder) != 0) return nullptr;
  ++g_fake.openFiles;
  return new FakeFile{nullptr, folder, {}};
}

int QueryFinalPath(PlatformFile file, Char16* buffer, uint32_t capacity) {
  if (!g_fake.hasFinalPath) return 1;
  std::u16string final = u"\\\\?\\" + Resolved(static_cast<FakeFile*>(file)->path);
  if (final.size() >= capacity) return 1;
  std::copy(final.c_str(), final.c_str() + final.size() + 1, buffer);
  return 0;
}

uint32_t WriteFileBytes(PlatformFile file, const void* data, uint32_t size, uint32_t* written) {
  Record("WriteFile " + std::to_string(size));
  *written = 0;
  if (g_fake.diskGone) return kErrorNotReady;
  uint32_t count = g_fake.diskSpace < size ? static_cast<uint32_t>(g_fake.diskSpace) : size;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  std::vector<uint8_t>& target = *static_cast<FakeFile*>(file)->bytes;
  target.insert(target.end(), bytes, bytes + count);
  g_fake.diskSpace -= count;
  *written = count;
  return count == size ? 0 : Injected(kErrorDiskFull);
}

void SetFileWriteTime(PlatformFile file, uint32_t timeLow, uint32_t timeHigh) {
  for (auto& [path, bytes] : g_fake.files) {
    if (&bytes == static_cast<FakeFile*>(file)->bytes) {
      Record("SetFileTime " + Narrow(path));
      g_fake.writeTimes[path] = {timeLow, timeHigh};
    }
  }
}

int DeleteFileAt(const Char16* path) {
  Record("DeleteFileW " + Narrow(path));
  if (g_fake.diskGone || g_fake.lockedFiles.count(path) != 0) return 0;
  g_fake.writeTimes.erase(path);
  return g_fake.files.erase(path) != 0 ? 1 : 0;
}

void DeleteAtRestart(const Char16* path) {
  Record("MoveFileExW " + Narrow(path) + " delete at reboot");
  if (!g_fake.diskGone) g_fake.pendingDeletes.push_back(path);
}

void RemoveFolder(const Char16* path) {
  Record("RemoveDirectoryW " + Narrow(path));
  std::u16string folder = WithoutSeparator(path) + u"\\";
  if (g_fake.diskGone) return;
  for (const auto& [name, bytes] : g_fake.files) {
    if (name.compare(0, folder.size(), folder) == 0) return;
  }
  for (const std::u16string& name : g_fake.directories) {
    if (name.compare(0, folder.size(), folder) == 0) return;
  }
  g_fake.directories.erase(WithoutSeparator(path));
}

// Renaming moves a file that another program holds open with it (as
// Windows allows for running programs); replacing such a file fails.
uint32_t MoveFileReplacing(const Char16* from, const Char16* to) {
  Record("MoveFileExW " + Narrow(from) + " " + Narrow(to) + " replace");
  if (g_fake.diskGone) return kErrorNotReady;
  auto error = g_fake.moveErrors.find(to);
  if (error != g_fake.moveErrors.end()) {
    uint32_t code = error->second;
    g_fake.moveErrors.erase(error);
    return Injected(code);
  }
  auto file = g_fake.files.find(from);
  if (file == g_fake.files.end()) return 2;  // ERROR_FILE_NOT_FOUND
  if (g_fake.lockedFiles.count(to) != 0 || IsFolder(to)) return 5;  // ERROR_ACCESS_DENIED
  g_fake.files[to] = file->second;
  g_fake.writeTimes.erase(to);
  auto time = g_fake.writeTimes.find(from);
  if (time != g_fake.writeTimes.end()) {
    g_fake.writeTimes[to] = time->second;
    g_fake.writeTimes.erase(from);
  }
  g_fake.files.erase(from);
  if (g_fake.lockedFiles.erase(from) != 0) g_fake.lockedFiles.insert(to);
  return 0;
}

// The fake's ANSI code page is Latin-1: each byte becomes the unit of the
// same value.
int ConvertAnsiText(const char* text, Char16* buffer, uint32_t capacity) {
  if (capacity == 0) return 1;
  size_t length = std::strlen(text);
  size_t kept = length < capacity ? length : capacity - 1;
  for (size_t i = 0; i < kept; ++i) buffer[i] = static_cast<unsigned char>(text[i]);
  buffer[kept] = 0;
  return kept == length ? 0 : 1;
}

uint32_t ExpandEnvironment(const Char16* text, Char16* buffer, uint32_t capacity) {
  Record("ExpandEnvironmentStringsW " + Narrow(text));
  std::u16string in(text), out;
  size_t at = 0;
  while (at < in.size()) {
    size_t end = in[at] == u'%' ? in.find(u'%', at + 1) : std::u16string::npos;
    if (end != std::u16string::npos) {
      std::u16string name = in.substr(at + 1, end - at - 1);
      for (auto& unit : name) {
        if (unit >= u'a' && unit <= u'z') unit -= 0x20;
      }
      auto value = g_fake.environment.find(name);
      if (value != g_fake.environment.end()) {
        out += value->second;
        at = end + 1;
        continue;
      }
    }
    out.push_back(in[at++]);
  }
  uint32_t needed = static_cast<uint32_t>(out.size() + 1);
  if (needed <= capacity) std::memcpy(buffer, out.c_str(), needed * sizeof(Char16));
  return needed;
}

int QuerySpecialFolder(int folder, int create, Char16* buffer) {
  Record("SHGetSpecialFolderPathW " + std::to_string(folder) + " " + std::to_string(create));
  buffer[0] = 0;
  auto it = g_fake.specialFolders.find(folder);
  if (it == g_fake.specialFolders.end()) return 0;
  std::memcpy(buffer, it->second.c_str(), (it->second.size() + 1) * sizeof(Char16));
  if (create) g_fake.directories.insert(WithoutSeparator(it->second));
  return 1;
}

void SleepFor(uint32_t milliseconds) { Record("Sleep " + std::to_string(milliseconds)); }

void* FindProductWindow(const Char16* windowClass, const Char16* title) {
  Record("FindWindowW " + (windowClass ? Narrow(windowClass) : "(null)") + " " +
         (title ? Narrow(title) : "(null)"));
  if (g_fake.windowFinds == 0) return nullptr;
  --g_fake.windowFinds;
  return reinterpret_cast<void*>(0x7001);
}

intptr_t SendWindowMessage(void* window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  Record("SendMessage " + Hex(reinterpret_cast<uintptr_t>(window)) + " " + Hex(message) + " " +
         std::to_string(wParam) + " " + std::to_string(lParam));
  return g_fake.onSendMessage ? g_fake.onSendMessage(window, message, wParam, lParam) : 0;
}

void* GetDialogItem(void* window, int id) {
  return window ? reinterpret_cast<void*>(0x20000 + id) : nullptr;
}

int IsMutexPresent(const Char16* name) {
  Record("OpenMutexW " + Narrow(name));
  if (g_fake.mutexOpens == 0) return 0;
  --g_fake.mutexOpens;
  return 1;
}

void StartTimer(void* window, uintptr_t id, uint32_t period, TimerProcedure procedure) {
  Record("SetTimer " + Hex(reinterpret_cast<uintptr_t>(window)) + " " + std::to_string(id) + " " +
         std::to_string(period));
  g_fake.timer = procedure;
}

void StopTimer(void* window, uintptr_t id) {
  Record("KillTimer " + Hex(reinterpret_cast<uintptr_t>(window)) + " " + std::to_string(id));
}

uint32_t RunAndWait(Char16* commandLine) {
  Record("RunAndWait " + Narrow(commandLine));
  if (g_fake.onRunAndWait) g_fake.onRunAndWait(commandLine);
  return g_fake.processStarts ? g_fake.processExitCode : kNotStarted;
}

int CreateShellLink(const Char16* linkPath, const Char16* target, const Char16* arguments,
                    const Char16* directory, const Char16* iconPath, int iconIndex) {
  Record("CreateShellLink " + Narrow(linkPath));
  FakeShellLink link;
  link.path = linkPath;
  link.target = target;
  link.hasArguments = arguments != nullptr;
  if (arguments) link.arguments = arguments;
  link.hasDirectory = directory != nullptr;
  if (directory) link.directory = directory;
  link.hasIconPath = iconPath != nullptr;
  if (iconPath) link.iconPath = iconPath;
  link.iconIndex = iconIndex;
  g_fake.shellLinks.push_back(link);
  return g_fake.shellLinkResult;
}

void NotifyShellCreated(const Char16* path) { Record("SHChangeNotify " + Narrow(path)); }

void AppendLogText(void*, const Char16* text) {
  Record("Log " + Narrow(text));
  g_fake.logLines.push_back(text);
}
