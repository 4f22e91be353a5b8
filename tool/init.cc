#include "tool/init.h"

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tool/encoding.h"
#include "tool/errors.h"
#include "tool/limits.h"
#include "tool/system.h"

namespace fs = std::filesystem;

namespace tailpack {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// A TOML basic string.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// The product name from the folder's: what the installer can use as
// ProductName (Latin-1, at most kMaxProductName characters, no "\").
std::string ProductNameFor(const fs::path& folder) {
  std::string name = sys::Utf8FromPath(fs::absolute(folder).lexically_normal().filename());
  if (name.empty()) name = sys::Utf8FromPath(fs::absolute(folder).lexically_normal().parent_path().filename());
  std::optional<std::u16string> wide = Utf8ToUtf16(name);
  std::u16string kept;
  if (wide) {
    for (char16_t unit : *wide) {
      if (kept.size() == kMaxProductName) break;
      kept += unit >= 0x20 && unit <= 0xFF && unit != u'\\' && unit != 0x7F ? unit : u'_';
    }
  }
  while (!kept.empty() && kept.back() == u' ') kept.pop_back();
  return kept.empty() ? "Product" : Utf16ToUtf8(kept);
}

bool IsLicenceName(const std::string& name) {
  std::string lower = Lower(name);
  for (const char* base : {"license", "licence", "copying"}) {
    for (const char* extension : {"", ".txt", ".md", ".rtf"}) {
      if (lower == std::string(base) + extension) return true;
    }
  }
  return false;
}

bool HasFiles(const fs::path& directory) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(directory, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_regular_file(ec)) return true;
  }
  return false;
}

struct Entry {
  std::string name;
  bool directory = false;
};

}  // namespace

fs::path InitManifest(const InitOptions& options, std::ostream& out) {
  const fs::path& folder = options.directory;
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) throw ToolError(sys::Utf8FromPath(folder) + " is not a folder");
  fs::path manifest = folder / kManifestName;

  // Every file and folder at the top, sorted; dot files (version control,
  // editor state) and the manifest stay out.
  std::vector<Entry> entries;
  std::vector<std::string> skipped;
  for (const fs::directory_entry& item : fs::directory_iterator(folder)) {
    std::string name = sys::Utf8FromPath(item.path().filename());
    if (name.empty() || name[0] == '.' || name == kManifestName) continue;
    bool directory = item.is_directory(ec);
    if (!directory && !item.is_regular_file(ec)) continue;
    if (std::optional<std::string> problem = CheckEntryName(name, false)) {
      skipped.push_back(name + ": " + *problem);
      continue;
    }
    if (directory && !HasFiles(item.path())) {
      skipped.push_back(name + ": a folder without files");
      continue;
    }
    entries.push_back({name, directory});
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });

  std::vector<std::string> programs;
  std::string licence;
  for (const Entry& e : entries) {
    if (e.directory) continue;
    if (Lower(sys::Utf8FromPath(sys::PathFromUtf8(e.name).extension())) == ".exe") programs.push_back(e.name);
    if (licence.empty() && IsLicenceName(e.name)) licence = e.name;
  }
  std::string product = ProductNameFor(folder);

  std::ostringstream text;
  text << "# The installer of " << product << ", written by `tailpack init`. Every key is\n"
       << "# described in docs/manifest.md and in tailpack(1). Build it with\n"
       << "#   tailpack build " << Quoted(sys::Utf8FromPath(manifest)) << "\n"
       << "\n[product]\n"
       << "name = " << Quoted(product) << "\n"
       << "version = \"1.0\"\n"
       << "# publisher = \"Your company\"        # shown in the list of installed programs\n";
  // The build refuses a main executable the package does not install, so
  // with several programs the line stays commented until one is chosen.
  std::string programList;
  for (const std::string& program : programs) programList += (programList.empty() ? "" : ", ") + Quoted(program);
  if (programs.size() == 1) {
    text << "main_executable = " << Quoted(programs[0]) << "  # what the shortcuts start\n";
  } else if (programs.size() > 1) {
    text << "# main_executable = " << Quoted(programs[0]) << "  # what the shortcuts start: set it to one of\n"
         << "#   " << programList << "\n";
  } else {
    text << "# main_executable = \"program.exe\"  # what the shortcuts start (default: <name>.exe);\n"
         << "#                                   no .exe at the top of the folder\n";
  }
  text << "# uninstall_arguments = \"/uninstall\" # for a product that brings its own uninstaller:\n"
       << "#                                   how its main executable removes it (then drop\n"
       << "#                                   [uninstall] below)\n"
       << "\n[setup]\n"
       << "output = " << Quoted("../" + product + "-setup.exe") << "  # next to the product's folder\n"
       << "# registry_view = \"64-bit\"          # for a 64-bit product\n";
  if (!licence.empty()) {
    text << "info_text = " << Quoted(licence) << "  # shown on the wizard's first page\n";
  } else {
    text << "# info_text = \"LICENSE.txt\"        # a packaged file shown on the wizard's first page\n";
  }
  // The generated uninstaller owns the folder uninstall\; a product with a
  // folder of that name keeps it and leaves the uninstaller out.
  bool ownUninstallFolder = std::any_of(entries.begin(), entries.end(),
                                        [](const Entry& e) { return Lower(e.name) == "uninstall"; });
  text << "\n# tailpack's uninstaller, installed in uninstall\\ and registered as the\n"
       << "# product's uninstall command.\n"
       << "[uninstall]\n"
       << (ownUninstallFolder ? "# generated = true  # not with the product's own folder uninstall\\\n"
                              : "generated = true\n");
  text << "\n# Every file and folder here (but dot files and this manifest), installed\n"
       << "# under the same path in the install folder.\n";
  for (const Entry& e : entries) {
    text << "\n[[files]]\nsource = " << Quoted(e.name) << "\n";
  }
  for (const std::string& reason : skipped) text << "\n# Left out: " << reason << "\n";
  if (entries.empty()) throw ToolError(sys::Utf8FromPath(folder) + " holds no file to install");

  // Created exclusively: an existing manifest, or a link planted in its
  // place, is never written through.
  sys::WriteNewFile(manifest, text.str());
  out << "wrote " << sys::Utf8FromPath(manifest) << ": " << product << ", " << entries.size() << " item"
      << (entries.size() == 1 ? "" : "s") << (programs.size() == 1 ? ", main executable " + programs[0] : "")
      << (licence.empty() ? "" : ", licence " + licence) << "\n";
  if (programs.size() != 1) {
    out << "before building, set main_executable in [product] to "
        << (programs.empty() ? "the program the shortcuts start" : "one of " + programList) << "\n";
  }
  return manifest;
}

}  // namespace tailpack
