// The limits a package must respect for the installer to run it as intended:
// what the loader rejects, and every setting and text that is formatted into
// a fixed buffer of the installer. Used by `build` (as refusals) and by
// `verify` (as notes about an existing package).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "package/writer.h"

namespace tailpack {

// Buffer sizes of the installer, in UTF-16 units with the terminator.
const uint32_t kPathUnits = 260;
const uint32_t kNameAndVersionUnits = 128;
const uint32_t kCommandLineUnits = 268;
const uint32_t kLaunchTextUnits = 388;
const uint32_t kMaxProductName = 75;      // 52 key characters + name + NUL in 128 bytes
const uint32_t kMaxProductVersion = 31;   // read back into a 32-unit buffer on update
// The shortest install folder ("C:\"): what a path can be at the least.
const uint32_t kShortestFolderUnits = 3;
const uint64_t kMaxUnpackedSize = 0xFFFFFFFFull;  // the block must stay below 4 GiB

struct LimitProblem {
  enum class Subject { kPackage, kSetting, kText, kFile };
  Subject subject = Subject::kPackage;
  uint32_t index = 0;     // setting index, text index or file index
  uint32_t language = 0;  // language index for kText
  std::string message;
};

// Result of scanning a UI text as a wsprintfW format.
struct FormatScan {
  uint32_t stringConversions = 0;  // "%s"
  std::string badConversion;       // the first other conversion, e.g. "%d" or a lone "%"
  uint32_t fixedLength = 0;        // units of the result without the arguments
};
FormatScan ScanUiFormat(const std::u16string& text);

// Length of a ConfigCommand once formatted with the longest window handle and
// the longest previous version; nullopt with `problem` set when the format
// takes other arguments than an unsigned number followed by a text.
std::optional<uint32_t> ConfigCommandLength(const std::u16string& format, std::string* problem);

// Why a relative file name cannot be installed, or nullopt when it can.
// `name` is UTF-8 with "\" separators; `listedOnly` allows the wildcard
// label of a directory entry.
std::optional<std::string> CheckEntryName(const std::string& name, bool listedOnly);

// Every limit of a package. `utf8Names` are the entries' names in UTF-8 (the
// stored names are in the ANSI code page); empty to use the stored bytes.
std::vector<LimitProblem> CheckLimits(const PackageContents& contents,
                                      const std::vector<std::string>& utf8Names = {});

// Size of the block BuildBlock would lay out, without building it.
uint64_t UnpackedSize(const PackageContents& contents);

}  // namespace tailpack
