// Language selection from the user's LANGID and the UI texts it hands out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "package/package.h"
#include "platform/fake/fake_platform.h"
#include "startup/language.h"
#include "startup/run_setup.h"

namespace {

// A catalogue holding only a language table; text i of block b reads
// "b<block>t<i>".
class LanguageTable {
 public:
  explicit LanguageTable(const std::vector<uint16_t>& ids) : records_(ids.size()) {
    texts_.reserve(ids.size() * kUiTextCount);
    for (size_t b = 0; b < ids.size(); ++b) {
      records_[b].langId = ids[b];
      records_[b].name = u"";
      for (uint32_t i = 0; i < kUiTextCount; ++i) {
        std::string label = "b" + std::to_string(b) + "t" + std::to_string(i);
        texts_.emplace_back(label.begin(), label.end());
        records_[b].texts[i] = texts_.back().c_str();
      }
    }
    catalogue_.header.languageCount = static_cast<uint8_t>(ids.size());
    catalogue_.languages = records_.data();
  }
  Catalogue* catalogue() { return &catalogue_; }

 private:
  Catalogue catalogue_{};
  std::vector<LanguageRecord> records_;
  std::vector<std::u16string> texts_;
};

// The language blocks of the example package, in package order.
const std::vector<uint16_t> kExampleLanguages = {
    0x0409,  // 0 English
    0x0402,  // 1 Bulgarian
    0x0804,  // 2 Simplified Chinese
    0x0404,  // 3 Traditional Chinese
    0x041A,  // 4 Croatian
    0x0405,  // 5 Czech
    0x0413,  // 6 Dutch
    0x040C,  // 7 French
    0x0407,  // 8 German
    0x0C0A,  // 9 Spanish
    0x040B,  // 10 Finnish
    0x0410,  // 11 Italian
    0x0411,  // 12 Japanese
    0x0412,  // 13 Korean
    0x0415,  // 14 Polish
    0x0416,  // 15 Brazilian Portuguese
    0x0419,  // 16 Russian
    0x041B,  // 17 Slovak
    0x0424,  // 18 Slovenian
    0x0422,  // 19 Ukrainian
    0x0401,  // 20 Arabic
    0x041D,  // 21 Swedish
    0x0418,  // 22 Romanian
};

uint32_t SelectFor(LanguageTable& table, uint16_t user) {
  ResetFakePlatform();
  g_package = table.catalogue();
  g_selectedLanguage = 0;
  g_fake.userLanguage = user;
  SelectLanguage();
  return g_selectedLanguage;
}

TEST(SelectLanguage, ExamplePackage) {
  LanguageTable table(kExampleLanguages);
  struct Case {
    uint16_t user;
    uint32_t block;
  } cases[] = {
      {0x0407, 8},   // exact
      {0x0807, 8},   // German (Switzerland): primary language 0x07
      {0x0C04, 2},   // Chinese (Hong Kong): first of the two 0x04 blocks
      {0x0404, 3},   // exact match beats the earlier primary match
      {0x0804, 2},
      {0x1004, 2},   // Chinese (Singapore)
      {0x0409, 0},   // block 0 is never compared; no other 0x09 block
      {0x0809, 0},
      {0x0816, 15},  // Portuguese (Portugal) takes the Brazilian block
      {0x040A, 9},   // Spanish (traditional sort) takes 0x0C0A
      {0x0425, 0},   // Estonian: no block
      {0x0418, 22},  // the last block
      {0x0818, 22},  // Romanian (Moldova)
      {0x1401, 20},  // Arabic (Algeria)
      {0x0000, 0},
      {0xFFFF, 0},
      // Only the low 10 bits are the primary language: 0x0407 | 0x0400 has
      // primary 0x07 and sublanguage 3.
      {0x0C07, 8},
      // 0x0007 | 0xFC00 keeps primary 0x07.
      {0xFC07, 8},
      // 0x0207 has primary 0x207, not German.
      {0x0207, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SelectFor(table, c.user), c.block) << std::hex << "user 0x" << c.user;
    EXPECT_EQ(g_fake.events, std::vector<std::string>{"GetUserDefaultLangID"});
  }
}

TEST(SelectLanguage, SpecialTables) {
  struct Case {
    const char* name;
    std::vector<uint16_t> ids;
    uint16_t user;
    uint32_t block;
  } cases[] = {
      {"single block, other language", {0x0407}, 0x0409, 0},
      {"single block, its own language", {0x0407}, 0x0407, 0},
      {"block 0 not compared", {0x0409, 0x0809}, 0x0409, 1},
      {"first primary match wins", {0x0409, 0x0C07, 0x0807, 0x1007}, 0x0407, 1},
      {"exact after primary", {0x0409, 0x0C07, 0x0807, 0x1007}, 0x1007, 3},
      {"duplicate exact: first wins", {0x0409, 0x0407, 0x0407}, 0x0407, 1},
      {"no match", {0x0409, 0x0407, 0x040C}, 0x0411, 0},
  };
  for (Case& c : cases) {
    LanguageTable table(c.ids);
    EXPECT_EQ(SelectFor(table, c.user), c.block) << c.name;
  }
}

TEST(SelectLanguage, ResetsAnEarlierSelectionWhenNothingMatches) {
  LanguageTable table(kExampleLanguages);
  g_package = table.catalogue();
  g_selectedLanguage = 7;
  g_fake.userLanguage = 0x0425;
  SelectLanguage();
  EXPECT_EQ(g_selectedLanguage, 0u);
}

TEST(GetUiText, ReturnsTheTextsOfTheSelectedBlock) {
  LanguageTable table(kExampleLanguages);
  ResetFakePlatform();
  g_package = table.catalogue();
  g_selectedLanguage = 0;
  // Before SelectLanguage the default block answers.
  EXPECT_EQ(std::u16string(GetUiText(2)), u"b0t2");

  g_fake.userLanguage = 0x0807;
  SelectLanguage();
  for (uint32_t i = 0; i < kUiTextCount; ++i) {
    std::string expected = "b8t" + std::to_string(i);
    EXPECT_EQ(Narrow(GetUiText(i)), expected);
  }
}

}  // namespace
