// Machine probing: the native architecture (ArchMask) and the Windows
// version (OsMask) from what the platform reports.
#include <gtest/gtest.h>

#include <algorithm>

#include "package/format.h"
#include "platform/fake/fake_platform.h"
#include "startup/probe.h"

namespace {

bool AskedNativeSystemInfo() {
  return std::count(g_fake.events.begin(), g_fake.events.end(), "GetNativeSystemInfo") != 0;
}

TEST(ProbeArchitecture, MapsTheNativeMachineOfIsWow64Process2) {
  // The processor architecture of the emulated view must not matter: an x86
  // process on arm64 or x64 sees an x86 processor there.
  struct Case {
    uint16_t nativeMachine;
    uint32_t arch;
  } cases[] = {
      {0x014C, kArchX86}, {0x8664, kArchX64}, {0xAA64, kArchArm64}, {0x01C4, kArchArm},
      {0x0200, 0},  // IA64: unrecognised, and the second source is not asked
      {0x0000, 0},        {0x01C0, 0},        {0xFFFF, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << k.nativeMachine);
    ResetFakePlatform();
    g_fake.nativeMachine = k.nativeMachine;
    g_fake.processorArchitecture = 0;  // what WOW64 would report
    EXPECT_EQ(ProbeArchitecture(), k.arch);
    EXPECT_FALSE(AskedNativeSystemInfo());
  }
}

TEST(ProbeArchitecture, FallsBackToGetNativeSystemInfo) {
  struct Case {
    bool hasIsWow64Process2, succeeds;
    uint16_t processorArchitecture;
    uint32_t arch;
  } cases[] = {
      {false, true, 0, kArchX86},    {false, true, 9, kArchX64}, {false, true, 12, kArchArm64},
      {false, true, 5, 0},           // 32-bit ARM is recognised only by IsWow64Process2
      {false, true, 6, 0},           {false, true, 0xFFFF, 0},
      {true, false, 9, kArchX64},    // present but failing
      {true, false, 12, kArchArm64}, {true, false, 5, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "has " << k.hasIsWow64Process2 << " succeeds " << k.succeeds
                                    << " architecture " << k.processorArchitecture);
    ResetFakePlatform();
    g_fake.hasIsWow64Process2 = k.hasIsWow64Process2;
    g_fake.isWow64Process2Succeeds = k.succeeds;
    g_fake.nativeMachine = 0x01C4;  // would give 8 if it were wrongly used
    g_fake.processorArchitecture = k.processorArchitecture;
    EXPECT_EQ(ProbeArchitecture(), k.arch);
    EXPECT_TRUE(AskedNativeSystemInfo());
  }
}

TEST(ProbeArchitecture, TellsTheMachinesOfTheSupportedWindowsEditionsApart) {
  struct Case {
    const char* machine;
    bool hasIsWow64Process2;
    uint16_t nativeMachine, processorArchitecture;
    uint32_t arch;
  } cases[] = {
      {"x86 installer on arm64 Windows 11", true, 0xAA64, 0, kArchArm64},
      {"x86 installer on x64 Windows 10", true, 0x8664, 0, kArchX64},
      {"32-bit Windows 10", true, 0x014C, 0, kArchX86},
      {"x64 Windows 8.1", false, 0, 9, kArchX64},
      {"32-bit Windows 7", false, 0, 0, kArchX86},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.machine);
    ResetFakePlatform();
    g_fake.hasIsWow64Process2 = k.hasIsWow64Process2;
    g_fake.nativeMachine = k.nativeMachine;
    g_fake.processorArchitecture = k.processorArchitecture;
    EXPECT_EQ(ProbeArchitecture(), k.arch);
  }
}

TEST(ProbeOsVersion, MapsTheReportedVersion) {
  struct Case {
    uint32_t major, minor;
    uint32_t os;
  } cases[] = {
      {5, 0, kOsWindows2000},  {5, 1, kOsWindowsXp},    {5, 2, kOsWindowsXp},
      {5, 9, kOsWindowsXp},    {6, 0, kOsWindowsVista}, {6, 1, kOsWindows7},
      {6, 2, kOsWindows8},     {6, 3, kOsWindows8},     {6, 4, kOsWindows8},
      {6, 0xFFFFFFFF, kOsWindows8}, {10, 0, kOsWindows10}, {10, 7, kOsWindows10},
      {11, 0, kOsLater},       {12, 5, kOsLater},       {0xFFFFFFFF, 0, kOsLater},
      {0, 0, 0},               {3, 51, 0},              {4, 0, 0},
      {4, 10, 0},              {7, 0, 0},               {8, 0, 0},
      {9, 9, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.major << "." << k.minor);
    ResetFakePlatform();
    g_fake.versionMajor = k.major;
    g_fake.versionMinor = k.minor;
    EXPECT_EQ(ProbeOsVersion(), k.os);
  }
}

}  // namespace
