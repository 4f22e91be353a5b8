// Readable names of the processor architectures and Windows versions that a
// package can be limited to, and of the 23 UI text roles.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tailpack {

// ArchMask bit of "x86", "x64", "arm64", "arm"; nullopt for other names.
std::optional<uint32_t> ArchBit(std::string_view name);
// OsMask bit of "2000", "xp", "vista", "7", "8" (also "8.1"), "10" (also
// "11"), "later"; nullopt for other names.
std::optional<uint32_t> WindowsBit(std::string_view name);

// The accepted names, for error messages: "x86, x64, arm64, arm".
std::string ArchNameList();
std::string WindowsNameList();

// "x86/x64" for mask 3, "all" for the full or the empty mask.
std::string DescribeArchMask(uint32_t mask);
// "7/8/10/later" for mask 0x78; "all" for 0 or 0x7F.
std::string DescribeWindowsMask(uint32_t mask);

// All OsMask bits from `bit` upward: "7+" means Windows 7 and every later one.
uint32_t WindowsAndLater(uint32_t bit);

const uint32_t kAllArchitectures = 0xF;
const uint32_t kAllWindows = 0x7F;

// What a formatted UI text receives as its one argument.
enum class TextArgument {
  kNone,            // shown as it is
  kProductName,
  kNameAndVersion,  // ProductName, a blank, ProductVersion
  kFolderPath,      // the destination folder (up to 260 units)
};

struct UiTextRole {
  const char* key;          // manifest key, e.g. "installing_subheading"
  TextArgument argument;
  bool requiresArgument;    // exactly one %s (else at most one)
  uint32_t buffer;          // units, terminator included; 0 when not formatted
};

// Indexed by UiText (0 to 22).
extern const UiTextRole kUiTextRoles[23];

// Index of a role key; nullopt for an unknown key.
std::optional<uint32_t> UiTextIndex(std::string_view key);
std::string UiTextKeyList();

}  // namespace tailpack
