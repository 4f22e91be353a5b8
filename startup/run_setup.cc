#include "startup/run_setup.h"

#include "base/command_line.h"
#include "base/text.h"
#include "install/extract.h"
#include "install/silent_install.h"
#include "package/load.h"
#include "platform/platform.h"
#include "startup/language.h"
#include "startup/message.h"
#include "wizard/wizard.h"

Catalogue* g_package;

// The start-up messages before a language is chosen are fixed English texts,
// kept as 8-bit text (half the bytes in the installer).
void ReportArchMismatch(uint32_t architectures) {
  // Names of the ArchMask bits 1, 2, 4 and 8, each ended by its separator.
  static const char kNames[4][7] = {"x86/", "x64/", "arm64/", "arm/"};
  Char16 text[kStartupMessageCapacity];
  text[0] = 0;
  AppendAscii(text, kStartupMessageCapacity, "This setup can only be installed on Windows ");
  size_t start = TextLength(text);
  for (uint32_t bit = 0; bit < 4; ++bit) {
    if (architectures & (1u << bit)) AppendAscii(text, kStartupMessageCapacity, kNames[bit]);
  }
  size_t length = TextLength(text);
  if (length != start) text[length - 1] = 0;
  AppendAscii(text, kStartupMessageCapacity, "!");
  ReportStartupError(text);
}

uint32_t RunSetup(void* instance, uint32_t, const char* tail, uint32_t) {
  // Libraries loaded from now on (the rich-edit control, and what system
  // libraries load later) come from the system directory, never from the
  // folder the installer was started from.
  RestrictLibrarySearch();
  // An unattended run never shows a box, not even for the gates: a
  // deployment tool would wait for a click that nobody can give.
  g_silent = IsSilentSwitch(tail);
  PackageStatus status;
  g_package = LoadPackage(&status);
  if (g_package == 0) {
    ReportStartupError(status == kPackageNoMemory ? "There is not enough memory to unpack this setup."
                                                  : "This setup package is damaged!");
    return 1;
  }
  uint32_t versions = g_package->header.supportedVersions;
  if (versions != 0 && (versions & g_machine.osMask & 0xFFFF) == 0) {
    if (ReportStartupError("This operating system is not supported!") == kIdOk) {
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
    ReportStartupError(GetUiText(kTextNotAdministrator));
    return 1;
  }
  // COM stays initialised until the process exits.
  InitializeCom();
  if (g_silent) return SilentInstall();
  RunWizard(instance);
  return g_installFailed ? kExitInstallFailed : 0;
}
