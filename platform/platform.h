// The installer's only door to Windows. Each routine is a narrow wrapper named
// after what the installer relies on. The Windows builds link the real
// implementation (platform/win32); the native build links a recording fake
// (platform/fake) so tests can assert the order of effects.
#pragma once

#include <stdarg.h>

#include "base/types.h"

typedef void* PlatformFile;  // null when no file is open

// Module and process.
const uint8_t* GetModuleImage();  // the running executable's mapped image
void* GetInstanceHandle();
// Full path of the running executable; returns 0 on success, 1 when it did
// not fit `capacity` units or could not be obtained.
int GetOwnPath(Char16* buffer, uint32_t capacity);
[[noreturn]] void EndProcess(uint32_t exitCode);

// Files.
PlatformFile OpenFileForReading(const Char16* path);  // shared for reading
// Size of an open file; 0 on failure.
uint64_t QueryFileSize(PlatformFile file);
// Reads exactly `size` bytes at `offset`. Returns 0 on success, 1 otherwise.
int ReadFileAt(PlatformFile file, uint64_t offset, void* buffer, uint32_t size);
void CloseFile(PlatformFile file);

// Fills `size` bytes at `buffer` from the system's random generator
// (RtlGenRandom, SystemFunction036 of advapi32, looked up by name). Returns
// 0, or 1 when there is none.
int GenerateRandom(void* buffer, uint32_t size);

// Machine probing sources.
// Native machine from IsWow64Process2 (looked up at run time). Returns 1 with
// `machine` set when the function exists and succeeded, else 0.
int QueryNativeMachine(uint16_t* machine);
// wProcessorArchitecture from GetNativeSystemInfo.
uint16_t QueryNativeProcessorArchitecture();
// Major and minor version from GetVersionExW (0.0 when the query fails).
void QueryWindowsVersion(uint32_t* major, uint32_t* minor);

// WOW64 file-system redirection for the current thread, looked up by name at
// every call. Each returns the Windows result (1 on success), or 0 when the
// function does not exist; DisableFsRedirection then leaves `saved` alone.
int DisableFsRedirection(void** saved);
int RevertFsRedirection(void* saved);

// Start-up.
// The 8-bit command line of the process (GetCommandLineA).
const char* GetCommandLine8();
// dwFlags and wShowWindow of GetStartupInfoA.
void QueryStartupInfo(uint32_t* flags, uint16_t* showWindow);
// GetUserDefaultLangID: the LANGID of the user's regional-format setting.
uint16_t QueryUserLanguage();
// IsUserAnAdmin: non-zero when the user has administrator rights.
int IsAdministrator();
// CoInitialize(null); returns the HRESULT.
int32_t InitializeCom();
// ShellExecuteW(null, "open", target, null, directory, SW_SHOWNORMAL); a
// null directory is passed as null. Returns its result (greater than 32 on
// success).
intptr_t OpenWithShell(const Char16* target, const Char16* directory);
// Restricts where the process looks for libraries to the system directory
// (SetDefaultDllDirectories when the system has it, else SetDllDirectoryW
// with an empty text, which at least drops the current directory), so that a
// library lying beside the installer is never loaded in its place.
void RestrictLibrarySearch();
// Loads a system library (name without ".dll") from the system directory
// only. Returns non-zero when it is loaded; it stays loaded.
int LoadSystemLibrary(const char* name);
// InitCommonControls.
void InitializeCommonControls();

// User interface.
// MessageBoxW; a null caption uses the system's default. Returns the button.
int ShowMessageBox(void* owner, const Char16* text, const Char16* caption, uint32_t type);
// Writes `text` and a line end, as UTF-8, to the process's standard error
// when it has one (a script that started it redirected it); else nothing.
void WriteStandardError(const Char16* text);
// The system's own description of the Windows error `code`, in the user's
// language (FormatMessageW), into `buffer` of `capacity` units; empty when
// the system has none.
void DescribeError(uint32_t code, Char16* buffer, uint32_t capacity);

// wvnsprintfW: formats into `buffer` of `capacity` units (terminator
// included). A result that does not fit is cut; the buffer is always
// terminated when `capacity` is non-zero.
void FormatTextV(Char16* buffer, uint32_t capacity, const Char16* format, va_list arguments);

// Message-box types and results used by the installer.
const uint32_t kMbOk = 0x00;
const uint32_t kMbOkCancel = 0x01;
const uint32_t kMbYesNo = 0x04;
const uint32_t kMbIconError = 0x10;
const uint32_t kMbIconQuestion = 0x20;
const uint32_t kMbIconWarning = 0x30;
const uint32_t kMbIconInformation = 0x40;
const int kIdOk = 1;
const int kIdCancel = 2;
const int kIdYes = 6;
const int kIdNo = 7;

// Installation.
// Calling convention of the routines Windows calls back (timer procedures).
#if defined(_WIN32) && !defined(_WIN64)
#define PLATFORM_CALLBACK __stdcall
#else
#define PLATFORM_CALLBACK
#endif

// A second thread, for decoding ahead of the install. Signals are
// auto-reset events: raising one lets one wait through, at once if nobody
// is waiting yet.
typedef uint32_t(PLATFORM_CALLBACK* ThreadProcedure)(void* parameter);
// Starts `procedure` with `parameter` on a new thread. Returns 1, or 0 when
// no thread could be started.
int StartThread(ThreadProcedure procedure, void* parameter);
void* CreateSignal();  // null when it cannot be created
void RaiseSignal(void* signal);
void WaitForSignal(void* signal);

typedef void* RegistryKey;

// Registry access, always under HKEY_LOCAL_MACHINE; key paths are 8-bit
// (RegOpenKeyExA, RegCreateKeyExA), values are read and written with the W
// functions: their names are given in ASCII (widened, at most 31
// characters) and their texts are UTF-16. Each returns the Windows result:
// 0 (ERROR_SUCCESS) on success.
int32_t OpenMachineKey(const char* path, uint32_t access, RegistryKey* key);
// Creates the key or opens the existing one (no class, options 0).
int32_t CreateMachineKey(const char* path, uint32_t access, RegistryKey* key);
// RegQueryValueExW into `data`, allowing `*size` bytes; `*size` receives the
// byte count the call reports.
int32_t QueryRegistryValue(RegistryKey key, const char* name, void* data, uint32_t* size);
int32_t SetRegistryValue(RegistryKey key, const char* name, uint32_t type, const void* data,
                         uint32_t size);
void CloseRegistryKey(RegistryKey key);

const uint32_t kKeyRead = 0x20019;
const uint32_t kKeyWrite = 0x20006;
const uint32_t kRegSz = 1;
const uint32_t kRegDword = 4;

// GetFileAttributesW; kInvalidAttributes when the path does not exist.
uint32_t QueryFileAttributes(const Char16* path);
const uint32_t kInvalidAttributes = 0xFFFFFFFFu;
const uint32_t kAttributeDirectory = 0x10;
// CreateDirectoryW with the security descriptor kAdministratorsOnlyFolder
// (platform/folder_security.h): only SYSTEM and Administrators may change
// what the installer creates, wherever it is. 0, or the error
// (kErrorAlreadyExists when the folder, or a file of its name, exists).
uint32_t CreateFolder(const Char16* path);
// CreateFileW with GENERIC_WRITE, no sharing and `disposition`: kCreateAlways
// (CREATE_ALWAYS), kCreateNew (CREATE_NEW: fails with ERROR_FILE_EXISTS, 80,
// when the file exists) or kOpenExisting (OPEN_EXISTING: the file is not
// changed; fails with ERROR_SHARING_VIOLATION while another program has it
// open, as the other two do). Returns 0 with `*file` set, else the
// GetLastError code.
const uint32_t kCreateNew = 1;
const uint32_t kCreateAlways = 2;
const uint32_t kOpenExisting = 3;
uint32_t CreateFileForWriting(const Char16* path, PlatformFile* file, uint32_t disposition = kCreateAlways);
// Opens the folder `path` (no separator at its end but a drive root's: a
// path that ends in one names what a link leads to, not the link) to hold
// it while the install runs: it can then be
// neither renamed nor deleted (no FILE_SHARE_DELETE). Null when it cannot
// be opened, or when it is itself a link or mount point (it is opened with
// FILE_FLAG_OPEN_REPARSE_POINT and its attributes are looked at).
PlatformFile HoldFolder(const Char16* path);
// The path Windows reached for an open file or folder, every link and
// mount point on the way resolved (GetFinalPathNameByHandleW, looked up by
// name), in the "\\?\C:\..." form, into `buffer` of `capacity` units.
// Returns 0, or 1 where the system has no such function or it fails.
int QueryFinalPath(PlatformFile file, Char16* buffer, uint32_t capacity);
const uint32_t kErrorReparsePoint = 4395;  // ERROR_REPARSE_POINT_ENCOUNTERED

// WriteFile of `size` bytes; `*written` receives the count WriteFile reports.
// Returns 0 when all bytes were written, else the GetLastError code, or
// kErrorDiskFull when the write came up short without one.
uint32_t WriteFileBytes(PlatformFile file, const void* data, uint32_t size, uint32_t* written);
// SetFileTime with only the last-write time (a FILETIME's two halves).
void SetFileWriteTime(PlatformFile file, uint32_t timeLow, uint32_t timeHigh);
// Calls `visit` with the name (no folder) and the last-write time (a
// FILETIME) of every file that matches the wildcard `pattern`, a full path
// (FindFirstFileW, FindNextFileW); folders are skipped. With `folders`,
// every folder but "." and ".." instead, and files are skipped.
typedef void (*FileVisitor)(const Char16* name, uint64_t writeTime, void* context);
void ListFiles(const Char16* pattern, FileVisitor visit, void* context, int folders = 0);
// DeleteFileW; non-zero on success.
int DeleteFileAt(const Char16* path);
// MoveFileExW(path, null, MOVEFILE_DELAY_UNTIL_REBOOT): the file goes at
// the next restart. Result not examined.
void DeleteAtRestart(const Char16* path);
// RemoveDirectoryW: only an empty folder goes. Result not examined.
void RemoveFolder(const Char16* path);
// MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING): 0, or the error.
uint32_t MoveFileReplacing(const Char16* from, const Char16* to);

const uint32_t kErrorFileExists = 80;
const uint32_t kErrorAlreadyExists = 183;
const uint32_t kErrorSharingViolation = 32;
const uint32_t kErrorDiskFull = 112;
const uint32_t kErrorPathTooLong = 206;  // ERROR_FILENAME_EXCED_RANGE

// MultiByteToWideChar(CP_ACP, 0, text, -1, ...): returns 0 when the converted
// text with its terminator fit `capacity` units, else 1 (a non-zero buffer
// is then cut and terminated; a capacity of 0 writes nothing).
int ConvertAnsiText(const char* text, Char16* buffer, uint32_t capacity);
// ExpandEnvironmentStringsW; returns its result (units needed, terminator
// included; 0 on failure). Only a result of 1 to `capacity` leaves a
// complete text in the buffer.
uint32_t ExpandEnvironment(const Char16* text, Char16* buffer, uint32_t capacity);
// SHGetSpecialFolderPathW with no owner into a 260-unit buffer; returns
// non-zero on success and leaves the buffer empty on failure.
int QuerySpecialFolder(int folder, int create, Char16* buffer);
const int kFolderDesktop = 16;        // CSIDL_DESKTOPDIRECTORY
const int kFolderCommonPrograms = 23; // CSIDL_COMMON_PROGRAMS
const int kFolderLocalAppData = 28;   // CSIDL_LOCAL_APPDATA

// The generated uninstaller.
// The UTF-16 command line of the process (GetCommandLineW).
const Char16* GetCommandLine16();
// RegDeleteKeyExA under HKEY_LOCAL_MACHINE with the view bits of `view`
// (RegDeleteKeyA where the system has no views). Returns the Windows result.
int32_t DeleteMachineKey(const char* path, uint32_t view);
// lstrcmpiW: 1 when the texts are equal but for case, else 0.
int IsSameTextIgnoringCase(const Char16* a, const Char16* b);
// GetTempPathW into a kPathCapacity-unit buffer, ending in "\"; 0 on
// success, 1 when there is none or it does not fit.
int QueryTemporaryFolder(Char16* buffer);
// CreateDirectoryW with the security descriptor of the SDDL text `access`
// (ConvertStringSecurityDescriptorToSecurityDescriptorW). Returns 0, or the
// error: kErrorAlreadyExists when the name is taken.
uint32_t CreateProtectedFolder(const Char16* path, const Char16* access);
// Opens the existing file at `path` for reading, to be deleted when its last
// handle closes (GENERIC_READ | DELETE, FILE_SHARE_READ only,
// FILE_FLAG_DELETE_ON_CLOSE): while it is open nobody can write, rename or
// delete the file, and it cannot open while anyone can write it. The handle
// is inherited by the processes StartInheritingProcess starts, close it
// with CloseFile. Returns it, or null.
PlatformFile HoldForExecution(const Char16* path);
// Opens the folder at `path` to be deleted when its last handle closes and
// leaves it open: it goes, once empty, when the process ends.
void RemoveFolderAtExit(const Char16* path);
// A pipe whose write end is inherited: returns 0 with both ends set.
int CreateResultPipe(void** readEnd, void** writeEnd);
// ReadPipe reads until `size` bytes have come or the other end is closed,
// and returns the count read; WritePipe writes all of `data`.
uint32_t ReadPipe(void* end, void* buffer, uint32_t size);
void WritePipe(void* end, const void* data, uint32_t size);
// CreateProcessW of the writable command line with handles inherited;
// returns the process handle, or null.
void* StartInheritingProcess(Char16* commandLine);
// OpenProcess(SYNCHRONIZE) of a process by its id; null when it is gone.
void* OpenProcessToWait(uint32_t processId);
// Waits at most `milliseconds` for the process to end; returns its exit
// code, or kStillRunning.
uint32_t WaitForProcess(void* process, uint32_t milliseconds);
const uint32_t kStillRunning = 259;
uint32_t CurrentProcessId();
void CloseObject(void* handle);

// Windows, messages and timers.
void SleepFor(uint32_t milliseconds);
// FindWindowW; a null class or title matches any.
void* FindProductWindow(const Char16* windowClass, const Char16* title);
// SendMessageW; returns its result.
intptr_t SendWindowMessage(void* window, uint32_t message, uintptr_t wParam, intptr_t lParam);
// GetDlgItem; null for a null window.
void* GetDialogItem(void* window, int id);
// OpenMutexW(SYNCHRONIZE, not inherited, name); closes the handle again.
// Returns 1 when the mutex exists, else 0.
int IsMutexPresent(const Char16* name);
typedef void(PLATFORM_CALLBACK* TimerProcedure)(void* window, uint32_t message, uintptr_t id,
                                                uint32_t time);
void StartTimer(void* window, uintptr_t id, uint32_t period, TimerProcedure procedure);
void StopTimer(void* window, uintptr_t id);
// Starts the command line (writable; no application name, handles not
// inherited) and waits for the process to end while dispatching every
// message of the thread. Returns its exit code, or 0x12345678 when it could
// not be started.
uint32_t RunAndWait(Char16* commandLine);
const uint32_t kNotStarted = 0x12345678u;

// Shell.
// Saves a shell link (IShellLinkW through IPersistFile::Save). Null
// arguments, directory or icon path are not set. Needs COM initialised.
// Returns 1 when the link file was saved, else 0.
int CreateShellLink(const Char16* linkPath, const Char16* target, const Char16* arguments,
                    const Char16* directory, const Char16* iconPath, int iconIndex);
// SHChangeNotify(SHCNE_CREATE, SHCNF_PATHW, path, null).
void NotifyShellCreated(const Char16* path);

// Appends a log line at the end of the rich-edit pane, moving the focus
// there; does nothing for a null pane.
void AppendLogText(void* pane, const Char16* text);

// Dialogs and controls. `window` is a dialog, `id` one of its items.
typedef intptr_t(PLATFORM_CALLBACK* DialogProcedure)(void* window, uint32_t message,
                                                     uintptr_t wParam, intptr_t lParam);
// DialogBoxParamW with template `templateId`, no owner and `parameter` as the
// WM_INITDIALOG lParam; returns when the dialog has ended.
intptr_t RunModalDialog(void* instance, int templateId, DialogProcedure procedure,
                        intptr_t parameter);
// EndDialog.
void EndModalDialog(void* window, intptr_t result);
// SetDlgItemTextW. Setting the text of an edit control makes it notify its
// dialog with EN_CHANGE at once.
void SetItemText(void* window, int id, const Char16* text);
// GetDlgItemTextW into `capacity` units; returns the length copied.
uint32_t GetItemText(void* window, int id, Char16* buffer, uint32_t capacity);
// ShowWindow on the item with kShow or kHide.
void ShowItem(void* window, int id, int command);
const int kHide = 0;
const int kShow = 5;
// EnableWindow on the item.
void EnableItem(void* window, int id, int enable);
// CheckDlgButton with kUnchecked or kChecked.
void CheckItem(void* window, int id, uint32_t state);
const uint32_t kUnchecked = 0;
const uint32_t kChecked = 1;
// 1 when IsDlgButtonChecked reports BST_CHECKED, else 0.
int IsItemChecked(void* window, int id);
// SetWindowTextW on any window.
void SetWindowText16(void* window, const Char16* text);
// Puts 8-bit text into a rich-edit control (EM_SETTEXTEX, the system's ANSI
// code page): text that begins with "{\rtf" is read as RTF, other text is
// converted from the code page. (WM_SETTEXT reads RTF only where the
// control gets the 8-bit message, which a Unicode control under Wine does
// not.)
void SetRichText8(void* control, const char* text);
// GetDlgCtrlID of a control window.
int GetControlId(void* control);
// For WM_CTLCOLORSTATIC: draws the control's text without a background on
// `deviceContext` (SetBkMode TRANSPARENT) and returns the stock white brush.
intptr_t PaintOnWhite(void* deviceContext);
// Greys the Close command of the window menu (and so the caption's close
// button).
void DisableCloseCommand(void* window);
// SHAutoComplete with file-system completion on an edit control.
void EnableFolderCompletion(void* field);
// LoadIconW of icon resource 1; null when there is none.
void* LoadProductIcon(void* instance);
// CreateFontW of "MS Shell Dlg" with a cell height of `height` pixels and
// `weight`, DEFAULT_CHARSET, FIXED_PITCH; null on failure.
void* CreateUiFont(int height, int weight);
// Pixels per logical inch of the display (96 at 100 %).
uint32_t QueryDisplayDpi();
// Shows the system's wait cursor and returns the previous cursor.
void* ShowWaitCursor();
void RestoreCursor(void* cursor);
// InvalidateRect of the whole window, with erasing.
void RepaintWindow(void* window);
// Creates the child window of `className` with `style` and item id `id`
// over dialog item `frameId`, one pixel inside its frame. Returns the
// window, or null.
void* CreateChildOverItem(void* dialog, int frameId, const Char16* className, uint32_t style,
                          int id, void* instance);
// Shrinks a rich-edit control's formatting rectangle by `margin` pixels on
// each side (EM_GETRECT, then EM_SETRECTNP).
void SetTextMargins(void* control, int margin);
// The shell's folder-browse dialog owned by `owner`, rooted at the
// computer's drives, showing `title`, opening at `start`, with an edit box
// and the new dialog style, returning only file-system folders. COM is
// initialised around it. Returns 1 with the chosen folder's path in the
// kPathCapacity-unit `path`, else 0 (cancelled, or not a file-system
// folder).
int BrowseForFolder(void* owner, const Char16* title, const Char16* start, Char16* path);
// Asks the desktop shell to start `program` (no arguments) in `directory`
// through its automation objects, so that it runs with the shell's rights
// rather than the installer's. Returns an HRESULT: negative when any step
// failed.
int32_t ShellExecuteAsUser(const Char16* program, const Char16* directory);
