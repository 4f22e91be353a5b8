// Windows implementation of the platform calls only the generated
// uninstaller makes: its command line, deleting the
// uninstall key, and the private copy it hands the removal to.
#include <windows.h>
#include <sddl.h>

#include "base/text.h"
#include "platform/platform.h"
#include "platform/win32/wide.h"

const Char16* GetCommandLine16() { return reinterpret_cast<const Char16*>(GetCommandLineW()); }

int32_t DeleteMachineKey(const char* path, uint32_t view) {
  // RegDeleteKeyExA exists from Vista and 64-bit XP on; the 32-bit systems
  // before have no views to choose from.
  typedef LONG(WINAPI * DeleteKeyExFunction)(HKEY, LPCSTR, REGSAM, DWORD);
  HMODULE advapi = GetModuleHandleW(L"advapi32");
  DeleteKeyExFunction deleteEx =
      advapi ? reinterpret_cast<DeleteKeyExFunction>(GetProcAddress(advapi, "RegDeleteKeyExA")) : 0;
  if (deleteEx != 0) return deleteEx(HKEY_LOCAL_MACHINE, path, view, 0);
  return RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
}

int IsSameTextIgnoringCase(const Char16* a, const Char16* b) { return lstrcmpiW(Wide(a), Wide(b)) == 0; }

int QueryTemporaryFolder(Char16* buffer) {
  DWORD length = GetTempPathW(MAX_PATH, Wide(buffer));
  return length == 0 || length >= MAX_PATH;
}

static SECURITY_ATTRIBUTES g_inherited = {sizeof(SECURITY_ATTRIBUTES), 0, TRUE};

uint32_t CreateProtectedFolder(const Char16* path, const Char16* access) {
  PSECURITY_DESCRIPTOR descriptor = 0;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(Wide(access), SDDL_REVISION_1, &descriptor, 0)) {
    return GetLastError();
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  DWORD error = CreateDirectoryW(Wide(path), &attributes) ? 0 : GetLastError();
  LocalFree(descriptor);
  return error;
}

PlatformFile HoldForExecution(const Char16* path) {
  // Starting a process from the file opens it again for reading and
  // execution, sharing reading and deletion: this handle allows that much.
  HANDLE file = CreateFileW(Wide(path), GENERIC_READ | DELETE, FILE_SHARE_READ, &g_inherited, OPEN_EXISTING,
                            FILE_FLAG_DELETE_ON_CLOSE, 0);
  return file == INVALID_HANDLE_VALUE ? 0 : file;
}

void RemoveFolderAtExit(const Char16* path) {
  CreateFileW(Wide(path), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0, OPEN_EXISTING,
              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_DELETE_ON_CLOSE, 0);
}

int CreateResultPipe(void** readEnd, void** writeEnd) {
  HANDLE read = 0, write = 0;
  if (!CreatePipe(&read, &write, &g_inherited, 0)) return 1;
  // The read end stays with this process.
  SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  *readEnd = read;
  *writeEnd = write;
  return 0;
}

uint32_t ReadPipe(void* end, void* buffer, uint32_t size) {
  uint32_t total = 0;
  DWORD read = 0;
  while (total < size && ReadFile(end, static_cast<uint8_t*>(buffer) + total, size - total, &read, 0) && read != 0) {
    total += read;
  }
  return total;
}

void WritePipe(void* end, const void* data, uint32_t size) {
  DWORD written = 0;
  WriteFile(end, data, size, &written, 0);
}

void* StartInheritingProcess(Char16* commandLine) {
  STARTUPINFOW startup;
  PROCESS_INFORMATION process;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  if (!CreateProcessW(0, Wide(commandLine), 0, 0, TRUE, 0, 0, 0, &startup, &process)) {
    return 0;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

void* OpenProcessToWait(uint32_t processId) { return OpenProcess(SYNCHRONIZE, FALSE, processId); }

uint32_t WaitForProcess(void* process, uint32_t milliseconds) {
  DWORD code = kStillRunning;
  if (WaitForSingleObject(process, milliseconds) == WAIT_OBJECT_0) GetExitCodeProcess(process, &code);
  return code;
}

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

void CloseObject(void* handle) {
  if (handle != 0) CloseHandle(handle);
}
