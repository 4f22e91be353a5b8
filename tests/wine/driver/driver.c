/* tp-driver: runs an installer under Wine for the end-to-end tests.
 *
 * Starts the installer, watches the top-level windows of its process, answers
 * every message box with the button the test chose and writes what it saw to
 * a report file, one UTF-8 line per event:
 *
 *   BOX caption="..." text="..." buttons=ok,cancel press=ok
 *   WINDOW class="..." title="..."        (with --windows)
 *   STDERR "..."                          (a line the installer wrote to its
 *                                          standard error, a pipe)
 *   EXIT <code>                           (the installer's exit code)
 *   TIMEOUT                               (the installer was killed)
 *   ABORT <reason>                        (the chosen button is not there,
 *                                          or a script step failed)
 *   DUMP / ITEM / SHOT lines              (with --script, see script.c)
 *
 * In quoted values a backslash, a double quote, CR, LF and TAB are written as
 * \\, \", \r, \n and \t, other control characters as \xHH.
 *
 * The driver exits with the installer's exit code, 124 after a timeout, 125
 * after an abort and 126 when it could not run at all. With --batch it runs
 * a list of installers, one report each (RunBatch). The report is written
 * line by line and unbuffered, so a crash still leaves what was seen.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "driver.h"

#define EXIT_TIMEOUT 124
#define EXIT_ABORT 125
#define EXIT_USAGE 126

#define MAX_ANSWERS 64
#define MAX_SEEN 256

static const wchar_t kUsage[] =
    L"usage: tp-driver --report FILE [--press BUTTON] [--answers B1,B2,...]\n"
    L"                 [--timeout SECONDS] [--windows] [--script FILE]\n"
    L"                 [--box-shot BMP]\n"
    L"                 (--cmdline LINE | -- PROGRAM [ARGUMENTS...])\n"
    L"       tp-driver --batch FILE [OPTIONS]   (FILE: REPORT<TAB>COMMAND LINE a line)\n"
    L"BUTTON: ok cancel abort retry ignore yes no tryagain continue none\n";

struct ButtonName {
  const wchar_t* name;
  int id;
};

/* "none" leaves the box open (the run then ends by its timeout). */
static const struct ButtonName kButtons[] = {
    {L"ok", IDOK},         {L"cancel", IDCANCEL},   {L"abort", IDABORT},
    {L"retry", IDRETRY},   {L"ignore", IDIGNORE},   {L"yes", IDYES},
    {L"no", IDNO},         {L"tryagain", 10},       {L"continue", 11},
    {L"none", 0},
};

static HANDLE g_report = INVALID_HANDLE_VALUE;
DWORD g_childId;
static int g_answers[MAX_ANSWERS];
static int g_answerCount;
static int g_boxesPressed;
static int g_nextAnswer;
static int g_defaultPress = IDOK;
static int g_dumpWindows;

/* Windows already reported: message boxes once, other windows again when
 * their title changes. */
struct SeenWindow {
  HWND window;
  unsigned long titleHash;
};
static struct SeenWindow g_seen[MAX_SEEN];
static int g_seenCount;
static HWND g_pressedBox;

static void Fail(const wchar_t* what, const wchar_t* detail) {
  fwprintf(stderr, L"tp-driver: %ls%ls\n", what, detail ? detail : L"");
}

void WriteLine(const wchar_t* line) {
  char utf8[TEXT_CAPACITY * 4];
  int length = WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8, sizeof(utf8) - 1, NULL, NULL);
  DWORD written;
  if (length <= 0) return;
  utf8[length - 1] = '\n'; /* replaces the terminator */
  WriteFile(g_report, utf8, (DWORD)length, &written, NULL);
}

/* Appends `text` to `out` (capacity `capacity`, always terminated), escaped. */
void AppendEscaped(wchar_t* out, size_t capacity, const wchar_t* text) {
  size_t at = wcslen(out);
  for (; *text; ++text) {
    wchar_t piece[8];
    switch (*text) {
      case L'\\': wcscpy(piece, L"\\\\"); break;
      case L'"': wcscpy(piece, L"\\\""); break;
      case L'\r': wcscpy(piece, L"\\r"); break;
      case L'\n': wcscpy(piece, L"\\n"); break;
      case L'\t': wcscpy(piece, L"\\t"); break;
      default:
        if (*text < 0x20) {
          swprintf(piece, 8, L"\\x%02X", (unsigned)*text);
        } else {
          piece[0] = *text;
          piece[1] = 0;
        }
    }
    size_t length = wcslen(piece);
    if (at + length + 1 > capacity) break;
    wcscpy(out + at, piece);
    at += length;
  }
}

void Append(wchar_t* out, size_t capacity, const wchar_t* text) {
  size_t at = wcslen(out);
  size_t length = wcslen(text);
  if (at + length + 1 > capacity) length = capacity - at - 1;
  memcpy(out + at, text, length * sizeof(wchar_t));
  out[at + length] = 0;
}

static const wchar_t* ButtonName(int id) {
  for (size_t i = 0; i < sizeof(kButtons) / sizeof(kButtons[0]); ++i) {
    if (kButtons[i].id == id) return kButtons[i].name;
  }
  return L"?";
}

/* Returns the id for a button name, or -1. */
static int ButtonId(const wchar_t* name, size_t length) {
  for (size_t i = 0; i < sizeof(kButtons) / sizeof(kButtons[0]); ++i) {
    if (wcslen(kButtons[i].name) == length && _wcsnicmp(kButtons[i].name, name, length) == 0) {
      return kButtons[i].id;
    }
  }
  return -1;
}

static unsigned long HashText(const wchar_t* text) {
  unsigned long hash = 5381;
  for (; *text; ++text) hash = hash * 33 + *text;
  return hash;
}

static struct SeenWindow* FindSeen(HWND window) {
  for (int i = 0; i < g_seenCount; ++i) {
    if (g_seen[i].window == window) return &g_seen[i];
  }
  return NULL;
}

static void RememberSeen(HWND window, unsigned long titleHash) {
  struct SeenWindow* entry = FindSeen(window);
  if (!entry) {
    if (g_seenCount == MAX_SEEN) return;
    entry = &g_seen[g_seenCount++];
    entry->window = window;
  }
  entry->titleHash = titleHash;
}

/* A message box is a dialog whose controls are only buttons and statics;
 * the installer's own dialogs also hold edits, progress bars and the like. */
struct ControlCensus {
  int buttons;
  int others;
  HWND firstText; /* the first static with text, for boxes whose text control has another id */
};

static BOOL CALLBACK CountControl(HWND control, LPARAM parameter) {
  struct ControlCensus* census = (struct ControlCensus*)parameter;
  wchar_t className[64];
  GetClassNameW(control, className, 64);
  if (_wcsicmp(className, L"Button") == 0) {
    ++census->buttons;
  } else if (_wcsicmp(className, L"Static") == 0) {
    wchar_t text[2];
    if (!census->firstText && InternalGetWindowText(control, text, 2) > 0) {
      census->firstText = control;
    }
  } else {
    ++census->others;
  }
  return TRUE;
}

static int IsMessageBox(HWND window, struct ControlCensus* census) {
  wchar_t className[64];
  GetClassNameW(window, className, 64);
  if (wcscmp(className, L"#32770") != 0) return 0;
  memset(census, 0, sizeof(*census));
  EnumChildWindows(window, CountControl, (LPARAM)census);
  return census->buttons > 0 && census->others == 0;
}

/* --box-shot: the picture of the first message box goes here. */
static const wchar_t* g_boxShot;

static int NextPress(void) {
  if (g_nextAnswer < g_answerCount) return g_answers[g_nextAnswer++];
  return g_defaultPress;
}

/* Reports a message box and presses the chosen button. Returns 0, or 1 when
 * the button is not on the box (the run is aborted). */
static int AnswerBox(HWND box, const struct ControlCensus* census) {
  wchar_t caption[TEXT_CAPACITY], text[TEXT_CAPACITY], line[TEXT_CAPACITY * 2];
  caption[0] = text[0] = 0;
  InternalGetWindowText(box, caption, TEXT_CAPACITY);
  HWND textControl = GetDlgItem(box, 0xFFFF);
  if (!textControl || InternalGetWindowText(textControl, text, TEXT_CAPACITY) == 0) {
    if (census->firstText) InternalGetWindowText(census->firstText, text, TEXT_CAPACITY);
  }

  line[0] = 0;
  Append(line, TEXT_CAPACITY * 2, L"BOX caption=\"");
  AppendEscaped(line, TEXT_CAPACITY * 2, caption);
  Append(line, TEXT_CAPACITY * 2, L"\" text=\"");
  AppendEscaped(line, TEXT_CAPACITY * 2, text);
  Append(line, TEXT_CAPACITY * 2, L"\" buttons=");
  int listed = 0;
  for (size_t i = 0; i < sizeof(kButtons) / sizeof(kButtons[0]); ++i) {
    HWND button = kButtons[i].id ? GetDlgItem(box, kButtons[i].id) : NULL;
    if (button && IsWindowVisible(button)) {
      if (listed++) Append(line, TEXT_CAPACITY * 2, L",");
      Append(line, TEXT_CAPACITY * 2, kButtons[i].name);
    }
  }
  if (g_boxShot) {
    /* Once, after the box has painted. */
    Sleep(500);
    SaveWindowImage(box, g_boxShot);
    g_boxShot = NULL;
  }
  int press = NextPress();
  Append(line, TEXT_CAPACITY * 2, L" press=");
  Append(line, TEXT_CAPACITY * 2, ButtonName(press));
  WriteLine(line);

  RememberSeen(box, 0);
  if (press == 0) return 0;
  HWND button = GetDlgItem(box, press);
  if (!button || !IsWindowVisible(button)) {
    wchar_t reason[64];
    swprintf(reason, 64, L"ABORT no %ls button", ButtonName(press));
    WriteLine(reason);
    return 1;
  }
  g_pressedBox = box;
  ++g_boxesPressed;
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(press, BN_CLICKED), (LPARAM)button);
  return 0;
}

int AnsweredBoxes(void) {
  return g_pressedBox && IsWindow(g_pressedBox) ? g_boxesPressed - 1 : g_boxesPressed;
}

static void ReportWindow(HWND window) {
  wchar_t className[256], title[TEXT_CAPACITY], line[TEXT_CAPACITY * 2];
  title[0] = 0;
  GetClassNameW(window, className, 256);
  InternalGetWindowText(window, title, TEXT_CAPACITY);
  unsigned long hash = HashText(title);
  struct SeenWindow* seen = FindSeen(window);
  if (seen && seen->titleHash == hash) return;
  RememberSeen(window, hash);
  line[0] = 0;
  Append(line, TEXT_CAPACITY * 2, L"WINDOW class=\"");
  AppendEscaped(line, TEXT_CAPACITY * 2, className);
  Append(line, TEXT_CAPACITY * 2, L"\" title=\"");
  AppendEscaped(line, TEXT_CAPACITY * 2, title);
  Append(line, TEXT_CAPACITY * 2, L"\"");
  WriteLine(line);
}

struct ScanState {
  int aborted;
};

static BOOL CALLBACK ScanWindow(HWND window, LPARAM parameter) {
  struct ScanState* state = (struct ScanState*)parameter;
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  if (processId != g_childId || !IsWindowVisible(window)) return TRUE;
  struct ControlCensus census;
  if (IsMessageBox(window, &census)) {
    /* One box at a time: a pressed box may linger for a moment. */
    if (FindSeen(window) || (g_pressedBox && IsWindow(g_pressedBox))) return TRUE;
    if (AnswerBox(window, &census)) {
      state->aborted = 1;
      return FALSE;
    }
  } else if (g_dumpWindows) {
    ReportWindow(window);
  }
  return TRUE;
}

/* Parses "ok,cancel,..." into g_answers. Returns 0, or 1 on an unknown name. */
static int ParseAnswers(const wchar_t* list) {
  while (*list) {
    const wchar_t* end = wcschr(list, L',');
    size_t length = end ? (size_t)(end - list) : wcslen(list);
    int id = ButtonId(list, length);
    if (id < 0 || g_answerCount == MAX_ANSWERS) return 1;
    g_answers[g_answerCount++] = id;
    list += length;
    if (*list == L',') ++list;
  }
  return 0;
}

/* Builds "\"PROGRAM\" ARG ARG..." with the arguments appended verbatim, so
 * a test controls the exact command-line tail the installer sees. */
static wchar_t* BuildCommandLine(int count, wchar_t** words) {
  size_t size = 3;
  for (int i = 0; i < count; ++i) size += wcslen(words[i]) + 1;
  wchar_t* line = (wchar_t*)calloc(size, sizeof(wchar_t));
  if (!line) return NULL;
  wcscpy(line, L"\"");
  wcscat(line, words[0]);
  wcscat(line, L"\"");
  for (int i = 1; i < count; ++i) {
    wcscat(line, L" ");
    wcscat(line, words[i]);
  }
  return line;
}

/* Reports what the installer wrote to its standard error as STDERR lines,
 * one for each line it wrote (UTF-8, ended by CRLF or LF); reads only what
 * is there, so a process that inherited the pipe cannot hold the driver. */
static void ReportStandardError(HANDLE pipe) {
  static char text[8192];
  DWORD size = 0, got = 0;
  if (!PeekNamedPipe(pipe, NULL, 0, NULL, &size, NULL) || size == 0) return;
  if (size > sizeof(text) - 1) size = sizeof(text) - 1;
  if (!ReadFile(pipe, text, size, &got, NULL)) return;
  text[got] = 0;
  for (char* line = text; *line;) {
    char* end = strchr(line, '\n');
    if (end) *end = 0;
    size_t length = strlen(line);
    if (length && line[length - 1] == '\r') line[length - 1] = 0;
    wchar_t wide[TEXT_CAPACITY], out[TEXT_CAPACITY];
    if (!MultiByteToWideChar(CP_UTF8, 0, line, -1, wide, TEXT_CAPACITY)) wcscpy(wide, L"(not UTF-8)");
    wcscpy(out, L"STDERR \"");
    AppendEscaped(out, TEXT_CAPACITY - 1, wide);
    Append(out, TEXT_CAPACITY, L"\"");
    WriteLine(out);
    if (!end) break;
    line = end + 1;
  }
}

/* Runs one installer to its end, answering its boxes; the report gets its
 * lines. Returns the installer's exit code, or EXIT_TIMEOUT, EXIT_ABORT or
 * EXIT_USAGE. */
static int RunInstaller(const wchar_t* reportPath, wchar_t* commandLine, double timeoutSeconds) {
  g_report = CreateFileW(reportPath, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, NULL);
  if (g_report == INVALID_HANDLE_VALUE) return Fail(L"cannot create ", reportPath), EXIT_USAGE;
  g_seenCount = 0;
  g_pressedBox = NULL;
  g_boxesPressed = 0;
  g_nextAnswer = 0;

  STARTUPINFOW startup;
  PROCESS_INFORMATION child;
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  /* The installer's standard error is a pipe, as for a deployment script
   * that redirects it; its other standard handles stay closed. */
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), NULL, TRUE};
  HANDLE errorRead = NULL, errorWrite = NULL;
  if (!CreatePipe(&errorRead, &errorWrite, &inherit, 65536)) {
    Fail(L"cannot create a pipe", NULL);
    CloseHandle(g_report);
    return EXIT_USAGE;
  }
  SetHandleInformation(errorRead, HANDLE_FLAG_INHERIT, 0);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdError = errorWrite;
  // Wine on a loaded machine occasionally fails to start a process (error
  // 1359); nothing has run then, so a few more tries are safe.
  BOOL started = FALSE;
  for (int attempt = 0; attempt < 5 && !started; ++attempt) {
    if (attempt != 0) {
      fwprintf(stderr, L"tp-driver: start failed (error %lu), trying again\n", GetLastError());
      Sleep(500);
    }
    started = CreateProcessW(NULL, commandLine, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &child);
  }
  CloseHandle(errorWrite);
  if (!started) {
    wchar_t line[64];
    swprintf(line, 64, L"ABORT cannot start (error %lu)", GetLastError());
    WriteLine(line);
    Fail(L"cannot start ", commandLine);
    CloseHandle(errorRead);
    CloseHandle(g_report);
    return EXIT_USAGE;
  }
  CloseHandle(child.hThread);
  g_childId = child.dwProcessId;

  int result;
  ULONGLONG deadline = GetTickCount64() + (ULONGLONG)(timeoutSeconds * 1000);
  for (;;) {
    if (WaitForSingleObject(child.hProcess, 50) == WAIT_OBJECT_0) {
      DWORD exitCode = 0;
      GetExitCodeProcess(child.hProcess, &exitCode);
      ReportStandardError(errorRead);
      wchar_t line[32];
      swprintf(line, 32, L"EXIT %lu", exitCode);
      WriteLine(line);
      result = (int)exitCode;
      break;
    }
    struct ScanState state = {0};
    EnumWindows(ScanWindow, (LPARAM)&state);
    if (!state.aborted && RunScript(child.hProcess)) state.aborted = 1;
    if (state.aborted || GetTickCount64() > deadline) {
      if (!state.aborted) {
        ReportWaitingStep();
        WriteLine(L"TIMEOUT");
      }
      TerminateProcess(child.hProcess, 1);
      WaitForSingleObject(child.hProcess, 5000);
      result = state.aborted ? EXIT_ABORT : EXIT_TIMEOUT;
      break;
    }
  }
  CloseHandle(child.hProcess);
  CloseHandle(errorRead);
  CloseHandle(g_report);
  return result;
}

/* --batch FILE: one run after another, each line "REPORT<TAB>COMMAND LINE"
 * (UTF-8), with the same options (no --script); every run starts again at
 * the first answer. Saves a driver start per installer where a start costs seconds
 * (the emulated i686 guest). Returns 0 when every installer ran to its end,
 * whatever its exit code, else the code of the first run that did not. */
static int RunBatch(const wchar_t* listPath, double timeoutSeconds) {
  HANDLE file = CreateFileW(listPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return Fail(L"cannot read ", listPath), EXIT_USAGE;
  DWORD size = GetFileSize(file, NULL), got = 0;
  char* bytes = (char*)malloc(size + 1);
  if (!bytes || !ReadFile(file, bytes, size, &got, NULL) || got != size) {
    CloseHandle(file);
    return Fail(L"cannot read ", listPath), EXIT_USAGE;
  }
  CloseHandle(file);
  bytes[size] = 0;
  int units = MultiByteToWideChar(CP_UTF8, 0, bytes, -1, NULL, 0);
  wchar_t* text = (wchar_t*)calloc(units + 1, sizeof(wchar_t));
  if (!text) return EXIT_USAGE;
  MultiByteToWideChar(CP_UTF8, 0, bytes, -1, text, units);
  free(bytes);
  int result = 0;
  for (wchar_t* line = text; line && *line;) {
    wchar_t* end = wcschr(line, L'\n');
    if (end) *end = 0;
    size_t length = wcslen(line);
    if (length && line[length - 1] == L'\r') line[--length] = 0;
    wchar_t* tab = wcschr(line, L'\t');
    if (length) {
      if (!tab) return Fail(L"a batch line without a tab: ", line), EXIT_USAGE;
      *tab = 0;
      int code = RunInstaller(line, tab + 1, timeoutSeconds);
      if (result == 0 && (code == EXIT_TIMEOUT || code == EXIT_ABORT || code == EXIT_USAGE)) result = code;
    }
    line = end ? end + 1 : NULL;
  }
  return result;
}

int wmain(int argc, wchar_t** argv) {
  const wchar_t* reportPath = NULL;
  const wchar_t* batchPath = NULL;
  wchar_t* commandLine = NULL;
  double timeoutSeconds = 60;
  int scripted = 0;
  int i = 1;
  for (; i < argc; ++i) {
    const wchar_t* option = argv[i];
    int hasValue = i + 1 < argc;
    if (wcscmp(option, L"--") == 0) {
      ++i;
      break;
    } else if (wcscmp(option, L"--report") == 0 && hasValue) {
      reportPath = argv[++i];
    } else if (wcscmp(option, L"--batch") == 0 && hasValue) {
      batchPath = argv[++i];
    } else if (wcscmp(option, L"--press") == 0 && hasValue) {
      g_defaultPress = ButtonId(argv[i + 1], wcslen(argv[i + 1]));
      if (g_defaultPress < 0) return Fail(L"unknown button ", argv[i + 1]), EXIT_USAGE;
      ++i;
    } else if (wcscmp(option, L"--answers") == 0 && hasValue) {
      if (ParseAnswers(argv[++i])) return Fail(L"bad answer list ", argv[i]), EXIT_USAGE;
    } else if (wcscmp(option, L"--timeout") == 0 && hasValue) {
      timeoutSeconds = wcstod(argv[++i], NULL);
    } else if (wcscmp(option, L"--box-shot") == 0 && hasValue) {
      g_boxShot = argv[++i];
    } else if (wcscmp(option, L"--windows") == 0) {
      g_dumpWindows = 1;
    } else if (wcscmp(option, L"--script") == 0 && hasValue) {
      if (LoadScript(argv[++i])) return Fail(L"cannot read the script ", argv[i]), EXIT_USAGE;
      scripted = 1;
    } else if (wcscmp(option, L"--cmdline") == 0 && hasValue) {
      commandLine = _wcsdup(argv[++i]);
    } else {
      fwprintf(stderr, L"%ls", kUsage);
      return EXIT_USAGE;
    }
  }
  if (timeoutSeconds > 0 && batchPath && !reportPath && !commandLine && i == argc && !scripted) {
    return RunBatch(batchPath, timeoutSeconds);
  }
  if (!commandLine && i < argc) commandLine = BuildCommandLine(argc - i, argv + i);
  if (!reportPath || !commandLine || timeoutSeconds <= 0 || batchPath) {
    fwprintf(stderr, L"%ls", kUsage);
    return EXIT_USAGE;
  }
  return RunInstaller(reportPath, commandLine, timeoutSeconds);
}
