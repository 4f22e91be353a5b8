/* install_helper: stands in for a running product in tests/wine/test_install.sh
 * and reads shortcuts back there and in scripts/example.sh.
 *
 * usage: install_helper MODE ...
 *   window CLASS LOG STOP  a window of CLASS that ignores WM_CLOSE; appends
 *                          "close <lParam>" or "message 0x8066" to LOG for
 *                          each one, "ready" once the window exists
 *   mutex NAME READY STOP  owns the mutex NAME
 *   lock PATH READY STOP   keeps PATH open for reading without write sharing
 *   hold PATH READY STOP   the same, and the file cannot be deleted meanwhile
 *                          (as Windows keeps a running program's file)
 *   find CLASS             exit 0 once a window of CLASS exists (20 s)
 *   lnk PATH OUT           writes the shortcut's target, arguments, working
 *                          folder and icon to OUT, one per line
 *   sleep MS               waits MS milliseconds (a slow configuration
 *                          command, tests/wine/screenshots.sh)
 * The first four run until the file STOP exists (at most 180 s). */
#define COBJMACROS
#include <windows.h>
#include <shlobj.h>
#include <stdio.h>

static const wchar_t* g_log;
static const wchar_t* g_stop;

static void Append(const wchar_t* path, const char* line) {
  HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_ALWAYS, 0, NULL);
  DWORD written;
  if (file == INVALID_HANDLE_VALUE) return;
  WriteFile(file, line, (DWORD)strlen(line), &written, NULL);
  CloseHandle(file);
}

static void Touch(const wchar_t* path) { Append(path, ""); }

static int Stopped(void) { return GetFileAttributesW(g_stop) != INVALID_FILE_ATTRIBUTES; }

static void WaitForStop(void) {
  for (int i = 0; i < 1800 && !Stopped(); ++i) Sleep(100);
}

static LRESULT CALLBACK Stubborn(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  char line[64];
  if (message == WM_CLOSE) {
    sprintf(line, "close %ld\n", (long)lParam);
    Append(g_log, line);
    return 0;
  }
  if (message == 0x8066) {
    Append(g_log, "message 0x8066\n");
    return 0;
  }
  if (message == WM_TIMER && Stopped()) PostQuitMessage(0);
  return DefWindowProcW(window, message, wParam, lParam);
}

static int Utf8Line(HANDLE out, const char* label, const wchar_t* text) {
  char buffer[2048];
  DWORD written;
  int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer, NULL, NULL);
  if (length <= 0) return 1;
  WriteFile(out, label, (DWORD)strlen(label), &written, NULL);
  WriteFile(out, buffer, (DWORD)length - 1, &written, NULL);
  WriteFile(out, "\n", 1, &written, NULL);
  return 0;
}

static int ReadShortcut(const wchar_t* path, const wchar_t* outPath) {
  IShellLinkW* link;
  IPersistFile* file;
  wchar_t text[MAX_PATH * 2];
  int icon = -1;
  char number[32];
  HANDLE out;
  DWORD written;
  CoInitialize(NULL);
  if (FAILED(CoCreateInstance(&CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, &IID_IShellLinkW,
                              (void**)&link))) return 1;
  if (FAILED(IShellLinkW_QueryInterface(link, &IID_IPersistFile, (void**)&file))) return 1;
  if (FAILED(IPersistFile_Load(file, path, STGM_READ))) return 1;
  out = CreateFileW(outPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (out == INVALID_HANDLE_VALUE) return 1;
  text[0] = 0;
  IShellLinkW_GetPath(link, text, MAX_PATH * 2, NULL, SLGP_RAWPATH);
  Utf8Line(out, "target=", text);
  text[0] = 0;
  IShellLinkW_GetArguments(link, text, MAX_PATH * 2);
  Utf8Line(out, "arguments=", text);
  text[0] = 0;
  IShellLinkW_GetWorkingDirectory(link, text, MAX_PATH * 2);
  Utf8Line(out, "directory=", text);
  text[0] = 0;
  IShellLinkW_GetIconLocation(link, text, MAX_PATH * 2, &icon);
  Utf8Line(out, "icon=", text);
  sprintf(number, "index=%d\n", icon);
  WriteFile(out, number, (DWORD)strlen(number), &written, NULL);
  CloseHandle(out);
  IPersistFile_Release(file);
  IShellLinkW_Release(link);
  return 0;
}

int wmain(int argc, wchar_t** argv) {
  if (argc == 5 && wcscmp(argv[1], L"window") == 0) {
    WNDCLASSW windowClass = {0};
    MSG message;
    g_log = argv[3];
    g_stop = argv[4];
    windowClass.lpfnWndProc = Stubborn;
    windowClass.hInstance = GetModuleHandleW(NULL);
    windowClass.lpszClassName = argv[2];
    if (!RegisterClassW(&windowClass)) return 1;
    HWND window = CreateWindowW(argv[2], L"stubborn", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, NULL,
                                NULL, windowClass.hInstance, NULL);
    if (!window) return 1;
    SetTimer(window, 1, 100, NULL);
    Append(g_log, "ready\n");
    while (GetMessageW(&message, NULL, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
  }
  if (argc == 5 && wcscmp(argv[1], L"mutex") == 0) {
    g_stop = argv[4];
    if (!CreateMutexW(NULL, TRUE, argv[2])) return 1;
    Touch(argv[3]);
    WaitForStop();
    return 0;
  }
  int hold = argc == 5 && wcscmp(argv[1], L"hold") == 0;
  if (argc == 5 && (hold || wcscmp(argv[1], L"lock") == 0)) {
    g_stop = argv[4];
    HANDLE file = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ | (hold ? 0 : FILE_SHARE_DELETE), NULL,
                              OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return 1;
    Touch(argv[3]);
    WaitForStop();
    CloseHandle(file);
    return 0;
  }
  if (argc == 3 && wcscmp(argv[1], L"find") == 0) {
    for (int i = 0; i < 200; ++i) {
      if (FindWindowW(argv[2], NULL)) return 0;
      Sleep(100);
    }
    return 1;
  }
  if (argc == 4 && wcscmp(argv[1], L"lnk") == 0) return ReadShortcut(argv[2], argv[3]);
  /* A configuration command that takes its time, for pictures of the
   * Installing page. */
  if (argc == 3 && wcscmp(argv[1], L"sleep") == 0) {
    Sleep((DWORD)_wtoi(argv[2]));
    return 0;
  }
  return 2;
}
