#include "tool/manifest.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

#include <toml++/toml.h>

#include "tool/encoding.h"
#include "tool/limits.h"
#include "tool/machine_names.h"
#include "tool/system.h"

namespace tailpack {

std::string FormatPosition(const SourcePosition& where) {
  if (where.line == 0) return where.file;
  return where.file + ":" + std::to_string(where.line) + ":" + std::to_string(where.column);
}

ManifestError::ManifestError(const SourcePosition& where, const std::string& message)
    : PositionedError(FormatPosition(where) + ": error: " + message), where(where), message(message) {}

std::optional<uint64_t> ParseByteSize(const std::string& text) {
  size_t i = 0;
  uint64_t value = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
    if (value > (uint64_t{1} << 40)) return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    ++i;
  }
  if (i == 0) return std::nullopt;
  while (i < text.size() && text[i] == ' ') ++i;
  std::string unit = text.substr(i);
  if (unit.empty() || unit == "B") return value;
  if (unit == "KiB") return value << 10;
  if (unit == "MiB") return value << 20;
  if (unit == "GiB") return value << 30;
  return std::nullopt;
}

namespace {

const char* const kSettingKeys[kSettingCount] = {
    "name",         "version",       "main_executable", "launch_target",
    "mutex_name",   "window_class",  "window_title",    "publisher",
    "default_folder", "config_command", "uninstall_arguments", "unsupported_os_link",
};

std::string TypeName(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::table: return "a table";
    case toml::node_type::array: return "an array";
    case toml::node_type::string: return "a string";
    case toml::node_type::integer: return "an integer";
    case toml::node_type::floating_point: return "a number";
    case toml::node_type::boolean: return "a boolean";
    case toml::node_type::date:
    case toml::node_type::time:
    case toml::node_type::date_time: return "a date or time";
    default: return "nothing";
  }
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Reads one TOML document; every error names a place in it.
// toml++ 3.3 reaches undefined behaviour when it asks whether U+00A1 to
// U+0499, U+2C5E to U+3057 (but U+3000) or U+FB26 to U+FEFE is a blank
// (which it does while scanning values and keys, also invalid ones). Those
// code points are moved to plane 15 (U+F0000 added) before parsing, which
// the parser treats like any other letter, and moved back in every string
// value afterwards. Columns stay right: one code point stays one.
const uint32_t kShiftedPlane = 0xF0000;

bool IsShifted(uint32_t cp) {
  return (cp >= 0xA1 && cp <= 0x499) || (cp >= 0x2C5E && cp <= 0x3057 && cp != 0x3000) ||
         (cp >= 0xFB26 && cp <= 0xFEFE);
}

// Calls `each(cp, length)` for every UTF-8 sequence of `text`, with cp 0
// for a byte that is not part of a valid sequence (length 1).
template <typename Each>
void ForEachCodePoint(const std::string& text, Each each) {
  for (size_t i = 0; i < text.size();) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    uint32_t cp = length == 1 ? lead : 0;
    if (length > 1 && i + length <= text.size()) {
      cp = lead & (0x7F >> length);
      for (size_t k = 1; k < length; ++k) {
        unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) {
          cp = 0;
          break;
        }
        cp = cp << 6 | (next & 0x3F);
      }
    }
    static const uint32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (length > 1 && (cp < kMinimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) cp = 0;
    if (length <= 1 || cp == 0) length = 1;
    each(cp, i, length);
    i += length;
  }
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// `shift` moves the unsafe code points up into plane 15, else back down.
std::string ShiftCodePoints(const std::string& text, bool shift) {
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  ForEachCodePoint(text, [&](uint32_t cp, size_t at, size_t length) {
    if (shift && IsShifted(cp)) {
      AppendUtf8(out, cp + kShiftedPlane);
    } else if (!shift && cp > kShiftedPlane && IsShifted(cp - kShiftedPlane)) {
      AppendUtf8(out, cp - kShiftedPlane);
    } else {
      out.append(text, at, length);
    }
  });
  return out;
}

// Where `text` uses the plane-15 code points the shift uses, which could
// not be told apart afterwards.
std::optional<std::pair<uint32_t, uint32_t>> FirstShiftTarget(const std::string& text) {
  uint32_t line = 1, column = 1;
  std::optional<std::pair<uint32_t, uint32_t>> found;
  ForEachCodePoint(text, [&](uint32_t cp, size_t, size_t) {
    if (found) return;
    if (cp > kShiftedPlane && IsShifted(cp - kShiftedPlane)) found = std::make_pair(line, column);
    if (cp == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  });
  return found;
}

void ShiftBack(toml::node& node) {
  if (toml::table* table = node.as_table()) {
    for (auto&& [key, value] : *table) ShiftBack(value);
  } else if (toml::array* array = node.as_array()) {
    for (toml::node& item : *array) ShiftBack(item);
  } else if (toml::value<std::string>* text = node.as_string()) {
    text->get() = ShiftCodePoints(text->get(), false);
  }
}

class Document {
 public:
  Document(std::string file, const std::string& text) : file_(std::move(file)) {
    if (auto where = FirstShiftTarget(text)) {
      throw ManifestError(SourcePosition{file_, where->first, where->second},
                          "this plane-15 private-use character is not supported in manifests");
    }
    try {
      root_ = toml::parse(ShiftCodePoints(text, true), file_);
      ShiftBack(root_);
    } catch (const toml::parse_error& error) {
      SourcePosition where{file_, error.source().begin.line, error.source().begin.column};
      throw ManifestError(where, "invalid TOML: " + ShiftCodePoints(std::string(error.description()), false));
    }
  }

  const toml::table& Root() const { return root_; }
  const std::string& File() const { return file_; }

  SourcePosition At(const toml::node& node) const { return At(node.source()); }
  SourcePosition At(const toml::source_region& region) const {
    return {file_, region.begin.line, region.begin.column};
  }
  SourcePosition Start() const { return {file_, 1, 1}; }

  [[noreturn]] void Fail(const SourcePosition& where, const std::string& message) const {
    throw ManifestError(where, message);
  }

  // Rejects keys not in `allowed`, reporting the first one in the file.
  void CheckKeys(const toml::table& table, const std::string& tableName,
                 std::initializer_list<std::string_view> allowed) const {
    const toml::key* first = nullptr;
    for (auto&& [key, node] : table) {
      (void)node;
      if (std::find(allowed.begin(), allowed.end(), key.str()) != allowed.end()) continue;
      if (first == nullptr || Before(key.source(), first->source())) first = &key;
    }
    if (first == nullptr) return;
    std::string list;
    for (std::string_view name : allowed) list += (list.empty() ? "" : ", ") + std::string(name);
    Fail(At(first->source()), "unknown key '" + std::string(first->str()) + "' in " + tableName +
                                  "; expected one of: " + list);
  }

  // The sub-table `key`, or null when absent.
  const toml::table* Table(const toml::table& parent, std::string_view key,
                           const std::string& name) const {
    const toml::node* node = parent.get(key);
    if (node == nullptr) return nullptr;
    if (!node->is_table()) Fail(At(*node), name + " must be a table, not " + TypeName(*node));
    return node->as_table();
  }

  std::optional<std::string> String(const toml::table& table, std::string_view key,
                                    const std::string& name, SourcePosition* where = nullptr) const {
    const toml::node* node = table.get(key);
    if (node == nullptr) return std::nullopt;
    if (!node->is_string()) Fail(At(*node), name + " must be a string, not " + TypeName(*node));
    if (where) *where = At(*node);
    return node->as_string()->get();
  }

  std::optional<bool> Bool(const toml::table& table, std::string_view key,
                           const std::string& name) const {
    const toml::node* node = table.get(key);
    if (node == nullptr) return std::nullopt;
    if (!node->is_boolean()) {
      Fail(At(*node), name + " must be true or false, not " + TypeName(*node));
    }
    return node->as_boolean()->get();
  }

  std::optional<int64_t> Integer(const toml::table& table, std::string_view key,
                                 const std::string& name, int64_t low, int64_t high) const {
    const toml::node* node = table.get(key);
    if (node == nullptr) return std::nullopt;
    if (!node->is_integer()) {
      Fail(At(*node), name + " must be an integer from " + std::to_string(low) + " to " +
                          std::to_string(high) + ", not " + TypeName(*node));
    }
    int64_t value = node->as_integer()->get();
    if (value < low || value > high) {
      Fail(At(*node), name + " must be from " + std::to_string(low) + " to " +
                          std::to_string(high) + ", not " + std::to_string(value));
    }
    return value;
  }

  // A UTF-16 text for the package: no NUL characters.
  std::u16string Text(const toml::node& node, const std::string& name) const {
    if (!node.is_string()) Fail(At(node), name + " must be a string, not " + TypeName(node));
    const std::string& utf8 = node.as_string()->get();
    if (utf8.find('\0') != std::string::npos) {
      Fail(At(node), name + " must not contain the character U+0000");
    }
    std::optional<std::u16string> wide = Utf8ToUtf16(utf8);
    if (!wide) Fail(At(node), name + " is not valid UTF-8");
    return *wide;
  }

  // An architecture list: "all", one name or an array of names.
  uint32_t Architectures(const toml::node& node, const std::string& name) const {
    uint32_t mask = 0;
    auto one = [&](const toml::node& item) {
      if (!item.is_string()) {
        Fail(At(item), name + " must name architectures (" + ArchNameList() + "), not " +
                           TypeName(item));
      }
      std::string value = Lower(item.as_string()->get());
      if (value == "all") {
        mask |= kAllArchitectures;
        return;
      }
      std::optional<uint32_t> bit = ArchBit(value);
      if (!bit) {
        Fail(At(item), "unknown architecture \"" + item.as_string()->get() +
                           "\"; expected one of: " + ArchNameList() + " (or \"all\")");
      }
      mask |= *bit;
    };
    ForEach(node, name, one);
    return mask == kAllArchitectures ? 0 : mask;
  }

  // A Windows version list: "all", one name, "7+" (that version and every
  // later one) or an array of these; integers are accepted for numbered
  // versions.
  uint32_t Windows(const toml::node& node, const std::string& name) const {
    uint32_t mask = 0;
    auto one = [&](const toml::node& item) {
      std::string value;
      if (item.is_integer()) {
        value = std::to_string(item.as_integer()->get());
      } else if (item.is_string()) {
        value = Lower(item.as_string()->get());
      } else {
        Fail(At(item), name + " must name Windows versions (" + WindowsNameList() + "), not " +
                           TypeName(item));
      }
      if (value == "all") {
        mask |= kAllWindows;
        return;
      }
      bool andLater = !value.empty() && value.back() == '+';
      if (andLater) value.pop_back();
      std::optional<uint32_t> bit = WindowsBit(value);
      if (!bit) {
        Fail(At(item), "unknown Windows version \"" + value + "\"; expected one of: " +
                           WindowsNameList() + ", a version followed by + (\"7+\"), or \"all\"");
      }
      mask |= andLater ? WindowsAndLater(*bit) : *bit;
    };
    ForEach(node, name, one);
    return mask == kAllWindows ? 0 : mask;
  }

 private:
  static bool Before(const toml::source_region& a, const toml::source_region& b) {
    return a.begin.line != b.begin.line ? a.begin.line < b.begin.line
                                        : a.begin.column < b.begin.column;
  }

  template <typename F>
  void ForEach(const toml::node& node, const std::string& name, F&& one) const {
    if (const toml::array* array = node.as_array()) {
      if (array->empty()) Fail(At(node), name + " must not be an empty list");
      for (const toml::node& item : *array) one(item);
    } else {
      one(node);
    }
    (void)name;
  }

  std::string file_;
  toml::table root_;
};

std::string ReadTextFile(const std::filesystem::path& path, const std::string& what) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ToolError("cannot read " + what + " " + sys::Utf8FromPath(path));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw ToolError("cannot read " + what + " " + sys::Utf8FromPath(path));
  return text.str();
}

void ReadProduct(const Document& doc, Manifest& m) {
  const toml::table* product = doc.Table(doc.Root(), "product", "[product]");
  if (product == nullptr) {
    doc.Fail(doc.Start(), "missing [product] table; expected at least: [product] name = \"...\"");
  }
  m.productWhere = doc.At(*product);
  std::initializer_list<std::string_view> keys = {
      kSettingKeys[0], kSettingKeys[1], kSettingKeys[2], kSettingKeys[3],
      kSettingKeys[4], kSettingKeys[5], kSettingKeys[6], kSettingKeys[7],
      kSettingKeys[8], kSettingKeys[9], kSettingKeys[10], kSettingKeys[11]};
  doc.CheckKeys(*product, "[product]", keys);
  for (uint32_t i = 0; i < kSettingCount; ++i) {
    const toml::node* node = product->get(kSettingKeys[i]);
    if (node == nullptr) continue;
    m.settings[i] = doc.Text(*node, std::string("product.") + kSettingKeys[i]);
    m.settingWhere[i] = doc.At(*node);
  }
  if (m.settings[kProductName].empty()) {
    SourcePosition where = m.settingWhere[kProductName].line ? m.settingWhere[kProductName]
                                                             : m.productWhere;
    doc.Fail(where, "missing ProductName; expected name = \"...\" in [product] "
                    "(the installer cannot run without it)");
  }
}

void ReadRequirements(const Document& doc, Manifest& m) {
  const toml::table* req = doc.Table(doc.Root(), "requirements", "[requirements]");
  if (req == nullptr) return;
  doc.CheckKeys(*req, "[requirements]", {"windows", "architectures"});
  if (const toml::node* node = req->get("windows")) {
    m.windows = static_cast<uint16_t>(doc.Windows(*node, "requirements.windows"));
  }
  if (const toml::node* node = req->get("architectures")) {
    m.architectures = static_cast<uint8_t>(doc.Architectures(*node, "requirements.architectures"));
  }
}

void ReadSetup(const Document& doc, Manifest& m) {
  const toml::table* setup = doc.Table(doc.Root(), "setup", "[setup]");
  if (setup == nullptr) return;
  doc.CheckKeys(*setup, "[setup]",
                {"registry_view", "info_text", "header_flags", "code_page", "output"});
  SourcePosition viewWhere;
  std::optional<std::string> view = doc.String(*setup, "registry_view", "setup.registry_view", &viewWhere);
  std::optional<bool> view64;
  if (view) {
    if (*view == "64-bit") {
      view64 = true;
    } else if (*view == "32-bit") {
      view64 = false;
    } else {
      doc.Fail(viewWhere, "unknown registry view \"" + *view + "\"; expected \"64-bit\" or \"32-bit\"");
    }
  }
  std::optional<int64_t> flags = doc.Integer(*setup, "header_flags", "setup.header_flags", 0, 255);
  if (flags) {
    m.headerFlags = static_cast<uint8_t>(*flags);
    bool flag64 = (*flags & kHeaderFlag64BitView) != 0;
    if (view64 && *view64 != flag64) {
      doc.Fail(doc.At(*setup->get("header_flags")),
               "header_flags bit 0 (" + std::to_string(flag64) + ") contradicts registry_view \"" +
                   *view + "\"; expected bit 0 = " + (*view64 ? "1" : "0") + " or no registry_view");
    }
  } else if (view64 && *view64) {
    m.headerFlags = kHeaderFlag64BitView;
  }
  if (std::optional<std::string> info = doc.String(*setup, "info_text", "setup.info_text", &m.infoTextWhere)) {
    if (info->empty()) doc.Fail(m.infoTextWhere, "setup.info_text must name a packaged file's target path");
    m.infoText = *info;
  }
  if (std::optional<int64_t> page = doc.Integer(*setup, "code_page", "setup.code_page", 1, 65535)) {
    m.codePage = static_cast<uint32_t>(*page);
    // Only ANSI code pages: ASCII-compatible, so the separators and dots the
    // installer checks are the ones Windows sees.
    bool known = IsAnsiCodePage(m.codePage);
    try {
      if (known) DecodeCodePage("\x80", m.codePage);
    } catch (const ToolError&) {
      known = false;  // iconv does not know the code page at all
    }
    if (!known) {
      doc.Fail(doc.At(*setup->get("code_page")),
               "code page " + std::to_string(m.codePage) +
                   " is not supported; expected a Windows ANSI code page: 874, 932, 936, 949, 950, 1250 to 1258, 1361 or 65001");
    }
  }
  if (std::optional<std::string> out = doc.String(*setup, "output", "setup.output")) m.output = *out;
}

}  // namespace

bool InUninstallFolder(const std::string& target) {
  std::string folder = kUninstallFolder;
  if (target.size() < folder.size() || Lower(target.substr(0, folder.size())) != folder) return false;
  return target.size() == folder.size() || target[folder.size()] == '/' || target[folder.size()] == '\\';
}

namespace {

// [uninstall]: read after [product] and the files, which it checks.
void ReadUninstall(const Document& doc, Manifest& m) {
  const toml::table* u = doc.Table(doc.Root(), "uninstall", "[uninstall]");
  if (u == nullptr) return;
  doc.CheckKeys(*u, "[uninstall]", {"generated"});
  m.uninstallWhere = doc.At(*u);
  std::optional<bool> generated = doc.Bool(*u, "generated", "uninstall.generated");
  if (!generated || !*generated) return;
  m.uninstallWhere = doc.At(*u->get("generated"));
  m.generateUninstaller = true;
  if (m.settingWhere[kUninstallArguments].line != 0) {
    doc.Fail(m.uninstallWhere, "uninstall.generated = true registers the generated uninstaller as the uninstall "
                               "command; remove product.uninstall_arguments (" +
                                   FormatPosition(m.settingWhere[kUninstallArguments]) +
                                   "), which would go to the main executable");
  }
  for (const FileRule& rule : m.files) {
    if (!InUninstallFolder(rule.target)) continue;
    doc.Fail(rule.targetWhere, "\"" + rule.target + "\" is inside the folder " + kUninstallFolder +
                                   "\\, which holds the generated uninstaller and its records; choose another target");
  }
}

void ReadCompression(const Document& doc, Manifest& m) {
  const toml::table* c = doc.Table(doc.Root(), "compression", "[compression]");
  if (c == nullptr) return;
  doc.CheckKeys(*c, "[compression]", {"preset", "extreme", "dictionary", "lc", "lp", "pb", "end_marker", "order"});
  LzmaSettings& s = m.compression;
  SourcePosition orderWhere;
  if (std::optional<std::string> order = doc.String(*c, "order", "compression.order", &orderWhere)) {
    if (*order == "entries") {
      m.dataOrder = Manifest::DataOrder::kEntries;
    } else if (*order == "extension") {
      m.dataOrder = Manifest::DataOrder::kExtension;
    } else {
      doc.Fail(orderWhere, "compression.order must be \"entries\" or \"extension\", not \"" + *order + "\"");
    }
  }
  if (auto v = doc.Integer(*c, "preset", "compression.preset", 0, 9)) s.preset = static_cast<uint32_t>(*v);
  if (auto v = doc.Bool(*c, "extreme", "compression.extreme")) s.extreme = *v;
  if (auto v = doc.Bool(*c, "end_marker", "compression.end_marker")) s.endMarker = *v;
  if (auto v = doc.Integer(*c, "lc", "compression.lc", 0, 4)) s.lc = static_cast<uint32_t>(*v);
  if (auto v = doc.Integer(*c, "lp", "compression.lp", 0, 4)) s.lp = static_cast<uint32_t>(*v);
  if (auto v = doc.Integer(*c, "pb", "compression.pb", 0, 4)) s.pb = static_cast<uint32_t>(*v);
  if (s.lc + s.lp > 4) {
    const toml::node* node = c->get("lc") ? c->get("lc") : c->get("lp");
    doc.Fail(doc.At(*node), "compression.lc + compression.lp must be at most 4, not " +
                                std::to_string(s.lc + s.lp));
  }
  if (const toml::node* node = c->get("dictionary")) {
    std::optional<uint64_t> size;
    if (node->is_integer() && node->as_integer()->get() >= 0) {
      size = static_cast<uint64_t>(node->as_integer()->get());
    } else if (node->is_string()) {
      size = ParseByteSize(node->as_string()->get());
    }
    const uint64_t kMin = 4096, kMax = uint64_t{1536} << 20;
    if (!size || *size < kMin || *size > kMax) {
      doc.Fail(doc.At(*node), "compression.dictionary must be a size from 4 KiB to 1536 MiB, "
                              "written as bytes or as \"8 MiB\", \"512 KiB\", \"1 GiB\"");
    }
    s.dictionarySize = static_cast<uint32_t>(*size);
  }
}

void ReadFileRule(const Document& doc, const toml::node& node, bool directory, Manifest& m) {
  std::string kind = directory ? "[[directories]]" : "[[files]]";
  if (!node.is_table()) doc.Fail(doc.At(node), kind + " items must be tables, not " + TypeName(node));
  const toml::table& t = *node.as_table();
  FileRule rule;
  rule.directory = directory;
  rule.where = doc.At(t);
  if (directory) {
    doc.CheckKeys(t, kind, {"path", "architectures", "windows"});
    std::optional<std::string> path = doc.String(t, "path", "directories.path", &rule.sourceWhere);
    if (!path || path->empty()) {
      doc.Fail(rule.where, "a [[directories]] item needs path = \"folder\\\\inside\\\\the\\\\install\\\\folder\"");
    }
    rule.target = *path;
    rule.targetWhere = rule.sourceWhere;
  } else {
    doc.CheckKeys(t, kind, {"source", "target", "architectures", "windows", "replace_in_use", "install"});
    std::optional<std::string> source = doc.String(t, "source", "files.source", &rule.sourceWhere);
    if (!source || source->empty()) {
      doc.Fail(rule.where, "a [[files]] item needs source = \"path or glob relative to the manifest\"");
    }
    rule.source = *source;
    rule.targetWhere = rule.where;
    if (auto target = doc.String(t, "target", "files.target", &rule.targetWhere)) {
      if (target->empty()) doc.Fail(rule.targetWhere, "files.target must not be empty; omit it for the default");
      rule.target = *target;
    }
    if (auto v = doc.Bool(t, "replace_in_use", "files.replace_in_use")) rule.replaceInUse = *v;
    if (auto v = doc.Bool(t, "install", "files.install")) rule.install = *v;
  }
  if (const toml::node* a = t.get("architectures")) rule.architectures = doc.Architectures(*a, "architectures");
  if (const toml::node* w = t.get("windows")) rule.windows = doc.Windows(*w, "windows");
  m.files.push_back(rule);
}

void ReadFiles(const Document& doc, Manifest& m) {
  // [[files]] and [[directories]] keep their relative order in the file.
  std::vector<std::pair<const toml::node*, bool>> items;
  for (auto [key, directory] : {std::pair<const char*, bool>{"files", false}, {"directories", true}}) {
    const toml::node* node = doc.Root().get(key);
    if (node == nullptr) continue;
    if (!node->is_array()) {
      doc.Fail(doc.At(*node), std::string(key) + " must be written as [[" + key + "]] tables");
    }
    for (const toml::node& item : *node->as_array()) items.emplace_back(&item, directory);
  }
  std::stable_sort(items.begin(), items.end(), [](const auto& a, const auto& b) {
    const auto& ra = a.first->source().begin;
    const auto& rb = b.first->source().begin;
    return ra.line != rb.line ? ra.line < rb.line : ra.column < rb.column;
  });
  for (const auto& [node, directory] : items) ReadFileRule(doc, *node, directory, m);
}

struct LanguagePool {
  std::vector<Language> languages;
  // Per language code: text index -> where it was set.
  std::map<std::string, std::map<uint32_t, SourcePosition>> origins;

  Language* Find(const std::string& code) {
    for (Language& l : languages) {
      if (Lower(l.code) == Lower(code)) return &l;
    }
    return nullptr;
  }
};

// Reads the texts of a table into `language`: the 23 UI texts and the
// uninstaller's three (kept in `origins` as kUiTextCount + their index).
// `complete` demands all 23 UI texts; the uninstaller's come from the base
// language, else from English.
void ReadTexts(const Document& doc, const toml::table& table, const std::string& name, Language& language,
               std::map<uint32_t, SourcePosition>& origins, bool complete) {
  std::set<uint32_t> seen;
  for (auto&& [key, node] : table) {
    std::string textName = name + "." + std::string(key.str());
    if (std::optional<uint32_t> uninstall = UninstallerTextIndex(key.str())) {
      std::u16string text = doc.Text(node, textName);
      // The uninstaller formats each with the product name alone.
      FormatScan scan = ScanUiFormat(text);
      if (!scan.badConversion.empty()) {
        doc.Fail(doc.At(node), textName + " contains \"" + scan.badConversion +
                                   "\"; its only conversion is %s, and a percent sign is written %%");
      }
      if (scan.stringConversions > 1) {
        doc.Fail(doc.At(node), textName + " has " + std::to_string(scan.stringConversions) +
                                   " \"%s\"; expected at most one, which receives the product name");
      }
      language.uninstall[*uninstall] = text;
      origins[kUiTextCount + *uninstall] = doc.At(node);
      continue;
    }
    std::optional<uint32_t> index = UiTextIndex(key.str());
    if (!index) {
      std::string keys = UiTextKeyList();
      for (const char* extra : kUninstallerTextKeys) keys += std::string(", ") + extra;
      doc.Fail(doc.At(key.source()), "unknown text '" + std::string(key.str()) + "' in " + name +
                                         "; expected one of: " + keys);
    }
    language.texts.texts[*index] = doc.Text(node, textName);
    origins[*index] = doc.At(node);
    seen.insert(*index);
  }
  if (complete && seen.size() != kUiTextCount) {
    std::string missing;
    for (uint32_t i = 0; i < kUiTextCount; ++i) {
      if (!seen.count(i)) missing += (missing.empty() ? "" : ", ") + std::string(kUiTextRoles[i].key);
    }
    doc.Fail(doc.At(table), name + " lacks texts: " + missing +
                                "; give all 23 texts or name a language to start from with base = \"en\"");
  }
}

void ReadLanguageFile(const Document& doc, LanguagePool& pool) {
  doc.CheckKeys(doc.Root(), "a language file", {"language"});
  const toml::node* list = doc.Root().get("language");
  if (list == nullptr || !list->is_array_of_tables()) {
    doc.Fail(list ? doc.At(*list) : doc.Start(),
             "a language file holds [[language]] tables with code, langid, name and [language.texts]");
  }
  for (const toml::node& node : *list->as_array()) {
    const toml::table& t = *node.as_table();
    doc.CheckKeys(t, "[[language]]", {"code", "langid", "name", "base", "texts"});
    SourcePosition codeWhere;
    std::optional<std::string> code = doc.String(t, "code", "language.code", &codeWhere);
    if (!code || code->empty()) doc.Fail(doc.At(t), "a [[language]] needs code = \"xx\" (its name in languages.use)");
    std::optional<int64_t> langId = doc.Integer(t, "langid", "language.langid", 1, 0xFFFF);
    if (!langId) doc.Fail(doc.At(t), "language " + *code + " needs langid = 0x0425 (its Windows LANGID)");
    const toml::node* nameNode = t.get("name");
    if (nameNode == nullptr) doc.Fail(doc.At(t), "language " + *code + " needs name = \"...\" (its own name)");
    Language language;
    language.code = *code;
    language.texts.langId = static_cast<uint16_t>(*langId);
    language.texts.name = doc.Text(*nameNode, "language.name");
    SourcePosition baseWhere;
    std::optional<std::string> base = doc.String(t, "base", "language.base", &baseWhere);
    std::map<uint32_t, SourcePosition> origins;
    language.uninstall = DefaultLanguages()[0].uninstall;
    if (base) {
      Language* from = pool.Find(*base);
      if (from == nullptr) doc.Fail(baseWhere, "unknown base language \"" + *base + "\"");
      language.texts.texts = from->texts.texts;
      language.uninstall = from->uninstall;
      origins = pool.origins[Lower(from->code)];
    }
    const toml::table* texts = doc.Table(t, "texts", "language.texts");
    if (texts == nullptr && !base) {
      doc.Fail(doc.At(t), "language " + *code + " needs its 23 texts in [language.texts] or a base language");
    }
    if (texts) ReadTexts(doc, *texts, "language " + *code, language, origins, !base);
    pool.origins[Lower(*code)] = origins;
    if (Language* existing = pool.Find(*code)) {
      *existing = language;
    } else {
      pool.languages.push_back(language);
    }
  }
}

void ReadLanguages(const Document& doc, const std::filesystem::path& directory, Manifest& m) {
  LanguagePool pool;
  pool.languages = DefaultLanguages();
  const toml::table* section = doc.Table(doc.Root(), "languages", "[languages]");
  m.languagesWhere = section ? doc.At(*section) : doc.Start();
  if (section) doc.CheckKeys(*section, "[languages]", {"use", "fallback", "files", "texts"});

  if (const toml::node* files = section ? section->get("files") : nullptr) {
    if (!files->is_array()) doc.Fail(doc.At(*files), "languages.files must be a list of file paths");
    for (const toml::node& item : *files->as_array()) {
      if (!item.is_string()) doc.Fail(doc.At(item), "languages.files must list file paths as strings");
      std::filesystem::path path = directory / sys::PathFromUtf8(item.as_string()->get());
      std::string text;
      try {
        text = ReadTextFile(path, "language file");
      } catch (const ToolError& e) {
        doc.Fail(doc.At(item), e.what());
      }
      Document languageDoc(sys::Utf8FromPath(path), text);
      ReadLanguageFile(languageDoc, pool);
    }
  }

  // Selection and order.
  std::vector<Language> chosen;
  if (const toml::node* use = section ? section->get("use") : nullptr) {
    if (!use->is_array() || use->as_array()->empty()) {
      doc.Fail(doc.At(*use), "languages.use must be a non-empty list of language codes such as [\"en\", \"de\"]");
    }
    for (const toml::node& item : *use->as_array()) {
      Language* found = nullptr;
      if (item.is_string()) {
        found = pool.Find(item.as_string()->get());
      } else if (item.is_integer()) {
        for (Language& l : pool.languages) {
          if (l.texts.langId == item.as_integer()->get()) found = &l;
        }
      } else {
        doc.Fail(doc.At(item), "languages.use lists language codes (strings) or LANGIDs, not " + TypeName(item));
      }
      if (found == nullptr) {
        std::string codes;
        for (const Language& l : pool.languages) codes += (codes.empty() ? "" : ", ") + l.code;
        doc.Fail(doc.At(item), "unknown language; expected one of: " + codes);
      }
      for (const Language& l : chosen) {
        if (l.code == found->code) doc.Fail(doc.At(item), "language " + found->code + " is listed twice");
      }
      chosen.push_back(*found);
    }
  } else {
    chosen = pool.languages;
  }

  SourcePosition fallbackWhere;
  if (auto fallback = section ? doc.String(*section, "fallback", "languages.fallback", &fallbackWhere)
                              : std::nullopt) {
    auto it = std::find_if(chosen.begin(), chosen.end(),
                           [&](const Language& l) { return Lower(l.code) == Lower(*fallback); });
    if (it == chosen.end()) {
      doc.Fail(fallbackWhere, "the fallback language \"" + *fallback + "\" is not among the languages used");
    }
    std::rotate(chosen.begin(), it, it + 1);
  }
  if (chosen.size() > 255) doc.Fail(m.languagesWhere, "a package holds at most 255 languages");
  for (size_t i = 0; i < chosen.size(); ++i) {
    for (size_t k = 0; k < i; ++k) {
      if (chosen[k].texts.langId == chosen[i].texts.langId) {
        char id[8];
        snprintf(id, sizeof id, "0x%04X", chosen[i].texts.langId);
        doc.Fail(m.languagesWhere, "languages " + chosen[k].code + " and " + chosen[i].code +
                                       " share the LANGID " + id + "; the second could never be chosen");
      }
    }
  }
  m.languages = chosen;
  for (uint32_t i = 0; i < m.languages.size(); ++i) {
    for (const auto& [text, where] : pool.origins[Lower(m.languages[i].code)]) {
      m.textWhere[{i, text}] = where;
    }
  }

  // Overrides: [languages.texts.<code>].
  if (const toml::table* overrides = section ? doc.Table(*section, "texts", "languages.texts") : nullptr) {
    for (auto&& [code, node] : *overrides) {
      std::string name = "languages.texts." + std::string(code.str());
      if (!node.is_table()) doc.Fail(doc.At(node), name + " must be a table of texts");
      uint32_t index = 0;
      for (; index < m.languages.size(); ++index) {
        if (Lower(m.languages[index].code) == Lower(std::string(code.str()))) break;
      }
      if (index == m.languages.size()) {
        doc.Fail(doc.At(code.source()), "language \"" + std::string(code.str()) +
                                            "\" is not among the languages used; add it to languages.use");
      }
      std::map<uint32_t, SourcePosition> origins;
      ReadTexts(doc, *node.as_table(), name, m.languages[index], origins, false);
      for (const auto& [text, where] : origins) m.textWhere[{index, text}] = where;
    }
  }
}

}  // namespace

Manifest ParseManifest(const std::string& text, const std::string& displayName,
                       const std::filesystem::path& directory) {
  Document doc(displayName, text);
  doc.CheckKeys(doc.Root(), "the manifest",
                {"product", "requirements", "setup", "compression", "languages", "files", "directories",
                 "uninstall"});
  Manifest m;
  m.file = displayName;
  m.directory = directory;
  ReadProduct(doc, m);
  ReadRequirements(doc, m);
  ReadSetup(doc, m);
  ReadCompression(doc, m);
  ReadLanguages(doc, directory, m);
  ReadFiles(doc, m);
  ReadUninstall(doc, m);
  return m;
}

Manifest LoadManifest(const std::filesystem::path& file) {
  std::string text = ReadTextFile(file, "manifest");
  std::filesystem::path directory = file.parent_path();
  if (directory.empty()) directory = ".";
  return ParseManifest(text, sys::Utf8FromPath(file), directory);
}

}  // namespace tailpack
