// report.cpp: paths fitted into columns, and the listing.
//
// Widths count UTF-8 characters by a byte rule and never look at display
// cells: every byte that is not a continuation byte counts once, and a cut is
// placed by walking lead bytes.  The listing goes to standard output in large
// writes; whoever writes to standard error, reads standard input or changes a
// file later flushes it first, so the order on the terminal stays as written.

#include "report.h"

#include <iostream>

#include "path.h"

// Bytes of the character that starts with `lead`, judged by that byte alone.
static std::uint64_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

std::uint64_t utf8_byte_offset(const std::string& text, std::uint64_t n) {
  std::uint64_t offset = 0;
  for (std::uint64_t walked = 0; offset < text.size() && walked < n; ++walked) {
    offset += sequence_length(static_cast<unsigned char>(text[offset]));
  }
  return offset < text.size() ? offset : text.size();
}

// "..." and the last width - 3 characters of a text longer than `width`.
static std::string cut_front(const std::string& text, std::uint64_t length,
                             std::uint64_t width) {
  std::uint64_t keep = width - 3;
  return "..." + text.substr(utf8_byte_offset(text, length - keep));
}

std::string format_left(const std::string& text, std::uint64_t width) {
  std::uint64_t length = utf8_chars(text);
  if (width < length) return cut_front(text, length, width);
  return std::string(width - length, ' ') + text;
}

std::string format_right(const std::string& text, std::uint64_t width) {
  std::uint64_t length = utf8_chars(text);
  if (width < length) return cut_front(text, length, width);
  return text;
}

static void print_entry(const DiffEntry& entry, std::uint64_t width) {
  static const std::string missing = "--- fehlt ---";
  std::string path = shown_path(entry.relative_path, 1);
  const std::string* left = &path;
  const std::string* right = &path;
  const char* sign = "  -  ";
  switch (entry.kind) {
    case LeftNewer:
      sign = "  ->  ";
      break;
    case RightNewer:
      sign = "  <-  ";
      break;
    case MissingLeft:
      left = &missing;
      break;
    case MissingRight:
      right = &missing;
      break;
  }
  std::cout << format_left(*left, width) << sign << format_right(*right, width)
            << '\n';
}

void print_results(const CompareResult& result, std::uint64_t width) {
  if (!result.entries.empty()) std::cout << '\n';
  for (const DiffEntry& entry : result.entries) print_entry(entry, width);
  std::cout << "\nZusammenfassung für "
            << result.left_total + result.right_total << " Dateien:\n"
            << result.same_count << " Dateien sind gleich, "
            << result.different_count << " Dateien sind unterschiedlich und "
            << result.missing_left_count + result.missing_right_count
            << " Dateien fehlen.\n";
}
