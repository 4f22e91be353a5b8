// Portable package parser: trailer search, checksum, validation and indexing.
#include "base/memory.h"
#include "base/text.h"
#include "package/byte_reader.h"
#include "package/package.h"

PackageStatus FindTrailer(const uint8_t* window, PackageTrailer* trailer, uint32_t* trailerOffset) {
  for (uint32_t position = kMagicHighestPosition; position >= kMagicLowestPosition; --position) {
    ByteReader reader;
    InitReader(&reader, window, kTrailerWindowSize);
    SeekReader(&reader, position);
    if (ReadU32(&reader) != kTrailerMagic) continue;
    uint32_t start = position + 4 - kTrailerSize;
    SeekReader(&reader, start);
    trailer->checksum = ReadU32(&reader);
    trailer->unpackedSize = ReadU32(&reader);
    trailer->packedSize = ReadU32(&reader);
    trailer->extraSize = ReadU32(&reader);
    trailer->magic = ReadU32(&reader);
    *trailerOffset = start;
    return kPackageOk;
  }
  return kPackageNoTrailer;
}

PackageStatus LocatePackedBlock(const PackageTrailer* trailer, uint64_t trailerStart,
                                uint64_t* packedStart) {
  if (trailer->packedSize < kLzmaPropertiesSize || trailer->packedSize > trailerStart ||
      (trailer->unpackedSize >> kMaxExpansionShift) > trailer->packedSize) {
    return kPackageBadTrailer;
  }
  *packedStart = trailerStart - trailer->packedSize;
  return kPackageOk;
}

uint32_t ComputeChecksum(const uint8_t* data, uint32_t size) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < size; ++i) sum += data[i];
  return sum;
}

uint32_t DefaultEntryFlags(uint32_t flags) {
  if ((flags & kEntryArchBits) == 0) flags |= kEntryArchBits;
  if ((flags & kEntryOsBits) == 0) flags |= kEntryOsBits;
  return flags;
}

int IsEntrySelected(uint32_t flags, uint32_t archMask, uint32_t osMask) {
  return ((flags >> kEntryOsShift) & osMask & 0xFFFF) != 0 && (flags & archMask & kEntryArchBits) != 0;
}

uint32_t RegistryViewFor(uint32_t archMask, uint8_t headerFlags) {
  if ((archMask & (kArchX64 | kArchArm64)) == 0) return 0;
  return (headerFlags & kHeaderFlag64BitView) ? kKeyWow64_64Key : kKeyWow64_32Key;
}

int IsSafeFormat(const Char16* format, const char* conversions) {
  for (; *format != 0; ++format) {
    if (*format != '%') continue;
    ++format;
    if (*format == '%') continue;
    // Also stops at the terminator after a lone '%'.
    if (*conversions == 0 || *format != static_cast<Char16>(*conversions)) return 0;
    ++conversions;
  }
  return 1;
}

static int IsSeparator(char c) { return c == '\\' || c == '/'; }

// The three letters of a device name as one number, first letter highest.
#define DEVICE(a, b, c) (static_cast<uint32_t>(a) << 16 | (b) << 8 | (c))

// The digits Windows accepts after COM and LPT: 0 to 9, and the superscripts
// one, two and three (U+00B9, U+00B2, U+00B3; the same bytes in the Western
// code pages, so 8-bit names are held to them too).
static int IsPortDigit(uint32_t unit) { return (unit >= '0' && unit <= '9') || unit == 0xB9 || unit == 0xB2 || unit == 0xB3; }

template <typename Unit>
static int IsDeviceNameOf(const Unit* part) {
  // COM and LPT (the last two) take a digit.
  static const uint32_t kDevices[6] = {DEVICE('C', 'O', 'N'), DEVICE('P', 'R', 'N'),
                                       DEVICE('A', 'U', 'X'), DEVICE('N', 'U', 'L'),
                                       DEVICE('C', 'O', 'M'), DEVICE('L', 'P', 'T')};
  uint32_t letters = 0;
  for (uint32_t i = 0; i < 3; ++i, ++part) {
    uint32_t unit = static_cast<uint32_t>(*part);
    if (unit == 0 || unit > 0x7F) return 0;
    // Clearing bit 5 turns a-z into A-Z and nothing else into a letter.
    letters = letters << 8 | (unit & 0xDF);
  }
  for (uint32_t device = 0; device < 6; ++device) {
    if (letters != kDevices[device]) continue;
    if (device >= 4) {
      if (!IsPortDigit(static_cast<uint32_t>(*part) & (sizeof(Unit) == 1 ? 0xFF : 0xFFFF))) return 0;
      ++part;
    }
    while (*part == ' ') ++part;
    return *part == 0 || *part == '.' || *part == '\\' || *part == '/';
  }
  return 0;
}

int IsDeviceName(const char* part) { return IsDeviceNameOf(reinterpret_cast<const uint8_t*>(part)); }

int IsSafeRelativeName(const char* name, int listedOnly) {
  if (name[0] == 0 || IsSeparator(name[0])) return 0;
  const char* component = name;
  for (;;) {
    if (IsDeviceName(component)) return 0;
    const char* p = component;
    for (; *p != 0 && !IsSeparator(*p); ++p) {
      if (*p == ':' || static_cast<uint8_t>(*p) < 0x20) return 0;
    }
    // Empty, or ending in a dot or blank ("." and ".." among them): Windows
    // would drop the end or climb out. Only a listed-only entry may end in
    // one separator, which names the folder it creates.
    if (p == component) return listedOnly && *p == 0;
    if (p[-1] == '.' || p[-1] == ' ') return 0;
    if (*p == 0) return 1;
    component = p + 1;
  }
}

// Reads one UTF-16 text; null (and a failed reader) when it is unterminated.
static const Char16* TakeSetting(ByteReader* reader) {
  const Char16* text = ReadText16(reader);
  if (text == 0 || text[0] == 0) return 0;
  return text;
}

int IsUsableProductName(const Char16* name) {
  // The name ends the uninstall key path (the low byte of each unit) and
  // names the shortcut files and the default folder: a file name that
  // Windows creates as written, in the folder meant.
  uint32_t length = 0;
  for (; name[length] != 0; ++length) {
    Char16 unit = name[length];
    uint8_t low = static_cast<uint8_t>(unit);
    if (low == 0 || low == '\\' || unit < 0x20) return 0;
    for (const char* forbidden = "<>:\"/|?*"; *forbidden != 0; ++forbidden) {
      if (unit == static_cast<Char16>(*forbidden)) return 0;
    }
  }
  // Empty, ending in a dot or blank ("." and ".." among them), or a device.
  if (length == 0 || name[length - 1] == '.' || name[length - 1] == ' ' || IsDeviceNameOf(name)) return 0;
  return length <= kMaxProductNameUnits;
}

static Char16* DeriveMainExecutable(const Char16* productName) {
  static const Char16 kSuffix[] = u".exe";
  size_t nameLength = 0;
  while (productName[nameLength] != 0) ++nameLength;
  size_t total = nameLength + COUNT_OF(kSuffix);
  Char16* result = static_cast<Char16*>(AllocateMemory(total * sizeof(Char16)));
  if (result == 0) return 0;
  CopyBytes(result, productName, nameLength * sizeof(Char16));
  CopyBytes(result + nameLength, kSuffix, sizeof(kSuffix));
  return result;
}

PackageStatus IndexPackage(uint8_t* block, uint32_t blockSize, uint32_t archMask,
                           uint32_t osMask, Catalogue* catalogue, uint32_t heldSize) {
  if (heldSize == 0) heldSize = blockSize;
  // Everything but file data must lie within the bytes at hand.
  ByteReader reader;
  InitReader(&reader, block, heldSize);

  PackageHeader header;
  header.fileCount = ReadU32(&reader);
  header.supportedVersions = ReadU16(&reader);
  header.infoEntry = ReadU16(&reader);
  header.languageCount = ReadU8(&reader);
  header.supportedArchs = ReadU8(&reader);
  header.flags = ReadU8(&reader);
  header.reserved = ReadU8(&reader);
  // The entry table must fit in the block; this also bounds the file count.
  if (reader.failed || header.languageCount == 0 ||
      header.fileCount > RemainingBytes(&reader) / kFileEntrySize ||
      (header.infoEntry != kNoInfoEntry && header.infoEntry >= header.fileCount)) {
    return kPackageBadLayout;
  }
  // The table is used in place: FileEntry has 4-byte alignment, which every
  // entry has (offset 12, 28-byte records), and the machine is little-endian.
  FileEntry* entries = reinterpret_cast<FileEntry*>(block + reader.position);
  TakeBytes(&reader, header.fileCount * kFileEntrySize);

  LanguageRecord* languages = static_cast<LanguageRecord*>(
      AllocateMemory(sizeof(LanguageRecord) * header.languageCount));
  if (languages == 0) return kPackageNoMemory;
  for (uint32_t i = 0; i < header.languageCount; ++i) {
    LanguageRecord* language = &languages[i];
    language->langId = ReadU16(&reader);
    language->name = ReadText16(&reader);
    for (uint32_t t = 0; t < kUiTextCount; ++t) language->texts[t] = ReadText16(&reader);
  }

  SetupSettings settings;
  for (uint32_t s = 0; s < kSettingCount; ++s) settings.text[s] = TakeSetting(&reader);

  PackageStatus status = kPackageOk;
  if (reader.failed) {
    status = kPackageBadLayout;
  } else if (settings.text[kProductName] == 0) {
    status = kPackageNoProductName;
  } else if (!IsUsableProductName(settings.text[kProductName]) ||
             (settings.text[kMainExecutable] != 0 &&
              TextLength(settings.text[kMainExecutable]) > kMaxMainExecutableUnits)) {
    status = kPackageBadSetting;
  } else {
    // Texts used as formats must not ask for arguments the installer does
    // not pass: the configuration command gets a number and a text, the
    // formatted UI texts one text.
    const Char16* config = settings.text[kConfigCommand];
    if (config != 0 && !IsSafeFormat(config, "us")) status = kPackageUnsafeFormat;
    for (uint32_t i = 0; i < header.languageCount; ++i) {
      for (uint32_t f = 0; f < sizeof(kFormattedUiTexts); ++f) {
        if (!IsSafeFormat(languages[i].texts[kFormattedUiTexts[f]], "s")) status = kPackageUnsafeFormat;
      }
    }
  }
  ByteReader names;
  InitReader(&names, block + reader.position, heldSize - reader.position);
  uint64_t total = 0;
  for (uint32_t i = 0; i < header.fileCount && status == kPackageOk; ++i) {
    FileEntry* entry = &entries[i];
    const char* name = TextAt8(&names, entry->nameOffset);
    if (name == 0 || entry->dataOffset > blockSize || entry->size > blockSize - entry->dataOffset) {
      status = kPackageBadLayout;
    } else if (!IsSafeRelativeName(name, entry->flags & kEntryListedOnly)) {
      status = kPackageUnsafeName;
    }
    entry->flags = DefaultEntryFlags(entry->flags);
    // The field is not read from the package: the install keeps its record
    // of what it did for the entry there, from an empty one.
    entry->reserved = 0;
    if (IsEntrySelected(entry->flags, archMask, osMask)) total += entry->size;
  }
  // The wizard shows the info text from the bytes at hand.
  if (status == kPackageOk && header.infoEntry != kNoInfoEntry) {
    const FileEntry* info = &entries[header.infoEntry];
    if (info->dataOffset > heldSize || info->size > heldSize - info->dataOffset) status = kPackageBadLayout;
  }

  Char16* derived = 0;
  if (status == kPackageOk && settings.text[kMainExecutable] == 0) {
    derived = DeriveMainExecutable(settings.text[kProductName]);
    if (derived == 0) status = kPackageNoMemory;
    settings.text[kMainExecutable] = derived;
  }
  if (status != kPackageOk) {
    FreeMemory(languages);
    return status;
  }

  catalogue->block = block;
  catalogue->blockSize = blockSize;
  catalogue->heldSize = heldSize;
  catalogue->header = header;
  catalogue->entries = entries;
  catalogue->languages = languages;
  catalogue->settings = settings;
  catalogue->names = reinterpret_cast<const char*>(names.data);
  catalogue->namesSize = names.size;
  catalogue->total = total == 0 ? 1 : total;
  catalogue->registryView = RegistryViewFor(archMask, header.flags);
  catalogue->derivedMainExecutable = derived;
  return kPackageOk;
}

PackageStatus ParsePackage(const uint8_t* packed, const PackageTrailer* trailer,
                           uint32_t archMask, uint32_t osMask, Catalogue* catalogue) {
  uint8_t* block = static_cast<uint8_t*>(AllocateMemory(trailer->unpackedSize));
  if (block == 0) return kPackageNoMemory;
  PackageStatus status = DecodePackedBlock(packed, trailer->packedSize, block, trailer->unpackedSize);
  if (status == kPackageOk && ComputeChecksum(block, trailer->unpackedSize) != trailer->checksum) {
    status = kPackageChecksumMismatch;
  }
  if (status == kPackageOk) {
    status = IndexPackage(block, trailer->unpackedSize, archMask, osMask, catalogue);
  }
  if (status != kPackageOk) FreeMemory(block);
  return status;
}

int IsStreamableOrder(const Catalogue* catalogue, uint32_t held, uint32_t archMask, uint32_t osMask) {
  uint32_t start = held;
  uint32_t end = held;
  for (uint32_t i = 0; i < catalogue->header.fileCount; ++i) {
    const FileEntry* entry = &catalogue->entries[i];
    if (!IsEntrySelected(entry->flags, archMask, osMask) || (entry->flags & kEntryListedOnly) != 0) continue;
    // IndexPackage checked that the data lies within the block.
    uint32_t entryEnd = entry->dataOffset + entry->size;
    if (entry->size == 0 || entryEnd <= held || (entry->dataOffset == start && entryEnd == end)) continue;
    // The first entry read from the stream may begin in the held bytes.
    if ((entry->dataOffset > held ? entry->dataOffset : held) < end) return 0;
    start = entry->dataOffset;
    end = entryEnd;
  }
  return 1;
}

void ReleaseCatalogue(Catalogue* catalogue) {
  FreeMemory(catalogue->block);
  FreeMemory(catalogue->languages);
  FreeMemory(catalogue->derivedMainExecutable);
  FillBytes(catalogue, 0, sizeof(*catalogue));
}
