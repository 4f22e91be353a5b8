#include "install/report.h"

#include <stdarg.h>

#include "platform/platform.h"

InstallReport g_installReport;

void LogLine(const Char16* format, ...) {
  Char16 line[kLogLineCapacity];
  va_list arguments;
  va_start(arguments, format);
  FormatTextV(line, kLogLineCapacity, format, arguments);
  va_end(arguments);
  AppendLogText(g_installReport.logPane, line);
}
