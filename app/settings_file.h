// The settings file Tablaweaver.zrk: one "key=value\r\n" line per entry, no sections, no quoting;
// lines ending in "\n" alone (a file edited elsewhere) are read as well.
// The routines work on 8-bit text (UTF-8 here) and return the documented codes: 0 or 1 for
// success, -1 for failure. Nothing throws.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tw {

// How much of the file the window reads at start-up.
inline constexpr std::size_t kSettingsReadLimit = 20480;

// Reads up to kSettingsReadLimit bytes of `path` into `buffer` and returns 0; returns -1 and
// leaves `buffer` untouched when the file cannot be opened.
int readSettingsFile(std::string& buffer, const std::string& path);

// The value of `key` in `content`, trimmed of spaces and tabs, or the empty text when the key
// has no line of its own (the key must start a line) or its line has no line end ("\r\n" or
// "\n").
std::string getSetting(std::string_view content, std::string_view key);

// Stores `value` under `key` in the file at `path`: replaces the key's line in place, or puts a
// new line on top. Every other line is kept, however long the file. Returns 0, or -1 when the
// file cannot be opened for reading and writing (a missing file is not created).
int setSetting(const std::string& path, std::string_view key, std::string_view value);

// Text before the first (or, with useLast, the last non-overlapping) occurrence of `pattern`;
// with includePattern up to and including it. Returns 1, or -1 with `out` empty when the
// pattern does not occur.
int textBefore(std::string& out, std::string_view text, std::string_view pattern,
               bool includePattern, bool useLast);
// Text after the first (or last) occurrence of `pattern` to the end; with includePattern
// starting at the pattern. Returns 1, or -1 with `out` empty.
int textAfter(std::string& out, std::string_view text, std::string_view pattern,
              bool includePattern, bool useLast);
// Text between the first `startPattern` and the first `endPattern` after it; 1 only when both
// were found, else -1 with `out` empty.
int textBetween(std::string& out, std::string_view text, std::string_view startPattern,
                std::string_view endPattern);
// Removes spaces and tabs from both ends, in place.
void trimBlanks(std::string& text);

}  // namespace tw
