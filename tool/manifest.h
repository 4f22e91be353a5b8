// The build manifest: a TOML file that names the product's settings, the
// machines it supports, the interface languages and the files to package.
// Reading it checks every key and value; errors carry file, line and column.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "package/writer.h"
#include "tool/errors.h"
#include "tool/languages.h"

namespace tailpack {

// One [[files]] or [[directories]] item.
struct FileRule {
  std::string source;       // path or glob relative to the manifest ([[files]] only)
  std::string target;       // path inside the install folder; "" = default
  bool directory = false;   // a [[directories]] item: listed only, no data
  uint32_t architectures = 0;  // ArchMask bits; 0 = every architecture
  uint32_t windows = 0;        // OsMask bits; 0 = every version
  bool replaceInUse = false;
  bool install = true;      // false: carried (e.g. as the info text) but never written
  SourcePosition where;         // the item
  SourcePosition sourceWhere;   // its source (or path) value
  SourcePosition targetWhere;   // its target value, or the item
};

struct Manifest {
  std::filesystem::path file;       // as given on the command line
  std::filesystem::path directory;  // sources are relative to it

  std::array<std::u16string, kSettingCount> settings;  // "" = absent
  std::array<SourcePosition, kSettingCount> settingWhere;  // line 0 = not given
  SourcePosition productWhere;      // the [product] table (or the file start)

  uint16_t windows = 0;             // OsMask of the supported versions; 0 = all
  uint8_t architectures = 0;        // ArchMask of the supported machines; 0 = all
  uint8_t headerFlags = 0;
  std::string infoText;             // target path of the info-text entry; "" = none
  SourcePosition infoTextWhere;
  uint32_t codePage = 1252;         // ANSI code page of the stored file names
  std::string output;               // default output, relative to the manifest
  LzmaSettings compression;
  // The order of the file data in the block: the entries' order (files of
  // one folder together) or grouped by file extension.
  enum class DataOrder { kEntries, kExtension } dataOrder = DataOrder::kEntries;

  std::vector<Language> languages;  // in package order; the first is the fallback
  // Where a text of languages[i] was set: (i, text index) -> position, the
  // uninstaller's texts at kUiTextCount + their index. Texts not in the map
  // are the tool's built-in ones.
  std::map<std::pair<uint32_t, uint32_t>, SourcePosition> textWhere;
  SourcePosition languagesWhere;

  std::vector<FileRule> files;      // [[files]] and [[directories]] in file order

  // [uninstall] generated = true: the package also installs the generated
  // uninstaller and its record under kUninstallFolder.
  bool generateUninstaller = false;
  SourcePosition uninstallWhere;    // the generated value (or the table); line 0 = no table
};

// True when a target path ("/" or "\" separated) is the uninstall folder
// or lies inside it, in any case.
bool InUninstallFolder(const std::string& target);

// Reads and checks a manifest file. Throws ManifestError (bad TOML, unknown
// key, wrong type or value), ToolError (file unreadable).
Manifest LoadManifest(const std::filesystem::path& file);

// The same for manifest text already in memory; `displayName` is used in
// messages and `directory` resolves language files.
Manifest ParseManifest(const std::string& text, const std::string& displayName,
                       const std::filesystem::path& directory);

// "8 MiB", "512 KiB", "1 GiB" or a plain byte count; nullopt when malformed.
std::optional<uint64_t> ParseByteSize(const std::string& text);

}  // namespace tailpack
