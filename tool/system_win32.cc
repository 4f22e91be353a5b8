// The tool's system layer on Windows (tool/system.h): the wide command line,
// Windows' own code page tables, and files and folders reached by full
// paths ("\\?\" prefixed, so that deep trees work) whose folders are held
// open while the tool writes below them, so that none of them can be
// swapped for a link meanwhile.
#include <windows.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>

#include "tool/errors.h"
#include "tool/system.h"

namespace fs = std::filesystem;

namespace tailpack::sys {

namespace {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), size);
  return out;
}

std::string Utf8(const wchar_t* text, size_t length) {
  if (length == 0) return std::string();
  int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), size, nullptr, nullptr);
  return out;
}

std::string Utf8(const std::wstring& text) { return Utf8(text.data(), text.size()); }

// The system's text for an error code, without its line end.
std::string ErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                    FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (length != 0 && buffer != nullptr) {
    while (length > 0 && (buffer[length - 1] == L'\r' || buffer[length - 1] == L'\n' || buffer[length - 1] == L'.')) {
      --length;
    }
    text = Utf8(buffer, length);
  }
  if (buffer != nullptr) LocalFree(buffer);
  return text.empty() ? "error " + std::to_string(code) : text;
}

[[noreturn]] void Fail(const std::string& what, DWORD code = GetLastError()) {
  throw ToolError(what + ": " + ErrorText(code));
}

// A full path that the wide file functions take at any length.
std::wstring LongPath(const fs::path& path) {
  std::wstring given = path.wstring();
  if (given.rfind(L"\\\\?\\", 0) == 0) return given;
  DWORD size = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
  if (size == 0) return given;
  std::wstring full(size, L'\0');
  size = GetFullPathNameW(given.c_str(), size, full.data(), nullptr);
  full.resize(size);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

}  // namespace

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(Utf8(wide[i], wcslen(wide[i])));
  LocalFree(wide);
  return out;
}

void UseUtf8Output() {
  // A console shows the UTF-8 the tool writes; pipes and files take it as
  // it is.
  SetConsoleOutputCP(CP_UTF8);
}

bool ErrorStreamIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

fs::path ToolDirectory() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return fs::path(".");
    if (length < buffer.size()) {
      buffer.resize(length);
      return fs::path(buffer).parent_path();
    }
    buffer.resize(buffer.size() * 2);
  }
}

fs::path PathFromUtf8(const std::string& utf8) { return fs::path(Wide(utf8)); }

std::string Utf8FromPath(const fs::path& path) { return Utf8(path.wstring()); }

namespace {

// Code pages whose conversions take no flags (MultiByteToWideChar and
// WideCharToMultiByte refuse them there).
bool TakesNoFlags(uint32_t codePage) {
  return codePage == 42 || codePage == 65000 || (codePage >= 50220 && codePage <= 50229) ||
         codePage == 52936 || codePage == 54936 || (codePage >= 57002 && codePage <= 57011);
}

std::optional<std::wstring> ToWide(const std::string& input, uint32_t codePage) {
  if (input.empty()) return std::wstring();
  DWORD flags = TakesNoFlags(codePage) ? 0 : MB_ERR_INVALID_CHARS;
  int size = MultiByteToWideChar(codePage, flags, input.data(), static_cast<int>(input.size()), nullptr, 0);
  if (size <= 0) return std::nullopt;
  std::wstring out(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(codePage, flags, input.data(), static_cast<int>(input.size()), out.data(), size);
  return out;
}

std::optional<std::string> FromWide(const std::wstring& input, uint32_t codePage) {
  if (input.empty()) return std::string();
  DWORD flags = TakesNoFlags(codePage) || codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  int size = WideCharToMultiByte(codePage, flags, input.data(), static_cast<int>(input.size()), nullptr, 0,
                                 nullptr, nullptr);
  if (size <= 0) return std::nullopt;
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(codePage, flags, input.data(), static_cast<int>(input.size()), out.data(), size, nullptr,
                      nullptr);
  return out;
}

}  // namespace

std::optional<std::string> ConvertCodePage(const std::string& input, uint32_t codePage, bool toCodePage) {
  if (codePage != CP_UTF8 && !IsValidCodePage(codePage)) {
    throw ToolError("the code page " + std::to_string(codePage) + " is not available on this system");
  }
  // A character without an exact counterpart would come back as another
  // one (a best fit or the default character): every conversion is checked
  // by converting back.
  uint32_t from = toCodePage ? CP_UTF8 : codePage;
  uint32_t to = toCodePage ? codePage : CP_UTF8;
  std::optional<std::wstring> wide = ToWide(input, from);
  if (!wide) return std::nullopt;
  std::optional<std::string> out = FromWide(*wide, to);
  if (!out) return std::nullopt;
  std::optional<std::wstring> back = ToWide(*out, to);
  if (!back || *back != *wide) return std::nullopt;
  return out;
}

char16_t UpperCaseUnit(char16_t unit) {
  if (unit < 0x80) return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 32) : unit;
  if (unit >= 0xD800 && unit <= 0xDFFF) return unit;
  wchar_t in = static_cast<wchar_t>(unit), out = in;
  if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, &in, 1, &out, 1, nullptr, nullptr, 0) != 1) return unit;
  return static_cast<char16_t>(out);
}

namespace {

// FILETIME: 100-ns steps since 1601.
const int64_t kEpochDifference = 11644473600;

uint64_t FileTimeValue(const FILETIME& time) {
  return time.dwLowDateTime | static_cast<uint64_t>(time.dwHighDateTime) << 32;
}

}  // namespace

void ModificationTime(const fs::path& path, int64_t* seconds, uint32_t* nanoseconds) {
  HANDLE file = CreateFileW(LongPath(path).c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) Fail("cannot read " + Utf8FromPath(path));
  FILETIME written;
  BOOL ok = GetFileTime(file, nullptr, nullptr, &written);
  DWORD error = GetLastError();
  CloseHandle(file);
  if (!ok) Fail("cannot read " + Utf8FromPath(path), error);
  uint64_t value = FileTimeValue(written);
  *seconds = static_cast<int64_t>(value / 10000000) - kEpochDifference;
  *nanoseconds = static_cast<uint32_t>(value % 10000000 * 100);
}

// --- Files ------------------------------------------------------------------

struct OutputFile::Handle {
  HANDLE file = INVALID_HANDLE_VALUE;
  ~Handle() {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
};

OutputFile::OutputFile() = default;
OutputFile::~OutputFile() = default;
OutputFile::OutputFile(OutputFile&&) noexcept = default;
OutputFile& OutputFile::operator=(OutputFile&&) noexcept = default;
OutputFile::OutputFile(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
bool OutputFile::IsOpen() const { return handle_ && handle_->file != INVALID_HANDLE_VALUE; }

namespace {

OutputFile FromHandle(HANDLE file) {
  auto handle = std::make_unique<OutputFile::Handle>();
  handle->file = file;
  return OutputFile(std::move(handle));
}

// A new file at `path`; never opens one that exists (nor follows a link
// that sits at the name). INVALID_HANDLE_VALUE with the error code set.
HANDLE CreateNew(const std::wstring& path) {
  return CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

void OutputFile::WriteAt(uint64_t offset, const uint8_t* data, size_t size, const std::string& shown) {
  while (size > 0) {
    DWORD piece = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD done = 0;
    if (!WriteFile(handle_->file, data, piece, &done, &at)) Fail("cannot write " + shown);
    if (done == 0) Fail("cannot write " + shown, ERROR_WRITE_FAULT);
    data += done;
    offset += done;
    size -= done;
  }
}

void OutputFile::SetWriteTime(uint64_t fileTime, const std::string& shown) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(fileTime);
  time.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
  if (!SetFileTime(handle_->file, nullptr, nullptr, &time)) Fail("cannot set the time of " + shown);
}

// Windows has no execute bit.
void OutputFile::MakeExecutable(const std::string&) {}

void OutputFile::Close(const std::string& shown) {
  HANDLE file = handle_->file;
  handle_->file = INVALID_HANDLE_VALUE;
  if (!CloseHandle(file)) Fail("cannot write " + shown);
}

void WriteNewFile(const fs::path& path, const std::string& contents) {
  std::wstring name = LongPath(path);
  HANDLE file = CreateNew(name);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
      throw ToolError(Utf8FromPath(path) + " exists already; it is not overwritten");
    }
    Fail("cannot write " + Utf8FromPath(path), error);
  }
  OutputFile output = FromHandle(file);
  try {
    output.WriteAt(0, reinterpret_cast<const uint8_t*>(contents.data()), contents.size(), Utf8FromPath(path));
    output.Close(Utf8FromPath(path));
  } catch (...) {
    output = OutputFile();
    DeleteFileW(name.c_str());
    throw;
  }
}

AtomicOutput::AtomicOutput(const fs::path& path) : path_(path) {
  std::wstring base = LongPath(path);
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    wchar_t suffix[48];
    swprintf(suffix, 48, L".tmp-%lu-%u", GetCurrentProcessId(), attempt);
    std::wstring name = base + suffix;
    HANDLE file = CreateNew(name);
    if (file != INVALID_HANDLE_VALUE) {
      temporary_ = fs::path(name);
      file_ = FromHandle(file);
      return;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) break;
  }
  Fail("cannot write " + Utf8FromPath(path));
}

AtomicOutput::~AtomicOutput() {
  if (!committed_ && !temporary_.empty()) {
    file_ = OutputFile();
    DeleteFileW(temporary_.c_str());
  }
}

void AtomicOutput::Write(const uint8_t* data, size_t size) {
  file_.WriteAt(size_, data, size, Utf8FromPath(path_));
  size_ += size;
}

void AtomicOutput::Commit() {
  file_.Close(Utf8FromPath(path_));
  // Replaces a file or a link at the name; never writes through one.
  if (!MoveFileExW(temporary_.c_str(), LongPath(path_).c_str(), MOVEFILE_REPLACE_EXISTING)) {
    Fail("cannot write " + Utf8FromPath(path_));
  }
  committed_ = true;
}

// --- Threads ----------------------------------------------------------------

struct Thread::Handle {
  HANDLE thread = nullptr;
  std::function<void()> body;
  static DWORD WINAPI Run(void* handle) {
    static_cast<Handle*>(handle)->body();
    return 0;
  }
};

Thread::Thread(std::function<void()> body) : handle_(std::make_unique<Handle>()) {
  handle_->body = std::move(body);
  handle_->thread = CreateThread(nullptr, 0, &Handle::Run, handle_.get(), 0, nullptr);
  if (handle_->thread == nullptr) Fail("cannot start a thread");
}

Thread::~Thread() {
  WaitForSingleObject(handle_->thread, INFINITE);
  CloseHandle(handle_->thread);
}

struct Monitor::Handle {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE condition = CONDITION_VARIABLE_INIT;
};

Monitor::Monitor() : handle_(std::make_unique<Handle>()) {}
Monitor::~Monitor() = default;
void Monitor::Lock() { AcquireSRWLockExclusive(&handle_->lock); }
void Monitor::Unlock() { ReleaseSRWLockExclusive(&handle_->lock); }
void Monitor::Wait() { SleepConditionVariableSRW(&handle_->condition, &handle_->lock, INFINITE, 0); }
void Monitor::NotifyAll() { WakeAllConditionVariable(&handle_->condition); }

// --- Extraction folders -----------------------------------------------------

namespace {

// A folder held open without delete sharing: while the tool holds it, it
// cannot be renamed, removed or replaced, so its path keeps naming it. Each
// folder holds its parent the same way, up to the extraction folder.
struct HeldFolder {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::shared_ptr<HeldFolder> parent;
  ~HeldFolder() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};

enum class FolderCheck { kFolder, kLink, kOther, kFailed };

// Opens the folder at `path` itself (a link is opened, not followed) and
// tells what it is.
FolderCheck HoldFolder(const std::wstring& path, HANDLE* held) {
  *held = CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (*held == INVALID_HANDLE_VALUE) return FolderCheck::kFailed;
  BY_HANDLE_FILE_INFORMATION info;
  FolderCheck result = FolderCheck::kFolder;
  if (!GetFileInformationByHandle(*held, &info)) {
    result = FolderCheck::kFailed;
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    result = FolderCheck::kLink;
  } else if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    result = FolderCheck::kOther;
  }
  if (result != FolderCheck::kFolder) {
    DWORD error = GetLastError();
    CloseHandle(*held);
    *held = INVALID_HANDLE_VALUE;
    SetLastError(error);
  }
  return result;
}

}  // namespace

struct ExtractFolder::Handle {
  std::wstring path;  // "\\?\" full path, no separator at the end
  std::shared_ptr<HeldFolder> held;
  std::wstring Child(const std::string& name) const { return path + L"\\" + Wide(name); }
};

ExtractFolder::ExtractFolder(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
ExtractFolder::ExtractFolder(ExtractFolder&&) noexcept = default;
ExtractFolder& ExtractFolder::operator=(ExtractFolder&&) noexcept = default;
ExtractFolder::~ExtractFolder() = default;

ExtractFolder ExtractFolder::OpenRoot(const fs::path& path, const std::string& shown) {
  std::error_code ec;
  fs::create_directories(path, ec);
  auto handle = std::make_unique<Handle>();
  handle->path = LongPath(path);
  while (handle->path.size() > 7 && (handle->path.back() == L'\\' || handle->path.back() == L'/')) {
    handle->path.pop_back();
  }
  // The extraction folder may itself be reached through links: only what
  // lies inside it is the package's to choose.
  HANDLE folder = CreateFileW(handle->path.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) Fail("cannot open the directory " + shown);
  handle->held = std::make_shared<HeldFolder>();
  handle->held->handle = folder;
  return ExtractFolder(std::move(handle));
}

ExtractFolder ExtractFolder::Enter(const std::string& name, const std::string& shown, const std::string& extracting,
                                   bool* created) const {
  std::wstring path = handle_->Child(name);
  bool made = CreateDirectoryW(path.c_str(), nullptr) != 0;
  if (!made && GetLastError() != ERROR_ALREADY_EXISTS) Fail("cannot create " + shown);
  if (created != nullptr) *created = made;
  HANDLE folder;
  switch (HoldFolder(path, &folder)) {
    case FolderCheck::kFolder:
      break;
    case FolderCheck::kLink:
    case FolderCheck::kOther:
      throw ToolError("refusing to extract " + extracting + ": " + shown + " is a symbolic link or not a directory");
    case FolderCheck::kFailed:
      Fail("cannot open " + shown);
  }
  auto handle = std::make_unique<Handle>();
  handle->path = path;
  handle->held = std::make_shared<HeldFolder>();
  handle->held->handle = folder;
  handle->held->parent = handle_->held;
  return ExtractFolder(std::move(handle));
}

void ExtractFolder::CheckTarget(const std::string& name, const std::string& shown,
                                const std::string& extracting) const {
  DWORD attributes = GetFileAttributesW(handle_->Child(name).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    throw ToolError("refusing to extract " + extracting + ": " + shown + " is a symbolic link");
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    throw ToolError("cannot extract " + extracting + ": " + shown + " exists and is not a file");
  }
}

std::string ExtractFolder::CreateTemporary(uint32_t serial, OutputFile* file, const std::string& shown) const {
  DWORD error = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 100 && error == ERROR_FILE_EXISTS; ++attempt) {
    char name[48];
    snprintf(name, sizeof name, ".tailpack-%lu-%u-%d", GetCurrentProcessId(), serial, attempt);
    HANDLE created = CreateNew(handle_->Child(name));
    if (created != INVALID_HANDLE_VALUE) {
      *file = FromHandle(created);
      return name;
    }
    error = GetLastError();
  }
  Fail("cannot create a file in " + shown, error);
}

OutputFile ExtractFolder::Reopen(const std::string& name, const std::string& shown) const {
  HANDLE file = CreateFileW(handle_->Child(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) Fail("cannot write " + shown);
  return FromHandle(file);
}

void ExtractFolder::Rename(const std::string& from, const std::string& to, const std::string& shown) const {
  if (!MoveFileExW(handle_->Child(from).c_str(), handle_->Child(to).c_str(), MOVEFILE_REPLACE_EXISTING)) {
    Fail("cannot write " + shown);
  }
}

void ExtractFolder::Remove(const std::string& name) const noexcept {
  DeleteFileW(handle_->Child(name).c_str());
}

void ExtractFolder::RemoveFolder(const std::string& name) const noexcept {
  // RemoveDirectoryW removes a link to a folder as the link; only an empty
  // folder is removed otherwise.
  DWORD attributes = GetFileAttributesW(handle_->Child(name).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return;
  RemoveDirectoryW(handle_->Child(name).c_str());
}

}  // namespace tailpack::sys
