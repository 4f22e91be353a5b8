// ReadPeFacts over arbitrary headers.
#include <cstdlib>
#include <cstring>

#include "package/pe.h"
#include "tests/fuzz/check_catalogue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFFFu) return 0;
  uint8_t* headers = static_cast<uint8_t*>(malloc(size));
  if (size != 0) memcpy(headers, data, size);
  PeFacts facts;
  if (ReadPeFacts(headers, static_cast<uint32_t>(size), &facts) == kPackageOk) {
    // The writer patches the certificate entry where the reader found it.
    fuzz::Require(size >= 8 && facts.certificateEntryOffset <= size - 8);
    uint32_t offset, length;
    memcpy(&offset, headers + facts.certificateEntryOffset, 4);
    memcpy(&length, headers + facts.certificateEntryOffset + 4, 4);
    fuzz::Require(offset == facts.certificateOffset && length == facts.certificateSize);
    fuzz::Require(headers[0] == 'M' && headers[1] == 'Z');
  }
  free(headers);
  return 0;
}
