// The uninstall record: what one installed package wrote, for the generated
// uninstaller. A package built with a generated uninstaller carries two
// extra entries under kUninstallFolder: the uninstaller (the entry flagged
// kEntryUninstaller, which the installer registers as the product's
// uninstall command) and its record, named by a hash of its bytes, so that
// each version installed over another adds its own record beside the
// earlier ones and the uninstaller removes what all of them wrote.
//
// Record layout, all integers little-endian:
//   UninstallRecordHeader
//   kRecordSettingCount UTF-16LE texts, each ending in 0x0000 (empty = absent)
//   languageCount x { u16 LANGID, kUninstallTextCount UTF-16LE texts }
//   fileCount 8-bit names, then folderCount 8-bit names, each ending in a 0
//     byte: paths relative to the install folder, "\" separated, in the
//     system ANSI code page as the package's name table holds them; the
//     folders deepest first. The record ends with the last name.
#pragma once

#include "base/types.h"
#include "package/package.h"

// "TPUR".
const uint32_t kRecordMagic = 0x52555054u;
const uint8_t kRecordVersion = 1;
const uint32_t kRecordHeaderSize = 16;
// A record is read whole; none the tool writes comes near this.
const uint32_t kMaxRecordSize = 16u << 20;

// The folder inside the install folder whose folders, one for each product
// by its ProductName, hold that product's uninstaller and records:
// "uninstall\<ProductName>\uninstall.exe" and "uninstall\<ProductName>\*.tpr".
#define TAILPACK_UNINSTALL_FOLDER "uninstall"
inline constexpr char kUninstallFolder[] = TAILPACK_UNINSTALL_FOLDER;
inline constexpr char kUninstallerFileName[] = "uninstall.exe";
inline constexpr char kRecordExtension[] = ".tpr";

// Record header flags bit 0: the package's header flag bit 0 (the 64-bit
// registry view on 64-bit Windows).
const uint8_t kRecordFlag64BitView = 0x01;

struct UninstallRecordHeader {
  uint32_t magic;          // kRecordMagic
  uint8_t version;         // kRecordVersion
  uint8_t flags;           // kRecordFlag* bits
  uint8_t languageCount;   // at least 1; the first is the fallback
  uint8_t reserved;        // 0
  uint32_t fileCount;
  uint32_t folderCount;
};
static_assert(sizeof(UninstallRecordHeader) == kRecordHeaderSize, "record header layout");

// The product's settings the uninstaller needs, in this order. ProductName
// names the uninstall key and the shortcuts; the other three find the
// running product, as the installer does.
enum RecordSetting {
  kRecordProductName = 0,
  kRecordMutexName = 1,
  kRecordWindowClass = 2,
  kRecordWindowTitle = 3,
};
const uint32_t kRecordSettingCount = 4;

// The uninstaller's texts in each language. The first three and the fourth
// are formats with one %s, the product name.
enum UninstallText {
  kUninstallQuestion = 0,         // "Do you want to remove %s ...?"
  kUninstallRemoved = 1,          // "%s was removed ..."
  kUninstallIncomplete = 2,       // "%s could not be removed completely ...:" (the items follow)
  kUninstallProductRunning = 3,   // the installer's running-product question
  kUninstallNotAdministrator = 4, // the installer's administrator message
};
const uint32_t kUninstallTextCount = 5;

struct UninstallLanguage {
  uint16_t langId;
  const Char16* texts[kUninstallTextCount];  // never null; an empty text is ""
};

// A parsed record; the texts and names point into the record's bytes.
struct UninstallRecord {
  uint8_t flags;
  uint32_t languageCount;
  uint32_t fileCount;
  uint32_t folderCount;
  const Char16* settings[kRecordSettingCount];  // null when absent
  UninstallLanguage* languages;                 // AllocateMemory'd
  const char* names;    // the first file name; every other name follows its predecessor's 0
  uint32_t namesSize;   // bytes from `names` to the record's end
};

// Validates a record of `size` bytes at `data` (2-byte aligned): the header,
// every text and name inside the record, a usable ProductName, formats that
// ask for one text at most, names that stay inside the install folder, and
// nothing after the last name. Returns kPackageOk, kPackageBadLayout,
// kPackageNoProductName, kPackageBadSetting, kPackageUnsafeFormat,
// kPackageUnsafeName or kPackageNoMemory; on failure nothing stays allocated.
PackageStatus ParseUninstallRecord(const uint8_t* data, uint32_t size, UninstallRecord* record);

// The name after `name` (names end in a 0 byte).
const char* NextRecordName(const char* name);

void ReleaseUninstallRecord(UninstallRecord* record);
