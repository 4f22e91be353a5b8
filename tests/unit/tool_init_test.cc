// tailpack init: the manifest it writes for a folder, and that build takes
// it as it is.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "package/pe.h"
#include "tests/unit/file_support.h"
#include "tests/unit/test_support.h"
#include "tool/build.h"
#include "tool/errors.h"
#include "tool/init.h"
#include "tool/inspect.h"

namespace fs = std::filesystem;

namespace tailpack {
namespace {

using test::ReadFile;
using test::WriteFile;

class ToolInitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tailpack-init-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    std::vector<uint8_t> image = test::MakeMinimalPe();
    stub_ = root_ / "stub.exe";
    WriteFile(stub_, std::string(image.begin(), image.end()));
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path root_, stub_;
};

// The manifest init writes for a folder builds as it is, or, when init
// cannot tell the main executable, is refused at its commented line until
// that line is set.
TEST_F(ToolInitTest, TheManifestOfAFolderBuildsOrSaysWhichLineToSet) {
  struct Case {
    const char* label;
    const char* folder;
    const char* product;
    std::vector<const char*> files;       // relative paths to create
    std::vector<const char*> contains;    // lines the manifest must hold
    std::vector<const char*> lacks;       // lines it must not hold
    std::vector<const char*> refusal;     // what the first build says; empty: it builds
    const char* chosen;                   // then main_executable is set to this, or nullptr
    std::vector<const char*> installed;   // the package's entries, in order
  };
  const Case cases[] = {
      {"one program and a licence", "Hello", "Hello",
       {"hello.exe", "LICENSE.txt", "bin/helper.dll", ".git/config", "tailpack.toml.bak"},
       {"name = \"Hello\"", "\nmain_executable = \"hello.exe\"", "info_text = \"LICENSE.txt\"",
        "output = \"../Hello-setup.exe\"", "\n[uninstall]\ngenerated = true\n", "\n# uninstall_arguments = "},
       {"source = \".git\""},
       {},
       nullptr,
       {"LICENSE.txt", "bin\\helper.dll", "hello.exe", "tailpack.toml.bak", "uninstall\\Hello\\uninstall.exe"}},
      {"two programs, a COPYING file", "Tools 2", "Tools 2",
       {"a.exe", "b.EXE", "COPYING"},
       {"name = \"Tools 2\"", "\n# main_executable = \"a.exe\"", "\"a.exe\", \"b.EXE\"", "info_text = \"COPYING\"",
        "\ngenerated = true\n"},
       {"\nmain_executable"},
       {"tailpack.toml:9:1: error: the main executable \"Tools 2.exe\"",
        "The packaged .exe files are \"a.exe\", \"b.EXE\": set [product] main_executable to one of them "
        "(uncomment this line)"},
       "b.EXE",
       {"COPYING", "a.exe", "b.EXE", "uninstall\\Tools 2\\uninstall.exe"}},
      {"no program, no licence, a name the installer cannot take", "Caf\xc3\xa9 \xe2\x98\x95", "Caf\xc3\xa9 _",
       {"data.bin", "CON", "empty/.keep"},
       {"name = \"Caf\xc3\xa9 _\"", "# info_text", "# Left out: CON", "# main_executable = \"program.exe\""},
       {"\ninfo_text", "\nmain_executable"},
       {"tailpack.toml:9:1: error: the main executable \"Caf\xc3\xa9 _.exe\"",
        "The package installs no .exe file: add the program with a [[files]] item"},
       "data.bin",
       {"data.bin", "empty\\.keep", "uninstall\\Caf\xc3\xa9 _\\uninstall.exe"}},
      {"the product's own uninstall folder", "Own", "Own",
       {"own.exe", "Uninstall/remove.exe"},
       {"\n# generated = true", "\nmain_executable = \"own.exe\""},
       {"\ngenerated = true"},
       {},
       nullptr,
       {"Uninstall\\remove.exe", "own.exe"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fs::path folder = root_ / c.folder;
    for (const char* file : c.files) WriteFile(folder / file, file);
    std::ostringstream said;
    fs::path manifest = InitManifest({folder}, said);
    std::string text = ReadFile(manifest);
    for (const char* line : c.contains) EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    for (const char* line : c.lacks) EXPECT_EQ(text.find(line), std::string::npos) << line << "\n" << text;

    BuildOptions build;
    build.manifest = folder;  // the folder stands for the manifest in it
    build.stub = stub_;
    build.uninstaller = stub_;
    build.quiet = true;
    std::ostringstream out, err;
    fs::path installer = root_ / (std::string(c.product) + "-setup.exe");
    if (!c.refusal.empty()) {
      try {
        BuildInstaller(build, out, err);
        ADD_FAILURE() << "the first build passed:\n" << text;
      } catch (const ManifestError& e) {
        for (const char* part : c.refusal) EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
      }
      EXPECT_FALSE(fs::exists(installer));
      EXPECT_NE(said.str().find("before building, set main_executable"), std::string::npos) << said.str();
      // Setting the line the build named makes it build.
      size_t at = text.find("# main_executable = ");
      ASSERT_NE(at, std::string::npos);
      size_t end = text.find('\n', at);
      text.replace(at, end - at, "main_executable = \"" + std::string(c.chosen) + "\"");
      fs::remove(manifest);
      WriteFile(manifest, text);
    }
    ASSERT_NO_THROW(BuildInstaller(build, out, err)) << text;
    ASSERT_TRUE(fs::exists(installer));
    ListOptions list;
    list.json = true;
    std::ostringstream listing;
    ListInstaller(installer, list, listing);
    std::string json = listing.str();
    size_t at = 0;
    for (const char* name : c.installed) {
      std::string quoted = "\"" + std::string(name) + "\"";
      std::string escaped;
      for (char ch : quoted) escaped += ch == '\\' ? std::string("\\\\") : std::string(1, ch);
      size_t found = json.find(escaped, at);
      EXPECT_NE(found, std::string::npos) << name << " (in order) in " << json;
      if (found != std::string::npos) at = found;
    }
    EXPECT_EQ(json.find("\"uninstaller\":true") != std::string::npos, 
              std::string(c.installed.back()).ends_with("\\uninstall.exe"));
  }
}

TEST_F(ToolInitTest, AnExistingManifestIsNeverOverwritten) {
  fs::path folder = root_ / "Kept";
  WriteFile(folder / "a.exe", "a");
  WriteFile(folder / kManifestName, "# mine\n");
  fs::create_symlink("/nonexistent-target", root_ / "Linked");
  std::ostringstream said;
  EXPECT_THROW(InitManifest({folder}, said), ToolError);
  EXPECT_EQ(ReadFile(folder / kManifestName), "# mine\n");
  // A manifest name that is a dangling link is not written through.
  fs::path linked = root_ / "Linkfolder";
  WriteFile(linked / "a.exe", "a");
  fs::create_symlink(root_ / "elsewhere.toml", linked / kManifestName);
  EXPECT_THROW(InitManifest({linked}, said), ToolError);
  EXPECT_FALSE(fs::exists(root_ / "elsewhere.toml"));
  EXPECT_THROW(InitManifest({root_ / "missing"}, said), ToolError);
}

}  // namespace
}  // namespace tailpack
