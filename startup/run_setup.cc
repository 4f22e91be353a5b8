#include "startup/run_setup.h"

#include "package/load.h"
#include "platform/platform.h"

uint32_t RunSetup(void*, uint32_t, const char*, uint32_t) {
  if (LoadPackage() == 0) {
    ShowMessageBox(0, u"This setup package is damaged!", 0, kMbIconError);
    return 1;
  }
  return 0;
}
