// The recording fake of the generated uninstaller's platform calls. A
// started process runs at once, inside CreateProcessW, through the test's
// onStartProcess; the pipe is a byte queue.
#include <cstdio>

#include "platform/fake/fake_platform.h"

namespace {

void Record(const std::string& event) { g_fake.events.push_back(event); }

void* const kProcessHandle = reinterpret_cast<void*>(0x3000);
void* const kPipeRead = reinterpret_cast<void*>(0x3001);
void* const kPipeWrite = reinterpret_cast<void*>(0x3002);
void* const kParentHandle = reinterpret_cast<void*>(0x3003);

char16_t Fold(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

}  // namespace

const Char16* GetCommandLine16() { return g_fake.commandLine16.c_str(); }

void ListFiles(const Char16* pattern, FileVisitor visit, void* context, int folders) {
  std::u16string text = pattern;
  Record("FindFirstFileW " + Narrow(text));
  size_t star = text.find(u'*');
  std::u16string prefix = text.substr(0, star), suffix = star == std::u16string::npos ? u"" : text.substr(star + 1);
  std::vector<std::pair<std::u16string, uint64_t>> found;
  auto matches = [&](const std::u16string& name) {
    return name.size() >= prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
           name.find(u'\\', prefix.size()) == std::u16string::npos;
  };
  if (folders) {
    for (const std::u16string& name : g_fake.directories) {
      if (matches(name)) found.emplace_back(name.substr(prefix.size()), 0);
    }
  }
  for (const auto& [name, bytes] : g_fake.files) {
    if (folders || !matches(name)) continue;
    auto time = g_fake.writeTimes.find(name);
    uint64_t writeTime = time == g_fake.writeTimes.end()
                             ? 0
                             : (uint64_t{time->second.second} << 32) | time->second.first;
    found.emplace_back(name.substr(prefix.size()), writeTime);
  }
  // The visitor may change the files; it sees the list as it was.
  for (const auto& [name, time] : found) visit(name.c_str(), time, context);
}

int32_t DeleteMachineKey(const char* path, uint32_t view) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%x", view);
  Record(std::string("RegDeleteKeyExA ") + path + " " + hex);
  return g_fake.registry.erase({view, path}) != 0 ? 0 : 2;
}

int IsSameTextIgnoringCase(const Char16* a, const Char16* b) {
  for (; *a != 0 && Fold(*a) == Fold(*b); ++a, ++b) {
  }
  return Fold(*a) == Fold(*b);
}

int QueryTemporaryFolder(Char16* buffer) {
  if (g_fake.tempFolder.empty()) return 1;
  std::copy(g_fake.tempFolder.begin(), g_fake.tempFolder.end(), buffer);
  buffer[g_fake.tempFolder.size()] = 0;
  return 0;
}

int GenerateRandom(void* buffer, uint32_t size) {
  Record("RtlGenRandom " + std::to_string(size));
  if (!g_fake.randomWorks) return 1;
  uint8_t* bytes = static_cast<uint8_t*>(buffer);
  for (uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(g_fake.randomCalls * 16 + i);
  ++g_fake.randomCalls;
  return 0;
}

uint32_t CreateProtectedFolder(const Char16* path, const Char16* access) {
  Record("CreateDirectoryW " + Narrow(path) + " " + Narrow(access));
  std::u16string folder = path;
  if (g_fake.directories.count(folder) != 0 || g_fake.files.count(folder) != 0) return kErrorAlreadyExists;
  size_t cut = folder.rfind(u'\\');
  if (cut == std::u16string::npos || g_fake.directories.count(folder.substr(0, cut)) == 0) return 3;
  g_fake.directories.insert(folder);
  g_fake.protectedFolders[folder] = access;
  return 0;
}

PlatformFile HoldForExecution(const Char16* path) {
  if (g_fake.onHold) g_fake.onHold(path);
  Record("CreateFileW " + Narrow(path) + " existing read-share delete-on-close inherited");
  auto it = g_fake.files.find(path);
  if (it == g_fake.files.end()) return nullptr;
  ++g_fake.openFiles;
  g_fake.heldFiles.insert(path);
  return new FakeFile{&it->second, path, path};
}

void RemoveFolderAtExit(const Char16* path) {
  Record("RemoveDirectoryW " + Narrow(path) + " at exit");
  g_fake.foldersRemovedAtExit.insert(path);
}

int CreateResultPipe(void** readEnd, void** writeEnd) {
  Record("CreatePipe");
  if (!g_fake.pipeCreates) return 1;
  *readEnd = kPipeRead;
  *writeEnd = kPipeWrite;
  return 0;
}

uint32_t ReadPipe(void* end, void* buffer, uint32_t size) {
  if (end != kPipeRead) return 0;
  uint32_t count = static_cast<uint32_t>(std::min<size_t>(size, g_fake.pipe.size()));
  std::copy(g_fake.pipe.begin(), g_fake.pipe.begin() + count, static_cast<uint8_t*>(buffer));
  g_fake.pipe.erase(g_fake.pipe.begin(), g_fake.pipe.begin() + count);
  Record("ReadFile pipe " + std::to_string(count));
  return count;
}

void WritePipe(void* end, const void* data, uint32_t size) {
  Record("WriteFile pipe " + std::to_string(size));
  if (end != kPipeWrite) return;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  g_fake.pipe.insert(g_fake.pipe.end(), bytes, bytes + size);
}

void* StartInheritingProcess(Char16* commandLine) {
  std::u16string command = commandLine;
  Record("CreateProcessW " + Narrow(command) + " inherit");
  g_fake.startedCommands.push_back(command);
  if (!g_fake.onStartProcess) return nullptr;
  // Handles held for execution pass to the process.
  g_fake.deleteOnClose.insert(g_fake.heldFiles.begin(), g_fake.heldFiles.end());
  g_fake.heldFiles.clear();
  g_fake.startedExitCode = g_fake.onStartProcess(command);
  return kProcessHandle;
}

void* OpenProcessToWait(uint32_t processId) {
  Record("OpenProcess " + std::to_string(processId));
  return kParentHandle;
}

uint32_t WaitForProcess(void* process, uint32_t milliseconds) {
  Record("WaitForSingleObject " + std::to_string(milliseconds));
  return process == kProcessHandle ? g_fake.startedExitCode : 0;
}

uint32_t CurrentProcessId() { return g_fake.processId; }

void CloseObject(void* handle) {
  if (handle != nullptr) Record("CloseHandle " + std::to_string(reinterpret_cast<uintptr_t>(handle) - 0x3000));
}
