// ParseUninstallRecord over arbitrary bytes. A record that parses is walked
// as the uninstaller walks it: every text and name must end inside the
// record's bytes (allocated with exactly the input's size, so AddressSanitizer
// reports a walk past them) and satisfy what the parser checked.
#include <cstdlib>
#include <cstring>

#include "package/uninstall_record.h"
#include "tests/fuzz/check_catalogue.h"

namespace {

struct Range {
  const uint8_t* begin;
  const uint8_t* end;
};

bool Inside(const Range& r, const void* p, size_t bytes) {
  const uint8_t* at = static_cast<const uint8_t*>(p);
  return at >= r.begin && at <= r.end && bytes <= static_cast<size_t>(r.end - at);
}

// A UTF-16 text at an even offset that ends, with its terminator, inside `r`.
size_t CheckText16(const Range& r, const Char16* text) {
  fuzz::Require(text != nullptr && Inside(r, text, 2));
  fuzz::Require(((reinterpret_cast<const uint8_t*>(text) - r.begin) & 1) == 0);
  size_t length = 0;
  while (text[length] != 0) fuzz::Require(Inside(r, text + ++length, 2));
  return length;
}

uint32_t Get32(const uint8_t* p) {
  uint32_t value;
  memcpy(&value, p, 4);
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxRecordSize) return 0;
  uint8_t* bytes = static_cast<uint8_t*>(malloc(size == 0 ? 1 : size));
  if (size != 0) memcpy(bytes, data, size);
  UninstallRecord record;
  memset(&record, 0xA5, sizeof record);
  if (ParseUninstallRecord(bytes, static_cast<uint32_t>(size), &record) != kPackageOk) {
    fuzz::Require(record.languages == nullptr);  // nothing left allocated
    free(bytes);
    return 0;
  }
  fuzz::Require(size >= kRecordHeaderSize && Get32(bytes) == kRecordMagic && bytes[4] == kRecordVersion);
  fuzz::Require(record.flags == bytes[5] && record.languageCount == bytes[6] && record.languageCount != 0);
  fuzz::Require(record.fileCount == Get32(bytes + 8) && record.folderCount == Get32(bytes + 12));

  // Texts lie between the header and the names.
  const Range record_bytes = {bytes, bytes + size};
  fuzz::Require(Inside(record_bytes, record.names, record.namesSize) &&
                reinterpret_cast<const uint8_t*>(record.names) + record.namesSize == bytes + size);
  const Range texts = {bytes + kRecordHeaderSize, reinterpret_cast<const uint8_t*>(record.names)};
  for (uint32_t s = 0; s < kRecordSettingCount; ++s) {
    if (record.settings[s] != nullptr) fuzz::Require(CheckText16(texts, record.settings[s]) != 0);
  }
  fuzz::Require(record.settings[kRecordProductName] != nullptr &&
                IsUsableProductName(record.settings[kRecordProductName]));
  fuzz::Require(record.languages != nullptr);
  for (uint32_t l = 0; l < record.languageCount; ++l) {
    for (uint32_t t = 0; t < kUninstallTextCount; ++t) {
      const Char16* text = record.languages[l].texts[t];
      CheckText16(texts, text);
      if (t <= kUninstallProductRunning) fuzz::Require(IsSafeFormat(text, "s"));
    }
  }

  // The names, as the uninstaller steps through them, end exactly at the
  // record's end.
  const Range names = {reinterpret_cast<const uint8_t*>(record.names), bytes + size};
  const char* name = record.names;
  for (uint64_t n = 0; n < uint64_t{record.fileCount} + record.folderCount; ++n) {
    fuzz::Require(Inside(names, name, 1) && memchr(name, 0, names.end - reinterpret_cast<const uint8_t*>(name)));
    fuzz::Require(IsSafeRelativeName(name));
    name = NextRecordName(name);
  }
  fuzz::Require(reinterpret_cast<const uint8_t*>(name) == names.end);
  ReleaseUninstallRecord(&record);
  fuzz::Require(record.languages == nullptr);
  free(bytes);
  return 0;
}
