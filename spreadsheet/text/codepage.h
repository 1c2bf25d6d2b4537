// Conversions of legacy 8-bit and UTF-16 text into UTF-8 (through glibc iconv).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ss::text {

// Converts bytes in the named iconv charset to UTF-8; none when the bytes are not valid in it.
std::optional<std::string> toUtf8(std::string_view bytes, const char* charset);

// Like toUtf8, but a byte the charset does not define (or a sequence cut off at the end) is
// taken as a Latin-1 character, as Windows does for the undefined bytes of its single-byte
// pages, and the conversion goes on after it; none only when the charset is unknown.
std::optional<std::string> toUtf8Lenient(std::string_view bytes, const char* charset);

// The iconv charset of a Windows code page number (CODEPAGE record, 936 -> "CP936"); Latin-1
// style fallbacks for unknown numbers.
std::string charsetOfCodePage(uint16_t codePage);

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates).
bool isValidUtf8(std::string_view s);

// Appends a code point as UTF-8; a lone surrogate becomes U+FFFD.
void appendUtf8(std::string& out, uint32_t cp);

// UTF-16 code units (little or big endian bytes) to UTF-8; unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(std::string_view bytes, bool bigEndian);

// Number of UTF-16 code units a UTF-8 text takes (what the spreadsheet formats count).
size_t utf16Length(std::string_view utf8);

// UTF-8 to UTF-16LE bytes.
std::string utf8ToUtf16le(std::string_view utf8);

}  // namespace ss::text
