#include "startup/message.h"

#include <stdarg.h>

#include "package/package.h"
#include "platform/platform.h"
#include "startup/run_setup.h"
#include "base/text.h"

void FormatText(Char16* buffer, uint32_t capacity, const Char16* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  FormatTextV(buffer, capacity, format, arguments);
  va_end(arguments);
}

int ShowMessage(void* owner, uint32_t type, const Char16* format, ...) {
  Char16 text[kMessageCapacity];
  va_list arguments;
  va_start(arguments, format);
  FormatTextV(text, kMessageCapacity, format, arguments);
  va_end(arguments);
  return ShowMessageBox(owner, text, Setting(g_package, kProductName), type);
}

int g_silent;

int ReportStartupError(const Char16* text) {
  if (g_silent) {
    WriteStandardError(text);
    return 0;
  }
  return ShowMessageBox(0, text, 0, kMbIconError);
}

int ReportStartupError(const char* text) {
  Char16 wide[kStartupMessageCapacity];
  wide[0] = 0;
  AppendAscii(wide, kStartupMessageCapacity, text);
  return ReportStartupError(wide);
}

const char kProductStillRunning[] = "The product is still running; nothing was changed.";
