#include "package/pe.h"

#include "package/byte_reader.h"

static const uint16_t kPe32Magic = 0x10B;
static const uint16_t kPe32PlusMagic = 0x20B;
static const uint32_t kSecurityDirectory = 4;

PackageStatus ReadCertificateEntry(const uint8_t* headers, uint32_t size, PeFacts* facts) {
  ByteReader reader;
  InitReader(&reader, headers, size);
  if (ReadU8(&reader) != 'M' || ReadU8(&reader) != 'Z') return kPackageNotExecutable;
  SeekReader(&reader, 0x3C);
  uint32_t peOffset = ReadU32(&reader);
  SeekReader(&reader, peOffset);
  if (ReadU32(&reader) != 0x00004550u) return kPackageNotExecutable;  // "PE\0\0"
  // COFF file header.
  ReadU16(&reader);  // machine
  uint16_t sectionCount = ReadU16(&reader);
  TakeBytes(&reader, 12);
  uint16_t optionalSize = ReadU16(&reader);
  ReadU16(&reader);  // characteristics
  uint32_t optionalStart = reader.position;
  uint16_t magic = ReadU16(&reader);
  uint32_t directoryCountOffset;
  if (magic == kPe32Magic) {
    directoryCountOffset = 92;
  } else if (magic == kPe32PlusMagic) {
    directoryCountOffset = 108;
  } else {
    return kPackageNotExecutable;
  }
  SeekReader(&reader, optionalStart + directoryCountOffset);
  uint32_t directoryCount = ReadU32(&reader);
  if (reader.failed || directoryCount <= kSecurityDirectory) return kPackageNotExecutable;
  uint32_t entryOffset = reader.position + kSecurityDirectory * 8;
  if (entryOffset + 8 > optionalStart + optionalSize) return kPackageNotExecutable;
  SeekReader(&reader, entryOffset);
  facts->certificateEntryOffset = entryOffset;
  facts->certificateOffset = ReadU32(&reader);
  facts->certificateSize = ReadU32(&reader);

  facts->sectionTable = optionalStart + optionalSize;
  facts->sectionCount = sectionCount;
  facts->imageEnd = 0;
  return reader.failed ? kPackageNotExecutable : kPackageOk;
}

PackageStatus ReadPeFacts(const uint8_t* headers, uint32_t size, PeFacts* facts) {
  PackageStatus status = ReadCertificateEntry(headers, size, facts);
  if (status != kPackageOk) return status;
  ByteReader reader;
  InitReader(&reader, headers, size);
  SeekReader(&reader, 0x3C);
  SeekReader(&reader, ReadU32(&reader) + 4);
  facts->machine = ReadU16(&reader);
  SeekReader(&reader, facts->sectionTable);
  uint32_t imageEnd = 0;
  for (uint32_t i = 0; i < facts->sectionCount; ++i) {
    TakeBytes(&reader, 16);
    uint32_t rawSize = ReadU32(&reader);
    uint32_t rawPointer = ReadU32(&reader);
    TakeBytes(&reader, 16);
    if (rawSize != 0 && rawPointer + static_cast<uint64_t>(rawSize) > imageEnd) {
      uint64_t end = rawPointer + static_cast<uint64_t>(rawSize);
      imageEnd = end > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(end);
    }
  }
  if (reader.failed) return kPackageNotExecutable;
  facts->imageEnd = imageEnd;
  return kPackageOk;
}
