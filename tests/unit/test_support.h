// Shared helpers for the native tests: a minimal PE image to carry packages,
// and a small valid package.
#pragma once

#include <cstdint>
#include <vector>

#include "package/writer.h"

namespace test {

// Little-endian 32-bit values in a byte vector.
void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value);
uint32_t Get32(const std::vector<uint8_t>& bytes, size_t at);

// A syntactically complete PE32 image (headers and one 512-byte section) that
// the package writer and reader accept. With `pe32Plus` the optional header
// is PE32+.
std::vector<uint8_t> MakeMinimalPe(bool pe32Plus = false);

// A package with English and German texts, three files (x86, x64, all) and
// the settings of a small product named "Zentrova".
tailpack::PackageContents SamplePackage();

}  // namespace test
