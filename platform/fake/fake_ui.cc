// The recording fake of the wizard's platform calls: a model of the dialog's
// controls that the wizard's code changes and tests read and click.
#include <cstring>

#include "platform/fake/fake_platform.h"

namespace {

const uint32_t kWmCommand = 0x111;
const uintptr_t kEnChange = 0x300;

void Record(const std::string& event) { g_fake.events.push_back(event); }

int IdOf(void* window) { return static_cast<int>(reinterpret_cast<uintptr_t>(window) - 0x20000); }

void Notify(int id, uintptr_t code) {
  if (g_fake.dialogProcedure) {
    g_fake.dialogProcedure(kFakeDialog, kWmCommand, (code << 16) | static_cast<uintptr_t>(id),
                           reinterpret_cast<intptr_t>(GetDialogItem(kFakeDialog, id)));
  }
}

}  // namespace

void CreateFakeDialogControls() {
  // id, visible, enabled; in template order.
  static const struct {
    int id;
    bool visible, enabled;
  } kTemplate[] = {{3, false, true},  {1, true, false},  {2, true, true},   {9, true, true},
                   {24, true, true},  {7, false, true},  {21, false, true}, {8, false, true},
                   {10, false, true}, {22, false, true}, {11, false, true}, {4, true, true},
                   {5, true, true},   {6, true, true},   {23, true, true}};
  g_fake.controls.clear();
  for (const auto& item : kTemplate) {
    FakeControl& control = g_fake.controls[item.id];
    control.visible = item.visible;
    control.enabled = item.enabled;
  }
}

bool FakeClick(int id) {
  auto it = g_fake.controls.find(id);
  if (it == g_fake.controls.end() || !it->second.visible || !it->second.enabled) return false;
  // The check boxes of the template are automatic: a click toggles them.
  if (id == 9 || id == 10 || id == 11) it->second.check ^= 1;
  Notify(id, 0);
  return true;
}

void FakeType(int id, const std::u16string& text) {
  g_fake.controls[id].text = text;
  Notify(id, kEnChange);
}

intptr_t RunModalDialog(void* instance, int templateId, DialogProcedure procedure,
                        intptr_t parameter) {
  Record("DialogBoxParamW " + std::to_string(templateId));
  (void)instance;
  CreateFakeDialogControls();
  g_fake.dialogProcedure = procedure;
  g_fake.dialogEnded = false;
  procedure(kFakeDialog, 0x110, 0, parameter);
  if (g_fake.onDialog) g_fake.onDialog();
  g_fake.dialogProcedure = nullptr;
  return 0;
}

void EndModalDialog(void*, intptr_t result) {
  Record("EndDialog " + std::to_string(result));
  g_fake.dialogEnded = true;
}

void SetItemText(void*, int id, const Char16* text) {
  Record("SetDlgItemText " + std::to_string(id) + " " + Narrow(text));
  g_fake.controls[id].text = text;
  // An edit control tells its dialog at once.
  if (id == 21) Notify(id, kEnChange);
}

uint32_t GetItemText(void*, int id, Char16* buffer, uint32_t capacity) {
  const std::u16string& text = g_fake.controls[id].text;
  if (capacity == 0) return 0;
  size_t length = std::min<size_t>(text.size(), capacity - 1);
  std::memcpy(buffer, text.data(), length * sizeof(Char16));
  buffer[length] = 0;
  return static_cast<uint32_t>(length);
}

void ShowItem(void*, int id, int command) {
  Record("ShowWindow " + std::to_string(id) + " " + std::to_string(command));
  g_fake.controls[id].visible = command != kHide;
}

void EnableItem(void*, int id, int enable) {
  Record("EnableWindow " + std::to_string(id) + " " + std::to_string(enable ? 1 : 0));
  g_fake.controls[id].enabled = enable != 0;
}

void CheckItem(void*, int id, uint32_t state) {
  Record("CheckDlgButton " + std::to_string(id) + " " + std::to_string(state));
  g_fake.controls[id].check = state;
}

int IsItemChecked(void*, int id) { return g_fake.controls[id].check == kChecked ? 1 : 0; }

void SetWindowText16(void* window, const Char16* text) {
  Record("SetWindowTextW " + (window == kFakeDialog ? std::string("dialog") : std::to_string(IdOf(window))) +
         " " + Narrow(text));
  if (window == kFakeDialog) {
    g_fake.windowTitle = text;
  } else if (window != nullptr) {
    g_fake.controls[IdOf(window)].text = text;
  }
}

void SetRichText8(void* window, const char* text) {
  Record("EM_SETTEXTEX " + std::to_string(window ? IdOf(window) : 0));
  if (window != nullptr) g_fake.infoText = text;
}

int GetControlId(void* control) { return IdOf(control); }

intptr_t PaintOnWhite(void*) {
  Record("SetBkMode TRANSPARENT");
  return 0x7E17E;  // the stock white brush
}

void DisableCloseCommand(void*) { Record("EnableMenuItem SC_CLOSE MF_GRAYED"); }

void EnableFolderCompletion(void* field) {
  Record("SHAutoComplete " + std::to_string(IdOf(field)));
}

void* LoadProductIcon(void*) {
  Record("LoadIconW 1");
  return g_fake.hasIcon ? reinterpret_cast<void*>(0x1C0) : nullptr;
}

void* CreateUiFont(int height, int weight) {
  Record("CreateFontW " + std::to_string(height) + " " + std::to_string(weight));
  g_fake.fonts.push_back({height, weight});
  return reinterpret_cast<void*>(0xF000 + g_fake.fonts.size());
}

uint32_t QueryDisplayDpi() { return g_fake.dpi; }

void* ShowWaitCursor() {
  Record("SetCursor IDC_WAIT");
  return reinterpret_cast<void*>(0xC0);
}

void RestoreCursor(void* cursor) {
  Record("SetCursor " + std::to_string(reinterpret_cast<uintptr_t>(cursor)));
}

void RepaintWindow(void* window) { Record("InvalidateRect " + std::to_string(IdOf(window))); }

void* CreateChildOverItem(void*, int frameId, const Char16* className, uint32_t style, int id,
                          void*) {
  Record("CreateWindowExW " + Narrow(className) + " over " + std::to_string(frameId) + " id " +
         std::to_string(id) + " style " + std::to_string(style));
  if (!g_fake.paneCreates) return nullptr;
  FakeControl& pane = g_fake.controls[id];
  pane.visible = (style & 0x10000000) != 0;
  return GetDialogItem(kFakeDialog, id);
}

void SetTextMargins(void* control, int margin) {
  Record("SetTextMargins " + std::to_string(control ? IdOf(control) : 0) + " " +
         std::to_string(margin));
}

int LoadSystemLibrary(const char* name) {
  Record(std::string("LoadLibrary ") + name);
  return g_fake.loadableLibraries.count(name) != 0;
}

void RestrictLibrarySearch() { Record("SetDefaultDllDirectories"); }

int BrowseForFolder(void*, const Char16* title, const Char16* start, Char16* path) {
  Record("SHBrowseForFolderW " + Narrow(title) + " at " + Narrow(start));
  if (!g_fake.browseChooses) return 0;
  std::memcpy(path, g_fake.browseChoice.c_str(), (g_fake.browseChoice.size() + 1) * sizeof(Char16));
  return 1;
}

int32_t ShellExecuteAsUser(const Char16* program, const Char16* directory) {
  Record("ShellExecuteAsUser " + Narrow(program) + " in " +
         (directory ? Narrow(directory) : std::string("(null)")));
  return g_fake.shellAsUserResult;
}
