/* The scripted walk through the installer's wizard (tp-driver --script).
 *
 * A script holds one step a line; empty lines and lines starting with "#"
 * are skipped. Steps run in order; a step that waits keeps the script at
 * that step while the driver goes on answering message boxes every 50 ms.
 *
 *   wait-wizard            wait until the wizard (the installer's dialog
 *                          with a folder field, item 21) is visible
 *   dump LABEL             report every control of the wizard:
 *                            DUMP LABEL title="..."
 *                            ITEM id=N class="..." visible=0|1 enabled=0|1
 *                                 check=0|1 text="..." [pos=N state=N]
 *                          (check for buttons, pos and state for progress
 *                          bars; texts escaped as in the other lines)
 *   click ID               click an item (BM_CLICK); fails unless the item
 *                          is visible and enabled
 *   type ID TEXT           set an item's text (WM_SETTEXT; the rest of the
 *                          line, possibly empty)
 *   key escape|enter       press a key in the wizard
 *   close                  the caption's close command (WM_SYSCOMMAND
 *                          SC_CLOSE)
 *   wait-visible ID, wait-hidden ID, wait-enabled ID, wait-disabled ID
 *   wait-text ID TEXT      wait for an item's state or exact text
 *   sleep MS               wait MS milliseconds
 *   wait-boxes N           wait until N message boxes have been answered
 *                          and closed since the start
 *   screenshot PATH        save the wizard as a 24-bit BMP file:
 *                            SHOT PATH WIDTHxHEIGHT
 *   browse PATH            in the folder-browse dialog, once it shows,
 *                          type PATH into its folder box and press OK
 *                          (Wine's dialog answers with its selection, not
 *                          with the typed text)
 *
 * A failed step reports "ABORT step N: ..." and ends the run (exit 125);
 * while the driver's timeout runs out at a waiting step, it reports
 * "WAITING step N: ..." before "TIMEOUT".
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "driver.h"

#define MAX_STEPS 512
#define BIG_TEXT 65536

enum { kStepDone, kStepWait, kStepFailed };

static wchar_t* g_steps[MAX_STEPS];
static int g_stepCount;
static int g_step;
static ULONGLONG g_sleepUntil;
static HWND g_wizard;

int LoadScript(const wchar_t* path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD size = GetFileSize(file, NULL), got = 0;
  char* bytes = (char*)malloc(size + 1);
  if (!bytes || !ReadFile(file, bytes, size, &got, NULL) || got != size) {
    CloseHandle(file);
    return 1;
  }
  CloseHandle(file);
  bytes[size] = 0;
  int units = MultiByteToWideChar(CP_UTF8, 0, bytes, -1, NULL, 0);
  wchar_t* text = (wchar_t*)calloc(units + 1, sizeof(wchar_t));
  MultiByteToWideChar(CP_UTF8, 0, bytes, -1, text, units);
  free(bytes);
  for (wchar_t* line = text; line && *line;) {
    wchar_t* end = wcschr(line, L'\n');
    if (end) *end = 0;
    size_t length = wcslen(line);
    if (length && line[length - 1] == L'\r') line[--length] = 0;
    if (length && line[0] != L'#') {
      if (g_stepCount == MAX_STEPS) return 1;
      g_steps[g_stepCount++] = line;
    }
    line = end ? end + 1 : NULL;
  }
  return 0;
}

static int IsOwnWindow(HWND window) {
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  return processId == g_childId && IsWindowVisible(window);
}

static int HasClass(HWND window, const wchar_t* name) {
  wchar_t className[64];
  GetClassNameW(window, className, 64);
  return _wcsicmp(className, name) == 0;
}

static BOOL CALLBACK FindWizard(HWND window, LPARAM parameter) {
  if (IsOwnWindow(window) && HasClass(window, L"#32770") && GetDlgItem(window, 21)) {
    *(HWND*)parameter = window;
    return FALSE;
  }
  return TRUE;
}

static HWND Wizard(void) {
  if (g_wizard && IsWindow(g_wizard)) return g_wizard;
  g_wizard = NULL;
  EnumWindows(FindWizard, (LPARAM)&g_wizard);
  return g_wizard;
}

/* Reports a failed step and ends the script. */
static int StepFailed(const wchar_t* step, const wchar_t* reason) {
  wchar_t line[TEXT_CAPACITY];
  swprintf(line, TEXT_CAPACITY, L"ABORT step %d: %ls: %ls", g_step + 1, step, reason);
  WriteLine(line);
  return kStepFailed;
}

/* The text of a window of the installer's process; the installer may be
 * busy for a while, so the request gives up after 10 s. */
static void ReadText(HWND window, wchar_t* text, size_t capacity) {
  DWORD_PTR ignored;
  text[0] = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, capacity, (LPARAM)text, SMTO_ABORTIFHUNG, 10000,
                           &ignored)) {
    text[0] = 0;
  }
  text[capacity - 1] = 0;
}

static LRESULT Ask(HWND window, UINT message) {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(window, message, 0, 0, SMTO_ABORTIFHUNG, 10000, &result);
  return (LRESULT)result;
}

static void DumpItem(HWND item, wchar_t* text) {
  wchar_t className[64], line[BIG_TEXT + 256];
  GetClassNameW(item, className, 64);
  ReadText(item, text, BIG_TEXT);
  swprintf(line, 256, L"ITEM id=%d class=\"%ls\" visible=%d enabled=%d", GetDlgCtrlID(item),
           className, IsWindowVisible(item) ? 1 : 0, IsWindowEnabled(item) ? 1 : 0);
  if (_wcsicmp(className, L"Button") == 0) {
    wchar_t check[16];
    swprintf(check, 16, L" check=%d", (int)Ask(item, BM_GETCHECK));
    Append(line, BIG_TEXT + 256, check);
  }
  Append(line, BIG_TEXT + 256, L" text=\"");
  AppendEscaped(line, BIG_TEXT + 256, text);
  Append(line, BIG_TEXT + 256, L"\"");
  if (_wcsicmp(className, L"msctls_progress32") == 0) {
    wchar_t progress[64];
    swprintf(progress, 64, L" pos=%d state=%d", (int)Ask(item, 0x408 /* PBM_GETPOS */),
             (int)Ask(item, 0x411 /* PBM_GETSTATE */));
    Append(line, BIG_TEXT + 256, progress);
  }
  WriteLine(line);
}

static int Dump(HWND wizard, const wchar_t* label) {
  static wchar_t text[BIG_TEXT];
  wchar_t line[TEXT_CAPACITY];
  ReadText(wizard, text, TEXT_CAPACITY);
  swprintf(line, TEXT_CAPACITY, L"DUMP %ls title=\"", label);
  AppendEscaped(line, TEXT_CAPACITY, text);
  Append(line, TEXT_CAPACITY, L"\"");
  WriteLine(line);
  for (HWND item = GetWindow(wizard, GW_CHILD); item; item = GetWindow(item, GW_HWNDNEXT)) {
    DumpItem(item, text);
  }
  return kStepDone;
}

int SaveWindowImage(HWND window, const wchar_t* path) {
  RECT area;
  GetWindowRect(window, &area);
  int width = area.right - area.left, height = area.bottom - area.top;
  if (width <= 0 || height <= 0) return 1;
  HDC screen = GetDC(NULL);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info;
  memset(&info, 0, sizeof(info));
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* pixels = NULL;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &pixels, NULL, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
  GdiFlush();
  DWORD stride = ((DWORD)width * 3 + 3) & ~3u;
  DWORD imageSize = stride * (DWORD)height;
  BITMAPFILEHEADER header;
  memset(&header, 0, sizeof(header));
  header.bfType = 0x4D42;
  header.bfOffBits = sizeof(header) + sizeof(info.bmiHeader);
  header.bfSize = header.bfOffBits + imageSize;
  info.bmiHeader.biSizeImage = imageSize;
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  DWORD written;
  int ok = file != INVALID_HANDLE_VALUE && WriteFile(file, &header, sizeof(header), &written, NULL) &&
           WriteFile(file, &info.bmiHeader, sizeof(info.bmiHeader), &written, NULL) &&
           WriteFile(file, pixels, imageSize, &written, NULL);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(NULL, screen);
  if (!ok) return 1;
  wchar_t line[TEXT_CAPACITY];
  swprintf(line, TEXT_CAPACITY, L"SHOT %ls %dx%d", path, width, height);
  WriteLine(line);
  return 0;
}

static int Screenshot(HWND window, const wchar_t* path, const wchar_t* step) {
  return SaveWindowImage(window, path) ? StepFailed(step, L"the window has no area or the file cannot be written")
                                       : kStepDone;
}

static BOOL CALLBACK FindBrowseDialog(HWND window, LPARAM parameter) {
  if (IsOwnWindow(window) && HasClass(window, L"#32770") && window != g_wizard &&
      FindWindowExW(window, NULL, L"SysTreeView32", NULL) != NULL) {
    *(HWND*)parameter = window;
    return FALSE;
  }
  return TRUE;
}

static BOOL CALLBACK FindEdit(HWND window, LPARAM parameter) {
  if (HasClass(window, L"Edit")) {
    *(HWND*)parameter = window;
    return FALSE;
  }
  return TRUE;
}

static int Browse(const wchar_t* path, const wchar_t* step) {
  HWND dialog = NULL, edit = NULL;
  EnumWindows(FindBrowseDialog, (LPARAM)&dialog);
  if (!dialog) return kStepWait;
  EnumChildWindows(dialog, FindEdit, (LPARAM)&edit);
  if (!edit) return StepFailed(step, L"the folder dialog has no folder box");
  DWORD_PTR ignored;
  SendMessageTimeoutW(edit, WM_SETTEXT, 0, (LPARAM)path, SMTO_ABORTIFHUNG, 10000, &ignored);
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(dialog, IDOK));
  return kStepDone;
}

/* Splits "word rest" in place: returns the rest (possibly empty). */
static wchar_t* SplitWord(wchar_t* text) {
  wchar_t* space = wcschr(text, L' ');
  if (!space) return text + wcslen(text);
  *space = 0;
  return space + 1;
}

static int RunStep(const wchar_t* source) {
  wchar_t step[TEXT_CAPACITY];
  wcsncpy(step, source, TEXT_CAPACITY - 1);
  step[TEXT_CAPACITY - 1] = 0;
  wchar_t command[64];
  wcsncpy(command, step, 63);
  command[63] = 0;
  wchar_t* argument = SplitWord(command);
  argument = step + (argument - command);
  if (wcscmp(command, L"sleep") == 0) {
    ULONGLONG now = GetTickCount64();
    if (g_sleepUntil == 0) g_sleepUntil = now + (ULONGLONG)_wtoi(argument);
    if (now < g_sleepUntil) return kStepWait;
    g_sleepUntil = 0;
    return kStepDone;
  }
  if (wcscmp(command, L"browse") == 0) return Browse(argument, source);
  if (wcscmp(command, L"wait-boxes") == 0) {
    return AnsweredBoxes() >= _wtoi(argument) ? kStepDone : kStepWait;
  }

  HWND wizard = Wizard();
  if (wcscmp(command, L"wait-wizard") == 0) return wizard ? kStepDone : kStepWait;
  if (!wizard) return StepFailed(source, L"no wizard");
  if (wcscmp(command, L"dump") == 0) return Dump(wizard, argument);
  if (wcscmp(command, L"screenshot") == 0) {
    /* Let the last changes paint first. */
    ULONGLONG now = GetTickCount64();
    if (g_sleepUntil == 0) g_sleepUntil = now + 500;
    if (now < g_sleepUntil) return kStepWait;
    g_sleepUntil = 0;
    return Screenshot(wizard, argument, source);
  }
  if (wcscmp(command, L"key") == 0) {
    WPARAM key = wcscmp(argument, L"escape") == 0 ? VK_ESCAPE
                 : wcscmp(argument, L"enter") == 0 ? VK_RETURN
                                                   : 0;
    if (!key) return StepFailed(source, L"unknown key");
    PostMessageW(wizard, WM_KEYDOWN, key, 1);
    PostMessageW(wizard, WM_KEYUP, key, 0xC0000001);
    return kStepDone;
  }
  if (wcscmp(command, L"close") == 0) {
    PostMessageW(wizard, WM_SYSCOMMAND, SC_CLOSE, 0);
    return kStepDone;
  }

  /* The remaining steps name an item. */
  wchar_t* text = SplitWord(argument);
  HWND item = GetDlgItem(wizard, _wtoi(argument));
  if (!item) return StepFailed(source, L"no such item");
  if (wcscmp(command, L"click") == 0) {
    if (!IsWindowVisible(item)) return StepFailed(source, L"the item is hidden");
    if (!IsWindowEnabled(item)) return StepFailed(source, L"the item is disabled");
    PostMessageW(item, BM_CLICK, 0, 0);
    return kStepDone;
  }
  if (wcscmp(command, L"type") == 0) {
    DWORD_PTR ignored;
    SendMessageTimeoutW(item, WM_SETTEXT, 0, (LPARAM)text, SMTO_ABORTIFHUNG, 10000, &ignored);
    return kStepDone;
  }
  if (wcscmp(command, L"wait-visible") == 0) return IsWindowVisible(item) ? kStepDone : kStepWait;
  if (wcscmp(command, L"wait-hidden") == 0) return IsWindowVisible(item) ? kStepWait : kStepDone;
  if (wcscmp(command, L"wait-enabled") == 0) return IsWindowEnabled(item) ? kStepDone : kStepWait;
  if (wcscmp(command, L"wait-disabled") == 0) return IsWindowEnabled(item) ? kStepWait : kStepDone;
  if (wcscmp(command, L"wait-text") == 0) {
    static wchar_t current[BIG_TEXT];
    ReadText(item, current, BIG_TEXT);
    return wcscmp(current, text) == 0 ? kStepDone : kStepWait;
  }
  return StepFailed(source, L"unknown step");
}

int RunScript(HANDLE process) {
  (void)process;
  while (g_step < g_stepCount) {
    int result = RunStep(g_steps[g_step]);
    if (result == kStepWait) return 0;
    if (result == kStepFailed) {
      g_step = g_stepCount;
      return 1;
    }
    ++g_step;
  }
  return 0;
}

void ReportWaitingStep(void) {
  if (g_step >= g_stepCount) return;
  wchar_t line[TEXT_CAPACITY];
  swprintf(line, TEXT_CAPACITY, L"WAITING step %d: %ls", g_step + 1, g_steps[g_step]);
  WriteLine(line);
}
