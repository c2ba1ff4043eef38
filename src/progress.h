// progress.h: one status line on standard error while long work runs, shown
// only when standard error is a terminal.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <stop_token>
#include <string>

/// A status line on the terminal of standard error.
struct StatusLine {
  bool shown = false;                           // a line stands there now
  std::chrono::steady_clock::time_point drawn;  // when it was last written
};

/// The progress of one copy, kept by the copy loop, or of its read-back.
struct CopyStatus {
  std::string path;         // the target, as the user's paths name it
  std::uint64_t total = 0;  // the bytes to copy, or to read back
  bool reading_back = false;  // the copy is read back, no longer written
  std::chrono::steady_clock::time_point start;  // when the copy began
  int terminal = -1;  // standard error is a terminal: 1, 0, or -1 not asked
  StatusLine line;
};

/// Whether standard error is a terminal, the only place a status line goes.
bool status_line_wanted();
/// Columns a status line may fill on standard error's terminal: one less
/// than its width (80 if unknown), so that the cursor never wraps.
std::uint64_t status_width();
/// `head` + `path` + `tail` in at most `width` characters: the path loses
/// its beginning behind "..." first, then the text its end.
std::string fit_status(const std::string& head, const std::string& path,
                       const std::string& tail, std::uint64_t width);
/// The scan's text: the files found so far on each side.
std::string scan_status_text(std::uint64_t left, std::uint64_t right,
                             std::uint64_t width);
/// A copy's text: the target shown terminal-safe, bytes copied and total.
std::string copy_status_text(const std::string& path, std::uint64_t copied,
                             std::uint64_t total, std::uint64_t width);
/// A read-back's text: the target shown terminal-safe, bytes compared and
/// total.
std::string read_back_status_text(const std::string& path,
                                  std::uint64_t checked, std::uint64_t total,
                                  std::uint64_t width);
/// Writes "\r" + `text` + "\x1b[K" to standard error.
void draw_status(StatusLine& line, const std::string& text);
/// Writes "\r\x1b[K" if a line is shown; errno stays as it was.
void erase_status(StatusLine& line);
/// Body of the scan's ticker thread: from half a second on and until `stop`
/// is requested, shows the counts at most ten times a second; the line is
/// erased before it returns.
void run_scan_status(std::stop_token stop,
                     const std::atomic<std::uint64_t>& left,
                     const std::atomic<std::uint64_t>& right);
/// The status of a copy of `total` bytes to `path` that begins now.
CopyStatus start_copy_status(const std::string& path, std::uint64_t total);
/// The status of the read-back of a copy of `total` bytes to `path`, which
/// begins now; update_copy_status and end_copy_status serve it as well.
CopyStatus start_read_back_status(const std::string& path,
                                  std::uint64_t total);
/// Called per chunk: once the copy (or read-back) has run a second, shows
/// `copied` of the total, at most ten times a second.
void update_copy_status(CopyStatus& status, std::uint64_t copied);
/// Erases the copy's line if it was shown; errno stays as it was.
void end_copy_status(CopyStatus& status);
