// The tool's system layer on Linux (tool/system.h): iconv for code pages,
// descriptors relative to an open folder with O_NOFOLLOW for extraction.
#include <fcntl.h>
#include <iconv.h>
#include <locale.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "tool/errors.h"
#include "tool/system.h"

namespace fs = std::filesystem;

namespace tailpack::sys {

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

void UseUtf8Output() {}

bool ErrorStreamIsTerminal() { return isatty(STDERR_FILENO) != 0; }

fs::path ToolDirectory() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path(".") : self.parent_path();
}

fs::path PathFromUtf8(const std::string& utf8) { return fs::path(utf8); }

std::string Utf8FromPath(const fs::path& path) { return path.string(); }

namespace {

struct IconvCloser {
  void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};

std::string CodePageName(uint32_t codePage) { return codePage == 65001 ? "UTF-8" : "CP" + std::to_string(codePage); }

}  // namespace

std::optional<std::string> ConvertCodePage(const std::string& input, uint32_t codePage, bool toCodePage) {
  std::string from = toCodePage ? "UTF-8" : CodePageName(codePage);
  std::string to = toCodePage ? CodePageName(codePage) : "UTF-8";
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    throw ToolError("the code page conversion " + from + " to " + to + " is not available on this system");
  }
  std::unique_ptr<void, IconvCloser> guard(cd);
  std::string out(input.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(input.data());
  size_t inLeft = input.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) return std::nullopt;
  if (iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<size_t>(-1)) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

char16_t UpperCaseUnit(char16_t unit) {
  // The C.UTF-8 locale's simple mappings are Windows' for the letters an
  // ANSI code page can hold.
  static locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (unit < 0x80 || unicode == static_cast<locale_t>(0)) {
    return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 32) : unit;
  }
  if (unit >= 0xD800 && unit <= 0xDFFF) return unit;
  wint_t upper = towupper_l(unit, unicode);
  return upper <= 0xFFFF ? static_cast<char16_t>(upper) : unit;
}

void ModificationTime(const fs::path& path, int64_t* seconds, uint32_t* nanoseconds) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) throw ToolError("cannot read " + path.string());
  *seconds = info.st_mtim.tv_sec;
  *nanoseconds = static_cast<uint32_t>(info.st_mtim.tv_nsec);
}

// --- Files ------------------------------------------------------------------

struct OutputFile::Handle {
  int fd = -1;
  ~Handle() {
    if (fd >= 0) close(fd);
  }
};

OutputFile::OutputFile() = default;
OutputFile::~OutputFile() = default;
OutputFile::OutputFile(OutputFile&&) noexcept = default;
OutputFile& OutputFile::operator=(OutputFile&&) noexcept = default;
OutputFile::OutputFile(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
bool OutputFile::IsOpen() const { return handle_ && handle_->fd >= 0; }

namespace {

OutputFile FromDescriptor(int fd) {
  auto handle = std::make_unique<OutputFile::Handle>();
  handle->fd = fd;
  return OutputFile(std::move(handle));
}

}  // namespace

void OutputFile::WriteAt(uint64_t offset, const uint8_t* data, size_t size, const std::string& shown) {
  while (size > 0) {
    ssize_t n = pwrite(handle_->fd, data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw ToolError("cannot write " + shown + ": " + strerror(n < 0 ? errno : EIO));
    data += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
}

void OutputFile::SetWriteTime(uint64_t fileTime, const std::string& shown) {
  // FILETIME: 100-ns steps since 1601.
  const int64_t kEpochDifference = 11644473600;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(static_cast<int64_t>(fileTime / 10000000) - kEpochDifference);
  times[1].tv_nsec = static_cast<long>(fileTime % 10000000 * 100);
  if (futimens(handle_->fd, times) != 0) throw ToolError("cannot set the time of " + shown + ": " + strerror(errno));
}

void OutputFile::MakeExecutable(const std::string& shown) {
  if (fchmod(handle_->fd, 0755) != 0) throw ToolError("cannot write " + shown + ": " + strerror(errno));
}

void OutputFile::Close(const std::string& shown) {
  int fd = handle_->fd;
  handle_->fd = -1;
  if (close(fd) != 0) throw ToolError("cannot write " + shown + ": " + strerror(errno));
}

void WriteNewFile(const fs::path& path, const std::string& contents) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (errno == EEXIST) throw ToolError(path.string() + " exists already; it is not overwritten");
    throw ToolError("cannot write " + path.string() + ": " + strerror(errno));
  }
  OutputFile file = FromDescriptor(fd);
  try {
    file.WriteAt(0, reinterpret_cast<const uint8_t*>(contents.data()), contents.size(), path.string());
    file.Close(path.string());
  } catch (...) {
    unlink(path.c_str());
    throw;
  }
}

AtomicOutput::AtomicOutput(const fs::path& path) : path_(path) {
  std::string pattern = path.string() + ".tmp-XXXXXX";
  int fd = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) throw ToolError("cannot write " + path.string() + ": " + strerror(errno));
  temporary_ = pattern;
  file_ = FromDescriptor(fd);
}

AtomicOutput::~AtomicOutput() {
  if (!committed_) {
    file_ = OutputFile();
    std::error_code ec;
    fs::remove(temporary_, ec);
  }
}

void AtomicOutput::Write(const uint8_t* data, size_t size) {
  file_.WriteAt(size_, data, size, path_.string());
  size_ += size;
}

void AtomicOutput::Commit() {
  // The mode is set on the descriptor: the name may be replaced meanwhile.
  file_.MakeExecutable(path_.string());
  file_.Close(path_.string());
  if (rename(temporary_.c_str(), path_.c_str()) != 0) {
    throw ToolError("cannot write " + path_.string() + ": " + strerror(errno));
  }
  committed_ = true;
}

// --- Threads ----------------------------------------------------------------

struct Thread::Handle {
  std::thread thread;
};

Thread::Thread(std::function<void()> body) : handle_(std::make_unique<Handle>()) {
  handle_->thread = std::thread(std::move(body));
}

Thread::~Thread() { handle_->thread.join(); }

struct Monitor::Handle {
  std::mutex mutex;
  std::condition_variable condition;
};

Monitor::Monitor() : handle_(std::make_unique<Handle>()) {}
Monitor::~Monitor() = default;
void Monitor::Lock() { handle_->mutex.lock(); }
void Monitor::Unlock() { handle_->mutex.unlock(); }

void Monitor::Wait() {
  std::unique_lock<std::mutex> lock(handle_->mutex, std::adopt_lock);
  handle_->condition.wait(lock);
  lock.release();
}

void Monitor::NotifyAll() { handle_->condition.notify_all(); }

// --- Extraction folders -----------------------------------------------------

struct ExtractFolder::Handle {
  int fd = -1;
  ~Handle() {
    if (fd >= 0) close(fd);
  }
};

ExtractFolder::ExtractFolder(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
ExtractFolder::ExtractFolder(ExtractFolder&&) noexcept = default;
ExtractFolder& ExtractFolder::operator=(ExtractFolder&&) noexcept = default;
ExtractFolder::~ExtractFolder() = default;

ExtractFolder ExtractFolder::OpenRoot(const fs::path& path, const std::string& shown) {
  // An extraction holds each folder it writes into open until its files
  // are renamed into place: allow as many descriptors as the system lets
  // this process have.
  struct rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  std::error_code ec;
  fs::create_directories(path, ec);
  auto handle = std::make_unique<Handle>();
  handle->fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (handle->fd < 0) throw ToolError("cannot open the directory " + shown + ": " + strerror(errno));
  return ExtractFolder(std::move(handle));
}

ExtractFolder ExtractFolder::Enter(const std::string& name, const std::string& shown, const std::string& extracting,
                                   bool* created) const {
  bool made = mkdirat(handle_->fd, name.c_str(), 0755) == 0;
  if (!made && errno != EEXIST) throw ToolError("cannot create " + shown + ": " + strerror(errno));
  if (created != nullptr) *created = made;
  auto handle = std::make_unique<Handle>();
  handle->fd = openat(handle_->fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (handle->fd < 0) {
    if (errno == ELOOP || errno == ENOTDIR) {
      throw ToolError("refusing to extract " + extracting + ": " + shown + " is a symbolic link or not a directory");
    }
    throw ToolError("cannot open " + shown + ": " + strerror(errno));
  }
  return ExtractFolder(std::move(handle));
}

void ExtractFolder::CheckTarget(const std::string& name, const std::string& shown,
                                const std::string& extracting) const {
  struct stat info;
  if (fstatat(handle_->fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (S_ISLNK(info.st_mode)) throw ToolError("refusing to extract " + extracting + ": " + shown + " is a symbolic link");
  if (!S_ISREG(info.st_mode)) {
    throw ToolError("cannot extract " + extracting + ": " + shown + " exists and is not a file");
  }
}

std::string ExtractFolder::CreateTemporary(uint32_t serial, OutputFile* file, const std::string& shown) const {
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[48];
    snprintf(name, sizeof name, ".tailpack-%d-%u-%d", static_cast<int>(getpid()), serial, attempt);
    int fd = openat(handle_->fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      if (fchmod(fd, 0644) != 0) {
        int error = errno;
        close(fd);
        unlinkat(handle_->fd, name, 0);
        throw ToolError("cannot set the mode of " + shown + ": " + strerror(error));
      }
      *file = FromDescriptor(fd);
      return name;
    }
    if (errno != EEXIST) break;
  }
  throw ToolError("cannot create a file in " + shown + ": " + strerror(errno));
}

OutputFile ExtractFolder::Reopen(const std::string& name, const std::string& shown) const {
  int fd = openat(handle_->fd, name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) throw ToolError("cannot write " + shown + ": " + strerror(errno));
  return FromDescriptor(fd);
}

void ExtractFolder::Rename(const std::string& from, const std::string& to, const std::string& shown) const {
  if (renameat(handle_->fd, from.c_str(), handle_->fd, to.c_str()) != 0) {
    throw ToolError("cannot write " + shown + ": " + strerror(errno));
  }
}

void ExtractFolder::Remove(const std::string& name) const noexcept { unlinkat(handle_->fd, name.c_str(), 0); }

void ExtractFolder::RemoveFolder(const std::string& name) const noexcept {
  unlinkat(handle_->fd, name.c_str(), AT_REMOVEDIR);
}

}  // namespace tailpack::sys
