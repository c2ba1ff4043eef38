// path.h: the shared vocabulary of paths and messages, beneath every module.
#pragma once
#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>

/// `root` and `relative_path` joined by one "/", none added when `root` is
/// empty or already ends in "/".
std::string full_path(const std::string& root, std::string_view relative_path);
/// The part of `relative_path` before its last "/"; "" if it has none.
std::string parent_of(const std::string& relative_path);
/// The last component of `relative_path`.
std::string name_of(const std::string& relative_path);
/// Whether a directory entry's `name` is "." or "..".
bool is_dot_or_dot_dot(const char* name);
/// Name of a temporary file of a copy: ".kalvern-<pid>-<attempt>.tmp".
std::string temp_file_name(long pid, std::uint64_t attempt);
/// Whether `name` has the form of temp_file_name; the scan passes such files
/// over, so one left by a killed run is never taken for user data.
bool is_temp_file_name(const char* name);
/// Characters in `text` by the byte rule of every width: each byte that is
/// not a UTF-8 continuation byte counts.
std::uint64_t utf8_chars(std::string_view text);
/// `path` as written to a `terminal` or elsewhere: on a terminal, bytes
/// 0x00-0x1F and 0x7F and the UTF-8 sequences 0xC2 0x80-0x9F (U+0080-U+009F)
/// show as one "?" each; elsewhere the bytes go out as stored.
std::string shown_path_on(std::string_view path, bool terminal);
/// shown_path_on in double quotes, every `"` and `\` preceded by `\`.
std::string quoted_path_on(std::string_view path, bool terminal);
/// shown_path_on for descriptor `fd` (1 or 2), as it is a terminal or not.
std::string shown_path(std::string_view path, int fd);
/// quoted_path_on for descriptor `fd` (1 or 2), as it is a terminal or not.
std::string quoted_path(std::string_view path, int fd);
/// The errno with which an action refuses a directory on its path that is
/// no longer the one the scan saw there, or the run made there.
inline constexpr int kDirReplaced = EBADE;
/// The errno with which a copy refuses a target directory of another user.
inline constexpr int kForeignDir = EBADSLT;
/// The reason shown for `error`: the system's message, or this program's
/// own for kDirReplaced and kForeignDir.
std::string reason_of(int error);
/// Writes `message` to standard error as it stands and ends with status 1.
[[noreturn]] void fatal(const std::string& message);
/// Writes `message` to standard error as it stands; the work goes on.
void report_error(const std::string& message);
/// Flushes standard output; the errno of its first failed write noticed
/// here, 0 while everything arrived.
int output_error();
/// The message for an unwritable standard output with errno `error`.
std::string output_error_message(int error);
