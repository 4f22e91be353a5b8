// The hostile corpus against the installer's loader (over the recording
// fake) and against the tool's list/verify/extract: every installer is
// refused, nothing is created, and the corpus really is as varied as meant.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "base/memory.h"
#include "base/memory_host.h"
#include "package/load.h"
#include "platform/fake/fake_platform.h"
#include "tests/hostile/corpus.h"
#include "tests/unit/file_support.h"
#include "tests/unit/test_support.h"
#include "tool/errors.h"
#include "tool/inspect.h"

namespace fs = std::filesystem;

namespace {

using test::TempDir;

// What one load through the fake left behind: the status, and whether a
// catalogue came back or anything was created, written or opened for good.
struct LoadOutcome {
  PackageStatus status = kPackageOk;
  bool loaded = false;
  std::vector<std::string> writes;  // events that create or change something
  int openFiles = 0;
};

LoadOutcome LoadAsRunningExecutable(const std::vector<uint8_t>& bytes) {
  ResetFakePlatform();
  g_machine = MachineState();
  g_fake.moduleImage = bytes;
  g_fake.files[g_fake.ownPath] = bytes;
  const size_t filesBefore = g_fake.files.size();
  LoadOutcome outcome;
  // A genuine package of this corpus needs far less; a bomb that got as far
  // as allocating its claim is caught as "not enough memory" instead.
  g_allocationLimit = 160u << 20;
  Catalogue* catalogue = LoadPackage(&outcome.status);
  g_allocationLimit = SIZE_MAX;
  outcome.openFiles = g_fake.openFiles;
  if (catalogue != nullptr) {
    outcome.loaded = true;
    ReleaseCatalogue(catalogue);
    CloseFile(g_reader.file);
  }
  g_reader.file = nullptr;
  FreeMemory(g_reader.scratch);
  g_reader.scratch = nullptr;
  for (const std::string& e : g_fake.events) {
    for (const char* verb : {"Create", "Write", "RegSet", "RegCreate", "Delete", "Move", "Run"}) {
      if (e.rfind(verb, 0) == 0) outcome.writes.push_back(e);
    }
  }
  if (g_fake.files.size() != filesBefore) outcome.writes.push_back("a file appeared");
  return outcome;
}

TEST(HostileCorpus, TheLoaderAndTheToolRefuseEveryInstaller) {
  TempDir dir;
  std::set<std::string> names;
  std::map<std::string, size_t> families;  // "truncated-file", "flip-block", ...
  size_t count = 0;
  hostile::MakeCorpus(test::MakeMinimalPe(), hostile::Size::kSmall, [&](hostile::Case&& c) {
    SCOPED_TRACE(c.name);
    ++count;
    EXPECT_TRUE(names.insert(c.name).second) << "two cases named " << c.name;
    families[c.name.substr(0, c.name.find('-', c.name.find('-') + 1))]++;

    LoadOutcome load = LoadAsRunningExecutable(c.bytes);
    EXPECT_FALSE(load.loaded);
    EXPECT_NE(load.status, kPackageOk);
    EXPECT_EQ(load.openFiles, 0);
    EXPECT_TRUE(load.writes.empty()) << load.writes.front();

    const fs::path installer = dir.Path() / "installer.exe";
    {
      std::ofstream out(installer, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(c.bytes.data()), static_cast<std::streamsize>(c.bytes.size()));
    }
    tailpack::VerifyOptions verify;
    std::ostringstream report;
    EXPECT_FALSE(tailpack::VerifyInstaller(installer, verify, report));
    tailpack::ExtractOptions extract;
    extract.directory = dir.Path() / "sandbox" / "dest";
    extract.all = true;
    extract.quiet = true;
    std::ostringstream out, err;
    EXPECT_THROW(tailpack::ExtractInstaller(installer, extract, out, err), tailpack::ToolError);
    EXPECT_FALSE(fs::exists(dir.Path() / "sandbox"));
    std::error_code ec;
    fs::remove_all(dir.Path() / "sandbox", ec);
  });
  EXPECT_GE(count, 200u);
  // Every family the corpus promises is there, with more than a token case.
  for (const char* family : {"truncated-file", "truncated-block", "flip-block", "flip-trailer", "trailer-unpacked",
                             "trailer-packed", "certificate-past", "name-1", "setting-product", "bomb-zeros"}) {
    EXPECT_GE(families[family], 1u) << family;
  }
  EXPECT_GE(families["truncated-block"], 40u);
  EXPECT_GE(families["flip-block"], 50u);
}

}  // namespace
