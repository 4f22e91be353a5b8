#include "startup/run_setup.h"

#include "base/text.h"
#include "install/extract.h"
#include "install/silent_install.h"
#include "package/load.h"
#include "platform/platform.h"
#include "startup/language.h"
#include "startup/message.h"
#include "wizard/wizard.h"

Catalogue* g_package;

static const uint32_t kArchListCapacity = 128;
static const uint32_t kArchMessageCapacity = 256;

void ReportArchMismatch(uint32_t architectures) {
  // Names of the ArchMask bits 1, 2, 4 and 8, each ended by its separator.
  static const char kNames[4][7] = {"x86/", "x64/", "arm64/", "arm/"};
  Char16 list[kArchListCapacity];
  list[0] = 0;
  for (uint32_t bit = 0; bit < 4; ++bit) {
    if (architectures & (1u << bit)) AppendAscii(list, kArchListCapacity, kNames[bit]);
  }
  size_t length = TextLength(list);
  if (length != 0) list[length - 1] = 0;
  Char16 text[kArchMessageCapacity];
  FormatText(text, kArchMessageCapacity, u"This setup can only be installed on Windows %s!", list);
  ShowMessageBox(0, text, 0, kMbIconError);
}

// Only the first two characters count: -s, /S, -silent and /sx all select
// the silent install.
static int IsSilentSwitch(const char* tail) {
  return (tail[0] == '-' || tail[0] == '/') && (tail[1] == 's' || tail[1] == 'S');
}

uint32_t RunSetup(void* instance, uint32_t, const char* tail, uint32_t) {
  // Libraries loaded from now on (the rich-edit control, and what system
  // libraries load later) come from the system directory, never from the
  // folder the installer was started from.
  RestrictLibrarySearch();
  PackageStatus status;
  g_package = LoadPackage(&status);
  if (g_package == 0) {
    ShowMessageBox(0,
                   status == kPackageNoMemory ? u"There is not enough memory to unpack this setup."
                                              : u"This setup package is damaged!",
                   0, kMbIconError);
    return 1;
  }
  uint32_t versions = g_package->header.supportedVersions;
  if (versions != 0 && (versions & g_machine.osMask & 0xFFFF) == 0) {
    if (ShowMessageBox(0, u"This operating system is not supported!", 0, kMbIconError) == kIdOk) {
      const Char16* link = Setting(g_package, kUnsupportedOsLink);
      if (link != 0) OpenWithShell(link, 0);
    }
    return 1;
  }
  uint32_t architectures = g_package->header.supportedArchs;
  if (architectures != 0 && (architectures & g_machine.archMask) == 0) {
    ReportArchMismatch(architectures);
    return 1;
  }
  SelectLanguage();
  if (IsAdministrator() == 0) {
    ShowMessageBox(0, GetUiText(kTextNotAdministrator), 0, kMbIconError);
    return 1;
  }
  // COM stays initialised until the process exits.
  InitializeCom();
  if (IsSilentSwitch(tail)) {
    if (SilentInstall() != 0) return kExitInstallFailed;
  } else {
    RunWizard(instance);
    if (g_installFailed) return kExitInstallFailed;
  }
  return 0;
}
