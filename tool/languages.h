// The interface languages the tool ships: LANGID, name, the 23 UI texts and
// the generated uninstaller's texts of each, in the order a package carries
// them by default (English first).
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "package/writer.h"

namespace tailpack {

// The generated uninstaller's own texts, in the order of the record's first
// UninstallText indices (question, removed, incomplete). Each is a format
// with one %s, the product name; the record's other two texts are the
// installer's running_question and not_admin_message.
const uint32_t kUninstallerTextCount = 3;
extern const char* const kUninstallerTextKeys[kUninstallerTextCount];
// Index of an uninstaller text key; nullopt for any other key.
std::optional<uint32_t> UninstallerTextIndex(std::string_view key);

struct Language {
  std::string code;     // manifest name, e.g. "de", "pt-BR", "zh-TW"
  LanguageTexts texts;  // LANGID, name and the 23 texts
  std::array<std::u16string, kUninstallerTextCount> uninstall;  // the uninstaller's texts
};

// The 23 built-in languages.
const std::vector<Language>& DefaultLanguages();

}  // namespace tailpack
