#include "wizard/info_pane.h"

#include "base/memory.h"
#include "package/load.h"
#include "platform/platform.h"
#include "startup/run_setup.h"
#include "wizard/wizard.h"

void* g_infoPane;

static const int kFontNormal = 400;
// WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | ES_READONLY |
// ES_AUTOVSCROLL | ES_MULTILINE.
static const uint32_t kPaneStyle = 0x50210844;
// Pixels between the pane's border and its text at 96 DPI.
static const int kPaneMargin = 7;

void* CreateInfoPane(void* window, void* instance) {
  static const char kLibraries[2][9] = {"msftedit", "riched20"};
  static const Char16 kClasses[2][12] = {u"RICHEDIT50W", u"RichEdit20W"};
  for (int i = 0; i < 2 && g_infoPane == 0; ++i) {
    if (LoadSystemLibrary(kLibraries[i]) != 0) {
      g_infoPane =
          CreateChildOverItem(window, kPaneFrame, kClasses[i], kPaneStyle, kInfoPaneItem, instance);
    }
  }
  // Without a pane these go to no window and change nothing.
  void* font = CreateUiFont(ScaleForDisplay(kPaneFontHeight), kFontNormal);
  SendWindowMessage(g_infoPane, kWmSetFont, reinterpret_cast<uintptr_t>(font), 1);
  SetTextMargins(g_infoPane, ScaleForDisplay(kPaneMargin));
  return g_infoPane;
}

void ShowInfoText() {
  uint32_t index = g_package->header.infoEntry;
  if (index == kNoInfoEntry) return;
  const FileEntry* entry = &g_package->entries[index];
  uint32_t size = entry->size;
  if (size == 0) return;
  char* text = reinterpret_cast<char*>(g_reader.scratch);
  if (size >= kScratchSize) text = static_cast<char*>(AllocateMemory(size + 1));
  if (text == 0) return;
  CopyBytes(text, g_package->block + entry->dataOffset, size);
  text[size] = 0;
  SetRichText8(g_infoPane, text);
  if (size >= kScratchSize) FreeMemory(text);
}
