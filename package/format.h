// The setup package format: constants and on-disk record layouts.
//
// An installer file is a Windows executable followed by
//   packed block | PackageTrailer | 0..16 slack bytes | [certificate table]
// The packed block is a raw LZMA1 stream (5 property bytes, then range-coded
// data) whose output, the unpacked block, holds back to back:
//   PackageHeader | FileEntry x file count | LanguageBlock x language count |
//   12 settings texts | NameTable | file data
// All integers are little-endian. Offsets are relative to the start of the
// unpacked block, except FileEntry::nameOffset, which is relative to the
// start of the NameTable.
#pragma once

#include "base/types.h"

// "TS\xAB\xEF": the last four bytes of the trailer.
const uint32_t kTrailerMagic = 0xEFAB5354u;
const uint32_t kTrailerSize = 20;
// The trailer is searched for in the last kTrailerWindowSize bytes before the
// package end; its magic may begin at window positions 32 down to 16, which
// allows 0 to 16 slack bytes after the trailer.
const uint32_t kTrailerWindowSize = 36;
const uint32_t kMagicHighestPosition = 32;
const uint32_t kMagicLowestPosition = 16;
const uint32_t kMaxSlack = 16;

const uint32_t kLzmaPropertiesSize = 5;
// Largest valid LZMA properties byte: (pb * 5 + lp) * 9 + lc with pb 4, lp 4, lc 8.
const uint32_t kLzmaMaxPropertiesByte = 224;

const uint32_t kHeaderSize = 12;
const uint32_t kFileEntrySize = 28;
const uint32_t kUiTextCount = 23;
const uint32_t kSettingCount = 12;
const uint16_t kNoInfoEntry = 0xFFFF;

// ProductName ends the uninstall key path, one byte per unit, in a buffer of
// 128 bytes after 52 fixed characters.
const uint32_t kMaxProductNameUnits = 75;
// The longest MainExecutable a 260-unit path holds in the shortest install
// folder, "C:\".
const uint32_t kMaxMainExecutableUnits = 256;

// No LZMA1 stream expands more than about 7100-fold (a 273-byte repeat
// costs at least 0.3 bits), so an unpacked size above 2^13 times the packed
// size is a false claim.
const uint32_t kMaxExpansionShift = 13;

// An installer whose unpacked block is larger than kStreamThreshold does not
// hold the whole block: it keeps the first kStreamHeldSize bytes (the
// metadata and, when the tool wrote the package, the info text, whose data
// comes first) and decodes the file data once, as it writes the files, in
// the order of the entry table. Below the threshold the block is held and
// verified before anything is written, which costs at most 64 MiB.
const uint32_t kStreamThreshold = 64u << 20;
const uint32_t kStreamHeldSize = 16u << 20;

// FileEntry flags.
const uint32_t kEntryArchBits = 0x0000000Fu;
const uint32_t kEntryOsBits = 0x000FFFF0u;
const uint32_t kEntryOsShift = 4;
const uint32_t kEntryListedOnly = 0x00400000u;
const uint32_t kEntryReplaceInUse = 0x00800000u;
// The generated uninstaller (package/uninstall_record.h): the installer
// registers it as the product's uninstall command.
const uint32_t kEntryUninstaller = 0x01000000u;

// PackageHeader flags bit 0: use the 64-bit registry view on 64-bit Windows.
const uint8_t kHeaderFlag64BitView = 0x01;

// ArchMask bits.
const uint32_t kArchX86 = 1;
const uint32_t kArchX64 = 2;
const uint32_t kArchArm64 = 4;
const uint32_t kArchArm = 8;

// OsMask bits.
const uint32_t kOsWindows2000 = 1;
const uint32_t kOsWindowsXp = 2;
const uint32_t kOsWindowsVista = 4;
const uint32_t kOsWindows7 = 8;
const uint32_t kOsWindows8 = 16;
const uint32_t kOsWindows10 = 32;
const uint32_t kOsLater = 64;

// Registry access bits OR-ed into every registry open (RegistryView).
const uint32_t kKeyWow64_64Key = 0x0100;
const uint32_t kKeyWow64_32Key = 0x0200;

// The twenty bytes that end with the magic.
struct PackageTrailer {
  uint32_t checksum;       // byte sum of the unpacked block, modulo 2^32
  uint32_t unpackedSize;   // bytes in the unpacked block
  uint32_t packedSize;     // bytes in the packed block, property bytes included
  uint32_t extraSize;      // area before the packed block; 0, never read
  uint32_t magic;          // kTrailerMagic
};
static_assert(sizeof(PackageTrailer) == kTrailerSize, "trailer layout");

struct PackageHeader {
  uint32_t fileCount;
  uint16_t supportedVersions;  // OsMask set; 0 = every version
  uint16_t infoEntry;          // FileEntry index of the info text, or kNoInfoEntry
  uint8_t languageCount;       // at least 1
  uint8_t supportedArchs;      // ArchMask set; 0 = every architecture
  uint8_t flags;               // bit 0: kHeaderFlag64BitView
  uint8_t reserved;
};
static_assert(sizeof(PackageHeader) == kHeaderSize, "header layout");

// One packaged file. The loader indexes the entry table in place, so the
// record is declared with 32-bit fields only (4-byte alignment, which every
// entry has: the table starts at offset 12 and entries are 28 bytes).
struct FileEntry {
  uint32_t timeLow;     // FILETIME of the last write, low half
  uint32_t timeHigh;    // FILETIME, high half
  uint32_t flags;       // kEntry* bits
  uint32_t reserved;
  uint32_t size;        // bytes of file data
  uint32_t nameOffset;  // into the NameTable
  uint32_t dataOffset;  // into the unpacked block
};
static_assert(sizeof(FileEntry) == kFileEntrySize, "file entry layout");

// UI texts that are formatted with one text argument (window title,
// sub-headings, launch box, folder and running-product questions); the
// others are shown as they are.
const uint8_t kFormattedUiTexts[] = {0, 6, 9, 12, 15, 17, 20, 22};

// Indices of the twelve settings texts.
enum SettingIndex {
  kProductName = 0,
  kProductVersion = 1,
  kMainExecutable = 2,
  kLaunchTarget = 3,
  kMutexName = 4,
  kWindowClass = 5,
  kWindowTitle = 6,
  kPublisher = 7,
  kDefaultFolder = 8,
  kConfigCommand = 9,
  kUninstallArguments = 10,
  kUnsupportedOsLink = 11,
};
