// Shared set-up of the installation tests: a loaded package of a small
// product over the recording fake, with a plausible x64 Windows 10 machine
// (registry, Program Files, shell folders, environment).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/memory.h"
#include "install/extract.h"
#include "startup/message.h"
#include "install/location.h"
#include "install/report.h"
#include "install/sequence.h"
#include "package/load.h"
#include "package/package.h"
#include "package/writer.h"
#include "platform/fake/fake_platform.h"
#include "startup/language.h"
#include "startup/run_setup.h"
#include "wizard/info_pane.h"
#include "wizard/wizard.h"

namespace install_test {

inline const char kCurrentVersionKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
inline const char kUninstallKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Zentrova";
inline const std::u16string kDesktop = u"C:\\Users\\admin\\Desktop";
inline const std::u16string kPrograms =
    u"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs";
inline const std::u16string kLocalAppData = u"C:\\Users\\admin\\AppData\\Local";

inline std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

// A REG_SZ value as Windows stores it, terminator included.
inline FakeRegistryValue TextValue(const std::u16string& text, bool terminated = true) {
  std::vector<uint8_t> data((text.size() + (terminated ? 1 : 0)) * 2, 0);
  std::memcpy(data.data(), text.data(), text.size() * 2);
  return {kRegSz, data};
}

inline std::u16string TextOf(const FakeRegistryValue& value) {
  std::u16string text(value.data.size() / 2, u'\0');
  std::memcpy(text.data(), value.data.data(), text.size() * 2);
  return text;
}

// The package of the example product: three builds of the main executable
// (x86, x64, arm64), an x64 driver, a language file, an empty file, a folder
// that is only listed, and the licence.
inline tailpack::PackageContents ProductPackage() {
  tailpack::PackageContents c;
  c.flags = 3;
  c.languages.push_back(tailpack::EnglishLanguage());
  c.settings[kProductName] = u"Zentrova";
  c.settings[kProductVersion] = u"2.1.3";
  c.settings[kMainExecutable] = u"zentrova.exe";
  c.settings[kPublisher] = u"Halvix";
  c.settings[kConfigCommand] = u"-xi:%u:%s";
  c.settings[kUninstallArguments] = u"-xu";
  c.blobs = {Bytes("MZ x86 build"), Bytes("MZ x64 build"), Bytes("MZ arm64 build"),
             Bytes("driver"), Bytes("[Deutsch]"), {}, Bytes("licence text")};
  c.files = {
      {"zentrova.exe", kArchX86, 0x01D9000000000001ull, 0},
      {"zentrova.exe", kArchX64, 0x01D9000000000002ull, 1},
      {"zentrova.exe", kArchArm64, 0x01D9000000000003ull, 2},
      {"x64\\zentrova.sys", kArchX64, 0x01D9000000000004ull, 3},
      {"language\\Zentrova_DEU.ini", 0, 0x01D9000000000005ull, 4},
      {"empty.dat", 0, 0x01D9000000000006ull, 5},
      {"logs\\placeholder", kEntryListedOnly, 0x01D9000000000007ull, 5},
      {"license.txt", 0, 0x01D9000000000008ull, 6},
  };
  return c;
}

// The installer's process-wide state as a new process has it.
inline void ResetRuntimeState() {
  g_package = nullptr;
  g_selectedLanguage = 0;
  g_isFreshInstall = 1;
  g_previousVersion[0] = 0;
  g_launchTargetFromPackage = 0;
  g_installSucceeded = 0;
  g_installFailed = 0;
  g_installRunning = 0;
  g_infoPane = nullptr;
  g_installReport = InstallReport();
  g_createdFolderFrom = 0;
  g_silent = 0;
}

// Loads `contents` as the process's package for a machine and resets the
// installation's process-wide state.
class LoadedPackage {
 public:
  explicit LoadedPackage(const tailpack::PackageContents& contents, uint32_t archMask = kArchX64,
                         uint32_t osMask = kOsWindows10) {
    std::vector<uint8_t> block = tailpack::BuildBlock(contents);
    uint8_t* copy = static_cast<uint8_t*>(AllocateMemory(block.size()));
    std::memcpy(copy, block.data(), block.size());
    PackageStatus status = IndexPackage(copy, static_cast<uint32_t>(block.size()), archMask,
                                        osMask, &catalogue_);
    EXPECT_EQ(status, kPackageOk);
    if (status != kPackageOk) FreeMemory(copy);
    storedLaunchTarget_ = catalogue_.settings.text[kLaunchTarget];
    ResetRuntimeState();
    scratch_.assign(kScratchSize, 0xCC);
    g_reader.scratch = scratch_.data();
    g_package = &catalogue_;
    g_machine = {archMask, osMask, catalogue_.registryView};
  }
  ~LoadedPackage() {
    const Char16* launch = catalogue_.settings.text[kLaunchTarget];
    if (launch != storedLaunchTarget_) FreeMemory(const_cast<Char16*>(launch));
    ReleaseCatalogue(&catalogue_);
    g_package = nullptr;
    g_reader.scratch = nullptr;
  }
  Catalogue* get() { return &catalogue_; }

 private:
  Catalogue catalogue_{};
  const Char16* storedLaunchTarget_ = nullptr;
  std::vector<uint8_t> scratch_;  // the reader's scratch buffer
};

// An x64 Windows 10 machine: both registry views with their Program Files
// folders, the shell folders, and a few environment variables.
inline void PrepareMachine() {
  ResetFakePlatform();
  g_fake.registry[{kKeyWow64_64Key, kCurrentVersionKey}][u"ProgramFilesDir"] =
      TextValue(u"C:\\Program Files");
  g_fake.registry[{kKeyWow64_32Key, kCurrentVersionKey}][u"ProgramFilesDir"] =
      TextValue(u"C:\\Program Files (x86)");
  g_fake.registry[{0, kCurrentVersionKey}][u"ProgramFilesDir"] = TextValue(u"C:\\Program Files");
  for (const char16_t* folder : {u"C:\\Program Files", u"C:\\Program Files (x86)", u"C:\\Users",
                                 u"C:\\Users\\admin", u"C:\\ProgramData"}) {
    g_fake.directories.insert(folder);
  }
  g_fake.specialFolders[kFolderDesktop] = kDesktop;
  g_fake.specialFolders[kFolderCommonPrograms] = kPrograms;
  g_fake.specialFolders[kFolderLocalAppData] = kLocalAppData;
  g_fake.environment[u"USERNAME"] = u"admin";
  g_fake.environment[u"PROGRAMFILES(X86)"] = u"C:\\Program Files (x86)";
  g_fake.environment[u"PROGRAMFILES"] = u"C:\\Program Files";
}

// The recorded events that begin with one of `prefixes`, in order.
inline std::vector<std::string> EventsStartingWith(const std::vector<std::string>& prefixes) {
  std::vector<std::string> out;
  for (const std::string& event : g_fake.events) {
    for (const std::string& prefix : prefixes) {
      if (event.compare(0, prefix.size(), prefix) == 0) {
        out.push_back(event);
        break;
      }
    }
  }
  return out;
}

// Index of the first event equal to `event`, or -1.
inline int EventIndex(const std::string& event) {
  auto it = std::find(g_fake.events.begin(), g_fake.events.end(), event);
  return it == g_fake.events.end() ? -1 : static_cast<int>(it - g_fake.events.begin());
}

inline std::vector<std::string> LogLines() {
  std::vector<std::string> out;
  for (const std::u16string& line : g_fake.logLines) out.push_back(Narrow(line));
  return out;
}

}  // namespace install_test
