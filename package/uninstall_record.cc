#include "package/uninstall_record.h"

#include "base/memory.h"
#include "base/text.h"
#include "package/byte_reader.h"

const char* NextRecordName(const char* name) {
  while (*name != 0) ++name;
  return name + 1;
}

PackageStatus ParseUninstallRecord(const uint8_t* data, uint32_t size, UninstallRecord* record) {
  FillBytes(record, 0, sizeof(*record));
  ByteReader reader;
  InitReader(&reader, data, size);
  uint32_t magic = ReadU32(&reader);
  uint8_t version = ReadU8(&reader);
  record->flags = ReadU8(&reader);
  record->languageCount = ReadU8(&reader);
  ReadU8(&reader);
  record->fileCount = ReadU32(&reader);
  record->folderCount = ReadU32(&reader);
  // Every name takes at least two bytes, every language at least twelve.
  if (reader.failed || magic != kRecordMagic || version != kRecordVersion || record->languageCount == 0 ||
      record->fileCount > RemainingBytes(&reader) / 2 ||
      record->folderCount > RemainingBytes(&reader) / 2 - record->fileCount) {
    return kPackageBadLayout;
  }
  for (uint32_t s = 0; s < kRecordSettingCount; ++s) {
    const Char16* text = ReadText16(&reader);
    record->settings[s] = text != 0 && text[0] != 0 ? text : 0;
  }
  UninstallLanguage* languages =
      static_cast<UninstallLanguage*>(AllocateMemory(sizeof(UninstallLanguage) * record->languageCount));
  if (languages == 0) return kPackageNoMemory;
  for (uint32_t i = 0; i < record->languageCount; ++i) {
    languages[i].langId = ReadU16(&reader);
    for (uint32_t t = 0; t < kUninstallTextCount; ++t) {
      const Char16* text = ReadText16(&reader);
      languages[i].texts[t] = text != 0 ? text : u"";
    }
  }
  record->languages = languages;
  record->names = reinterpret_cast<const char*>(data) + reader.position;
  record->namesSize = RemainingBytes(&reader);

  PackageStatus status = kPackageOk;
  if (reader.failed) {
    status = kPackageBadLayout;
  } else if (record->settings[kRecordProductName] == 0) {
    status = kPackageNoProductName;
  } else if (!IsUsableProductName(record->settings[kRecordProductName])) {
    status = kPackageBadSetting;
  } else {
    for (uint32_t i = 0; i < record->languageCount && status == kPackageOk; ++i) {
      for (uint32_t t = 0; t <= kUninstallProductRunning; ++t) {
        if (!IsSafeFormat(languages[i].texts[t], "s")) status = kPackageUnsafeFormat;
      }
    }
    // The names: each ended within the record, each inside the install
    // folder, and the last one ending the record.
    uint32_t offset = reader.position;
    uint32_t count = record->fileCount + record->folderCount;
    for (uint32_t n = 0; n < count && status == kPackageOk; ++n) {
      const char* name = TextAt8(&reader, offset);
      if (name == 0) {
        status = kPackageBadLayout;
      } else if (!IsSafeRelativeName(name)) {
        status = kPackageUnsafeName;
      } else {
        offset += static_cast<uint32_t>(TextLength8(name)) + 1;
      }
    }
    if (status == kPackageOk && offset != size) status = kPackageBadLayout;
  }
  if (status != kPackageOk) ReleaseUninstallRecord(record);
  return status;
}

void ReleaseUninstallRecord(UninstallRecord* record) {
  FreeMemory(record->languages);
  record->languages = 0;
}
