// Licences on the wizard's first page: UTF-8 text becomes RTF that shows
// every character, ASCII, code-page text and RTF stay as they are, and list
// says which one a package carries.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "package/pe.h"
#include "tests/unit/test_support.h"
#include "tool/build.h"
#include "tool/encoding.h"
#include "tool/inspect.h"

namespace fs = std::filesystem;

namespace tailpack {
namespace {

const std::string kHead =
    "{\\rtf1\\ansi\\deff0\\uc1{\\fonttbl{\\f0\\fnil MS Shell Dlg;}{\\f1\\fnil MS UI Gothic;}}"
    "{\\*\\generator tailpack}\r\n";

TEST(Licence, Utf8BecomesRtfWithEveryCharacter) {
  struct Case {
    const char* label;
    std::string utf8;
    std::string body;  // after kHead, before the closing brace
  };
  const Case cases[] = {
      {"accents, CR LF and LF lines", "Gr\xc3\xbc\xc3\x9f" "e\r\nZa\xc5\xbc\xc3\xb3\xc5\x82\xc4\x87\n",
       "Gr\\u252?\\u223?e\\par\r\nZa\\u380?\\u243?\\u322?\\u263?\\par\r\n"},
      {"RTF's own characters and a tab, a lone CR, a byte-order mark",
       "\xef\xbb\xbf{a}\\b\tc\rd\x01\xc3\xa9", "\\{a\\}\\\\b\\tab c\\par\r\nd\\u233?"},
      {"Japanese in a run of the CJK font, negative numbers above U+7FFF",
       "a\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e b", "a{\\f1 \\u26085?\\u26412?\\u-30050?} b"},
      {"a character beyond the BMP as its two surrogates, text ending in CJK",
       "\xf0\xa0\x80\x8b\xe4\xb8\x80", "{\\f1 \\u-10176?\\u-9205?\\u19968?}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_TRUE(IsUtf8BeyondAscii(c.utf8));
    std::string rtf = Utf8ToRtf(c.utf8);
    EXPECT_EQ(rtf, kHead + c.body + "}");
    EXPECT_EQ(ClassifyInfoText(rtf), InfoTextKind::kConverted);
  }
}

TEST(Licence, TextsAreToldApart) {
  struct Case {
    std::string bytes;
    bool utf8;
    InfoTextKind kind;
  };
  const Case cases[] = {
      {"Plain terms.\r\n", false, InfoTextKind::kAscii},
      {"\xef\xbb\xbf" "ASCII behind a byte-order mark", false, InfoTextKind::kCodePage},
      {"Gr\xfc\xdf" "e in Windows-1252", false, InfoTextKind::kCodePage},
      {"Gr\xc3\xbc\xc3\x9f" "e in UTF-8", true, InfoTextKind::kCodePage},
      {"\xc3\x28 broken UTF-8", false, InfoTextKind::kCodePage},
      {"{\\rtf1\\ansi Terms.}", false, InfoTextKind::kRtf},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsUtf8BeyondAscii(c.bytes), c.utf8) << c.bytes;
    EXPECT_EQ(ClassifyInfoText(c.bytes), c.kind) << c.bytes;
  }
}

// Built and listed: a UTF-8 licence is installed as written and shown
// through a never-installed RTF copy; the others are the info text as they
// are.
TEST(Licence, BuildShowsUtf8ThroughRtfAndListSaysSo) {
  struct Case {
    const char* file;
    std::string content;
    const char* shown;   // the info entry's name
    const char* kind;    // list --json's info_text
    bool copy;           // an RTF entry was added
  };
  const Case cases[] = {
      {"license.txt", "Gr\xc3\xbc\xc3\x9f" "e", "license.txt.rtf", "rtf-from-utf8", true},
      {"license.txt", "Plain.", "license.txt", "ascii", false},
      {"license.txt", "Gr\xfc\xdf" "e", "license.txt", "code-page", false},
      {"license.rtf", "{\\rtf1 Gr\\'fc\\'dfe}", "license.rtf", "rtf", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    std::string pattern = (fs::temp_directory_path() / "tailpack-licence-XXXXXX").string();
    fs::path dir = mkdtemp(pattern.data());
    std::ofstream(dir / c.file, std::ios::binary) << c.content;
    std::ofstream(dir / "Lic.exe", std::ios::binary) << "MZ";
    std::ofstream(dir / "tailpack.toml") << "[product]\nname = \"Lic\"\n[setup]\ninfo_text = \"" << c.file
                                         << "\"\n[[files]]\nsource = \"" << c.file
                                         << "\"\n[[files]]\nsource = \"Lic.exe\"\n";
    std::vector<uint8_t> image = test::MakeMinimalPe();
    std::ofstream(dir / "stub.exe", std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                                            static_cast<std::streamsize>(image.size()));
    BuildOptions build;
    build.manifest = dir / "tailpack.toml";
    build.output = dir / "out.exe";
    build.stub = dir / "stub.exe";
    build.quiet = true;
    std::ostringstream out, err;
    BuildInstaller(build, out, err);
    ListOptions list;
    list.json = true;
    std::ostringstream json;
    ListInstaller(dir / "out.exe", list, json);
    EXPECT_NE(json.str().find("\"info_text\":\"" + std::string(c.kind) + "\""), std::string::npos) << json.str();
    EXPECT_NE(json.str().find("\"" + std::string(c.shown) + "\""), std::string::npos) << json.str();
    // The installed file is the source, byte for byte; the copy is never installed.
    ExtractOptions extract;
    extract.directory = dir / "installed";
    extract.quiet = true;
    ExtractInstaller(dir / "out.exe", extract, out, err);
    std::ifstream installed(dir / "installed" / c.file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(installed)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes, c.content);
    EXPECT_EQ(fs::exists(dir / "installed" / (std::string(c.file) + ".rtf")), false);
    if (c.copy) {
      ExtractOptions all = extract;
      all.directory = dir / "all";
      all.all = true;
      ExtractInstaller(dir / "out.exe", all, out, err);
      EXPECT_EQ(fs::exists(dir / "all" / c.shown), true);
    }
    fs::remove_all(dir);
  }
}

}  // namespace
}  // namespace tailpack
