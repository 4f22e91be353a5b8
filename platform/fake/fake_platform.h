// Recording fake of the platform layer for native tests. Tests describe the
// machine and files in `g_fake`, run installer code, then read the recorded
// effects in order.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

struct FakeMessageBox {
  void* owner;
  std::u16string text;
  bool hasCaption;
  std::u16string caption;
  uint32_t type;
};

struct FakePlatform {
  // Machine.
  bool hasIsWow64Process2 = true;
  bool isWow64Process2Succeeds = true;
  uint16_t nativeMachine = 0x8664;
  uint16_t processorArchitecture = 9;
  uint32_t versionMajor = 10, versionMinor = 0;
  bool hasRedirectionFunctions = true;
  int disableRedirectionResult = 1;

  // Module and files.
  std::vector<uint8_t> moduleImage;  // padded to a page by the fake
  std::u16string ownPath = u"C:\\setup.exe";
  std::map<std::u16string, std::vector<uint8_t>> files;

  // Answers for message boxes, in order; IDOK when the list runs out.
  std::vector<int> messageBoxAnswers;

  // Recorded effects.
  std::vector<std::string> events;
  std::vector<FakeMessageBox> messageBoxes;
  int openFiles = 0;
};

extern FakePlatform g_fake;

// Resets the fake to a fresh x64 Windows 10 machine with no files.
void ResetFakePlatform();

// UTF-16 to UTF-8 for readable assertions.
std::string Narrow(const std::u16string& text);
