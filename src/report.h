// report.h: shows paths safely, fits them into columns, prints the listing.
#pragma once
#include <cstdint>
#include <string>

#include "compare.h"

/// `path` as written to descriptor `fd`: on a terminal, bytes 0x00-0x1F and
/// 0x7F show as "?"; elsewhere the bytes go out as stored.
std::string shown_path(const std::string& path, int fd);
/// shown_path in double quotes, with every `"` and `\` preceded by `\`.
std::string quoted_path(const std::string& path, int fd);
/// Characters in `text`: every byte that is not a continuation byte counts.
std::uint64_t utf8_length(const std::string& text);
/// Byte offset reached after walking `n` characters; never past the end.
std::uint64_t utf8_byte_offset(const std::string& text, std::uint64_t n);
/// `text` right-aligned in `width` characters; a longer one keeps its end
/// behind "...".
std::string format_left(const std::string& text, std::uint64_t width);
/// As format_left, but a text that fits is returned as it is.
std::string format_right(const std::string& text, std::uint64_t width);
/// Prints one line per entry of `result`, then the two summary lines.
void print_results(const CompareResult& result, std::uint64_t width);
