// Source files of a package: paths and globs relative to the manifest.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tailpack {

struct SourceFile {
  std::filesystem::path path;  // the file to read
  std::string relative;        // "/"-separated path below the pattern's fixed part
};

// True when a pattern holds *, ? or [.
bool HasWildcards(std::string_view pattern);

// Matches one path component against a pattern component: "*" any run of
// characters, "?" one character, "[abc]" / "[a-z]" / "[!a]" one of a set.
bool MatchComponent(std::string_view pattern, std::string_view name);

// Expands `pattern` ("/" or "\" separated; relative to `base` unless
// absolute) into regular files (symbolic links to files count), sorted by
// `relative`. "**" matches any number of directory levels, including none.
// A pattern without wildcards names one file, or a directory whose files are
// all taken (recursively). `relative` is the path below the last component
// before the first wildcard (for a plain file: its name; for a directory:
// the path inside it). Throws ToolError when nothing can be read there; an
// empty result is returned as is.
// The path of the pattern's components before its first wildcard, below
// `base` unless absolute: the file or directory a plain pattern names.
std::filesystem::path FixedSourcePath(const std::filesystem::path& base, const std::string& pattern);

std::vector<SourceFile> ExpandSource(const std::filesystem::path& base, const std::string& pattern);

}  // namespace tailpack
