// The installer's only door to Windows. Each routine is a narrow wrapper named
// after what the installer relies on. The Windows builds link the real
// implementation (platform/win32); the native build links a recording fake
// (platform/fake) so tests can assert the order of effects.
#pragma once

#include "base/types.h"

typedef void* PlatformFile;  // null when no file is open

// Module and process.
const uint8_t* GetModuleImage();  // the running executable's mapped image
void* GetInstanceHandle();
// Full path of the running executable; returns 0 on success, 1 when it did
// not fit `capacity` units or could not be obtained.
int GetOwnPath(Char16* buffer, uint32_t capacity);
[[noreturn]] void EndProcess(uint32_t exitCode);

// Files.
PlatformFile OpenFileForReading(const Char16* path);  // shared for reading
// Size of an open file; 0 on failure.
uint64_t QueryFileSize(PlatformFile file);
// Reads exactly `size` bytes at `offset`. Returns 0 on success, 1 otherwise.
int ReadFileAt(PlatformFile file, uint64_t offset, void* buffer, uint32_t size);
void CloseFile(PlatformFile file);

// Machine probing sources.
// Native machine from IsWow64Process2 (looked up at run time). Returns 1 with
// `machine` set when the function exists and succeeded, else 0.
int QueryNativeMachine(uint16_t* machine);
// wProcessorArchitecture from GetNativeSystemInfo.
uint16_t QueryNativeProcessorArchitecture();
// Major and minor version from GetVersionExW (0.0 when the query fails).
void QueryWindowsVersion(uint32_t* major, uint32_t* minor);

// WOW64 file-system redirection for the current thread, looked up by name at
// every call. Each returns the Windows result (1 on success), or 0 when the
// function does not exist; DisableFsRedirection then leaves `saved` alone.
int DisableFsRedirection(void** saved);
int RevertFsRedirection(void* saved);

// User interface.
// MessageBoxW; a null caption uses the system's default. Returns the button.
int ShowMessageBox(void* owner, const Char16* text, const Char16* caption, uint32_t type);

// Message-box types and results used by the installer.
const uint32_t kMbOk = 0x00;
const uint32_t kMbOkCancel = 0x01;
const uint32_t kMbYesNo = 0x04;
const uint32_t kMbIconError = 0x10;
const uint32_t kMbIconQuestion = 0x20;
const uint32_t kMbIconWarning = 0x30;
const int kIdOk = 1;
const int kIdCancel = 2;
const int kIdYes = 6;
const int kIdNo = 7;
