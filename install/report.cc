#include "install/report.h"

#include <stdarg.h>

#include "base/text.h"
#include "platform/platform.h"

InstallReport g_installReport;

// The formats are kept as 8-bit text: half the bytes in the installer.
void LogLine(const char* format, ...) {
  Char16 wide[kLogFormatCapacity];
  wide[0] = 0;
  AppendAscii(wide, kLogFormatCapacity, format);
  Char16 line[kLogLineCapacity];
  va_list arguments;
  va_start(arguments, format);
  FormatTextV(line, kLogLineCapacity, wide, arguments);
  va_end(arguments);
  AppendLogText(g_installReport.logPane, line);
}
