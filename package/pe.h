// The few facts the package needs from a PE image's headers. Works on the
// mapped module image and on the file's bytes alike: the headers sit at the
// same offsets in both.
#pragma once

#include "base/types.h"
#include "package/package.h"

struct PeFacts {
  uint32_t certificateOffset;  // certificate-table entry's address (a file offset), 0 if none
  uint32_t certificateSize;
  uint32_t certificateEntryOffset;  // where that directory entry lives in the headers
  uint32_t imageEnd;           // end of the last section's raw data in the file
  uint32_t sectionTable;       // offset of the section table in the headers
  uint32_t sectionCount;
  uint16_t machine;            // the COFF header's machine (ReadPeFacts only)
};

// The part of ReadPeFacts the runtime needs: the checks and the
// certificate-table entry (imageEnd is left 0). Same returns.
PackageStatus ReadCertificateEntry(const uint8_t* headers, uint32_t size, PeFacts* facts);

// Reads the DOS and PE headers in the first `size` bytes. Requires "MZ", an
// e_lfanew inside the range, "PE\0\0", a PE32 or PE32+ optional header with
// a certificate-table entry, and a section table inside the range.
// Returns kPackageOk or kPackageNotExecutable.
PackageStatus ReadPeFacts(const uint8_t* headers, uint32_t size, PeFacts* facts);
