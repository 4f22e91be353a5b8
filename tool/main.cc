// tailpack: builds Windows installers from a TOML manifest and inspects them.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <filesystem>
#include <iostream>

#include "tool/build.h"
#include "tool/encoding.h"
#include "tool/errors.h"
#include "tool/init.h"
#include "tool/inspect.h"
#include "tool/manifest.h"
#include "tool/machine_names.h"
#include "tool/system.h"

namespace fs = std::filesystem;
using namespace tailpack;

namespace {

uint32_t ParseArch(const std::string& name) {
  std::optional<uint32_t> bit = ArchBit(name);
  if (!bit) throw UsageError("unknown architecture \"" + name + "\"; expected one of: " + ArchNameList());
  return *bit;
}

uint32_t ParseWindows(const std::string& name) {
  std::optional<uint32_t> bit = WindowsBit(name);
  if (!bit) throw UsageError("unknown Windows version \"" + name + "\"; expected one of: " + WindowsNameList());
  return *bit;
}

uint64_t ParseMaxUnpacked(const std::string& text) {
  std::optional<uint64_t> size = ParseByteSize(text);
  if (!size) throw UsageError("bad --max-unpacked \"" + text + "\"; expected bytes, or a size such as \"64 MiB\"");
  return *size;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tailpack: builds small self-extracting Windows installers from a TOML manifest, "
               "and lists, verifies and extracts them."};
  app.name("tailpack");
  app.set_version_flag("--version", std::string("tailpack ") + TAILPACK_VERSION);
  app.require_subcommand(1);

  BuildOptions build;
  std::string manifest = "tailpack.toml", output, stub = "x86", uninstaller;
  bool quiet = false;
  CLI::App* buildCommand = app.add_subcommand("build", "Build an installer from a manifest");
  buildCommand->add_option("manifest", manifest,
                           "Manifest file, or a folder holding tailpack.toml (default tailpack.toml)");
  buildCommand->add_option("-o,--output", output, "Installer to write (default: [setup] output, else setup.exe)");
  buildCommand->add_option("--stub", stub, "Runtime stub: x86 (default), x64, or a path to one");
  buildCommand->add_option("--uninstaller", uninstaller,
                           "Uninstaller to install with [uninstall] generated = true (default: "
                           "tailpack-uninstall-x86.exe or -x64.exe for the stub's machine, found like the stubs)");
  buildCommand->add_flag("-q,--quiet", quiet, "Print nothing but errors");

  std::string installer, arch = "x64", windows = "10", directory;
  bool json = false, all = false, texts = false;
  std::string codePage = "1252", maxUnpacked;
  const char* const kMaxUnpackedHelp =
      "Refuse, before decoding, a package that claims more unpacked bytes than SIZE (bytes, or as \"64 MiB\", \"2 GiB\")";
  CLI::App* listCommand = app.add_subcommand("list", "Show an installer's package: header, settings, languages, entries");
  listCommand->add_option("installer", installer, "Installer file")->required();
  listCommand->add_option("--arch", arch, "Machine architecture for the selection (default x64)");
  listCommand->add_option("--windows", windows, "Windows version for the selection (default 10)");
  listCommand->add_flag("--json", json, "Print JSON");
  listCommand->add_flag("--texts", texts, "Also print the 23 texts of every language");
  listCommand->add_option("--code-page", codePage, "ANSI code page of the file names (default 1252)");
  listCommand->add_option("--max-unpacked", maxUnpacked, kMaxUnpackedHelp);

  CLI::App* verifyCommand = app.add_subcommand("verify", "Run every check the installer runs on its package");
  verifyCommand->add_option("installer", installer, "Installer file")->required();
  verifyCommand->add_flag("--json", json, "Print JSON");
  verifyCommand->add_option("--code-page", codePage, "ANSI code page of the file names (default 1252)");
  verifyCommand->add_option("--max-unpacked", maxUnpacked, kMaxUnpackedHelp);

  CLI::App* extractCommand = app.add_subcommand("extract", "Write the package's files into a directory");
  extractCommand->add_option("installer", installer, "Installer file")->required();
  extractCommand->add_option("-d,--directory", directory, "Directory to write into")->required();
  extractCommand->add_option("--arch", arch, "Machine architecture for the selection (default x64)");
  extractCommand->add_option("--windows", windows, "Windows version for the selection (default 10)");
  extractCommand->add_flag("--all", all, "Write every entry, whatever the machine");
  extractCommand->add_flag("-q,--quiet", quiet, "Print nothing but errors");
  extractCommand->add_option("--code-page", codePage, "ANSI code page of the file names (default 1252)");
  extractCommand->add_option("--max-unpacked", maxUnpacked, kMaxUnpackedHelp);

  std::string initDirectory = ".";
  CLI::App* initCommand = app.add_subcommand("init", "Write a first tailpack.toml for a product's folder");
  initCommand->add_option("directory", initDirectory, "The product's folder (default: the current one)");

  sys::UseUtf8Output();
  try {
    // CLI11 takes the arguments after the program name, last first.
    std::vector<std::string> arguments = sys::Utf8Arguments(argc, argv);
    if (!arguments.empty()) arguments.erase(arguments.begin());
    std::reverse(arguments.begin(), arguments.end());
    app.parse(arguments);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }

  try {
    if (initCommand->parsed()) {
      InitOptions init;
      init.directory = sys::PathFromUtf8(initDirectory);
      InitManifest(init, std::cout);
      return kExitOk;
    }
    if (buildCommand->parsed()) {
      build.manifest = sys::PathFromUtf8(manifest);
      if (!output.empty()) build.output = sys::PathFromUtf8(output);
      build.stub = FindStub(stub, sys::ToolDirectory());
      if (!uninstaller.empty()) build.uninstaller = sys::PathFromUtf8(uninstaller);
      build.quiet = quiet;
      build.progress = sys::ErrorStreamIsTerminal();
      build.sourceDateEpoch = SourceDateEpochFromEnvironment();
      BuildInstaller(build, std::cout, std::cerr);
      return kExitOk;
    }
    if (listCommand->parsed()) {
      ListOptions options;
      options.archMask = ParseArch(arch);
      options.osMask = ParseWindows(windows);
      options.json = json;
      options.texts = texts;
      options.codePage = ParseCodePage(codePage);
      if (!maxUnpacked.empty()) options.maxUnpacked = ParseMaxUnpacked(maxUnpacked);
      ListInstaller(sys::PathFromUtf8(installer), options, std::cout);
      return kExitOk;
    }
    if (verifyCommand->parsed()) {
      VerifyOptions options;
      options.json = json;
      options.codePage = ParseCodePage(codePage);
      if (!maxUnpacked.empty()) options.maxUnpacked = ParseMaxUnpacked(maxUnpacked);
      return VerifyInstaller(sys::PathFromUtf8(installer), options, std::cout) ? kExitOk : kExitFailed;
    }
    if (extractCommand->parsed()) {
      ExtractOptions options;
      options.directory = sys::PathFromUtf8(directory);
      options.archMask = ParseArch(arch);
      options.osMask = ParseWindows(windows);
      options.all = all;
      options.quiet = quiet;
      options.codePage = ParseCodePage(codePage);
      if (!maxUnpacked.empty()) options.maxUnpacked = ParseMaxUnpacked(maxUnpacked);
      ExtractInstaller(sys::PathFromUtf8(installer), options, std::cout, std::cerr);
      return kExitOk;
    }
  } catch (const UsageError& e) {
    std::cerr << "tailpack: " << e.what() << "\nRun with --help for more information.\n";
    return kExitUsage;
  } catch (const PositionedError& e) {
    std::cerr << e.what() << "\n";
    return kExitFailed;
  } catch (const std::exception& e) {
    std::cerr << "tailpack: error: " << e.what() << "\n";
    return kExitFailed;
  }
  return kExitUsage;
}
