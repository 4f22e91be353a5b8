#include "wizard/info_pane.h"

#include <stdarg.h>

#include "platform/platform.h"

void* g_infoPane;

void LogLine(const Char16* format, ...) {
  Char16 line[kLogLineCapacity];
  va_list arguments;
  va_start(arguments, format);
  FormatTextV(line, kLogLineCapacity, format, arguments);
  va_end(arguments);
  AppendLogText(g_infoPane, line);
}
