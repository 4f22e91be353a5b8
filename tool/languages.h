// The interface languages the tool ships: LANGID, name and the 23 UI texts of
// each, in the order a package carries them by default (English first).
#pragma once

#include <string>
#include <vector>

#include "package/writer.h"

namespace tailpack {

struct Language {
  std::string code;     // manifest name, e.g. "de", "pt-BR", "zh-TW"
  LanguageTexts texts;  // LANGID, name and the 23 texts
};

// The 23 built-in languages.
const std::vector<Language>& DefaultLanguages();

}  // namespace tailpack
