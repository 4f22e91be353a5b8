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

// What a walk has found so far, and the folders it is inside, from where
// it started down to the current one, as the system resolves them: a folder
// reached again through a symbolic link is a loop.
struct WalkState {
  std::vector<fs::path> ancestors;
  std::vector<SourceFile> files;
  std::vector<std::string> leftOut;
};

// Enters `folder` below the walk's current one. A symbolic link to a folder
// is followed like the folder it names, unless that folder is one the walk
// is already inside (a link to ".", "..", or a ring of links), which could
// only repeat the same files without end: that is refused.
void Enter(const fs::path& folder, WalkState& state) {
  std::error_code ec;
  fs::path resolved = fs::canonical(folder, ec);
  if (ec) throw ToolError("cannot resolve the folder " + sys::Utf8FromPath(folder) + ": " + ec.message());
  for (const fs::path& ancestor : state.ancestors) {
    if (ancestor == resolved) {
      throw ToolError("the link " + sys::Utf8FromPath(folder) + " leads back to " + sys::Utf8FromPath(resolved) +
                      ", a folder that holds it, so its files would repeat without end; remove the link or "
                      "name the folders to package one by one");
    }
  }
  state.ancestors.push_back(std::move(resolved));
}

// A symbolic link that names neither a file nor a folder (its target is
// missing, or it is part of a ring of links) is left out and reported.
void NoteLeftOut(const fs::directory_entry& e, WalkState& state) {
  std::error_code ec;
  if (e.is_symlink(ec) && !IsRegularFile(e.path()) && !IsDirectory(e.path())) {
    state.leftOut.push_back(sys::Utf8FromPath(e.path()));
  }
}

void Walk(const fs::path& directory, const std::string& relative, const std::vector<std::string>& parts,
          size_t index, WalkState& state) {
  if (index == parts.size()) return;
  const std::string& part = parts[index];
  bool last = index + 1 == parts.size();
  auto join = [&](const std::string& name) { return relative.empty() ? name : relative + "/" + name; };
  auto descend = [&](const fs::path& folder, const std::string& name, size_t next) {
    Enter(folder, state);
    Walk(folder, join(name), parts, next, state);
    state.ancestors.pop_back();
  };
  if (part == "**") {
    // Zero levels: the rest of the pattern right here.
    Walk(directory, relative, parts, index + 1, state);
    if (last) {
      // A trailing "**" takes every file below.
      for (const fs::directory_entry& e : List(directory)) {
        std::string name = sys::Utf8FromPath(e.path().filename());
        if (IsRegularFile(e.path())) state.files.push_back({e.path(), join(name)});
        NoteLeftOut(e, state);
      }
    }
    for (const fs::directory_entry& e : List(directory)) {
      if (IsDirectory(e.path())) descend(e.path(), sys::Utf8FromPath(e.path().filename()), index);
    }
    return;
  }
  if (!HasWildcards(part)) {
    fs::path next = directory / part;
    if (last) {
      if (IsRegularFile(next)) state.files.push_back({next, join(part)});
    } else if (IsDirectory(next)) {
      descend(next, part, index + 1);
    }
    return;
  }
  for (const fs::directory_entry& e : List(directory)) {
    std::string name = sys::Utf8FromPath(e.path().filename());
    if (!MatchComponent(part, name)) continue;
    if (last) {
      if (IsRegularFile(e.path())) state.files.push_back({e.path(), join(name)});
      NoteLeftOut(e, state);
    } else if (IsDirectory(e.path())) {
      descend(e.path(), name, index + 1);
    }
  }
}

// Walks the pattern's `parts` below `start`, the folder its fixed part names.
void WalkFrom(const fs::path& start, const std::vector<std::string>& parts, WalkState& state) {
  Enter(start, state);
  Walk(start, "", parts, 0, state);
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

std::vector<SourceFile> ExpandSource(const fs::path& base, const std::string& pattern,
                                     std::vector<std::string>* leftOut) {
  std::vector<std::string> parts = Split(pattern);
  size_t fixed = FixedCount(parts);
  fs::path start = FixedStart(base, pattern, parts, fixed);

  WalkState state;
  if (fixed == parts.size()) {
    if (IsRegularFile(start)) {
      state.files.push_back({start, parts.empty() ? sys::Utf8FromPath(start.filename()) : parts.back()});
    } else if (IsDirectory(start)) {
      WalkFrom(start, {"**"}, state);
    }
  } else if (IsDirectory(start)) {
    std::vector<std::string> rest(parts.begin() + static_cast<long>(fixed), parts.end());
    WalkFrom(start, rest, state);
  }
  std::vector<SourceFile>& out = state.files;
  std::sort(out.begin(), out.end(), [](const SourceFile& a, const SourceFile& b) { return a.relative < b.relative; });
  out.erase(std::unique(out.begin(), out.end(),
                        [](const SourceFile& a, const SourceFile& b) { return a.relative == b.relative; }),
            out.end());
  if (leftOut) {
    std::sort(state.leftOut.begin(), state.leftOut.end());
    *leftOut = std::move(state.leftOut);
  }
  return std::move(out);
}

}  // namespace tailpack
