// The loaded setup package (Catalogue) and the portable parser that builds it
// from a trailer and a packed block. The parser is shared by the installer
// runtime and the host tool; LoadPackage (package/load.h) is the runtime's
// entry that finds the package in the running executable.
#pragma once

#include "base/types.h"
#include "package/format.h"

// Outcome of each step of reading a package. 0 is success; kPackageNoMemory
// means the machine could not provide the memory the package needs; every
// other value makes the package damaged and names the check that failed, so
// tools can report it.
enum PackageStatus {
  kPackageOk = 0,
  kPackageNotExecutable,      // no "MZ"/"PE\0\0" headers
  kPackageUnreadable,         // the file cannot be opened or read
  kPackageNoTrailer,          // no magic in the trailer window
  kPackageBadTrailer,         // packed block does not fit before the trailer
  kPackageBadProperties,      // LZMA properties invalid
  kPackageDataError,          // LZMA stream corrupt or ends early
  kPackageChecksumMismatch,   // byte sum differs from the trailer
  kPackageBadLayout,          // a count, offset, length or text outside the block
  kPackageUnsafeName,         // a file name that could leave the install folder
  kPackageNoProductName,      // ProductName missing
  kPackageNoMemory,           // an allocation failed: not damage, too little memory
  kPackageUnsafeFormat,       // a format text whose conversions do not match its arguments
  kPackageBadSetting,         // ProductName unusable as a key name, MainExecutable too long
};

// One LanguageBlock: LANGID, name and the 23 UI texts, all pointing into the
// unpacked block. A text stored empty points to an empty text, never null.
struct LanguageRecord {
  uint16_t langId;
  const Char16* name;
  const Char16* texts[kUiTextCount];
};

// The twelve settings in SettingIndex order; a setting stored empty is null.
struct SetupSettings {
  const Char16* text[kSettingCount];
};

struct Catalogue {
  uint8_t* block;              // the unpacked block, or its first heldSize bytes
  uint32_t blockSize;
  uint32_t heldSize;           // bytes at `block`: blockSize unless the file data streams
  PackageHeader header;        // decoded copy of the block's header
  FileEntry* entries;          // in place in the block, flags defaulted
  LanguageRecord* languages;   // header.languageCount records
  SetupSettings settings;
  const char* names;           // start of the NameTable
  uint32_t namesSize;          // bytes from the NameTable to the block end
  uint64_t total;              // bytes of the selected entries, 1 when 0
  uint32_t registryView;       // 0, kKeyWow64_64Key or kKeyWow64_32Key
  Char16* derivedMainExecutable;  // ProductName + ".exe" when stored empty
};

// Finds the trailer in the `kTrailerWindowSize` bytes that end at the package
// end: the magic is tried at positions 32 down to 16 and the highest position
// wins. Returns kPackageOk with the trailer and the offset of the trailer's
// first byte within the window, or kPackageNoTrailer.
PackageStatus FindTrailer(const uint8_t* window, PackageTrailer* trailer, uint32_t* trailerOffset);

// Checks a trailer against the package end (file offset where the window
// ends) and computes where the packed block starts. Returns kPackageOk, or
// kPackageBadTrailer when the packed block would not fit before the trailer,
// is shorter than the LZMA properties or could never expand to the unpacked
// size (kMaxExpansionShift).
PackageStatus LocatePackedBlock(const PackageTrailer* trailer, uint64_t trailerStart,
                                uint64_t* packedStart);

// Sum of all bytes as unsigned values, modulo 2^32.
uint32_t ComputeChecksum(const uint8_t* data, uint32_t size);

// Decodes a raw LZMA1 stream (5 property bytes, then data) into exactly
// `unpackedSize` bytes at `output`. Decoding stops when the output is full,
// whatever follows in the stream (an end marker, more data or nothing). The
// decoder's dictionary is clamped to the unpacked size (4 KiB at least): no
// distance reaches further back than the output start, so decoding is the
// same as with the larger dictionary the properties may ask for.
// Returns kPackageOk, kPackageBadProperties, kPackageDataError (corrupt, or
// input exhausted before the output is full) or kPackageNoMemory.
PackageStatus DecodePackedBlock(const uint8_t* packed, uint32_t packedSize, uint8_t* output,
                                uint32_t unpackedSize);

// The decoder behind DecodePackedBlock, for readers that decode in pieces.
// StartDecoder reads the five property bytes at `properties` and clamps the
// dictionary to `unpackedSize`; it returns kPackageOk with `*decoder` set,
// kPackageBadProperties or kPackageNoMemory. RunDecoder decodes from
// input[*inputPosition] into output[*outputPosition] until either runs out
// (call it with both non-empty) and returns kPackageOk after progress,
// kPackageDataError (corrupt data, an early end marker, or no progress: the
// input is exhausted) or kPackageNoMemory. EndDecoder frees the decoder.
PackageStatus StartDecoder(const uint8_t* properties, uint32_t unpackedSize, void** decoder);
PackageStatus RunDecoder(void* decoder, const uint8_t* input, size_t* inputPosition, size_t inputSize,
                         uint8_t* output, size_t* outputPosition, size_t outputSize);
void EndDecoder(void* decoder);

// Applies the flag defaults of an entry: no architecture bits means all (0xF),
// no Windows-version bits means all (0xFFFF0).
uint32_t DefaultEntryFlags(uint32_t flags);

// 1 when an entry with (defaulted) `flags` is installed on a machine with
// `archMask` and `osMask`, else 0.
int IsEntrySelected(uint32_t flags, uint32_t archMask, uint32_t osMask);

// The registry view for a machine and the header flags: on x64 and arm64
// Windows the 64-bit view when flag bit 0 is set, else the 32-bit view; 0
// elsewhere.
uint32_t RegistryViewFor(uint32_t archMask, uint8_t headerFlags);

// 1 when an 8-bit relative name is created by Windows as written, inside the
// install folder: non-empty, no leading separator, no ":" anywhere (drive
// letters, streams), no control character, and no component that is empty,
// ends in a dot or blank (which Windows drops, so "." and ".." too) or is a
// device name (IsDeviceName). Both "\" and "/" count as separators. A
// `listedOnly` entry may end in one separator: it only creates that folder.
// The installer's loader and `tailpack build` both apply this rule.
int IsSafeRelativeName(const char* name, int listedOnly = 0);

// 1 when the component at `part` (ended by a terminator or a separator)
// names a device in every folder: CON, PRN, AUX, NUL, or COM and LPT with a
// digit 0 to 9 or a superscript 1, 2 or 3 (bytes 0xB9, 0xB2, 0xB3), in any
// case, alone or followed by blanks and/or an extension.
int IsDeviceName(const char* part);

// 1 when every conversion in a UTF-16 `format` is "%%" or, in order, the next
// letter of `conversions` (for example "us" for an unsigned number then a
// text); fewer conversions than letters are fine. Anything else (another
// conversion, flags, a width, a lone "%" at the end) gives 0: such a format
// would read arguments that are not there.
int IsSafeFormat(const Char16* format, const char* conversions);

// 1 when a ProductName can end the uninstall key path, which takes the low
// byte of each unit, and name the shortcut files and the default folder:
// no unit's low byte is 0 (which would end the path at the shared Uninstall
// key) or "\\" (which would nest keys); no control character and none of
// <>:"/|?*; not empty, not ending in a dot or blank (so not "." or ".."),
// not a device name (CON, COM1, ...); at most kMaxProductNameUnits units.
int IsUsableProductName(const Char16* name);

// Validates and indexes an unpacked block in place: checks every count,
// offset, length and text against the block, rewrites entry flags with their
// defaults, builds the language table, settings, name table, the install
// total for `archMask`/`osMask` and the registry view, and derives
// MainExecutable. On success the catalogue owns `block`. With `heldSize`
// (non-zero) only that many first bytes of the block are at `block`: the
// metadata and the info text's data must lie within them, the other file
// data within `blockSize`.
// Returns kPackageOk, kPackageBadLayout, kPackageUnsafeName,
// kPackageNoProductName, kPackageBadSetting (a ProductName with a unit whose
// low byte is 0 or "\" or longer than kMaxProductNameUnits, a MainExecutable
// longer than kMaxMainExecutableUnits), kPackageUnsafeFormat (a formatted UI
// text or the configuration command with conversions its arguments cannot
// feed) or kPackageNoMemory; on failure the block is not
// taken over (its entry flags may have been rewritten) and nothing stays
// allocated. `block` must be 4-byte aligned, as heap blocks are.
PackageStatus IndexPackage(uint8_t* block, uint32_t blockSize, uint32_t archMask,
                           uint32_t osMask, Catalogue* catalogue, uint32_t heldSize = 0);

// Decodes the packed block that `trailer` describes, verifies its checksum
// and indexes it (IndexPackage). Returns kPackageOk or the first failed
// check; on failure nothing stays allocated.
PackageStatus ParsePackage(const uint8_t* packed, const PackageTrailer* trailer,
                           uint32_t archMask, uint32_t osMask, Catalogue* catalogue);

// 1 when an installer holding the first `held` bytes of the block can write
// every entry selected for `archMask`/`osMask` while it decodes the rest of
// the block once, in entry-table order: the data of each such entry (empty
// and listed-only entries aside) lies within the held bytes, or starts at or
// after the end of the data of the previous such entry beyond them (the
// first such entry may begin within the held bytes), or is
// that entry's data again (same offset and size: files with equal contents
// are stored once). Otherwise 0: the installer must hold the whole block.
int IsStreamableOrder(const Catalogue* catalogue, uint32_t held, uint32_t archMask, uint32_t osMask);

// Frees what IndexPackage/ParsePackage allocated (the runtime never does;
// its catalogue lives until exit).
void ReleaseCatalogue(Catalogue* catalogue);

// The relative name of an entry (validated by IndexPackage).
inline const char* EntryName(const Catalogue* catalogue, const FileEntry* entry) {
  return catalogue->names + entry->nameOffset;
}

// A setting by index, or null when absent. MainExecutable is never null: it
// is ProductName + ".exe" when the package stores none.
inline const Char16* Setting(const Catalogue* catalogue, SettingIndex index) {
  return catalogue->settings.text[index];
}
