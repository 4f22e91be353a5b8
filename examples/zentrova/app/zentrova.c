/* Zentrova: the example product that examples/zentrova/tailpack.toml
 * packages. It is just enough of a program to exercise an installer:
 *
 *   zentrova.exe            opens the main window (class "ZentrovaMainWindow")
 *                           and holds the mutex "Zentrova.Running" until the
 *                           window is closed, so the installer's "close the
 *                           running product" step has something to close;
 *   zentrova.exe -xi:H:V    configuration command run by the installer: does
 *                           nothing but get recorded;
 *   zentrova.exe -xu        removes what the installer put down.
 *
 * Every start appends its command line (UTF-8) to zentrova-calls.log next to
 * the executable, so tests can see how the installer called it. */
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#define PRODUCT_KEY L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Zentrova"
#define WINDOW_CLASS L"ZentrovaMainWindow"
#define MUTEX_NAME L"Zentrova.Running"
#define CALL_LOG L"zentrova-calls.log"

/* Folder of this executable, ending in "\". */
static WCHAR g_folder[MAX_PATH];

static void InFolder(WCHAR *out, const WCHAR *name) {
  lstrcpynW(out, g_folder, MAX_PATH);
  if (lstrlenW(out) + lstrlenW(name) < MAX_PATH) lstrcatW(out, name);
}

static void RecordCall(void) {
  WCHAR path[MAX_PATH];
  const WCHAR *line = GetCommandLineW();
  char text[4096];
  int length = WideCharToMultiByte(CP_UTF8, 0, line, -1, text, sizeof text - 2, NULL, NULL);
  HANDLE file;
  DWORD written;
  if (length <= 0) return;
  text[length - 1] = '\r';
  text[length] = '\n';
  InFolder(path, CALL_LOG);
  file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  WriteFile(file, text, (DWORD)length + 1, &written, NULL);
  CloseHandle(file);
}

static void DeleteShortcut(int folderId) {
  WCHAR path[MAX_PATH + 16];
  if (!SHGetSpecialFolderPathW(NULL, path, folderId, FALSE)) return;
  if (lstrlenW(path) > MAX_PATH - 16) return;
  lstrcatW(path, L"\\Zentrova.lnk");
  DeleteFileW(path);
}

/* Removes the installed files, the two shortcuts and the uninstall entry.
 * The running executable and the folder holding it go at the next restart. */
static int Uninstall(void) {
  static const WCHAR *const kFiles[] = {
      L"x64\\zentrova.sys", L"language\\Zentrova_DEU.ini", L"license.txt", CALL_LOG,
  };
  static const WCHAR *const kFolders[] = {L"x64", L"language"};
  WCHAR path[MAX_PATH];
  unsigned i;
  for (i = 0; i < sizeof kFiles / sizeof kFiles[0]; ++i) {
    InFolder(path, kFiles[i]);
    DeleteFileW(path);
  }
  for (i = 0; i < sizeof kFolders / sizeof kFolders[0]; ++i) {
    InFolder(path, kFolders[i]);
    RemoveDirectoryW(path);
  }
  DeleteShortcut(CSIDL_DESKTOPDIRECTORY);
  DeleteShortcut(CSIDL_COMMON_PROGRAMS);
  /* The installer writes the entry in the 64-bit view on 64-bit Windows. */
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, PRODUCT_KEY, KEY_WOW64_64KEY, 0);

  GetModuleFileNameW(NULL, path, MAX_PATH);
  MoveFileExW(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
  lstrcpynW(path, g_folder, MAX_PATH);
  path[lstrlenW(path) - 1] = 0;
  if (!RemoveDirectoryW(path)) MoveFileExW(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
  return 0;
}

static LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint;
      RECT area;
      HDC dc = BeginPaint(window, &paint);
      GetClientRect(window, &area);
      DrawTextW(dc, L"Zentrova 2.1.3 is installed and running.", -1, &area,
                DT_CENTER | DT_VCENTER | DT_SINGLELINE);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

static int RunProduct(HINSTANCE instance, int show) {
  WNDCLASSW windowClass;
  HANDLE mutex = CreateMutexW(NULL, TRUE, MUTEX_NAME);
  HWND window;
  MSG message;
  ZeroMemory(&windowClass, sizeof windowClass);
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
  windowClass.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
  windowClass.lpszClassName = WINDOW_CLASS;
  RegisterClassW(&windowClass);
  window = CreateWindowW(WINDOW_CLASS, L"Zentrova 2.1.3", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                         420, 160, NULL, NULL, instance, NULL);
  if (window == NULL) return 1;
  ShowWindow(window, show);
  while (GetMessageW(&message, NULL, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  if (mutex) CloseHandle(mutex);
  return 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  int count = 0, result = 0;
  WCHAR **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  WCHAR *slash;
  (void)previous;
  (void)commandLine;
  GetModuleFileNameW(NULL, g_folder, MAX_PATH);
  slash = g_folder + lstrlenW(g_folder);
  while (slash > g_folder && slash[-1] != L'\\') --slash;
  *slash = 0;

  RecordCall();
  if (arguments && count > 1 && arguments[1][0] == L'-' && arguments[1][1] == L'x' && arguments[1][2] == L'i') {
    result = 0; /* configuration: nothing to configure beyond being recorded */
  } else if (arguments && count > 1 && lstrcmpW(arguments[1], L"-xu") == 0) {
    result = Uninstall();
  } else {
    result = RunProduct(instance, show);
  }
  if (arguments) LocalFree(arguments);
  return result;
}
