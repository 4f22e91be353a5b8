// Text conversions of the tool: UTF-8 (manifests, the terminal) to and from
// UTF-16 (texts and settings in the package), and to and from the Windows
// ANSI code page used for the package's file names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// True for the code pages Windows uses as ANSI pages (single-byte 874 and
// 1250 to 1258, the DBCS pages 932, 936, 949, 950 and 1361, and UTF-8 as
// 65001): ASCII-compatible, so "/", "\\" and "." mean what they say.
bool IsAnsiCodePage(uint32_t codePage);

// A --code-page value: decimal digits naming an ANSI code page
// (IsAnsiCodePage). Throws UsageError otherwise.
uint32_t ParseCodePage(const std::string& text);

// Licence texts shown on the wizard's first page. The installer hands the
// bytes to the rich-edit pane as they are: 8-bit text is shown in the
// system's ANSI code page, and text that begins with "{\rtf" as RTF, which
// carries every character whatever the code page.
enum class InfoTextKind {
  kAscii,      // 7-bit only: the same in every code page
  kCodePage,   // other 8-bit text, shown in the ANSI code page
  kRtf,        // RTF
  kConverted,  // RTF that `build` made from UTF-8 text (it names itself)
};
InfoTextKind ClassifyInfoText(std::string_view bytes);
// What `list` says of each kind.
const char* DescribeInfoTextKind(InfoTextKind kind);

// True when `bytes` is valid UTF-8 with at least one character outside
// ASCII (a byte-order mark alone does not count).
bool IsUtf8BeyondAscii(std::string_view bytes);

// UTF-8 text as RTF that shows it in any code page: each character outside
// ASCII as a Unicode escape (\uN?), "\", "{" and "}" escaped, line breaks
// as paragraphs, tabs as \tab, a leading byte-order mark and other control
// characters dropped. The text keeps the pane's font ("MS Shell Dlg" and
// its size); Chinese, Japanese and Korean characters are set in "MS UI
// Gothic". The group {\*\generator tailpack} marks the result
// (kConverted). Requires valid UTF-8.
std::string Utf8ToRtf(std::string_view utf8);

// `text` made safe for a terminal and for JSON: valid UTF-8 is kept except
// control characters (C0 and DEL as "\xNN", C1 as "\u00NN"); bytes that are
// not UTF-8 become "\xNN".
std::string Printable(std::string_view text);

// A file name as Windows compares it: every UTF-16 unit upper-cased on its
// own, "/" as "\\". Two names with the same fold are the same file.
std::string FoldCaseLikeWindows(const std::string& utf8);

// Number of UTF-16 units the Windows conversion of an ANSI name yields
// (MultiByteToWideChar): one per character.
size_t Utf16Length(const std::string& utf8);

}  // namespace tailpack
