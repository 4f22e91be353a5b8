// The info pane: the wizard's read-only rich-edit control (item 200) that
// shows the info text and then the installation log.
#pragma once

#include "base/types.h"

// InfoPane: null until the wizard creates it, and for the whole silent run.
extern void* g_infoPane;

// Capacity of one log line, terminator included.
const uint32_t kLogLineCapacity = 256;

// Formats a line with the wvnsprintfW conversions (cut at 255 units) and
// appends it at the end of the pane; nothing is shown without a pane. The
// formats carry their own "\r\n".
void LogLine(const Char16* format, ...);
