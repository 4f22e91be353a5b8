// list, verify and extract on files that are not what they should be (no
// installer, cut short, over the user's limit, damaged), on machines the
// installer refuses, and extract of a streamed block decoded once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <algorithm>
#include <functional>
#include <map>
#include <sstream>

#include "package/pe.h"
#include "tests/unit/test_support.h"
#include "tool/errors.h"
#include "tool/inspect.h"
#include "tool/machine_names.h"

namespace fs = std::filesystem;

namespace tailpack {
namespace {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tailpack-inspect-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

void Store(const fs::path& path, const std::vector<uint8_t>& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every file and folder below `root`: bytes and modification time.
std::map<std::string, std::pair<std::string, int64_t>> Tree(const fs::path& root) {
  std::map<std::string, std::pair<std::string, int64_t>> tree;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    std::string name = fs::relative(item.path(), root).string();
    if (item.is_directory()) {
      tree[name + "/"] = {"", 0};
      continue;
    }
    struct stat info;
    stat(item.path().c_str(), &info);
    tree[name] = {ReadFile(item.path()), info.st_mtim.tv_sec * 1000000000ll + info.st_mtim.tv_nsec};
  }
  return tree;
}

std::string Hex8(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

std::string Hex(uint64_t value) {
  char text[24];
  snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// The sample package with `files` files of a few KiB of varied bytes in
// two folders, so that a block decoded in small pieces spans many.
PackageContents DataPackage(int files) {
  PackageContents contents = test::SamplePackage();
  contents.files.clear();
  contents.blobs.clear();
  contents.infoEntry = kNoInfoEntry;
  uint32_t seed = 12345;
  for (int i = 0; i < files; ++i) {
    std::vector<uint8_t> blob(3000 + 700 * i);
    for (uint8_t& byte : blob) {
      seed = seed * 1103515245u + 12345u;
      byte = static_cast<uint8_t>(seed >> 24) & 0x3F;
    }
    contents.blobs.push_back(blob);
    contents.files.push_back({(i % 2 ? "bin\\f" : "doc\\deep\\f") + std::to_string(i) + ".dat", 0,
                              0x01D9000000000000ull + i * 10000000ull, static_cast<uint32_t>(i)});
  }
  return contents;
}

// The installer with its packed block cut to `keep` bytes while the
// trailer still claims the whole block.
std::vector<uint8_t> CutStream(const PackageContents& contents, double keep) {
  std::vector<uint8_t> block = BuildBlock(contents);
  std::vector<uint8_t> packed = CompressBlock(block, LzmaSettings{});
  packed.resize(static_cast<size_t>(packed.size() * keep));
  return AppendPackage(test::MakeMinimalPe(), packed, MakeTrailer(block, packed));
}

TEST(ToolMessages, EachFailureSaysWhatTheFileIs) {
  TempDir dir;
  const std::vector<uint8_t> good = WriteInstaller(test::MakeMinimalPe(), test::SamplePackage());
  Store(dir.Path() / "good.exe", good);
  Installer reference(dir.Path() / "good.exe", kArchX64, kOsWindows10);
  ASSERT_TRUE(reference.Intact()) << reference.FailureMessage();
  const uint64_t trailer = reference.TrailerStart(), packed = reference.PackedStart();
  const uint32_t unpacked = reference.Trailer().unpackedSize, checksum = reference.Trailer().checksum;
  const uint32_t imageEnd = reference.Facts().imageEnd;
  const std::string properties = "lc 3 lp 0 pb 0, dictionary 8 MiB";

  struct Case {
    const char* name;
    std::function<std::vector<uint8_t>()> bytes;
    uint64_t maxUnpacked;
    Verdict verdict;
    std::string message;   // FailureMessage after "FILE: "
    std::string headline;  // verify's first line after "FILE: "
  } cases[] = {
      {"intact", [&] { return good; }, kNoUnpackedLimit, Verdict::kIntact, "intact", "package intact"},
      {"a text file", [] { return std::vector<uint8_t>{'[', 'p', ']', '\n'}; }, kNoUnpackedLimit,
       Verdict::kNotAnInstaller,
       "not a tailpack installer: not a Windows executable (no MZ and PE headers in the first 4096 bytes)",
       "not a tailpack installer"},
      {"an executable without a package", [] { return test::MakeMinimalPe(); }, kNoUnpackedLimit,
       Verdict::kNotAnInstaller, "not a tailpack installer: a Windows executable with no package at its end",
       "not a tailpack installer"},
      {"an executable with other data at its end",
       [] {
         std::vector<uint8_t> pe = test::MakeMinimalPe();
         pe.resize(pe.size() + 100, 0x5A);
         return pe;
       },
       kNoUnpackedLimit, Verdict::kNotAnInstaller,
       "not a tailpack installer: a Windows executable with no package at its end (no package trailer before " +
           Hex(imageEnd + 100) + ")",
       "not a tailpack installer"},
      {"cut inside the package",
       [&] { return std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>((packed + trailer) / 2)); },
       kNoUnpackedLimit, Verdict::kEndsEarly,
       "the file ends early (an incomplete download?): the data after the executable begins a package of 3 "
       "entries, but its end and trailer are missing",
       "the file ends early (an incomplete download?)"},
      {"cut inside the executable",
       [&] { return std::vector<uint8_t>(good.begin(), good.begin() + imageEnd - 100); }, kNoUnpackedLimit,
       Verdict::kEndsEarly,
       "the file ends early (an incomplete download?): it holds " + std::to_string(imageEnd - 100) +
           " bytes, and the executable's image alone ends at " + std::to_string(imageEnd),
       "the file ends early (an incomplete download?)"},
      {"a packed size larger than the file",
       [&] {
         std::vector<uint8_t> b = good;
         test::Put32(b, trailer + 8, static_cast<uint32_t>(trailer + 1));
         return b;
       },
       kNoUnpackedLimit, Verdict::kEndsEarly,
       "the file ends early (an incomplete download?): packed block fits before the trailer: packed size " +
           std::to_string(trailer + 1) + " does not fit before the trailer at " + Hex(trailer),
       "the file ends early (an incomplete download?)"},
      {"a stream that ends early", [] { return CutStream(test::SamplePackage(), 0.5); }, kNoUnpackedLimit,
       Verdict::kEndsEarly,
       "the file ends early (an incomplete download?): LZMA properties and data decode to the unpacked size: " +
           properties + ": the packed data ends before the block is full",
       "the file ends early (an incomplete download?)"},
      {"one more byte than the limit", [&] { return good; }, unpacked - 1, Verdict::kOverLimit,
       "the package is over the --max-unpacked limit: it unpacks to " + std::to_string(unpacked) +
           " bytes, more than --max-unpacked " + std::to_string(unpacked - 1) + "; pass --max-unpacked " +
           std::to_string(unpacked) + " or more to read it",
       "package over the --max-unpacked limit, not decoded"},
      {"exactly the limit", [&] { return good; }, unpacked, Verdict::kIntact, "intact", "package intact"},
      {"a checksum off by one",
       [&] {
         std::vector<uint8_t> b = good;
         b[trailer] ^= 1;
         return b;
       },
       kNoUnpackedLimit, Verdict::kDamaged,
       "the package is damaged: byte sum of the unpacked block matches the trailer: the unpacked bytes do not "
       "add up to " + Hex8(checksum ^ 1),
       "package DAMAGED"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const fs::path file = dir.Path() / "case.exe";
    Store(file, k.bytes());
    const std::string shown = file.string() + ": ";
    for (uint64_t inMemory : {uint64_t{48} << 20, uint64_t{0}}) {  // held whole, and in pieces
      DecodeLimits limits{inMemory, 64};
      Installer installer(file, kArchX64, kOsWindows10, k.maxUnpacked, limits);
      EXPECT_EQ(installer.GetVerdict(), k.verdict);
      EXPECT_EQ(installer.FailureMessage(), shown + k.message);
      EXPECT_EQ(installer.Headline(), k.headline);
    }
    VerifyOptions verify;
    verify.maxUnpacked = k.maxUnpacked;
    std::ostringstream text, json;
    EXPECT_EQ(VerifyInstaller(file, verify, text), k.verdict == Verdict::kIntact);
    EXPECT_EQ(FirstLine(text.str()), shown + k.headline);
    verify.json = true;
    VerifyInstaller(file, verify, json);
    EXPECT_NE(json.str().find(std::string("\"verdict\":\"") + VerdictId(k.verdict) + "\""), std::string::npos)
        << json.str();
    if (k.verdict == Verdict::kIntact) continue;
    ListOptions list;
    list.maxUnpacked = k.maxUnpacked;
    std::ostringstream out, err;
    try {
      ListInstaller(file, list, out);
      ADD_FAILURE() << "list did not fail";
    } catch (const ToolError& e) {
      EXPECT_EQ(e.what(), shown + k.message);
    }
    ExtractOptions extract;
    extract.directory = dir.Path() / "x" / "dest";
    extract.maxUnpacked = k.maxUnpacked;
    extract.limits = DecodeLimits{0, 64};
    EXPECT_THROW(ExtractInstaller(file, extract, out, err), ToolError);
    EXPECT_FALSE(fs::exists(dir.Path() / "x"));
  }
}

TEST(ToolList, SaysWhenTheInstallerRefusesTheMachine) {
  struct Case {
    const char* name;
    uint8_t architectures;
    uint16_t versions;
    uint32_t arch, os;
    std::string refusal;  // "" when the installer runs
    std::string message;
    std::string refusedBy;
  } cases[] = {
      {"x64 only, asked arm", kArchX64, 0, kArchArm, kOsWindows10,
       "the installer refuses arm (it runs on x64 only)", "This setup can only be installed on Windows x64!",
       "[\"architecture\"]"},
      {"x86 and arm64, asked x64", kArchX86 | kArchArm64, 0, kArchX64, kOsWindows10,
       "the installer refuses x64 (it runs on x86/arm64 only)", "This setup can only be installed on Windows x86/arm64!",
       "[\"architecture\"]"},
      {"Windows 7 and later, asked xp", kArchX64, 0x78, kArchX64, kOsWindowsXp,
       "the installer refuses Windows xp (it runs on Windows 7/8/10/later only)",
       "This operating system is not supported!", "[\"windows\"]"},
      {"both, asked neither", kArchX64, 0x78, kArchArm, kOsWindows2000,
       "the installer refuses Windows 2000 (it runs on Windows 7/8/10/later only) and arm (it runs on x64 only)",
       "This operating system is not supported!", "[\"windows\",\"architecture\"]"},
      {"x64 only, asked x64", kArchX64, 0x78, kArchX64, kOsWindows10, "", "", ""},
      {"every machine, asked arm", 0, 0, kArchArm, kOsWindows2000, "", "", ""},
  };
  TempDir dir;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    PackageContents contents = test::SamplePackage();
    contents.supportedArchs = k.architectures;
    contents.supportedVersions = k.versions;
    const fs::path file = dir.Path() / "setup.exe";
    Store(file, WriteInstaller(test::MakeMinimalPe(), contents));
    ListOptions options;
    options.archMask = k.arch;
    options.osMask = k.os;
    std::ostringstream text, json;
    ListInstaller(file, options, text);
    options.json = true;
    ListInstaller(file, options, json);
    const std::string machine = DescribeArchMask(k.arch) + ", Windows " + DescribeWindowsMask(k.os);
    const std::string line = "refused     " + machine + ": " + k.refusal + "; it shows \"" + k.message + "\"\n";
    if (k.refusal.empty()) {
      EXPECT_EQ(text.str().find("refused "), std::string::npos);
      EXPECT_NE(text.str().find("; selected for " + machine + ")\n"), std::string::npos) << text.str();
      EXPECT_NE(json.str().find("\"refused\":false}"), std::string::npos) << json.str();
      continue;
    }
    EXPECT_NE(text.str().find(line), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("entries (3; none selected: " + k.refusal + ")\n"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("\nselected    0 bytes\n"), std::string::npos);
    EXPECT_NE(json.str().find("\"refused\":true,\"refused_by\":" + k.refusedBy + ",\"refusal\":\"" + k.refusal +
                              "\",\"message\":\"" + k.message + "\"}"),
              std::string::npos)
        << json.str();
    EXPECT_EQ(json.str().find("\"selected\":true"), std::string::npos);
    EXPECT_NE(json.str().find("\"selected_bytes\":0}"), std::string::npos);

    // extract refuses too, before creating anything, unless asked for every entry.
    ExtractOptions extract;
    extract.directory = dir.Path() / "dest";
    extract.archMask = k.arch;
    extract.osMask = k.os;
    extract.quiet = true;
    std::ostringstream out, err;
    try {
      ExtractInstaller(file, extract, out, err);
      ADD_FAILURE() << "extract did not refuse";
    } catch (const ToolError& e) {
      EXPECT_EQ(e.what(), file.string() + ": " + k.refusal + ", so it installs nothing there; pass --all to extract every entry");
    }
    EXPECT_FALSE(fs::exists(extract.directory));
    extract.all = true;
    EXPECT_EQ(ExtractInstaller(file, extract, out, err), 2u);
    fs::remove_all(extract.directory);
  }
}


// A streamed block is decoded once: up to its file data when the installer
// is opened, and the rest, piece by piece in order, while the files are written.
TEST(ToolExtract, AStreamedBlockIsDecodedOnceInOrder) {
  TempDir dir;
  const fs::path file = dir.Path() / "setup.exe";
  PackageContents contents = DataPackage(12);
  Store(file, WriteInstaller(test::MakeMinimalPe(), contents));
  const std::vector<uint8_t> block = BuildBlock(contents);
  for (size_t piece : {size_t{1}, size_t{100}, size_t{4096}, size_t{1} << 20}) {
    SCOPED_TRACE(piece);
    Installer installer(file, kArchX64, kOsWindows10, kNoUnpackedLimit, DecodeLimits{0, piece}, true);
    ASSERT_TRUE(installer.Intact()) << installer.FailureMessage();
    ASSERT_TRUE(installer.Streamed());
    EXPECT_FALSE(installer.DataChecked());
    EXPECT_EQ(installer.Checks()[5].detail, Hex8(installer.Trailer().checksum) + ", checked after the last byte");
    uint64_t next = 0;
    std::string data;
    installer.ForEachPiece([&](uint64_t offset, const uint8_t* bytes, size_t size) {
      EXPECT_EQ(offset, next);
      EXPECT_LE(size, piece);
      next = offset + size;
      data.append(reinterpret_cast<const char*>(bytes), size);
    });
    EXPECT_TRUE(installer.DataChecked());
    EXPECT_TRUE(installer.Intact());
    ASSERT_EQ(data.size(), block.size());
    // The file data is the block's, byte for byte (the entry table before
    // it is held with the flags the loader defaults).
    const size_t firstData = installer.Package().entries[0].dataOffset;
    EXPECT_EQ(data.substr(firstData), std::string(block.begin() + static_cast<long>(firstData), block.end()));
  }
}

// Extract writes every file under a temporary name and renames them only
// when the whole stream is decoded and its sum is right: an intact package
// comes out byte for byte; damage, a stream that ends early or a failure
// midway leave the destination exactly as it was, files that were there
// before included, and no temporary file or new folder behind.
TEST(ToolExtract, StreamedExtractCommitsOnlyAnIntactPackage) {
  TempDir dir;
  PackageContents contents = DataPackage(12);
  const std::vector<uint8_t> good = WriteInstaller(test::MakeMinimalPe(), contents);
  Store(dir.Path() / "good.exe", good);
  Installer reference(dir.Path() / "good.exe", kArchX64, kOsWindows10);
  const uint64_t trailer = reference.TrailerStart(), packed = reference.PackedStart();
  const uint64_t packedSize = trailer - packed;

  enum Outcome { kExtracted, kEndsEarly, kDamaged, kMidway, kWriteFails };
  struct Case {
    const char* name;
    std::function<std::vector<uint8_t>()> bytes;
    std::function<void(const fs::path&)> prepare;  // the destination before
    Outcome outcome;
    uint64_t fileSizeLimit = RLIM_INFINITY;  // writes past it fail (EFBIG)
  } cases[] = {
      {"intact, into a new folder", [&] { return good; }, [](const fs::path&) {}, kExtracted},
      {"intact, over older files", [&] { return good; },
       [](const fs::path& d) {
         Store(d / "keep.txt", {'m', 'i', 'n', 'e'});
         Store(d / "bin" / "f1.dat", {'o', 'l', 'd'});
       },
       kExtracted},
      {"sum off by one, found after the last byte",
       [&] {
         std::vector<uint8_t> b = good;
         b[trailer] ^= 1;
         return b;
       },
       [](const fs::path& d) {
         Store(d / "keep.txt", {'m', 'i', 'n', 'e'});
         Store(d / "bin" / "f1.dat", {'o', 'l', 'd'});
       },
       kDamaged},
      {"a byte flipped near the end of the stream",
       [&] {
         std::vector<uint8_t> b = good;
         b[packed + packedSize * 9 / 10] ^= 0x24;
         return b;
       },
       [](const fs::path& d) { Store(d / "bin" / "f1.dat", {'o', 'l', 'd'}); }, kDamaged},
      {"a stream that ends early, into a new folder", [] { return CutStream(DataPackage(12), 0.8); },
       [](const fs::path&) {}, kEndsEarly},
      {"a folder where a later file goes", [&] { return good; },
       [](const fs::path& d) { fs::create_directories(d / "bin" / "f11.dat"); }, kMidway},
      {"a write that fails midway", [&] { return good; },
       [](const fs::path& d) { Store(d / "keep.txt", {'m', 'i', 'n', 'e'}); }, kWriteFails, 6000},
  };
  for (const Case& k : cases) {
    for (uint64_t inMemory : {uint64_t{0}, uint64_t{48} << 20}) {
      SCOPED_TRACE(std::string(k.name) + (inMemory ? ", held whole" : ", streamed"));
      TempDir work;
      const fs::path file = work.Path() / "setup.exe";
      Store(file, k.bytes());
      const fs::path dest = work.Path() / "a" / "dest";
      k.prepare(dest);
      const bool existed = fs::exists(dest);
      const auto before = existed ? Tree(dest) : decltype(Tree(dest)){};
      ExtractOptions options;
      options.directory = dest;
      options.all = true;
      options.quiet = true;
      options.limits = DecodeLimits{inMemory, 1000};
      std::ostringstream out, err;
      // A file size limit makes the sixth file's write fail (files 0 to 4 are smaller).
      struct rlimit unlimited, limited;
      getrlimit(RLIMIT_FSIZE, &unlimited);
      limited = unlimited;
      limited.rlim_cur = k.fileSizeLimit;
      signal(SIGXFSZ, SIG_IGN);
      auto extract = [&] {
        setrlimit(RLIMIT_FSIZE, &limited);
        try {
          uint32_t written = ExtractInstaller(file, options, out, err);
          setrlimit(RLIMIT_FSIZE, &unlimited);
          return written;
        } catch (...) {
          setrlimit(RLIMIT_FSIZE, &unlimited);
          throw;
        }
      };
      if (k.outcome == kExtracted) {
        EXPECT_EQ(extract(), 12u);
        for (size_t i = 0; i < contents.files.size(); ++i) {
          std::string name = contents.files[i].name;
          std::replace(name.begin(), name.end(), '\\', '/');
          const std::vector<uint8_t>& blob = contents.blobs[contents.files[i].blob];
          EXPECT_EQ(ReadFile(dest / name), std::string(blob.begin(), blob.end())) << name;
          struct stat info;
          ASSERT_EQ(stat((dest / name).c_str(), &info), 0);
          int64_t seconds;
          uint32_t nanoseconds;
          FileTimeToUnix(contents.files[i].modificationTime, &seconds, &nanoseconds);
          EXPECT_EQ(info.st_mtim.tv_sec, seconds) << name;
        }
        auto after = Tree(dest);
        EXPECT_EQ(after.size(), 12u + 3u + (existed ? 1u : 0u));  // files, bin/ doc/ doc/deep/, keep.txt
        if (existed) {
          EXPECT_EQ(after["keep.txt"].first, "mine");
        }
        continue;
      }
      try {
        extract();
        ADD_FAILURE() << "extract did not fail";
      } catch (const ToolError& e) {
        std::string what = e.what();
        if (k.outcome == kEndsEarly) {
          EXPECT_NE(what.find(": the file ends early (an incomplete download?): "), std::string::npos) << what;
        } else if (k.outcome == kDamaged) {
          EXPECT_NE(what.find(": the package is damaged: "), std::string::npos) << what;
        } else if (k.outcome == kMidway) {
          EXPECT_EQ(what, "cannot extract bin/f11.dat: " + dest.string() + "/bin/f11.dat exists and is not a file");
        } else {
          EXPECT_EQ(what, "cannot write " + dest.string() + "/bin/f5.dat: File too large");
        }
      }
      if (existed) {
        EXPECT_EQ(Tree(dest), before);
      } else {
        EXPECT_FALSE(fs::exists(work.Path() / "a"));  // not even the levels it made
      }
    }
  }
}

// Metadata that does not index stops a streamed extract before the rest of
// the block is decoded; the sum is then left unchecked, not called right.
TEST(ToolExtract, MetadataThatFailsStopsBeforeTheSum) {
  TempDir dir;
  PackageContents contents = DataPackage(3);
  contents.files[1].name = "..\\evil.dat";
  const fs::path file = dir.Path() / "setup.exe";
  Store(file, WriteInstaller(test::MakeMinimalPe(), contents));
  Installer installer(file, kArchX64, kOsWindows10, kNoUnpackedLimit, DecodeLimits{0, 256}, true);
  EXPECT_EQ(installer.GetVerdict(), Verdict::kDamaged);
  EXPECT_EQ(installer.FailureMessage(), file.string() + ": the package is damaged: every file name stays inside the "
                                                        "install folder: a file name could leave the install folder");
  const LoadCheck& sum = installer.Checks()[5];
  EXPECT_EQ(sum.id, "checksum");
  EXPECT_EQ(sum.state, LoadCheck::State::kNotReached);
  EXPECT_EQ(sum.detail, "not checked: the metadata failed first");
}

}  // namespace
}  // namespace tailpack
