#include "install/uninstall.h"

#include "base/text.h"
#include "install/location.h"
#include "install/report.h"
#include "package/load.h"
#include "package/uninstall_record.h"
#include "platform/platform.h"
#include "startup/message.h"
#include "startup/run_setup.h"

void ComposeNameAndVersion(Char16* buffer) {
  CopyText(buffer, kNameAndVersionCapacity, Setting(g_package, kProductName));
  const Char16* version = Setting(g_package, kProductVersion);
  if (version != 0 && AppendAscii(buffer, kNameAndVersionCapacity, " ") == 0) {
    AppendText(buffer, kNameAndVersionCapacity, version);
  }
}

static const int kTextValues = 6;
static const int kValueCount = 9;

void RegisterUninstall(uint32_t namePosition, Char16* path, void* window) {
  char keyPath[kKeyPathCapacity];
  RegistryKey key;
  if (UninstallKeyPath(keyPath) != 0 ||
      CreateMachineKey(keyPath, kKeyWrite | g_machine.registryView, &key) != 0) {
    return;
  }
  CopyText(path + namePosition, kPathCapacity - namePosition, Setting(g_package, kMainExecutable));

  // The quoted executable path fits: a path has at most 259 units. One unit
  // more than a command line holds tells a line that fits exactly from one
  // that was cut.
  Char16 command[kCommandCapacity + 1];
  command[0] = '"';
  CopyText(command + 1, kCommandCapacity - 1, path);
  AppendAscii(command, kCommandCapacity, "\"");
  size_t quoted = TextLength(command);
  const Char16* config = Setting(g_package, kConfigCommand);
  if (config != 0) {
    command[quoted] = ' ';
    FormatText(command + quoted + 1, static_cast<uint32_t>(kCommandCapacity - quoted), config,
               static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window)), g_previousVersion);
    // A line longer than a command line holds was cut: not run.
    if (TextLength(command) < kCommandCapacity) {
      LogLine("Config: %s\r\n", command);
      RunAndWait(command);
    }
  }
  command[quoted] = 0;
  // A package with a generated uninstaller (marked by its last entry,
  // written as "uninstall\<ProductName>\uninstall.exe") registers it instead
  // of the product,
  // and again with "-s" as the quiet command. The quoted path fits: the file
  // was written at it.
  uint32_t count = g_package->header.fileCount;
  int generated = count != 0 && (g_package->entries[count - 1].flags & kEntryUninstaller) != 0;
  if (generated) {
    command[1 + namePosition] = 0;
    AppendAscii(command, kCommandCapacity, TAILPACK_UNINSTALL_FOLDER "\\");
    AppendText(command, kCommandCapacity, Setting(g_package, kProductName));
    AppendAscii(command, kCommandCapacity, "\\uninstall.exe\"");
  }
  const Char16* arguments = Setting(g_package, kUninstallArguments);
  if (arguments != 0 && (AppendAscii(command, kCommandCapacity, " ") != 0 ||
                         AppendText(command, kCommandCapacity, arguments) != 0)) {
    command[quoted] = 0;
  }

  Char16 name[kNameAndVersionCapacity];
  ComposeNameAndVersion(name);
  const Char16* texts[kValueCount + 1] = {command, path, path, name, Setting(g_package, kProductVersion),
                                          Setting(g_package, kPublisher), 0, 0, 0, command};
  uint32_t numbers[kValueCount - kTextValues] = {1, 1,
                                                 static_cast<uint32_t>(g_package->total >> 10)};
  const char* valueName = kUninstallValueNames;
  for (int i = 0; i < kValueCount + generated; ++i) {
    // DisplayIcon is the executable's path, InstallLocation its folder part.
    if (i == 2) path[namePosition] = 0;
    // The quiet command follows the nine values.
    if (i == kValueCount) AppendAscii(command, kCommandCapacity, " -s");
    if (i < kTextValues || i == kValueCount) {
      // An absent version or publisher is written as an empty text.
      const Char16* text = texts[i] != 0 ? texts[i] : u"";
      SetRegistryValue(key, valueName, kRegSz, text,
                       static_cast<uint32_t>((TextLength(text) + 1) * sizeof(Char16)));
    } else {
      SetRegistryValue(key, valueName, kRegDword, &numbers[i - kTextValues], sizeof(uint32_t));
    }
    valueName += TextLength8(valueName) + 1;
  }
  CloseRegistryKey(key);
}
