// Windows implementation of the platform calls of the installation: registry,
// file writing, windows and messages, processes, shell links.
#include <windows.h>

#include <objbase.h>
#include <richedit.h>
#include <shlobj.h>

#include "base/text.h"
#include "platform/folder_security.h"
#include "platform/platform.h"
#include "platform/win32/wide.h"

int32_t OpenMachineKey(const char* path, uint32_t access, RegistryKey* key) {
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, reinterpret_cast<HKEY*>(key));
}

int32_t CreateMachineKey(const char* path, uint32_t access, RegistryKey* key) {
  return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, 0, 0, access, 0,
                         reinterpret_cast<HKEY*>(key), 0);
}

// Value names are ASCII in the program, half the size of UTF-16 literals;
// `out` holds 32 units.
static const wchar_t* WidenName(Char16* out, const char* name) {
  out[0] = 0;
  AppendAscii(out, 32, name);
  return Wide(out);
}

int32_t QueryRegistryValue(RegistryKey key, const char* name, void* data, uint32_t* size) {
  Char16 wide[32];
  return RegQueryValueExW(static_cast<HKEY>(key), WidenName(wide, name), 0, 0,
                          static_cast<BYTE*>(data), reinterpret_cast<DWORD*>(size));
}

int32_t SetRegistryValue(RegistryKey key, const char* name, uint32_t type, const void* data,
                         uint32_t size) {
  Char16 wide[32];
  return RegSetValueExW(static_cast<HKEY>(key), WidenName(wide, name), 0, type,
                        static_cast<const BYTE*>(data), size);
}

void CloseRegistryKey(RegistryKey key) { RegCloseKey(static_cast<HKEY>(key)); }

uint32_t QueryFileAttributes(const Char16* path) { return GetFileAttributesW(Wide(path)); }

uint32_t CreateFolder(const Char16* path) {
  // Filled in field by field: an initialised local would be copied from a
  // template in the writable section, which then takes a file block.
  SECURITY_ATTRIBUTES attributes;
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = const_cast<uint8_t*>(kAdministratorsOnlyFolder);
  attributes.bInheritHandle = FALSE;
  return CreateDirectoryW(Wide(path), &attributes) ? 0 : GetLastError();
}

static_assert(kCreateNew == CREATE_NEW && kCreateAlways == CREATE_ALWAYS && kOpenExisting == OPEN_EXISTING,
              "dispositions are passed through");

uint32_t CreateFileForWriting(const Char16* path, PlatformFile* file, uint32_t disposition) {
  HANDLE handle = CreateFileW(Wide(path), GENERIC_WRITE, 0, 0, disposition, 0, 0);
  if (handle == INVALID_HANDLE_VALUE) return GetLastError();
  *file = handle;
  return 0;
}

PlatformFile HoldFolder(const Char16* path) {
  // Wine reports a Unix symbolic link by the path's attributes, not the
  // handle's; Windows reports a junction by both.
  if ((GetFileAttributesW(Wide(path)) & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return 0;
  HANDLE folder = CreateFileW(Wide(path), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, 0);
  if (folder == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(folder, &information) ||
      (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) !=
          FILE_ATTRIBUTE_DIRECTORY) {
    CloseHandle(folder);
    return 0;
  }
  return folder;
}

int QueryFinalPath(PlatformFile file, Char16* buffer, uint32_t capacity) {
  typedef DWORD(WINAPI * FinalPathFunction)(HANDLE, LPWSTR, DWORD, DWORD);
  FinalPathFunction query = reinterpret_cast<FinalPathFunction>(
      GetProcAddress(GetModuleHandleW(L"kernel32"), "GetFinalPathNameByHandleW"));
  if (query == 0) return 1;
  DWORD length = query(file, reinterpret_cast<wchar_t*>(buffer), capacity, 0);
  return length == 0 || length >= capacity;
}

uint32_t WriteFileBytes(PlatformFile file, const void* data, uint32_t size, uint32_t* written) {
  DWORD count = 0;
  BOOL ok = WriteFile(file, data, size, &count, 0);
  *written = count;
  if (!ok) return GetLastError();
  return count == size ? 0 : kErrorDiskFull;
}

void SetFileWriteTime(PlatformFile file, uint32_t timeLow, uint32_t timeHigh) {
  FILETIME time;
  time.dwLowDateTime = timeLow;
  time.dwHighDateTime = timeHigh;
  SetFileTime(file, 0, 0, &time);
}

void ListFiles(const Char16* pattern, FileVisitor visit, void* context, int folders) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(Wide(pattern), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const wchar_t* name = found.cFileName;
    int dots = name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
    if (((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == (folders != 0) && !dots) {
      uint64_t time = (static_cast<uint64_t>(found.ftLastWriteTime.dwHighDateTime) << 32) |
                      found.ftLastWriteTime.dwLowDateTime;
      visit(reinterpret_cast<const Char16*>(found.cFileName), time, context);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

int DeleteFileAt(const Char16* path) { return DeleteFileW(Wide(path)); }

void DeleteAtRestart(const Char16* path) { MoveFileExW(Wide(path), 0, MOVEFILE_DELAY_UNTIL_REBOOT); }

void RemoveFolder(const Char16* path) { RemoveDirectoryW(Wide(path)); }

uint32_t MoveFileReplacing(const Char16* from, const Char16* to) {
  return MoveFileExW(Wide(from), Wide(to), MOVEFILE_REPLACE_EXISTING) ? 0 : GetLastError();
}

int ConvertAnsiText(const char* text, Char16* buffer, uint32_t capacity) {
  // A capacity of 0 would make the call report the size it needs.
  if (capacity == 0) return 1;
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, Wide(buffer), capacity) != 0) return 0;
  buffer[capacity - 1] = 0;
  return 1;
}

uint32_t ExpandEnvironment(const Char16* text, Char16* buffer, uint32_t capacity) {
  return ExpandEnvironmentStringsW(Wide(text), Wide(buffer), capacity);
}

int QuerySpecialFolder(int folder, int create, Char16* buffer) {
  buffer[0] = 0;
  return SHGetSpecialFolderPathW(0, Wide(buffer), folder, create);
}

void SleepFor(uint32_t milliseconds) { Sleep(milliseconds); }

void* FindProductWindow(const Char16* windowClass, const Char16* title) {
  return FindWindowW(Wide(windowClass), Wide(title));
}

intptr_t SendWindowMessage(void* window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  return SendMessageW(static_cast<HWND>(window), message, wParam, lParam);
}

void* GetDialogItem(void* window, int id) { return GetDlgItem(static_cast<HWND>(window), id); }

int IsMutexPresent(const Char16* name) {
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, Wide(name));
  if (mutex == 0) return 0;
  CloseHandle(mutex);
  return 1;
}

void StartTimer(void* window, uintptr_t id, uint32_t period, TimerProcedure procedure) {
  SetTimer(static_cast<HWND>(window), id, period, reinterpret_cast<TIMERPROC>(procedure));
}

void StopTimer(void* window, uintptr_t id) { KillTimer(static_cast<HWND>(window), id); }

// Dispatches every queued message of the thread, WM_QUIT included.
static void DrainMessages() {
  MSG message;
  while (PeekMessageW(&message, 0, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

uint32_t RunAndWait(Char16* commandLine) {
  STARTUPINFOW startup;
  PROCESS_INFORMATION process;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  if (!CreateProcessW(0, Wide(commandLine), 0, 0, FALSE, 0, 0, 0, &startup, &process)) {
    return kNotStarted;
  }
  CloseHandle(process.hThread);
  do {
    DrainMessages();
  } while (MsgWaitForMultipleObjects(1, &process.hProcess, FALSE, INFINITE, QS_ALLINPUT) ==
           WAIT_OBJECT_0 + 1);
  DrainMessages();
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hProcess);
  return exitCode;
}

void AppendLogText(void* pane, const Char16* text) {
  if (pane == 0) return;
  HWND window = static_cast<HWND>(pane);
  SetFocus(window);
  SendMessageW(window, EM_SETSEL, static_cast<WPARAM>(-1), -1);
  SendMessageW(window, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(text));
}
