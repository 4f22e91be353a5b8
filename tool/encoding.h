// Text conversions of the tool: UTF-8 (manifests, the terminal) to and from
// UTF-16 (texts and settings in the package), and to and from the Windows
// ANSI code page used for the package's file names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tailpack {

// Strict UTF-8 to UTF-16; nullopt for malformed input (overlong forms,
// surrogates, truncated sequences).
std::optional<std::u16string> Utf8ToUtf16(const std::string& text);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(const std::u16string& text);

// Encodes UTF-8 text in Windows code page `codePage` (1252, 1250, 932, ...).
// nullopt when a character has no representation there. Throws ToolError
// when the code page is unknown to the system's iconv.
std::optional<std::string> EncodeCodePage(const std::string& utf8, uint32_t codePage);

// Decodes text in code page `codePage` to UTF-8; nullopt when a byte
// sequence is not defined there.
std::optional<std::string> DecodeCodePage(const std::string& bytes, uint32_t codePage);

// Number of UTF-16 units the Windows conversion of an ANSI name yields
// (MultiByteToWideChar): one per character.
size_t Utf16Length(const std::string& utf8);

}  // namespace tailpack
