// Where an install reports what it does: the progress bar and the log. The
// wizard points both at its controls before it starts the install; silent
// mode leaves them null, and nothing is shown. The install knows nothing
// else of the wizard.
#pragma once

#include "base/types.h"

struct InstallReport {
  void* progressBar;  // gets PBM_SETPOS with 0 to 10000 (and PBM_GETPOS)
  void* logPane;      // gets each log line appended at its end
};
extern InstallReport g_installReport;

// Capacity of one log line, terminator included.
const uint32_t kLogLineCapacity = 256;

// Formats a line with the wvnsprintfW conversions (cut at 255 units) and
// appends it at the end of the log pane; nothing is shown without one. The
// formats are ASCII, at most kLogFormatCapacity - 1 characters, and carry
// their own "\r\n".
const uint32_t kLogFormatCapacity = 40;
void LogLine(const char* format, ...);
