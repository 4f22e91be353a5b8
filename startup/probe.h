// Machine probing: the native processor architecture (ArchMask) and the
// Windows version (OsMask) as single bits.
#pragma once

#include "base/types.h"

// Native machine value of IsWow64Process2 to ArchMask: 0x014C x86 -> 1,
// 0x8664 x64 -> 2, 0xAA64 arm64 -> 4, 0x01C4 ARMNT -> 8, other -> 0.
uint32_t ArchMaskFromNativeMachine(uint16_t machine);

// wProcessorArchitecture of GetNativeSystemInfo to ArchMask: 0 -> 1, 9 -> 2,
// 12 -> 4, other (including 5, 32-bit ARM) -> 0.
uint32_t ArchMaskFromProcessorArchitecture(uint16_t architecture);

// Reported Windows version to OsMask: 5.0 -> 1, 5.x -> 2, 6.0 -> 4, 6.1 -> 8,
// 6.x -> 16, 10.x -> 32, 11 and above -> 64, other -> 0.
uint32_t OsMaskFromVersion(uint32_t major, uint32_t minor);

// IsWow64Process2's native machine when it answers, else the processor
// architecture of GetNativeSystemInfo. An unrecognised native machine gives
// 0 without consulting the second source.
uint32_t ProbeArchitecture();

// OsMaskFromVersion of what GetVersionExW reports.
uint32_t ProbeOsVersion();
