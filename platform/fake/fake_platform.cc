#include "platform/fake/fake_platform.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

FakePlatform g_fake;

namespace {

std::vector<uint8_t> g_paddedImage;

void Record(const std::string& event) { g_fake.events.push_back(event); }

}  // namespace

void JoinFakeThreads() { g_fake.threads.clear(); }  // jthreads join as they go

void ResetFakePlatform() {
  JoinFakeThreads();
  g_fake = FakePlatform();
}

int StartThread(ThreadProcedure procedure, void* parameter) {
  if (!g_fake.threadStarts) return 0;
  ++g_fake.threadsStarted;
  g_fake.threads.emplace_back(procedure, parameter);
  return 1;
}

void* CreateSignal() {
  g_fake.signals.push_back(std::make_unique<FakeSignal>());
  return g_fake.signals.back().get();
}

void RaiseSignal(void* signal) {
  FakeSignal* s = static_cast<FakeSignal*>(signal);
  std::lock_guard<std::mutex> hold(s->lock);
  s->raised = true;
  s->changed.notify_one();
}

void WaitForSignal(void* signal) {
  FakeSignal* s = static_cast<FakeSignal*>(signal);
  std::unique_lock<std::mutex> hold(s->lock);
  s->changed.wait(hold, [s] { return s->raised; });
  s->raised = false;
}

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t unit : text) {
    if (unit < 0x80) {
      out.push_back(static_cast<char>(unit));
    } else if (unit < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (unit >> 6)));
      out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (unit >> 12)));
      out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    }
  }
  return out;
}

const uint8_t* GetModuleImage() {
  if (g_fake.moduleImage.empty()) return nullptr;
  // A mapped image always has at least its header page readable.
  g_paddedImage = g_fake.moduleImage;
  if (g_paddedImage.size() < 4096) g_paddedImage.resize(4096);
  return g_paddedImage.data();
}

void* GetInstanceHandle() { return reinterpret_cast<void*>(0x400000); }

int GetOwnPath(Char16* buffer, uint32_t capacity) {
  if (g_fake.ownPath.size() + 1 > capacity) return 1;
  std::memcpy(buffer, g_fake.ownPath.c_str(), (g_fake.ownPath.size() + 1) * sizeof(Char16));
  return 0;
}

void EndProcess(uint32_t exitCode) {
  Record("ExitProcess " + std::to_string(exitCode));
  throw std::runtime_error("EndProcess " + std::to_string(exitCode));
}

PlatformFile OpenFileForReading(const Char16* path) {
  auto it = g_fake.files.find(path);
  Record("OpenFileForReading " + Narrow(path));
  if (it == g_fake.files.end()) return nullptr;
  ++g_fake.openFiles;
  return new FakeFile{&it->second, path, {}};
}

uint64_t QueryFileSize(PlatformFile file) { return static_cast<FakeFile*>(file)->bytes->size(); }

int ReadFileAt(PlatformFile file, uint64_t offset, void* buffer, uint32_t size) {
  const std::vector<uint8_t>& bytes = *static_cast<FakeFile*>(file)->bytes;
  if (offset > bytes.size() || size > bytes.size() - offset) return 1;
  std::memcpy(buffer, bytes.data() + offset, size);
  return 0;
}

void CloseFile(PlatformFile file) {
  --g_fake.openFiles;
  const std::u16string& held = static_cast<FakeFile*>(file)->heldPath;
  if (!held.empty()) {
    // The last handle, unless a started process inherited it.
    Record("CloseHandle held " + Narrow(held));
    if (g_fake.heldFiles.erase(held) != 0) g_fake.files.erase(held);
  }
  delete static_cast<FakeFile*>(file);
}

int QueryNativeMachine(uint16_t* machine) {
  if (!g_fake.hasIsWow64Process2 || !g_fake.isWow64Process2Succeeds) return 0;
  *machine = g_fake.nativeMachine;
  return 1;
}

uint16_t QueryNativeProcessorArchitecture() {
  Record("GetNativeSystemInfo");
  return g_fake.processorArchitecture;
}

void QueryWindowsVersion(uint32_t* major, uint32_t* minor) {
  *major = g_fake.versionMajor;
  *minor = g_fake.versionMinor;
}

int DisableFsRedirection(void** saved) {
  Record("DisableFsRedirection");
  if (!g_fake.hasRedirectionFunctions) return 0;
  *saved = reinterpret_cast<void*>(0x5A7ED);
  return g_fake.disableRedirectionResult;
}

int RevertFsRedirection(void* saved) {
  Record("RevertFsRedirection " + std::to_string(reinterpret_cast<uintptr_t>(saved)));
  return g_fake.hasRedirectionFunctions ? 1 : 0;
}

int ShowMessageBox(void* owner, const Char16* text, const Char16* caption, uint32_t type) {
  g_fake.messageBoxes.push_back(
      {owner, text, caption != nullptr, caption ? std::u16string(caption) : std::u16string(), type});
  Record("MessageBox " + Narrow(text));
  int answer = kIdOk;
  if (!g_fake.messageBoxAnswers.empty()) {
    answer = g_fake.messageBoxAnswers.front();
    g_fake.messageBoxAnswers.erase(g_fake.messageBoxAnswers.begin());
  }
  return answer;
}


void WriteStandardError(const Char16* text) {
  g_fake.standardError += Narrow(text) + "\n";
  Record("StandardError " + Narrow(text));
}

void DescribeError(uint32_t code, Char16* buffer, uint32_t capacity) {
  std::string digits = std::to_string(code);
  std::u16string text = u"Error " + std::u16string(digits.begin(), digits.end()) + u".";
  buffer[0] = 0;
  if (capacity > text.size()) std::copy(text.c_str(), text.c_str() + text.size() + 1, buffer);
}

const char* GetCommandLine8() { return g_fake.commandLine.c_str(); }

void QueryStartupInfo(uint32_t* flags, uint16_t* showWindow) {
  Record("GetStartupInfoA");
  *flags = g_fake.startupFlags;
  *showWindow = g_fake.startupShowWindow;
}

uint16_t QueryUserLanguage() {
  Record("GetUserDefaultLangID");
  return g_fake.userLanguage;
}

int IsAdministrator() {
  Record("IsUserAnAdmin");
  return g_fake.isAdministrator ? 1 : 0;
}

int32_t InitializeCom() {
  Record("CoInitialize");
  return g_fake.comResult;
}

intptr_t OpenWithShell(const Char16* target, const Char16* directory) {
  Record("ShellExecute open " + Narrow(target) + (directory ? " in " + Narrow(directory) : ""));
  return g_fake.shellOpenResult;
}

void InitializeCommonControls() { Record("InitCommonControls"); }

// The subset of wvnsprintfW the installer uses: %% and the conversions s, S,
// c, d, i, u, x, X with an optional h, l or w size prefix (%s and %ls are
// UTF-16, %hs and %S 8-bit). Output is cut at capacity - 1 units.
void FormatTextV(Char16* buffer, uint32_t capacity, const Char16* format, va_list arguments) {
  if (capacity == 0) return;
  std::u16string out;
  for (const Char16* p = format; *p != 0; ++p) {
    if (*p != u'%') {
      out.push_back(*p);
      continue;
    }
    const Char16* start = p++;
    char16_t size = 0;
    if (*p == u'h' || *p == u'l' || *p == u'w') size = *p++;
    switch (*p) {
      case u'%':
        out.push_back(u'%');
        break;
      case u's':
      case u'S':
        if ((*p == u's') != (size == u'h')) {
          const Char16* text = va_arg(arguments, const Char16*);
          out += text ? std::u16string(text) : std::u16string(u"(null)");
        } else {
          const char* text = va_arg(arguments, const char*);
          for (; text && *text; ++text) out.push_back(static_cast<unsigned char>(*text));
        }
        break;
      case u'c':
        out.push_back(static_cast<char16_t>(va_arg(arguments, int)));
        break;
      case u'd':
      case u'i':
        for (char c : std::to_string(va_arg(arguments, int))) out.push_back(c);
        break;
      case u'u':
        for (char c : std::to_string(va_arg(arguments, unsigned))) out.push_back(c);
        break;
      case u'x':
      case u'X': {
        char digits[16];
        std::snprintf(digits, sizeof digits, *p == u'x' ? "%x" : "%X", va_arg(arguments, unsigned));
        for (const char* c = digits; *c; ++c) out.push_back(*c);
        break;
      }
      default:
        // Unknown or unfinished conversion: shown as written.
        out.append(start, p + (*p != 0 ? 1 : 0));
        if (*p == 0) --p;
        break;
    }
  }
  if (out.size() > capacity - 1) out.resize(capacity - 1);
  std::memcpy(buffer, out.c_str(), (out.size() + 1) * sizeof(Char16));
}
