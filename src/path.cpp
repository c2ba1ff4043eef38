// path.cpp: joining and splitting relative paths, the names the scan passes
// over, the display of paths on a terminal, and the two forms of a message.

#include "path.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

std::string full_path(const std::string& root, std::string_view relative_path) {
  std::string path = root;
  if (!root.empty() && root.back() != '/') path += '/';
  return path.append(relative_path);
}

std::string parent_of(const std::string& relative_path) {
  std::size_t slash = relative_path.rfind('/');
  return slash == std::string::npos ? "" : relative_path.substr(0, slash);
}

std::string name_of(const std::string& relative_path) {
  std::size_t slash = relative_path.rfind('/');
  return slash == std::string::npos ? relative_path
                                    : relative_path.substr(slash + 1);
}

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' &&
         (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

std::string temp_file_name(long pid, std::uint64_t attempt) {
  return ".kalvern-" + std::to_string(pid) + "-" + std::to_string(attempt) +
         ".tmp";
}

// Skips one or more decimal digits; nullptr if there is none.
static const char* skip_digits(const char* text) {
  const char* start = text;
  while (*text >= '0' && *text <= '9') ++text;
  return text == start ? nullptr : text;
}

bool is_temp_file_name(const char* name) {
  if (std::strncmp(name, ".kalvern-", 9) != 0) return false;
  const char* rest = skip_digits(name + 9);
  if (rest == nullptr || *rest != '-') return false;
  rest = skip_digits(rest + 1);
  return rest != nullptr && std::strcmp(rest, ".tmp") == 0;
}

std::uint64_t utf8_chars(std::string_view text) {
  std::uint64_t count = 0;
  for (unsigned char byte : text) {
    if ((byte & 0xC0) != 0x80) ++count;
  }
  return count;
}

// Whether `fd` (1 or 2) is a terminal; asked once per descriptor.
static bool is_terminal(int fd) {
  static const bool out = isatty(1) == 1;
  static const bool err = isatty(2) == 1;
  return fd == 1 ? out : err;
}

static bool is_control(unsigned char byte) {
  return byte < 0x20 || byte == 0x7F;
}

// Whether `path` holds at `at` a C1 control in UTF-8: 0xC2 and a byte of
// 0x80-0x9F, which a terminal takes for a command (0x9B starts an escape).
static bool is_c1_control(std::string_view path, std::size_t at) {
  return static_cast<unsigned char>(path[at]) == 0xC2 && at + 1 < path.size() &&
         (static_cast<unsigned char>(path[at + 1]) & 0xE0) == 0x80;
}

// `path` with each control replaced by one "?": a C1 control's two bytes
// are one character, so the width stays.
static std::string without_controls(std::string_view path) {
  std::string shown;
  shown.reserve(path.size());
  for (std::size_t at = 0; at < path.size(); ++at) {
    if (is_c1_control(path, at)) {
      shown += '?';
      ++at;
    } else {
      bool control = is_control(static_cast<unsigned char>(path[at]));
      shown += control ? '?' : path[at];
    }
  }
  return shown;
}

std::string shown_path_on(std::string_view path, bool terminal) {
  return terminal ? without_controls(path) : std::string(path);
}

std::string quoted_path_on(std::string_view path, bool terminal) {
  std::string quoted = "\"";
  for (char c : shown_path_on(path, terminal)) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

std::string shown_path(std::string_view path, int fd) {
  return shown_path_on(path, is_terminal(fd));
}

std::string quoted_path(std::string_view path, int fd) {
  return quoted_path_on(path, is_terminal(fd));
}

void fatal(const std::string& message) {
  report_error(message);
  std::exit(1);
}

void report_error(const std::string& message) {
  output_error();  // what standard output holds goes first
  std::cerr << message << std::flush;
}

int output_error() {
  static int first_error = 0;  // once lost, the output stays lost
  std::cout.flush();
  if (!std::cout && first_error == 0) first_error = errno != 0 ? errno : EIO;
  return first_error;
}

std::string output_error_message(int error) {
  return std::string("kalvern Fehler - Ausgabe nicht möglich (") +
         std::strerror(error) + ").\n\n";
}

std::string reason_of(int error) {
  if (error == kDirReplaced) {
    return "Verzeichnis wurde seit dem Vergleich ausgetauscht";
  }
  if (error == kForeignDir) {
    return "Zielverzeichnis gehört einem anderen Benutzer";
  }
  return std::strerror(error);
}
