#include "tool/sources.h"

#include <algorithm>
#include <system_error>

#include "tool/errors.h"
#include "tool/system.h"

namespace fs = std::filesystem;

namespace tailpack {

bool HasWildcards(std::string_view pattern) {
  return pattern.find_first_of("*?[") != std::string_view::npos;
}

bool MatchComponent(std::string_view p, std::string_view n) {
  // Iterative matcher with backtracking to the last "*".
  size_t pi = 0, ni = 0, starP = std::string_view::npos, starN = 0;
  while (ni < n.size()) {
    if (pi < p.size() && p[pi] == '*') {
      starP = pi++;
      starN = ni;
      continue;
    }
    if (pi < p.size()) {
      if (p[pi] == '?') {
        ++pi, ++ni;
        continue;
      }
      if (p[pi] == '[') {
        size_t close = p.find(']', pi + 2);
        if (close != std::string_view::npos) {
          std::string_view set = p.substr(pi + 1, close - pi - 1);
          bool negate = !set.empty() && (set[0] == '!' || set[0] == '^');
          if (negate) set.remove_prefix(1);
          bool found = false;
          for (size_t k = 0; k < set.size(); ++k) {
            if (k + 2 < set.size() && set[k + 1] == '-') {
              found = found || (n[ni] >= set[k] && n[ni] <= set[k + 2]);
              k += 2;
            } else {
              found = found || n[ni] == set[k];
            }
          }
          if (found != negate) {
            pi = close + 1, ++ni;
            continue;
          }
        } else if (n[ni] == '[') {
          ++pi, ++ni;
          continue;
        }
      } else if (p[pi] == n[ni]) {
        ++pi, ++ni;
        continue;
      }
    }
    if (starP == std::string_view::npos) return false;
    pi = starP + 1;
    ni = ++starN;
  }
  while (pi < p.size() && p[pi] == '*') ++pi;
  return pi == p.size();
}

namespace {

std::vector<std::string> Split(const std::string& pattern) {
  std::vector<std::string> parts;
  std::string current;
  for (char c : pattern) {
    if (c == '/' || c == '\\') {
      if (!current.empty()) parts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) parts.push_back(current);
  return parts;
}

bool IsRegularFile(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);  // follows symbolic links
}

bool IsDirectory(const fs::path& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

std::vector<fs::directory_entry> List(const fs::path& directory) {
  std::error_code ec;
  std::vector<fs::directory_entry> entries;
  fs::directory_iterator it(directory, ec);
  if (ec) throw ToolError("cannot read the directory " + sys::Utf8FromPath(directory) + ": " + ec.message());
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) throw ToolError("cannot read the directory " + sys::Utf8FromPath(directory) + ": " + ec.message());
    entries.push_back(*it);
  }
  return entries;
}

void Walk(const fs::path& directory, const std::string& relative, const std::vector<std::string>& parts,
          size_t index, std::vector<SourceFile>& out) {
  if (index == parts.size()) return;
  const std::string& part = parts[index];
  bool last = index + 1 == parts.size();
  auto join = [&](const std::string& name) { return relative.empty() ? name : relative + "/" + name; };
  if (part == "**") {
    // Zero levels: the rest of the pattern right here.
    Walk(directory, relative, parts, index + 1, out);
    if (last) {
      // A trailing "**" takes every file below.
      for (const fs::directory_entry& e : List(directory)) {
        std::string name = sys::Utf8FromPath(e.path().filename());
        if (IsRegularFile(e.path())) out.push_back({e.path(), join(name)});
      }
    }
    for (const fs::directory_entry& e : List(directory)) {
      std::error_code ec;
      if (e.is_symlink(ec) || !e.is_directory(ec)) continue;  // no loops through links
      Walk(e.path(), join(sys::Utf8FromPath(e.path().filename())), parts, index, out);
    }
    return;
  }
  if (!HasWildcards(part)) {
    fs::path next = directory / part;
    if (last) {
      if (IsRegularFile(next)) out.push_back({next, join(part)});
    } else if (IsDirectory(next)) {
      Walk(next, join(part), parts, index + 1, out);
    }
    return;
  }
  for (const fs::directory_entry& e : List(directory)) {
    std::string name = sys::Utf8FromPath(e.path().filename());
    if (!MatchComponent(part, name)) continue;
    if (last) {
      if (IsRegularFile(e.path())) out.push_back({e.path(), join(name)});
    } else if (IsDirectory(e.path())) {
      Walk(e.path(), join(name), parts, index + 1, out);
    }
  }
}

}  // namespace

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// The path of the pattern's first `fixed` components, below `base` unless
// the pattern has a root: "/" (or "\\"), a drive ("C:\\") or a share
// ("\\\\server\\share"), the last two where the system has them.
fs::path FixedStart(const fs::path& base, const std::string& pattern, const std::vector<std::string>& parts,
                    size_t fixed) {
  fs::path start = base;
  size_t first = 0;
  if (pattern.size() >= 2 && IsSeparator(pattern[0]) && IsSeparator(pattern[1]) && fixed >= 2) {
    start = sys::PathFromUtf8("//" + parts[0] + "/" + parts[1] + "/");
    first = 2;
  } else if (!pattern.empty() && IsSeparator(pattern[0])) {
    start = fs::path("/");
  } else if (fixed >= 1 && sys::PathFromUtf8(parts[0] + "/").has_root_name()) {
    start = sys::PathFromUtf8(parts[0] + "/");
    first = 1;
  }
  for (size_t i = first; i < fixed; ++i) start /= sys::PathFromUtf8(parts[i]);
  return start;
}

size_t FixedCount(const std::vector<std::string>& parts) {
  size_t fixed = 0;
  while (fixed < parts.size() && !HasWildcards(parts[fixed])) ++fixed;
  return fixed;
}

}  // namespace

std::filesystem::path FixedSourcePath(const fs::path& base, const std::string& pattern) {
  std::vector<std::string> parts = Split(pattern);
  return FixedStart(base, pattern, parts, FixedCount(parts));
}

std::vector<SourceFile> ExpandSource(const fs::path& base, const std::string& pattern) {
  std::vector<std::string> parts = Split(pattern);
  size_t fixed = FixedCount(parts);
  fs::path start = FixedStart(base, pattern, parts, fixed);

  std::vector<SourceFile> out;
  if (fixed == parts.size()) {
    if (IsRegularFile(start)) {
      out.push_back({start, parts.empty() ? sys::Utf8FromPath(start.filename()) : parts.back()});
    } else if (IsDirectory(start)) {
      Walk(start, "", {"**"}, 0, out);
    }
  } else if (IsDirectory(start)) {
    std::vector<std::string> rest(parts.begin() + static_cast<long>(fixed), parts.end());
    Walk(start, "", rest, 0, out);
  }
  std::sort(out.begin(), out.end(), [](const SourceFile& a, const SourceFile& b) { return a.relative < b.relative; });
  out.erase(std::unique(out.begin(), out.end(),
                        [](const SourceFile& a, const SourceFile& b) { return a.relative == b.relative; }),
            out.end());
  return out;
}

}  // namespace tailpack
