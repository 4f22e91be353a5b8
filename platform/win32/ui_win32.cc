// Windows implementation of the platform calls only the installer makes
// (the generated uninstaller links none of them, so it imports neither the
// common controls, GDI nor COM): the dialog and its controls, fonts, the
// folder-browse dialog, COM, shell links and starting a program through the
// shell.
#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>
#include <exdisp.h>
#include <richedit.h>
#include <shldisp.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "base/memory.h"
#include "platform/platform.h"
#include "platform/win32/wide.h"

static HWND Window(void* window) { return static_cast<HWND>(window); }

int32_t InitializeCom() { return CoInitialize(0); }

void InitializeCommonControls() { InitCommonControls(); }

intptr_t OpenWithShell(const Char16* target, const Char16* directory) {
  return reinterpret_cast<intptr_t>(
      ShellExecuteW(0, L"open", Wide(target), 0, Wide(directory), SW_SHOWNORMAL));
}

// The shell-link class and its two interfaces, defined here so that no
// GUID library is linked.
static const GUID kClsidShellLink = {
    0x00021401, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const GUID kIidShellLinkW = {
    0x000214F9, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const GUID kIidPersistFile = {
    0x0000010B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

int CreateShellLink(const Char16* linkPath, const Char16* target, const Char16* arguments,
                    const Char16* directory, const Char16* iconPath, int iconIndex) {
  IShellLinkW* link;
  if (CoCreateInstance(kClsidShellLink, 0, CLSCTX_INPROC_SERVER, kIidShellLinkW,
                       reinterpret_cast<void**>(&link)) < 0) {
    return 0;
  }
  IPersistFile* file;
  HRESULT result = link->QueryInterface(kIidPersistFile, reinterpret_cast<void**>(&file));
  if (result >= 0) {
    link->SetPath(Wide(target));
    if (arguments) link->SetArguments(Wide(arguments));
    if (directory) link->SetWorkingDirectory(Wide(directory));
    if (iconPath) link->SetIconLocation(Wide(iconPath), iconIndex);
    result = file->Save(Wide(linkPath), TRUE);
    file->Release();
  }
  link->Release();
  return result >= 0;
}

void NotifyShellCreated(const Char16* path) { SHChangeNotify(SHCNE_CREATE, SHCNF_PATHW, path, 0); }


intptr_t RunModalDialog(void* instance, int templateId, DialogProcedure procedure,
                        intptr_t parameter) {
  return DialogBoxParamW(static_cast<HINSTANCE>(instance), MAKEINTRESOURCEW(templateId), 0,
                         reinterpret_cast<DLGPROC>(procedure), parameter);
}

void EndModalDialog(void* window, intptr_t result) { EndDialog(Window(window), result); }

void SetItemText(void* window, int id, const Char16* text) {
  SetDlgItemTextW(Window(window), id, Wide(text));
}

uint32_t GetItemText(void* window, int id, Char16* buffer, uint32_t capacity) {
  return GetDlgItemTextW(Window(window), id, reinterpret_cast<wchar_t*>(buffer), capacity);
}

void ShowItem(void* window, int id, int command) {
  ShowWindow(GetDlgItem(Window(window), id), command);
}

void EnableItem(void* window, int id, int enable) {
  EnableWindow(GetDlgItem(Window(window), id), enable);
}

void CheckItem(void* window, int id, uint32_t state) { CheckDlgButton(Window(window), id, state); }

int IsItemChecked(void* window, int id) {
  return IsDlgButtonChecked(Window(window), id) == BST_CHECKED;
}

void SetWindowText16(void* window, const Char16* text) { SetWindowTextW(Window(window), Wide(text)); }

void SetRichText8(void* control, const char* text) {
  static const SETTEXTEX kFromAnsi = {ST_DEFAULT, CP_ACP};
  SendMessageW(Window(control), EM_SETTEXTEX, reinterpret_cast<WPARAM>(&kFromAnsi), reinterpret_cast<LPARAM>(text));
}

int GetControlId(void* control) { return GetDlgCtrlID(Window(control)); }

intptr_t PaintOnWhite(void* deviceContext) {
  SetBkMode(static_cast<HDC>(deviceContext), TRANSPARENT);
  return reinterpret_cast<intptr_t>(GetStockObject(WHITE_BRUSH));
}

void DisableCloseCommand(void* window) {
  EnableMenuItem(GetSystemMenu(Window(window), FALSE), SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
}

void EnableFolderCompletion(void* field) { SHAutoComplete(Window(field), SHACF_FILESYSTEM); }

void* LoadProductIcon(void* instance) {
  return LoadIconW(static_cast<HINSTANCE>(instance), MAKEINTRESOURCEW(1));
}

void* CreateUiFont(int height, int weight) {
  return CreateFontW(height, 0, 0, 0, weight, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, FIXED_PITCH,
                     L"MS Shell Dlg");
}

uint32_t QueryDisplayDpi() {
  HDC screen = GetDC(0);
  int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(0, screen);
  return dpi > 0 ? static_cast<uint32_t>(dpi) : 96;
}

void* ShowWaitCursor() { return SetCursor(LoadCursorW(0, IDC_WAIT)); }

void RestoreCursor(void* cursor) { SetCursor(static_cast<HCURSOR>(cursor)); }

void RepaintWindow(void* window) { InvalidateRect(Window(window), 0, TRUE); }

void* CreateChildOverItem(void* dialog, int frameId, const Char16* className, uint32_t style,
                          int id, void* instance) {
  RECT frame;
  GetWindowRect(GetDlgItem(Window(dialog), frameId), &frame);
  MapWindowPoints(0, Window(dialog), reinterpret_cast<POINT*>(&frame), 2);
  return CreateWindowExW(0, Wide(className), 0, style, frame.left + 1, frame.top + 1,
                         frame.right - frame.left - 2, frame.bottom - frame.top - 2,
                         Window(dialog), reinterpret_cast<HMENU>(static_cast<intptr_t>(id)),
                         static_cast<HINSTANCE>(instance), 0);
}

void SetTextMargins(void* control, int margin) {
  RECT area;
  SendMessageW(Window(control), EM_GETRECT, 0, reinterpret_cast<LPARAM>(&area));
  area.left += margin;
  area.top += margin;
  area.right -= margin;
  area.bottom -= margin;
  SendMessageW(Window(control), EM_SETRECTNP, 0, reinterpret_cast<LPARAM>(&area));
}

// Opens the browse dialog at the folder in `data` once it is ready.
static int CALLBACK BrowseCallback(HWND browse, UINT message, LPARAM, LPARAM data) {
  if (message == BFFM_INITIALIZED) SendMessageW(browse, BFFM_SETSELECTIONW, TRUE, data);
  return 0;
}

int BrowseForFolder(void* owner, const Char16* title, const Char16* start, Char16* path) {
  BROWSEINFOW info;
  FillBytes(&info, 0, sizeof info);
  info.hwndOwner = Window(owner);
  PIDLIST_ABSOLUTE drives = 0;
  SHGetSpecialFolderLocation(0, CSIDL_DRIVES, &drives);
  info.pidlRoot = drives;
  info.lpszTitle = Wide(title);
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN | BIF_EDITBOX | BIF_NEWDIALOGSTYLE;
  info.lpfn = BrowseCallback;
  info.lParam = reinterpret_cast<LPARAM>(start);
  CoInitialize(0);
  int chosen = 0;
  PIDLIST_ABSOLUTE item = SHBrowseForFolderW(&info);
  if (item != 0) {
    chosen = SHGetPathFromIDListW(item, reinterpret_cast<wchar_t*>(path)) != 0;
    CoTaskMemFree(item);
  }
  CoTaskMemFree(drives);
  CoUninitialize();
  return chosen;
}

// The classes, interfaces and service of the desktop shell's automation,
// defined here so that no GUID library is linked.
static const GUID kClsidShellWindows = {
    0x9BA05972, 0xF6A8, 0x11CF, {0xA4, 0x42, 0x00, 0xA0, 0xC9, 0x0A, 0x8F, 0x39}};
static const GUID kIidShellWindows = {
    0x85CB6900, 0x4D95, 0x11CF, {0x96, 0x0C, 0x00, 0x80, 0xC7, 0xF4, 0xEE, 0x85}};
static const GUID kIidServiceProvider = {
    0x6D5140C1, 0x7436, 0x11CE, {0x80, 0x34, 0x00, 0xAA, 0x00, 0x60, 0x09, 0xFA}};
static const GUID kSidTopLevelBrowser = {
    0x4C96BE40, 0x915C, 0x11CF, {0x99, 0xD3, 0x00, 0xAA, 0x00, 0x4A, 0xE8, 0x37}};
static const GUID kIidShellBrowser = {0x000214E2, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const GUID kIidDispatch = {0x00020400, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const GUID kIidShellFolderViewDual = {
    0xE7A1AF80, 0x4D96, 0x11CF, {0x96, 0x0C, 0x00, 0x80, 0xC7, 0xF4, 0xEE, 0x85}};
static const GUID kIidShellDispatch2 = {
    0xA4C6892C, 0x3BA9, 0x11D2, {0x9D, 0xEA, 0x00, 0xC0, 0x4F, 0xB1, 0x61, 0x62}};

// QueryInterface on `from` for `iid`, then releases `from`: each step of
// the chains below trades one object for the next.
static HRESULT Exchange(IUnknown* from, const GUID& iid, void** out) {
  HRESULT result = from->QueryInterface(iid, out);
  from->Release();
  return result;
}

// The active view of the desktop's shell browser, found through the shell
// windows of the desktop shell's process.
static HRESULT FindDesktopView(IShellView** view) {
  IShellWindows* windows;
  HRESULT result = CoCreateInstance(kClsidShellWindows, 0, CLSCTX_LOCAL_SERVER, kIidShellWindows,
                                    reinterpret_cast<void**>(&windows));
  if (result < 0) return result;
  VARIANT empty;
  FillBytes(&empty, 0, sizeof empty);
  long desktopWindow;
  IDispatch* dispatch = 0;
  result = windows->FindWindowSW(&empty, &empty, SWC_DESKTOP, &desktopWindow, SWFO_NEEDDISPATCH,
                                 &dispatch);
  windows->Release();
  if (result != S_OK) {
    if (dispatch != 0) dispatch->Release();
    return E_FAIL;
  }
  IServiceProvider* provider;
  result = Exchange(dispatch, kIidServiceProvider, reinterpret_cast<void**>(&provider));
  if (result < 0) return result;
  IShellBrowser* browser;
  result = provider->QueryService(kSidTopLevelBrowser, kIidShellBrowser,
                                  reinterpret_cast<void**>(&browser));
  provider->Release();
  if (result < 0) return result;
  result = browser->QueryActiveShellView(view);
  browser->Release();
  return result;
}

// The shell's dispatch object (its Application) behind a view.
static HRESULT FindShellDispatch(IShellView* view, IShellDispatch2** shell) {
  IDispatch* background;
  HRESULT result =
      view->GetItemObject(SVGIO_BACKGROUND, kIidDispatch, reinterpret_cast<void**>(&background));
  if (result < 0) return result;
  IShellFolderViewDual* folderView;
  result = Exchange(background, kIidShellFolderViewDual, reinterpret_cast<void**>(&folderView));
  if (result < 0) return result;
  IDispatch* application;
  result = folderView->get_Application(&application);
  folderView->Release();
  if (result < 0) return result;
  return Exchange(application, kIidShellDispatch2, reinterpret_cast<void**>(shell));
}

// Never inlined: its VARIANTs need 8-byte alignment, so on i686 (4-byte
// stack alignment) the function that holds them realigns its stack and
// reaches its locals through a frame pointer. Inlined into the wizard's
// dialog procedure (through LaunchProduct), that frame would hold all of
// the procedure's path buffers, most of them at four-byte offsets.
__attribute__((noinline)) int32_t ShellExecuteAsUser(const Char16* program, const Char16* directory) {
  HRESULT result = CoInitialize(0);
  if (result < 0) return result;
  IShellView* view = 0;
  IShellDispatch2* shell = 0;
  result = FindDesktopView(&view);
  if (result >= 0) result = FindShellDispatch(view, &shell);
  if (result >= 0) {
    VARIANT empty, folder;
    FillBytes(&empty, 0, sizeof empty);
    FillBytes(&folder, 0, sizeof folder);
    BSTR file = SysAllocString(Wide(program));
    if (directory != 0) {
      folder.vt = VT_BSTR;
      folder.bstrVal = SysAllocString(Wide(directory));
    }
    result = file == 0 ? E_OUTOFMEMORY : shell->ShellExecute(file, empty, folder, empty, empty);
    SysFreeString(folder.bstrVal);
    SysFreeString(file);
  }
  if (shell != 0) shell->Release();
  if (view != 0) view->Release();
  CoUninitialize();
  return result;
}
