// Recording fake of the platform layer for native tests. Tests describe the
// machine and files in `g_fake`, run installer code, then read the recorded
// effects in order.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platform.h"

struct FakeMessageBox {
  void* owner;
  std::u16string text;
  bool hasCaption;
  std::u16string caption;
  uint32_t type;
};

// An open file of the fake: the bytes of its entry in FakePlatform::files.
struct FakeFile {
  std::vector<uint8_t>* bytes;
  std::u16string path;      // as opened
  std::u16string heldPath;  // HoldForExecution's: the path, deleted with the last handle
};

struct FakeRegistryValue {
  uint32_t type;
  std::vector<uint8_t> data;
};

struct FakeShellLink {
  std::u16string path, target, arguments, directory, iconPath;
  bool hasArguments, hasDirectory, hasIconPath;
  int iconIndex;
};

// A control of the wizard's dialog.
struct FakeControl {
  bool visible = false;
  bool enabled = true;
  uint32_t check = 0;
  std::u16string text;
};

// An auto-reset event of the fake.
struct FakeSignal {
  std::mutex lock;
  std::condition_variable changed;
  bool raised = false;
};

inline void* const kFakeDialog = reinterpret_cast<void*>(0x10000);

struct FakePlatform {
  // Machine.
  bool hasIsWow64Process2 = true;
  bool isWow64Process2Succeeds = true;
  uint16_t nativeMachine = 0x8664;
  uint16_t processorArchitecture = 9;
  uint32_t versionMajor = 10, versionMinor = 0;
  bool hasRedirectionFunctions = true;
  int disableRedirectionResult = 1;

  // Module and files.
  std::vector<uint8_t> moduleImage;  // padded to a page by the fake
  std::u16string ownPath = u"C:\\setup.exe";
  std::map<std::u16string, std::vector<uint8_t>> files;

  // Threads: StartThread runs real threads, joined when the fake is reset
  // or destroyed; with `threadStarts` false it fails as CreateThread can.
  bool threadStarts = true;
  int threadsStarted = 0;
  std::vector<std::jthread> threads;
  std::vector<std::unique_ptr<FakeSignal>> signals;

  // Start-up.
  std::string commandLine = "setup.exe";
  uint32_t startupFlags = 0;          // STARTUPINFOA dwFlags
  uint16_t startupShowWindow = 0;     // STARTUPINFOA wShowWindow
  uint16_t userLanguage = 0x0409;     // GetUserDefaultLangID
  bool isAdministrator = true;        // IsUserAnAdmin
  int32_t comResult = 0;              // CoInitialize
  intptr_t shellOpenResult = 42;      // ShellExecuteW

  // Installation (platform/fake/fake_install.cc).
  // Registry keys by (view bits of the access mask, key path).
  std::map<std::pair<uint32_t, std::string>, std::map<std::u16string, FakeRegistryValue>> registry;
  int32_t createKeyResult = 0;                 // RegCreateKeyExA
  std::set<std::u16string> directories;        // existing folders, no trailing "\"
  std::set<char16_t> absentDrives;             // drive letters that do not exist
  // Folders that are links (junctions, symbolic links) to another folder:
  // paths through them resolve there for QueryFinalPath; HoldFolder refuses
  // them.
  std::map<std::u16string, std::u16string> links;
  bool hasFinalPath = true;                    // GetFinalPathNameByHandleW exists
  int attributeQueries = 0;                    // GetFileAttributesW calls
  std::set<std::u16string> lockedFiles;        // open elsewhere without sharing
  std::map<std::u16string, uint32_t> createErrors;  // CreateFileW failures by path
  std::map<std::u16string, uint32_t> moveErrors;    // the next MoveFileExW onto a path fails
  uint64_t diskSpace = UINT64_MAX;             // bytes WriteFile can still write
  bool diskGoesOnFailure = false;              // an injected failure sets diskGone
  bool diskGone = false;                       // every file operation fails
  std::vector<std::u16string> pendingDeletes;  // MoveFileExW delete at reboot
  std::map<std::u16string, std::pair<uint32_t, uint32_t>> writeTimes;  // SetFileTime
  std::map<int, std::u16string> specialFolders;     // CSIDL -> folder
  std::map<std::u16string, std::u16string> environment;  // upper-case name -> value
  int windowFinds = 0;   // FindWindowW finds the product window this many times
  int mutexOpens = 0;    // OpenMutexW succeeds this many times
  std::function<intptr_t(void*, uint32_t, uintptr_t, intptr_t)> onSendMessage;
  std::function<void(const std::u16string&)> onRunAndWait;
  bool processStarts = true;
  uint32_t processExitCode = 0;
  int shellLinkResult = 1;
  TimerProcedure timer = nullptr;              // the procedure SetTimer received
  std::vector<FakeShellLink> shellLinks;
  std::vector<std::u16string> logLines;        // every LogLine, pane or not
  int openKeys = 0;

  // Wizard (platform/fake/fake_ui.cc). The dialog is kFakeDialog; its items
  // are GetDialogItem handles (0x20000 + id) and live in `controls`.
  std::map<int, FakeControl> controls;
  DialogProcedure dialogProcedure = nullptr;  // gets EN_CHANGE of item 21
  std::function<void()> onDialog;             // runs inside RunModalDialog
  bool dialogEnded = false;
  std::u16string windowTitle;                 // the dialog's caption
  std::string infoText;                       // SetRichText8 on the pane
  std::set<std::string> loadableLibraries = {"msftedit", "riched20"};
  bool paneCreates = true;                    // CreateWindowExW of the pane
  uint32_t dpi = 96;
  bool hasIcon = true;
  bool browseChooses = false;                 // the folder dialog's outcome
  std::u16string browseChoice;
  int32_t shellAsUserResult = 0;              // HRESULT of the shell route
  std::vector<std::pair<int, int>> fonts;     // CreateFontW height, weight

  // Generated uninstaller (platform/fake/fake_uninstall.cc).
  std::u16string commandLine16 = u"uninstall.exe";
  std::u16string tempFolder = u"C:\\Temp\\";    // GetTempPathW; empty: none
  bool randomWorks = true;                        // RtlGenRandom
  int randomCalls = 0;                            // call n gives the bytes 16n, 16n + 1, ...
  // Folders made by CreateProtectedFolder, with the SDDL text they got.
  std::map<std::u16string, std::u16string> protectedFolders;
  // Runs before HoldForExecution opens its file (another program's turn).
  std::function<void(const std::u16string&)> onHold;
  std::set<std::u16string> heldFiles;             // held open, not yet inherited or closed
  std::set<std::u16string> deleteOnClose;         // held files a started process inherited
  std::set<std::u16string> foldersRemovedAtExit;  // RemoveFolderAtExit
  bool pipeCreates = true;
  std::vector<uint8_t> pipe;                      // bytes written and not yet read
  uint32_t processId = 1200;                      // GetCurrentProcessId
  // Runs as the started process with its command line; returns its exit
  // code. Without it CreateProcessW fails.
  std::function<uint32_t(const std::u16string&)> onStartProcess;
  uint32_t startedExitCode = kStillRunning;       // of the last started process
  std::vector<std::u16string> startedCommands;

  // Answers for message boxes, in order; IDOK when the list runs out.
  std::vector<int> messageBoxAnswers;

  // Recorded effects.
  std::vector<std::string> events;
  std::vector<FakeMessageBox> messageBoxes;
  std::string standardError;  // WriteStandardError, a line each
  int openFiles = 0;
};

extern FakePlatform g_fake;

// Resets the fake to a fresh x64 Windows 10 machine with no files, once the
// threads it started have ended.
void ResetFakePlatform();

// Waits for the threads the fake started (a test does before it frees what
// they use).
void JoinFakeThreads();

// UTF-16 to UTF-8 for readable assertions.
std::string Narrow(const std::u16string& text);

// The controls of dialog template 1 as the dialog manager creates them:
// visible and enabled as the template says, all texts empty.
void CreateFakeDialogControls();

// What a user's click does: an enabled, visible button (a check box toggles
// first) notifies the dialog procedure with BN_CLICKED. Returns false, doing
// nothing, for a hidden or disabled control.
bool FakeClick(int id);

// The user types `text` into the folder field (EN_CHANGE follows).
void FakeType(int id, const std::u16string& text);
