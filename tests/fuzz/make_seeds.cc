// Writes the seed corpora of the fuzz targets with the package writer:
//   <root>/fuzz_index/    unpacked blocks
//   <root>/fuzz_package/  packed block + trailer + slack, as an installer ends
//   <root>/fuzz_pe/       PE headers of runtime images and installers
//   <root>/fuzz_uninstall_record/  uninstall records
// Usage: fuzz_seeds <root>
#include <cstdio>
#include <stdexcept>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "package/writer.h"
#include "tests/hostile/corpus.h"
#include "tests/unit/test_support.h"

namespace {

namespace fs = std::filesystem;
using tailpack::PackageContents;

struct SeedError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void WriteSeed(const fs::path& directory, const std::string& name, const std::vector<uint8_t>& bytes) {
  fs::create_directories(directory);
  fs::path path = directory / ("seed-" + name);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw SeedError("cannot write " + path.string());
}

PackageContents NoFiles() {
  PackageContents c = test::SamplePackage();
  c.files.clear();
  c.blobs.clear();
  c.infoEntry = kNoInfoEntry;
  return c;
}

// Forty languages with short texts, so the block stays small.
PackageContents ManyLanguages() {
  PackageContents c = test::SamplePackage();
  c.languages.clear();
  for (int i = 0; i < 40; ++i) {
    tailpack::LanguageTexts l;
    l.langId = static_cast<uint16_t>(0x0401 + i);
    l.name = u"L" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26));
    for (size_t t = 0; t < kUiTextCount; ++t) l.texts[t] = std::u16string(t % 4, u'x');
    c.languages.push_back(l);
  }
  return c;
}

// Several entries sharing names and data, flags of every kind, every setting.
PackageContents SharedBlobs() {
  PackageContents c = test::SamplePackage();
  c.supportedVersions = kOsWindows7 | kOsWindows8 | kOsWindows10;
  c.supportedArchs = kArchX86 | kArchX64 | kArchArm64;
  c.settings[kMainExecutable] = u"bin\\zentrova.exe";
  c.settings[kMutexName] = u"ZentrovaMutex";
  c.settings[kWindowClass] = u"ZentrovaWindow";
  c.settings[kDefaultFolder] = u"%ProgramFiles%\\Zentrova";
  c.settings[kUnsupportedOsLink] = u"https://example.com/os";
  c.blobs.push_back({});
  c.files.push_back({"bin\\zentrova.exe", 0x4 | (0x30 << kEntryOsShift), 5, 1});
  c.files.push_back({"docs\\license.txt", kEntryReplaceInUse, 6, 2});
  c.files.push_back({"license.txt", 0x8, 7, 2});
  c.files.push_back({"logs\\empty.log", kEntryListedOnly, 8, 3});
  return c;
}

struct Shape {
  const char* name;
  PackageContents contents;
};

int Run(const fs::path& root) {
  const Shape shapes[] = {
      {"sample", test::SamplePackage()},
      {"no-files", NoFiles()},
      {"many-languages", ManyLanguages()},
      {"shared-blobs", SharedBlobs()},
  };
  struct Stream {
    const char* name;
    tailpack::LzmaSettings settings;
    uint32_t slack;
  };
  std::vector<Stream> streams(3);
  streams[0] = {"default", {}, 0};
  streams[1] = {"end-marker", {}, 6};
  streams[1].settings.endMarker = true;
  streams[1].settings.dictionarySize = 1u << 16;
  streams[2] = {"lc0-lp2-pb0", {}, 16};
  streams[2].settings.lc = 0;
  streams[2].settings.lp = 2;
  streams[2].settings.pb = 0;
  streams[2].settings.dictionarySize = 4096;

  for (const Shape& shape : shapes) {
    std::vector<uint8_t> block = tailpack::BuildBlock(shape.contents);
    WriteSeed(root / "fuzz_index", shape.name, block);
    for (const Stream& stream : streams) {
      std::vector<uint8_t> packed = tailpack::CompressBlock(block, stream.settings);
      std::vector<uint8_t> tail = packed;
      std::vector<uint8_t> trailer = tailpack::EncodeTrailer(tailpack::MakeTrailer(block, packed));
      tail.insert(tail.end(), trailer.begin(), trailer.end());
      tail.resize(tail.size() + stream.slack, 0);
      WriteSeed(root / "fuzz_package", std::string(shape.name) + "-" + stream.name, tail);
    }
  }

  // Headers as the loader sees them: the first page of the mapped image.
  for (bool pe32Plus : {false, true}) {
    std::string kind = pe32Plus ? "pe32plus" : "pe32";
    std::vector<uint8_t> image = test::MakeMinimalPe(pe32Plus);
    WriteSeed(root / "fuzz_pe", kind, image);
    std::vector<uint8_t> installer = tailpack::WriteInstaller(image, test::SamplePackage());
    tailpack::SetCertificateEntry(installer, static_cast<uint32_t>(installer.size()), 0x2000);
    installer.resize(0x200);  // the headers, up to the section's raw data
    WriteSeed(root / "fuzz_pe", kind + "-signed", installer);
  }

  // Whole installers for list/verify/extract: a good one, and the hostile
  // corpus (all but the multi-megabyte bombs).
  WriteSeed(root / "fuzz_inspect", "good", tailpack::WriteInstaller(test::MakeMinimalPe(), test::SamplePackage()));
  {
    // Followed by a certificate table: WIN_CERTIFICATE (length, revision
    // 0x0200, type 2) and the start of a DER sequence where PKCS#7 goes.
    std::vector<uint8_t> signedInstaller = tailpack::WriteInstaller(test::MakeMinimalPe(), test::SamplePackage());
    signedInstaller.resize((signedInstaller.size() + 7) & ~size_t{7}, 0);
    const uint8_t table[] = {16, 0, 0, 0, 0x00, 0x02, 0x02, 0x00, 0x30, 0x06, 0x06, 0x01, 0x2A, 0x02, 0x01, 0x01};
    tailpack::SetCertificateEntry(signedInstaller, static_cast<uint32_t>(signedInstaller.size()), sizeof table);
    signedInstaller.insert(signedInstaller.end(), table, table + sizeof table);
    WriteSeed(root / "fuzz_inspect", "signed", signedInstaller);
  }
  hostile::MakeCorpus(test::MakeMinimalPe(), hostile::Size::kSmall, [&](hostile::Case&& c) {
    if (c.bytes.size() <= 65536) WriteSeed(root / "fuzz_inspect", c.name, c.bytes);
  });

  // Uninstall records: the least a record holds, and one with every
  // setting, two languages, files and folders.
  {
    tailpack::UninstallRecordContents least;
    least.settings[kRecordProductName] = u"Z";
    least.languages.resize(1);
    WriteSeed(root / "fuzz_uninstall_record", "least", tailpack::BuildUninstallRecord(least));
    tailpack::UninstallRecordContents full;
    full.flags = kRecordFlag64BitView;
    full.settings = {u"Zentrova", u"ZentrovaMutex", u"ZentrovaWindow", u"Zentrova"};
    for (uint16_t langId : {0x0409, 0x0407}) {
      tailpack::UninstallRecordContents::Language l;
      l.langId = langId;
      l.texts = {u"Remove %s?", u"%s was removed.", u"%s could not be removed completely:", u"%s is running.",
                 u"Administrators only."};
      full.languages.push_back(l);
    }
    full.files = {"zentrova.exe", "bin\\tools\\helper.exe", "x64\\zentrova.sys", "license.txt"};
    full.folders = {"bin\\tools", "bin", "x64"};
    WriteSeed(root / "fuzz_uninstall_record", "full", tailpack::BuildUninstallRecord(full));
  }

  // Manifests: the shapes a user writes, each key at least once.
  const char* const manifests[] = {
      "[product]\nname = \"Z\"\n[[files]]\nsource = \"a.txt\"\n",
      "[product]\nname = \"Zentrova\"\nversion = \"2.1.3\"\npublisher = \"Halvix\"\n"
      "main_executable = \"zentrova.exe\"\nconfig_command = \"-xi:%u:%s\"\nuninstall_arguments = \"-xu\"\n"
      "launch_target = \"%ProgramFiles%\\\\Z\\\\z.exe\"\nmutex_name = \"m\"\nwindow_class = \"c\"\n"
      "window_title = \"t\"\ndefault_folder = \"%ProgramFiles%\\\\Z\"\nunsupported_os_link = \"https://x\"\n"
      "[requirements]\nwindows = \"7+\"\narchitectures = [\"x86\", \"x64\"]\n"
      "[setup]\nregistry_view = \"64-bit\"\ninfo_text = \"license.txt\"\ncode_page = 1252\noutput = \"setup.exe\"\n"
      "[compression]\ndictionary = \"8 MiB\"\n"
      "[languages]\nuse = [\"en\", \"de\"]\n"
      "[[files]]\nsource = \"bin/x64/*.exe\"\narchitectures = \"x64\"\nreplace_in_use = true\n"
      "[[files]]\nsource = \"docs/**/*.txt\"\ntarget = \"doc\"\n"
      "[[files]]\nsource = \"a\"\ninstall = false\n"
      "[[directories]]\npath = \"logs\"\n",
  };
  for (size_t i = 0; i < sizeof manifests / sizeof manifests[0]; ++i) {
    std::string text = manifests[i];
    WriteSeed(root / "fuzz_manifest", "manifest-" + std::to_string(i), std::vector<uint8_t>(text.begin(), text.end()));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds <corpus root>\n");
    return 2;
  }
  try {
    return Run(argv[1]);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "fuzz_seeds: %s\n", error.what());
    return 1;
  }
}
