#include "startup/language.h"

#include "package/package.h"
#include "platform/platform.h"
#include "startup/run_setup.h"

uint32_t g_selectedLanguage;

static const uint16_t kPrimaryLanguageBits = 0x3FF;

void SelectLanguage() {
  uint16_t user = QueryUserLanguage();
  g_selectedLanguage = 0;
  uint32_t count = g_package->header.languageCount;
  // An exact match anywhere wins over an earlier primary-language match.
  uint32_t partial = 0;
  for (uint32_t i = 1; i < count; ++i) {
    uint16_t block = g_package->languages[i].langId;
    if (block == user) {
      g_selectedLanguage = i;
      return;
    }
    if (partial == 0 && (block & kPrimaryLanguageBits) == (user & kPrimaryLanguageBits)) {
      partial = i;
    }
  }
  g_selectedLanguage = partial;
}

const Char16* GetUiText(uint32_t index) {
  return g_package->languages[g_selectedLanguage].texts[index];
}
