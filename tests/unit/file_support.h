// File-system helpers for the native tests of the tool: a temporary folder
// that goes with its owner, whole-file reads and writes, and a picture of a
// folder tree to compare before and after.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>

namespace test {

namespace fs = std::filesystem;

// A fresh folder under the temporary folder, removed with everything in it
// when the object goes.
class TempDir {
 public:
  explicit TempDir(const char* prefix = "tailpack-test") {
    std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    path_ = mkdtemp(pattern.data());
  }
  TempDir(const TempDir&) = delete;
  TempDir(TempDir&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

inline void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every file and folder below `root` ("name/" for folders): bytes and
// modification time in nanoseconds.
inline std::map<std::string, std::pair<std::string, int64_t>> Tree(const fs::path& root) {
  std::map<std::string, std::pair<std::string, int64_t>> tree;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    std::string name = fs::relative(item.path(), root).string();
    if (item.is_directory()) {
      tree[name + "/"] = {"", 0};
      continue;
    }
    struct stat info;
    stat(item.path().c_str(), &info);
    tree[name] = {ReadFile(item.path()), info.st_mtim.tv_sec * 1000000000ll + info.st_mtim.tv_nsec};
  }
  return tree;
}

}  // namespace test
