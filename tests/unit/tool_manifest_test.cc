// The tool's manifest reader, its limits checks and its built-in languages.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "tool/encoding.h"
#include "tool/languages.h"
#include "tool/limits.h"
#include "tool/machine_names.h"
#include "tool/manifest.h"

namespace tailpack {
namespace {

const char kMinimal[] = "[product]\nname = \"Zentrova\"\n";

Manifest Parse(const std::string& text) { return ParseManifest(text, "m.toml", "."); }

// ---------------------------------------------------------------------------
// Manifest errors: every one names the file, line and column, and what is
// expected there.

struct ErrorCase {
  const char* name;
  const char* manifest;
  uint32_t line, column;
  const char* expected;  // part of the message
};

TEST(ManifestErrors, NameFileLineColumnAndWhatIsExpected) {
  const ErrorCase cases[] = {
      {"bad TOML", "[product]\nname = \"Zentrova\nversion = 1\n", 2, 17, "invalid TOML"},
      {"no product", "[setup]\ninfo_text = \"a\"\n", 1, 1, "missing [product]"},
      {"no name", "[product]\nversion = \"1\"\n", 1, 1, "missing ProductName"},
      {"empty name", "[product]\nname = \"\"\n", 2, 8, "missing ProductName"},
      {"unknown setting", "[product]\nname = \"Z\"\nnmae = \"x\"\n", 3, 1, "unknown key 'nmae' in [product]; expected one of: name, version"},
      {"wrong type", "[product]\nname = \"Z\"\nversion = 2\n", 3, 11, "product.version must be a string, not an integer"},
      {"unknown top-level", "[product]\nname = \"Z\"\n[extra]\n", 3, 2, "unknown key 'extra' in the manifest"},
      {"unknown architecture", "[product]\nname = \"Z\"\n[requirements]\narchitectures = [\"x64\", \"ia64\"]\n", 4, 25,
       "unknown architecture \"ia64\"; expected one of: x86, x64, arm64, arm"},
      {"unknown windows", "[product]\nname = \"Z\"\n[requirements]\nwindows = [\"7\", \"95\"]\n", 4, 17,
       "unknown Windows version \"95\"; expected one of: 2000, xp, vista, 7, 8, 10, later"},
      {"empty list", "[product]\nname = \"Z\"\n[requirements]\nwindows = []\n", 4, 11, "must not be an empty list"},
      {"registry view", "[product]\nname = \"Z\"\n[setup]\nregistry_view = \"64\"\n", 4, 17,
       "expected \"64-bit\" or \"32-bit\""},
      {"flags contradict view", "[product]\nname = \"Z\"\n[setup]\nregistry_view = \"32-bit\"\nheader_flags = 3\n", 5, 16,
       "contradicts registry_view"},
      {"header flags range", "[product]\nname = \"Z\"\n[setup]\nheader_flags = 256\n", 4, 16, "from 0 to 255"},
      {"dictionary", "[product]\nname = \"Z\"\n[compression]\ndictionary = \"8 MB\"\n", 4, 14, "\"8 MiB\""},
      {"dictionary small", "[product]\nname = \"Z\"\n[compression]\ndictionary = 100\n", 4, 14, "from 4 KiB"},
      {"preset", "[product]\nname = \"Z\"\n[compression]\npreset = 10\n", 4, 10, "from 0 to 9"},
      {"code page", "[product]\nname = \"Z\"\n[setup]\ncode_page = 4242\n", 4, 13, "code page 4242 is not supported"},
      {"code page 037 (EBCDIC)", "[product]\nname = \"Z\"\n[setup]\ncode_page = 37\n", 4, 13, "code page 37 is not supported"},
      {"code page 437 (OEM)", "[product]\nname = \"Z\"\n[setup]\ncode_page = 437\n", 4, 13, "code page 437 is not supported"},
      {"lc+lp", "[product]\nname = \"Z\"\n[compression]\nlc = 4\nlp = 1\n", 4, 6, "at most 4"},
      {"unknown language", "[product]\nname = \"Z\"\n[languages]\nuse = [\"en\", \"xx\"]\n", 4, 14, "unknown language; expected one of: en, bg"},
      {"language twice", "[product]\nname = \"Z\"\n[languages]\nuse = [\"en\", \"de\", \"EN\"]\n", 4, 20, "listed twice"},
      {"fallback not used", "[product]\nname = \"Z\"\n[languages]\nuse = [\"en\"]\nfallback = \"de\"\n", 5, 12,
       "not among the languages used"},
      {"override unused language", "[product]\nname = \"Z\"\n[languages]\nuse = [\"en\"]\n[languages.texts.de]\ncancel_button = \"x\"\n",
       5, 18, "\"de\" is not among the languages used"},
      {"unknown text", "[product]\nname = \"Z\"\n[languages.texts.en]\ncancel = \"x\"\n", 4, 1,
       "unknown text 'cancel' in languages.texts.en; expected one of: window_title"},
      {"text type", "[product]\nname = \"Z\"\n[languages.texts.en]\ncancel_button = 1\n", 4, 17, "must be a string"},
      {"NUL in text", "[product]\nname = \"Z\"\n[languages.texts.en]\ncancel_button = \"a\\u0000b\"\n", 4, 17, "U+0000"},
      {"file without source", "[product]\nname = \"Z\"\n[[files]]\ntarget = \"a\"\n", 3, 1, "needs source ="},
      {"file unknown key", "[product]\nname = \"Z\"\n[[files]]\nsource = \"a\"\nreplace = true\n", 5, 1,
       "unknown key 'replace' in [[files]]"},
      {"directory without path", "[product]\nname = \"Z\"\n[[directories]]\nwindows = \"7\"\n", 3, 1, "needs path ="},
      {"files not tables", "files = \"a\"\n[product]\nname = \"Z\"\n", 1, 9, "[[files]]"},
      {"generated uninstaller and uninstall_arguments",
       "[product]\nname = \"Z\"\nuninstall_arguments = \"-u\"\n[uninstall]\ngenerated = true\n", 5, 13,
       "remove product.uninstall_arguments (m.toml:3:23)"},
      {"target inside uninstall\\",
       "[product]\nname = \"Z\"\n[[files]]\nsource = \"a\"\ntarget = \"Uninstall\\\\x\"\n[uninstall]\ngenerated = true\n",
       5, 10, "\"Uninstall\\x\" is inside the folder uninstall\\"},
      {"folder uninstall\\", "[product]\nname = \"Z\"\n[[directories]]\npath = \"uninstall/\"\n[uninstall]\ngenerated = true\n",
       4, 8, "is inside the folder uninstall\\"},
      {"generated type", "[product]\nname = \"Z\"\n[uninstall]\ngenerated = \"yes\"\n", 4, 13,
       "uninstall.generated must be true or false, not a string"},
      {"uninstall key", "[product]\nname = \"Z\"\n[uninstall]\ngenerate = true\n", 4, 1,
       "unknown key 'generate' in [uninstall]; expected one of: generated"},
      {"uninstaller text format", "[product]\nname = \"Z\"\n[languages.texts.de]\nuninstall_question = \"%s %s?\"\n", 4, 22,
       "has 2 \"%s\"; expected at most one"},
  };
  for (const ErrorCase& c : cases) {
    try {
      Parse(c.manifest);
      ADD_FAILURE() << c.name << ": accepted";
    } catch (const ManifestError& e) {
      EXPECT_EQ(e.where.file, "m.toml") << c.name;
      EXPECT_EQ(e.where.line, c.line) << c.name << ": " << e.what();
      EXPECT_EQ(e.where.column, c.column) << c.name << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << c.name << ": " << e.what();
      std::string prefix = "m.toml:" + std::to_string(c.line) + ":" + std::to_string(c.column) + ": error: ";
      EXPECT_EQ(std::string(e.what()).rfind(prefix, 0), 0u) << c.name << ": " << e.what();
    }
  }
}

// ---------------------------------------------------------------------------
// What a valid manifest turns into.

TEST(Manifest, MapsTheTwelveSettingsByName) {
  Manifest m = Parse(R"(
[product]
name = "Zentrova"
version = "2.1.3"
main_executable = "bin\\z.exe"
launch_target = "%ProgramFiles%\\Z\\z.exe -run"
mutex_name = "M"
window_class = "C"
window_title = "T"
publisher = "Halvix"
default_folder = "%LocalAppData%\\Z"
config_command = "-xi:%u:%s"
uninstall_arguments = "-xu"
unsupported_os_link = "https://example.invalid/"
)");
  const char16_t* expected[kSettingCount] = {u"Zentrova", u"2.1.3", u"bin\\z.exe", u"%ProgramFiles%\\Z\\z.exe -run",
                                             u"M", u"C", u"T", u"Halvix", u"%LocalAppData%\\Z", u"-xi:%u:%s",
                                             u"-xu", u"https://example.invalid/"};
  for (uint32_t i = 0; i < kSettingCount; ++i) {
    EXPECT_EQ(m.settings[i], expected[i]) << i;
    EXPECT_EQ(m.settingWhere[i].line, i + 3) << i;
  }
}

TEST(Manifest, DefaultsWithOnlyAProductName) {
  Manifest m = Parse(kMinimal);
  EXPECT_EQ(m.windows, 0);
  EXPECT_EQ(m.architectures, 0);
  EXPECT_EQ(m.headerFlags, 0);
  EXPECT_EQ(m.codePage, 1252u);
  EXPECT_EQ(m.compression.preset, 9u);
  EXPECT_FALSE(m.compression.extreme);
  EXPECT_EQ(m.compression.dictionarySize, 8u << 20);
  EXPECT_EQ(m.compression.lc, 3u);
  EXPECT_EQ(m.compression.lp, 0u);
  EXPECT_EQ(m.compression.pb, 0u);
  ASSERT_EQ(m.languages.size(), 23u);
  EXPECT_EQ(m.languages[0].texts.langId, 0x0409);
  EXPECT_TRUE(m.textWhere.empty());
  EXPECT_TRUE(m.files.empty());
}

TEST(Manifest, RequirementsByName) {
  struct Case {
    const char* windows;
    const char* architectures;
    uint16_t windowsMask;
    uint8_t archMask;
  } cases[] = {
      {"\"7+\"", "\"x64\"", 0x78, 0x2},
      {"[\"xp\", \"7\"]", "[\"x86\", \"arm\"]", 0x0A, 0x9},
      {"[2000, \"vista\", 10]", "[\"arm64\"]", 0x25, 0x4},
      {"[\"8.1\", \"11\"]", "[\"x86\", \"x64\", \"arm64\", \"arm\"]", 0x30, 0},  // all four = every architecture
      {"\"all\"", "\"all\"", 0, 0},
      {"\"2000+\"", "\"x86\"", 0, 0x1},  // every version = no restriction
      {"\"later\"", "\"x86\"", 0x40, 0x1},
  };
  for (const Case& c : cases) {
    Manifest m = Parse(std::string(kMinimal) + "[requirements]\nwindows = " + c.windows +
                       "\narchitectures = " + c.architectures + "\n");
    EXPECT_EQ(m.windows, c.windowsMask) << c.windows;
    EXPECT_EQ(m.architectures, c.archMask) << c.architectures;
  }
}

TEST(Manifest, RegistryViewAndHeaderFlags) {
  EXPECT_EQ(Parse(std::string(kMinimal) + "[setup]\nregistry_view = \"64-bit\"\n").headerFlags, 1);
  EXPECT_EQ(Parse(std::string(kMinimal) + "[setup]\nregistry_view = \"32-bit\"\n").headerFlags, 0);
  EXPECT_EQ(Parse(std::string(kMinimal) + "[setup]\nregistry_view = \"64-bit\"\nheader_flags = 3\n").headerFlags, 3);
  EXPECT_EQ(Parse(std::string(kMinimal) + "[setup]\nheader_flags = 2\n").headerFlags, 2);
}

TEST(Manifest, LanguageSelectionFallbackAndOverrides) {
  Manifest m = Parse(std::string(kMinimal) + R"(
[languages]
use = ["en", "de", 0x040C]
fallback = "de"
[languages.texts.fr]
cancel_button = "Fermer"
)");
  ASSERT_EQ(m.languages.size(), 3u);
  EXPECT_EQ(m.languages[0].code, "de");
  EXPECT_EQ(m.languages[1].code, "en");
  EXPECT_EQ(m.languages[2].code, "fr");
  EXPECT_EQ(m.languages[2].texts.texts[4], u"Fermer");
  EXPECT_EQ(m.languages[0].texts.texts[4], u"Abbrechen");
  ASSERT_EQ(m.textWhere.size(), 1u);
  EXPECT_EQ(m.textWhere.begin()->first, (std::pair<uint32_t, uint32_t>{2, 4}));
  EXPECT_EQ(m.textWhere.begin()->second.line, 8u);
}

TEST(Manifest, FileAndDirectoryItemsKeepTheirOrder) {
  Manifest m = Parse(std::string(kMinimal) + R"(
[[files]]
source = "a.exe"
architectures = "x64"
windows = ["10", "later"]
replace_in_use = true
[[directories]]
path = "logs"
architectures = ["x86"]
[[files]]
source = "docs/**"
target = "doc/"
install = false
)");
  ASSERT_EQ(m.files.size(), 3u);
  EXPECT_EQ(m.files[0].source, "a.exe");
  EXPECT_EQ(m.files[0].architectures, kArchX64);
  EXPECT_EQ(m.files[0].windows, kOsWindows10 | kOsLater);
  EXPECT_TRUE(m.files[0].replaceInUse);
  EXPECT_TRUE(m.files[1].directory);
  EXPECT_EQ(m.files[1].target, "logs");
  EXPECT_EQ(m.files[1].architectures, kArchX86);
  EXPECT_EQ(m.files[2].target, "doc/");
  EXPECT_FALSE(m.files[2].install);
}

// Languages added from files next to the manifest.
class LanguageFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "tailpack-lang-XXXXXX").string();
    dir_ = mkdtemp(pattern.data());
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  void Write(const std::string& name, const std::string& text) { std::ofstream(dir_ / name) << text; }
  Manifest ParseHere(const std::string& text) { return ParseManifest(text, "m.toml", dir_); }
  std::filesystem::path dir_;
};

TEST_F(LanguageFiles, AddReplaceAndComplete) {
  std::string all23;
  for (const UiTextRole& role : kUiTextRoles) {
    all23 += std::string(role.key) + " = \"" + (role.requiresArgument ? "e %s" : "e") + "\"\n";
  }
  Write("et.toml", "[[language]]\ncode = \"et\"\nlangid = 0x0425\nname = \"Eesti\"\n[language.texts]\n" + all23);
  Write("more.toml",
        "[[language]]\ncode = \"de\"\nlangid = 0x0407\nname = \"Deutsch (Sie)\"\nbase = \"de\"\n"
        "[language.texts]\ncancel_button = \"Beenden\"\n"
        "[[language]]\ncode = \"lv\"\nlangid = 0x0426\nname = \"Latvie\u0161u\"\nbase = \"en\"\n");
  Manifest m = ParseHere(std::string(kMinimal) +
                         "[languages]\nfiles = [\"et.toml\", \"more.toml\"]\nuse = [\"et\", \"de\", \"lv\"]\n");
  ASSERT_EQ(m.languages.size(), 3u);
  EXPECT_EQ(m.languages[0].texts.langId, 0x0425);
  EXPECT_EQ(m.languages[0].texts.texts[9], u"e %s");
  EXPECT_EQ(m.languages[1].texts.name, u"Deutsch (Sie)");
  EXPECT_EQ(m.languages[1].texts.texts[4], u"Beenden");
  EXPECT_EQ(m.languages[1].texts.texts[2], u"&Weiter >");  // from its base
  EXPECT_EQ(m.languages[2].texts.texts, EnglishLanguage().texts);
  // Texts set in a file carry that file's positions.
  auto it = m.textWhere.find({1, 4});
  ASSERT_NE(it, m.textWhere.end());
  EXPECT_EQ(it->second.file, (dir_ / "more.toml").string());
  EXPECT_EQ(it->second.line, 7u);
  EXPECT_EQ(m.textWhere.count({2, 4}), 0u);

  // Without `use`, added languages follow the built-in ones.
  EXPECT_EQ(ParseHere(std::string(kMinimal) + "[languages]\nfiles = [\"et.toml\"]\n").languages.size(), 24u);
}

TEST_F(LanguageFiles, ErrorsPointIntoTheLanguageFile) {
  struct Case {
    const char* name;
    const char* file;
    uint32_t line, column;
    const char* expected;
  } cases[] = {
      {"incomplete", "[[language]]\ncode = \"et\"\nlangid = 0x0425\nname = \"Eesti\"\n[language.texts]\ncancel_button = \"Loobu\"\n",
       5, 1, "lacks texts: window_title, back_button"},
      {"unknown base", "[[language]]\ncode = \"et\"\nlangid = 0x0425\nname = \"Eesti\"\nbase = \"fi-FI\"\n", 5, 8,
       "unknown base language"},
      {"no langid", "[[language]]\ncode = \"et\"\nname = \"Eesti\"\nbase = \"en\"\n", 1, 1, "needs langid"},
      {"unknown key", "[[language]]\ncode = \"et\"\nlcid = 1\n", 3, 1, "unknown key 'lcid' in [[language]]"},
      {"not a language file", "code = \"et\"\n", 1, 1, "unknown key 'code' in a language file"},
  };
  for (const Case& c : cases) {
    Write("x.toml", c.file);
    try {
      ParseHere(std::string(kMinimal) + "[languages]\nfiles = [\"x.toml\"]\n");
      ADD_FAILURE() << c.name << ": accepted";
    } catch (const ManifestError& e) {
      EXPECT_EQ(e.where.file, (dir_ / "x.toml").string()) << c.name;
      EXPECT_EQ(e.where.line, c.line) << c.name << ": " << e.what();
      EXPECT_EQ(e.where.column, c.column) << c.name << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << c.name << ": " << e.what();
    }
  }
  // A missing language file is reported where the manifest names it.
  try {
    ParseHere(std::string(kMinimal) + "[languages]\nfiles = [\"none.toml\"]\n");
    ADD_FAILURE() << "missing file accepted";
  } catch (const ManifestError& e) {
    EXPECT_EQ(e.where.file, "m.toml");
    EXPECT_EQ(e.where.line, 4u);
  }
  // Two languages with one LANGID: the second could never be chosen.
  Write("y.toml", "[[language]]\ncode = \"de-AT\"\nlangid = 0x0407\nname = \"Deutsch\"\nbase = \"de\"\n");
  EXPECT_THROW(ParseHere(std::string(kMinimal) + "[languages]\nfiles = [\"y.toml\"]\n"), ManifestError);
}

TEST(Manifest, TheUninstallFolderIsFreeWithoutTheGeneratedUninstaller) {
  const std::string files = std::string(kMinimal) + "[[files]]\nsource = \"a\"\n";
  EXPECT_FALSE(Parse(files + "target = \"uninstall\\\\x\"\n[uninstall]\ngenerated = false\n").generateUninstaller);
  EXPECT_TRUE(Parse(files + "target = \"uninstaller\\\\x\"\n[uninstall]\ngenerated = true\n").generateUninstaller);
  EXPECT_FALSE(Parse(kMinimal).generateUninstaller);
}

TEST_F(LanguageFiles, UninstallerTextsOverrideOrFallBack) {
  Write("x.toml",
        "[[language]]\ncode = \"et\"\nlangid = 0x0425\nname = \"Eesti\"\nbase = \"en\"\n[language.texts]\n"
        "uninstall_removed = \"%s eemaldati.\"\n"
        "[[language]]\ncode = \"de-CH\"\nlangid = 0x0807\nname = \"Deutsch\"\nbase = \"de\"\n");
  std::string all23;
  for (const UiTextRole& role : kUiTextRoles) all23 += std::string(role.key) + " = \"%s\"\n";
  Write("y.toml", "[[language]]\ncode = \"lv\"\nlangid = 0x0426\nname = \"Latviski\"\n[language.texts]\n" + all23);
  Manifest m = ParseHere(std::string(kMinimal) +
                         "[languages]\nfiles = [\"x.toml\", \"y.toml\"]\nuse = [\"de\", \"et\", \"de-CH\", \"lv\"]\n"
                         "[languages.texts.de]\nuninstall_question = \"%s entfernen?\"\n");
  const auto& english = DefaultLanguages()[0].uninstall;
  const auto& german = DefaultLanguages()[8].uninstall;
  EXPECT_EQ(m.languages[0].uninstall, (std::array<std::u16string, 3>{u"%s entfernen?", german[1], german[2]}));
  EXPECT_EQ(m.textWhere.at({0, kUiTextCount + 0}).line, 7u);
  EXPECT_EQ(m.languages[1].uninstall, (std::array<std::u16string, 3>{english[0], u"%s eemaldati.", english[2]}));
  EXPECT_EQ(m.languages[2].uninstall, german);   // from its base
  EXPECT_EQ(m.languages[3].uninstall, english);  // no base: English's
}

TEST(Manifest, LettersTheParserMisjudgesAsBlanksSurviveInStrings) {
  // U+00E9, U+0416, U+FCFF, U+FEFE: code points the TOML parser must never
  // be asked about directly; strings keep them exactly, arrays and inline
  // tables included, and plane-15 letters outside the moved range too.
  const std::string letters = "\xC3\xA9\xD0\x96\xEF\xB3\xBF\xEF\xBB\xBE\xF3\xB0\x80\x80\xE3\x81\x82\xEF\xAC\xBF";
  Manifest m = Parse("[product]\nname = \"Caf" + letters + "\"\npublisher = '" + letters +
                     "'\n[languages]\nuse = [\"en\"]\n[languages.texts.en]\ncancel_button = \"\"\"" + letters + "\"\"\"\n");
  EXPECT_EQ(m.settings[kProductName], u"Caf\u00E9\u0416\uFCFF\uFEFE\U000F0000\u3042\uFB3F");
  EXPECT_EQ(m.settings[kPublisher], u"\u00E9\u0416\uFCFF\uFEFE\U000F0000\u3042\uFB3F");
  struct Case {
    const char* label;
    std::string text;
    uint32_t line, column;
    const char* message;
  };
  const Case cases[] = {
      // Found by fuzzing: a value the parser scans past an invalid quote.
      {"value scanned into letters", "[product]\nname = 0\"[en\x12\x12????\"\"\xEF\xB3\xBF" "2\n", 2, 9, "invalid TOML"},
      {"letter as a key", "[product]\nname = \"Z\"\n\xC3\xA9 = 1\n", 3, 1, "invalid TOML"},
      {"letter after a value", "[product]\nname = \"Z\" \xEF\xBB\xBE\n", 2, 12, "invalid TOML"},
      {"letters after an empty key", "\"\"\xEF\xAC\xBF\xEF\xB3\xBF" "22_", 1, 3, "invalid TOML"},
      {"plane-15 letter of the moved range", "[product]\nname = \"a\xF3\xB0\x83\xA9\"\n", 2, 10, "private-use character"},
  };
  for (const Case& c : cases) {
    try {
      Parse(c.text);
      ADD_FAILURE() << c.label << ": no error";
    } catch (const ManifestError& e) {
      EXPECT_EQ(e.where.line, c.line) << c.label << ": " << e.what();
      EXPECT_EQ(e.where.column, c.column) << c.label << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.label << ": " << e.what();
    }
  }
}

TEST(ManifestByteSize, ParsesUnits) {
  struct Case {
    const char* text;
    std::optional<uint64_t> value;
  } cases[] = {
      {"8 MiB", 8u << 20}, {"8MiB", 8u << 20}, {"512 KiB", 512u << 10}, {"1 GiB", 1u << 30},
      {"4096", 4096}, {"100 B", 100}, {"8 MB", std::nullopt}, {"MiB", std::nullopt}, {"", std::nullopt},
      {"-1", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseByteSize(c.text), c.value) << c.text;
}

// ---------------------------------------------------------------------------
// Limits: what the installer rejects or could not hold.

PackageContents ValidContents() {
  PackageContents c;
  for (const Language& l : DefaultLanguages()) c.languages.push_back(l.texts);
  c.settings[kProductName] = u"Zentrova";
  c.settings[kProductVersion] = u"2.1.3";
  c.settings[kMainExecutable] = u"zentrova.exe";
  c.settings[kConfigCommand] = u"-xi:%u:%s";
  c.settings[kUninstallArguments] = u"-xu";
  c.blobs = {{'x'}};
  c.files = {{"zentrova.exe", 0, 0, 0}};
  return c;
}

std::u16string Repeat(char16_t unit, size_t count) { return std::u16string(count, unit); }

TEST(Limits, BuiltInLanguagesFitWithTheLongestProductNameAndVersion) {
  PackageContents c = ValidContents();
  c.settings[kProductName] = Repeat(u'N', kMaxProductName);
  c.settings[kProductVersion] = Repeat(u'9', kMaxProductVersion);
  c.settings[kMainExecutable] = u"";
  std::vector<LimitProblem> problems = CheckLimits(c);
  for (const LimitProblem& p : problems) ADD_FAILURE() << p.message;
}

struct LimitCase {
  const char* name;
  void (*mutate)(PackageContents&);
  const char* expected;  // nullptr: no problem
};

TEST(Limits, RefusesWhatTheInstallerCannotHold) {
  const LimitCase cases[] = {
      {"valid", [](PackageContents&) {}, nullptr},
      {"no product name", [](PackageContents& c) { c.settings[kProductName].clear(); }, "ProductName is missing"},
      {"name 75", [](PackageContents& c) { c.settings[kProductName] = Repeat(u'a', 75); }, nullptr},
      {"name 76", [](PackageContents& c) { c.settings[kProductName] = Repeat(u'a', 76); }, "holds at most 75"},
      {"version 31", [](PackageContents& c) { c.settings[kProductVersion] = Repeat(u'1', 31); }, nullptr},
      {"version 32", [](PackageContents& c) { c.settings[kProductVersion] = Repeat(u'1', 32); }, "31 characters"},
      {"format without %s", [](PackageContents& c) { c.languages[3].texts[9] = u"Where?"; },
       "has 0 \"%s\"; expected exactly one"},
      {"format with two %s", [](PackageContents& c) { c.languages[0].texts[17] = u"Launch %s %s"; },
       "has 2 \"%s\"; expected exactly one"},
      {"format with %d", [](PackageContents& c) { c.languages[0].texts[22] = u"%s runs %d"; }, "contains \"%d\""},
      {"lone percent", [](PackageContents& c) { c.languages[0].texts[12] = u"Installing %s 50%"; },
       "contains \"%\""},
      {"escaped percent", [](PackageContents& c) { c.languages[0].texts[12] = u"Installing %s: 100%%"; }, nullptr},
      {"plain text keeps its percent", [](PackageContents& c) { c.languages[0].texts[5] = u"100% free"; }, nullptr},
      {"subheading without %s", [](PackageContents& c) { c.languages[0].texts[6] = u"Read this."; }, nullptr},
      {"subheading with %s", [](PackageContents& c) { c.languages[0].texts[15] = u"%s is ready."; }, nullptr},
      {"subheading with two %s", [](PackageContents& c) { c.languages[0].texts[6] = u"%s %s"; },
       "expected at most one"},
      // Sub-heading buffer: 255 units with the 8-unit product name.
      {"subheading 255", [](PackageContents& c) { c.languages[0].texts[9] = Repeat(u'w', 247) + u"%s"; }, nullptr},
      {"subheading 256", [](PackageContents& c) { c.languages[0].texts[9] = Repeat(u'w', 248) + u"%s"; },
       "is 256 characters once formatted with the product name; the installer's buffer holds 255"},
      // Launch box: 127 units.
      {"launch box 127", [](PackageContents& c) { c.languages[1].texts[17] = Repeat(u'l', 119) + u"%s"; }, nullptr},
      {"launch box 128", [](PackageContents& c) { c.languages[1].texts[17] = Repeat(u'l', 120) + u"%s"; }, "holds 127"},
      // Window title: 259 units with "Zentrova 2.1.3" (14 units).
      {"title 259", [](PackageContents& c) { c.languages[0].texts[0] = Repeat(u't', 245) + u"%s"; }, nullptr},
      {"title 260", [](PackageContents& c) { c.languages[0].texts[0] = Repeat(u't', 246) + u"%s"; }, "holds 259"},
      // Folder question: 511 units with a 260-unit path.
      {"folder question 511", [](PackageContents& c) { c.languages[0].texts[20] = Repeat(u'f', 251) + u"%s"; }, nullptr},
      {"folder question 512", [](PackageContents& c) { c.languages[0].texts[20] = Repeat(u'f', 252) + u"%s"; },
       "the longest folder path"},
      {"running question 512", [](PackageContents& c) { c.languages[0].texts[22] = Repeat(u'r', 504) + u"%s"; },
       "holds 511"},
      {"config %s first", [](PackageContents& c) { c.settings[kConfigCommand] = u"-xi:%s:%u"; }, "receives the window handle"},
      {"config %u %u", [](PackageContents& c) { c.settings[kConfigCommand] = u"%u %u"; }, "receives the previous version"},
      {"config three", [](PackageContents& c) { c.settings[kConfigCommand] = u"%u %s %s"; }, "more than two"},
      {"config hex", [](PackageContents& c) { c.settings[kConfigCommand] = u"/hwnd=%x /from=%s 100%%"; }, nullptr},
      // Command line: 2 + 3 + 12 (zentrova.exe) + 1 + args <= 267.
      {"uninstall 249", [](PackageContents& c) { c.settings[kUninstallArguments] = Repeat(u'u', 249); }, nullptr},
      {"uninstall 250", [](PackageContents& c) { c.settings[kUninstallArguments] = Repeat(u'u', 250); }, "holds 267"},
      // %u 10 digits + %s 31 units: 208 fixed units fit exactly.
      {"config 267", [](PackageContents& c) { c.settings[kConfigCommand] = Repeat(u'c', 208) + u"%u%s"; }, nullptr},
      {"config 268", [](PackageContents& c) { c.settings[kConfigCommand] = Repeat(u'c', 209) + u"%u%s"; }, "holds 267"},
      {"launch target 387", [](PackageContents& c) { c.settings[kLaunchTarget] = Repeat(u'l', 387); }, nullptr},
      {"launch target 388", [](PackageContents& c) { c.settings[kLaunchTarget] = Repeat(u'l', 388); }, "holds 387"},
      {"default folder 258", [](PackageContents& c) { c.settings[kDefaultFolder] = Repeat(u'd', 258); }, nullptr},
      {"default folder 259", [](PackageContents& c) { c.settings[kDefaultFolder] = Repeat(u'd', 259); }, "259-character"},
      {"main executable escapes", [](PackageContents& c) { c.settings[kMainExecutable] = u"..\\evil.exe"; },
       "could leave the install folder"},
      {"file name parent", [](PackageContents& c) { c.files[0].name = "a\\..\\..\\evil.dll"; }, "could leave"},
      {"file name absolute", [](PackageContents& c) { c.files[0].name = "\\Windows\\evil.dll"; }, "could leave"},
      {"file name drive", [](PackageContents& c) { c.files[0].name = "C:evil.dll"; }, "could leave"},
      {"file name stream", [](PackageContents& c) { c.files[0].name = "a.txt:stream"; }, "could leave"},
      {"file name dots", [](PackageContents& c) { c.files[0].name = "a\\. .\\b"; }, "could leave"},
      {"file name question mark", [](PackageContents& c) { c.files[0].name = "what?.txt"; }, "does not allow"},
      {"file name wildcard", [](PackageContents& c) { c.files[0].name = "dir\\*"; }, "does not allow"},
      {"listed-only wildcard", [](PackageContents& c) { c.files[0].name = "dir\\*"; c.files[0].flags = kEntryListedOnly; }, nullptr},
      {"file name trailing dot", [](PackageContents& c) { c.files[0].name = "dir.\\a.txt"; }, "ending in a dot"},
      {"device name", [](PackageContents& c) { c.files[0].name = "logs\\con.txt"; }, "reserved Windows device name"},
      {"device-like name", [](PackageContents& c) { c.files[0].name = "logs\\console.txt"; }, nullptr},
      {"name 256", [](PackageContents& c) { c.files[0].name = std::string(252, 'n') + ".txt"; }, nullptr},
      {"name 257", [](PackageContents& c) { c.files[0].name = std::string(253, 'n') + ".txt"; }, "259-character path"},
      {"no language", [](PackageContents& c) { c.languages.clear(); }, "1 to 255 languages"},
      {"missing info entry", [](PackageContents& c) { c.infoEntry = 1; }, "does not exist"},
  };
  for (const LimitCase& k : cases) {
    PackageContents c = ValidContents();
    k.mutate(c);
    std::vector<LimitProblem> problems = CheckLimits(c);
    if (k.expected == nullptr) {
      EXPECT_TRUE(problems.empty()) << k.name << ": " << (problems.empty() ? "" : problems[0].message);
    } else {
      ASSERT_EQ(problems.size(), 1u) << k.name;
      EXPECT_NE(problems[0].message.find(k.expected), std::string::npos) << k.name << ": " << problems[0].message;
    }
  }
}

TEST(Limits, ProblemsNameTheirSubject) {
  PackageContents c = ValidContents();
  c.languages[8].texts[17] = u"Starten";
  c.files[0].name = "..\\x";
  c.settings[kProductVersion] = Repeat(u'1', 40);
  std::vector<LimitProblem> problems = CheckLimits(c);
  ASSERT_EQ(problems.size(), 3u);
  EXPECT_EQ(problems[0].subject, LimitProblem::Subject::kSetting);
  EXPECT_EQ(problems[0].index, static_cast<uint32_t>(kProductVersion));
  EXPECT_EQ(problems[1].subject, LimitProblem::Subject::kText);
  EXPECT_EQ(problems[1].language, 8u);
  EXPECT_EQ(problems[1].index, 17u);
  EXPECT_NE(problems[1].message.find("launch_box of language Deutsch"), std::string::npos);
  EXPECT_EQ(problems[2].subject, LimitProblem::Subject::kFile);
}

TEST(Limits, UnpackedSizeMatchesTheBuiltBlock) {
  PackageContents c = ValidContents();
  c.files.push_back({"b\\c.txt", 0, 0, 0});
  c.files.push_back({"zentrova.exe", 1, 0, 0});  // a shared name is stored once
  c.blobs.push_back(std::vector<uint8_t>(1000, 7));
  c.files[1].blob = 1;
  EXPECT_EQ(UnpackedSize(c), BuildBlock(c).size());
}

TEST(Limits, ConfigCommandLengthAssumesTheLongestArguments) {
  std::string problem;
  EXPECT_EQ(ConfigCommandLength(u"-xi:%u:%s", &problem), 4u + 10 + 1 + 31);
  EXPECT_EQ(ConfigCommandLength(u"%d", &problem), 11u);
  EXPECT_EQ(ConfigCommandLength(u"%lx", &problem), 8u);
  EXPECT_EQ(ConfigCommandLength(u"50%%", &problem), 3u);
  EXPECT_EQ(ConfigCommandLength(u"-configure", &problem), 10u);
  EXPECT_EQ(ConfigCommandLength(u"%s", &problem), std::nullopt);
}

// ---------------------------------------------------------------------------
// Built-in languages.

TEST(Languages, TheTwentyThreeOfTheExamplePackageInItsOrder) {
  struct Expected {
    uint16_t langId;
    const char16_t* name;
  } expected[] = {
      {0x0409, u"English"}, {0x0402, u"Български"}, {0x0804, u"简体中文"}, {0x0404, u"繁體中文"},
      {0x041A, u"Hrvatski"}, {0x0405, u"Čeština"}, {0x0413, u"Nederlands"}, {0x040C, u"Français"},
      {0x0407, u"Deutsch"}, {0x0C0A, u"Español"}, {0x040B, u"Suomi"}, {0x0410, u"Italiano"},
      {0x0411, u"日本語"}, {0x0412, u"Korean"}, {0x0415, u"Polski"}, {0x0416, u"Português Brasileiro"},
      {0x0419, u"Русский"}, {0x041B, u"Slovenčina"}, {0x0424, u"Slovenski"}, {0x0422, u"Українська"},
      {0x0401, u"arabic"}, {0x041D, u"Svenska"}, {0x0418, u"Română"},
  };
  const std::vector<Language>& languages = DefaultLanguages();
  ASSERT_EQ(languages.size(), 23u);
  for (size_t i = 0; i < 23; ++i) {
    EXPECT_EQ(languages[i].texts.langId, expected[i].langId) << i;
    EXPECT_EQ(languages[i].texts.name, expected[i].name) << i;
  }
  EXPECT_EQ(languages[0].texts.texts, EnglishLanguage().texts);
}

std::u16string WithoutMnemonic(std::u16string text) {
  size_t open = text.find(u"(&");
  if (open != std::u16string::npos) return text.erase(open, 4);
  size_t amp = text.find(u'&');
  if (amp != std::u16string::npos) text.erase(amp, 1);
  return text;
}

TEST(Languages, EveryTextIsTranslatedAndWellFormed) {
  const std::vector<Language>& languages = DefaultLanguages();
  const auto& english = languages[0].texts.texts;
  for (const Language& language : languages) {
    const auto& texts = language.texts.texts;
    std::string code = language.code;
    uint32_t sameAsEnglish = 0;
    for (uint32_t i = 0; i < kUiTextCount; ++i) {
      const std::u16string& text = texts[i];
      EXPECT_FALSE(text.empty()) << code << " " << i;
      FormatScan scan = ScanUiFormat(text);
      uint32_t expectedConversions = kUiTextRoles[i].requiresArgument ? 1 : 0;
      EXPECT_EQ(scan.stringConversions, expectedConversions) << code << " " << kUiTextRoles[i].key;
      EXPECT_EQ(scan.badConversion, "") << code << " " << kUiTextRoles[i].key;
      // Controls with a keyboard mnemonic in English have exactly one in every language.
      size_t ampersands = std::count(text.begin(), text.end(), u'&');
      EXPECT_EQ(ampersands, english[i].find(u'&') == std::u16string::npos ? 0u : 1u)
          << code << " " << kUiTextRoles[i].key;
      if (text == english[i]) ++sameAsEnglish;
      // The two multi-line questions keep their paragraph breaks.
      if (i == 20 || i == 22) {
        EXPECT_NE(text.find(u"\r\n\r\n"), std::u16string::npos) << code << " " << i;
      }
    }
    if (code != "en") {
      EXPECT_LE(sameAsEnglish, 1u) << code << " copies English texts";
    }
    // The uninstaller's texts: one %s each, translated; the last one
    // introduces the list of what is left.
    for (uint32_t t = 0; t < kUninstallerTextCount; ++t) {
      FormatScan scan = ScanUiFormat(language.uninstall[t]);
      EXPECT_TRUE(scan.stringConversions == 1 && scan.badConversion.empty()) << code << " " << kUninstallerTextKeys[t];
      if (code != "en") EXPECT_NE(language.uninstall[t], languages[0].uninstall[t]) << code;
    }
    EXPECT_TRUE(language.uninstall[2].back() == u':' || language.uninstall[2].back() == u'\uFF1A') << code;
    // The texts that name a button name it as the button is labelled.
    EXPECT_NE(texts[15].find(WithoutMnemonic(texts[16])), std::u16string::npos)
        << code << ": finished_subheading does not name the Finish button";
    EXPECT_NE(texts[22].find(texts[4]), std::u16string::npos)
        << code << ": running_question does not name the Cancel button";
  }
}

TEST(Languages, MnemonicsOfOnePageDoNotCollide) {
  // Controls visible together: Next or Install with the acceptance box on
  // the licence page; Back, Next, Browse and the desktop box on the
  // destination page. (The English texts are given as they are; their Back
  // and Browse share B.)
  const std::vector<std::vector<uint32_t>> pages = {{2, 7}, {3, 7}, {1, 2, 10, 19}};
  for (const Language& language : DefaultLanguages()) {
    if (language.code == "en") continue;
    for (const auto& page : pages) {
      std::set<char16_t> keys;
      for (uint32_t role : page) {
        const std::u16string& text = language.texts.texts[role];
        size_t amp = text.find(u'&');
        ASSERT_NE(amp, std::u16string::npos);
        char16_t key = text[amp + 1];
        if (key >= u'a' && key <= u'z') key = static_cast<char16_t>(key - 32);
        if (key >= 0x430 && key <= 0x44F) key = static_cast<char16_t>(key - 32);  // Cyrillic
        EXPECT_TRUE(keys.insert(key).second) << language.code << ": mnemonic of " << kUiTextRoles[role].key
                                             << " repeats on its page";
      }
    }
  }
}

TEST(Encoding, Utf8RoundTripsAndRejectsMalformedInput) {
  EXPECT_EQ(Utf8ToUtf16("Zentrova \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), u"Zentrova é€😀");
  EXPECT_EQ(Utf16ToUtf8(u"Zentrova é€😀"), "Zentrova \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8ToUtf16("\xC3"), std::nullopt);          // truncated
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), std::nullopt);      // overlong
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), std::nullopt);  // surrogate
  EXPECT_EQ(EncodeCodePage("Zentrova_DEU.ini", 1252), "Zentrova_DEU.ini");
  EXPECT_EQ(EncodeCodePage("\xC3\xA4rger.txt", 1252), "\xE4rger.txt");
  EXPECT_EQ(EncodeCodePage("\xD0\x96.txt", 1252), std::nullopt);  // Cyrillic Zhe is not in 1252
  EXPECT_EQ(EncodeCodePage("\xD0\x96.txt", 1251), "\xC6.txt");
  EXPECT_EQ(DecodeCodePage("\xE4rger.txt", 1252), "\xC3\xA4rger.txt");
}

}  // namespace
}  // namespace tailpack
