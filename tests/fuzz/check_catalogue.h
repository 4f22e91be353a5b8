// Walks everything an indexed catalogue points at. The block was allocated
// with exactly its size, so AddressSanitizer reports any text, name or data
// range that indexing let reach past it; the explicit checks catch pointers
// that stray into other memory, which the sanitizer would not see.
#pragma once

#include <cstdlib>
#include <cstring>

#include "package/package.h"

namespace fuzz {

inline void Require(bool condition) {
  if (!condition) abort();
}

// True when `bytes` at `p` lie within the bytes of the block at hand (all
// of it, or the held head of a block that streams).
inline bool InBlock(const Catalogue& c, const void* p, size_t bytes) {
  const uint8_t* at = static_cast<const uint8_t*>(p);
  return at >= c.block && static_cast<size_t>(at - c.block) <= c.heldSize &&
         bytes <= c.heldSize - static_cast<size_t>(at - c.block);
}

// Length of a text that must end inside the block.
inline size_t CheckText16(const Catalogue& c, const Char16* text) {
  Require(text != nullptr);
  size_t length = 0;
  while (text[length] != 0) ++length;
  Require(InBlock(c, text, (length + 1) * sizeof(Char16)));
  return length;
}

// Checks a catalogue indexed for a machine with `archMask` and `osMask`.
inline void CheckCatalogue(const Catalogue& c, uint32_t archMask, uint32_t osMask) {
  Require(c.block != nullptr && c.languages != nullptr);
  Require(c.header.languageCount != 0);
  Require(c.header.infoEntry == kNoInfoEntry || c.header.infoEntry < c.header.fileCount);
  Require(c.total != 0);
  Require(c.registryView == RegistryViewFor(archMask, c.header.flags));
  for (uint32_t l = 0; l < c.header.languageCount; ++l) {
    CheckText16(c, c.languages[l].name);
    for (uint32_t t = 0; t < kUiTextCount; ++t) CheckText16(c, c.languages[l].texts[t]);
  }
  for (uint32_t s = 0; s < kSettingCount; ++s) {
    const Char16* text = c.settings.text[s];
    if (text == nullptr) continue;
    if (text == c.derivedMainExecutable) {
      Require(s == kMainExecutable);
      continue;
    }
    Require(CheckText16(c, text) != 0);  // stored empty means absent
  }
  Require(c.settings.text[kProductName] != nullptr && c.settings.text[kMainExecutable] != nullptr);
  Require(InBlock(c, c.names, c.namesSize));
  Require(InBlock(c, c.entries, static_cast<size_t>(c.header.fileCount) * kFileEntrySize));
  uint64_t total = 0;
  for (uint32_t i = 0; i < c.header.fileCount; ++i) {
    const FileEntry& e = c.entries[i];
    const char* name = EntryName(&c, &e);
    size_t length = 0;
    while (name[length] != 0) ++length;
    Require(InBlock(c, name, length + 1));
    Require(IsSafeRelativeName(name, (e.flags & kEntryListedOnly) != 0));
    Require(e.dataOffset <= c.blockSize && e.size <= c.blockSize - e.dataOffset);
    Require((e.flags & kEntryArchBits) != 0 && (e.flags & kEntryOsBits) != 0);
    // Reads the part of the range that is held (all of it unless the block
    // streams).
    uint32_t end = e.dataOffset + e.size;
    uint32_t heldEnd = end < c.heldSize ? end : c.heldSize;
    if (e.dataOffset < heldEnd) ComputeChecksum(c.block + e.dataOffset, heldEnd - e.dataOffset);
    if (IsEntrySelected(e.flags, archMask, osMask)) total += e.size;
  }
  Require(c.total == (total == 0 ? 1 : total));
  // The info pane shows the info text from memory.
  if (c.header.infoEntry != kNoInfoEntry) {
    const FileEntry& info = c.entries[c.header.infoEntry];
    Require(info.dataOffset + info.size <= c.heldSize);
  }
}

}  // namespace fuzz
