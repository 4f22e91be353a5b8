// The package writer, checked by reading what it writes with the parser the
// installer uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <set>
#include <string>

#include "package/package.h"
#include "package/pe.h"
#include "package/uninstall_record.h"
#include "package/writer.h"
#include "tests/unit/test_support.h"

namespace {

using namespace std::string_literals;
using tailpack::BlockLayout;
using tailpack::BuildBlock;
using tailpack::CompressBlock;
using tailpack::LzmaSettings;
using tailpack::PackageContents;
using tailpack::WriterError;
using test::Get32;

PeFacts Facts(const std::vector<uint8_t>& image) {
  PeFacts facts{};
  EXPECT_EQ(ReadPeFacts(image.data(), static_cast<uint32_t>(image.size()), &facts), kPackageOk);
  return facts;
}

// Reads an installer file the way the loader does, with the portable parser.
struct Decoded {
  Catalogue catalogue{};
  PackageStatus status = kPackageNoTrailer;
  PackageTrailer trailer{};
  uint64_t packedStart = 0;
  Decoded() = default;
  Decoded(const Decoded&) = delete;
  ~Decoded() {
    if (status == kPackageOk) ReleaseCatalogue(&catalogue);
  }
};

void Decode(const std::vector<uint8_t>& file, Decoded* out, uint32_t arch = kArchX64,
            uint32_t os = kOsWindows10) {
  PeFacts facts = Facts(file);
  uint64_t end = facts.certificateOffset != 0 ? facts.certificateOffset : file.size();
  ASSERT_GE(end, kTrailerWindowSize);
  uint32_t offset = 0;
  out->status = FindTrailer(&file[end - kTrailerWindowSize], &out->trailer, &offset);
  if (out->status != kPackageOk) return;
  out->status = LocatePackedBlock(&out->trailer, end - kTrailerWindowSize + offset, &out->packedStart);
  if (out->status != kPackageOk) return;
  out->status = ParsePackage(&file[out->packedStart], &out->trailer, arch, os, &out->catalogue);
}

// A package that sets every field to something recognisable.
PackageContents RichPackage() {
  PackageContents c;
  c.supportedVersions = kOsWindows7 | kOsWindows8 | kOsWindows10;
  c.supportedArchs = kArchX86 | kArchX64 | kArchArm64;
  c.flags = 1;
  c.infoEntry = 3;
  c.languages.push_back(tailpack::EnglishLanguage());
  for (uint16_t id : {0x0407, 0x040C}) {
    tailpack::LanguageTexts l;
    l.langId = id;
    l.name = u"L\u00e4" + std::u16string(1, static_cast<char16_t>(u'A' + (id & 0xF)));
    for (size_t t = 0; t < kUiTextCount; ++t) {
      l.texts[t] = std::u16string(t % 3, u'\u4e2d') + u"#" + static_cast<char16_t>(u'a' + t);
    }
    l.texts[11] = u"";
    c.languages.push_back(l);
  }
  const char16_t* settings[kSettingCount] = {
      u"Zentrova", u"2.1.3", u"bin\\zentrova.exe", u"%ProgramFiles%\\Zentrova\\run.cmd",
      u"ZentrovaMutex", u"ZentrovaWindow", u"Zentrova \u2014 Main", u"Halvix",
      u"%LocalAppData%\\Zentrova", u"-xi:%u:%s", u"-xu", u"https://example.com/os"};
  for (size_t s = 0; s < kSettingCount; ++s) c.settings[s] = settings[s];
  c.blobs = {{}, {'x', '8', '6'}, {0x00, 0xFF, 0x80, 0x7F}, {'l', 'i', 'c'}};
  c.files = {
      {"bin\\zentrova.exe", 0x1 | (0x38 << 4), 0x0123456789ABCDEFull, 1},
      {"bin\\zentrova.sys", 0x2 | kEntryReplaceInUse, 0xFFFFFFFF00000001ull, 2},
      {"empty.dat", kEntryListedOnly, 0, 0},
      {"license.txt", 0, 0x01D9000000000002ull, 3},
      {"docs\\\xE4nderungen.txt", 0xF | kEntryOsBits | 0xFF000000u, 1, 3},
  };
  return c;
}

TEST(Writer, RoundTripsEveryField) {
  PackageContents c = RichPackage();
  std::vector<uint8_t> installer = tailpack::WriteInstaller(test::MakeMinimalPe(), c);
  Decoded d;
  Decode(installer, &d);
  ASSERT_EQ(d.status, kPackageOk);
  const Catalogue& k = d.catalogue;

  EXPECT_EQ(k.header.fileCount, c.files.size());
  EXPECT_EQ(k.header.supportedVersions, c.supportedVersions);
  EXPECT_EQ(k.header.supportedArchs, c.supportedArchs);
  EXPECT_EQ(k.header.infoEntry, c.infoEntry);
  EXPECT_EQ(k.header.languageCount, c.languages.size());
  EXPECT_EQ(k.header.flags, c.flags);
  EXPECT_EQ(k.header.reserved, 0);

  for (size_t l = 0; l < c.languages.size(); ++l) {
    SCOPED_TRACE(l);
    EXPECT_EQ(k.languages[l].langId, c.languages[l].langId);
    EXPECT_EQ(std::u16string(k.languages[l].name), c.languages[l].name);
    for (size_t t = 0; t < kUiTextCount; ++t) {
      EXPECT_EQ(std::u16string(k.languages[l].texts[t]), c.languages[l].texts[t]) << t;
    }
  }
  for (size_t s = 0; s < kSettingCount; ++s) {
    ASSERT_NE(k.settings.text[s], nullptr) << s;
    EXPECT_EQ(std::u16string(k.settings.text[s]), c.settings[s]) << s;
  }
  for (size_t i = 0; i < c.files.size(); ++i) {
    SCOPED_TRACE(c.files[i].name);
    const FileEntry& e = k.entries[i];
    const std::vector<uint8_t>& blob = c.blobs[c.files[i].blob];
    EXPECT_STREQ(EntryName(&k, &e), c.files[i].name.c_str());
    EXPECT_EQ((uint64_t(e.timeHigh) << 32) | e.timeLow, c.files[i].modificationTime);
    EXPECT_EQ(e.flags, DefaultEntryFlags(c.files[i].flags));
    EXPECT_EQ(e.reserved, 0u);
    ASSERT_EQ(e.size, blob.size());
    EXPECT_TRUE(std::equal(blob.begin(), blob.end(), k.block + e.dataOffset));
  }
}

TEST(Writer, StoresSharedBlobsAndNamesOnce) {
  PackageContents c = test::SamplePackage();
  // Three more files: a second name for the licence text, and the x64
  // executable under the same name as an arm64 copy.
  c.files.push_back({"docs\\license.txt", 0, 0, 2});
  c.files.push_back({"zentrova.exe", 0x4, 0, 1});
  c.files.push_back({"license.txt", 0x8, 0, 2});
  BlockLayout layout;
  std::vector<uint8_t> block = BuildBlock(c, &layout);

  size_t blobBytes = 0;
  for (const auto& blob : c.blobs) blobBytes += blob.size();
  EXPECT_EQ(block.size(), layout.data + blobBytes);
  std::set<std::string> unique;
  size_t nameBytes = 0;
  for (const auto& file : c.files) {
    if (unique.insert(file.name).second) nameBytes += file.name.size() + 1;
  }
  EXPECT_EQ(layout.data - layout.names, nameBytes);

  Decoded d;
  Decode(tailpack::WriteInstaller(test::MakeMinimalPe(), c), &d);
  ASSERT_EQ(d.status, kPackageOk);
  const FileEntry* e = d.catalogue.entries;
  EXPECT_EQ(e[3].dataOffset, e[2].dataOffset);
  EXPECT_EQ(e[5].dataOffset, e[2].dataOffset);
  EXPECT_EQ(e[4].dataOffset, e[1].dataOffset);
  EXPECT_NE(e[0].dataOffset, e[1].dataOffset);
  EXPECT_EQ(e[0].nameOffset, e[1].nameOffset);
  EXPECT_EQ(e[4].nameOffset, e[0].nameOffset);
  EXPECT_EQ(e[5].nameOffset, e[2].nameOffset);
  EXPECT_NE(e[3].nameOffset, e[2].nameOffset);
  // Blobs follow the name table in the order given.
  EXPECT_EQ(e[0].dataOffset, layout.data);
  EXPECT_EQ(e[1].dataOffset, layout.data + 3);
  EXPECT_EQ(e[2].dataOffset, layout.data + 3 + 4);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(d.catalogue.names), d.catalogue.block + layout.names);
}

TEST(Writer, LayoutNamesWhereEachRegionBegins) {
  PackageContents c = RichPackage();
  BlockLayout layout;
  std::vector<uint8_t> block = BuildBlock(c, &layout);
  EXPECT_EQ(layout.entries, kHeaderSize);
  EXPECT_EQ(layout.languages, kHeaderSize + c.files.size() * kFileEntrySize);
  size_t languageBytes = 0;
  for (const auto& l : c.languages) {
    languageBytes += 2 + 2 * (l.name.size() + 1);
    for (const auto& t : l.texts) languageBytes += 2 * (t.size() + 1);
  }
  EXPECT_EQ(layout.settings, layout.languages + languageBytes);
  size_t settingBytes = 0;
  for (const auto& s : c.settings) settingBytes += 2 * (s.size() + 1);
  EXPECT_EQ(layout.names, layout.settings + settingBytes);
  EXPECT_STREQ(reinterpret_cast<const char*>(&block[layout.names]), "bin\\zentrova.exe");
}

TEST(Writer, ManyLanguagesAndNoFilesRoundTrip) {
  PackageContents c = test::SamplePackage();
  c.files.clear();
  c.blobs.clear();
  c.infoEntry = kNoInfoEntry;
  c.languages.clear();
  for (int i = 0; i < 255; ++i) {
    tailpack::LanguageTexts l = tailpack::EnglishLanguage();
    l.langId = static_cast<uint16_t>(0x0400 + i);
    l.texts[0] = u"Setup " + std::u16string(1, static_cast<char16_t>(0x100 + i));
    c.languages.push_back(l);
  }
  Decoded d;
  Decode(tailpack::WriteInstaller(test::MakeMinimalPe(), c), &d);
  ASSERT_EQ(d.status, kPackageOk);
  EXPECT_EQ(d.catalogue.header.languageCount, 255);
  EXPECT_EQ(d.catalogue.header.fileCount, 0u);
  EXPECT_EQ(d.catalogue.languages[254].langId, 0x0400 + 254);
  EXPECT_EQ(std::u16string(d.catalogue.languages[254].texts[0]), u"Setup \u01fe");
  EXPECT_EQ(d.catalogue.total, 1u);
}

TEST(Writer, StreamsWithAndWithoutEndMarkerDecode) {
  std::vector<uint8_t> block = BuildBlock(RichPackage());
  std::vector<size_t> sizes;
  for (bool endMarker : {false, true}) {
    SCOPED_TRACE(endMarker);
    LzmaSettings s;
    s.endMarker = endMarker;
    std::vector<uint8_t> packed = CompressBlock(block, s);
    sizes.push_back(packed.size());
    std::vector<uint8_t> out(block.size());
    ASSERT_EQ(DecodePackedBlock(packed.data(), static_cast<uint32_t>(packed.size()), out.data(),
                                static_cast<uint32_t>(out.size())),
              kPackageOk);
    EXPECT_EQ(out, block);
    // A trailer that promises one byte more than the stream holds.
    std::vector<uint8_t> longer(block.size() + 1);
    EXPECT_EQ(DecodePackedBlock(packed.data(), static_cast<uint32_t>(packed.size()), longer.data(),
                                static_cast<uint32_t>(longer.size())),
              kPackageDataError);
  }
  // The end marker costs a few bytes; equal sizes would mean it was ignored.
  EXPECT_GT(sizes[1], sizes[0]);
}

// A block fed to the streaming compressor in pieces of any size gives the
// same stream as compressing it whole, the same trailer, and the packed
// bytes reach the sink in order; the head plus the blobs is BuildBlock.
TEST(Writer, StreamingGivesTheSameStreamWhateverThePieces) {
  PackageContents c = RichPackage();
  std::vector<uint8_t> block = BuildBlock(c);
  std::vector<uint64_t> sizes;
  for (const auto& blob : c.blobs) sizes.push_back(blob.size());
  std::vector<uint8_t> head = tailpack::BuildBlockHead(c, sizes);
  ASSERT_LE(head.size(), block.size());
  EXPECT_TRUE(std::equal(head.begin(), head.end(), block.begin()));
  EXPECT_EQ(head.size() + std::accumulate(sizes.begin(), sizes.end(), uint64_t{0}), block.size());

  for (bool endMarker : {false, true}) {
    LzmaSettings settings;
    settings.preset = 1;
    settings.extreme = false;
    settings.endMarker = endMarker;
    std::vector<uint8_t> whole = CompressBlock(block, settings);
    for (size_t piece : {size_t{1}, size_t{7}, size_t{64}, block.size()}) {
      std::vector<uint8_t> streamed;
      size_t calls = 0;
      tailpack::StreamCompressor compressor(settings, [&](const uint8_t* data, size_t size) {
        streamed.insert(streamed.end(), data, data + size);
        ++calls;
      });
      for (size_t at = 0; at < block.size(); at += piece) {
        compressor.Write(block.data() + at, std::min(piece, block.size() - at));
      }
      compressor.Finish();
      EXPECT_EQ(streamed, whole) << piece << " " << endMarker;
      EXPECT_GE(calls, 2u) << piece;  // properties first, then the data
      PackageTrailer expected = tailpack::MakeTrailer(block, whole);
      PackageTrailer got = compressor.Trailer();
      EXPECT_EQ(got.checksum, expected.checksum) << piece;
      EXPECT_EQ(got.unpackedSize, expected.unpackedSize) << piece;
      EXPECT_EQ(got.packedSize, expected.packedSize) << piece;
      EXPECT_EQ(got.magic, kTrailerMagic) << piece;
      EXPECT_THROW(compressor.Write(block.data(), 1), WriterError);
    }
  }
}

// Writes of no bytes, before, between and after data that fills the
// encoder's output (noise) or not (text), change nothing: the stream is
// the one the data alone gives.
TEST(Writer, ZeroLengthWritesChangeNothing) {
  std::vector<uint8_t> noise(200000), text;
  uint32_t state = 12345;
  for (uint8_t& b : noise) b = static_cast<uint8_t>((state = state * 1103515245u + 12345u) >> 23);
  while (text.size() < 200000) text.insert(text.end(), {'t', 'e', 'x', 't', ' ', 'a', 'g', 'a', 'i', 'n', '\n'});
  LzmaSettings settings;
  settings.preset = 1;
  for (const std::vector<uint8_t>* data : {&noise, &text}) {
    std::vector<uint8_t> block = *data;
    block.insert(block.end(), data->begin(), data->begin() + 1000);
    const std::vector<uint8_t> whole = CompressBlock(block, settings);
    // Pieces as offsets into the block: equal neighbours are empty writes.
    const std::vector<std::vector<size_t>> cuts = {
        {0, 0, 0, block.size()},
        {0, data->size(), data->size(), data->size(), block.size()},
        {0, data->size(), block.size(), block.size(), block.size()},
        {0, 0, 65536, 65536, data->size(), data->size(), block.size(), block.size()},
    };
    for (const std::vector<size_t>& cut : cuts) {
      std::vector<uint8_t> streamed;
      tailpack::StreamCompressor compressor(settings, [&](const uint8_t* bytes, size_t size) {
        streamed.insert(streamed.end(), bytes, bytes + size);
      });
      for (size_t i = 1; i < cut.size(); ++i) {
        ASSERT_NO_THROW(compressor.Write(block.data() + cut[i - 1], cut[i] - cut[i - 1])) << i;
      }
      compressor.Finish();
      EXPECT_TRUE(streamed == whole) << (data == &noise ? "noise" : "text") << ", " << cut.size() - 1 << " writes";
      EXPECT_EQ(compressor.Trailer().unpackedSize, block.size());
      EXPECT_EQ(compressor.Trailer().checksum, tailpack::MakeTrailer(block, whole).checksum);
    }
  }
}

TEST(Writer, WritesTheRequestedPropertiesAndDictionary) {
  std::vector<uint8_t> block = BuildBlock(RichPackage());
  struct Case {
    uint32_t lc, lp, pb, dictionary;
    uint8_t propertiesByte;
  } cases[] = {
      {3, 0, 2, 8u << 20, 0x5D}, {3, 0, 2, 4096, 0x5D},     {3, 0, 2, 65536, 0x5D},
      {3, 0, 2, 3u << 20, 0x5D}, {3, 0, 2, 100000, 0x5D},   {0, 0, 0, 1u << 20, 0},
      {0, 4, 0, 1u << 20, 36},   {4, 0, 4, 1u << 20, 184},  {1, 3, 1, 1u << 20, 73},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "lc " << k.lc << " lp " << k.lp << " pb " << k.pb
                                    << " dictionary " << k.dictionary);
    LzmaSettings s;
    s.lc = k.lc;
    s.lp = k.lp;
    s.pb = k.pb;
    s.dictionarySize = k.dictionary;
    std::vector<uint8_t> packed = CompressBlock(block, s);
    ASSERT_GE(packed.size(), kLzmaPropertiesSize);
    EXPECT_EQ(packed[0], k.propertiesByte);
    EXPECT_EQ(Get32(packed, 1), k.dictionary);
    std::vector<uint8_t> out(block.size());
    ASSERT_EQ(DecodePackedBlock(packed.data(), static_cast<uint32_t>(packed.size()), out.data(),
                                static_cast<uint32_t>(out.size())),
              kPackageOk);
    EXPECT_EQ(out, block);
  }
}

TEST(Writer, RefusesInvalidCompressionSettings) {
  std::vector<uint8_t> block = BuildBlock(test::SamplePackage());
  struct Case {
    const char* what;
    LzmaSettings settings;
  } cases[] = {
      {"preset 10", [] { LzmaSettings s; s.preset = 10; return s; }()},
      {"lc + lp above 4", [] { LzmaSettings s; s.lc = 3; s.lp = 2; return s; }()},
      {"lc 5", [] { LzmaSettings s; s.lc = 5; s.lp = 0; return s; }()},
      {"pb 5", [] { LzmaSettings s; s.pb = 5; return s; }()},
      {"dictionary below 4 KiB", [] { LzmaSettings s; s.dictionarySize = 1024; return s; }()},
  };
  for (const Case& k : cases) {
    EXPECT_THROW(CompressBlock(block, k.settings), WriterError) << k.what;
  }
}

TEST(Writer, ReportsProgressUpToTheWholeBlock) {
  std::vector<uint8_t> block(2500000);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
  LzmaSettings s;
  s.preset = 0;
  s.extreme = false;
  s.dictionarySize = 1u << 16;
  std::vector<std::pair<uint64_t, uint64_t>> calls;
  CompressBlock(block, s, [](uint64_t done, uint64_t total, void* context) {
    static_cast<std::vector<std::pair<uint64_t, uint64_t>>*>(context)->push_back({done, total});
  }, &calls);
  ASSERT_GE(calls.size(), 2u);
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].second, block.size());
    if (i != 0) {
      EXPECT_GT(calls[i].first, calls[i - 1].first);
    }
  }
  EXPECT_EQ(calls.back().first, block.size());
}

TEST(Writer, BuildBlockRefusesWhatTheFormatCannotHold) {
  struct Case {
    const char* what;
    void (*change)(PackageContents& c);
  } cases[] = {
      {"NUL in a file name",
       [](PackageContents& c) { c.files[0].name = std::string("zen\0trova.exe", 13); }},
      {"NUL in a UI text", [](PackageContents& c) { c.languages[1].texts[5] = u"Lizenz\0x"s; }},
      {"NUL in a language name", [](PackageContents& c) { c.languages[0].name = u"Eng\0lish"s; }},
      {"NUL in a setting", [](PackageContents& c) { c.settings[kPublisher] = u"Hal\0vix"s; }},
      {"no language", [](PackageContents& c) { c.languages.clear(); }},
      {"256 languages",
       [](PackageContents& c) { c.languages.resize(256, tailpack::EnglishLanguage()); }},
      {"a file without data", [](PackageContents& c) { c.files[1].blob = 3; }},
  };
  for (const Case& k : cases) {
    PackageContents c = test::SamplePackage();
    k.change(c);
    EXPECT_THROW(BuildBlock(c), WriterError) << k.what;
  }
}

TEST(Writer, TrailerDescribesTheBlockAndIsFoundAgain) {
  std::vector<uint8_t> block = BuildBlock(RichPackage());
  std::vector<uint8_t> packed = CompressBlock(block, LzmaSettings{});
  PackageTrailer t = tailpack::MakeTrailer(block, packed);
  EXPECT_EQ(t.checksum, std::accumulate(block.begin(), block.end(), 0u));
  EXPECT_EQ(t.unpackedSize, block.size());
  EXPECT_EQ(t.packedSize, packed.size());
  EXPECT_EQ(t.extraSize, 0u);
  EXPECT_EQ(t.magic, kTrailerMagic);

  std::vector<uint8_t> encoded = tailpack::EncodeTrailer(t);
  ASSERT_EQ(encoded.size(), kTrailerSize);
  const uint8_t magic[] = {0x54, 0x53, 0xAB, 0xEF};
  EXPECT_TRUE(std::equal(encoded.end() - 4, encoded.end(), magic));
  std::vector<uint8_t> window(kTrailerWindowSize, 0xEE);
  std::copy(encoded.begin(), encoded.end(), window.end() - kTrailerSize);
  PackageTrailer found{};
  uint32_t offset = 99;
  ASSERT_EQ(FindTrailer(window.data(), &found, &offset), kPackageOk);
  EXPECT_EQ(offset, kTrailerWindowSize - kTrailerSize);
  EXPECT_EQ(std::memcmp(&found, &t, sizeof(t)), 0);
}

TEST(Writer, AppendPackageReplacesWhateverFollowsTheLastSection) {
  for (bool pe32Plus : {false, true}) {
    SCOPED_TRACE(pe32Plus);
    const std::vector<uint8_t> pe = test::MakeMinimalPe(pe32Plus);
    std::vector<uint8_t> block = BuildBlock(RichPackage());
    std::vector<uint8_t> packed = CompressBlock(block, LzmaSettings{});
    PackageTrailer trailer = tailpack::MakeTrailer(block, packed);
    const std::vector<uint8_t> expected = tailpack::AppendPackage(pe, packed, trailer, 6);

    // The runtime image is kept, then packed block, trailer and zero slack.
    ASSERT_EQ(expected.size(), pe.size() + packed.size() + kTrailerSize + 6);
    EXPECT_TRUE(std::equal(pe.begin(), pe.end(), expected.begin()));
    EXPECT_TRUE(std::equal(packed.begin(), packed.end(), expected.begin() + pe.size()));
    EXPECT_TRUE(std::all_of(expected.end() - 6, expected.end(), [](uint8_t b) { return b == 0; }));

    // An image that already carries a signed installer's package, and one
    // with arbitrary overlay data, give the same file.
    std::vector<uint8_t> signedInstaller =
        tailpack::WriteInstaller(pe, test::SamplePackage(), LzmaSettings{}, 3);
    tailpack::SetCertificateEntry(signedInstaller, static_cast<uint32_t>(signedInstaller.size()), 40);
    signedInstaller.insert(signedInstaller.end(), 40, 0x30);
    std::vector<uint8_t> overlay = pe;
    overlay.insert(overlay.end(), 777, 0xCC);
    for (const std::vector<uint8_t>* image : {&signedInstaller, &overlay}) {
      std::vector<uint8_t> result = tailpack::AppendPackage(*image, packed, trailer, 6);
      EXPECT_EQ(result, expected);
      PeFacts facts = Facts(result);
      EXPECT_EQ(facts.certificateOffset, 0u);
      EXPECT_EQ(facts.certificateSize, 0u);
    }
    Decoded d;
    Decode(expected, &d);
    EXPECT_EQ(d.status, kPackageOk);
  }
}

TEST(Writer, AppendPackageRefusesImagesThatAreNotExecutables) {
  std::vector<uint8_t> block = BuildBlock(test::SamplePackage());
  std::vector<uint8_t> packed = CompressBlock(block, LzmaSettings{});
  PackageTrailer trailer = tailpack::MakeTrailer(block, packed);
  std::vector<uint8_t> notPe(4096, 0x90);
  std::vector<uint8_t> cut = test::MakeMinimalPe();
  cut.resize(0x300);  // the section's raw data is incomplete
  std::vector<uint8_t> noSignature = test::MakeMinimalPe();
  noSignature[0x81] = 'F';
  for (const std::vector<uint8_t>* image : {&notPe, &cut, &noSignature}) {
    EXPECT_THROW(tailpack::AppendPackage(*image, packed, trailer), WriterError);
  }
}

TEST(Writer, SetCertificateEntryWritesWhereTheLoaderReads) {
  for (bool pe32Plus : {false, true}) {
    SCOPED_TRACE(pe32Plus);
    std::vector<uint8_t> image = test::MakeMinimalPe(pe32Plus);
    const std::vector<uint8_t> before = image;
    tailpack::SetCertificateEntry(image, 0x12345678, 0x9ABC);
    PeFacts facts = Facts(image);
    EXPECT_EQ(facts.certificateOffset, 0x12345678u);
    EXPECT_EQ(facts.certificateSize, 0x9ABCu);
    size_t changed = 0;
    for (size_t i = 0; i < image.size(); ++i) changed += image[i] != before[i];
    EXPECT_LE(changed, 8u);
  }
}

// ---------------------------------------------------------------------------
// Uninstall records, read back with the uninstaller's parser.

using tailpack::BuildUninstallRecord;
using tailpack::UninstallRecordContents;

UninstallRecordContents SampleRecord() {
  UninstallRecordContents c;
  c.flags = kRecordFlag64BitView;
  c.settings = {u"Zentrova", u"", u"ZentrovaMain", u"Zentrova \u00e9"};
  c.languages.resize(3);
  for (uint32_t l = 0; l < 3; ++l) {
    c.languages[l].langId = static_cast<uint16_t>(0x0407 + l);
    for (uint32_t t = 0; t < kUninstallTextCount; ++t) c.languages[l].texts[t] = u"%s " + std::u16string(l + t, u'x');
  }
  c.files = {"zentrova.exe", "doc\\readme.txt", "\xE4rger.txt"};
  c.folders = {"doc\\guide", "doc"};
  return c;
}

TEST(Writer, UninstallRecordRoundTripsEveryField) {
  const UninstallRecordContents c = SampleRecord();
  std::vector<uint8_t> bytes = BuildUninstallRecord(c);
  UninstallRecord r;
  ASSERT_EQ(ParseUninstallRecord(bytes.data(), static_cast<uint32_t>(bytes.size()), &r), kPackageOk);
  auto text = [](const Char16* t) { return t ? std::u16string(reinterpret_cast<const char16_t*>(t)) : u"(absent)"; };
  EXPECT_EQ(r.flags, c.flags);
  for (uint32_t s = 0; s < kRecordSettingCount; ++s) EXPECT_EQ(text(r.settings[s]), s == 1 ? u"(absent)" : c.settings[s]);
  ASSERT_EQ(r.languageCount, c.languages.size());
  for (uint32_t l = 0; l < r.languageCount; ++l) {
    EXPECT_EQ(r.languages[l].langId, c.languages[l].langId);
    for (uint32_t t = 0; t < kUninstallTextCount; ++t) EXPECT_EQ(text(r.languages[l].texts[t]), c.languages[l].texts[t]);
  }
  EXPECT_EQ(r.fileCount, c.files.size());
  std::vector<std::string> names, expected = c.files;
  expected.insert(expected.end(), c.folders.begin(), c.folders.end());
  for (const char* n = r.names; n < r.names + r.namesSize; n = NextRecordName(n)) names.push_back(n);
  EXPECT_EQ(names, expected);
  ReleaseUninstallRecord(&r);
}

TEST(Writer, DamagedUninstallRecordsAreRefused) {
  using Change = void (*)(UninstallRecordContents& c);
  using Patch = void (*)(std::vector<uint8_t>& bytes);
  struct Case {
    const char* what;
    Change change;
    Patch patch;
    PackageStatus expected;
  } cases[] = {
      {"truncated", nullptr, [](std::vector<uint8_t>& b) { b.pop_back(); }, kPackageBadLayout},
      {"trailing byte", nullptr, [](std::vector<uint8_t>& b) { b.push_back(0); }, kPackageBadLayout},
      {"bad magic", nullptr, [](std::vector<uint8_t>& b) { b[0] ^= 0x20; }, kPackageBadLayout},
      {"one name more than stored", nullptr, [](std::vector<uint8_t>& b) { ++b[8]; }, kPackageBadLayout},
      {"name climbing out", [](UninstallRecordContents& c) { c.files[1] = "..\\x"; }, nullptr, kPackageUnsafeName},
      {"two %s", [](UninstallRecordContents& c) { c.languages[1].texts[kUninstallRemoved] = u"%s%s"; }, nullptr,
       kPackageUnsafeFormat},
      {"no product name", [](UninstallRecordContents& c) { c.settings[0].clear(); }, nullptr, kPackageNoProductName},
      {"product name nesting keys", [](UninstallRecordContents& c) { c.settings[0] = u"a\\b"; }, nullptr,
       kPackageBadSetting},
  };
  for (const Case& k : cases) {
    UninstallRecordContents c = SampleRecord();
    if (k.change) k.change(c);
    std::vector<uint8_t> bytes = BuildUninstallRecord(c);
    if (k.patch) k.patch(bytes);
    UninstallRecord r;
    EXPECT_EQ(ParseUninstallRecord(bytes.data(), static_cast<uint32_t>(bytes.size()), &r), k.expected) << k.what;
    EXPECT_EQ(r.languages, nullptr) << k.what;
  }
  // What the format cannot hold is refused when writing.
  const Change refused[] = {
      [](UninstallRecordContents& c) { c.languages.clear(); },
      [](UninstallRecordContents& c) { c.languages.resize(256, c.languages[0]); },
      [](UninstallRecordContents& c) { c.files.push_back(std::string(kMaxRecordSize, 'a')); },
      [](UninstallRecordContents& c) { c.folders[0] = std::string("do\0c", 4); },
  };
  for (Change change : refused) {
    UninstallRecordContents c = SampleRecord();
    change(c);
    EXPECT_THROW(BuildUninstallRecord(c), WriterError);
  }
  UninstallRecordContents c = SampleRecord();
  c.languages.resize(255, c.languages[0]);
  EXPECT_EQ(BuildUninstallRecord(c)[6], 255);
}

}  // namespace
