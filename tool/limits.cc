#include "tool/limits.h"

#include <cctype>
#include <map>
#include <set>

#include "package/package.h"
#include "tool/encoding.h"
#include "tool/machine_names.h"

namespace tailpack {
namespace {

std::string Quote(const std::u16string& text) {
  std::string utf8 = Utf16ToUtf8(text);
  std::string out = "\"";
  for (char c : utf8) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  if (out.size() > 70) out = out.substr(0, 60) + "...";
  return out + "\"";
}

LimitProblem SettingProblem(uint32_t index, std::string message) {
  LimitProblem p;
  p.subject = LimitProblem::Subject::kSetting;
  p.index = index;
  p.message = std::move(message);
  return p;
}

}  // namespace

FormatScan ScanUiFormat(const std::u16string& text) {
  FormatScan scan;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != u'%') {
      ++scan.fixedLength;
      continue;
    }
    char16_t next = i + 1 < text.size() ? text[i + 1] : 0;
    if (next == u'%') {
      ++scan.fixedLength;
      ++i;
    } else if (next == u's') {
      ++scan.stringConversions;
      ++i;
    } else if (scan.badConversion.empty()) {
      scan.badConversion = next == 0 ? "%" : Utf16ToUtf8(std::u16string{u'%', next});
    }
  }
  return scan;
}

std::optional<uint32_t> ConfigCommandLength(const std::u16string& format, std::string* problem) {
  uint32_t length = 0;
  uint32_t conversions = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != u'%') {
      ++length;
      continue;
    }
    size_t k = i + 1;
    if (k < format.size() && format[k] == u'%') {
      ++length;
      i = k;
      continue;
    }
    if (k < format.size() && format[k] == u'l') ++k;
    char16_t type = k < format.size() ? format[k] : 0;
    std::string written = Utf16ToUtf8(format.substr(i, k + 1 - i));
    if (conversions == 0) {
      // The first argument is the wizard's window handle, a 32-bit number.
      uint32_t digits = type == u'u' ? 10 : (type == u'd' || type == u'i') ? 11
                        : (type == u'x' || type == u'X') ? 8 : 0;
      if (digits == 0) {
        *problem = "its first conversion \"" + written +
                   "\" receives the window handle, a number; expected %u (or %d, %x), and %% for a percent sign";
        return std::nullopt;
      }
      length += digits;
    } else if (conversions == 1) {
      if (type != u's') {
        *problem = "its second conversion \"" + written +
                   "\" receives the previous version, a text; expected %s, and %% for a percent sign";
        return std::nullopt;
      }
      length += kMaxProductVersion;
    } else {
      *problem = "it has more than two conversions; it receives only the window handle (%u) and the "
                 "previous version (%s); write a percent sign as %%";
      return std::nullopt;
    }
    ++conversions;
    i = k;
  }
  return length;
}

std::optional<std::string> CheckEntryName(const std::string& name, bool listedOnly) {
  // The parts first, for a message that says what is wrong; then the rule
  // the installer's loader applies, which covers everything it refuses.
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("\\/", start);
    if (end == std::string::npos) end = name.size();
    std::string component = name.substr(start, end - start);
    bool last = end == name.size();
    if (!component.empty() && !(listedOnly && last && component == "*")) {
      for (char c : component) {
        unsigned char u = static_cast<unsigned char>(c);
        // (":" makes a drive or a stream: reported below as leaving the folder.)
        if (u < 0x20 || std::string("<>\"|?*").find(c) != std::string::npos) {
          return "contains a character Windows does not allow in file names (<>:\"|?* or a control character)";
        }
      }
      if (IsDeviceName(component.c_str())) {
        return "uses the reserved Windows device name \"" + component + "\"";
      }
      if (component.back() == '.' || component.back() == ' ') {
        if (component.find_first_not_of(". ") == std::string::npos) break;  // "." and "..": below
        return "has a part ending in a dot or blank (\"" + component + "\"), which Windows drops";
      }
    }
    start = end + 1;
  }
  if (!IsSafeRelativeName(name.c_str(), listedOnly)) {
    return "could leave the install folder (it must be relative, without a drive, \":\", \"..\" "
           "or empty parts)";
  }
  size_t units = Utf16Length(name);
  if (units + kShortestFolderUnits > kPathUnits - 1) {
    return "is " + std::to_string(units) + " characters long; with the shortest install folder "
           "(C:\\) it would not fit the installer's 259-character path";
  }
  return std::nullopt;
}

uint64_t UnpackedSize(const PackageContents& c) {
  uint64_t size = kHeaderSize + uint64_t{kFileEntrySize} * c.files.size();
  for (const LanguageTexts& l : c.languages) {
    size += 2 + 2 * (l.name.size() + 1);
    for (const std::u16string& t : l.texts) size += 2 * (t.size() + 1);
  }
  for (const std::u16string& s : c.settings) size += 2 * (s.size() + 1);
  std::set<std::string> names;
  for (const PackageFile& f : c.files) {
    if (names.insert(f.name).second) size += f.name.size() + 1;
  }
  for (const std::vector<uint8_t>& blob : c.blobs) size += blob.size();
  return size;
}

std::vector<LimitProblem> CheckLimits(const PackageContents& c, const std::vector<std::string>& utf8Names) {
  std::vector<LimitProblem> problems;
  const std::u16string& name = c.settings[kProductName];
  const std::u16string& version = c.settings[kProductVersion];

  if (name.empty()) {
    problems.push_back(SettingProblem(kProductName, "ProductName is missing; the installer refuses a package without it"));
  } else if (name.size() > kMaxProductName) {
    problems.push_back(SettingProblem(
        kProductName, "ProductName is " + std::to_string(name.size()) +
                          " characters long; the installer's uninstall key path holds at most 75"));
  } else if (!IsUsableProductName(name.c_str())) {
    // It names the shortcut files, the default folder and the uninstall key.
    problems.push_back(SettingProblem(
        kProductName, "ProductName must be usable as a file name: no control character, none of "
                      "<>:\"/\\|?*, not \".\" or \"..\", not ending in a dot or blank, not a device "
                      "name such as CON or COM1"));
  }
  if (version.size() > kMaxProductVersion) {
    problems.push_back(SettingProblem(
        kProductVersion, "ProductVersion is " + std::to_string(version.size()) +
                             " characters long; the installer reads an installed version back into 31 "
                             "characters, so a longer one would hide the earlier installation on update"));
  }
  std::u16string nameAndVersion = version.empty() ? name : name + u" " + version;
  if (nameAndVersion.size() > kNameAndVersionUnits - 1) {
    problems.push_back(SettingProblem(
        version.empty() ? kProductName : kProductVersion,
        "ProductName, a blank and ProductVersion make " + std::to_string(nameAndVersion.size()) +
            " characters; the installer's buffer for them holds 127"));
  }

  std::u16string mainExecutable = c.settings[kMainExecutable].empty() ? name + u".exe" : c.settings[kMainExecutable];
  if (!c.settings[kMainExecutable].empty()) {
    if (auto why = CheckEntryName(Utf16ToUtf8(mainExecutable), false)) {
      problems.push_back(SettingProblem(kMainExecutable, "MainExecutable " + Quote(mainExecutable) + " " + *why));
    }
  }
  // The command lines start with the quoted executable path.
  uint32_t quotedPath = 2 + kShortestFolderUnits + static_cast<uint32_t>(mainExecutable.size());
  const std::u16string& config = c.settings[kConfigCommand];
  if (!config.empty()) {
    std::string why;
    std::optional<uint32_t> length = ConfigCommandLength(config, &why);
    if (!length) {
      problems.push_back(SettingProblem(kConfigCommand, "ConfigCommand " + Quote(config) + ": " + why));
    } else if (quotedPath + 1 + *length > kCommandLineUnits - 1) {
      problems.push_back(SettingProblem(
          kConfigCommand, "the configuration command line (quoted executable path in the shortest folder C:\\, "
                          "a blank, ConfigCommand with the longest window handle and previous version) is " +
                              std::to_string(quotedPath + 1 + *length) +
                              " characters; the installer's command-line buffer holds 267"));
    }
  }
  const std::u16string& uninstall = c.settings[kUninstallArguments];
  if (!uninstall.empty() && quotedPath + 1 + uninstall.size() > kCommandLineUnits - 1) {
    problems.push_back(SettingProblem(
        kUninstallArguments, "the uninstall command (quoted executable path in the shortest folder C:\\, a blank, "
                             "UninstallArguments) is " + std::to_string(quotedPath + 1 + uninstall.size()) +
                                 " characters; the installer's command-line buffer holds 267"));
  }
  if (c.settings[kLaunchTarget].size() > kLaunchTextUnits - 1) {
    problems.push_back(SettingProblem(kLaunchTarget, "LaunchTarget is " + std::to_string(c.settings[kLaunchTarget].size()) +
                                                         " characters; the installer's launch buffer holds 387"));
  }
  if (c.settings[kDefaultFolder].size() > kPathUnits - 2) {
    problems.push_back(SettingProblem(kDefaultFolder, "DefaultFolder is " + std::to_string(c.settings[kDefaultFolder].size()) +
                                                          " characters; with its closing \"\\\" it must fit the installer's "
                                                          "259-character path"));
  }

  if (c.languages.empty() || c.languages.size() > 255) {
    LimitProblem p;
    p.message = "a package needs 1 to 255 languages, not " + std::to_string(c.languages.size());
    problems.push_back(p);
  }
  for (uint32_t l = 0; l < c.languages.size(); ++l) {
    const LanguageTexts& language = c.languages[l];
    for (uint32_t i = 0; i < kUiTextCount; ++i) {
      const UiTextRole& role = kUiTextRoles[i];
      if (role.buffer == 0) continue;
      const std::u16string& text = language.texts[i];
      LimitProblem p;
      p.subject = LimitProblem::Subject::kText;
      p.index = i;
      p.language = l;
      std::string label = std::string("text ") + role.key + " of language " + Utf16ToUtf8(language.name) +
                          " (" + Quote(text) + ")";
      FormatScan scan = ScanUiFormat(text);
      if (!scan.badConversion.empty()) {
        p.message = label + " contains \"" + scan.badConversion +
                    "\"; its only conversion is %s, and a percent sign is written %%";
      } else if (role.requiresArgument && scan.stringConversions != 1) {
        p.message = label + " has " + std::to_string(scan.stringConversions) +
                    " \"%s\"; expected exactly one, which receives " +
                    (role.argument == TextArgument::kFolderPath ? "the folder path"
                     : role.argument == TextArgument::kNameAndVersion ? "the product name and version"
                                                                      : "the product name");
      } else if (!role.requiresArgument && scan.stringConversions > 1) {
        p.message = label + " has " + std::to_string(scan.stringConversions) +
                    " \"%s\"; expected at most one, which receives the product name";
      } else {
        uint32_t argument = 0;
        std::string with;
        switch (role.argument) {
          case TextArgument::kProductName:
            argument = static_cast<uint32_t>(name.size());
            with = "the product name";
            break;
          case TextArgument::kNameAndVersion:
            argument = static_cast<uint32_t>(nameAndVersion.size());
            with = "the product name and version";
            break;
          case TextArgument::kFolderPath:
            argument = kPathUnits;
            with = "the longest folder path (260 characters)";
            break;
          case TextArgument::kNone:
            break;
        }
        uint32_t length = scan.fixedLength + (scan.stringConversions ? argument : 0);
        if (length > role.buffer - 1) {
          p.message = label + " is " + std::to_string(length) + " characters once formatted with " + with +
                      "; the installer's buffer holds " + std::to_string(role.buffer - 1);
        }
      }
      if (!p.message.empty()) problems.push_back(p);
    }
  }

  for (uint32_t i = 0; i < c.files.size(); ++i) {
    const PackageFile& f = c.files[i];
    std::string shown = i < utf8Names.size() ? utf8Names[i] : f.name;
    if (auto why = CheckEntryName(shown, (f.flags & kEntryListedOnly) != 0)) {
      LimitProblem p;
      p.subject = LimitProblem::Subject::kFile;
      p.index = i;
      p.message = "file name \"" + shown + "\" " + *why;
      problems.push_back(p);
    }
    // The stored (ANSI) name is what the installer checks.
    if (!IsSafeRelativeName(f.name.c_str()) && i < utf8Names.size() && IsSafeRelativeName(shown.c_str())) {
      LimitProblem p;
      p.subject = LimitProblem::Subject::kFile;
      p.index = i;
      p.message = "file name \"" + shown + "\" is unsafe once encoded in the ANSI code page";
      problems.push_back(p);
    }
  }
  if (c.infoEntry != kNoInfoEntry && c.infoEntry >= c.files.size()) {
    LimitProblem p;
    p.message = "the info-text entry " + std::to_string(c.infoEntry) + " does not exist";
    problems.push_back(p);
  }
  uint64_t size = UnpackedSize(c);
  if (size > kMaxUnpackedSize) {
    LimitProblem p;
    p.message = "the unpacked package would be " + std::to_string(size) +
                " bytes; the format holds less than 4 GiB (4294967296 bytes)";
    problems.push_back(p);
  }
  return problems;
}

}  // namespace tailpack
