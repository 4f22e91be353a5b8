#include "startup/probe.h"

#include "package/format.h"
#include "platform/platform.h"

uint32_t ArchMaskFromNativeMachine(uint16_t machine) {
  switch (machine) {
    case 0x014C: return kArchX86;
    case 0x8664: return kArchX64;
    case 0xAA64: return kArchArm64;
    case 0x01C4: return kArchArm;
    default: return 0;
  }
}

uint32_t ArchMaskFromProcessorArchitecture(uint16_t architecture) {
  switch (architecture) {
    case 0: return kArchX86;
    case 9: return kArchX64;
    case 12: return kArchArm64;
    default: return 0;
  }
}

uint32_t OsMaskFromVersion(uint32_t major, uint32_t minor) {
  if (major == 5) return minor == 0 ? kOsWindows2000 : kOsWindowsXp;
  if (major == 6) {
    if (minor == 0) return kOsWindowsVista;
    if (minor == 1) return kOsWindows7;
    return kOsWindows8;
  }
  if (major == 10) return kOsWindows10;
  if (major > 10) return kOsLater;
  return 0;
}

uint32_t ProbeArchitecture() {
  uint16_t machine = 0;
  if (QueryNativeMachine(&machine)) return ArchMaskFromNativeMachine(machine);
  return ArchMaskFromProcessorArchitecture(QueryNativeProcessorArchitecture());
}

uint32_t ProbeOsVersion() {
  uint32_t major = 0, minor = 0;
  QueryWindowsVersion(&major, &minor);
  return OsMaskFromVersion(major, minor);
}
