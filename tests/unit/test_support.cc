#include "tests/unit/test_support.h"

#include <cstring>

namespace test {
namespace {

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
}  // namespace

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
         (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

std::vector<uint8_t> MakeMinimalPe(bool pe32Plus) {
  const size_t kPeOffset = 0x80;
  const uint16_t optionalSize = pe32Plus ? 240 : 224;
  std::vector<uint8_t> image(0x400, 0);
  image[0] = 'M';
  image[1] = 'Z';
  Put32(image, 0x3C, kPeOffset);
  std::memcpy(&image[kPeOffset], "PE\0\0", 4);
  size_t coff = kPeOffset + 4;
  Put16(image, coff + 0, pe32Plus ? 0x8664 : 0x014C);
  Put16(image, coff + 2, 1);  // one section
  Put16(image, coff + 16, optionalSize);
  Put16(image, coff + 18, 0x0102);
  size_t optional = coff + 20;
  Put16(image, optional, pe32Plus ? 0x20B : 0x10B);
  Put32(image, optional + (pe32Plus ? 108 : 92), 16);  // NumberOfRvaAndSizes
  size_t section = optional + optionalSize;
  std::memcpy(&image[section], ".text\0\0\0", 8);
  Put32(image, section + 16, 0x200);  // SizeOfRawData
  Put32(image, section + 20, 0x200);  // PointerToRawData
  for (size_t i = 0x200; i < 0x400; ++i) image[i] = static_cast<uint8_t>(0xC3);
  return image;
}

tailpack::PackageContents SamplePackage() {
  tailpack::PackageContents c;
  c.flags = 3;
  c.languages.push_back(tailpack::EnglishLanguage());
  tailpack::LanguageTexts german = tailpack::EnglishLanguage();
  german.langId = 0x0407;
  german.name = u"Deutsch";
  german.texts[4] = u"Abbrechen";
  german.texts[21] = u"Sie m\u00fcssen als Administrator angemeldet sein, um dieses Programm zu installieren.";
  c.languages.push_back(german);
  c.settings[kProductName] = u"Zentrova";
  c.settings[kProductVersion] = u"2.1.3";
  c.settings[kPublisher] = u"Halvix";
  c.settings[kConfigCommand] = u"-xi:%u:%s";
  c.settings[kUninstallArguments] = u"-xu";
  c.blobs = {{'x', '8', '6'}, {'x', '6', '4', '!'}, {'l', 'i', 'c', 'e', 'n', 's', 'e'}};
  c.files = {
      {"zentrova.exe", 0x1, 0x01D9000000000000ull, 0},
      {"zentrova.exe", 0x2, 0x01D9000000000001ull, 1},
      {"license.txt", 0x0, 0x01D9000000000002ull, 2},
  };
  c.infoEntry = 2;
  return c;
}

}  // namespace test
