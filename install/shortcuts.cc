#include "install/shortcuts.h"

#include "base/text.h"
#include "install/location.h"
#include "install/report.h"
#include "install/sequence.h"
#include "platform/platform.h"
#include "startup/run_setup.h"

struct ShortcutPlace {
  int folder;
  const char* logLine;
};

static const ShortcutPlace kPlaces[2] = {
    {kFolderDesktop, "Create desktop shortcut\r\n"},
    {kFolderCommonPrograms, "Create start menu shortcut\r\n"},
};

void CreateShortcuts(const Char16* folder, int desktop) {
  Char16 target[kLaunchCapacity];
  Char16 icon[kPathCapacity];
  const Char16* arguments = 0;
  const Char16* iconPath = 0;
  int usable = CopyText(target, kLaunchCapacity, Setting(g_package, kLaunchTarget)) == 0;
  if (g_launchTargetFromPackage) {
    iconPath = icon;
    usable &= CopyText(icon, kPathCapacity, folder) == 0 &&
              AppendText(icon, kPathCapacity, Setting(g_package, kMainExecutable)) == 0;
    for (Char16* p = target + TextLength(target); p != target;) {
      if (*--p == ' ') {
        *p = 0;
        arguments = p + 1;
        break;
      }
    }
  }
  for (int i = desktop ? 0 : 1; i < 2; ++i) {
    Char16 link[kPathCapacity];
    int made = usable && QuerySpecialFolder(kPlaces[i].folder, 1, link) != 0 &&
               AppendSeparator(link, kPathCapacity) == 0 &&
               AppendText(link, kPathCapacity, Setting(g_package, kProductName)) == 0 &&
               AppendAscii(link, kPathCapacity, ".lnk") == 0;
    LogLine(kPlaces[i].logLine);
    if (made) {
      CreateShellLink(link, target, arguments, folder, iconPath, 0);
      NotifyShellCreated(link);
    }
  }
}
