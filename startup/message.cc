#include "startup/message.h"

#include <stdarg.h>

#include "package/package.h"
#include "platform/platform.h"
#include "startup/run_setup.h"

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
