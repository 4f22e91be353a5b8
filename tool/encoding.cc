#include "tool/encoding.h"

#include <iconv.h>

#include <cerrno>
#include <memory>

#include "tool/errors.h"

namespace tailpack {

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

namespace {

struct IconvCloser {
  void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};

std::optional<std::string> Convert(const std::string& input, const std::string& from,
                                   const std::string& to) {
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    throw ToolError("the code page conversion " + from + " to " + to +
                    " is not available on this system");
  }
  std::unique_ptr<void, IconvCloser> guard(cd);
  std::string out(input.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(input.data());
  size_t inLeft = input.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) return std::nullopt;
  if (iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
    return std::nullopt;
  }
  out.resize(out.size() - outLeft);
  return out;
}

std::string CodePageName(uint32_t codePage) { return "CP" + std::to_string(codePage); }

}  // namespace

std::optional<std::string> EncodeCodePage(const std::string& utf8, uint32_t codePage) {
  bool ascii = true;
  for (char c : utf8) ascii = ascii && static_cast<uint8_t>(c) < 0x80;
  if (ascii) return utf8;  // every Windows ANSI code page is ASCII-compatible
  return Convert(utf8, "UTF-8", CodePageName(codePage));
}

std::optional<std::string> DecodeCodePage(const std::string& bytes, uint32_t codePage) {
  bool ascii = true;
  for (char c : bytes) ascii = ascii && static_cast<uint8_t>(c) < 0x80;
  if (ascii) return bytes;
  return Convert(bytes, CodePageName(codePage), "UTF-8");
}

size_t Utf16Length(const std::string& utf8) {
  std::optional<std::u16string> wide = Utf8ToUtf16(utf8);
  return wide ? wide->size() : utf8.size();
}

}  // namespace tailpack
