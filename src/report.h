// report.h: fits paths into columns and prints the listing.
#pragma once
#include <cstdint>
#include <string>

#include "compare.h"

/// Byte offset reached after walking `n` characters; never past the end.
std::uint64_t utf8_byte_offset(const std::string& text, std::uint64_t n);
/// `text` right-aligned in `width` characters; a longer one keeps its end
/// behind "...".
std::string format_left(const std::string& text, std::uint64_t width);
/// As format_left, but a text that fits is returned as it is.
std::string format_right(const std::string& text, std::uint64_t width);
/// Prints one line per entry of `result`, then the two summary lines.
void print_results(const CompareResult& result, std::uint64_t width);
