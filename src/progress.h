// progress.h: one status line on standard error while long work runs, shown
// only when standard error is a terminal.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <stop_token>
#include <string>

/// How long a copy runs before its line appears, and the least time
/// between two drawings of a line: at most ten a second.
inline constexpr auto kCopyDelay = std::chrono::seconds(1);
inline constexpr auto kRedrawPause = std::chrono::milliseconds(100);

/// A status line on the terminal of standard error.
struct StatusLine {
  bool shown = false;                           // a line stands there now
  std::chrono::steady_clock::time_point drawn;  // when it was last written
};

/// What the bytes of a copy's status count for on the line of a whole
/// synchronisation: written, read back from the drive, or nothing (the
/// comparison with a file that may be kept).
enum class StatusWork { None, Written, ReadBack };

/// The progress of one copy, kept by the copy loop, or of its read-back.
struct CopyStatus {
  std::string path;         // the target, as the user's paths name it
  std::uint64_t total = 0;  // the bytes to copy, or to read back
  bool reading_back = false;  // the copy is read back, no longer written
  std::chrono::steady_clock::time_point start;  // when the copy began
  int terminal = -1;  // standard error is a terminal: 1, 0, or -1 not asked
  StatusLine line;
  StatusWork work = StatusWork::Written;
  std::uint64_t done = 0;     // bytes copied or compared so far
  std::uint64_t counted = 0;  // of those, counted in the whole run's work
};

/// The bytes that the running copies of a whole synchronisation have
/// written, and written or read back, so far, as their statuses count them.
struct LiveWork {
  std::atomic<std::uint64_t> written{0};
  std::atomic<std::uint64_t> work{0};
};

/// What the line of a whole synchronisation tells.
struct RunFigures {
  std::uint64_t files_done = 0;  // copies dealt with
  std::uint64_t files = 0;       // copies planned
  bool sized = false;            // the bytes below are known
  std::uint64_t bytes_done = 0;
  std::uint64_t bytes = 0;         // the sizes of all sources
  std::int64_t seconds_left = -1;  // -1: not estimated yet
};

/// Whether standard error is a terminal, the only place a status line goes.
bool status_line_wanted();
/// Columns a status line may fill on standard error's terminal: three less
/// than its width (80 if unknown), so that neither the cursor nor the echo
/// of ^C after it wraps, and the line can always be erased.
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
/// Erases whatever status line stands and draws none from here on: the
/// program is about to end.  On any thread.
void close_status_lines();
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
/// With `from_drive` it counts as read-back work of the whole run, else as
/// a comparison that counts for nothing.
CopyStatus start_read_back_status(const std::string& path, std::uint64_t total,
                                  bool from_drive = false);
/// Called per chunk: once the copy (or read-back) has run a second, shows
/// `copied` of the total, at most ten times a second.
void update_copy_status(CopyStatus& status, std::uint64_t copied);
/// Erases the copy's line if it was shown; errno stays as it was.
void end_copy_status(CopyStatus& status);
/// Records `done` bytes of a copy or check for the line of the whole run,
/// counting what they add in `live`; whether it has run long enough (a
/// second) to be named there.
bool track_copy_status(CopyStatus& status, std::uint64_t done, LiveWork& live);
/// Takes back from `live` what `status` counted there: its copy now counts
/// whole, or not at all.
void untrack_copy_status(CopyStatus& status, LiveWork& live);
/// "12,3 von 300,0 GB": `done` of `total` in the unit that suits `total`
/// (Bytes, then kB, MB, GB, TB in steps of 1000, one decimal after a comma).
std::string byte_amounts(std::uint64_t done, std::uint64_t total);
/// "noch etwa 40 s", "noch etwa 25 min", "noch etwa 2 h 5 min".
std::string time_left_text(std::uint64_t seconds);
/// The line of a whole synchronisation: files and bytes done of all, the
/// share and the time left as far as known, then the copy or check
/// `current` (null: none) shown terminal-safe with its share.  Where the
/// width is short, the copy's path gives way first, then its whole part,
/// then the byte counts and the words; the share and the time left stay.
std::string run_status_text(const RunFigures& figures,
                            const CopyStatus* current, std::uint64_t width);
