// Windows implementation of the platform layer.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "platform/platform.h"

static const wchar_t* Wide(const Char16* text) { return reinterpret_cast<const wchar_t*>(text); }

const uint8_t* GetModuleImage() { return reinterpret_cast<const uint8_t*>(GetModuleHandleA(0)); }

void* GetInstanceHandle() { return GetModuleHandleA(0); }

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
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  if (!SetFilePointerEx(file, position, 0, FILE_BEGIN)) return 1;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  while (size != 0) {
    DWORD chunk = size > (1u << 30) ? (1u << 30) : size;
    DWORD got = 0;
    if (!ReadFile(file, out, chunk, &got, 0) || got == 0) return 1;
    out += got;
    size -= got;
  }
  return 0;
}

void CloseFile(PlatformFile file) { CloseHandle(file); }

static FARPROC FindKernelFunction(const char* name) {
  HMODULE kernel = GetModuleHandleW(L"kernel32");
  return kernel ? GetProcAddress(kernel, name) : 0;
}

int QueryNativeMachine(uint16_t* machine) {
  typedef BOOL(WINAPI * IsWow64Process2Function)(HANDLE, USHORT*, USHORT*);
  IsWow64Process2Function query =
      reinterpret_cast<IsWow64Process2Function>(FindKernelFunction("IsWow64Process2"));
  if (query == 0) return 0;
  USHORT processMachine = 0, nativeMachine = 0;
  if (!query(GetCurrentProcess(), &processMachine, &nativeMachine)) return 0;
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

int ShowMessageBox(void* owner, const Char16* text, const Char16* caption, uint32_t type) {
  return MessageBoxW(static_cast<HWND>(owner), Wide(text), caption ? Wide(caption) : 0, type);
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

int32_t InitializeCom() { return CoInitialize(0); }

intptr_t OpenWithShell(const Char16* target) {
  return reinterpret_cast<intptr_t>(ShellExecuteW(0, L"open", Wide(target), 0, 0, SW_SHOWNORMAL));
}

void InitializeCommonControls() { InitCommonControls(); }

void FormatTextV(Char16* buffer, uint32_t capacity, const Char16* format, va_list arguments) {
  if (capacity == 0) return;
  wchar_t* out = reinterpret_cast<wchar_t*>(buffer);
  out[0] = 0;
  wvnsprintfW(out, static_cast<int>(capacity), Wide(format), arguments);
  out[capacity - 1] = 0;
}
