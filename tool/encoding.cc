#include "tool/encoding.h"

#include <cerrno>
#include <cstdio>
#include <memory>

#include "tool/errors.h"
#include "tool/system.h"

namespace tailpack {

namespace {

const char kRtfStart[] = "{\\rtf";
const char kRtfGenerator[] = "{\\*\\generator tailpack}";

}  // namespace

bool IsUtf8BeyondAscii(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  bool beyond = false;
  for (unsigned char c : bytes) beyond |= c >= 0x80;
  return beyond && Utf8ToUtf16(std::string(bytes)).has_value();
}

InfoTextKind ClassifyInfoText(std::string_view bytes) {
  if (bytes.substr(0, 5) == kRtfStart) {
    return bytes.find(kRtfGenerator) != std::string_view::npos ? InfoTextKind::kConverted : InfoTextKind::kRtf;
  }
  for (unsigned char c : bytes) {
    if (c >= 0x80) return InfoTextKind::kCodePage;
  }
  return InfoTextKind::kAscii;
}

const char* DescribeInfoTextKind(InfoTextKind kind) {
  switch (kind) {
    case InfoTextKind::kAscii: return "ASCII text";
    case InfoTextKind::kCodePage: return "8-bit text, shown in the ANSI code page";
    case InfoTextKind::kRtf: return "RTF";
    case InfoTextKind::kConverted: return "RTF made from UTF-8 text by build";
  }
  return "";
}

namespace {

// Chinese, Japanese and Korean characters (and surrogates, for the rest of
// the CJK ideographs): set in the CJK font of the RTF (\f1).
bool IsCjkUnit(char16_t unit) {
  return (unit >= 0x1100 && unit <= 0x11FF) || (unit >= 0x2E80 && unit <= 0x9FFF) ||
         (unit >= 0xAC00 && unit <= 0xDFFF) || (unit >= 0xF900 && unit <= 0xFAFF) ||
         (unit >= 0xFE30 && unit <= 0xFE4F) || (unit >= 0xFF00 && unit <= 0xFFEF);
}

}  // namespace

std::string Utf8ToRtf(std::string_view utf8) {
  if (utf8.substr(0, 3) == "\xEF\xBB\xBF") utf8.remove_prefix(3);
  std::u16string text = Utf8ToUtf16(std::string(utf8)).value_or(u"");
  // \f0 is the pane's own font; CJK characters name a font that has them
  // (RichEdit on Windows would also pick one itself; Wine's does not).
  std::string out = std::string(kRtfStart) +
                    "1\\ansi\\deff0\\uc1{\\fonttbl{\\f0\\fnil MS Shell Dlg;}{\\f1\\fnil MS UI Gothic;}}" +
                    kRtfGenerator + "\r\n";
  bool cjk = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t unit = text[i];
    if (IsCjkUnit(unit) != cjk) {
      cjk = !cjk;
      out += cjk ? "{\\f1 " : "}";
    }
    if (unit == u'\r' || unit == u'\n') {
      // CR LF, a lone CR and a lone LF each end a paragraph.
      if (unit == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
      out += "\\par\r\n";
    } else if (unit == u'\t') {
      out += "\\tab ";
    } else if (unit < 0x20 || unit == 0x7F) {
      continue;
    } else if (unit == u'\\' || unit == u'{' || unit == u'}') {
      out += '\\';
      out += static_cast<char>(unit);
    } else if (unit < 0x80) {
      out += static_cast<char>(unit);
    } else {
      // RTF's \u takes a signed 16-bit number; characters beyond the BMP
      // are their two surrogates.
      out += "\\u" + std::to_string(static_cast<int16_t>(unit)) + "?";
    }
  }
  return out + (cjk ? "}}" : "}");
}

std::optional<std::u16string> Utf8ToUtf16(const std::string& text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    uint8_t lead = static_cast<uint8_t>(text[i]);
    uint32_t cp;
    size_t extra;
    uint32_t minimum;
    if (lead < 0x80) {
      cp = lead, extra = 0, minimum = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      cp = lead & 0x1F, extra = 1, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      cp = lead & 0x0F, extra = 2, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      cp = lead & 0x07, extra = 3, minimum = 0x10000;
    } else {
      return std::nullopt;
    }
    if (i + extra >= text.size()) return std::nullopt;  // truncated sequence
    for (size_t k = 1; k <= extra; ++k) {
      uint8_t next = static_cast<uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += extra + 1;
  }
  return out;
}

std::string Utf16ToUtf8(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::optional<std::string> EncodeCodePage(const std::string& utf8, uint32_t codePage) {
  bool ascii = true;
  for (char c : utf8) ascii = ascii && static_cast<uint8_t>(c) < 0x80;
  if (ascii) return utf8;  // every Windows ANSI code page is ASCII-compatible
  return sys::ConvertCodePage(utf8, codePage, true);
}

std::optional<std::string> DecodeCodePage(const std::string& bytes, uint32_t codePage) {
  bool ascii = true;
  for (char c : bytes) ascii = ascii && static_cast<uint8_t>(c) < 0x80;
  if (ascii) return bytes;
  return sys::ConvertCodePage(bytes, codePage, false);
}

bool IsAnsiCodePage(uint32_t codePage) {
  switch (codePage) {
    case 874: case 932: case 936: case 949: case 950: case 1361: case 65001:
      return true;
    default:
      return codePage >= 1250 && codePage <= 1258;
  }
}

uint32_t ParseCodePage(const std::string& text) {
  // Decimal only: "037" is code page 37 (and refused), never octal.
  uint64_t value = 0;
  bool digits = !text.empty() && text.size() <= 9;
  for (char c : text) {
    if (c < '0' || c > '9') digits = false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (!digits) throw UsageError("bad code page \"" + text + "\"; expected a decimal number such as 1252");
  uint32_t page = static_cast<uint32_t>(value);
  if (!IsAnsiCodePage(page)) {
    throw UsageError("code page " + std::to_string(page) +
                     " is not a Windows ANSI code page; expected 874, 932, 936, 949, 950, 1250 to 1258, "
                     "1361 or 65001");
  }
  return page;
}

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  char code[12];
  size_t i = 0;
  while (i < text.size()) {
    uint8_t lead = static_cast<uint8_t>(text[i]);
    size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    if (length > 1 && i + length <= text.size()) {
      // A sequence is kept when it decodes on its own (no overlong form,
      // surrogate or value past U+10FFFF).
      if (!Utf8ToUtf16(std::string(text.substr(i, length)))) length = 0;
    } else if (length > 1) {
      length = 0;
    }
    if (length == 0) {
      snprintf(code, sizeof code, "\\x%02X", lead);
      out += code;
      ++i;
      continue;
    }
    if (lead < 0x20 || lead == 0x7F) {
      snprintf(code, sizeof code, "\\x%02X", lead);
      out += code;
    } else if (lead == 0xC2 && static_cast<uint8_t>(text[i + 1]) < 0xA0) {
      // C1 controls (U+0080 to U+009F): some terminals take U+009B as CSI.
      snprintf(code, sizeof code, "\\u%04X", static_cast<uint8_t>(text[i + 1]));
      out += code;
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  return out;
}

std::string FoldCaseLikeWindows(const std::string& utf8) {
  // Windows compares file names by upper-casing each UTF-16 unit on its own
  // (no "ß" to "SS", final sigma like sigma).
  std::optional<std::u16string> wide = Utf8ToUtf16(utf8);
  if (!wide) return utf8;
  for (char16_t& unit : *wide) unit = unit == u'/' ? u'\\' : sys::UpperCaseUnit(unit);
  return Utf16ToUtf8(*wide);
}

size_t Utf16Length(const std::string& utf8) {
  std::optional<std::u16string> wide = Utf8ToUtf16(utf8);
  return wide ? wide->size() : utf8.size();
}

}  // namespace tailpack
