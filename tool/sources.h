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

// The path of the pattern's components before its first wildcard, below
// `base` unless absolute: the file or directory a plain pattern names.
std::filesystem::path FixedSourcePath(const std::filesystem::path& base, const std::string& pattern);

// Expands `pattern` ("/" or "\" separated; relative to `base` unless
// absolute) into regular files, sorted by `relative`. "**" matches any
// number of directory levels, including none. A pattern without wildcards
// names one file, or a directory whose files are all taken (recursively).
// `relative` is the path below the last component before the first
// wildcard (for a plain file: its name; for a directory: the path inside
// it). Symbolic links to files and to folders are followed; a link that
// leads back to a folder the walk is inside is refused, and a link that
// names nothing (its target is missing, or a ring of links) is left out and
// its path added to `leftOut` when given. Throws ToolError when nothing can
// be read there; an empty result is returned as is.
std::vector<SourceFile> ExpandSource(const std::filesystem::path& base, const std::string& pattern,
                                     std::vector<std::string>* leftOut = nullptr);

}  // namespace tailpack
