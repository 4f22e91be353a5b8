// What the tool needs of the operating system beyond the C++ library: the
// terminal, its own folder, code pages, file times, and files written
// without ever following a link planted in their place. tool/system_posix.cc
// is the Linux build's, tool/system_win32.cc the Windows build's; the rest
// of the tool is the same on both.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tailpack::sys {

// Arguments of main as UTF-8 (on Windows from the wide command line).
std::vector<std::string> Utf8Arguments(int argc, char** argv);
// Standard output and error take UTF-8 (a Windows console is switched).
void UseUtf8Output();

bool ErrorStreamIsTerminal();
// The folder of the running tool.
std::filesystem::path ToolDirectory();

// A path from UTF-8 text, and back.
std::filesystem::path PathFromUtf8(const std::string& utf8);
std::string Utf8FromPath(const std::filesystem::path& path);

// Text in Windows code page `codePage` from UTF-8 (`toCodePage`) or to
// UTF-8; nullopt when a character has no exact counterpart (no best-fit
// replacements). Throws ToolError when the system cannot convert that code
// page at all.
std::optional<std::string> ConvertCodePage(const std::string& input, uint32_t codePage, bool toCodePage);

// A UTF-16 unit upper-cased on its own, as Windows compares file names.
char16_t UpperCaseUnit(char16_t unit);

// The last-write time of a file: seconds and nanoseconds since 1970. Throws
// ToolError when the file cannot be read.
void ModificationTime(const std::filesystem::path& path, int64_t* seconds, uint32_t* nanoseconds);

// Creates `path` with `contents`, exclusively: an existing file or link at
// that name fails (ToolError, "exists already" when it exists).
void WriteNewFile(const std::filesystem::path& path, const std::string& contents);

// An open file that the tool writes.
class OutputFile {
 public:
  OutputFile();
  ~OutputFile();
  OutputFile(OutputFile&&) noexcept;
  OutputFile& operator=(OutputFile&&) noexcept;
  bool IsOpen() const;
  // Writes all `size` bytes at `offset`; ToolError naming `shown`.
  void WriteAt(uint64_t offset, const uint8_t* data, size_t size, const std::string& shown);
  // Sets the last-write time from a Windows FILETIME.
  void SetWriteTime(uint64_t fileTime, const std::string& shown);
  // Makes the file executable where files have modes (the installer).
  void MakeExecutable(const std::string& shown);
  // Closes the file; ToolError when the last writes failed.
  void Close(const std::string& shown);

  struct Handle;
  explicit OutputFile(std::unique_ptr<Handle> handle);

 private:
  std::unique_ptr<Handle> handle_;
};

// The installer `build` writes: a fresh name next to the output, created
// exclusively (a link planted there is never followed), renamed over the
// output by Commit (which replaces a link at that name instead of writing
// through it), removed when the build fails before.
class AtomicOutput {
 public:
  explicit AtomicOutput(const std::filesystem::path& path);
  ~AtomicOutput();
  AtomicOutput(const AtomicOutput&) = delete;
  AtomicOutput& operator=(const AtomicOutput&) = delete;
  void Write(const uint8_t* data, size_t size);
  uint64_t Size() const { return size_; }
  void Commit();

 private:
  std::filesystem::path path_, temporary_;
  OutputFile file_;
  uint64_t size_ = 0;
  bool committed_ = false;
};

// A second thread running `body` beside the caller (extract writes files
// on one while it decodes on the other). The destructor waits for it.
class Thread {
 public:
  explicit Thread(std::function<void()> body);
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  struct Handle;

 private:
  std::unique_ptr<Handle> handle_;
};

// A lock and a condition to wait on under it, shared by two threads.
class Monitor {
 public:
  Monitor();
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;
  void Lock();
  void Unlock();
  // Unlocks, waits for a NotifyAll, locks again (it may also wake
  // without one: callers check their condition again).
  void Wait();
  void NotifyAll();

  struct Handle;

 private:
  std::unique_ptr<Handle> handle_;
};

// A folder that `extract` writes into, entered level by level and never
// through a link, so that nothing is written outside the extraction folder.
class ExtractFolder {
 public:
  // The extraction folder itself, created when missing.
  static ExtractFolder OpenRoot(const std::filesystem::path& path, const std::string& shown);
  ExtractFolder(ExtractFolder&&) noexcept;
  ExtractFolder& operator=(ExtractFolder&&) noexcept;
  ~ExtractFolder();
  // The folder `name` inside, created when missing (`created` tells, when
  // given); refused when it is a link or not a folder.
  ExtractFolder Enter(const std::string& name, const std::string& shown, const std::string& extracting,
                      bool* created = nullptr) const;
  // Refuses a final name that is a link or something else than a file.
  void CheckTarget(const std::string& name, const std::string& shown, const std::string& extracting) const;
  // A new, empty file under a fresh name (returned), open for writing.
  std::string CreateTemporary(uint32_t serial, OutputFile* file, const std::string& shown) const;
  // Opens a file this folder's CreateTemporary made, again.
  OutputFile Reopen(const std::string& name, const std::string& shown) const;
  // Renames `from` over `to`: a file or link at `to` is replaced, never
  // written through.
  void Rename(const std::string& from, const std::string& to, const std::string& shown) const;
  void Remove(const std::string& name) const noexcept;
  // Removes the empty folder `name` inside (one that Enter made); a folder
  // that is not empty, or a link, stays. The folder itself must no longer
  // be held by an ExtractFolder.
  void RemoveFolder(const std::string& name) const noexcept;

  struct Handle;

 private:
  explicit ExtractFolder(std::unique_ptr<Handle> handle);
  std::unique_ptr<Handle> handle_;
};

}  // namespace tailpack::sys
