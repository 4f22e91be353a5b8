// Hostile installers: every one is a package the builder never makes, and
// each must be refused by the installer's loader (nothing created), by
// `tailpack verify` (exit 1, bounded memory and time) and by `tailpack
// extract` (nothing written outside -d).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace hostile {

struct Case {
  std::string name;  // file-name safe: letters, digits, "-" and "_"
  std::vector<uint8_t> bytes;
};

enum class Size {
  kSmall,  // every case but the largest: a few megabytes in all, seconds to make
  kLarge,  // only the bombs that claim gigabytes and the 20-million-entry file
};

// Calls `emit` for each case, built on `stub` (any PE image: the real stub
// for Wine, a minimal image for native checks). Throws on writer errors.
void MakeCorpus(const std::vector<uint8_t>& stub, Size size, const std::function<void(Case&&)>& emit);

}  // namespace hostile
