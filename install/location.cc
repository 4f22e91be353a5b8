#include "install/location.h"

#include "base/memory.h"
#include "base/text.h"
#include "install/uninstall.h"
#include "package/load.h"
#include "platform/platform.h"
#include "startup/run_setup.h"

// Set by QueryInstalledCopy before anything reads it; zero-initialised, so
// the installer carries no initialised writable data at all.
int g_isFreshInstall;
Char16 g_previousVersion[kVersionCapacity];

// The CurrentVersion key is the first 41 characters of the uninstall root.
static const char kUninstallRoot[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
static const uint32_t kCurrentVersionLength = 41;

int UninstallKeyPath(char* out) {
  const Char16* name = Setting(g_package, kProductName);
  if (TextLength(name) > kMaxProductNameUnits) return 1;
  CopyBytes(out, kUninstallRoot, sizeof kUninstallRoot - 1);
  char* p = out + sizeof kUninstallRoot - 1;
  while (*name != 0) *p++ = static_cast<char>(*name++);
  *p = 0;
  return 0;
}

// Reads a text value into `buffer`, allowing capacity * 2 bytes, and
// terminates it after what was read (cutting the last unit of a value that
// fills the buffer without a terminator). Returns 0 when the read succeeded
// with more than 0 bytes; else 1 with the buffer empty.
static int ReadTextValue(RegistryKey key, const char* name, Char16* buffer, uint32_t capacity) {
  uint32_t size = capacity * 2;
  if (QueryRegistryValue(key, name, buffer, &size) != 0) size = 0;
  uint32_t units = size / 2;
  buffer[units < capacity ? units : capacity - 1] = 0;
  return size == 0;
}

int QueryInstalledCopy(Char16* buffer, uint32_t capacity) {
  char keyPath[kKeyPathCapacity];
  RegistryKey key;
  if (UninstallKeyPath(keyPath) != 0 ||
      OpenMachineKey(keyPath, kKeyRead | g_machine.registryView, &key) != 0) {
    return 1;
  }
  ReadTextValue(key, kInstallLocationValue, buffer, capacity);
  int fresh = ReadTextValue(key, kDisplayVersionValue, g_previousVersion, kVersionCapacity);
  CloseRegistryKey(key);
  return fresh;
}

int QueryUninstallValue(const char* name, Char16* buffer, uint32_t capacity) {
  char keyPath[kKeyPathCapacity];
  RegistryKey key;
  buffer[0] = 0;
  if (UninstallKeyPath(keyPath) != 0 || OpenMachineKey(keyPath, kKeyRead | g_machine.registryView, &key) != 0) {
    return 1;
  }
  int missing = ReadTextValue(key, name, buffer, capacity);
  CloseRegistryKey(key);
  return missing;
}

// Expands the environment variables of `text` into the kPathCapacity-unit
// `buffer`; empty when the result does not fit or a variable is not set
// (Windows leaves its name in place).
static void ExpandFolder(const Char16* text, Char16* buffer) {
  uint32_t needed = ExpandEnvironment(text, buffer, kPathCapacity);
  if (needed == 0 || needed > kPathCapacity || (text[0] == '%' && buffer[0] == '%')) buffer[0] = 0;
}

void QueryProgramFilesDir(Char16* buffer) {
  char keyPath[kCurrentVersionLength + 1];
  CopyBytes(keyPath, kUninstallRoot, kCurrentVersionLength);
  keyPath[kCurrentVersionLength] = 0;
  RegistryKey key;
  buffer[0] = 0;
  if (OpenMachineKey(keyPath, kKeyRead | g_machine.registryView, &key) == 0) {
    ReadTextValue(key, "ProgramFilesDir", buffer, kPathCapacity);
    CloseRegistryKey(key);
  }
  if (buffer[0] == 0) {
    ExpandFolder(g_machine.registryView == kKeyWow64_64Key ? u"%ProgramW6432%" : u"%ProgramFiles%", buffer);
  }
}

int CompareNoCase(const Char16* a, const Char16* b, uint32_t count) {
  uint32_t x = 0, y = 0;
  while (count-- != 0) {
    x = *a++;
    y = *b++;
    if (x - 'A' <= 'Z' - 'A') x += 0x20;
    if (y - 'A' <= 'Z' - 'A') y += 0x20;
    if (x == 0 || x != y) break;
  }
  return static_cast<int>(x) - static_cast<int>(y);
}

int ResolveDefaultFolder(Char16* buffer, int useSetting) {
  const Char16* setting = useSetting ? Setting(g_package, kDefaultFolder) : 0;
  buffer[0] = 0;
  if (setting == 0) {
    QueryProgramFilesDir(buffer);
    return 1;
  }
  const uint32_t kPrefixLength = 14;
  if (CompareNoCase(setting, u"%ProgramFiles%", kPrefixLength) == 0) {
    QueryProgramFilesDir(buffer);
  } else if (CompareNoCase(setting, u"%LocalAppData%", kPrefixLength) == 0) {
    QuerySpecialFolder(kFolderLocalAppData, 0, buffer);
  } else {
    ExpandFolder(setting, buffer);
    return 0;
  }
  // The rest follows the folder as written, without a separator of its own.
  if (buffer[0] == 0 || AppendText(buffer, kPathCapacity, setting + kPrefixLength) != 0) {
    buffer[0] = 0;
  }
  return 0;
}
