// The info pane: the wizard's read-only rich-edit control (item 200) that
// shows the info text and then the installation log.
#pragma once

#include "base/types.h"

// InfoPane: null until the wizard creates it, and for the whole silent run.
extern void* g_infoPane;

// Creates the pane one pixel inside the frame (item 24) from the first
// rich-edit library that loads from the system directory ("msftedit" with
// RICHEDIT50W, else "riched20" with RichEdit20W), gives it its font and
// margins, and returns it (also kept as InfoPane); null when no rich-edit
// control could be created.
void* CreateInfoPane(void* window, void* instance);

// Shows the package's info text (the bytes of the info entry, 8-bit text in
// the system's ANSI code page, up to a 0 byte) in the pane. A text below
// 64 KiB goes through the reader's scratch buffer, a longer one through a
// buffer allocated and freed here. No info entry, an empty one or a failed
// allocation shows nothing.
void ShowInfoText();
