// progress.cpp: the status line of the scan and of a long copy, and the
// text of the line of a whole synchronisation.
//
// The line lives on standard error and only while that is a terminal.  It is
// written as "\r", the text, "\x1b[K" (erase to the end of the line), so each
// rewrite replaces the last one in place, and erased with "\r\x1b[K" before
// the program writes anything else.  The scan's line is drawn by a ticker
// thread that reads the scan's counters; a copy's line (and that of its
// read-back) is drawn from the copy loop itself, one call per chunk.  Within
// a synchronisation the line of the whole run takes its place, drawn by a
// thread of its own (see runstatus.h), and the copies only record their
// progress for it.  All go straight to the descriptor with write(2), so no
// stream buffer holds a piece of the line back.

#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <exception>
#include <iterator>
#include <mutex>
#include <utility>
#include <vector>

#include "path.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kScanDelay = std::chrono::milliseconds(500);

std::mutex terminal_mutex;  // guards the two below and the writes
bool line_standing = false;  // a status line stands on the terminal
bool lines_closed = false;   // the program ends: no more lines

}  // namespace

bool status_line_wanted() { return isatty(2) == 1; }

std::uint64_t status_width() {
  winsize size{};
  if (ioctl(2, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 77;
  return size.ws_col < 3 ? 0 : size.ws_col - 3;
}

// The first `n` characters of `text`.
static std::string first_chars(const std::string& text, std::uint64_t n) {
  std::size_t end = 0;
  for (std::uint64_t seen = 0; end < text.size(); ++end) {
    if ((static_cast<unsigned char>(text[end]) & 0xC0) != 0x80 && seen++ == n)
      break;
  }
  return text.substr(0, end);
}

// The last `n` characters of `text`.
static std::string last_chars(const std::string& text, std::uint64_t n) {
  std::size_t start = text.size();
  for (std::uint64_t seen = 0; start > 0 && seen < n;) {
    --start;
    if ((static_cast<unsigned char>(text[start]) & 0xC0) != 0x80) ++seen;
  }
  return text.substr(start);
}

std::string fit_status(const std::string& head, const std::string& path,
                       const std::string& tail, std::uint64_t width) {
  std::uint64_t fixed = utf8_chars(head) + utf8_chars(tail);
  std::uint64_t path_length = utf8_chars(path);
  if (fixed + path_length <= width) return head + path + tail;
  if (path_length > 3 && fixed + 4 <= width) {
    return head + "..." + last_chars(path, width - fixed - 3) + tail;
  }
  return first_chars(head + path + tail, width);
}

std::string scan_status_text(std::uint64_t left, std::uint64_t right,
                             std::uint64_t width) {
  return fit_status("Suche: links " + std::to_string(left) +
                        " Dateien, rechts " + std::to_string(right) +
                        " Dateien",
                    "", "", width);
}

// The whole percent that `done` is of `total`, rounded down; 100 of none.
static std::string percent(std::uint64_t done, std::uint64_t total) {
  return std::to_string(static_cast<std::uint64_t>(
      total == 0
          ? 100.0
          : 100.0 * static_cast<double>(done) / static_cast<double>(total)));
}

// ": <done> von <total> Bytes (<percent> %)", the end of a copy's text.
static std::string bytes_done(std::uint64_t done, std::uint64_t total) {
  return ": " + std::to_string(done) + " von " + std::to_string(total) +
         " Bytes (" + percent(done, total) + " %)";
}

std::string copy_status_text(const std::string& path, std::uint64_t copied,
                             std::uint64_t total, std::uint64_t width) {
  return fit_status("Kopiere ", shown_path(path, 2), bytes_done(copied, total),
                    width);
}

std::string read_back_status_text(const std::string& path,
                                  std::uint64_t checked, std::uint64_t total,
                                  std::uint64_t width) {
  return fit_status("Prüfe ", shown_path(path, 2), bytes_done(checked, total),
                    width);
}

// Writes all of `text` to standard error; a failure is let go, the line
// is only a courtesy.
static void write_all(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(2, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

void draw_status(StatusLine& line, const std::string& text) {
  int error = errno;
  std::lock_guard lock(terminal_mutex);
  if (!lines_closed) {
    write_all("\r" + text + "\x1b[K");
    line.shown = line_standing = true;
  }
  line.drawn = Clock::now();
  errno = error;
}

void erase_status(StatusLine& line) {
  if (!line.shown) return;
  int error = errno;
  std::lock_guard lock(terminal_mutex);
  if (line_standing) write_all("\r\x1b[K");
  line.shown = line_standing = false;
  errno = error;
}

void close_status_lines() {
  int error = errno;
  std::lock_guard lock(terminal_mutex);
  if (line_standing) write_all("\r\x1b[K");
  line_standing = false;
  lines_closed = true;
  errno = error;
}

void run_scan_status(std::stop_token stop,
                     const std::atomic<std::uint64_t>& left,
                     const std::atomic<std::uint64_t>& right) {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock lock(mutex);
  auto stopped = [] { return false; };  // only a stop request ends a wait
  wake.wait_for(lock, stop, kScanDelay, stopped);
  StatusLine line;
  std::string shown;
  try {
    while (!stop.stop_requested()) {
      std::string text = scan_status_text(left.load(std::memory_order_relaxed),
                                          right.load(std::memory_order_relaxed),
                                          status_width());
      if (!line.shown || text != shown) draw_status(line, text);
      shown = std::move(text);
      wake.wait_for(lock, stop, kRedrawPause, stopped);
    }
  } catch (const std::exception&) {
    // Out of memory for a line of text: the scan goes on without it.
  }
  erase_status(line);
}

CopyStatus start_copy_status(const std::string& path, std::uint64_t total) {
  CopyStatus status;
  status.path = path;
  status.total = total;
  status.start = Clock::now();
  return status;
}

CopyStatus start_read_back_status(const std::string& path, std::uint64_t total,
                                  bool from_drive) {
  CopyStatus status = start_copy_status(path, total);
  status.reading_back = true;
  status.work = from_drive ? StatusWork::ReadBack : StatusWork::None;
  return status;
}

void update_copy_status(CopyStatus& status, std::uint64_t copied) {
  if (status.terminal == 0) return;
  Clock::time_point now = Clock::now();
  if (now - status.start < kCopyDelay) return;
  if (status.terminal < 0) status.terminal = status_line_wanted() ? 1 : 0;
  if (status.terminal == 0) return;
  if (status.line.shown && now - status.line.drawn < kRedrawPause) return;
  auto text = status.reading_back ? read_back_status_text : copy_status_text;
  draw_status(status.line,
              text(status.path, copied, status.total, status_width()));
}

void end_copy_status(CopyStatus& status) { erase_status(status.line); }

bool track_copy_status(CopyStatus& status, std::uint64_t done, LiveWork& live) {
  status.done = done;
  if (status.work != StatusWork::None && done > status.counted) {
    std::uint64_t more = done - status.counted;
    if (status.work == StatusWork::Written) live.written += more;
    live.work += more;
    status.counted = done;
  }
  return Clock::now() - status.start >= kCopyDelay;
}

void untrack_copy_status(CopyStatus& status, LiveWork& live) {
  if (status.work == StatusWork::Written) live.written -= status.counted;
  live.work -= status.counted;
  status.counted = 0;
}

// `amount` in tenths of `unit`, rounded half up, as "12,3".
static std::string tenths(std::uint64_t amount, std::uint64_t unit) {
  std::uint64_t tenth = unit / 10;
  std::uint64_t count = amount / tenth + (amount % tenth >= tenth / 2 ? 1 : 0);
  return std::to_string(count / 10) + "," + std::to_string(count % 10);
}

std::string byte_amounts(std::uint64_t done, std::uint64_t total) {
  if (total < 1000) {
    return std::to_string(done) + " von " + std::to_string(total) + " Bytes";
  }
  static const char* const kUnits[] = {"kB", "MB", "GB", "TB"};
  std::uint64_t unit = 1000;
  std::size_t step = 0;
  for (; step + 1 < std::size(kUnits) && total / 1000 >= unit; ++step) {
    unit *= 1000;
  }
  return tenths(done, unit) + " von " + tenths(total, unit) + " " +
         kUnits[step];
}

std::string time_left_text(std::uint64_t seconds) {
  // Seconds in steps of five up to a minute, of ten up to two; then whole
  // minutes.
  if (seconds < 58) {
    return "noch etwa " +
           std::to_string(std::max<std::uint64_t>(5, (seconds + 4) / 5 * 5)) +
           " s";
  }
  std::uint64_t tens = (seconds + 5) / 10;
  if (tens < 12) {
    return "noch etwa 1 min" +
           (tens == 6 ? "" : " " + std::to_string(tens * 10 - 60) + " s");
  }
  std::uint64_t minutes = (seconds + 30) / 60;
  if (minutes < 60) return "noch etwa " + std::to_string(minutes) + " min";
  std::string text = "noch etwa " + std::to_string(minutes / 60) + " h";
  if (minutes % 60 != 0) text += " " + std::to_string(minutes % 60) + " min";
  return text;
}

// The copy or check `current` on the line of a whole run, after `run`, in
// `width` characters; "" where even a character of its path has no room.
static std::string current_part(const std::string& run,
                                const CopyStatus& current,
                                std::uint64_t width) {
  std::string head =
      run + " – " + (current.reading_back ? "Prüfe " : "Kopiere ");
  std::string tail = " (" + percent(current.done, current.total) + " %)";
  // Room for at least "..." and a character of the path.
  if (utf8_chars(head) + utf8_chars(tail) + 4 > width) return "";
  return fit_status(head, shown_path(current.path, 2), tail, width);
}

// The forms of the line of a whole run, the fullest first: the words and
// the byte counts give way, the share and the time left stay.
static std::vector<std::string> run_forms(const RunFigures& figures) {
  std::string files = std::to_string(figures.files_done);
  std::string all = std::to_string(figures.files);
  std::string counts = files + " von " + all + " Dateien";
  if (!figures.sized) {
    return {"Abgleich: " + counts, counts, files + "/" + all};
  }
  // Of files without bytes, the share is that of the files.
  std::string share =
      (figures.bytes == 0 ? percent(figures.files_done, figures.files)
                          : percent(figures.bytes_done, figures.bytes)) +
      " %";
  std::string left, short_left, bare_left;
  if (figures.seconds_left >= 0) {
    left = time_left_text(static_cast<std::uint64_t>(figures.seconds_left));
    bare_left = left.substr(std::string("noch etwa ").size());
    short_left = ", noch " + bare_left;
    bare_left = ", " + bare_left;
    left = ", " + left;
  }
  std::string bytes = byte_amounts(figures.bytes_done, figures.bytes);
  return {"Abgleich: " + counts + ", " + bytes + " (" + share + ")" + left,
          "Abgleich: " + counts + " (" + share + ")" + left,
          counts + " (" + share + ")" + left,
          files + "/" + all + " (" + share + ")" + left,
          share + left,
          share + short_left,
          share + bare_left};
}

std::string run_status_text(const RunFigures& figures,
                            const CopyStatus* current, std::uint64_t width) {
  std::vector<std::string> forms = run_forms(figures);
  if (current != nullptr) {
    std::string line = current_part(forms.front(), *current, width);
    if (!line.empty()) return line;
  }
  for (const std::string& form : forms) {
    if (utf8_chars(form) <= width) return form;
  }
  return first_chars(forms.back(), width);
}
