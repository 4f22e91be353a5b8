#include "tool/machine_names.h"

#include "package/format.h"

namespace tailpack {
namespace {

struct NamedBit {
  const char* name;
  uint32_t bit;
  bool listed;  // shown in the list of accepted names (aliases are not)
};

const NamedBit kArchitectures[] = {
    {"x86", kArchX86, true},
    {"x64", kArchX64, true},
    {"arm64", kArchArm64, true},
    {"arm", kArchArm, true},
};

const NamedBit kWindows[] = {
    {"2000", kOsWindows2000, true}, {"xp", kOsWindowsXp, true}, {"vista", kOsWindowsVista, true},
    {"7", kOsWindows7, true},       {"8", kOsWindows8, true},   {"8.1", kOsWindows8, false},
    {"10", kOsWindows10, true},     {"11", kOsWindows10, false}, {"later", kOsLater, true},
};

template <size_t N>
std::optional<uint32_t> Find(const NamedBit (&table)[N], std::string_view name) {
  for (const NamedBit& entry : table) {
    if (name == entry.name) return entry.bit;
  }
  return std::nullopt;
}

template <size_t N>
std::string List(const NamedBit (&table)[N]) {
  std::string out;
  for (const NamedBit& entry : table) {
    if (!entry.listed) continue;
    if (!out.empty()) out += ", ";
    out += entry.name;
  }
  return out;
}

template <size_t N>
std::string Describe(const NamedBit (&table)[N], uint32_t mask, uint32_t all) {
  if ((mask & all) == 0 || (mask & all) == all) return "all";
  std::string out;
  for (const NamedBit& entry : table) {
    if (!entry.listed || (mask & entry.bit) == 0) continue;
    if (!out.empty()) out += "/";
    out += entry.name;
  }
  return out;
}

}  // namespace

std::optional<uint32_t> ArchBit(std::string_view name) { return Find(kArchitectures, name); }
std::optional<uint32_t> WindowsBit(std::string_view name) { return Find(kWindows, name); }
std::string ArchNameList() { return List(kArchitectures); }
std::string WindowsNameList() { return List(kWindows); }
std::string DescribeArchMask(uint32_t mask) { return Describe(kArchitectures, mask, kAllArchitectures); }
std::string DescribeWindowsMask(uint32_t mask) { return Describe(kWindows, mask, kAllWindows); }

uint32_t WindowsAndLater(uint32_t bit) { return kAllWindows & ~(bit - 1); }

const UiTextRole kUiTextRoles[23] = {
    {"window_title", TextArgument::kNameAndVersion, true, 260},
    {"back_button", TextArgument::kNone, false, 0},
    {"next_button", TextArgument::kNone, false, 0},
    {"install_button", TextArgument::kNone, false, 0},
    {"cancel_button", TextArgument::kNone, false, 0},
    {"license_heading", TextArgument::kNone, false, 0},
    {"license_subheading", TextArgument::kProductName, false, 256},
    {"accept_box", TextArgument::kNone, false, 0},
    {"destination_heading", TextArgument::kNone, false, 0},
    {"destination_subheading", TextArgument::kProductName, true, 256},
    {"browse_button", TextArgument::kNone, false, 0},
    {"installing_heading", TextArgument::kNone, false, 0},
    {"installing_subheading", TextArgument::kProductName, true, 256},
    {"completed_heading", TextArgument::kNone, false, 0},
    {"failed_heading", TextArgument::kNone, false, 0},
    {"finished_subheading", TextArgument::kProductName, false, 256},
    {"finish_button", TextArgument::kNone, false, 0},
    {"launch_box", TextArgument::kProductName, true, 128},
    {"browse_instruction", TextArgument::kNone, false, 0},
    {"desktop_box", TextArgument::kNone, false, 0},
    {"folder_exists_question", TextArgument::kFolderPath, true, 512},
    {"not_admin_message", TextArgument::kNone, false, 0},
    {"running_question", TextArgument::kProductName, true, 512},
};

std::optional<uint32_t> UiTextIndex(std::string_view key) {
  for (uint32_t i = 0; i < 23; ++i) {
    if (key == kUiTextRoles[i].key) return i;
  }
  return std::nullopt;
}

std::string UiTextKeyList() {
  std::string out;
  for (const UiTextRole& role : kUiTextRoles) {
    if (!out.empty()) out += ", ";
    out += role.key;
  }
  return out;
}

}  // namespace tailpack
