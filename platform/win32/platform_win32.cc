// Windows implementation of the platform layer.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "base/memory.h"
#include "base/text.h"
#include "platform/platform.h"
#include "platform/win32/wide.h"

// The executable's own module; GetModuleHandleW also finds kernel32 below,
// so one import serves both.
const uint8_t* GetModuleImage() { return reinterpret_cast<const uint8_t*>(GetModuleHandleW(0)); }

void* GetInstanceHandle() { return GetModuleHandleW(0); }

int GetOwnPath(Char16* buffer, uint32_t capacity) {
  DWORD length = GetModuleFileNameW(0, reinterpret_cast<wchar_t*>(buffer), capacity);
  return (length == 0 || length >= capacity) ? 1 : 0;
}

void EndProcess(uint32_t exitCode) {
  ExitProcess(exitCode);
}

PlatformFile OpenFileForReading(const Char16* path) {
  HANDLE file = CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, 0);
  return file == INVALID_HANDLE_VALUE ? 0 : file;
}

uint64_t QueryFileSize(PlatformFile file) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) return 0;
  return static_cast<uint64_t>(size.QuadPart);
}

int ReadFileAt(PlatformFile file, uint64_t offset, void* buffer, uint32_t size) {
  // The offset travels in the OVERLAPPED record; on a handle opened for
  // synchronous reading, ReadFile then reads there and waits.
  uint8_t* out = static_cast<uint8_t*>(buffer);
  while (size != 0) {
    OVERLAPPED at;
    FillBytes(&at, 0, sizeof at);
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD chunk = size > (1u << 30) ? (1u << 30) : size;
    DWORD got = 0;
    if (!ReadFile(file, out, chunk, &got, &at) || got == 0) return 1;
    out += got;
    offset += got;
    size -= got;
  }
  return 0;
}

void CloseFile(PlatformFile file) { CloseHandle(file); }

static FARPROC FindKernelFunction(const char* name) {
  HMODULE kernel = GetModuleHandleW(L"kernel32");
  return kernel ? GetProcAddress(kernel, name) : 0;
}


// RtlGenRandom, exported by advapi32 (which both programs import, so it is
// loaded) as SystemFunction036.
int GenerateRandom(void* buffer, uint32_t size) {
  typedef BOOLEAN(WINAPI * GenerateFunction)(PVOID, ULONG);
  HMODULE advapi = GetModuleHandleW(L"advapi32");
  GenerateFunction generate =
      advapi ? reinterpret_cast<GenerateFunction>(GetProcAddress(advapi, "SystemFunction036")) : 0;
  return generate == 0 || !generate(buffer, size);
}

int QueryNativeMachine(uint16_t* machine) {
  typedef BOOL(WINAPI * IsWow64Process2Function)(HANDLE, USHORT*, USHORT*);
  IsWow64Process2Function query =
      reinterpret_cast<IsWow64Process2Function>(FindKernelFunction("IsWow64Process2"));
  if (query == 0) return 0;
  USHORT processMachine = 0, nativeMachine = 0;
  // (HANDLE)-1 is the current process, what GetCurrentProcess returns.
  if (!query(reinterpret_cast<HANDLE>(-1), &processMachine, &nativeMachine)) return 0;
  *machine = nativeMachine;
  return 1;
}

uint16_t QueryNativeProcessorArchitecture() {
  SYSTEM_INFO info;
  GetNativeSystemInfo(&info);
  return info.wProcessorArchitecture;
}

void QueryWindowsVersion(uint32_t* major, uint32_t* minor) {
  OSVERSIONINFOW info;
  info.dwOSVersionInfoSize = sizeof(info);
  info.dwMajorVersion = 0;
  info.dwMinorVersion = 0;
  GetVersionExW(&info);
  *major = info.dwMajorVersion;
  *minor = info.dwMinorVersion;
}

int DisableFsRedirection(void** saved) {
  typedef BOOL(WINAPI * DisableFunction)(PVOID*);
  DisableFunction disable =
      reinterpret_cast<DisableFunction>(FindKernelFunction("Wow64DisableWow64FsRedirection"));
  return disable ? disable(saved) : 0;
}

int RevertFsRedirection(void* saved) {
  typedef BOOL(WINAPI * RevertFunction)(PVOID);
  RevertFunction revert =
      reinterpret_cast<RevertFunction>(FindKernelFunction("Wow64RevertWow64FsRedirection"));
  return revert ? revert(saved) : 0;
}

// Looked up by name: the import would take a 512-byte block of the file.
int StartThread(ThreadProcedure procedure, void* parameter) {
  typedef HANDLE(WINAPI * CreateThreadFunction)(void*, SIZE_T, ThreadProcedure, void*, DWORD, DWORD*);
  CreateThreadFunction create = reinterpret_cast<CreateThreadFunction>(
      reinterpret_cast<void*>(FindKernelFunction("CreateThread")));
  HANDLE thread = create ? create(0, 0, procedure, parameter, 0, 0) : 0;
  if (thread == 0) return 0;
  CloseHandle(thread);
  return 1;
}

void* CreateSignal() { return CreateEventW(0, FALSE, FALSE, 0); }

void RaiseSignal(void* signal) { SetEvent(signal); }

// MsgWaitForMultipleObjects with no message types waits for the handle
// alone, as WaitForSingleObject would, and is imported already.
void WaitForSignal(void* signal) { MsgWaitForMultipleObjects(1, &signal, FALSE, INFINITE, 0); }

int ShowMessageBox(void* owner, const Char16* text, const Char16* caption, uint32_t type) {
  return MessageBoxW(static_cast<HWND>(owner), Wide(text), caption ? Wide(caption) : 0, type);
}

void WriteStandardError(const Char16* text) {
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error == 0 || error == INVALID_HANDLE_VALUE) return;
  // Three bytes a unit at most, and the line end.
  char bytes[3 * 512 + 2];
  int length = WideCharToMultiByte(CP_UTF8, 0, Wide(text), -1, bytes, sizeof bytes - 2, 0, 0);
  if (length <= 0) return;
  bytes[length - 1] = '\r';
  bytes[length] = '\n';
  DWORD written;
  WriteFile(error, bytes, static_cast<DWORD>(length + 1), &written, 0);
}

void DescribeError(uint32_t code, Char16* buffer, uint32_t capacity) {
  buffer[0] = 0;
  FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, 0, code, 0,
                 reinterpret_cast<wchar_t*>(buffer), capacity, 0);
}

const char* GetCommandLine8() { return GetCommandLineA(); }

void QueryStartupInfo(uint32_t* flags, uint16_t* showWindow) {
  STARTUPINFOA info;
  info.cb = sizeof(info);
  GetStartupInfoA(&info);
  *flags = info.dwFlags;
  *showWindow = info.wShowWindow;
}

uint16_t QueryUserLanguage() { return GetUserDefaultLangID(); }

int IsAdministrator() { return IsUserAnAdmin(); }

void RestrictLibrarySearch() {
  typedef BOOL(WINAPI * SetDefaultFunction)(DWORD);
  SetDefaultFunction setDefault =
      reinterpret_cast<SetDefaultFunction>(FindKernelFunction("SetDefaultDllDirectories"));
  if (setDefault == 0 || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) SetDllDirectoryW(L"");
}

int LoadSystemLibrary(const char* name) {
  // A full path: the library is never searched for, so no other folder can
  // supply it.
  wchar_t path[MAX_PATH];
  UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 0;
  Char16* text = reinterpret_cast<Char16*>(path);
  if (AppendSeparator(text, MAX_PATH) != 0 || AppendAscii(text, MAX_PATH, name) != 0 ||
      AppendAscii(text, MAX_PATH, ".dll") != 0) {
    return 0;
  }
  return LoadLibraryW(path) != 0;
}

void FormatTextV(Char16* buffer, uint32_t capacity, const Char16* format, va_list arguments) {
  if (capacity == 0) return;
  wchar_t* out = reinterpret_cast<wchar_t*>(buffer);
  out[0] = 0;
  wvnsprintfW(out, static_cast<int>(capacity), Wide(format), arguments);
  out[capacity - 1] = 0;
}
