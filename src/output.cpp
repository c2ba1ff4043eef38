// output.cpp: the lines of the synchronisation and its status line.
//
// Progress lines, deletion lines and error lines are written whole, under
// one lock, so that lines of different threads never mix; the status line
// of a long copy is erased before each of them and drawn again at the
// copy's next chunk.  Of the copies running at once, one shows its status
// line: the first that runs long enough, until it ends.  During a
// synchronisation on a terminal the line of the whole run takes the place
// of the copies' own (see runstatus.h): it names that copy, and it is put
// back below each line written, so that it stays at the bottom.

#include "output.h"

#include <cstring>
#include <iostream>
#include <mutex>
#include <utility>

#include "path.h"

namespace {

std::mutex output_mutex;
CopyStatus* status_owner = nullptr;
StatusLine run_line;           // the line of a whole synchronisation
std::string run_text;          // its text as last drawn
LiveWork* run_live = nullptr;  // what its running copies count, while kept

// Erases the status line before other output.  Under output_mutex.
void hide_status() {
  if (status_owner != nullptr) erase_status(status_owner->line);
  erase_status(run_line);
}

// Puts the line of a whole run back after other output, as it was last
// drawn.  Under output_mutex.
void restore_status() {
  if (!run_text.empty()) draw_status(run_line, run_text);
}

}  // namespace

void say(const std::string& line) {
  std::lock_guard lock(output_mutex);
  hide_status();
  std::cout << line;
  output_error();
  restore_status();
}

void report(const std::string& message) {
  if (message.empty()) return;
  std::lock_guard lock(output_mutex);
  hide_status();
  report_error(message);
  restore_status();
}

std::string failure_line(const char* action, const std::string& path,
                         const std::string& reason) {
  return std::string("Fehler beim ") + action + " " + quoted_path(path, 2) +
         ": " + reason + "\n";
}

std::string failure_line(const char* action, const std::string& path,
                         int error) {
  return failure_line(action, path, reason_of(error));
}

std::string copy_failure_line(const std::string& source,
                              const std::string& target,
                              const std::string& reason) {
  return "Fehler beim Kopieren von " + quoted_path(source, 2) + " nach " +
         quoted_path(target, 2) + ": " + reason + "\n";
}

bool failed(const char* action, const std::string& path, int error) {
  report(failure_line(action, path, error));
  return false;
}

void show_copy_status(CopyStatus& status, std::uint64_t copied) {
  std::lock_guard lock(output_mutex);
  if (run_live != nullptr) {
    if (track_copy_status(status, copied, *run_live) &&
        status_owner == nullptr) {
      status_owner = &status;
    }
    return;
  }
  if (status_owner != nullptr && status_owner != &status) return;
  update_copy_status(status, copied);
  if (status.line.shown) status_owner = &status;
}

void end_shown_status(CopyStatus& status) {
  std::lock_guard lock(output_mutex);
  if (run_live != nullptr) untrack_copy_status(status, *run_live);
  if (status_owner != &status) return;
  end_copy_status(status);
  status_owner = nullptr;
}

void begin_run_line(LiveWork& live) {
  std::lock_guard lock(output_mutex);
  run_live = &live;
}

void show_run_status(
    const std::function<std::string(const CopyStatus* current)>& text) {
  std::lock_guard lock(output_mutex);
  std::string line = text(status_owner);
  if (!run_line.shown || line != run_text) draw_status(run_line, line);
  run_text = std::move(line);
}

void end_run_line() {
  std::lock_guard lock(output_mutex);
  erase_status(run_line);
  run_text.clear();
  run_live = nullptr;
}
